#include "desktop/app/site/site_http.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "desktop/foundation/sys_utils.h"
#include "platform/process_path.h"
#include "platform/socket_owner.h"

namespace {

constexpr char kUserAgent[] = "Quarlo";
// The central server of an installation that names none (quarlo_dbinit's default).
constexpr char kDefaultCentralHost[] = "127.0.0.1";

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The scheme and host of url (lower case), as ParseUrl finds them.
bool SchemeAndHost(const std::string& url, std::string& scheme, std::string& host) {
  UrlParts parts;
  if (!ParseUrl(url, parts)) return false;
  scheme = parts.scheme;
  host = parts.host;
  return true;
}

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  // 127.a.b.c with four decimal parts.
  if (host.compare(0, 4, "127.") != 0) return false;
  int parts = 0, digits = 0;
  for (char c : host) {
    if (c == '.') {
      if (digits == 0) return false;
      ++parts;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 3) return false;
    } else {
      return false;
    }
  }
  return parts == 3 && digits > 0;
}

struct CurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

struct Sink {
  std::string* body = nullptr;
  size_t maxBody = 0;
  int fd = -1;
  uint64_t maxBytes = 0;
  uint64_t written = 0;
  bool tooLarge = false;
  bool writeError = false;
  const std::atomic<bool>* cancel = nullptr;
};

size_t WriteToString(char* data, size_t size, size_t count, void* user) {
  Sink* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  if (sink->body->size() + n > sink->maxBody) {
    sink->tooLarge = true;
    return 0;  // ends the transfer
  }
  sink->body->append(data, n);
  return n;
}

size_t WriteToFd(char* data, size_t size, size_t count, void* user) {
  Sink* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  if (sink->written + n > sink->maxBytes) {
    sink->tooLarge = true;
    return 0;
  }
  size_t done = 0;
  while (done < n) {
    const ssize_t w = write(sink->fd, data + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      sink->writeError = true;
      return 0;
    }
    done += static_cast<size_t>(w);
  }
  sink->written += n;
  return n;
}

int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const Sink* sink = static_cast<const Sink*>(user);
  return sink->cancel && sink->cancel->load() ? 1 : 0;
}

// On loopback any local user may hold the site's port while the site is down. Before libcurl
// connects to a loopback address (and sends a registration's password text), a probe
// connection asks the kernel whose listener it reaches: only this user's (or root's) is the
// site. Whose socket holds an IPv6 loopback port cannot be told, so only IPv4 is used there.
curl_socket_t OpenSiteSocket(void*, curlsocktype, curl_sockaddr* address) {
  bool loopback = false;
  if (address->family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&address->addr);
    loopback = (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  } else if (address->family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address->addr);
    if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) ||
        (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && in6->sin6_addr.s6_addr[12] == 127))
      return CURL_SOCKET_BAD;
  }
  if (loopback) {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return CURL_SOCKET_BAD;
    uint32_t uid = 0;
    const bool reached =
        connect(probe, reinterpret_cast<const sockaddr*>(&address->addr), address->addrlen) == 0;
    const bool known = reached && Plat_LoopbackPeerUid(probe, uid, 2000);
    close(probe);
    if (!reached) return CURL_SOCKET_BAD;  // nothing listens: libcurl says it could not connect
    if (!known || (uid != 0 && uid != static_cast<uint32_t>(geteuid()))) {
      const unsigned port = ntohs(reinterpret_cast<const sockaddr_in*>(&address->addr)->sin_port);
      if (known)
        std::fprintf(stderr,
                     "Quarlo: port %u on this PC is held by another user's program (uid %u), not "
                     "by the site; nothing was sent.\n",
                     port, uid);
      else
        std::fprintf(stderr, "Quarlo: whose program holds port %u on this PC cannot be told; nothing was sent.\n",
                     port);
      return CURL_SOCKET_BAD;
    }
  }
  const int fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

