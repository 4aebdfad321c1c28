// Bytes from the relay road taken as a stream, the way each reader takes them: the PC's relay
// client (short answers and frames by their length field), the central server's frame reader,
// relay data frames, cache answers and fetched upload messages, and the phone's PC list.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/proto_relay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The PC's relay client.
  size_t at = 0;
  while (at < size) {
    size_t len = 0;
    const RelayChunk c = ClassifyRelayInput(data + at, size - at, len);
    if (c == RelayChunk::kNeedMore || c == RelayChunk::kBroken) break;
    if (len < 8 || len > size - at) __builtin_trap();
    if (c == RelayChunk::kFrame) {
      RelayData d;
      if (ParseRelayData(data + at, len, d)) {
        if (d.inner.len < 8 || d.inner.len + 64u > d.body.size()) __builtin_trap();
        if (d.body[63] != 0 && d.body.size() < 64) __builtin_trap();
      }
    }
    at += len;
  }
  // The central server's reader.
  at = 0;
  while (at < size) {
    size_t len = 0;
    if (ClassifyInboundFrame(data + at, size - at, len) != RelayChunk::kFrame) break;
    if (len < 70 || len > size - at) __builtin_trap();
    CommandHeader inner;
    if (InnerMessageFits(data + at + 70, len - 70, true, inner) && inner.len + 64u != len - 70)
      __builtin_trap();
    at += len;
  }
  // A cache answer and what follows it.
  if (size >= kServerReplyHeaderSize) {
    const ServerReplyHeader h = DecodeServerReplyHeader(data);
    CommandHeader inner;
    if (ParseFetchedMessage(data + 8, size - 8, inner) && (inner.len != size - 8 || inner.opcode > 3))
      __builtin_trap();
    (void)h;
  }
  std::vector<PcEntry> pcs;
  if (DecodePcList(data, size, pcs) && pcs.size() * kPcEntrySize + 2 != size) __builtin_trap();
  return 0;
}
