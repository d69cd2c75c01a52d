#include "sim/uac/descriptor_builder.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

void Put24(Bytes& b, uint32_t v) {
  Put16(b, v);
  b.push_back(static_cast<uint8_t>((v >> 16) & 0xFF));
}

void Put32(Bytes& b, uint32_t v) {
  Put16(b, v);
  Put16(b, v >> 16);
}

void Write16(Bytes& b, size_t offset, uint16_t v) {
  b[offset] = static_cast<uint8_t>(v & 0xFF);
  b[offset + 1] = static_cast<uint8_t>(v >> 8);
}

// bLength, type, subtype; bLength is patched by Finish().
Bytes Start(uint8_t type, uint8_t subtype) { return Bytes{0, type, subtype}; }

Bytes Finish(Bytes b) {
  b[0] = static_cast<uint8_t>(b.size());
  return b;
}

}  // namespace

std::vector<uint8_t> MakeDeviceDescriptor(uint16_t vid, uint16_t pid, uint16_t bcdDevice,
                                          uint16_t bcdUSB, uint8_t cls, uint8_t subcls,
                                          uint8_t proto, uint8_t maxPacket0,
                                          uint8_t iManufacturer, uint8_t iProduct,
                                          uint8_t iSerial, uint8_t numConfigurations) {
  Bytes b{18, desc::kDevice};
  Put16(b, bcdUSB);
  b.push_back(cls);
  b.push_back(subcls);
  b.push_back(proto);
  b.push_back(maxPacket0);
  Put16(b, vid);
  Put16(b, pid);
  Put16(b, bcdDevice);
  b.push_back(iManufacturer);
  b.push_back(iProduct);
  b.push_back(iSerial);
  b.push_back(numConfigurations);
  return b;
}

ConfigurationBuilder::ConfigurationBuilder() {
  Append(Bytes{9, desc::kConfiguration, 0, 0, 0, 1, 0, 0x80, 50});
}

