#include "tests/support/relay_phone.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace {
using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Left(Clock::time_point deadline) {
  const auto d = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return d.count() > 0 ? d : std::chrono::milliseconds(0);
}

bool IsStatusFrame(const RelayHeader& h, const Bytes& body) {
  return h.identity.empty() && body.size() == 2;
}
}  // namespace

bool RelayPhone::ReadBuffered(uint8_t* out, size_t n, std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  constexpr size_t kRoom = 256 * 1024;  // above the largest frame
  if (n > kRoom) return false;
  if (m_in.size() != kRoom) m_in.assign(kRoom, 0);
  while (m_inEnd - m_inAt < n) {
    if (m_inAt > 0) {
      std::memmove(m_in.data(), m_in.data() + m_inAt, m_inEnd - m_inAt);
      m_inEnd -= m_inAt;
      m_inAt = 0;
    }
    pollfd p{m_conn.Fd(), POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(Left(deadline).count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t r = recv(m_conn.Fd(), m_in.data() + m_inEnd, kRoom - m_inEnd, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    m_inEnd += static_cast<size_t>(r);
  }
  if (n) std::memcpy(out, m_in.data() + m_inAt, n);
  m_inAt += n;
  return true;
}

int RelayPhone::SignIn(uint16_t port, const std::string& email, const std::string& pcText) {
  if (!m_conn.Connect(m_host, port)) return -1;
  m_inAt = m_inEnd = 0;
  return SignInOnConnection(email, pcText, kWait);
}

int RelayPhone::SignInFrom(const std::string& source, uint16_t port, const std::string& email,
                           const std::string& pcText, std::chrono::milliseconds wait) {
  if (!m_conn.ConnectFrom(source, m_host, port)) return -1;
  m_inAt = m_inEnd = 0;
  return SignInOnConnection(email, pcText, wait);
}

int RelayPhone::SignInOnConnection(const std::string& email, const std::string& pcText,
                                   std::chrono::milliseconds wait) {
  const std::vector<uint8_t> body = EncodeAccountText({email, pcText});
  if (!m_conn.SendRaw(BuildServerRequest(kCmdPhoneSignIn, "", body))) return -1;
  uint8_t head[kServerReplyHeaderSize];
  if (!ReadBuffered(head, sizeof head, wait)) return -1;
  const ServerReplyHeader h = DecodeServerReplyHeader(head);
  if (h.status != 0) return h.status;
  if (h.len != kServerReplyHeaderSize + kIdentityReplySize) return -1;
  uint8_t id[kIdentityReplySize];
  if (!ReadBuffered(id, sizeof id, kWait)) return -1;
  m_session = DecodeIdentityReply(id, sizeof id);
  return 0;
}

int RelayPhone::ListPcs(uint16_t port, std::vector<PcEntry>& out) const {
  DeviceClient c;
  if (!c.Connect(m_host, port)) return -1;
  if (!c.SendRaw(BuildServerRequest(kCmdPhoneListPcs, m_session, {}))) return -1;
  uint8_t head[kServerReplyHeaderSize];
  if (!c.ReadExact(head, sizeof head, kWait)) return -1;
  const ServerReplyHeader h = DecodeServerReplyHeader(head);
  if (h.status != 0) return h.status;
  if (h.len < kServerReplyHeaderSize) return -1;
  Bytes body(h.len - kServerReplyHeaderSize);
  if (!body.empty() && !c.ReadExact(body.data(), body.size(), kWait)) return -1;
  return DecodePcList(body.data(), body.size(), out) ? 0 : -1;
}

bool RelayPhone::Request(const std::string& pc, const Bytes& message) {
  return m_conn.SendRaw(BuildAddressedFrame(kCmdRelayData, m_session, pc, message.data(),
                                            message.size()));
}

bool RelayPhone::ReadFrame(Frame& out, std::chrono::milliseconds wait) {
  uint8_t head[kRelayHeaderSize];
  if (!ReadBuffered(head, sizeof head, wait)) return false;
  out.header = DecodeRelayHeader(head);
  if (out.header.len < kRelayHeaderSize) return false;
  out.body.assign(out.header.len - kRelayHeaderSize, 0);
  return out.body.empty() || ReadBuffered(out.body.data(), out.body.size(), wait);
}

bool RelayPhone::ReadMessage(DeviceMessage& out, uint16_t* command,
                             std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  for (;;) {
    Frame f;
    bool got = false;
    for (auto it = m_stash.begin(); it != m_stash.end(); ++it) {
      if (IsStatusFrame(it->header, it->body)) continue;
      f = std::move(*it);
      m_stash.erase(it);
      got = true;
      break;
    }
    if (!got) {
      if (!ReadFrame(f, Left(deadline))) return false;
      if (IsStatusFrame(f.header, f.body)) {
        m_stash.push_back(std::move(f));
        continue;
      }
    }
    if (f.body.size() < kRelayDataMinBody) return false;
    if (wire::GetFixedText(f.body.data(), kIdentityFieldSize) != m_session) return false;
    out.header = DecodeCommandHeader(f.body.data() + kIdentityFieldSize);
    out.body.assign(f.body.begin() + kRelayDataMinBody, f.body.end());
    if (command) *command = f.header.command;
    return true;
  }
}

bool RelayPhone::ReadStatus(uint16_t command, uint16_t& status, std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  for (;;) {
    for (auto it = m_stash.begin(); it != m_stash.end(); ++it) {
      if (IsStatusFrame(it->header, it->body) && it->header.command == command) {
        status = wire::GetU16(it->body.data());
        m_stash.erase(it);
        return true;
      }
    }
    Frame f;
    if (!ReadFrame(f, Left(deadline))) return false;
    m_stash.push_back(std::move(f));
  }
}

int RelayPhone::Leave(const std::string& pc, const Bytes& message, std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  for (;;) {
    if (!m_conn.SendRaw(BuildAddressedFrame(kCmdLeaveForPc, m_session, pc, message.data(),
                                            message.size())))
      return -1;
    uint16_t status = 0;
    if (!ReadStatus(kCmdLeaveForPc, status, Left(deadline))) return -1;
    if (status != kStatusCacheFull || Clock::now() >= deadline) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the PC fetches meanwhile
  }
}
