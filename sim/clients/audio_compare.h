// What the device should have received, and whether it did: the client's
// frames converted to the device's frame format exactly as the driver's
// pump converts them (ConvertSamples), compared frame by frame with what the
// device played; and the device's known capture signal as a client receives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/clients/wav_file.h"

namespace sim {

// A device frame: channels × subslot bytes (container bits = 8 × subslot).
struct DeviceFrameFormat {
  uint32_t channels = 0;
  uint32_t subslotBytes = 0;
  uint32_t bitResolution = 0;
  uint32_t FrameBytes() const { return channels * subslotBytes; }
};

// Client frames (whole frames of `bytes`) in the device's format.
std::vector<uint8_t> ClientToDevice(const uint8_t* client, size_t bytes, const WavFormat& clientFormat,
                                    const DeviceFrameFormat& device);
// Device frames in the client's format (what the capture path delivers).
std::vector<uint8_t> DeviceToClient(const uint8_t* device, size_t bytes, const DeviceFrameFormat& deviceFormat,
                                    const WavFormat& client);

struct FrameComparison {
  bool bitExact = false;
  int64_t firstMismatch = -1;  // frame index, -1 when none
  uint64_t expectedFrames = 0;
  uint64_t receivedFrames = 0;  // of the expected ones, present in `actual`
  uint64_t extraFrames = 0;     // played after them (the client's padding)
};

// `actual` must start with `expected` and may continue only with `silence`
// frames. A short `actual` is a mismatch at its end unless `partialOk`
// (the stream was cut off, e.g. by removal): then only what arrived counts.
FrameComparison CompareFrames(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& actual,
                              uint32_t frameBytes, const std::vector<uint8_t>& silence, bool partialOk);

// The device's capture signal from device frame `first` on, `frames` long,
// in the device format (AudioStreaming::CaptureSample).
std::vector<uint8_t> CaptureSignal(uint64_t first, size_t frames, const DeviceFrameFormat& device);

// Where in the capture signal a recording (client format) starts: the device
// frame index in [0, searchFrames) from which the signal, converted to the
// client format, matches the longest part of the recording's beginning (the
// first such index); -1 when not even its first frame matches anywhere.
int64_t FindCaptureStart(const std::vector<uint8_t>& recorded, const WavFormat& client,
                         const DeviceFrameFormat& device, uint64_t searchFrames);

}  // namespace sim
