// The wave format the ASIO driver opens and reformats its pins with: a
// WAVEFORMATEXTENSIBLE for the direction's full channel count, PCM
// sub-format in both modes. In DSD mode the device frame is a 32-bit word
// carrying 32 one-bit samples of a channel, so the pin runs at the DSD rate
// / 32 with 32-bit containers.
#pragma once

#include "kslib/user_prelude.h"

// Container widths the driver tries, in order: 32 bits, then 24.
constexpr USHORT kPinContainerWide = 32;
constexpr USHORT kPinContainerNarrow = 24;

// channels: the direction's full channel count; rate: the ASIO sample rate
// (DSD: the DSD rate); containerBits: 32 or 24 (DSD: ignored, 32);
// validBits: 0 means the container width.
WAVEFORMATEXTENSIBLE MakePinFormat(USHORT channels, ULONG rate, USHORT containerBits, USHORT validBits, bool dsd);

// The speaker positions of a channel count: front centre for one channel,
// front left and right for two, none named otherwise.
DWORD PinChannelMask(USHORT channels);

// The container width tried after `bits` was refused (32 <-> 24).
inline USHORT OtherContainerWidth(USHORT bits) {
  return bits == kPinContainerWide ? kPinContainerNarrow : kPinContainerWide;
}
