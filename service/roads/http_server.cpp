#include "service/roads/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "common/address_limits.h"
#include "common/log.h"
#include "common/os_layer.h"
#include "common/peer_trust.h"
#include "common/share_paths.h"
#include "common/thread_pool.h"
#include "service/service_globals.h"

namespace {

constexpr int kBacklog = 512;           // a burst of connects is accepted and sorted, not lost
constexpr size_t kHeadMax = 8192;       // a longer head is served from what fits
constexpr size_t kMaxWaiting = 128;     // connections still sending their head or queued
constexpr size_t kMaxWaitingPerAddress = 16;
constexpr size_t kMaxServing = 16;      // requests being answered at once
constexpr size_t kMaxServingPerAddress = 4;
constexpr int kDefaultReadTimeout = 5;  // for the whole head, counted from the accept
constexpr int kDefaultStallSeconds = 10;
constexpr off_t kMinBytesPerWindow = 32 * 1024;  // less than this per stall window ends an answer
constexpr int kLoopTickMs = 500;        // how soon the loop sees the exit flag
constexpr int kRetryMs = 20;            // a head waiting for a free worker
constexpr size_t kSendFileChunk = 1u << 30;

constexpr const char* kServerLine = "Server: QuarloHttpServer/0.1.0\r\n";

std::atomic<uint16_t> g_httpPort{kHttpDefaultPort};
std::atomic<uint16_t> g_httpBoundPort{0};
std::atomic<int> g_httpReadTimeout{kDefaultReadTimeout};
std::atomic<int> g_httpStallSeconds{kDefaultStallSeconds};
std::atomic<bool> g_httpStop{false};
std::atomic<int> g_httpWakeFd{-1};
// Set by the loop while heads wait for a free place: only then does an ending answer wake it.
std::atomic<bool> g_httpWaitingForPlace{false};

using Clock = std::chrono::steady_clock;

// A connection whose head is being read, then handed to accept_request (which owns it).
struct HttpConn {
  int fd = -1;
  in_addr_t addr = 0;  // the peer, network order: its share of the server
  std::string head;
  Clock::time_point deadline;
  bool complete = false;
};

void Wake() {
  const int fd = g_httpWakeFd.load();
  if (fd >= 0) {
    const char byte = 1;
    (void)!write(fd, &byte, 1);
  }
}

bool Stopping() { return g_ExitFlag.load() != 0 || g_httpStop.load(); }

// Answers are written to non-blocking sockets: a reader that stops reading never holds a
// worker in a blocked call, and the progress checks below see it.
bool WaitWritable(int sock) {
  pollfd p{sock, POLLOUT, 0};
  const int n = poll(&p, 1, kLoopTickMs);
  return n >= 0 || errno == EINTR;
}

// How far an answer got: one that moves fewer than kMinBytesPerWindow bytes in a stall
// window ends, so a slow or stopped reader cannot keep its worker.
class CProgress {
 public:
  CProgress() : m_windowStart(Clock::now()) {}
  bool Enough(off_t sent) {
    const auto now = Clock::now();
    if (now - m_windowStart < std::chrono::seconds(g_httpStallSeconds.load())) return true;
    if (sent - m_sentAtStart < kMinBytesPerWindow) return false;
    m_windowStart = now;
    m_sentAtStart = sent;
    return true;
  }