// The options every request shares: who may be reached and how.
bool Prepare(CURL* h, const std::string& url, Sink& sink) {
  if (!IsAllowedSiteUrl(url)) return false;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, IsLoopbackHttpUrl(url) ? "http,https" : "https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  // A test (or an operator with a private authority) names the certificates to trust.
  if (const char* ca = std::getenv("QUARLO_SITE_CA_FILE"); ca && *ca)
    curl_easy_setopt(h, CURLOPT_CAINFO, ca);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");  // gzip and deflate, decoded by libcurl
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, 30000L);
  curl_easy_setopt(h, CURLOPT_OPENSOCKETFUNCTION, &OpenSiteSocket);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Progress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &sink);
  return true;
}

HttpReply Finish(CURL* h, CURLcode rc, const Sink& sink) {
  HttpReply reply;
  long code = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
  reply.code = code;
  if (rc == CURLE_OK) {
    reply.result = HttpResult::Ok;
  } else if (sink.tooLarge) {
    reply.result = HttpResult::TooLarge;
  } else if (rc == CURLE_ABORTED_BY_CALLBACK) {
    reply.result = HttpResult::Cancelled;
  } else if (rc == CURLE_OPERATION_TIMEDOUT) {
    reply.result = HttpResult::TimedOut;
  } else if (rc == CURLE_UNSUPPORTED_PROTOCOL) {
    reply.result = HttpResult::Refused;  // a redirect to a scheme we do not follow
  } else {
    reply.result = HttpResult::Failed;
  }
  return reply;
}

HttpReply InMemory(const std::string& url, const std::string* form, long timeoutMs,
                   size_t maxBody, const std::atomic<bool>* cancel) {
  HttpReply refused;
  refused.result = HttpResult::Refused;
  if (!IsAllowedSiteUrl(url)) return refused;
  EnsureCurlGlobal();
  CurlHandle h(curl_easy_init());
  if (!h) return HttpReply{};
  std::string body;
  Sink sink;
  sink.body = &body;
  sink.maxBody = maxBody;
  sink.cancel = cancel;
  if (!Prepare(h.get(), url, sink)) return refused;
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, &WriteToString);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT_MS, timeoutMs);
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  if (form) {
    headers.reset(curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded"));
    curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, form->data());
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(form->size()));
  }
  const CURLcode rc = curl_easy_perform(h.get());
  HttpReply reply = Finish(h.get(), rc, sink);
  if (reply.result == HttpResult::Ok) reply.body = std::move(body);
  return reply;
}

}  // namespace

bool ParseUrl(const std::string& url, UrlParts& out) {
  out = UrlParts{};
  const size_t sep = url.find("://");
  if (sep == std::string::npos || sep == 0) return false;
  out.scheme = LowerAscii(url.substr(0, sep));
  for (char c : out.scheme)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')) return false;
  const size_t start = sep + 3;
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  const std::string authority = url.substr(start, end - start);
  if (authority.empty() || authority.find('@') != std::string::npos) return false;
  std::string port;
  if (authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    out.host = LowerAscii(authority.substr(1, close - 1));
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      port = authority.substr(close + 2);
    }
  } else {
    const size_t colon = authority.find(':');
    out.host = LowerAscii(authority.substr(0, colon));
    if (colon != std::string::npos) port = authority.substr(colon + 1);
  }
  if (out.host.empty()) return false;
  for (char c : out.host)
    if (c <= ' ' || c == '\\' || c == '%') return false;
  for (char c : port)
    if (c < '0' || c > '9') return false;
  out.port = port;
  const size_t fragment = url.find('#', end);
  const std::string rest = url.substr(end, fragment == std::string::npos ? std::string::npos : fragment - end);
  const size_t query = rest.find('?');
  out.path = rest.substr(0, query);
  if (out.path.empty()) out.path = "/";
  if (query != std::string::npos) out.query = rest.substr(query + 1);
  return true;
}

