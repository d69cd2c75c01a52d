// Building blocks of kernel-streaming requests as Windows clients send them:
// properties, node properties with a channel, and a KSPIN_CONNECT followed by
// a PCM KSDATAFORMAT_WAVEFORMATEX.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstring>
#include <vector>

namespace ks_requests {

inline KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags) {
  KSPROPERTY p{};
  p.Set = set;
  p.Id = id;
  p.Flags = flags;
  return p;
}

inline KSNODEPROPERTY_AUDIO_CHANNEL NodeProperty(ULONG id, ULONG node, LONG channel, ULONG flags) {
  KSNODEPROPERTY_AUDIO_CHANNEL p{};
  p.NodeProperty.Property = Property(KSPROPSETID_Audio, id, flags | KSPROPERTY_TYPE_TOPOLOGY);
  p.NodeProperty.NodeId = node;
  p.Channel = channel;
  return p;
}

inline std::vector<UCHAR> PcmPinConnect(ULONG pin, WORD channels, WORD bits, ULONG rate) {
  KSPIN_CONNECT c{};
  c.Interface.Set = KSINTERFACESETID_Standard;
  c.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  c.Medium.Set = KSMEDIUMSETID_Standard;
  c.Medium.Id = KSMEDIUM_STANDARD_DEVIO;
  c.PinId = pin;
  c.Priority.PriorityClass = KSPRIORITY_NORMAL;
  c.Priority.PrioritySubClass = 1;
  KSDATAFORMAT_WAVEFORMATEX f{};
  f.DataFormat.FormatSize = sizeof f;
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  f.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
  f.WaveFormatEx.nChannels = channels;
  f.WaveFormatEx.nSamplesPerSec = rate;
  f.WaveFormatEx.wBitsPerSample = bits;
  f.WaveFormatEx.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.WaveFormatEx.nAvgBytesPerSec = rate * f.WaveFormatEx.nBlockAlign;
  f.DataFormat.SampleSize = f.WaveFormatEx.nBlockAlign;
  std::vector<UCHAR> bytes(sizeof c + sizeof f);
  std::memcpy(bytes.data(), &c, sizeof c);
  std::memcpy(bytes.data() + sizeof c, &f, sizeof f);
  return bytes;
}

}  // namespace ks_requests
