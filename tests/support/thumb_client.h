#pragma once
// A phone asking for a thumbnail (opcode 0x3001) and collecting the chunked answer.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/device_client.h"

struct ThumbAnswer {
  uint16_t status = 0xFFFF;      // of the end message
  std::vector<uint8_t> thumbnail;
  bool wellFormed = true;  // every message carries the request id; chunks in order, 1..1000 bytes
};

// The 360-byte request body.
Bytes ThumbRequestBody(uint16_t width, uint16_t height, const std::string& path);
// Reads the answer to request `id` up to its end message; false on time-out or a stray message.
bool ReadThumbAnswer(DeviceClient& phone, uint32_t id, ThumbAnswer& out,
                     std::chrono::milliseconds wait = std::chrono::seconds(20));
// Sends the request and reads its answer.
bool FetchThumbnail(DeviceClient& phone, uint32_t id, uint16_t width, uint16_t height,
                    const std::string& path, ThumbAnswer& out);
