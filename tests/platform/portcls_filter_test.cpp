// KS property requests on the port library's filter: the pin and topology
// sets answered from the filter description with KS's size rules, data
// intersection through the miniport, the driver's filter and node tables
// reached with the right PCPROPERTY_REQUEST, and bad requests refused
// without reaching the driver.
#include "tests/platform/portcls_fixture.h"
#include "platform/kernel/registry.h"

namespace {

using namespace portcls_test;
using fake_audio::kBridgePin;
using fake_audio::kMuteNode;
using fake_audio::kPrivateSet;
using fake_audio::kRenderPin;
using fake_audio::kVolumeNode;

class FilterProperties : public StartedPortclsTest {};

TEST_F(FilterProperties, PinSetDescribesEachPin) {
  KSPIN_DATAFLOW flow{};
  EXPECT_EQ(Get(filter_, PinProperty(KSPROPERTY_PIN_DATAFLOW, kRenderPin), &flow), STATUS_SUCCESS);
  EXPECT_EQ(flow, KSPIN_DATAFLOW_IN);
  EXPECT_EQ(Get(filter_, PinProperty(KSPROPERTY_PIN_DATAFLOW, kBridgePin), &flow), STATUS_SUCCESS);
  EXPECT_EQ(flow, KSPIN_DATAFLOW_OUT);
  KSPIN_COMMUNICATION communication{};
  EXPECT_EQ(Get(filter_, PinProperty(KSPROPERTY_PIN_COMMUNICATION, kBridgePin), &communication), STATUS_SUCCESS);
  EXPECT_EQ(communication, KSPIN_COMMUNICATION_NONE);
  KSPIN_CINSTANCES instances{};
  EXPECT_EQ(Get(filter_, PinProperty(KSPROPERTY_PIN_CINSTANCES, kRenderPin), &instances), STATUS_SUCCESS);
  EXPECT_EQ(instances.PossibleCount, 1u);
  EXPECT_EQ(instances.CurrentCount, 0u);
  GUID category{};
  EXPECT_EQ(Get(filter_, PinProperty(KSPROPERTY_PIN_CATEGORY, kRenderPin), &category), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(category, KSCATEGORY_AUDIO));
  EXPECT_EQ(Get(filter_, PinProperty(KSPROPERTY_PIN_CATEGORY, kBridgePin), &category), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(category, KSNODETYPE_SPEAKER));

  // Data ranges: KSMULTIPLE_ITEM, then each range as the miniport gave it.
  NTSTATUS status;
  std::vector<UCHAR> ranges = GetAll(filter_, PinProperty(KSPROPERTY_PIN_DATARANGES, kRenderPin), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(ranges.size(), sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO));
  KSMULTIPLE_ITEM header;
  memcpy(&header, ranges.data(), sizeof header);
  EXPECT_EQ(header.Size, ranges.size());
  EXPECT_EQ(header.Count, 1u);
  KSDATARANGE_AUDIO range;
  memcpy(&range, ranges.data() + sizeof header, sizeof range);
  EXPECT_EQ(range.MaximumChannels, 2u);
  EXPECT_EQ(range.MaximumSampleFrequency, 96000u);
  EXPECT_TRUE(IsEqualGUID(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));

  // No interfaces or mediums listed: KS's standard streaming / devio.
  std::vector<UCHAR> interfaces = GetAll(filter_, PinProperty(KSPROPERTY_PIN_INTERFACES, kRenderPin), &status);
  ASSERT_EQ(interfaces.size(), sizeof(KSMULTIPLE_ITEM) + sizeof(KSPIN_INTERFACE));
  KSPIN_INTERFACE standard;
  memcpy(&standard, interfaces.data() + sizeof(KSMULTIPLE_ITEM), sizeof standard);
  EXPECT_TRUE(IsEqualGUID(standard.Set, KSINTERFACESETID_Standard));
  EXPECT_EQ(standard.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
}

TEST_F(FilterProperties, PinNamesComeFromMediaCategories) {
  WCHAR name[32];
  ULONG bytes = 0;
  EXPECT_EQ(Request(filter_, PinProperty(KSPROPERTY_PIN_NAME, kBridgePin), name, sizeof name, &bytes),
            STATUS_NOT_FOUND);
  const std::u16string key =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\MediaCategories\\{DFF21CE1-F70F-11D0-B917-00A0C9223196}";
  platform::RegistrySetString(key, u"Name", u"Speakers");
  EXPECT_EQ(Request(filter_, PinProperty(KSPROPERTY_PIN_NAME, kBridgePin), name, sizeof name, &bytes),
            STATUS_SUCCESS);
  EXPECT_EQ(bytes, 9 * sizeof(WCHAR));
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name)), u"Speakers");
  platform::RegistryDeleteKey(key);
}

