#pragma once
// The desktop program's road to the operator's web site, over libcurl. The site's origin is
// one setting ($QUARLO_SITE_ORIGIN, else the operator's public address). Requests go out only
// over HTTPS with the certificate and host checked, or over plain HTTP to a loopback origin
// (the local site of `make run` and the tests); redirects may lead to HTTPS only. Every call
// blocks: callers run them on a worker thread, never on the main thread.
#include <atomic>
#include <cstdint>
#include <string>

// The one home of the site's origin: the setting $QUARLO_SITE_ORIGIN when it is set, else the
// site beside the central server the service is configured with. No trailing "/".
std::string SiteOrigin();
// The origin followed by path (which starts with "/").
std::string SiteUrl(const std::string& path);
// A page the program opens: a path of the site ("/faq.html", as the language files name their
// pages), or an address of its own when it may be used (IsAllowedSiteUrl); "" otherwise.
std::string SitePage(const std::string& pathOrUrl);

// The site's port beside its central server (QuarloCentral --site, `make run`).
constexpr int kSitePortBesideCentral = 15180;
// The central server's host in the service's settings (qv_conf svhost of <base>/etc/Quarlo.db,
// read only), or "127.0.0.1", the installation's default.
std::string ConfiguredCentralHost();
// The site of a central server: plain HTTP on its own port for a loopback server, else HTTPS.
std::string SiteOriginOfCentral(const std::string& host);

// The program's one URL parser. scheme and host in lower case (an IPv6 host without its
// brackets), port as written ("" for none), path "/" when the address has none, query without
// its "?", no fragment. False for anything without "scheme://host" or with user information.
struct UrlParts {
  std::string scheme, host, port, path, query;
};
bool ParseUrl(const std::string& url, UrlParts& out);
// "scheme://host[:port]".
std::string UrlOrigin(const UrlParts& parts);

// True for https:// URLs and for http:// URLs whose host is 127.0.0.0/8, [::1] or localhost.
bool IsAllowedSiteUrl(const std::string& url);
bool IsLoopbackHttpUrl(const std::string& url);

// libcurl's process-wide set-up, once, before the first request of any thread.
void EnsureCurlGlobal();

enum class HttpResult {
  Ok = 0,        // a response arrived (see code)
  Refused,       // the URL may not be used (scheme or host)
  TimedOut,
  Failed,        // no connection, TLS or certificate failure, or a broken transfer
  Cancelled,     // the cancel flag was raised
  TooLarge,      // the body passed its limit
};

struct HttpReply {
  HttpResult result = HttpResult::Failed;
  long code = 0;     // HTTP status, 0 when none arrived
  std::string body;  // decoded (gzip and deflate are accepted)
};

// GET with a time-out over the whole exchange and a cap on the body.
HttpReply HttpGet(const std::string& url, long timeoutMs, size_t maxBody,
                  const std::atomic<bool>* cancel = nullptr);
// POST of a form body (application/x-www-form-urlencoded).
HttpReply HttpPostForm(const std::string& url, const std::string& form, long timeoutMs,
                       size_t maxBody, const std::atomic<bool>* cancel = nullptr);

// GET into the open descriptor fd, which receives at most maxBytes (more aborts with
// TooLarge). written is the number of bytes written. No overall time-out, but a transfer
// that moves nothing for stallSeconds ends as TimedOut.
HttpReply HttpDownloadToFd(const std::string& url, int fd, uint64_t maxBytes, long stallSeconds,
                           uint64_t& written, const std::atomic<bool>* cancel = nullptr);
