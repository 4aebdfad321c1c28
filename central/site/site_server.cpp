#include "central/site/site_server.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "common/address_limits.h"
#include "common/log.h"
#include "central/central_store.h"
#include "central/password.h"
#include "central/site/site_content.h"
#include "central/worker_pool.h"

namespace {

constexpr const char* kModSite = "Site";
constexpr size_t kDownloadChunk = 64 * 1024;
constexpr size_t kJobQueueMax = 32;
constexpr size_t kRegisterBooksMax = 4096;  // addresses the registration books remember
constexpr int kSweepMs = 250;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// 0 read, 1 missing, -1 unreadable or longer than the cap.
int ReadSmallFile(const std::string& path, std::string& out) {
  out.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? 1 : -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) > kSiteTextFileMax) {
    close(fd);
    return -1;
  }
  char buf[8192];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > kSiteTextFileMax) break;
  }
  close(fd);
  return n < 0 || out.size() > kSiteTextFileMax ? -1 : 0;
}

std::string PeerOf(int fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "";
  char text[INET6_ADDRSTRLEN] = "";
  if (a.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&a)->sin_addr, text, sizeof text);
  else if (a.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr, text, sizeof text);
  return text;
}

// The value of one query key; false when the key is absent (or the query does not parse).
bool QueryValue(evhttp_request* req, const char* key, std::string& value) {
  value.clear();
  const evhttp_uri* uri = evhttp_request_get_evhttp_uri(req);
  const char* query = uri ? evhttp_uri_get_query(uri) : nullptr;
  if (!query) return false;
  evkeyvalq params;
  params.tqh_first = nullptr;
  params.tqh_last = &params.tqh_first;
  const bool parsed = evhttp_parse_query_str(query, &params) == 0;
  const char* v = parsed ? evhttp_find_header(&params, key) : nullptr;
  if (v) value = v;
  evhttp_clear_headers(&params);
  return v != nullptr;
}

void Reply(evhttp_request* req, int code, const char* reason, const char* type,
           const std::string& body) {
  evkeyvalq* h = evhttp_request_get_output_headers(req);
  evhttp_add_header(h, "Content-Type", type);
  evhttp_add_header(h, "X-Content-Type-Options", "nosniff");
  evhttp_add_header(h, "Cache-Control", "no-store");
  if (std::string(type).compare(0, 9, "text/html") == 0)
    evhttp_add_header(h, "Content-Security-Policy",
                      "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'");
  evbuffer* out = evbuffer_new();
  if (out) evbuffer_add(out, body.data(), body.size());
  evhttp_send_reply(req, code, reason, out);
  if (out) evbuffer_free(out);
}

constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kText = "text/plain; charset=utf-8";

void ReplyJsonError(evhttp_request* req, int code, const char* reason, const std::string& why) {
  Reply(req, code, reason, kJson, "{\"error\":" + JsonString(why) + "}");
}

// An address given as digits is bound as it stands: libevent's own bind asks getaddrinfo with
// AI_ADDRCONFIG, which finds no IPv4 address for 127.0.0.1 on a machine whose only IPv4 address
// is loopback (an offline PC). A host name still goes through libevent.
evhttp_bound_socket* BindSite(evhttp* http, const std::string& host, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1)
    return evhttp_bind_socket_with_handle(http, host.c_str(), port);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 128) != 0) {
    close(fd);
    return nullptr;
  }
  evhttp_bound_socket* bound = evhttp_accept_socket_with_handle(http, fd);  // closes fd when freed
  if (!bound) close(fd);
  return bound;
}

}  // namespace

