#pragma once
// The desktop program's connection to the service on this PC: one TCP connection per local API
// request (port 15002 of the service host), a queued sender thread for the request whose
// caller must not wait, and the push listener (127.0.0.1, port 15003) on which the service asks
// whether a phone may log in; each push connection is held until the user has answered. On
// loopback both ends talk only to sockets of this user (or root): another local user's
// listener gets no request and another user's push is closed unread.
// Frames: CommandHeader {u16 total length, u16 opcode, u32 parameter}, big-endian.
#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constexpr uint16_t kLocalRequestPort = 15002;
constexpr uint16_t kLocalPushPort = 15003;
constexpr uint16_t kOpDeviceLoginPush = 0x500D;
constexpr int kLoginQueueMessageSize = 72;
// A push carries {264, 0x500D, id} and the phone's request; the texts the desktop shows end
// at byte 200, so anything shorter is no push.
constexpr int kMinPushSize = 200;
// Push connections being read or held at once; more are closed at once (the service counts
// them as refused).
constexpr size_t kMaxPushConnections = 64;
// How long a push connection may take to deliver its question.
constexpr int kPushReadTimeoutMs = 10000;

class ISocketConnectCallback {
 public:
  virtual ~ISocketConnectCallback() = default;
  // A whole message (header included); the buffer is the caller's.
  virtual void OnRecv(const uint8_t* message, int length) = 0;
  // stage 1 no connection or nothing to send, 2 send failed, 3 receive failed.
  virtual void OnError(uint16_t opcode, int stage) = 0;
};

class LocalSocket;

struct PushConnection {
  int socket = -1;
  LocalSocket* owner = nullptr;
  uint32_t requestId = 0;  // the header parameter's four bytes as received (not swapped)
};

class LocalSocket {
 public:
  explicit LocalSocket(uint16_t requestPort = kLocalRequestPort, uint16_t pushPort = kLocalPushPort);
  ~LocalSocket();  // Stop()s first
  LocalSocket(const LocalSocket&) = delete;
  LocalSocket& operator=(const LocalSocket&) = delete;

  // 0 with the whole reply (header and body); -1 send failed or body incomplete, -2 no host or
  // no connection (also a loopback listener of another user: nothing is sent to it), -3 no
  // reply header (or a header whose length is below 8).
  static int SendRequestWaitReply(const uint8_t* message, int length, std::vector<uint8_t>& reply,
                                  const std::string& host, uint16_t port = kLocalRequestPort);
  int SendRequest(const uint8_t* message, int length, std::vector<uint8_t>& reply,
                  const std::string& host) const {
    return SendRequestWaitReply(message, length, reply, host, m_requestPort);
  }
  // Queues a 72-byte message for the sender thread; 0, or -1 when message or host is missing.
  int QueueRequest(const uint8_t* message, const std::string& host);
  // Sends the 12-byte answer (verdict 0 lets the phone in, 1 refuses), forgets the push and
  // closes it; 0 sent, -1 the send failed.
  static int ReplyToPush(int socket, LocalSocket* owner, uint32_t requestId, uint32_t verdict);

  void SetCallback(ISocketConnectCallback* callback) { m_callback = callback; }
  // Binds 127.0.0.1 and starts accepting and reading pushes on one thread of its own; false
  // when it cannot bind.
  bool StartListener();
  uint16_t BoundPushPort() const { return m_boundPushPort; }
  bool Stopping() const { return m_stop; }
  // Ends the sender, the listener and every push reader, and closes the held pushes; when it
  // returns no callback of this socket is running or will run. Safe to call more than once.
  void Stop();
  // Set when the object goes away: a push reader waiting for the user gives up on it (pass it
  // to AskMainThread as the cancel flag), so the destructor's join cannot wait for the user.
  const std::atomic<bool>& StopFlag() const { return m_stop; }

  // The push map, re-entrant: a caller may look an id up and answer under the same lock.
  std::recursive_mutex& MapLock() { return m_mapLock; }
  bool FindPush(uint32_t requestId, PushConnection& out);  // call under MapLock
  size_t HeldPushes();

 private:
  struct QueuedRequest {
    std::string host;
    uint16_t port;
    std::vector<uint8_t> message;
  };
  void SenderThread();
  void ListenerThread();
  // A push read whole: held (true) when it can be answered, else the caller closes it.
  bool TakePush(int socket, const std::vector<uint8_t>& frame);
  void Wake();

  uint16_t m_requestPort;
  uint16_t m_pushPort;
  std::atomic<uint16_t> m_boundPushPort{0};
  std::atomic<ISocketConnectCallback*> m_callback{nullptr};
  std::atomic<bool> m_stop{false};

  std::recursive_mutex m_mapLock;
  std::map<uint32_t, PushConnection> m_pushes;
  // Answered pushes, shut down by ReplyToPush and closed by the listener thread, which alone
  // closes push sockets (so no descriptor it polls is reused under it). Under m_mapLock.
  std::vector<int> m_answered;

  std::mutex m_queueLock;
  std::condition_variable m_queueWake;
  std::deque<QueuedRequest> m_queue;

  int m_wakePipe[2] = {-1, -1};  // Stop() and ReplyToPush wake the listener's poll
  int m_listenSocket = -1;
  std::thread m_sender;
  std::thread m_listener;
};
