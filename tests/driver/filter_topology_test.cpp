// The KS filter built from the entity graph: pins, nodes, the exact
// connections along the capture and render paths, the rings that link them,
// and the clean-up when memory runs out.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "driver/uac/filter_topology.h"
#include "driver/uac/property_handlers.h"
#include "driver/uac/terminal_types.h"
#include "tests/driver/driver_fixture.h"

namespace drivertest {
namespace {

using sim::ConfigurationBuilder;

constexpr ULONG F = KSFILTER_NODE;  // a pin end of a connection
using Connection = std::tuple<ULONG, ULONG, ULONG, ULONG>;
// A chain element: true for a pin, and its ID.
using Element = std::pair<bool, ULONG>;
Element Pin(ULONG id) { return {true, id}; }
Element Node(ULONG id) { return {false, id}; }

std::vector<Connection> ConnectionsOf(const PCFILTER_DESCRIPTOR& filter) {
  std::vector<Connection> out;
  for (ULONG i = 0; i < filter.ConnectionCount; ++i) {
    const PCCONNECTION_DESCRIPTOR& c = filter.Connections[i];
    out.emplace_back(c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin);
  }
  return out;
}

// The ring through `start`, walked forwards; fails the test unless every
// element's neighbours point back at it and the walk closes within `limit`.
std::vector<Element> Ring(const FilterElement* start, size_t limit = 64) {
  std::vector<Element> out;
  std::set<const FilterElement*> seen;
  const FilterElement* element = start;
  do {
    EXPECT_TRUE(seen.insert(element).second) << "element visited twice: the ring is corrupt";
    const FilterElement* next = FilterChainNext(element);
    const FilterElement* previous = FilterChainPrevious(element);
    if (next == nullptr || previous == nullptr) {
      ADD_FAILURE() << "element on no chain";
      break;
    }
    EXPECT_EQ(FilterChainPrevious(next), element) << "forward and backward links disagree";
    EXPECT_EQ(FilterChainNext(previous), element) << "forward and backward links disagree";
    out.emplace_back(element->IsPin != 0, element->Index);
    element = next;
  } while (element != start && out.size() <= limit);
  EXPECT_EQ(element, start) << "the chain does not close";
  return out;
}

// A built filter that is freed with the test's audio function.
class BuiltFilter {
 public:
  explicit BuiltFilter(CUSBAudioCL& audio) : audio_(audio) {}
  ~BuiltFilter() { audio_.FreeFilter(&filter_); }
  NTSTATUS Build() { return audio_.BuildFilter(&filter_); }
  const PCFILTER_DESCRIPTOR& operator*() const { return filter_; }
  const PCFILTER_DESCRIPTOR* operator->() const { return &filter_; }
  PCFILTER_DESCRIPTOR* get() { return &filter_; }
  FilterElement* pin(ULONG id) const { return FilterPinElement(&filter_, id); }
  FilterElement* node(ULONG id) const { return FilterNodeElement(&filter_, id); }

 private:
  CUSBAudioCL& audio_;
  PCFILTER_DESCRIPTOR filter_{};
};

// AC interface with header and clock 0x10; the caller adds the entities.
ConfigurationBuilder Uac2Header() {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20).AcHeader2(0x01).ClockSource(0x10, 0x03, 0x07);
  return b;
}

const PCPROPERTY_ITEM& Item(const PCAUTOMATION_TABLE* table, ULONG index) { return table->Properties[index]; }

class FilterTopologyTest : public DriverTest {};

TEST_F(FilterTopologyTest, PlaybackOnlyDeviceGivesStreamingPinFeatureNodesDacAndSpeaker) {
  ConfigurationBuilder b = Uac2Control();  // clock, IT 1 (USB streaming), FU 2 (mute, volume), OT 3 (speaker)
  AddStreaming2(b, 1, 0x01, 0x01, 0x81);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);