TEST_F(FilterProperties, TopologySetReportsCategoriesNodesAndConnections) {
  NTSTATUS status;
  std::vector<UCHAR> categories = GetAll(filter_, Property(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES), &status);
  ASSERT_EQ(categories.size(), sizeof(KSMULTIPLE_ITEM) + 3 * sizeof(GUID));
  GUID first;
  memcpy(&first, categories.data() + sizeof(KSMULTIPLE_ITEM), sizeof first);
  EXPECT_TRUE(IsEqualGUID(first, KSCATEGORY_AUDIO));

  std::vector<UCHAR> nodes = GetAll(filter_, Property(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES), &status);
  ASSERT_EQ(nodes.size(), sizeof(KSMULTIPLE_ITEM) + 2 * sizeof(GUID));
  GUID types[2];
  memcpy(types, nodes.data() + sizeof(KSMULTIPLE_ITEM), sizeof types);
  EXPECT_TRUE(IsEqualGUID(types[kVolumeNode], KSNODETYPE_VOLUME));
  EXPECT_TRUE(IsEqualGUID(types[kMuteNode], KSNODETYPE_MUTE));

  std::vector<UCHAR> connections =
      GetAll(filter_, Property(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS), &status);
  ASSERT_EQ(connections.size(), sizeof(KSMULTIPLE_ITEM) + 3 * sizeof(KSTOPOLOGY_CONNECTION));
  KSTOPOLOGY_CONNECTION c[3];
  memcpy(c, connections.data() + sizeof(KSMULTIPLE_ITEM), sizeof c);
  EXPECT_EQ(c[0].FromNode, KSFILTER_NODE);
  EXPECT_EQ(c[0].ToNode, kVolumeNode);
  EXPECT_EQ(c[0].ToNodePin, 1u);
  EXPECT_EQ(c[2].FromNode, kMuteNode);
  EXPECT_EQ(c[2].ToNodePin, kBridgePin);
}

