#pragma once
// The relay, its cache and the phone side of the central server (layouts: docs/central-protocol.md).
// The first request of such a connection is checked on the worker (the PC's identity must be
// logged on to an account, a phone's e-mail and password must match); the hub then owns the
// connection on the event thread and routes in memory: phone requests to the PC's relay
// connection, the PC's replies and cached download packages to the phone they are addressed
// to, upload data left by phones to the PC's fetches. Only within one account. Every queue is
// bounded per download, per PC, per account and in total, and every connection's output is
// bounded (past it the connection is closed); nothing is kept for a phone that has gone. A
// download whose PC went away without its end gets a failed end from the server.
#include <cstddef>
#include <memory>

#include "central/central_exchanges.h"
#include "central/central_server.h"

struct RelayHubOptions {
  int idleSec = 120;                          // a relay or phone silent this long is dropped
  int cacheIdleSec = 30;                      // a cache connection silent this long
  size_t maxRelays = 1024;
  size_t maxPhones = 1024;
  size_t maxCacheConns = 1024;
  size_t perDownloadBytes = 256 * 1024;       // cached, not yet handed to the phone's socket
  size_t totalCacheBytes = 64 * 1024 * 1024;  // all phones together
  size_t perPcLeftBytes = 1024 * 1024;        // upload data waiting for one PC's fetch
  size_t totalLeftBytes = 64 * 1024 * 1024;
  size_t phoneOutputBytes = 256 * 1024;       // in a phone's socket buffer before the cache waits
  size_t pcOutputBytes = 1024 * 1024;         // requests waiting for a PC that does not read
  size_t phoneReplyBytes = 4 * 1024 * 1024;   // replies (a long listing) waiting for a phone
  size_t pcConnOutputBytes = 2 * 1024 * 1024; // any output waiting for a PC's connection
  // Each account's share of what all accounts share.
  size_t relaysPerAccount = 64;
  size_t cacheConnsPerAccount = 64;
  size_t phonesPerAccount = 64;
  size_t phonesPerAddress = 64;
  size_t cacheBytesPerAccount = 8 * 1024 * 1024;
  size_t leftBytesPerAccount = 8 * 1024 * 1024;
  // Below these an account is served even when the totals are reached.
  size_t cacheBytesFloor = 1024 * 1024;
  size_t cacheConnsFloor = 4;
  // A download's cache connection gone this long: the PC is gone. A PC reopens a broken cache
  // connection every 2 s for a little over 30 s (with or without its relay connection), and
  // any of those may still continue the download.
  int cutGraceMs = 35000;
};

class CRelayHub : public ICentralStreamOwner {
 public:
  CRelayHub(CCentralExchanges& exchanges, const RelayHubOptions& options = {});
  ~CRelayHub() override;
  CRelayHub(const CRelayHub&) = delete;
  CRelayHub& operator=(const CRelayHub&) = delete;

  // Registers the relay, cache and phone commands, and wraps log-out so that a PC that logged
  // out loses its relay. After CCentralExchanges::RegisterAll, before Start.
  void RegisterAll(CCentralServer& server);
  void Adopt(bufferevent* bev, const CentralRequest& first, const CentralOutcome& outcome) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
