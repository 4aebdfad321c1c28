#include "tests/support/thumb_client.h"

#include "common/proto_thumb.h"

Bytes ThumbRequestBody(uint16_t width, uint16_t height, const std::string& path) {
  Bytes b(kThumbRequestSize);
  EncodeThumbRequest(ThumbRequest{width, height, path}, b.data());
  return b;
}

bool ReadThumbAnswer(DeviceClient& phone, uint32_t id, ThumbAnswer& a, std::chrono::milliseconds wait) {
  for (;;) {
    DeviceMessage m;
    if (!phone.ReadMessage(m, wait)) return false;
    if (m.header.param != id) a.wellFormed = false;
    if (m.header.opcode == kOpThumbnailEnd) {
      if (m.body.size() != kThumbEndSize - kCommandHeaderSize) a.wellFormed = false;
      a.status = m.body.size() >= 2 ? wire::GetU16(m.body.data()) : 0xFFFF;
      return true;
    }
    if (m.header.opcode != kOpThumbnail || m.body.size() < 8) return false;
    const uint32_t total = wire::GetU32(m.body.data());
    const uint32_t offset = wire::GetU32(m.body.data() + 4);
    const size_t n = m.body.size() - 8;
    if (offset != a.thumbnail.size() || n == 0 || n > kThumbChunkData || total < offset + n)
      a.wellFormed = false;
    a.thumbnail.insert(a.thumbnail.end(), m.body.begin() + 8, m.body.end());
  }
}

bool FetchThumbnail(DeviceClient& phone, uint32_t id, uint16_t width, uint16_t height,
                    const std::string& path, ThumbAnswer& out) {
  out = ThumbAnswer();
  return phone.Send(kOpThumbnail, id, ThumbRequestBody(width, height, path)) &&
         ReadThumbAnswer(phone, id, out);
}