// KS size rules: no buffer asks for the size, a short one is refused and
// nothing is written.
TEST_F(FilterProperties, SizeQueriesAndShortBuffers) {
  ULONG bytes = 0;
  EXPECT_EQ(Request(filter_, PinProperty(KSPROPERTY_PIN_DATAFLOW, kRenderPin), nullptr, 0, &bytes),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(bytes, sizeof(KSPIN_DATAFLOW));
  UCHAR small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(Request(filter_, PinProperty(KSPROPERTY_PIN_DATAFLOW, kRenderPin), small, 2, &bytes),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(small[0], 0xEE);
  EXPECT_EQ(Request(filter_, PinProperty(KSPROPERTY_PIN_DATARANGES, kRenderPin), nullptr, 0, &bytes),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(bytes, sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO));
  EXPECT_EQ(Request(filter_, PinProperty(KSPROPERTY_PIN_DATARANGES, kRenderPin), small, sizeof small, &bytes),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(small[0], 0xEE);
  // A pin property without its pin id.
  KSPROPERTY bare = Property(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW);
  KSPIN_DATAFLOW flow;
  EXPECT_EQ(Get(filter_, bare, &flow), STATUS_INVALID_BUFFER_SIZE);
  // Less than a KSPROPERTY.
  EXPECT_EQ(platform::KsProperty(filter_, &bare, 16, &flow, sizeof flow, &bytes), STATUS_INVALID_BUFFER_SIZE);
}

TEST_F(FilterProperties, UnknownSetsIdsVerbsAndOutOfRangeIdsAreRefusedBeforeTheDriver) {
  ULONG value = 0;
  GUID unknownSet = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  EXPECT_EQ(Get(filter_, Property(unknownSet, 0), &value), STATUS_NOT_FOUND);
  EXPECT_EQ(Get(filter_, PinProperty(99, kRenderPin), &value), STATUS_NOT_FOUND);
  EXPECT_EQ(Get(filter_, Property(kPrivateSet, 55), &value), STATUS_NOT_FOUND);
  EXPECT_EQ(Get(filter_, Property(KSPROPSETID_Topology, 17), &value), STATUS_NOT_FOUND);
  // Verbs the item does not offer.
  KSPIN_DATAFLOW flow = KSPIN_DATAFLOW_OUT;
  ULONG bytes = 0;
  EXPECT_EQ(Request(filter_, PinProperty(KSPROPERTY_PIN_DATAFLOW, kRenderPin, KSPROPERTY_TYPE_SET), &flow,
                    sizeof flow, &bytes),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Request(filter_, Property(kPrivateSet, fake_audio::kPrivateFilterId, KSPROPERTY_TYPE_SET), &value,
                    sizeof value, &bytes),
            STATUS_INVALID_DEVICE_REQUEST);
  // Pin and node ids beyond the filter.
  EXPECT_EQ(Get(filter_, PinProperty(KSPROPERTY_PIN_DATAFLOW, fake_audio::kPinCount), &flow),
            STATUS_INVALID_PARAMETER);
  LONG level = 0;
  EXPECT_EQ(Get(filter_, NodeProperty(KSPROPERTY_AUDIO_VOLUMELEVEL, 2, 0), &level), STATUS_INVALID_PARAMETER);
  KSP_NODE name{};
  name.Property = Property(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NAME);
  name.NodeId = 9;
  EXPECT_EQ(Get(filter_, name, &value), STATUS_INVALID_PARAMETER);
  // A node property of a set the node's table does not have.
  EXPECT_EQ(Get(filter_, NodeProperty(KSPROPERTY_AUDIO_MUTE, kVolumeNode, 0), &level), STATUS_NOT_FOUND);
  EXPECT_TRUE(Fake().requests.empty());
}

TEST_F(FilterProperties, DriverTablesReceiveThePropertyRequest) {
  LONG value = 0;
  ULONG bytes = 0;
  ASSERT_EQ(Get(filter_, Property(kPrivateSet, fake_audio::kPrivateFilterId), &value, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x1007);
  EXPECT_EQ(bytes, sizeof(LONG));
  ASSERT_EQ(Fake().requests.size(), 1u);
  EXPECT_NE(Fake().requests[0].major, nullptr);  // the miniport
  EXPECT_EQ(Fake().requests[0].minor, nullptr);  // no stream on the filter
  EXPECT_EQ(Fake().requests[0].node, KSFILTER_NODE);
  EXPECT_EQ(Fake().requests[0].instanceSize, 0u);

  // A node property: the node id, the verb without the topology flag, the
  // instance after KSP_NODE (the channel).
  ASSERT_EQ(Get(filter_, NodeProperty(KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 1), &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x1004);
  const fake_audio::RecordedRequest& node = Fake().requests.back();
  EXPECT_EQ(node.node, kVolumeNode);
  EXPECT_EQ(node.verb, static_cast<ULONG>(KSPROPERTY_TYPE_GET));
  EXPECT_EQ(node.instanceSize, sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) - sizeof(KSP_NODE));
  EXPECT_EQ(node.firstInstanceLong, 1);
  EXPECT_EQ(node.major, Fake().requests[0].major);

  // Basic support: the volume item takes it; the mute item leaves it to
  // the port, which answers the item's access flags.
  ULONG flags = 0;
  ASSERT_EQ(Get(filter_, NodeProperty(KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 0, KSPROPERTY_TYPE_BASICSUPPORT),
                &flags),
            STATUS_SUCCESS);
  EXPECT_EQ(Fake().requests.back().verb, static_cast<ULONG>(KSPROPERTY_TYPE_BASICSUPPORT));
  size_t handled = Fake().requests.size();
  auto mute = NodeProperty(KSPROPERTY_AUDIO_MUTE, kMuteNode, 0, KSPROPERTY_TYPE_BASICSUPPORT);
  flags = 0;
  ASSERT_EQ(Get(filter_, mute, &flags, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(flags, 0x203u);
  EXPECT_EQ(bytes, 4u);
  KSPROPERTY_DESCRIPTION description{};
  ASSERT_EQ(Get(filter_, mute, &description, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, sizeof description);
  EXPECT_EQ(description.AccessFlags, 0x203u);
  EXPECT_EQ(description.DescriptionSize, sizeof description);
  EXPECT_EQ(description.MembersListCount, 0u);
  EXPECT_EQ(Request(filter_, mute, nullptr, 0, &bytes), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(bytes, sizeof description);
  EXPECT_EQ(Fake().requests.size(), handled);
}

// KSP_PIN, then KSMULTIPLE_ITEM with the client's ranges.
std::vector<UCHAR> IntersectionRequest(ULONG pin, const std::vector<KSDATARANGE_AUDIO>& ranges) {
  KSP_PIN p = PinProperty(KSPROPERTY_PIN_DATAINTERSECTION, pin);
  KSMULTIPLE_ITEM header{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + ranges.size() * sizeof(KSDATARANGE_AUDIO)),
                         static_cast<ULONG>(ranges.size())};
  std::vector<UCHAR> bytes(sizeof p + header.Size);
  memcpy(bytes.data(), &p, sizeof p);
  memcpy(bytes.data() + sizeof p, &header, sizeof header);
  if (!ranges.empty()) memcpy(bytes.data() + sizeof p + sizeof header, ranges.data(), ranges.size() * sizeof ranges[0]);
  return bytes;
}

KSDATARANGE_AUDIO ClientRange(ULONG channels, ULONG minRate, ULONG maxRate) {
  KSDATARANGE_AUDIO r{};
  r.DataRange.FormatSize = sizeof r;
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r.MaximumChannels = channels;
  r.MinimumBitsPerSample = 16;
  r.MaximumBitsPerSample = 32;
  r.MinimumSampleFrequency = minRate;
  r.MaximumSampleFrequency = maxRate;
  return r;
}

TEST_F(FilterProperties, DataIntersectionGoesThroughTheMiniport) {
  auto request = IntersectionRequest(kRenderPin, {ClientRange(1, 8000, 48000), ClientRange(2, 44100, 192000)});
  ULONG bytes = 0;
  ASSERT_EQ(platform::KsProperty(filter_, request.data(), (ULONG)request.size(), nullptr, 0, &bytes),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(bytes, sizeof(KSDATAFORMAT_WAVEFORMATEX));
  KSDATAFORMAT_WAVEFORMATEX result{};
  ASSERT_EQ(platform::KsProperty(filter_, request.data(), (ULONG)request.size(), &result, sizeof result, &bytes),
            STATUS_SUCCESS);
  EXPECT_EQ(bytes, sizeof result);
  EXPECT_EQ(result.WaveFormatEx.nSamplesPerSec, 96000u);  // min of both maxima
  EXPECT_EQ(Fake().Log().back(), "intersect pin 0");

  // Nothing that fits: the one-channel range alone.
  request = IntersectionRequest(kRenderPin, {ClientRange(1, 8000, 48000)});
  EXPECT_EQ(platform::KsProperty(filter_, request.data(), (ULONG)request.size(), &result, sizeof result, &bytes),
            STATUS_NO_MATCH);
  // A range of another major format never reaches the miniport.
  Fake().ClearLog();
  KSDATARANGE_AUDIO video = ClientRange(2, 44100, 48000);
  video.DataRange.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
  request = IntersectionRequest(kRenderPin, {video});
  EXPECT_EQ(platform::KsProperty(filter_, request.data(), (ULONG)request.size(), &result, sizeof result, &bytes),
            STATUS_NO_MATCH);
  EXPECT_TRUE(Fake().Log().empty());
  // A list whose range claims more bytes than it has.
  KSDATARANGE_AUDIO broken = ClientRange(2, 44100, 48000);
  broken.DataRange.FormatSize = 200;
  request = IntersectionRequest(kRenderPin, {broken});
  EXPECT_EQ(platform::KsProperty(filter_, request.data(), (ULONG)request.size(), &result, sizeof result, &bytes),
            STATUS_INVALID_BUFFER_SIZE);
  EXPECT_TRUE(Fake().Log().empty());
}

}  // namespace