struct CCentralSite::Impl {
  // A connection evhttp made through our bufferevent callback. We hold a reference on its
  // bufferevent, so the pointer (and the socket) stay ours to look at until we let go; evhttp
  // is done with it once it cleared its callbacks.
  struct Conn {
    std::string ip;
    bool counted = false;  // in perAddress
    bool busy = false;     // a request is being answered: no deadline
    bool killed = false;
    bool refuse = false;   // made without TLS after SSL_new failed
    int64_t waitingSinceMs = 0;
  };
  struct Pending {  // a registration on the worker; gone when its connection closed
    evhttp_request* req = nullptr;
    bool gone = false;
  };
  struct Job {
    std::shared_ptr<Pending> pending;
    std::string ip, email, pcText;
  };
  struct Done {
    std::shared_ptr<Pending> pending;
    std::string ip, email;
    int status = 0;
    std::string message;
  };
  struct Book {  // registrations of one address
    std::deque<int64_t> attempts, created;  // steady ms
    int inFlight = 0;
  };
  struct Download {
    Impl* site = nullptr;
    evhttp_request* req = nullptr;
    evhttp_connection* evcon = nullptr;
    int fd = -1;
    uint64_t left = 0;
  };

  explicit Impl(CCentralStore& s) : store(s) {}

  CCentralStore& store;
  SiteOptions options;
  event_base* base = nullptr;
  evhttp* http = nullptr;
  evhttp_bound_socket* bound = nullptr;
  SSL_CTX* ssl = nullptr;
  event* freshEvent = nullptr;
  event* sweepEvent = nullptr;

  std::map<bufferevent*, Conn> conns;  // event thread only
  std::vector<bufferevent*> fresh;
  // Admitted connections by address; the cap in all counts every live one, admitted or not yet.
  CAddressLimits<std::string> perAddress;
  std::map<std::string, Book> books;

  CWorkerPool<Job, Done> workers;  // registrations: the slow hash and the database

  // --- connections ---

  static bufferevent* BevCb(event_base* b, void* arg) {
    Impl* m = static_cast<Impl*>(arg);
    bufferevent* bev = nullptr;
    bool refuse = false;
    if (m->ssl) {
      SSL* s = SSL_new(m->ssl);
      if (s) bev = bufferevent_openssl_socket_new(b, -1, s, BUFFEREVENT_SSL_ACCEPTING,
                                                  BEV_OPT_CLOSE_ON_FREE);
      if (!bev && s) SSL_free(s);
      refuse = bev == nullptr;
    }
    // evhttp makes a plain one when given none: make it ourselves and close it at once.
    if (!bev) bev = bufferevent_socket_new(b, -1, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) return nullptr;
    bufferevent_incref(bev);
    Conn& c = m->conns[bev];
    c.refuse = refuse;
    c.waitingSinceMs = NowMs();
    m->fresh.push_back(bev);
    event_active(m->freshEvent, EV_TIMEOUT, 0);
    return bev;
  }

  void Kill(bufferevent* bev, Conn& c) {
    c.killed = true;
    const int fd = bufferevent_getfd(bev);
    if (fd >= 0) shutdown(fd, SHUT_RDWR);  // evhttp sees the end and frees the connection
  }

  // Lets go of connections evhttp has freed, and ends those past their request deadline.
  void Sweep() {
    const int64_t now = NowMs();
    for (auto it = conns.begin(); it != conns.end();) {
      bufferevent_data_cb r = nullptr, w = nullptr;
      bufferevent_event_cb e = nullptr;
      void* arg = nullptr;
      bufferevent_getcb(it->first, &r, &w, &e, &arg);
      Conn& c = it->second;
      if (!r && !w && !e && !arg) {
        if (c.counted) perAddress.Release(c.ip);
        bufferevent_decref(it->first);
        it = conns.erase(it);
        continue;
      }
      if (!c.busy && !c.killed && now - c.waitingSinceMs > options.requestDeadlineSec * 1000LL) {
        QV_LOG_REFUSAL(c.ip, kModSite, kLogWarning, "closing %s: no complete request in time.",
                       c.ip.c_str());
        Kill(it->first, c);
      }
      ++it;
    }
  }

