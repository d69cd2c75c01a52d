// Fluent construction of USB device and configuration descriptors, including
// the USB Audio Class 1.0 and 2.0 class-specific ones, for profiles and tests.
//
// Every method appends one descriptor in the published layout (little-endian).
// Build() then fills the computed lengths; each computed value can be
// overridden so tests can produce deliberately wrong descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

namespace sim {

// Descriptor type and subtype codes used by the builder, profiles and tests.
namespace desc {
constexpr uint8_t kDevice = 0x01;
constexpr uint8_t kConfiguration = 0x02;
constexpr uint8_t kString = 0x03;
constexpr uint8_t kInterface = 0x04;
constexpr uint8_t kEndpoint = 0x05;
constexpr uint8_t kInterfaceAssociation = 0x0B;
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kCsEndpoint = 0x25;

constexpr uint8_t kAudioClass = 0x01;
constexpr uint8_t kAudioControl = 0x01;
constexpr uint8_t kAudioStreaming = 0x02;
constexpr uint8_t kProtocolUac2 = 0x20;  // IP_VERSION_02_00 / AF_VERSION_02_00

// Class-specific AC interface subtypes.
constexpr uint8_t kAcHeader = 0x01;
constexpr uint8_t kInputTerminal = 0x02;
constexpr uint8_t kOutputTerminal = 0x03;
constexpr uint8_t kMixerUnit = 0x04;
constexpr uint8_t kSelectorUnit = 0x05;
constexpr uint8_t kFeatureUnit = 0x06;
constexpr uint8_t kUac1ProcessingUnit = 0x07;
constexpr uint8_t kUac2EffectUnit = 0x07;
constexpr uint8_t kUac2ProcessingUnit = 0x08;
constexpr uint8_t kUac1ExtensionUnit = 0x08;
constexpr uint8_t kUac2ExtensionUnit = 0x09;
constexpr uint8_t kClockSource = 0x0A;
constexpr uint8_t kClockSelector = 0x0B;
constexpr uint8_t kClockMultiplier = 0x0C;
constexpr uint8_t kSampleRateConverter = 0x0D;

// Class-specific AS interface / endpoint subtypes.
constexpr uint8_t kAsGeneral = 0x01;
constexpr uint8_t kFormatType = 0x02;
constexpr uint8_t kEpGeneral = 0x01;
constexpr uint8_t kFormatTypeI = 0x01;
}  // namespace desc

// 18-byte standard device descriptor.
std::vector<uint8_t> MakeDeviceDescriptor(uint16_t vid, uint16_t pid, uint16_t bcdDevice = 0x0100,
                                          uint16_t bcdUSB = 0x0200, uint8_t cls = 0,
                                          uint8_t subcls = 0, uint8_t proto = 0,
                                          uint8_t maxPacket0 = 64, uint8_t iManufacturer = 0,
                                          uint8_t iProduct = 0, uint8_t iSerial = 0,
                                          uint8_t numConfigurations = 1);

class ConfigurationBuilder {
 public:
  using Bytes = std::vector<uint8_t>;

  // Starts with a configuration descriptor (value 1, bus powered, 100 mA).
  ConfigurationBuilder();

  // --- Standard descriptors -------------------------------------------------
  // Rewrites the leading configuration descriptor's fields (may be called at any time).
  ConfigurationBuilder& Configuration(uint8_t value = 1, uint8_t attributes = 0x80,
                                      uint8_t maxPower = 50, uint8_t iConfiguration = 0);
  ConfigurationBuilder& InterfaceAssociation(uint8_t firstInterface, uint8_t interfaceCount,
                                             uint8_t cls, uint8_t subclass, uint8_t protocol,
                                             uint8_t iFunction = 0);
  ConfigurationBuilder& Interface(uint8_t number, uint8_t alternate, uint8_t numEndpoints,
                                  uint8_t cls, uint8_t subclass, uint8_t protocol,
                                  uint8_t iInterface = 0);
  ConfigurationBuilder& Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacketSize,
                                 uint8_t interval);
  // Audio-class 1.0 style endpoint with bRefresh and bSynchAddress.
  ConfigurationBuilder& Endpoint9(uint8_t address, uint8_t attributes, uint16_t maxPacketSize,
                                  uint8_t interval, uint8_t refresh, uint8_t synchAddress);

