// How the wrappers frame their property requests and complete them, seen
// from the kernel's side on the real driver: KSP_PIN and KSPROPERTY blocks,
// flags, the two-step list queries, the nine description requests, size
// queries, and requests the kernel completes later (pended).
#include <gtest/gtest.h>

#include <cstring>

#include "kslib/ks_audio_filter.h"
#include "kslib/ks_audio_pin.h"
#include "kslib/ks_ids.h"
#include "tests/kslib/kslib_fixture.h"
#include "tests/kslib/request_recorder.h"

namespace {

using namespace kslibtest;
using kslib::kPropSetPin;

class KsRequestTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    machine_ = Plug("default");
    path_ = UserPath(machine_);
    ASSERT_FALSE(path_.empty());
    FilterReplies(path_, recorder_.Filter());
  }

  std::unique_ptr<CKsAudFilter> OpenFilter() {
    const std::vector<WCHAR> path = Wide(path_);
    HRESULT hr = E_FAIL;
    auto filter = std::make_unique<CKsAudFilter>(path.data(), &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(filter->OpenDevice(), S_OK);
    return filter;
  }

  sim::SimulatedMachine* machine_ = nullptr;
  std::u16string path_;
  RequestRecorder recorder_;
};

TEST_F(KsRequestTest, PinDescriptionIsNineKsPinGetsInOrderWithListsInTwoSteps) {
  auto filter = OpenFilter();
  ASSERT_EQ(filter->LoadPins(), S_OK);
  const std::vector<RecordedRequest> all = recorder_.Requests();
  ASSERT_FALSE(all.empty());
  // Every filter request is a 32-byte KSP_PIN GET of the Pin set, reserved 0.
  for (const RecordedRequest& r : all) {
    EXPECT_TRUE(SameSet(r, kPropSetPin));
    EXPECT_EQ(r.requestLength, 32u);
    EXPECT_EQ(r.flags, 0x1u);
    EXPECT_EQ(r.Reserved(), 0u);
    EXPECT_FALSE(r.isPin);
  }
  EXPECT_EQ(all[0].id, kslib::kPinCTypes);
  EXPECT_EQ(all[0].PinId(), 0u);
  EXPECT_EQ(all[0].outputLength, 4u);

  // Pin 0 (render): the communication and data-flow tests, then its description.
  struct Step {
    ULONG id;
    ULONG outputLength;  // kNonZero: the list's full size
  };
  const ULONG kList = 0xFFFFFFFF;
  const Step expected[] = {{7, 4}, {2, 4},  {7, 4},  {5, 0}, {5, kList}, {6, 0},  {6, kList},
                           {3, 0}, {3, kList}, {2, 4}, {0, 8}, {8, 8},    {11, 16}, {12, 519}};
  std::vector<RecordedRequest> pin0;
  for (const RecordedRequest& r : all) {
    if (r.id != kslib::kPinCTypes && r.PinId() == 0) pin0.push_back(r);
  }
  ASSERT_GE(pin0.size(), sizeof(expected) / sizeof(expected[0]));
  for (size_t i = 0; i < sizeof(expected) / sizeof(expected[0]); ++i) {
    EXPECT_EQ(pin0[i].id, expected[i].id) << "request " << i;
    if (expected[i].outputLength == kList) {
      EXPECT_GT(pin0[i].outputLength, sizeof(KSMULTIPLE_ITEM)) << "request " << i;
    } else {
      EXPECT_EQ(pin0[i].outputLength, expected[i].outputLength) << "request " << i;
    }
  }
  // The pins' descriptions as the driver gave them.
  CKsPin* render = filter->RenderSinkPins().First();
  ASSERT_NE(render, nullptr);
  const KsPinDescription& d = render->Description();
  EXPECT_EQ(d.dataFlow, kslib::kDataFlowIn);
  EXPECT_EQ(d.communication, kslib::kCommunicationSink);
  ASSERT_GE(d.interfaceCount, 1u);
  EXPECT_TRUE(kslib::SameGuid(d.interfaces[0].Set, kslib::kInterfaceSetStandard));
  ASSERT_GE(d.mediumCount, 1u);
  EXPECT_TRUE(kslib::SameGuid(d.mediums[0].Set, kslib::kMediumSetStandard));
  EXPECT_GE(d.dataRangeCount, 1u);
  EXPECT_GE(d.instances.PossibleCount, 1u);
  EXPECT_FALSE(kslib::IsNullGuid(render->Category()));
}