std::string UrlOrigin(const UrlParts& parts) {
  const std::string host = parts.host.find(':') != std::string::npos ? "[" + parts.host + "]" : parts.host;
  return parts.scheme + "://" + host + (parts.port.empty() ? "" : ":" + parts.port);
}

std::string ConfiguredCentralHost() {
  // The service's settings, read only: <base>/etc/Quarlo.db, the base being the folder above
  // the programs' own (the user's own for a per-user installation).
  std::string base = Plat_BaseFolderOf(GetModuleDir());
  if (base.empty()) base = ".";
  std::string host;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2((base + "/etc/Quarlo.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 500);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "select svhost from qv_conf limit 1", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      if (text) host = reinterpret_cast<const char*>(text);
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  // Only a plain host name or address makes an origin.
  for (char c : host)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'))
      return kDefaultCentralHost;
  return host.empty() ? kDefaultCentralHost : host;
}

std::string SiteOriginOfCentral(const std::string& host) {
  if (IsLoopbackHost(LowerAscii(host))) return "http://" + host + ":" + std::to_string(kSitePortBesideCentral);
  return "https://" + host;
}

std::string SiteOrigin() {
  std::string origin;
  if (const char* v = std::getenv("QUARLO_SITE_ORIGIN"); v && *v) origin = v;
  else origin = SiteOriginOfCentral(ConfiguredCentralHost());
  while (!origin.empty() && origin.back() == '/') origin.pop_back();
  return origin;
}

std::string SitePage(const std::string& pathOrUrl) {
  if (pathOrUrl.empty()) return "";
  if (pathOrUrl[0] == '/') return SiteOrigin() + pathOrUrl;
  return IsAllowedSiteUrl(pathOrUrl) ? pathOrUrl : "";
}

std::string SiteUrl(const std::string& path) { return SiteOrigin() + path; }

bool IsLoopbackHttpUrl(const std::string& url) {
  std::string scheme, host;
  return SchemeAndHost(url, scheme, host) && scheme == "http" && IsLoopbackHost(host);
}

bool IsAllowedSiteUrl(const std::string& url) {
  std::string scheme, host;
  if (!SchemeAndHost(url, scheme, host)) return false;
  for (char c : url)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return false;
  if (scheme == "https") return true;
  return scheme == "http" && IsLoopbackHost(host);
}

void EnsureCurlGlobal() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

HttpReply HttpGet(const std::string& url, long timeoutMs, size_t maxBody,
                  const std::atomic<bool>* cancel) {
  return InMemory(url, nullptr, timeoutMs, maxBody, cancel);
}

HttpReply HttpPostForm(const std::string& url, const std::string& form, long timeoutMs,
                       size_t maxBody, const std::atomic<bool>* cancel) {
  return InMemory(url, &form, timeoutMs, maxBody, cancel);
}

HttpReply HttpDownloadToFd(const std::string& url, int fd, uint64_t maxBytes, long stallSeconds,
                           uint64_t& written, const std::atomic<bool>* cancel) {
  written = 0;
  HttpReply refused;
  refused.result = HttpResult::Refused;
  if (!IsAllowedSiteUrl(url)) return refused;
  EnsureCurlGlobal();
  CurlHandle h(curl_easy_init());
  if (!h) return HttpReply{};
  Sink sink;
  sink.fd = fd;
  sink.maxBytes = maxBytes;
  sink.cancel = cancel;
  if (!Prepare(h.get(), url, sink)) return refused;
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, &WriteToFd);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h.get(), CURLOPT_ACCEPT_ENCODING, nullptr);  // the bytes as the page names them
  curl_easy_setopt(h.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h.get(), CURLOPT_LOW_SPEED_TIME, stallSeconds);
  const CURLcode rc = curl_easy_perform(h.get());
  written = sink.written;
  HttpReply reply = Finish(h.get(), rc, sink);
  if (sink.writeError) reply.result = HttpResult::Failed;
  return reply;
}
