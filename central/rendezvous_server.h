#pragma once
// The peer-to-peer rendezvous on the server's UDP port (layouts: docs/central-protocol.md).
// PCs announce themselves with a 150-byte heartbeat; a phone asks, with its account's e-mail
// and password text, to be introduced to a PC of that account; the server sends the PC a hole
// punch naming the phone's address as seen, and the phone the PC's address. The event thread
// only queues datagrams: checks run on a thread of this module, over the server's one database
// connection; a password text accepted recently is known without hashing, any other is hashed
// on a second thread (one check per account at a time), so that guesses never hold up the
// datagrams of others.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class CCentralExchanges;

constexpr size_t kRendezvousQueueMax = 1024;  // datagrams waiting; more are dropped
constexpr size_t kRendezvousPcsMax = 4096;    // PCs remembered from heartbeats
constexpr int kRendezvousPcFreshSec = 60;     // a PC silent this long is not introduced
constexpr size_t kRendezvousPcsPerKey = 16;   // entries per account and per address
constexpr size_t kRendezvousQueuedPerAddress = 64;  // datagrams of one address waiting
// Wrong passwords from one address for one account before that pair pauses (never for an
// address the account's PC is logged on from: UDP sources can be forged), and from all
// addresses for one account before its checks pause.
constexpr int kRendezvousFailuresMax = 5;
constexpr int kRendezvousAccountFailuresMax = 20;
constexpr int kRendezvousPauseSec = 300;
// The source field of the server's answer to a phone: an introduction (a PC address of 0: the
// request was right but no PC of the account is online), or a refusal (all else 0).
constexpr uint16_t kRendezvousIntroduced = 1;
constexpr uint16_t kRendezvousRefused = 2;

class CRendezvousServer {
 public:
  CRendezvousServer();
  ~CRendezvousServer();  // stops the thread
  CRendezvousServer(const CRendezvousServer&) = delete;
  CRendezvousServer& operator=(const CRendezvousServer&) = delete;

  // Starts the threads; answers leave from udpFd. The exchanges outlive them.
  bool Start(CCentralExchanges& exchanges, int udpFd, std::string& error);
  void Stop();
  // From the event thread: copies the datagram into the queue (dropped when full).
  // to: the server's own address the datagram was sent to.
  void Post(const uint8_t* data, size_t len, const sockaddr_in& from, const in_addr& to);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
