#pragma once
// The HTTP file server: a plain GET fetches one regular file inside the shares, one request per
// connection. One pool task accepts and collects request heads (an idle connection costs a
// descriptor, never a worker); each complete head is served by its own pool task with sendfile.
// The server is shared by peer address: each has a share of the waiting connections and of the
// answers being sent, a head has one deadline as a whole, a full waiting set drops its oldest
// unfinished head for a newcomer, and an answer that stops progressing ends.
#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint16_t kHttpDefaultPort = 15008;
constexpr size_t kHttpLineSize = 1024;   // request line buffer, terminator included
constexpr size_t kHttpTokenMax = 254;    // method and URL
constexpr size_t kHttpPathMax = 511;

// Settings for tests; set before StartHttpServer. Port 0 binds any free port.
// Http_LoadSettings takes "http_port" of QUARLO_TEST_SETTINGS (0: any free port) when given.
void Http_LoadSettings();
void Http_SetPort(uint16_t port);
void Http_SetReadTimeout(int seconds);  // a head not complete by then is closed (default 5)
// An answer moving less than 32 KiB in this many seconds ends (default 10).
void Http_SetStallWindow(int seconds);
int Http_Serving();                     // answers being sent now
uint16_t Http_BoundPort();              // the listening port once bound, else 0
void Http_Stop();                       // ends the accept loop (tests; the service uses the exit flag)

int StartHttpServer(void* unused);  // pool task for the life of the service; 0 when it ends
int startup(uint16_t port);         // listening socket or -1 (logged)
int accept_request(void* conn);     // pool task: one connection, one request

// Whether a head has arrived whole: its empty line, found in the raw bytes (lines of any
// length), or the first line of a method we do not serve.
bool HttpHeadComplete(const char* data, size_t size);

// A request head being read line by line.
struct HttpCursor {
  const char* data;
  size_t size;
  size_t pos;
};
// One line into buffer (kHttpLineSize bytes): CR LF or a lone CR is stored as "\n"; at most
// 1023 characters; zero-terminated. The number of characters stored.
int HttpReadLine(HttpCursor& in, char* buffer);
std::string HttpUrlDecode(const std::string& text);

// A URL longer than kHttpTokenMax is refused whole (414), never cut to a shorter name.
enum class HttpAction { kNotImplemented, kServe, kDoNotServe, kUriTooLong };
struct HttpRequest {
  HttpAction action = HttpAction::kNotImplemented;
  std::string method;
  std::string url;  // cut at "?" for GET; empty when too long
};
HttpRequest ParseHttpRequest(const char* head, size_t size);

// The local file a URL names: decoded, converted from UTF-8, a leading virtual folder token
// expanded, "index.html" appended to a folder path. "" when it names nothing that may be
// served ("..", "." or empty components, a zero byte, too long, not absolute).
std::string HttpMapPath(const std::string& url);
// Names a Windows runtime reported as executable (.exe .cmd .bat .com) are never sent; the
// server asks it of the file it opened, not of the name requested.
bool HttpIsExecutableName(const std::string& path);

// The fixed answers, each line sent as the peer expects.
void HttpSendNotFound(int sock);
// A peer outside the PC's subnets is served only while a live connection from its address
// holds an accepted device log-in; else it gets 403.
bool HttpPeerAdmitted(int sock);
void HttpSendForbidden(int sock);
void HttpSendNotImplemented(int sock);
void HttpSendUriTooLong(int sock);
void HttpSendFileHeaders(int sock, long long length);
bool HttpSendFileBody(int fd, int sock, long long length);  // sendfile from the open file
void HttpServeFile(const std::string& path, int sock);      // 404 unless a shared regular file