  // --- Audio class 2.0, audio control ------------------------------------------
  ConfigurationBuilder& AcHeader2(uint8_t category, uint8_t controls = 0,
                                  uint16_t bcdADC = 0x0200);
  ConfigurationBuilder& ClockSource(uint8_t id, uint8_t attributes, uint8_t controls,
                                    uint8_t assocTerminal = 0, uint8_t iClock = 0);
  ConfigurationBuilder& ClockSelector(uint8_t id, const std::vector<uint8_t>& sourceIds,
                                      uint8_t controls = 0, uint8_t iSelector = 0);
  ConfigurationBuilder& ClockMultiplier(uint8_t id, uint8_t sourceId, uint8_t controls = 0,
                                        uint8_t iMultiplier = 0);
  ConfigurationBuilder& InputTerminal2(uint8_t id, uint16_t type, uint8_t assocTerminal,
                                       uint8_t clockId, uint8_t nrChannels,
                                       uint32_t channelConfig, uint8_t iChannelNames = 0,
                                       uint16_t controls = 0, uint8_t iTerminal = 0);
  ConfigurationBuilder& OutputTerminal2(uint8_t id, uint16_t type, uint8_t assocTerminal,
                                        uint8_t sourceId, uint8_t clockId,
                                        uint16_t controls = 0, uint8_t iTerminal = 0);
  // bmaControls: master channel first, then one 32-bit word per logical channel.
  ConfigurationBuilder& FeatureUnit2(uint8_t id, uint8_t sourceId,
                                     const std::vector<uint32_t>& bmaControls,
                                     uint8_t iFeature = 0);
  // bmMixerControls is the bit array as bytes, its size chosen by the caller.
  ConfigurationBuilder& MixerUnit2(uint8_t id, const std::vector<uint8_t>& sourceIds,
                                   uint8_t nrChannels, uint32_t channelConfig,
                                   const Bytes& mixerControls, uint8_t controls = 0,
                                   uint8_t iChannelNames = 0, uint8_t iMixer = 0);
  ConfigurationBuilder& SelectorUnit2(uint8_t id, const std::vector<uint8_t>& sourceIds,
                                      uint8_t controls = 0, uint8_t iSelector = 0);

  // --- Audio class 2.0, audio streaming ----------------------------------------
  ConfigurationBuilder& AsGeneral2(uint8_t terminalLink, uint8_t controls, uint8_t formatType,
                                   uint32_t bmFormats, uint8_t nrChannels,
                                   uint32_t channelConfig, uint8_t iChannelNames = 0);
  ConfigurationBuilder& FormatTypeI2(uint8_t subslotSize, uint8_t bitResolution);
  ConfigurationBuilder& CsEndpoint2(uint8_t attributes = 0, uint8_t controls = 0,
                                    uint8_t lockDelayUnits = 0, uint16_t lockDelay = 0);

