#include "common/server_client.h"

#include <sys/socket.h>

#include <cstring>

#include "common/sockets.h"
#include "platform/unique_fd.h"

int MakeServerAddress(const std::string& host, uint16_t port, ServerAddress& out) {
  out = ServerAddress();
  if (host.size() > kServerHostMax) return -1;
  std::memcpy(out.host, host.data(), host.size());
  out.port = port;
  return 0;
}

int RecvServerReplyHead(int* sock, ServerReplyHeader& out) {
  uint8_t raw[kServerReplyHeaderSize];
  if (RecvSock(sock, static_cast<int>(sizeof raw), reinterpret_cast<char*>(raw)) != 0) return -1;
  out = DecodeServerReplyHeader(raw);
  return 0;
}

int SendServerRequest(const RelayHeader& header, const ServerAddress& server,
                      const uint8_t* body, size_t bodyLen, ServerReplyHeader& reply,
                      std::vector<uint8_t>& replyBody) {
  reply = ServerReplyHeader();
  replyBody.clear();
  if (server.host[0] == '\0' || (bodyLen > 0 && !body)) return -1;
  if (kRelayHeaderSize + bodyLen > 0xFFFF) return -1;

  // Closed on every path out of the exchange.
  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.fd < 0) return -1;
  // Set before connect so that the connect attempt is bounded too.
  if (SetSockTimeout(sock.fd, kServerTimeoutMs, kServerTimeoutMs) != 0) return -1;
  if (ConnectServerSock(&sock.fd, server.port, server.host) != 0) return -1;

  std::vector<uint8_t> msg(kRelayHeaderSize + bodyLen, 0);
  RelayHeader h = header;
  h.len = static_cast<uint16_t>(msg.size());
  EncodeRelayHeader(h, msg.data());
  if (bodyLen > 0) std::memcpy(msg.data() + kRelayHeaderSize, body, bodyLen);
  if (SendSock(&sock.fd, static_cast<int>(msg.size()), reinterpret_cast<const char*>(msg.data())) != 0)
    return -1;

  ServerReplyHeader head;
  if (RecvServerReplyHead(&sock.fd, head) != 0) return -1;
  if (head.len < kServerReplyHeaderSize) return -1;
  std::vector<uint8_t> rest(head.len - kServerReplyHeaderSize);
  if (!rest.empty() &&
      RecvSock(&sock.fd, static_cast<int>(rest.size()), reinterpret_cast<char*>(rest.data())) != 0)
    return -1;
  reply = head;
  replyBody.swap(rest);
  return 0;
}
