#pragma once
// The operator's web site inside QuarloCentral: libevent's evhttp on a port of its own (plain
// HTTP, or HTTPS with a certificate and key), on the central server's event thread, over the
// same accounts database. Registrations are hashed and stored on the site's own worker and
// the answer is posted back to the event thread; everything else is answered at once from
// the files of the site folder (<data>/site, see site_content.h).
//
// What a stranger can make it hold is bounded: header and body sizes, one deadline for each
// whole request (TLS hand-shake included), connections in all and per address, registration
// posts and new accounts per address.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "central/site/site_form.h"

class CCentralStore;
struct event_base;

struct SiteOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  std::string tlsCert, tlsKey;  // PEM files; both set: HTTPS
  std::string folder;           // <data>/site
  int maxConnections = 128;
  int maxPerAddress = 8;
  int requestDeadlineSec = 10;  // from accept or the last answer to a whole request
  int idleTimeoutSec = 10;      // a read or write that makes no progress
  size_t maxHeaders = 8192;
  size_t maxBody = kRegisterBodyMax;
  int accountsPerAddress = 3;   // new accounts per address and window
  int attemptsPerAddress = 20;  // registration posts per address and window
  int windowSec = 3600;
};

class CCentralSite {
 public:
  explicit CCentralSite(CCentralStore& store);
  ~CCentralSite();  // joins the worker and frees the server; before the event base goes
  CCentralSite(const CCentralSite&) = delete;
  CCentralSite& operator=(const CCentralSite&) = delete;

  // Binds and serves on `base` (run by the caller's thread).
  bool Start(event_base* base, const SiteOptions& options, std::string& error);
  uint16_t BoundPort() const;
  bool Tls() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
