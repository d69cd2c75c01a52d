#include "sim/clients/audio_compare.h"

#include <algorithm>
#include <cstring>

#include "driver/core/sample_conversion.h"
#include "sim/uac/audio_streaming.h"

namespace sim {

namespace {

// ConvertSamples takes 32-bit byte counts: convert in slices of whole frames.
std::vector<uint8_t> Convert(const uint8_t* src, size_t bytes, uint32_t srcChannels, uint32_t srcBits,
                             uint32_t dstChannels, uint32_t dstBits) {
  const size_t srcFrame = size_t{srcChannels} * srcBits / 8;
  const size_t dstFrame = size_t{dstChannels} * dstBits / 8;
  if (srcFrame == 0 || dstFrame == 0) return {};
  const size_t frames = bytes / srcFrame;
  std::vector<uint8_t> out(frames * dstFrame);
  const size_t slice = 1 << 16;
  for (size_t done = 0; done < frames;) {
    const size_t n = std::min(slice, frames - done);
    ConvertSamples(out.data() + done * dstFrame, src + done * srcFrame, static_cast<ULONG>(n * srcFrame), dstChannels,
                   dstBits, srcChannels, srcBits);
    done += n;
  }
  return out;
}

}  // namespace

std::vector<uint8_t> ClientToDevice(const uint8_t* client, size_t bytes, const WavFormat& clientFormat,
                                    const DeviceFrameFormat& device) {
  return Convert(client, bytes, clientFormat.channels, clientFormat.bitsPerSample, device.channels,
                 device.subslotBytes * 8);
}

std::vector<uint8_t> DeviceToClient(const uint8_t* device, size_t bytes, const DeviceFrameFormat& deviceFormat,
                                    const WavFormat& client) {
  return Convert(device, bytes, deviceFormat.channels, deviceFormat.subslotBytes * 8, client.channels,
                 client.bitsPerSample);
}

FrameComparison CompareFrames(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& actual,
                              uint32_t frameBytes, const std::vector<uint8_t>& silence, bool partialOk) {
  FrameComparison c;
  if (frameBytes == 0) return c;
  c.expectedFrames = expected.size() / frameBytes;
  const uint64_t actualFrames = actual.size() / frameBytes;
  c.receivedFrames = std::min(c.expectedFrames, actualFrames);
  c.extraFrames = actualFrames - c.receivedFrames;
  const size_t common = static_cast<size_t>(c.receivedFrames) * frameBytes;
  if (common != 0 && std::memcmp(expected.data(), actual.data(), common) != 0) {
    for (uint64_t f = 0; f < c.receivedFrames; ++f) {
      if (std::memcmp(expected.data() + f * frameBytes, actual.data() + f * frameBytes, frameBytes) != 0) {
        c.firstMismatch = static_cast<int64_t>(f);
        return c;
      }
    }
  }
  for (uint64_t f = c.receivedFrames; f < actualFrames; ++f) {
    if (silence.size() != frameBytes || std::memcmp(actual.data() + f * frameBytes, silence.data(), frameBytes) != 0) {
      c.firstMismatch = static_cast<int64_t>(f);
      return c;
    }
  }
  if (c.receivedFrames < c.expectedFrames && !partialOk) {
    c.firstMismatch = static_cast<int64_t>(c.receivedFrames);
    return c;
  }
  c.bitExact = true;
  return c;
}

std::vector<uint8_t> CaptureSignal(uint64_t first, size_t frames, const DeviceFrameFormat& device) {
  std::vector<uint8_t> out(frames * device.FrameBytes());
  uint8_t* p = out.data();
  for (size_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < device.channels; ++c) {
      const uint32_t v =
          AudioStreaming::CaptureSample(first + f, c, device.channels, device.subslotBytes, device.bitResolution);
      for (uint32_t b = 0; b < device.subslotBytes; ++b) *p++ = static_cast<uint8_t>(v >> (8 * b));
    }
  }
  return out;
}

namespace {

// How many frames of the recording, from its start, equal the capture
// signal from device frame `start` on (converted to the client format).
size_t MatchingPrefix(const std::vector<uint8_t>& recorded, const WavFormat& client, const DeviceFrameFormat& device,
                      uint64_t start) {
  const size_t clientFrame = client.BlockAlign();
  const size_t frames = recorded.size() / clientFrame;
  uint8_t deviceBytes[256];
  uint8_t clientBytes[256];
  for (size_t f = 0; f < frames; ++f) {
    uint8_t* p = deviceBytes;
    for (uint32_t c = 0; c < device.channels; ++c) {
      const uint32_t v =
          AudioStreaming::CaptureSample(start + f, c, device.channels, device.subslotBytes, device.bitResolution);
      for (uint32_t b = 0; b < device.subslotBytes; ++b) *p++ = static_cast<uint8_t>(v >> (8 * b));
    }
    ConvertSamples(clientBytes, deviceBytes, device.FrameBytes(), client.channels, client.bitsPerSample,
                   device.channels, device.subslotBytes * 8);
    if (std::memcmp(clientBytes, recorded.data() + f * clientFrame, clientFrame) != 0) return f;
  }
  return frames;
}

}  // namespace

int64_t FindCaptureStart(const std::vector<uint8_t>& recorded, const WavFormat& client,
                         const DeviceFrameFormat& device, uint64_t searchFrames) {
  const size_t clientFrame = client.BlockAlign();
  if (clientFrame == 0 || clientFrame > 256 || device.FrameBytes() == 0 || device.FrameBytes() > 256 ||
      recorded.size() < clientFrame)
    return -1;
  // A narrowed signal repeats values, so several starts may fit the first
  // frames: the one that fits longest wins.
  const size_t frames = recorded.size() / clientFrame;
  int64_t best = -1;
  size_t bestLength = 0;
  for (uint64_t start = 0; start < searchFrames && bestLength < frames; ++start) {
    const size_t length = MatchingPrefix(recorded, client, device, start);
    if (length > bestLength) {
      bestLength = length;
      best = static_cast<int64_t>(start);
    }
  }
  return best;
}

}  // namespace sim