  // --- Audio class 1.0 ---------------------------------------------------------
  ConfigurationBuilder& AcHeader1(const std::vector<uint8_t>& streamingInterfaces,
                                  uint16_t bcdADC = 0x0100);
  ConfigurationBuilder& InputTerminal1(uint8_t id, uint16_t type, uint8_t assocTerminal,
                                       uint8_t nrChannels, uint16_t channelConfig,
                                       uint8_t iChannelNames = 0, uint8_t iTerminal = 0);
  ConfigurationBuilder& OutputTerminal1(uint8_t id, uint16_t type, uint8_t assocTerminal,
                                        uint8_t sourceId, uint8_t iTerminal = 0);
  // Each bmaControls word is written as controlSize little-endian bytes.
  ConfigurationBuilder& FeatureUnit1(uint8_t id, uint8_t sourceId, uint8_t controlSize,
                                     const std::vector<uint32_t>& bmaControls,
                                     uint8_t iFeature = 0);
  ConfigurationBuilder& MixerUnit1(uint8_t id, const std::vector<uint8_t>& sourceIds,
                                   uint8_t nrChannels, uint16_t channelConfig,
                                   const Bytes& mixerControls, uint8_t iChannelNames = 0,
                                   uint8_t iMixer = 0);
  ConfigurationBuilder& SelectorUnit1(uint8_t id, const std::vector<uint8_t>& sourceIds,
                                      uint8_t iSelector = 0);
  // bControlSize = controls.size(); processSpecific is appended after iProcessing.
  ConfigurationBuilder& ProcessingUnit1(uint8_t id, uint16_t processType,
                                        const std::vector<uint8_t>& sourceIds,
                                        uint8_t nrChannels, uint16_t channelConfig,
                                        const Bytes& controls, uint8_t iChannelNames = 0,
                                        uint8_t iProcessing = 0,
                                        const Bytes& processSpecific = {});
  ConfigurationBuilder& AsGeneral1(uint8_t terminalLink, uint8_t delay, uint16_t formatTag);
  // Discrete rates: bSamFreqType = rates.size(), 3 bytes per rate.
  ConfigurationBuilder& FormatTypeI1(uint8_t nrChannels, uint8_t subframeSize,
                                     uint8_t bitResolution, const std::vector<uint32_t>& rates);
  // Continuous range: bSamFreqType 0, tLowerSamFreq and tUpperSamFreq.
  ConfigurationBuilder& FormatTypeI1Continuous(uint8_t nrChannels, uint8_t subframeSize,
                                               uint8_t bitResolution, uint32_t lower,
                                               uint32_t upper);
  ConfigurationBuilder& CsEndpoint1(uint8_t attributes, uint8_t lockDelayUnits = 0,
                                    uint16_t lockDelay = 0);

  // --- Generic -------------------------------------------------------------------
  // bLength = 3 + body.size(), type 0x24 / 0x25, the subtype, then body.
  ConfigurationBuilder& ClassInterfaceDescriptor(uint8_t subtype, const Bytes& body);
  ConfigurationBuilder& ClassEndpointDescriptor(uint8_t subtype, const Bytes& body);
  // Appended verbatim. Interface descriptors inside count towards bNumInterfaces
  // and class-specific ones towards an AC header's total, as far as the bytes
  // can be split by their bLength.
  ConfigurationBuilder& Raw(const Bytes& bytes);

  // --- Overrides of computed values ------------------------------------------------
  ConfigurationBuilder& OverrideTotalLength(uint16_t wTotalLength);
  ConfigurationBuilder& OverrideNumInterfaces(uint8_t bNumInterfaces);
  // Applies to the most recently appended AC header.
  ConfigurationBuilder& OverrideAcHeaderTotalLength(uint16_t wTotalLength);
  // Replaces byte 0 of the most recently appended descriptor (its real size is
  // still used for all computed values).
  ConfigurationBuilder& OverrideLastLength(uint8_t bLength);

  // Offset of the most recently appended descriptor in the built bytes.
  size_t LastOffset() const;

  // Bytes with wTotalLength, bNumInterfaces and every AC header's wTotalLength filled.
  Bytes Build() const;

 private:
  struct Record {
    size_t offset = 0;
    size_t size = 0;
    uint8_t type = 0;
    size_t acTotalOffset = 0;  // non-zero for AC headers: position of wTotalLength inside
    std::optional<uint16_t> acTotalOverride;
  };

  ConfigurationBuilder& Append(const Bytes& bytes, size_t acTotalOffset = 0);

  Bytes bytes_;
  std::vector<Record> records_;
  std::set<uint8_t> interfaceNumbers_;
  std::optional<uint16_t> totalLengthOverride_;
  std::optional<uint8_t> numInterfacesOverride_;
};

}  // namespace sim