 private:
  Clock::time_point m_windowStart;
  off_t m_sentAtStart = 0;
};

bool SendAll(int sock, const char* data, size_t len, int flags = 0) {
  CProgress progress;
  off_t sent = 0;
  while (len > 0) {
    const ssize_t n = send(sock, data, len, MSG_NOSIGNAL | flags);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
      sent += n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    if (Stopping() || !WaitWritable(sock) || !progress.Enough(sent)) return false;
  }
  return true;
}

void SendLines(int sock, const char* const* lines, size_t count, int flags = 0) {
  // One buffer, one send: the same bytes as line by line, in fewer packets.
  std::string out;
  for (size_t i = 0; i < count; ++i) out += lines[i];
  SendAll(sock, out.data(), out.size(), flags);
}

// Half-closes, takes what the peer still sent (so the close is not a reset that could cut
// the answer short on its side), then closes.
void CloseConnection(int sock) {
  shutdown(sock, SHUT_WR);
  char drain[1024];
  while (recv(sock, drain, sizeof drain, MSG_DONTWAIT) > 0) {
  }
  close(sock);
}

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool EqualsNoCase(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Made once and kept for the life of the process: a request task may still wake the loop
// after it ended, and must never write into a descriptor that was closed and reused.
bool WakePipe(int fds[2]) {
  static int pipeFds[2] = {-1, -1};
  static const bool made = pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) == 0;
  fds[0] = pipeFds[0];
  fds[1] = pipeFds[1];
  return made;
}

// Answers being sent, per peer address and in all; workers end theirs, the loop starts them.
std::mutex g_servingMutex;
CAddressLimits<in_addr_t> g_serving(kMaxServingPerAddress, kMaxServing);  // under g_servingMutex

enum class StartResult { kStarted, kAddressBusy, kServerBusy };

StartResult StartServing(HttpConn* conn) {
  // Once handed over, the connection is the worker's, which may have freed it already.
  const in_addr_t addr = conn->addr;
  {
    std::lock_guard<std::mutex> lock(g_servingMutex);
    const AddressRoom room = g_serving.Take(addr);
    if (room == AddressRoom::kAllFull) return StartResult::kServerBusy;
    if (room == AddressRoom::kAddressFull) return StartResult::kAddressBusy;
  }
  if (ThreadPool_TryAddTask(g_pThreadPool, accept_request, conn) != 0) {
    std::lock_guard<std::mutex> lock(g_servingMutex);
    g_serving.Release(addr);
    return StartResult::kServerBusy;
  }
  return StartResult::kStarted;
}

void EndServing(in_addr_t addr) {
  {
    std::lock_guard<std::mutex> lock(g_servingMutex);
    g_serving.Release(addr);
  }
  if (g_httpWaitingForPlace.load()) Wake();
}

bool ServingFull() {
  std::lock_guard<std::mutex> lock(g_servingMutex);
  return g_serving.AllFull();
}

void CloseConn(HttpConn* conn) {
  close(conn->fd);
  delete conn;
}

// The checked, opened file a request names, or why there is none.
enum class OpenResult { kFile, kFolder, kRefused };

// `opened` gets the canonical name of the file opened: the name the file really has. Opened
// beneath its share with no link on the way (the check and the open are one step, so nothing
// outside the shares is ever opened), never blocking on a FIFO.
OpenResult OpenSharedFile(const std::string& path, int& fd, struct stat& st,
                          std::string* opened = nullptr) {
  fd = -1;
  if (path.empty()) return OpenResult::kRefused;
  std::string name;
  const int got = OpenSharedPath(path, O_RDONLY | O_NONBLOCK, &name);
  if (got < 0) return OpenResult::kRefused;
  if (fstat(got, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
    close(got);
    return OpenResult::kRefused;
  }
  if (S_ISDIR(st.st_mode)) {
    close(got);
    return OpenResult::kFolder;
  }
  fd = got;
  if (opened) *opened = name;
  return OpenResult::kFile;
}

}  // namespace

void Http_LoadSettings() {
  long port = 0;
  if (Service_TestSetting("http_port", port) && port <= 65535)
    g_httpPort.store(static_cast<uint16_t>(port));
}

void Http_SetPort(uint16_t port) { g_httpPort.store(port); }
void Http_SetReadTimeout(int seconds) { g_httpReadTimeout.store(seconds > 0 ? seconds : 1); }
void Http_SetStallWindow(int seconds) { g_httpStallSeconds.store(seconds > 0 ? seconds : 1); }
int Http_Serving() {
  std::lock_guard<std::mutex> lock(g_servingMutex);
  return static_cast<int>(g_serving.Total());
}
uint16_t Http_BoundPort() { return g_httpBoundPort.load(); }
void Http_Stop() {
  g_httpStop.store(true);
  Wake();
}

bool HttpHeadComplete(const char* data, size_t size) {
  // Line ends are CR LF, LF or a lone CR, as HttpReadLine takes them; lines of any length.
  size_t lineStart = 0;
  bool first = true;
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    // A request line longer than the line buffer can only be refused (414 or 501): at once.
    if (first && i >= kHttpLineSize - 1) return true;
    if (c != '\r' && c != '\n') continue;
    size_t end = i + 1;
    if (c == '\r') {
      if (end == size) return false;  // its LF may follow
      if (data[end] == '\n') ++end;
    }
    if (first) {
      first = false;
      // A method we do not serve needs only the first line.
      if (ParseHttpRequest(data, end).action == HttpAction::kNotImplemented) return true;
    } else if (i == lineStart) {
      return true;
    }
    i = end - 1;
    lineStart = end;
  }
  return false;
}