  void OnFresh() {
    Sweep();
    std::vector<bufferevent*> list;
    list.swap(fresh);
    int live = 0;
    for (const auto& kv : conns)
      if (!kv.second.killed) ++live;
    for (bufferevent* bev : list) {
      const auto it = conns.find(bev);
      if (it == conns.end()) continue;
      Conn& c = it->second;
      c.ip = PeerOf(bufferevent_getfd(bev));
      if (c.refuse) {
        QV_LOG(kModSite, kLogError, "closing %s: cannot set up TLS.", c.ip.c_str());
        Kill(bev, c);
        --live;
        continue;
      }
      const bool addressFull = perAddress.AddressFull(c.ip);
      if (!addressFull && live > options.maxConnections) {
        // A full set of slow heads does not shut newcomers out: the oldest unfinished one goes.
        bufferevent* oldest = nullptr;
        for (auto& kv : conns) {
          const Conn& o = kv.second;
          if (kv.first == bev || o.killed || o.busy || !o.counted) continue;
          if (!oldest || o.waitingSinceMs < conns[oldest].waitingSinceMs) oldest = kv.first;
        }
        if (oldest) {
          Conn& o = conns[oldest];
          QV_LOG_REFUSAL(o.ip, kModSite, kLogWarning,
                         "closing %s: its unfinished request is the oldest, room for %s.",
                         o.ip.c_str(), c.ip.c_str());
          Kill(oldest, o);
          --live;
        }
      }
      if (live > options.maxConnections || addressFull) {
        QV_LOG_REFUSAL(c.ip, kModSite, kLogWarning, "refusing %s: too many connections.",
                       c.ip.c_str());
        Kill(bev, c);
        --live;
        continue;
      }
      c.counted = perAddress.Take(c.ip) == AddressRoom::kTaken;  // room was checked above
    }
  }

  static void FreshCb(evutil_socket_t, short, void* arg) { static_cast<Impl*>(arg)->OnFresh(); }
  static void SweepCb(evutil_socket_t, short, void* arg) { static_cast<Impl*>(arg)->Sweep(); }

  Conn* ConnOf(evhttp_request* req, bufferevent** bevOut = nullptr) {
    evhttp_connection* evcon = evhttp_request_get_connection(req);
    bufferevent* bev = evcon ? evhttp_connection_get_bufferevent(evcon) : nullptr;
    if (bevOut) *bevOut = bev;
    const auto it = conns.find(bev);
    return it == conns.end() ? nullptr : &it->second;
  }

  // --- requests ---

  static void RequestCb(evhttp_request* req, void* arg) { static_cast<Impl*>(arg)->OnRequest(req); }

  void OnRequest(evhttp_request* req) {
    bufferevent* bev = nullptr;
    Conn* c = ConnOf(req, &bev);
    const std::string ip = c ? c->ip : std::string("?");
    if (c) {
      c->busy = true;
      evhttp_request_set_on_complete_cb(req, &Impl::AnsweredCb, this);
    }
    const evhttp_uri* uri = evhttp_request_get_evhttp_uri(req);
    const char* rawPath = uri ? evhttp_uri_get_path(uri) : nullptr;
    const std::string path = rawPath ? rawPath : "";
    const evhttp_cmd_type method = evhttp_request_get_command(req);

    if (path == "/quarlo/register.html") {
      if (method != EVHTTP_REQ_POST) {
        evhttp_add_header(evhttp_request_get_output_headers(req), "Allow", "POST");
        ReplyJsonError(req, 405, "Method Not Allowed", "the registration takes a POST");
        return;
      }
      Register(req, ip);
      return;
    }
    if (method == EVHTTP_REQ_POST) {
      evhttp_add_header(evhttp_request_get_output_headers(req), "Allow", "GET, HEAD");
      Reply(req, 405, "Method Not Allowed", kText, "only the registration takes a POST\n");
      return;
    }
    if (path == "/quarlo/update-pc.html") {
      UpdatePage(req);
      return;
    }
    if (path == "/quarlo/bannerpc") {
      std::string value;
      QueryValue(req, "L", value);
      std::string lang = SiteLanguage(value);
      if (lang.empty()) lang = "en";
      std::string page;
      if (ReadSmallFile(options.folder + "/banner-" + lang + ".html", page) != 0)
        page = BannerPage(lang);
      Reply(req, 200, "OK", kHtml, page);
      return;
    }
    const std::string prefix = "/quarlo/download/";
    if (path.compare(0, prefix.size(), prefix) == 0) {
      SendDownload(req, path.substr(prefix.size()), ip);
      return;
    }
    UpdateFileInfo info;
    std::string text, why;
    const bool haveUpdate = ReadSmallFile(options.folder + "/update.ini", text) == 0 &&
                            ParseUpdateFile(text, info, why);
    std::string page = BrowserPage(path == "/" ? "/download.html" : path, haveUpdate ? &info : nullptr);
    if (page.empty()) {
      // The pages the desktop program opens come in its language (English by default).
      std::string value;
      QueryValue(req, "L", value);
      const std::string lang = SiteLanguage(value);
      page = ProgramPage(path, lang.empty() ? "en" : lang, haveUpdate ? &info : nullptr);
    }
    if (!page.empty()) {
      Reply(req, 200, "OK", kHtml, page);
      return;
    }
    Reply(req, 404, "Not Found", kText, "no such page\n");
  }