  EXPECT_EQ(filter->Version, 0u);
  EXPECT_EQ(filter->PinSize, 144u);
  EXPECT_EQ(filter->NodeSize, 144u);
  EXPECT_EQ(filter->CategoryCount, 0u);
  EXPECT_EQ(filter->Categories, nullptr);
  ASSERT_EQ(filter->PinCount, 2u);
  ASSERT_EQ(filter->NodeCount, 3u);

  // Pin 0: the render streaming pin with the render interface's ranges.
  const FilterElement* render = filter.pin(0);
  const KSPIN_DESCRIPTOR& renderKs = render->Pin.KsPinDescriptor;
  EXPECT_EQ(render->Entity, audio_->FindEntity(0x01));
  EXPECT_EQ(render->IsPin, 1);
  EXPECT_EQ(render->Pin.MaxGlobalInstanceCount, 1u);
  EXPECT_EQ(render->Pin.MaxFilterInstanceCount, 1u);
  EXPECT_EQ(render->Pin.MinFilterInstanceCount, 0u);
  EXPECT_EQ(renderKs.DataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_EQ(renderKs.Communication, KSPIN_COMMUNICATION_SINK);
  EXPECT_EQ(renderKs.Category, &KSCATEGORY_AUDIO);
  EXPECT_EQ(renderKs.Name, nullptr);
  EXPECT_EQ(renderKs.InterfacesCount, 0u);
  EXPECT_EQ(renderKs.MediumsCount, 0u);
  StreamingInterface* streaming = audio_->GetRenderInterface();
  ASSERT_EQ(renderKs.DataRangesCount, streaming->AlternateCount - 1);
  EXPECT_EQ(renderKs.DataRanges, static_cast<const PKSDATARANGE*>(streaming->DataRangeStorage) + 1);
  EXPECT_EQ(renderKs.DataRanges[0]->FormatSize, sizeof(KSDATARANGE_AUDIO));
  ASSERT_NE(render->Pin.AutomationTable, nullptr);
  EXPECT_EQ(render->Pin.AutomationTable->PropertyCount, 5u);

  // Pin 1: the speaker as a bridge pin carrying the analogue range.
  const FilterElement* speaker = filter.pin(1);
  const KSPIN_DESCRIPTOR& speakerKs = speaker->Pin.KsPinDescriptor;
  EXPECT_EQ(speaker->Entity, audio_->FindEntity(0x03));
  EXPECT_EQ(speaker->Pin.MaxGlobalInstanceCount, 0u);
  EXPECT_EQ(speaker->Pin.MaxFilterInstanceCount, 0u);
  EXPECT_EQ(speaker->Pin.AutomationTable, nullptr);
  EXPECT_EQ(speakerKs.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(speakerKs.Communication, KSPIN_COMMUNICATION_NONE);
  ASSERT_NE(speakerKs.Category, nullptr);
  EXPECT_EQ(*speakerKs.Category, KSNODETYPE_SPEAKER);
  ASSERT_EQ(speakerKs.DataRangesCount, 1u);
  const KSDATARANGE& bridge = *speakerKs.DataRanges[0];
  EXPECT_EQ(bridge.FormatSize, 64u);
  EXPECT_EQ(bridge.Flags, 0u);
  EXPECT_EQ(bridge.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
  EXPECT_EQ(bridge.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG);
  EXPECT_EQ(bridge.Specifier, KSDATAFORMAT_SPECIFIER_NONE);

  // Nodes: the DAC, then the feature unit's mute and volume.
  EXPECT_EQ(*filter.node(0)->Node.Type, KSNODETYPE_DAC);
  EXPECT_EQ(filter.node(0)->Entity, nullptr);
  EXPECT_EQ(filter.node(0)->Node.AutomationTable, nullptr);
  EXPECT_EQ(*filter.node(1)->Node.Type, KSNODETYPE_MUTE);
  EXPECT_EQ(*filter.node(2)->Node.Type, KSNODETYPE_VOLUME);
  for (ULONG id : {1u, 2u}) {
    EXPECT_EQ(filter.node(id)->Entity, audio_->FindEntity(0x02));
    EXPECT_EQ(filter.node(id)->IsPin, 0);
    EXPECT_EQ(filter.node(id)->Node.Name, nullptr);
    EXPECT_EQ(filter.node(id)->Node.Flags, 0u);
  }

  // The unit's later node comes first: streaming pin, volume, mute, DAC, speaker.
  EXPECT_EQ(ConnectionsOf(*filter), (std::vector<Connection>{
                                        {F, 0, 2, KSNODEPIN_STANDARD_IN},
                                        {2, KSNODEPIN_STANDARD_OUT, 1, KSNODEPIN_STANDARD_IN},
                                        {1, KSNODEPIN_STANDARD_OUT, 0, KSNODEPIN_STANDARD_IN},
                                        {0, KSNODEPIN_STANDARD_OUT, F, 1},
                                    }));
  EXPECT_EQ(Ring(render), (std::vector<Element>{Pin(0), Node(2), Node(1), Node(0), Pin(1)}));
}

TEST_F(FilterTopologyTest, AutomationTablesNameTheHandlersWithTheirVerbs) {
  ConfigurationBuilder b = Uac2Control();
  AddStreaming2(b, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
  constexpr ULONG GSB = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
  constexpr ULONG SB = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

  const PCAUTOMATION_TABLE* table = filter->AutomationTable;
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->PropertyItemSize, sizeof(PCPROPERTY_ITEM));
  ASSERT_EQ(table->PropertyCount, 2u);
  EXPECT_EQ(table->MethodCount, 0u);
  EXPECT_EQ(table->EventCount, 0u);
  EXPECT_EQ(*Item(table, 0).Set, KSPROPSETID_General);
  EXPECT_EQ(Item(table, 0).Id, (ULONG)KSPROPERTY_GENERAL_COMPONENTID);
  EXPECT_EQ(Item(table, 0).Flags, (ULONG)(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT));
  EXPECT_EQ(Item(table, 0).Handler, &PropertyHandler_Filter);
  EXPECT_EQ(*Item(table, 1).Set, (GUID{0x9B739684, 0x14D2, 0x447F, {0x86, 0x5E, 0x28, 0xE2, 0x15, 0x76, 0x13, 0x9A}}));
  EXPECT_EQ(Item(table, 1).Id, 256u);
  EXPECT_EQ(Item(table, 1).Flags, (ULONG)KSPROPERTY_TYPE_SET);
  EXPECT_EQ(Item(table, 1).Handler, &PropertyHandler_Filter);

  table = filter.pin(0)->Pin.AutomationTable;
  ASSERT_EQ(table->PropertyCount, 5u);
  const ULONG renderFlags[] = {GSB, GSB, GSB, SB, SB};
  for (ULONG i = 0; i < 5; ++i) {
    EXPECT_EQ(*Item(table, i).Set, KSPROPSETID_AsioChannel);
    EXPECT_EQ(Item(table, i).Id, i);
    EXPECT_EQ(Item(table, i).Flags, renderFlags[i]) << "render item " << i;
    EXPECT_EQ(Item(table, i).Handler, &PropertyHandler_AsioChannel);
  }

  table = filter.node(1)->Node.AutomationTable;  // mute
  ASSERT_EQ(table->PropertyCount, 1u);
  EXPECT_EQ(*Item(table, 0).Set, KSPROPSETID_Audio);
  EXPECT_EQ(Item(table, 0).Id, (ULONG)KSPROPERTY_AUDIO_MUTE);
  EXPECT_EQ(Item(table, 0).Flags, GSB);
  EXPECT_EQ(Item(table, 0).Handler, &PropertyHandler_Node);
  table = filter.node(2)->Node.AutomationTable;  // volume
  ASSERT_EQ(table->PropertyCount, 1u);
  EXPECT_EQ(Item(table, 0).Id, (ULONG)KSPROPERTY_AUDIO_VOLUMELEVEL);
  EXPECT_EQ(Item(table, 0).Flags, GSB);
  EXPECT_EQ(Item(table, 0).Handler, &PropertyHandler_Node);

  // Until the miniport and the channel take over, every request is refused.
  PCPROPERTY_REQUEST request{};
  EXPECT_EQ(PropertyHandler_Filter(&request), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(PropertyHandler_AsioChannel(&request), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(PropertyHandler_Node(&request), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(FilterTopologyTest, DefaultDeviceHasCaptureChainFirstWithTheAdc) {
  ASSERT_EQ(Parse(ProfileSet("default")), STATUS_SUCCESS);
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
  // Pins: IT 1 render, OT 3 speaker, IT 4 line input, OT 5 capture.
  ASSERT_EQ(filter->PinCount, 4u);
  ASSERT_EQ(filter->NodeCount, 4u);
  EXPECT_EQ(*filter.node(0)->Node.Type, KSNODETYPE_ADC);
  EXPECT_EQ(*filter.node(1)->Node.Type, KSNODETYPE_DAC);
  EXPECT_EQ(*filter.node(2)->Node.Type, KSNODETYPE_MUTE);
  EXPECT_EQ(*filter.node(3)->Node.Type, KSNODETYPE_VOLUME);

  const KSPIN_DESCRIPTOR& line = filter.pin(2)->Pin.KsPinDescriptor;
  EXPECT_EQ(line.DataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_EQ(line.Communication, KSPIN_COMMUNICATION_NONE);
  EXPECT_EQ(*line.Category, KSNODETYPE_LINE_CONNECTOR);
  const FilterElement* capture = filter.pin(3);
  EXPECT_EQ(capture->Pin.KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(capture->Pin.KsPinDescriptor.Communication, KSPIN_COMMUNICATION_SINK);
  EXPECT_EQ(capture->Pin.KsPinDescriptor.Category, &KSCATEGORY_AUDIO);
  StreamingInterface* streaming = audio_->GetCaptureInterface();
  EXPECT_EQ(capture->Pin.KsPinDescriptor.DataRangesCount, streaming->AlternateCount - 1);
  EXPECT_EQ(capture->Pin.KsPinDescriptor.DataRanges, static_cast<const PKSDATARANGE*>(streaming->DataRangeStorage) + 1);
  ASSERT_NE(capture->Pin.AutomationTable, nullptr);
  ASSERT_EQ(capture->Pin.AutomationTable->PropertyCount, 3u);
  for (ULONG i = 0; i < 3; ++i) {
    EXPECT_EQ(Item(capture->Pin.AutomationTable, i).Id, i);
    EXPECT_EQ(Item(capture->Pin.AutomationTable, i).Flags,
              (ULONG)(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT));
  }

  EXPECT_EQ(ConnectionsOf(*filter), (std::vector<Connection>{
                                        {F, 2, 0, 1},  // line input -> ADC
                                        {0, 0, F, 3},  // ADC -> capture streaming
                                        {F, 0, 3, 1},  // render streaming -> volume
                                        {3, 0, 2, 1},  // volume -> mute
                                        {2, 0, 1, 1},  // mute -> DAC
                                        {1, 0, F, 1},  // DAC -> speaker
                                    }));
  EXPECT_EQ(Ring(filter.pin(2)), (std::vector<Element>{Pin(2), Node(0), Pin(3)}));
  EXPECT_EQ(Ring(filter.pin(0)), (std::vector<Element>{Pin(0), Node(3), Node(2), Node(1), Pin(1)}));
}

TEST_F(FilterTopologyTest, FeatureUnitWithOnlyBassGivesOneToneNodeWithoutAutomation) {
  ConfigurationBuilder b = Uac2Header();
  b.InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .FeatureUnit2(0x02, 0x01, {0x30 /* bass read/write */, 0, 0})
      .OutputTerminal2(0x03, 0x0302, 0, 0x02, 0x10);
  AddStreaming2(b, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
  ASSERT_EQ(filter->NodeCount, 2u);
  EXPECT_EQ(*filter.node(0)->Node.Type, KSNODETYPE_DAC);
  EXPECT_EQ(*filter.node(1)->Node.Type, KSNODETYPE_TONE);
  EXPECT_EQ(filter.node(1)->Node.AutomationTable, nullptr);
  EXPECT_EQ(*filter.pin(1)->Pin.KsPinDescriptor.Category, KSNODETYPE_HEADPHONES);
  EXPECT_EQ(ConnectionsOf(*filter), (std::vector<Connection>{{F, 0, 1, 1}, {1, 0, 0, 1}, {0, 0, F, 1}}));
}

TEST_F(FilterTopologyTest, FeatureUnitControlGroupsEachGetOneNodeInGroupOrder) {
  // Class 2.0 readable bits: bass and treble share the tone node, the five
  // device-specific groups (input gain ... overflow) get one node each.
  const uint32_t readable = [] {
    uint32_t bits = 0;
    for (int control : {14, 12, 9, 8, 6, 4, 2, 0}) bits |= 1u << (2 * control);
    return bits;
  }();
  ConfigurationBuilder b = Uac2Header();
  b.InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .FeatureUnit2(0x02, 0x01, {readable, 1u << (2 * 1) /* volume on channel 1 */, 1u << (2 * 11)})
      .OutputTerminal2(0x03, 0x0301, 0, 0x02, 0x10);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
  const GUID* expected[] = {&KSNODETYPE_DAC,      &KSNODETYPE_MUTE,         &KSNODETYPE_VOLUME,
                            &KSNODETYPE_TONE,     &KSNODETYPE_AGC,          &KSNODETYPE_LOUDNESS,
                            &KSNODETYPE_DEV_SPECIFIC /* input gain pad */, &KSNODETYPE_DEV_SPECIFIC /* phase */,
                            &KSNODETYPE_DEV_SPECIFIC /* overflow */};
  ASSERT_EQ(filter->NodeCount, ARRAYSIZE(expected));
  for (ULONG i = 0; i < ARRAYSIZE(expected); ++i) {
    EXPECT_EQ(*filter.node(i)->Node.Type, *expected[i]) << "node " << i << " is " << GuidTraceName(filter.node(i)->Node.Type);
    EXPECT_EQ(filter.node(i)->Node.AutomationTable != nullptr, i == 1 || i == 2) << "node " << i;
  }
  // All eight unit nodes sit between the streaming pin and the DAC, the last first.
  EXPECT_EQ(Ring(filter.pin(0)), (std::vector<Element>{Pin(0), Node(8), Node(7), Node(6), Node(5), Node(4), Node(3),
                                                       Node(2), Node(1), Node(0), Pin(1)}));
  EXPECT_EQ(filter->ConnectionCount, 10u);
}

TEST_F(FilterTopologyTest, Class1ProcessingUnitIsADeviceSpecificNodeWithoutConnections) {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x00)
      .AcHeader1({1})
      .InputTerminal1(0x01, 0x0101, 0, 2, 3)
      .ProcessingUnit1(0x05, 0x0002, {0x01}, 2, 0x0003, {0x01})
      .OutputTerminal1(0x03, 0x0301, 0, 0x01);
  // The parse refuses to drive a processing unit but keeps the entities it read.
  ASSERT_EQ(Parse(MakeSet(b.Build(), 0x1FA7, 0x4D02, false)), STATUS_NOT_IMPLEMENTED);
  ASSERT_NE(audio_->FindEntity(0x05), nullptr);
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
  ASSERT_EQ(filter->PinCount, 2u);
  // No streaming interface was found, so the streaming pin offers no ranges.
  EXPECT_EQ(filter.pin(0)->Pin.KsPinDescriptor.DataRangesCount, 0u);
  EXPECT_EQ(filter.pin(0)->Pin.KsPinDescriptor.DataRanges, nullptr);
  ASSERT_EQ(filter->NodeCount, 2u);
  const FilterElement* unit = filter.node(1);
  EXPECT_EQ(*unit->Node.Type, KSNODETYPE_DEV_SPECIFIC);
  EXPECT_EQ(unit->Entity, audio_->FindEntity(0x05));
  EXPECT_EQ(unit->Node.AutomationTable, nullptr);
  EXPECT_EQ(FilterChainNext(unit), nullptr);
  EXPECT_EQ(FilterChainPrevious(unit), nullptr);
  EXPECT_EQ(ConnectionsOf(*filter), (std::vector<Connection>{{F, 0, 0, 1}, {0, 0, F, 1}}));
}

TEST_F(FilterTopologyTest, LaterStreamingInputComesFirstAndBothOfferTheRenderRanges) {
  ConfigurationBuilder b = Uac2Header();
  b.InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .InputTerminal2(0x04, 0x0101, 0, 0x10, 2, 3)
      .OutputTerminal2(0x03, 0x0301, 0, 0x01, 0x10);
  AddStreaming2(b, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
  ASSERT_EQ(filter->PinCount, 3u);
  EXPECT_EQ(filter.pin(1)->Entity, audio_->FindEntity(0x04));
  EXPECT_EQ(filter.pin(0)->Pin.KsPinDescriptor.DataRanges, filter.pin(1)->Pin.KsPinDescriptor.DataRanges);
  EXPECT_EQ(filter.pin(1)->Pin.KsPinDescriptor.DataRangesCount, 1u);
  EXPECT_EQ(ConnectionsOf(*filter), (std::vector<Connection>{{F, 1, F, 0}, {F, 0, 0, 1}, {0, 0, F, 2}}));
}

TEST_F(FilterTopologyTest, UnitFedByTheLastElementOfAChainIsPlacedAfterIt) {
  ConfigurationBuilder b = Uac2Header();
  b.InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .OutputTerminal2(0x03, 0x0301, 0, 0x01, 0x10)
      .FeatureUnit2(0x06, 0x03, {0x03 /* mute */});
  AddStreaming2(b, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
  ASSERT_EQ(filter->NodeCount, 2u);
  EXPECT_EQ(ConnectionsOf(*filter), (std::vector<Connection>{{F, 0, 0, 1}, {0, 0, F, 1}, {F, 1, 1, 1}}));
  EXPECT_EQ(Ring(filter.pin(0)), (std::vector<Element>{Pin(0), Node(0), Pin(1), Node(1)}));
}

TEST_F(FilterTopologyTest, ConverterMovesOnToTheLastOfSeveralBridgePins) {
  // Line out and headphones behind one feature unit; line and microphone
  // inputs feeding one capture stream.
  ConfigurationBuilder b = Uac2Header();
  b.InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .FeatureUnit2(0x02, 0x01, {0x0F})
      .OutputTerminal2(0x03, 0x0603, 0, 0x02, 0x10)
      .OutputTerminal2(0x07, 0x0302, 0, 0x02, 0x10)
      .InputTerminal2(0x04, 0x0603, 0, 0x10, 2, 3)
      .InputTerminal2(0x08, 0x0201, 0, 0x10, 2, 3)
      .OutputTerminal2(0x05, 0x0101, 0, 0x04, 0x10);
  AddStreaming2(b, 1, 0x01, 0x01);
  AddStreaming2(b, 2, 0x05, 0x82);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
  // Pins: 0 render, 1 line out, 2 headphones, 3 line in, 4 microphone, 5 capture.
  // Nodes: 0 ADC, 1 DAC, 2 mute, 3 volume.
  ASSERT_EQ(filter->PinCount, 6u);
  ASSERT_EQ(filter->NodeCount, 4u);
  EXPECT_EQ(Ring(filter.pin(4)), (std::vector<Element>{Pin(4), Node(0), Pin(3), Pin(5)}));
  EXPECT_EQ(Ring(filter.pin(0)), (std::vector<Element>{Pin(0), Node(3), Node(2), Pin(1), Node(1), Pin(2)}));
  EXPECT_EQ(ConnectionsOf(*filter), (std::vector<Connection>{
                                        {F, 4, 0, 1},
                                        {0, 0, F, 3},
                                        {F, 3, F, 5},
                                        {F, 0, 3, 1},
                                        {3, 0, 2, 1},
                                        {2, 0, F, 1},
                                        {F, 1, 1, 1},
                                        {1, 0, F, 2},
                                    }));
}

TEST_F(FilterTopologyTest, HostileSourceLinksLeaveNodesUnplacedAndTheWalkFinite) {
  // A feature unit fed by itself, and two units feeding each other.
  ConfigurationBuilder b = Uac2Header();
  b.InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .FeatureUnit2(0x02, 0x02, {0x0F})
      .FeatureUnit2(0x06, 0x09, {0x03})
      .FeatureUnit2(0x09, 0x06, {0x0C})
      .OutputTerminal2(0x03, 0x0301, 0, 0x02, 0x10);
  AddStreaming2(b, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  {
    BuiltFilter filter(*audio_);
    ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
    ASSERT_EQ(filter->NodeCount, 5u);  // DAC, mute + volume of unit 2, mute of 6, volume of 9
    for (ULONG id = 1; id < 5; ++id) {
      EXPECT_EQ(FilterChainNext(filter.node(id)), nullptr) << "node " << id;
    }
    EXPECT_EQ(ConnectionsOf(*filter), (std::vector<Connection>{{F, 0, 0, 1}, {0, 0, F, 1}}));
  }

  // A unit that shares its ID with the terminal it names as source: both of
  // its nodes follow that terminal, the later one first.
  ConfigurationBuilder same = Uac2Header();
  same.InputTerminal2(0x02, 0x0101, 0, 0x10, 2, 3)
      .FeatureUnit2(0x02, 0x02, {0x0F})
      .OutputTerminal2(0x03, 0x0301, 0, 0x02, 0x10);
  AddStreaming2(same, 1, 0x02, 0x01);
  ASSERT_EQ(Parse(same.Build()), STATUS_SUCCESS);
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
  EXPECT_EQ(Ring(filter.pin(0)), (std::vector<Element>{Pin(0), Node(2), Node(1), Node(0), Pin(1)}));
}

TEST_F(FilterTopologyTest, FunctionWithoutTerminalsGivesAnEmptyFilter) {
  ConfigurationBuilder b = Uac2Header();
  b.FeatureUnit2(0x02, 0x10, {0x03});
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
  EXPECT_EQ(filter->PinCount, 0u);
  EXPECT_EQ(filter->Pins, nullptr);
  // The unit still has its node, fed by the clock, which is on no chain.
  ASSERT_EQ(filter->NodeCount, 1u);
  EXPECT_EQ(FilterChainNext(filter.node(0)), nullptr);
  EXPECT_EQ(filter->ConnectionCount, 0u);
  EXPECT_EQ(filter->Connections, nullptr);
  EXPECT_NE(filter->AutomationTable, nullptr);
}

TEST_F(FilterTopologyTest, AllocationFailureFreesEverythingAndLeavesNoArrays) {
  ASSERT_EQ(Parse(ProfileSet("default")), STATUS_SUCCESS);
  const size_t before = platform::OutstandingPoolAllocations(POOLTAG_USB);
  // The pin, node and connection arrays are allocated in that order.
  for (long failing = 0; failing < 3; ++failing) {
    SCOPED_TRACE("failing allocation " + std::to_string(failing));
    platform::FailPoolAllocation(POOLTAG_USB, failing);
    PCFILTER_DESCRIPTOR filter;
    RtlFillMemory(&filter, sizeof(filter), 0xA5);
    EXPECT_EQ(audio_->BuildFilter(&filter), STATUS_INSUFFICIENT_RESOURCES);
    platform::ResetFaultInjection();
    EXPECT_EQ(filter.Pins, nullptr);
    EXPECT_EQ(filter.Nodes, nullptr);
    EXPECT_EQ(filter.Connections, nullptr);
    EXPECT_EQ(filter.PinCount + filter.NodeCount + filter.ConnectionCount, 0u);
    EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_USB), before);
  }
  BuiltFilter filter(*audio_);
  ASSERT_EQ(filter.Build(), STATUS_SUCCESS);
  EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_USB), before + 3);
  audio_->FreeFilter(filter.get());
  EXPECT_EQ(filter->Pins, nullptr);
  EXPECT_EQ(filter->Nodes, nullptr);
  EXPECT_EQ(filter->Connections, nullptr);
  EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_USB), before);
}

}  // namespace
}  // namespace drivertest
