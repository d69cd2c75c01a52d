// The low-latency tests' view of a KSPROPERTY_ASIO_BUFFERS GET: one 44-byte
// entry unpacked (its 8-byte fields sit at 4-byte alignment).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/asiochannel/asio_protocol.h"

namespace asiotest {

struct Info {
  uint32_t channel, sampleType, halfFrames;
  uint64_t kernelHalf[2], clientHalf[2];
};

inline Info Entry64(const std::vector<uint8_t>& value, size_t i) {
  AsioBufferInfo64 packed;
  memcpy(&packed, value.data() + i * sizeof packed, sizeof packed);
  Info info;
  info.channel = packed.channel;
  info.sampleType = packed.sampleType;
  info.halfFrames = packed.halfFrames;
  for (int h = 0; h < 2; ++h) {
    info.kernelHalf[h] = packed.kernelHalf[h];
    info.clientHalf[h] = packed.clientHalf[h];
  }
  return info;
}

}  // namespace asiotest