  static void AnsweredCb(evhttp_request* req, void* arg) {
    Impl* m = static_cast<Impl*>(arg);
    Conn* c = m->ConnOf(req);
    if (!c) return;
    c->busy = false;
    c->waitingSinceMs = NowMs();
  }

  void UpdatePage(evhttp_request* req) {
    std::string langValue;
    const bool wantsNotes = QueryValue(req, "L", langValue);
    std::string text, why;
    UpdateFileInfo info;
    const int updateRead = ReadSmallFile(options.folder + "/update.ini", text);
    const bool haveUpdate = updateRead == 0 && ParseUpdateFile(text, info, why);
    if (updateRead == 0 && !haveUpdate)
      QV_LOG(kModSite, kLogError, "%s/update.ini: %s", options.folder.c_str(), why.c_str());
    if (wantsNotes) {
      const std::string lang = SiteLanguage(langValue);
      if (lang.empty()) {
        ReplyJsonError(req, 400, "Bad Request", "L is cn, en or tw");
        return;
      }
      std::string notes;
      const int rc = ReadSmallFile(options.folder + "/notes-" + lang + ".txt", notes);
      if (rc != 0) {
        if (rc < 0) QV_LOG(kModSite, kLogError, "cannot read %s/notes-%s.txt", options.folder.c_str(), lang.c_str());
        ReplyJsonError(req, 404, "Not Found", "no release notes");
        return;
      }
      Reply(req, 200, "OK", kJson, ReleaseNotesBody(haveUpdate ? info.version : "", notes));
      return;
    }
    if (updateRead == 1) {
      ReplyJsonError(req, 404, "Not Found", "no update published");
      return;
    }
    if (!haveUpdate) {
      ReplyJsonError(req, 500, "Internal Server Error", "the update file is not valid");
      return;
    }
    Reply(req, 200, "OK", kJson, UpdatePageBody(info));
  }

  // --- downloads: one chunk in flight, the next read when it is out ---

