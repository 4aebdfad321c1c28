#include "tests/support/relay_phone.h"

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

int RelayPhone::SignIn(uint16_t port, const std::string& email, const std::string& pcText) {
  if (!m_conn.Connect(m_host, port)) return -1;
  return SignInOnConnection(email, pcText, kWait);
}

int RelayPhone::SignInFrom(const std::string& source, uint16_t port, const std::string& email,
                           const std::string& pcText, std::chrono::milliseconds wait) {
  if (!m_conn.ConnectFrom(source, m_host, port)) return -1;
  return SignInOnConnection(email, pcText, wait);
}

int RelayPhone::SignInOnConnection(const std::string& email, const std::string& pcText,
                                   std::chrono::milliseconds wait) {
  const std::vector<uint8_t> body = EncodeAccountText({email, pcText});
  if (!m_conn.SendRaw(BuildServerRequest(kCmdPhoneSignIn, "", body))) return -1;
  uint8_t head[kServerReplyHeaderSize];
  if (!m_conn.ReadExact(head, sizeof head, wait)) return -1;
  const ServerReplyHeader h = DecodeServerReplyHeader(head);
  if (h.status != 0) return h.status;
  if (h.len != kServerReplyHeaderSize + kIdentityReplySize) return -1;
  uint8_t id[kIdentityReplySize];
  if (!m_conn.ReadExact(id, sizeof id, kWait)) return -1;
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
  if (!m_conn.ReadExact(head, sizeof head, wait)) return false;
  out.header = DecodeRelayHeader(head);
  if (out.header.len < kRelayHeaderSize) return false;
  out.body.assign(out.header.len - kRelayHeaderSize, 0);
  return out.body.empty() || m_conn.ReadExact(out.body.data(), out.body.size(), wait);
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