ConfigurationBuilder& ConfigurationBuilder::Append(const Bytes& bytes, size_t acTotalOffset) {
  Record r;
  r.offset = bytes_.size();
  r.size = bytes.size();
  r.type = bytes.size() > 1 ? bytes[1] : 0;
  r.acTotalOffset = acTotalOffset;
  if (r.type == desc::kInterface && bytes.size() > 2) interfaceNumbers_.insert(bytes[2]);
  records_.push_back(r);
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

ConfigurationBuilder& ConfigurationBuilder::Configuration(uint8_t value, uint8_t attributes,
                                                          uint8_t maxPower,
                                                          uint8_t iConfiguration) {
  bytes_[5] = value;
  bytes_[6] = iConfiguration;
  bytes_[7] = attributes;
  bytes_[8] = maxPower;
  return *this;
}

ConfigurationBuilder& ConfigurationBuilder::InterfaceAssociation(uint8_t firstInterface,
                                                                 uint8_t interfaceCount,
                                                                 uint8_t cls, uint8_t subclass,
                                                                 uint8_t protocol,
                                                                 uint8_t iFunction) {
  return Append(Bytes{8, desc::kInterfaceAssociation, firstInterface, interfaceCount, cls,
                      subclass, protocol, iFunction});
}

ConfigurationBuilder& ConfigurationBuilder::Interface(uint8_t number, uint8_t alternate,
                                                      uint8_t numEndpoints, uint8_t cls,
                                                      uint8_t subclass, uint8_t protocol,
                                                      uint8_t iInterface) {
  return Append(Bytes{9, desc::kInterface, number, alternate, numEndpoints, cls, subclass,
                      protocol, iInterface});
}

ConfigurationBuilder& ConfigurationBuilder::Endpoint(uint8_t address, uint8_t attributes,
                                                     uint16_t maxPacketSize, uint8_t interval) {
  Bytes b{7, desc::kEndpoint, address, attributes};
  Put16(b, maxPacketSize);
  b.push_back(interval);
  return Append(b);
}

ConfigurationBuilder& ConfigurationBuilder::Endpoint9(uint8_t address, uint8_t attributes,
                                                      uint16_t maxPacketSize, uint8_t interval,
                                                      uint8_t refresh, uint8_t synchAddress) {
  Bytes b{9, desc::kEndpoint, address, attributes};
  Put16(b, maxPacketSize);
  b.push_back(interval);
  b.push_back(refresh);
  b.push_back(synchAddress);
  return Append(b);
}

// ---- Audio class 2.0, audio control ----------------------------------------------

ConfigurationBuilder& ConfigurationBuilder::AcHeader2(uint8_t category, uint8_t controls,
                                                      uint16_t bcdADC) {
  Bytes b = Start(desc::kCsInterface, desc::kAcHeader);
  Put16(b, bcdADC);
  b.push_back(category);
  Put16(b, 0);  // wTotalLength, filled by Build()
  b.push_back(controls);
  return Append(Finish(b), 6);
}

ConfigurationBuilder& ConfigurationBuilder::ClockSource(uint8_t id, uint8_t attributes,
                                                        uint8_t controls, uint8_t assocTerminal,
                                                        uint8_t iClock) {
  Bytes b = Start(desc::kCsInterface, desc::kClockSource);
  b.insert(b.end(), {id, attributes, controls, assocTerminal, iClock});
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::ClockSelector(uint8_t id,
                                                          const std::vector<uint8_t>& sourceIds,
                                                          uint8_t controls, uint8_t iSelector) {
  Bytes b = Start(desc::kCsInterface, desc::kClockSelector);
  b.push_back(id);
  b.push_back(static_cast<uint8_t>(sourceIds.size()));
  b.insert(b.end(), sourceIds.begin(), sourceIds.end());
  b.push_back(controls);
  b.push_back(iSelector);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::ClockMultiplier(uint8_t id, uint8_t sourceId,
                                                            uint8_t controls,
                                                            uint8_t iMultiplier) {
  Bytes b = Start(desc::kCsInterface, desc::kClockMultiplier);
  b.insert(b.end(), {id, sourceId, controls, iMultiplier});
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::InputTerminal2(uint8_t id, uint16_t type,
                                                           uint8_t assocTerminal,
                                                           uint8_t clockId, uint8_t nrChannels,
                                                           uint32_t channelConfig,
                                                           uint8_t iChannelNames,
                                                           uint16_t controls,
                                                           uint8_t iTerminal) {
  Bytes b = Start(desc::kCsInterface, desc::kInputTerminal);
  b.push_back(id);
  Put16(b, type);
  b.push_back(assocTerminal);
  b.push_back(clockId);
  b.push_back(nrChannels);
  Put32(b, channelConfig);
  b.push_back(iChannelNames);
  Put16(b, controls);
  b.push_back(iTerminal);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::OutputTerminal2(uint8_t id, uint16_t type,
                                                            uint8_t assocTerminal,
                                                            uint8_t sourceId, uint8_t clockId,
                                                            uint16_t controls,
                                                            uint8_t iTerminal) {
  Bytes b = Start(desc::kCsInterface, desc::kOutputTerminal);
  b.push_back(id);
  Put16(b, type);
  b.push_back(assocTerminal);
  b.push_back(sourceId);
  b.push_back(clockId);
  Put16(b, controls);
  b.push_back(iTerminal);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::FeatureUnit2(uint8_t id, uint8_t sourceId,
                                                         const std::vector<uint32_t>& bmaControls,
                                                         uint8_t iFeature) {
  Bytes b = Start(desc::kCsInterface, desc::kFeatureUnit);
  b.push_back(id);
  b.push_back(sourceId);
  for (uint32_t c : bmaControls) Put32(b, c);
  b.push_back(iFeature);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::MixerUnit2(uint8_t id,
                                                       const std::vector<uint8_t>& sourceIds,
                                                       uint8_t nrChannels, uint32_t channelConfig,
                                                       const Bytes& mixerControls,
                                                       uint8_t controls, uint8_t iChannelNames,
                                                       uint8_t iMixer) {
  Bytes b = Start(desc::kCsInterface, desc::kMixerUnit);
  b.push_back(id);
  b.push_back(static_cast<uint8_t>(sourceIds.size()));
  b.insert(b.end(), sourceIds.begin(), sourceIds.end());
  b.push_back(nrChannels);
  Put32(b, channelConfig);
  b.push_back(iChannelNames);
  b.insert(b.end(), mixerControls.begin(), mixerControls.end());
  b.push_back(controls);
  b.push_back(iMixer);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::SelectorUnit2(uint8_t id,
                                                          const std::vector<uint8_t>& sourceIds,
                                                          uint8_t controls, uint8_t iSelector) {
  Bytes b = Start(desc::kCsInterface, desc::kSelectorUnit);
  b.push_back(id);
  b.push_back(static_cast<uint8_t>(sourceIds.size()));
  b.insert(b.end(), sourceIds.begin(), sourceIds.end());
  b.push_back(controls);
  b.push_back(iSelector);
  return Append(Finish(b));
}

// ---- Audio class 2.0, audio streaming --------------------------------------------

ConfigurationBuilder& ConfigurationBuilder::AsGeneral2(uint8_t terminalLink, uint8_t controls,
                                                       uint8_t formatType, uint32_t bmFormats,
                                                       uint8_t nrChannels,
                                                       uint32_t channelConfig,
                                                       uint8_t iChannelNames) {
  Bytes b = Start(desc::kCsInterface, desc::kAsGeneral);
  b.push_back(terminalLink);
  b.push_back(controls);
  b.push_back(formatType);
  Put32(b, bmFormats);
  b.push_back(nrChannels);
  Put32(b, channelConfig);
  b.push_back(iChannelNames);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::FormatTypeI2(uint8_t subslotSize,
                                                         uint8_t bitResolution) {
  Bytes b = Start(desc::kCsInterface, desc::kFormatType);
  b.insert(b.end(), {desc::kFormatTypeI, subslotSize, bitResolution});
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::CsEndpoint2(uint8_t attributes, uint8_t controls,
                                                        uint8_t lockDelayUnits,
                                                        uint16_t lockDelay) {
  Bytes b = Start(desc::kCsEndpoint, desc::kEpGeneral);
  b.insert(b.end(), {attributes, controls, lockDelayUnits});
  Put16(b, lockDelay);
  return Append(Finish(b));
}

// ---- Audio class 1.0 ---------------------------------------------------------------

ConfigurationBuilder& ConfigurationBuilder::AcHeader1(
    const std::vector<uint8_t>& streamingInterfaces, uint16_t bcdADC) {
  Bytes b = Start(desc::kCsInterface, desc::kAcHeader);
  Put16(b, bcdADC);
  Put16(b, 0);  // wTotalLength, filled by Build()
  b.push_back(static_cast<uint8_t>(streamingInterfaces.size()));
  b.insert(b.end(), streamingInterfaces.begin(), streamingInterfaces.end());
  return Append(Finish(b), 5);
}

ConfigurationBuilder& ConfigurationBuilder::InputTerminal1(uint8_t id, uint16_t type,
                                                           uint8_t assocTerminal,
                                                           uint8_t nrChannels,
                                                           uint16_t channelConfig,
                                                           uint8_t iChannelNames,
                                                           uint8_t iTerminal) {
  Bytes b = Start(desc::kCsInterface, desc::kInputTerminal);
  b.push_back(id);
  Put16(b, type);
  b.push_back(assocTerminal);
  b.push_back(nrChannels);
  Put16(b, channelConfig);
  b.push_back(iChannelNames);
  b.push_back(iTerminal);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::OutputTerminal1(uint8_t id, uint16_t type,
                                                            uint8_t assocTerminal,
                                                            uint8_t sourceId,
                                                            uint8_t iTerminal) {
  Bytes b = Start(desc::kCsInterface, desc::kOutputTerminal);
  b.push_back(id);
  Put16(b, type);
  b.push_back(assocTerminal);
  b.push_back(sourceId);
  b.push_back(iTerminal);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::FeatureUnit1(uint8_t id, uint8_t sourceId,
                                                         uint8_t controlSize,
                                                         const std::vector<uint32_t>& bmaControls,
                                                         uint8_t iFeature) {
  Bytes b = Start(desc::kCsInterface, desc::kFeatureUnit);
  b.push_back(id);
  b.push_back(sourceId);
  b.push_back(controlSize);
  for (uint32_t c : bmaControls) {
    for (uint8_t i = 0; i < controlSize; ++i) {
      b.push_back(i < 4 ? static_cast<uint8_t>((c >> (8 * i)) & 0xFF) : 0);
    }
  }
  b.push_back(iFeature);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::MixerUnit1(uint8_t id,
                                                       const std::vector<uint8_t>& sourceIds,
                                                       uint8_t nrChannels,
                                                       uint16_t channelConfig,
                                                       const Bytes& mixerControls,
                                                       uint8_t iChannelNames, uint8_t iMixer) {
  Bytes b = Start(desc::kCsInterface, desc::kMixerUnit);
  b.push_back(id);
  b.push_back(static_cast<uint8_t>(sourceIds.size()));
  b.insert(b.end(), sourceIds.begin(), sourceIds.end());
  b.push_back(nrChannels);
  Put16(b, channelConfig);
  b.push_back(iChannelNames);
  b.insert(b.end(), mixerControls.begin(), mixerControls.end());
  b.push_back(iMixer);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::SelectorUnit1(uint8_t id,
                                                          const std::vector<uint8_t>& sourceIds,
                                                          uint8_t iSelector) {
  Bytes b = Start(desc::kCsInterface, desc::kSelectorUnit);
  b.push_back(id);
  b.push_back(static_cast<uint8_t>(sourceIds.size()));
  b.insert(b.end(), sourceIds.begin(), sourceIds.end());
  b.push_back(iSelector);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::ProcessingUnit1(
    uint8_t id, uint16_t processType, const std::vector<uint8_t>& sourceIds, uint8_t nrChannels,
    uint16_t channelConfig, const Bytes& controls, uint8_t iChannelNames, uint8_t iProcessing,
    const Bytes& processSpecific) {
  Bytes b = Start(desc::kCsInterface, desc::kUac1ProcessingUnit);
  b.push_back(id);
  Put16(b, processType);
  b.push_back(static_cast<uint8_t>(sourceIds.size()));
  b.insert(b.end(), sourceIds.begin(), sourceIds.end());
  b.push_back(nrChannels);
  Put16(b, channelConfig);
  b.push_back(iChannelNames);
  b.push_back(static_cast<uint8_t>(controls.size()));
  b.insert(b.end(), controls.begin(), controls.end());
  b.push_back(iProcessing);
  b.insert(b.end(), processSpecific.begin(), processSpecific.end());
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::AsGeneral1(uint8_t terminalLink, uint8_t delay,
                                                       uint16_t formatTag) {
  Bytes b = Start(desc::kCsInterface, desc::kAsGeneral);
  b.push_back(terminalLink);
  b.push_back(delay);
  Put16(b, formatTag);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::FormatTypeI1(uint8_t nrChannels,
                                                         uint8_t subframeSize,
                                                         uint8_t bitResolution,
                                                         const std::vector<uint32_t>& rates) {
  Bytes b = Start(desc::kCsInterface, desc::kFormatType);
  b.insert(b.end(), {desc::kFormatTypeI, nrChannels, subframeSize, bitResolution,
                     static_cast<uint8_t>(rates.size())});
  for (uint32_t r : rates) Put24(b, r);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::FormatTypeI1Continuous(uint8_t nrChannels,
                                                                   uint8_t subframeSize,
                                                                   uint8_t bitResolution,
                                                                   uint32_t lower,
                                                                   uint32_t upper) {
  Bytes b = Start(desc::kCsInterface, desc::kFormatType);
  b.insert(b.end(), {desc::kFormatTypeI, nrChannels, subframeSize, bitResolution, 0});
  Put24(b, lower);
  Put24(b, upper);
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::CsEndpoint1(uint8_t attributes,
                                                        uint8_t lockDelayUnits,
                                                        uint16_t lockDelay) {
  Bytes b = Start(desc::kCsEndpoint, desc::kEpGeneral);
  b.push_back(attributes);
  b.push_back(lockDelayUnits);
  Put16(b, lockDelay);
  return Append(Finish(b));
}

// ---- Generic -------------------------------------------------------------------------

ConfigurationBuilder& ConfigurationBuilder::ClassInterfaceDescriptor(uint8_t subtype,
                                                                     const Bytes& body) {
  Bytes b = Start(desc::kCsInterface, subtype);
  b.insert(b.end(), body.begin(), body.end());
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::ClassEndpointDescriptor(uint8_t subtype,
                                                                    const Bytes& body) {
  Bytes b = Start(desc::kCsEndpoint, subtype);
  b.insert(b.end(), body.begin(), body.end());
  return Append(Finish(b));
}

ConfigurationBuilder& ConfigurationBuilder::Raw(const Bytes& bytes) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t left = bytes.size() - pos;
    const size_t len = bytes[pos];
    // What cannot be split by bLength stays one opaque piece.
    const size_t take = (left >= 2 && len >= 2 && len <= left) ? len : left;
    Append(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                 bytes.begin() + static_cast<std::ptrdiff_t>(pos + take)));
    pos += take;
  }
  return *this;
}

// ---- Overrides and build -------------------------------------------------------------

ConfigurationBuilder& ConfigurationBuilder::OverrideTotalLength(uint16_t wTotalLength) {
  totalLengthOverride_ = wTotalLength;
  return *this;
}

ConfigurationBuilder& ConfigurationBuilder::OverrideNumInterfaces(uint8_t bNumInterfaces) {
  numInterfacesOverride_ = bNumInterfaces;
  return *this;
}

ConfigurationBuilder& ConfigurationBuilder::OverrideAcHeaderTotalLength(uint16_t wTotalLength) {
  for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
    if (it->acTotalOffset != 0) {
      it->acTotalOverride = wTotalLength;
      break;
    }
  }
  return *this;
}

ConfigurationBuilder& ConfigurationBuilder::OverrideLastLength(uint8_t bLength) {
  const Record& last = records_.back();
  if (last.size > 0) bytes_[last.offset] = bLength;
  return *this;
}

size_t ConfigurationBuilder::LastOffset() const { return records_.back().offset; }

ConfigurationBuilder::Bytes ConfigurationBuilder::Build() const {
  Bytes out = bytes_;
  const size_t total = out.size() > 0xFFFF ? 0xFFFF : out.size();
  Write16(out, 2, totalLengthOverride_.value_or(static_cast<uint16_t>(total)));
  out[4] = numInterfacesOverride_.value_or(static_cast<uint8_t>(interfaceNumbers_.size()));

  for (size_t i = 0; i < records_.size(); ++i) {
    const Record& header = records_[i];
    if (header.acTotalOffset == 0) continue;
    // The header plus every class-specific descriptor up to the next interface.
    size_t sum = header.size;
    for (size_t j = i + 1; j < records_.size() && records_[j].type != desc::kInterface; ++j) {
      if (records_[j].type == desc::kCsInterface) sum += records_[j].size;
    }
    const uint16_t value =
        header.acTotalOverride.value_or(static_cast<uint16_t>(sum > 0xFFFF ? 0xFFFF : sum));
    Write16(out, header.offset + header.acTotalOffset, value);
  }
  return out;
}

}  // namespace sim