  void SendDownload(evhttp_request* req, const std::string& name, const std::string& ip) {
    if (!IsServedFileName(name)) {
      QV_LOG_REFUSAL(ip, kModSite, kLogWarning, "download refused for %s: bad file name.", ip.c_str());
      Reply(req, 404, "Not Found", kText, "no such file\n");
      return;
    }
    const std::string path = options.folder + "/download/" + name;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (fd >= 0) close(fd);
      Reply(req, 404, "Not Found", kText, "no such file\n");
      return;
    }
    evkeyvalq* h = evhttp_request_get_output_headers(req);
    const bool deb = name.size() > 4 && name.compare(name.size() - 4, 4, ".deb") == 0;
    evhttp_add_header(h, "Content-Type",
                      deb ? "application/vnd.debian.binary-package" : "application/octet-stream");
    evhttp_add_header(h, "X-Content-Type-Options", "nosniff");
    evhttp_add_header(h, "Content-Length", std::to_string(st.st_size).c_str());
    if (evhttp_request_get_command(req) == EVHTTP_REQ_HEAD) {
      close(fd);
      evhttp_send_reply(req, 200, "OK", nullptr);
      return;
    }
    // One download per connection: a short file (read error) then ends in a close.
    evhttp_add_header(h, "Connection", "close");
    QV_LOG(kModSite, kLogInfo, "download %s to %s (%lld bytes)", name.c_str(), ip.c_str(),
           static_cast<long long>(st.st_size));
    Download* d = new Download;
    d->site = this;
    d->req = req;
    d->evcon = evhttp_request_get_connection(req);
    d->fd = fd;
    d->left = static_cast<uint64_t>(st.st_size);
    evhttp_send_reply_start(req, 200, "OK");
    evhttp_connection_set_closecb(d->evcon, &Impl::DownloadClosedCb, d);
    SendNextChunk(d);
  }

  static void SendNextChunk(Download* d) {
    char buf[kDownloadChunk];
    ssize_t n = 0;
    if (d->left > 0) {
      n = read(d->fd, buf, d->left < sizeof buf ? static_cast<size_t>(d->left) : sizeof buf);
      if (n <= 0) {
        QV_LOG(kModSite, kLogError, "download stopped: read failed (%d).", n < 0 ? errno : 0);
        d->left = 0;
      }
    }
    if (d->left == 0) {
      evhttp_connection_set_closecb(d->evcon, nullptr, nullptr);
      close(d->fd);
      evhttp_request* req = d->req;
      delete d;
      evhttp_send_reply_end(req);
      return;
    }
    d->left -= static_cast<uint64_t>(n);
    evbuffer* out = evbuffer_new();
    if (!out) {
      d->left = 0;
      SendNextChunk(d);
      return;
    }
    evbuffer_add(out, buf, static_cast<size_t>(n));
    evhttp_send_reply_chunk_with_cb(d->req, out, &Impl::ChunkSentCb, d);
    evbuffer_free(out);
  }

  static void ChunkSentCb(evhttp_connection*, void* arg) { SendNextChunk(static_cast<Download*>(arg)); }

  // A connection that ends while its answer is still being made lets go of the request,
  // which is then ours to free; one still attached goes with the connection.
  static void FreeIfLetGo(evhttp_request* req) {
    if (!evhttp_request_get_connection(req)) evhttp_request_free(req);
  }

  static void DownloadClosedCb(evhttp_connection*, void* arg) {
    Download* d = static_cast<Download*>(arg);
    close(d->fd);
    FreeIfLetGo(d->req);
    delete d;
  }

  // --- registration ---

  static void PendingClosedCb(evhttp_connection*, void* arg) {
    Pending* p = static_cast<Pending*>(arg);
    p->gone = true;
    FreeIfLetGo(p->req);
    p->req = nullptr;
  }

  void Prune(Book& b, int64_t now) {
    const int64_t window = options.windowSec * 1000LL;
    while (!b.attempts.empty() && now - b.attempts.front() > window) b.attempts.pop_front();
    while (!b.created.empty() && now - b.created.front() > window) b.created.pop_front();
  }

  Book* BookOf(const std::string& ip, int64_t now) {
    auto it = books.find(ip);
    if (it != books.end()) return &it->second;
    if (books.size() >= kRegisterBooksMax) {
      for (auto b = books.begin(); b != books.end();) {
        Prune(b->second, now);
        if (b->second.attempts.empty() && b->second.created.empty() && b->second.inFlight == 0)
          b = books.erase(b);
        else
          ++b;
      }
      if (books.size() >= kRegisterBooksMax) return nullptr;
    }
    return &books[ip];
  }

  void Answer(evhttp_request* req, const std::string& ip, int status, const std::string& message) {
    if (status != kRegCreated)
      QV_LOG_REFUSAL(ip, kModSite, kLogInfo, "registration from %s refused: %s (status %d)",
                     ip.c_str(), message.c_str(), status);
    int code = 200;
    const char* reason = "OK";
    if (status == kRegMalformed || status == kRegBadCheck) code = 400, reason = "Bad Request";
    if (status == kRegServerError) code = 500, reason = "Internal Server Error";
    Reply(req, code, reason, kJson, RegisterAnswer(status, message));
  }

  void Register(evhttp_request* req, const std::string& ip) {
    const int64_t now = NowMs();
    Book* book = BookOf(ip, now);
    if (!book) {
      Answer(req, ip, kRegTimeLimit, "too many registrations, try again later");
      return;
    }
    Prune(*book, now);
    if (static_cast<int>(book->attempts.size()) >= options.attemptsPerAddress) {
      Answer(req, ip, kRegTimeLimit, "too many registrations from your address, try again later");
      return;
    }
    book->attempts.push_back(now);
    evbuffer* in = evhttp_request_get_input_buffer(req);
    const size_t len = evbuffer_get_length(in);
    if (len > options.maxBody) {  // evhttp's own cap answers 413 first; this is the backstop
      Answer(req, ip, kRegMalformed, "form too long");
      return;
    }
    std::string body(len, '\0');
    if (len) evbuffer_copyout(in, &body[0], len);
    RegisterForm form;
    std::string why;
    const int bad = ParseRegisterForm(body, form, why);
    if (bad != 0) {
      Answer(req, ip, bad, why);
      return;
    }
    if (static_cast<int>(book->created.size()) + book->inFlight >= options.accountsPerAddress) {
      Answer(req, ip, kRegTimeLimit, "too many new accounts from your address, try again later");
      return;
    }
    auto pending = std::make_shared<Pending>();
    pending->req = req;
    if (!workers.Post({pending, ip, LowerAscii(form.email), form.password}, kJobQueueMax)) {
      Answer(req, ip, kRegServerError, "the server is busy, try again");
      return;
    }
    ++book->inFlight;
    evhttp_connection_set_closecb(evhttp_request_get_connection(req), &Impl::PendingClosedCb,
                                  pending.get());
  }

  // On a worker: the slow hash and the database.
  Done Work(const Job& job) {
    Done d{job.pending, job.ip, job.email, kRegServerError, "the database failed"};
    const int known = store.FindAccountNoCase(job.email);
    if (known == 0) {
      d.status = kRegExists;
      d.message = "this e-mail address is registered already";
      return d;
    }
    if (known < 0) return d;
    const std::string hash = HashSecret(job.pcText);
    if (hash.empty()) return d;
    const int rc = store.AddNewAccount(job.email, hash, static_cast<int64_t>(std::time(nullptr)));
    if (rc == 0) {
      d.status = kRegCreated;
      d.message = "account created";
    } else if (rc == 1) {
      d.status = kRegExists;
      d.message = "this e-mail address is registered already";
    }
    return d;
  }

  void OnDone(std::deque<Done>& ready) {
    const int64_t now = NowMs();
    for (Done& d : ready) {
      const auto b = books.find(d.ip);
      if (b != books.end()) {
        if (b->second.inFlight > 0) --b->second.inFlight;
        if (d.status == kRegCreated) b->second.created.push_back(now);
      }
      if (d.status == kRegCreated)
        QV_LOG(kModSite, kLogInfo, "registered account %s from %s", d.email.c_str(), d.ip.c_str());
      if (d.pending->gone) continue;  // the client left; the account stays made
      evhttp_connection_set_closecb(evhttp_request_get_connection(d.pending->req), nullptr, nullptr);
      Answer(d.pending->req, d.ip, d.status, d.message);
    }
  }

  bool SetUpTls(std::string& error) {
    ssl = SSL_CTX_new(TLS_server_method());
    if (!ssl) {
      error = "cannot create a TLS context";
      return false;
    }
    SSL_CTX_set_min_proto_version(ssl, TLS1_2_VERSION);
    SSL_CTX_set_options(ssl, SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_use_certificate_chain_file(ssl, options.tlsCert.c_str()) != 1) {
      error = "cannot use the certificate " + options.tlsCert;
      return false;
    }
    if (SSL_CTX_use_PrivateKey_file(ssl, options.tlsKey.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ssl) != 1) {
      error = "cannot use the key " + options.tlsKey + " with the certificate";
      return false;
    }
    return true;
  }
};

