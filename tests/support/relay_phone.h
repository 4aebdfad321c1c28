#pragma once
// A phone outside the home network for tests: signs in at the real QuarloCentral, lists its
// account's PCs, sends requests to a PC through the relay, reads the relay replies and cached
// download packages, and leaves upload data for the PC (frames of docs/central-protocol.md).
#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "common/proto_relay.h"
#include "tests/support/device_client.h"

class RelayPhone {
 public:
  static constexpr std::chrono::milliseconds kWait{10000};

  void SetHost(const std::string& host) { m_host = host; }  // the server; 127.0.0.1 by default
  // Connects and signs in; the server's status (0: signed in, the session is set). -1 when
  // the connection or the answer failed.
  int SignIn(uint16_t port, const std::string& email, const std::string& pcText);
  // The same from a source address of the test's own (a phone elsewhere); the answer may be
  // waited for up to `wait` (a check that waits its turn).
  int SignInFrom(const std::string& source, uint16_t port, const std::string& email,
                 const std::string& pcText, std::chrono::milliseconds wait = std::chrono::seconds(120));
  const std::string& Session() const { return m_session; }
  // The PCs of the account (a connection of its own); the status, or -1.
  int ListPcs(uint16_t port, std::vector<PcEntry>& out) const;

  bool Request(const std::string& pc, const Bytes& message);  // one relay data frame
  // The next device message addressed to this phone (relay reply or cached package); the
  // frame's command goes to *command. False at the deadline or on a close.
  bool ReadMessage(DeviceMessage& out, uint16_t* command = nullptr,
                   std::chrono::milliseconds wait = kWait);
  // The server's status for the last frame of a command (kCmdRelayData refusals, leaves).
  bool ReadStatus(uint16_t command, uint16_t& status, std::chrono::milliseconds wait = kWait);
  // Leaves one upload message for the PC; a full cache is waited out (until the deadline).
  // The final status, or -1.
  int Leave(const std::string& pc, const Bytes& message, std::chrono::milliseconds wait = kWait);

  DeviceClient& Conn() { return m_conn; }

 private:
  int SignInOnConnection(const std::string& email, const std::string& pcText,
                         std::chrono::milliseconds wait);
  struct Frame {
    RelayHeader header;
    Bytes body;
  };
  bool ReadFrame(Frame& out, std::chrono::milliseconds wait);
  // n bytes of the stream, taken from what large reads brought in: a download of many small
  // frames costs the phone a few reads, not two per frame.
  bool ReadBuffered(uint8_t* out, size_t n, std::chrono::milliseconds wait);
  DeviceClient m_conn;
  Bytes m_in;                      // bytes read from the connection
  size_t m_inAt = 0, m_inEnd = 0;  // the part of m_in not yet taken
  std::string m_host = "127.0.0.1";
  std::string m_session;
  std::deque<Frame> m_stash;  // frames read while looking for another kind
};