int HttpReadLine(HttpCursor& in, char* buffer) {
  size_t i = 0;
  while (i < kHttpLineSize - 1) {
    if (in.pos >= in.size) break;
    char c = in.data[in.pos++];
    if (c == '\r') {
      if (in.pos < in.size && in.data[in.pos] == '\n') ++in.pos;
      c = '\n';
    }
    buffer[i++] = c;
    if (c == '\n') break;
  }
  buffer[i] = '\0';
  return static_cast<int>(i);
}

std::string HttpUrlDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 1 < text.size() && text[i + 1] == '%') {
      out += '%';
      ++i;
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

HttpRequest ParseHttpRequest(const char* head, size_t size) {
  HttpRequest req;
  HttpCursor in{head, head ? size : 0, 0};
  char line[kHttpLineSize];
  const size_t n = static_cast<size_t>(HttpReadLine(in, line));
  size_t i = 0;
  while (i < n && !IsSpace(line[i]) && req.method.size() < kHttpTokenMax) req.method += line[i++];
  if (!EqualsNoCase(req.method, "GET") && !EqualsNoCase(req.method, "POST")) {
    req.action = HttpAction::kNotImplemented;
    return req;
  }
  req.action = EqualsNoCase(req.method, "POST") ? HttpAction::kDoNotServe : HttpAction::kServe;
  while (i < n && IsSpace(line[i])) ++i;
  while (i < n && !IsSpace(line[i]) && req.url.size() < kHttpTokenMax) req.url += line[i++];
  // More URL than fits, or a request line cut by the line buffer while still in the URL: a cut
  // URL could name another, shorter-named file.
  const bool lineCut = n == kHttpLineSize - 1 && line[n - 1] != '\n';
  if ((i < n && !IsSpace(line[i])) || (i == n && lineCut)) {
    req.action = HttpAction::kUriTooLong;
    req.url.clear();
    return req;
  }
  if (req.action == HttpAction::kServe) {
    const size_t q = req.url.find('?');
    if (q != std::string::npos) {
      req.action = HttpAction::kDoNotServe;
      req.url.resize(q);
    }
  }
  return req;
}

std::string HttpMapPath(const std::string& url) {
  const std::string local = WireToLocal(HttpUrlDecode(url));
  if (local.empty() || local[0] != '/') return std::string();
  std::string path = local;
  const std::string rest = local.substr(1);
  if (rest.compare(0, 8, "$DEFAULT") == 0) path = ExpandDefaultPath(rest);
  if (path.empty() || path[0] != '/') return std::string();
  if (path.back() == '/') path += "index.html";
  if (path.size() > kHttpPathMax || path.find('\0') != std::string::npos) return std::string();
  // Every component must be a plain name: "..", ".", and empty pieces ("//") are refused
  // rather than resolved, so no spelling reaches outside what it seems to name.
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string piece = path.substr(start, end - start);
    if (piece.empty() || piece == "." || piece == "..") return std::string();
    start = end + 1;
  }
  return path;
}

bool HttpIsExecutableName(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".exe" || ext == ".cmd" || ext == ".bat" || ext == ".com";
}

void HttpSendForbidden(int sock) {
  static const char* const kLines[] = {
      "HTTP/1.1 403 FORBIDDEN\r\n",
      kServerLine,
      "Content-Type: text/html\r\n",
      "\r\n",
      "<HTML><TITLE>Forbidden</TITLE>\r\n",
      "<BODY><P>Log in from the phone first.\r\n",
      "</BODY></HTML>\r\n",
  };
  SendLines(sock, kLines, sizeof kLines / sizeof kLines[0]);
}