TEST_F(KsRequestTest, ValueRequestsAreTheKsPropertyFollowedByTheExtraInput) {
  auto filter = OpenFilter();
  recorder_.Clear();
  // A KSP_PIN made by hand: KSPROPERTY GET + pin id + reserved as extra input.
  const ULONG extra[2] = {3, 0};
  ULONG flow = 0;
  DWORD bytes = 0;
  ASSERT_EQ(filter->QueryValue(kPropSetPin, kslib::kPinDataFlow, &flow, sizeof flow, extra, sizeof extra, &bytes),
            S_OK);
  EXPECT_EQ(bytes, 4u);
  EXPECT_EQ(flow, kslib::kDataFlowOut);  // pin 3 is the capture pin
  std::vector<RecordedRequest> r = recorder_.Requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].requestLength, 32u);
  EXPECT_EQ(r[0].flags, 0x1u);
  EXPECT_EQ(r[0].id, 2u);
  EXPECT_EQ(r[0].PinId(), 3u);

  // SET: flags 2, the value is the request's output buffer.
  recorder_.Clear();
  ULONG value = 0x12345678;
  EXPECT_EQ(filter->ApplyValue(kslib::kPropSetConnection, kslib::kConnectionState, &value, sizeof value), E_FAIL);
  r = recorder_.Requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].requestLength, 24u);
  EXPECT_EQ(r[0].flags, 0x2u);
  EXPECT_TRUE(SameSet(r[0], kslib::kPropSetConnection));
  ASSERT_EQ(r[0].outputLength, 4u);
  ULONG sent = 0;
  std::memcpy(&sent, r[0].output.data(), 4);
  EXPECT_EQ(sent, 0x12345678u);
}

TEST_F(KsRequestTest, SizeQueryAnsweredMoreDataSucceedsOnlyWithoutAnOutputBuffer) {
  auto filter = OpenFilter();
  KSP_PIN request{};
  request.Property.Set = kPropSetPin;
  request.Property.Id = kslib::kPinDataRanges;
  request.Property.Flags = kslib::kPropertyGet;
  request.PinId = 0;
  DWORD needed = 0;
  ASSERT_EQ(filter->IssueIoctl(kslib::kIoctlKsProperty, &request, sizeof request, nullptr, 0, &needed), S_OK);
  EXPECT_EQ(needed, sizeof(KSMULTIPLE_ITEM) + 3 * sizeof(KSDATARANGE_AUDIO));
  BYTE small[8] = {};
  DWORD bytes = 1234;
  EXPECT_EQ(filter->IssueIoctl(kslib::kIoctlKsProperty, &request, sizeof request, small, 4, &bytes), E_FAIL);
  EXPECT_EQ(bytes, 0u);
  // The full reply, its byte count as reported.
  std::vector<BYTE> reply(needed);
  ASSERT_EQ(filter->IssueIoctl(kslib::kIoctlKsProperty, &request, sizeof request, reply.data(), needed, &bytes), S_OK);
  EXPECT_EQ(bytes, needed);
  // Not a KS property request: "more data" is a failure even as a size query.
  recorder_.Clear();
  EXPECT_EQ(filter->IssueIoctl(0x002F0007, &request, sizeof request, nullptr, 0, &bytes), E_FAIL);
}

// The kernel completing every request later, through the OVERLAPPED.
class PendedRequestTest : public KsRequestTest {
 protected:
  void SetUp() override {
    recorder_.rewrite = [this](platform::win32::KsPropertyReply& reply, const RecordedRequest& r) {
      reply.pend = true;
      if (failCTypes_ && r.id == kslib::kPinCTypes) reply.status = STATUS_UNSUCCESSFUL;
    };
    KsRequestTest::SetUp();
  }
  bool failCTypes_ = false;
};

TEST_F(PendedRequestTest, PendedRepliesGiveTheirRealByteCounts) {
  // With the byte count of a pended request reported as 0, the 4-byte pin
  // values and the list sizes would be empty and no pin would load.
  auto filter = OpenFilter();
  ASSERT_EQ(filter->LoadPins(), S_OK);
  EXPECT_EQ(filter->RenderSinkPins().Count(), 1u);
  EXPECT_EQ(filter->CaptureSinkPins().Count(), 1u);
  CKsAudPin* render = static_cast<CKsAudPin*>(filter->RenderSinkPins().First());
  EXPECT_EQ(render->AudioRanges().Count(), 3u);
  ULONG count = 0;
  DWORD bytes = 0;
  ASSERT_EQ(filter->QueryPinValue(0, kslib::kPinCTypes, &count, sizeof count, &bytes), S_OK);
  EXPECT_EQ(bytes, 4u);
  EXPECT_GE(count, 4u);
}

TEST_F(PendedRequestTest, APendedRequestTheKernelFailedIsAFailure) {
  failCTypes_ = true;
  auto filter = OpenFilter();
  ULONG count = 0;
  DWORD bytes = 99;
  EXPECT_EQ(filter->QueryPinValue(0, kslib::kPinCTypes, &count, sizeof count, &bytes), E_FAIL);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(filter->LoadPins(), E_FAIL);
  EXPECT_EQ(filter->Pins().Count(), 0u);
}

TEST_F(KsRequestTest, AByteCountBeyondTheOutputBufferIsCutToTheBuffer) {
  recorder_.rewrite = [](platform::win32::KsPropertyReply& reply, const RecordedRequest& r) {
    if (r.id == kslib::kPinCTypes) reply.information = 4096;
  };
  auto filter = OpenFilter();
  ULONG count = 0;
  DWORD bytes = 0;
  ASSERT_EQ(filter->QueryPinValue(0, kslib::kPinCTypes, &count, sizeof count, &bytes), S_OK);
  EXPECT_EQ(bytes, 4u);
}

}  // namespace