CCentralSite::CCentralSite(CCentralStore& store) : m_impl(new Impl(store)) {}

CCentralSite::~CCentralSite() {
  Impl& m = *m_impl;
  m.workers.Stop();
  if (m.http) evhttp_free(m.http);  // frees its connections; our references go below
  for (auto& kv : m.conns) bufferevent_decref(kv.first);
  m.conns.clear();
  for (event* e : {m.freshEvent, m.sweepEvent})
    if (e) event_free(e);
  if (m.ssl) SSL_CTX_free(m.ssl);
}

bool CCentralSite::Start(event_base* base, const SiteOptions& options, std::string& error) {
  Impl& m = *m_impl;
  m.options = options;
  m.perAddress.SetCaps(static_cast<size_t>(std::max(0, options.maxPerAddress)),
                       CAddressLimits<std::string>::kNoCap);
  m.base = base;
  if (options.tlsCert.empty() != options.tlsKey.empty()) {
    error = "--tls-cert and --tls-key go together";
    return false;
  }
  if (!options.tlsCert.empty() && !m.SetUpTls(error)) return false;
  m.freshEvent = event_new(base, -1, 0, &Impl::FreshCb, &m);
  m.sweepEvent = event_new(base, -1, EV_PERSIST, &Impl::SweepCb, &m);
  m.http = evhttp_new(base);
  if (!m.freshEvent || !m.sweepEvent || !m.http) {
    error = "cannot set up the site's events";
    return false;
  }
  const timeval sweep{0, kSweepMs * 1000};
  event_add(m.sweepEvent, &sweep);
  evhttp_set_bevcb(m.http, &Impl::BevCb, &m);
  evhttp_set_gencb(m.http, &Impl::RequestCb, &m);
  evhttp_set_allowed_methods(m.http, EVHTTP_REQ_GET | EVHTTP_REQ_HEAD | EVHTTP_REQ_POST);
  evhttp_set_max_headers_size(m.http, static_cast<ev_ssize_t>(options.maxHeaders));
  evhttp_set_max_body_size(m.http, static_cast<ev_ssize_t>(options.maxBody));
  evhttp_set_timeout(m.http, options.idleTimeoutSec);
  // An oversized body still gets its 413 before the close.
  evhttp_set_flags(m.http, EVHTTP_SERVER_LINGERING_CLOSE);
  m.bound = BindSite(m.http, options.host, options.port);
  if (!m.bound) {
    error = "cannot listen on " + options.host + ":" + std::to_string(options.port) + " for the site";
    return false;
  }
  if (!m.workers.Start(base, 1, [&m](Impl::Job& job) { return std::optional<Impl::Done>(m.Work(job)); },
                       [&m](std::deque<Impl::Done>& ready) { m.OnDone(ready); })) {
    error = "cannot set up the site's events";
    return false;
  }
  return true;
}

uint16_t CCentralSite::BoundPort() const {
  if (!m_impl->bound) return 0;
  const int fd = evhttp_bound_socket_get_fd(m_impl->bound);
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  return 0;
}

bool CCentralSite::Tls() const { return m_impl->ssl != nullptr; }
