// A phone's byte stream cut into messages the way the command server frames them (8-byte
// header, total length at least 8, the body by that length), each taken through the request
// pipeline to the registered handler, directly or as the relay client hands a relayed message
// over. Handlers that wait by design (the download stop's short poll) are left out; every
// other one must refuse or answer bad bodies without crashing. Nothing is shared and no
// database is open, so no request can reach a file.
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/opcode_registry.h"
#include "common/request_pipeline.h"
#include "common/wire.h"
#include "service/service_shell.h"

namespace {

struct Fixture {
  event_base* base = nullptr;
  bufferevent* pair[2] = {nullptr, nullptr};
  Fixture() {
    RegBusinessFun();
    base = event_base_new();
    bufferevent_pair_new(base, 0, pair);
    bufferevent_setcb(pair[0], [](bufferevent*, void*) {}, nullptr, nullptr, nullptr);
    bufferevent_enable(pair[0], EV_READ | EV_WRITE);
    bufferevent_enable(pair[1], EV_READ | EV_WRITE);
  }
};

Fixture& Get() {
  static Fixture f;
  return f;
}

bool Dispatchable(uint16_t opcode) {
  switch (opcode) {
    case 0x2002: case 0x2003: case 0x0001: case 0x0002: case 0x0003: case 0x0004:
    case 0x0005: case 0x0011: case 0x3001:
      return true;
    default:
      return !OS_IsRegistered(opcode);  // unknown opcodes take the registry's refusal
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& f = Get();
  if (size < 1) return 0;
  const char direct = (data[0] & 1) ? 1 : 0;
  size_t p = 1;
  while (size - p >= kCommandHeaderSize) {
    const CommandHeader h = DecodeCommandHeader(data + p);
    if (h.len < kCommandHeaderSize) break;  // the server closes such a connection
    if (size - p < h.len) break;            // incomplete: it would wait for more
    const size_t bodyLen = h.len - kCommandHeaderSize;
    // The body in a buffer of its own size, so a handler reading past it is caught.
    std::vector<char> body(data + p + kCommandHeaderSize, data + p + h.len);
    p += h.len;
    // Through the relay a body is the requester's identity and a whole inner message, and
    // the handler gets the inner header.
    CommandHeader use = h;
    if (!direct) {
      if (bodyLen < 64 + kCommandHeaderSize) continue;
      use = DecodeCommandHeader(reinterpret_cast<const uint8_t*>(body.data()) + 64);
      // As the relay client takes it: the inner message fits the frame, more may follow it.
      if (use.len < kCommandHeaderSize || 64 + size_t(use.len) > bodyLen) continue;
    }
    if (!Dispatchable(use.opcode)) continue;
    // A LAN phone's trust: every handler but the local API is reached.
    PeerRequest request;
    request.trust.road = direct ? Road::kCommand : Road::kRelay;
    request.trust.ownSubnet = true;
    request.header = use;
    request.body = bodyLen ? body.data() : nullptr;
    request.bodyLen = bodyLen;
    request.conn = f.pair[0];
    request.direct = direct;
    CDropReplies replies;
    Request_Run(request, replies);
  }
  // What handlers wrote to the peer is dropped; the loop runs anything they posted.
  event_base_loop(f.base, EVLOOP_NONBLOCK);
  evbuffer* out = bufferevent_get_input(f.pair[1]);
  evbuffer_drain(out, evbuffer_get_length(out));
  return 0;
}
