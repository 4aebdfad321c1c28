#pragma once
// A phone stand-in for tests: speaks CommandHeader messages over TCP (whole, in pieces,
// several in one write, or cut off mid-message) and reads replies with a deadline. Builds
// messages with the encoders of common/wire.h. Also a runner for the real command server.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/wire.h"

using Bytes = std::vector<uint8_t>;

// Header (its length set to 8 + body size) followed by the body.
Bytes BuildMessage(uint16_t opcode, uint32_t param, const Bytes& body = {});
// A header taken as given (its length is not corrected), followed by the body: bad frames.
Bytes BuildRawMessage(const CommandHeader& header, const Bytes& body = {});
// The 20-byte TransHeader (its command length set to 20 + payload size) and the payload.
Bytes BuildTransMessage(uint16_t opcode, uint32_t param, uint32_t v1, uint32_t v2, uint32_t v3,
                        const Bytes& payload = {});
Bytes Concat(const std::vector<Bytes>& parts);

// The 356-byte body of a path request (download, folder listing): byte 0 unread, the path
// from byte 1 (at most 255 bytes, copied as given), the byte-order flag at 256.
Bytes PathRequestBody(const std::string& path, char orderFlag = '1');
// A fixed text field: the text cut to width bytes, zero-filled (no zero byte when it fills
// the width).
Bytes TextField(const std::string& text, size_t width);
// A body of one big-endian u32.
Bytes U32RequestBody(uint32_t value);

struct DeviceMessage {
  CommandHeader header;  // host order
  Bytes body;            // header.len - 8 bytes
  TransHeader Trans() const;  // the body's first 12 bytes as a TransHeader (zero when short)
};

class DeviceClient {
 public:
  static constexpr std::chrono::milliseconds kDefaultWait{5000};

  DeviceClient() = default;
  ~DeviceClient() { Close(); }
  DeviceClient(const DeviceClient&) = delete;
  DeviceClient& operator=(const DeviceClient&) = delete;

  bool Connect(const std::string& host, uint16_t port);  // IPv4 literal or name
  // From a given IPv4 source address (any 127.x is this host's loopback: another phone).
  bool ConnectFrom(const std::string& source, const std::string& host, uint16_t port);
  void Adopt(int fd);  // takes over a connected socket (for example one made in a namespace)
  int Fd() const { return m_fd; }
  void Close();

  bool SendRaw(const uint8_t* data, size_t len);  // all of it, no SIGPIPE
  bool SendRaw(const Bytes& bytes) { return SendRaw(bytes.data(), bytes.size()); }
  bool Send(uint16_t opcode, uint32_t param, const Bytes& body = {}) {
    return SendRaw(BuildMessage(opcode, param, body));
  }
  // Sends the bytes as separate writes of the given sizes (the rest in one last write), each
  // flushed on its own (TCP_NODELAY) so the server sees the pieces.
  bool SendInPieces(const Bytes& bytes, const std::vector<size_t>& pieces);
  // Sends the first count bytes and closes: a peer that drops mid-message.
  bool SendAndDrop(const Bytes& bytes, size_t count);

  bool ReadExact(uint8_t* out, size_t len, std::chrono::milliseconds wait = kDefaultWait);
  // One message: the header, then the body by its length. False on time-out, close or a
  // length below the header.
  bool ReadMessage(DeviceMessage& out, std::chrono::milliseconds wait = kDefaultWait);
  // True when the server closed the connection (EOF or reset) before the deadline; data that
  // arrives meanwhile is discarded.
  bool WaitClosed(std::chrono::milliseconds wait = kDefaultWait);

 private:
  int m_fd = -1;
};

// Runs the real command server (OS_RunEvent) on its own thread on an ephemeral port, the
// way the service's start-up does, and stops it on destruction.
class TestCommandServer {
 public:
  TestCommandServer() = default;
  ~TestCommandServer() { Stop(); }
  TestCommandServer(const TestCommandServer&) = delete;
  TestCommandServer& operator=(const TestCommandServer&) = delete;

  bool Start(std::chrono::milliseconds wait = std::chrono::milliseconds(5000));
  void Stop();
  uint16_t Port() const { return m_port; }

 private:
  std::thread m_thread;
  std::atomic<bool> m_finished{false};  // the loop ended on its own (or never started)
  uint16_t m_port = 0;
};
