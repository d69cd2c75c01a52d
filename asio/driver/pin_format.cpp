#include "asio/driver/pin_format.h"

#include <cstring>

#include "kslib/ks_ids.h"

DWORD PinChannelMask(USHORT channels) {
  if (channels == 1) return 0x4;  // SPEAKER_FRONT_CENTER
  if (channels == 2) return 0x3;  // SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT
  return 0;
}

WAVEFORMATEXTENSIBLE MakePinFormat(USHORT channels, ULONG rate, USHORT containerBits, USHORT validBits, bool dsd) {
  WAVEFORMATEXTENSIBLE f;
  std::memset(&f, 0, sizeof(f));
  const USHORT bits = dsd ? kPinContainerWide : containerBits;
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = dsd ? rate / 32 : rate;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  // Bytes per second of the frames the pin really carries (in DSD mode the
  // pin's rate is the DSD rate / 32).
  f.Format.nAvgBytesPerSec = f.Format.nSamplesPerSec * f.Format.nBlockAlign;
  f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  f.Samples.wValidBitsPerSample = validBits != 0 ? validBits : bits;
  f.dwChannelMask = PinChannelMask(channels);
  f.SubFormat = kslib::kFormatSubtypePcm;
  return f;
}
