#include "sim/uac/audio_function_layout.h"

#include <cstddef>

namespace sim {
namespace {

constexpr uint8_t kInterface = 0x04;
constexpr uint8_t kEndpoint = 0x05;
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kCsEndpoint = 0x25;
constexpr uint8_t kAudioControl = 0x01;
constexpr uint8_t kAudioStreaming = 0x02;

constexpr uint8_t kHeader = 0x01;
constexpr uint8_t kInputTerminal = 0x02;
constexpr uint8_t kOutputTerminal = 0x03;
constexpr uint8_t kFeatureUnit = 0x06;
constexpr uint8_t kClockSource = 0x0A;
constexpr uint8_t kClockSelector = 0x0B;
constexpr uint8_t kAsGeneral = 0x01;
constexpr uint8_t kFormatType = 0x02;
constexpr uint8_t kEpGeneral = 0x01;

uint32_t ReadLe(const uint8_t* p, size_t bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < bytes && i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

bool IsAudioClass(uint8_t cls) { return cls == 0x01 || cls == 0xFF; }

AcEntityInfo ReadEntity(const uint8_t* d, uint8_t len, bool uac2) {
  AcEntityInfo e;
  e.subtype = d[2];
  switch (d[2]) {
    case kInputTerminal:
      e.kind = AcEntityKind::Terminal;
      if (uac2 && len >= 8) e.clockSource = d[7];
      break;
    case kOutputTerminal:
      e.kind = AcEntityKind::Terminal;
      if (uac2 && len >= 9) e.clockSource = d[8];
      break;
    case kFeatureUnit:
      e.kind = AcEntityKind::FeatureUnit;
      if (uac2) {
        for (size_t off = 5; len >= 6 && off + 4 <= static_cast<size_t>(len) - 1; off += 4)
          e.bmaControls.push_back(ReadLe(d + off, 4));
      } else if (len >= 7 && d[5] != 0) {
        const size_t size = d[5];
        const size_t count = (len - 7u) / size;
        for (size_t i = 0; i < count; ++i) e.bmaControls.push_back(ReadLe(d + 6 + i * size, size));
      }
      break;
    case kClockSource:
      if (!uac2) break;
      e.kind = AcEntityKind::ClockSource;
      if (len >= 6) e.bmControls = d[5];
      break;
    case kClockSelector: {
      if (!uac2) break;
      e.kind = AcEntityKind::ClockSelector;
      const size_t pins = len >= 5 ? d[4] : 0;
      for (size_t i = 0; i < pins && 5 + i < len; ++i) e.inputs.push_back(d[5 + i]);
      if (5 + pins < len) e.bmControls = d[5 + pins];
      break;
    }
    default:
      break;
  }
  return e;
}

// Class 1.0 format type I/III: bSamFreqType at 7, then 3-byte rates from 8.
void ReadRates(const uint8_t* d, uint8_t len, StreamingEndpointInfo& into) {
  into.rates.clear();
  into.continuous = false;
  if (len < 8 || (d[3] != 0x01 && d[3] != 0x03)) return;
  const size_t type = d[7];
  if (type == 0) {
    if (len < 14) return;
    into.continuous = true;
    into.lowerRate = ReadLe(d + 8, 3);
    into.upperRate = ReadLe(d + 11, 3);
    return;
  }
  for (size_t i = 0; i < type && 8 + 3 * i + 3 <= len; ++i) into.rates.push_back(ReadLe(d + 8 + 3 * i, 3));
}

// The setting's format applies to its endpoints, whichever comes first.
void ApplyFormat(const StreamingEndpointInfo& format, std::vector<StreamingEndpointInfo>& endpoints,
                 size_t first) {
  for (size_t i = first; i < endpoints.size(); ++i) {
    endpoints[i].rates = format.rates;
    endpoints[i].continuous = format.continuous;
    endpoints[i].lowerRate = format.lowerRate;
    endpoints[i].upperRate = format.upperRate;
    endpoints[i].terminalLink = format.terminalLink;
    endpoints[i].channels = format.channels;
    endpoints[i].subslotBytes = format.subslotBytes;
    endpoints[i].bitResolution = format.bitResolution;
  }
}

}  // namespace

AudioFunctionLayout ReadAudioFunctionLayout(const std::vector<uint8_t>& c) {
  AudioFunctionLayout out;
  enum class Block { None, AcCandidate, Ac, As } block = Block::None;
  uint8_t number = 0;
  uint8_t alternate = 0;
  size_t settingFirstEndpoint = 0;  // index into out.endpoints
  StreamingEndpointInfo settingFormat;  // rates of the current setting
  bool afterAcInterface = false;

  size_t pos = 0;
  while (pos + 2 <= c.size()) {
    const uint8_t len = c[pos];
    if (len < 2 || pos + len > c.size()) break;
    const uint8_t* d = &c[pos];
    const uint8_t type = d[1];
    const bool justAfterAc = afterAcInterface;
    afterAcInterface = false;
    pos += len;

    if (type == kInterface) {
      block = Block::None;
      if (len < 9) continue;
      number = d[2];
      alternate = d[3];
      if (!IsAudioClass(d[5])) continue;
      if (d[6] == kAudioControl && alternate == 0 && !out.hasAudioControl) {
        block = Block::AcCandidate;
        afterAcInterface = true;
      } else if (d[6] == kAudioStreaming) {
        block = Block::As;
        out.streamingInterfaces.insert(number);
        settingFirstEndpoint = out.endpoints.size();
        settingFormat = StreamingEndpointInfo{};
      }
      continue;
    }

    switch (block) {
      case Block::AcCandidate:
        // The header must directly follow the AC interface descriptor.
        if (justAfterAc && type == kCsInterface && len >= 5 && d[2] == kHeader) {
          out.hasAudioControl = true;
          out.acInterface = number;
          out.uac2 = ReadLe(d + 3, 2) == 0x0200;
          block = Block::Ac;
        } else {
          block = Block::None;
        }
        break;
      case Block::Ac:
        if (type != kCsInterface || len < 4 || d[2] == 0x00 || d[2] == kHeader) break;
        if (out.entities.count(d[3]) == 0) out.entities[d[3]] = ReadEntity(d, len, out.uac2);
        break;
      case Block::As:
        if (type == kCsInterface && len >= 4 && d[2] == kAsGeneral) {
          settingFormat.terminalLink = d[3];
          if (out.uac2 && len >= 11) settingFormat.channels = d[10];
          ApplyFormat(settingFormat, out.endpoints, settingFirstEndpoint);
        } else if (type == kCsInterface && len >= 4 && d[2] == kFormatType) {
          if (out.uac2) {
            if (len >= 6) {
              settingFormat.subslotBytes = d[4];
              settingFormat.bitResolution = d[5];
            }
          } else {
            ReadRates(d, len, settingFormat);
            if (len >= 7) {
              settingFormat.channels = d[4];
              settingFormat.subslotBytes = d[5];
              settingFormat.bitResolution = d[6];
            }
          }
          ApplyFormat(settingFormat, out.endpoints, settingFirstEndpoint);
        } else if (type == kEndpoint && len >= 7) {
          StreamingEndpointInfo ep = settingFormat;
          ep.interfaceNumber = number;
          ep.alternate = alternate;
          ep.address = d[2];
          ep.attributes = d[3];
          ep.maxPacketSize = static_cast<uint16_t>(ReadLe(d + 4, 2));
          ep.interval = d[6];
          if (len >= 9) ep.synchAddress = d[8];
          out.endpoints.push_back(ep);
        } else if (type == kCsEndpoint && len >= 4 && d[2] == kEpGeneral &&
                   out.endpoints.size() > settingFirstEndpoint && !out.endpoints.back().hasCsEndpoint) {
          out.endpoints.back().hasCsEndpoint = true;
          out.endpoints.back().csAttributes = d[3];
        }
        break;
      case Block::None:
        break;
    }
  }
  return out;
}

}  // namespace sim