bool HttpPeerAdmitted(int sock) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
      peer.sin_family != AF_INET)
    return false;
  return IsOwnSubnetAddress(peer.sin_addr.s_addr) ||
         PeerLogin_AddressAccepted(peer.sin_addr.s_addr);
}

void HttpSendNotFound(int sock) {
  static const char* const kLines[] = {
      "HTTP/1.1 404 NOT FOUND\r\n",
      kServerLine,
      "Content-Type: text/html\r\n",
      "\r\n",
      "<HTML><TITLE>Not Found</TITLE>\r\n",
      "<BODY><P>The server could not fulfill\r\n",
      "your request because the resource specified\r\n",
      "is unavailable or nonexistent.\r\n",
      "</BODY></HTML>\r\n",
  };
  SendLines(sock, kLines, sizeof kLines / sizeof kLines[0]);
}

void HttpSendNotImplemented(int sock) {
  static const char* const kLines[] = {
      "HTTP/1.1 501 Method Not Implemented\r\n",
      kServerLine,
      "Content-Type: text/html\r\n",
      "\r\n",
      "<HTML><HEAD><TITLE>Method Not Implemented\r\n",
      "</TITLE></HEAD>\r\n",
      "<BODY><P>HTTP request method not supported.\r\n",
      "</BODY></HTML>\r\n",
  };
  SendLines(sock, kLines, sizeof kLines / sizeof kLines[0]);
}

void HttpSendUriTooLong(int sock) {
  static const char* const kLines[] = {
      "HTTP/1.1 414 URI Too Long\r\n",
      kServerLine,
      "Content-Type: text/html\r\n",
      "\r\n",
      "<HTML><TITLE>URI Too Long</TITLE>\r\n",
      "<BODY><P>The request URL is longer than the server accepts.\r\n",
      "</BODY></HTML>\r\n",
  };
  SendLines(sock, kLines, sizeof kLines / sizeof kLines[0]);
}

void HttpSendFileHeaders(int sock, long long length) {
  char lengthLine[64];
  std::snprintf(lengthLine, sizeof lengthLine, "Content-Length:  %lld\r\n", length);
  const char* const lines[] = {"HTTP/1.1 200 OK\r\n", kServerLine, lengthLine,
                               "Content-Type: application/octet-stream\r\n", "\r\n"};
  // The head waits for the body's first bytes: a small file goes out in one packet with it.
  SendLines(sock, lines, sizeof lines / sizeof lines[0], length > 0 ? MSG_MORE : 0);
}

bool HttpSendFileBody(int fd, int sock, long long length) {
  off_t offset = 0;
  CProgress progress;
  while (offset < length) {
    const size_t want = static_cast<size_t>(std::min<long long>(length - offset, kSendFileChunk));
    const ssize_t n = sendfile(sock, fd, &offset, want);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    // The peer left, or the file shrank under us.
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    if (Stopping() || !WaitWritable(sock) || !progress.Enough(offset)) return false;
  }
  return true;
}

void HttpServeFile(const std::string& path, int sock) {
  int fd = -1;
  struct stat st;
  if (OpenSharedFile(path, fd, st) != OpenResult::kFile) {
    HttpSendNotFound(sock);
    return;
  }
  HttpSendFileHeaders(sock, static_cast<long long>(st.st_size));
  HttpSendFileBody(fd, sock, static_cast<long long>(st.st_size));
  close(fd);
}

int startup(uint16_t port) {
  const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    QV_LOG(kModClient, kLogInfo, "httpServer binding on port %d error......", port);
    return -1;
  }
  const int one = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(sock, kBacklog) != 0) {
    QV_LOG(kModClient, kLogInfo, "httpServer binding on port %d error......", port);
    close(sock);
    return -1;
  }
  return sock;
}

int accept_request(void* arg) {
  std::unique_ptr<HttpConn> conn(static_cast<HttpConn*>(arg));
  const int sock = conn->fd;

  const HttpRequest req = ParseHttpRequest(conn->head.data(), conn->head.size());
  if (!HttpPeerAdmitted(sock)) {
    QV_LOG_REFUSAL("http", kModClient, kLogWarning, "http request refused: no accepted device login.");
    HttpSendForbidden(sock);
  } else if (req.action == HttpAction::kNotImplemented) {
    HttpSendNotImplemented(sock);
  } else if (req.action == HttpAction::kUriTooLong) {
    HttpSendUriTooLong(sock);
  } else {
    const std::string path = HttpMapPath(req.url);
    QV_LOG(kModClient, kLogInfo, "http request GET %s", path.c_str());
    int fd = -1;
    struct stat st;
    std::string opened;
    const OpenResult found = OpenSharedFile(path, fd, st, &opened);
    if (found == OpenResult::kRefused) {
      HttpSendNotFound(sock);
    } else if (found == OpenResult::kFile) {
      // A folder, an executable, a POST or a query string: found, but not sent. The file is
      // judged by its own name, so a link "alias.txt" to "x.exe" is not sent either.
      if (req.action == HttpAction::kServe && !HttpIsExecutableName(opened)) {
        HttpSendFileHeaders(sock, static_cast<long long>(st.st_size));
        HttpSendFileBody(fd, sock, static_cast<long long>(st.st_size));
      }
      close(fd);
    }
  }
  CloseConnection(sock);
  EndServing(conn->addr);
  return 0;
}

namespace {

// The listening socket on `port` (0: any free one), non-blocking, its port published; -1 when
// it cannot be had (logged).
int OpenListener(uint16_t port) {
  const int listener = startup(port);
  if (listener < 0) return -1;
  fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &len);
  g_httpBoundPort.store(ntohs(bound.sin_port));
  QV_LOG(kModClient, kLogInfo, "httpServer running on port %d", ntohs(bound.sin_port));
  return listener;
}

// The accepting side of the server, on its one thread: connections whose heads still arrive,
// complete heads waiting for a worker, and each address's share of both.
class CHeadCollector {
 public:
  CHeadCollector(int listener, int wakeRead) : m_listener(listener), m_wakeRead(wakeRead) {}
  ~CHeadCollector() {
    for (HttpConn* c : m_reading) CloseConn(c);
    for (HttpConn* c : m_ready) CloseConn(c);
  }
  CHeadCollector(const CHeadCollector&) = delete;
  CHeadCollector& operator=(const CHeadCollector&) = delete;

  // Hands complete heads to workers; whether the server (not only an address) is busy.
  bool StartAnswers() {
    bool serverBusy = DispatchReady();
    // Heads left waiting: an answer that ends from now on wakes the loop, and one that ended
    // before the flag was up is seen by the second pass.
    g_httpWaitingForPlace.store(!m_ready.empty());
    if (!m_ready.empty()) serverBusy = DispatchReady();
    return serverBusy;
  }

  // Until something arrives, a head's deadline, or a tick; false when polling fails.
  bool Wait(bool serverBusy) {
    m_fds.clear();
    m_fds.push_back({m_wakeRead, POLLIN, 0});
    m_fds.push_back({m_listener, POLLIN, 0});
    for (HttpConn* c : m_reading) m_fds.push_back({c->fd, POLLIN, 0});
    const auto now = Clock::now();
    // A worker ending wakes the loop; only a full pool needs the short retry.
    int timeout = serverBusy && !ServingFull() ? kRetryMs : kLoopTickMs;
    for (HttpConn* c : m_reading) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c->deadline - now);
      timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(timeout, left.count() + 1)));
    }
    const int n = poll(m_fds.data(), m_fds.size(), timeout);
    if (n < 0 && errno != EINTR) return false;
    if (m_fds[0].revents & POLLIN) {
      char drain[64];
      while (read(m_wakeRead, drain, sizeof drain) > 0) {
      }
    }
    return true;
  }

  // Reads what arrived; complete heads move on, ended or expired ones close.
  void ReadHeads() {
    const auto now = Clock::now();
    std::vector<HttpConn*> still;
    for (size_t i = 0; i < m_reading.size(); ++i) {
      HttpConn* c = m_reading[i];
      const bool ended =
          i + 2 < m_fds.size() && (m_fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) && Receive(c);
      if (HttpHeadComplete(c->head.data(), c->head.size()) || c->head.size() >= kHeadMax ||
          (ended && !c->head.empty())) {
        m_ready.push_back(c);
      } else if (ended || now >= c->deadline) {
        Drop(c);
      } else {
        still.push_back(c);
      }
    }
    m_reading.swap(still);
  }

  // Takes the connections waiting at the listener, within each address's share and the room
  // in all.
  void AcceptNew() {
    if (!(m_fds[1].revents & POLLIN)) return;
    for (;;) {
      sockaddr_in peer{};
      socklen_t peerLen = sizeof peer;
      const int sock = accept4(m_listener, reinterpret_cast<sockaddr*>(&peer), &peerLen,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (sock < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
          return;
        // Out of descriptors or memory: wait a little before trying again.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return;
      }
      const in_addr_t addr = peer.sin_addr.s_addr;
      if (m_waiting.AddressFull(addr)) {
        close(sock);  // this address has its share; the others keep theirs
        continue;
      }
      if (m_waiting.AllFull()) {
        if (m_reading.empty()) {
          close(sock);
          continue;
        }
        // Full: the oldest unfinished head makes room, so a crowd that never finishes its
        // heads cannot keep a newcomer out.
        HttpConn* oldest = m_reading.front();
        m_reading.erase(m_reading.begin());
        Drop(oldest);
      }
      auto* conn = new (std::nothrow) HttpConn;
      if (!conn) {
        close(sock);
        continue;
      }
      conn->fd = sock;
      conn->addr = addr;
      conn->deadline = Clock::now() + std::chrono::seconds(g_httpReadTimeout.load());
      m_reading.push_back(conn);
      m_waiting.Take(addr);  // its room was made above
    }
  }

 private:
  // Heads in order, but one address past its share of answers lets the others go first.
  bool DispatchReady() {
    for (auto it = m_ready.begin(); it != m_ready.end();) {
      HttpConn* c = *it;
      const in_addr_t addr = c->addr;
      const StartResult r = StartServing(c);
      if (r == StartResult::kServerBusy) return true;
      if (r == StartResult::kStarted) {
        m_waiting.Release(addr);
        it = m_ready.erase(it);
      } else {
        ++it;
      }
    }
    return false;
  }

  // Appends what the peer sent, up to the head's cap; true when the peer ended or failed.
  static bool Receive(HttpConn* c) {
    char buf[2048];
    for (;;) {
      const size_t room = kHeadMax - c->head.size();
      if (room == 0) return false;
      const ssize_t got = recv(c->fd, buf, std::min(room, sizeof buf), 0);
      if (got > 0) {
        c->head.append(buf, static_cast<size_t>(got));
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
  }

  void Drop(HttpConn* c) {
    m_waiting.Release(c->addr);
    CloseConn(c);
  }

  const int m_listener;
  const int m_wakeRead;
  // Both lists keep the order of the accepts, so the front of m_reading is the oldest head.
  std::vector<HttpConn*> m_reading;  // heads still arriving
  std::deque<HttpConn*> m_ready;     // complete heads waiting for a worker
  CAddressLimits<in_addr_t> m_waiting{kMaxWaitingPerAddress, kMaxWaiting};  // both lists
  std::vector<pollfd> m_fds;  // of the last Wait: the wake pipe, the listener, m_reading
};

}  // namespace

int StartHttpServer(void* /*unused*/) {
  const int listener = OpenListener(g_httpPort.load());
  if (listener < 0) return 0;
  g_httpStop.store(false);
  int wake[2] = {-1, -1};
  if (!WakePipe(wake)) {
    QV_LOG(kModClient, kLogError, "httpServer cannot make its wake pipe.");
    close(listener);
    return 0;
  }
  g_httpWakeFd.store(wake[1]);
  {
    CHeadCollector heads(listener, wake[0]);
    while (!Stopping()) {
      const bool serverBusy = heads.StartAnswers();
      if (!heads.Wait(serverBusy)) break;
      heads.ReadHeads();
      heads.AcceptNew();
    }
  }  // closes the connections still waiting
  close(listener);
  g_httpBoundPort.store(0);
  return 0;
}
