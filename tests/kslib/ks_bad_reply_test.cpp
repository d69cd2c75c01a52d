// A kernel that answers anything: replies shorter than their header, counts
// and format sizes pointing past the reply, absurd pin counts, names
// without a terminator. The wrappers never read outside a reply and never
// loop without bound; they fail the one pin or range and go on.
#include <gtest/gtest.h>

#include <cstring>

#include "kslib/ks_audio_filter.h"
#include "kslib/ks_audio_pin.h"
#include "kslib/ks_ids.h"
#include "platform/win32/debug_output.h"
#include "tests/kslib/kslib_fixture.h"
#include "tests/kslib/request_recorder.h"

namespace {

using namespace kslibtest;
using Reply = platform::win32::KsPropertyReply;

class BadReplyTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    machine_ = Plug("default");
    path_ = UserPath(machine_);
    ASSERT_FALSE(path_.empty());
    FilterReplies(path_, recorder_.Filter());
  }

  // Rewrites the filter's replies to one pin query (full replies only, or
  // the size query when `sizeQuery`).
  void Rewrite(ULONG property, ULONG pin, std::function<void(Reply&)> change, bool sizeQuery = false) {
    recorder_.rewrite = [=](Reply& reply, const RecordedRequest& r) {
      if (r.isPin || !IsPinQuery(r, kslib::kPropSetPin, property, pin)) return;
      if ((reply.outputLength == 0) != sizeQuery) return;
      change(reply);
    };
  }

  std::unique_ptr<CKsAudFilter> Load(HRESULT expected) {
    const std::vector<WCHAR> path = Wide(path_);
    HRESULT hr = E_FAIL;
    auto filter = std::make_unique<CKsAudFilter>(path.data(), &hr);
    EXPECT_EQ(filter->OpenDevice(), S_OK);
    EXPECT_EQ(filter->LoadPins(), expected);
    return filter;
  }

  static void PutUlong(Reply& reply, size_t offset, ULONG value) {
    if (offset + 4 <= reply.outputLength) std::memcpy(static_cast<BYTE*>(reply.output) + offset, &value, 4);
  }

  sim::SimulatedMachine* machine_ = nullptr;
  std::u16string path_;
  RequestRecorder recorder_;
};

TEST_F(BadReplyTest, APinCountAbove256IsRefusedAndTraced) {
  platform::win32::DebugOutputCapture debugger(process_);
  Rewrite(kslib::kPinCTypes, 0, [](Reply& r) { PutUlong(r, 0, 257); });
  auto filter = Load(E_FAIL);
  ASSERT_EQ(filter->Pins().Count(), 0u);  // (not going on to four billion requests)
  EXPECT_NE(debugger.Text().find("pin count refused"), std::string::npos) << debugger.Text();
  // 0xFFFFFFFF: one request, not four billion.
  recorder_.Clear();
  Rewrite(kslib::kPinCTypes, 0, [](Reply& r) { PutUlong(r, 0, 0xFFFFFFFF); });
  EXPECT_EQ(filter->LoadPins(), E_FAIL);
  EXPECT_EQ(recorder_.Requests().size(), 1u);
  // The plain filter has the same bound.
  {
    const std::vector<WCHAR> path = Wide(path_);
    HRESULT hr = E_FAIL;
    CKsFilter plain(path.data(), &hr);
    ASSERT_EQ(plain.OpenDevice(), S_OK);
    recorder_.Clear();
    EXPECT_EQ(plain.LoadPins(), E_FAIL);
    EXPECT_EQ(plain.Pins().Count(), 0u);
    EXPECT_EQ(recorder_.Requests().size(), 1u);
  }
  // 256 pins are tried (all but the driver's own fail) and the real ones load.
  recorder_.Clear();
  Rewrite(kslib::kPinCTypes, 0, [](Reply& r) { PutUlong(r, 0, 256); });
  EXPECT_EQ(filter->LoadPins(), S_OK);
  EXPECT_EQ(filter->Pins().Count(), 2u);
}

TEST_F(BadReplyTest, PinValuesOfTheWrongSizeSkipThePin) {
  Rewrite(kslib::kPinCTypes, 0, [](Reply& r) { r.information = 0; });
  auto filter = Load(E_FAIL);
  EXPECT_EQ(filter->Pins().Count(), 0u);
  Rewrite(kslib::kPinDataFlow, 0, [](Reply& r) { r.information = 2; });
  EXPECT_EQ(filter->LoadPins(), S_OK);
  EXPECT_EQ(filter->RenderSinkPins().Count(), 0u);
  EXPECT_EQ(filter->CaptureSinkPins().Count(), 1u);
}

TEST_F(BadReplyTest, ListRepliesShorterThanTheirHeaderOrSizeFailTheRequest) {
  struct Case {
    const char* what;
    bool sizeQuery;
    std::function<void(Reply&)> change;
  };
  const Case cases[] = {
      {"size query of 4 bytes", true, [](Reply& r) { r.information = 4; }},
      {"size query of 4 GB", true, [](Reply& r) { r.information = 0xFFFFFFFF; }},
      {"reply of 4 bytes", false, [](Reply& r) { r.information = 4; }},
      {"header size past the reply", false, [](Reply& r) { PutUlong(r, 0, r.outputLength + 8); }},
      {"header size below the header", false, [](Reply& r) { PutUlong(r, 0, 4); }},
  };
  for (const Case& c : cases) {
    // Data ranges of the render pin: the pin has no acceptable range and is dropped.
    Rewrite(kslib::kPinDataRanges, 0, c.change, c.sizeQuery);
    auto filter = Load(S_OK);
    EXPECT_EQ(filter->RenderSinkPins().Count(), 0u) << c.what;
    EXPECT_EQ(filter->CaptureSinkPins().Count(), 1u) << c.what;
  }
}

TEST_F(BadReplyTest, ItemCountsPastTheReply) {
  // Interfaces: the list is refused, so the pin lacks the standard interface.
  Rewrite(kslib::kPinInterfaces, 0, [](Reply& r) { PutUlong(r, 4, 1000); });
  {
    auto filter = Load(S_OK);
    EXPECT_EQ(filter->RenderSinkPins().Count(), 0u);
    EXPECT_EQ(filter->CaptureSinkPins().Count(), 1u);
  }
  Rewrite(kslib::kPinMediums, 3, [](Reply& r) { PutUlong(r, 4, 0x10000000); });
  {
    auto filter = Load(S_OK);
    EXPECT_EQ(filter->RenderSinkPins().Count(), 1u);
    EXPECT_EQ(filter->CaptureSinkPins().Count(), 0u);
  }
  // Data ranges: the ranges that lie inside the reply are kept.
  Rewrite(kslib::kPinDataRanges, 0, [](Reply& r) { PutUlong(r, 4, 1000); });
  auto filter = Load(S_OK);
  ASSERT_EQ(filter->RenderSinkPins().Count(), 1u);
  CKsPin* render = filter->RenderSinkPins().First();
  EXPECT_EQ(render->Description().dataRangeCount, 3u);
  EXPECT_EQ(static_cast<CKsAudPin*>(render)->AudioRanges().Count(), 3u);
}

TEST_F(BadReplyTest, DataRangesWithImpossibleFormatSizes) {
  const ULONG first = sizeof(KSMULTIPLE_ITEM);
  const ULONG second = first + sizeof(KSDATARANGE_AUDIO);
  struct Case {
    const char* what;
    ULONG offset;
    ULONG formatSize;
    ULONG rangesLeft;  // ranges the render pin keeps; 0: the pin is dropped
  };
  const Case cases[] = {
      {"first range of size 0", first, 0, 0},
      {"first range shorter than a KSDATARANGE", first, 63, 0},
      {"first range past the reply", first, 0x7FFFFFFF, 0},
      {"second range of size 0", second, 0, 1},
      {"second range past the reply", second, 4 * sizeof(KSDATARANGE_AUDIO), 1},
  };
  for (const Case& c : cases) {
    Rewrite(kslib::kPinDataRanges, 0, [c](Reply& r) { PutUlong(r, c.offset, c.formatSize); });
    auto filter = Load(S_OK);
    ASSERT_EQ(filter->RenderSinkPins().Count(), c.rangesLeft == 0 ? 0u : 1u) << c.what;
    if (c.rangesLeft != 0) {
      auto* pin = static_cast<CKsAudPin*>(filter->RenderSinkPins().First());
      EXPECT_EQ(pin->AudioRanges().Count(), c.rangesLeft) << c.what;
    }
  }
  // A first range too short for the audio limits is passed but not
  // collected; the next one would start inside it and is no range.
  Rewrite(kslib::kPinDataRanges, 0, [first](Reply& r) { PutUlong(r, first, 64); });
  auto filter = Load(S_OK);
  ASSERT_EQ(filter->RenderSinkPins().Count(), 1u);
  EXPECT_EQ(filter->RenderSinkPins().First()->Description().dataRangeCount, 1u);
  EXPECT_EQ(static_cast<CKsAudPin*>(filter->RenderSinkPins().First())->AudioRanges().Count(), 0u);
}

TEST_F(BadReplyTest, APinNameWithoutTerminatorIsCutAtTheField) {
  Rewrite(kslib::kPinName, 0, [](Reply& r) {
    std::memset(r.output, 0x41, r.outputLength);
    r.status = STATUS_SUCCESS;
    r.information = r.outputLength;
  });
  auto filter = Load(S_OK);
  ASSERT_EQ(filter->RenderSinkPins().Count(), 1u);
  const std::u16string name = Text(filter->RenderSinkPins().First()->Name());
  EXPECT_EQ(name.size(), 259u);
  EXPECT_EQ(name[0], u'\x4141');
}

TEST_F(BadReplyTest, ANodeCountPastTheReplyLoadsNoNodes) {
  recorder_.rewrite = [](Reply& reply, const RecordedRequest& r) {
    if (SameSet(r, kslib::kPropSetTopology) && reply.outputLength != 0 && reply.outputLength >= 8) {
      const ULONG count = 0x0FFFFFFF;
      std::memcpy(static_cast<BYTE*>(reply.output) + 4, &count, 4);
    }
  };
  const std::vector<WCHAR> path = Wide(path_);
  HRESULT hr = E_FAIL;
  CKsFilter filter(path.data(), &hr);
  ASSERT_EQ(filter.OpenDevice(), S_OK);
  EXPECT_EQ(filter.LoadNodes(), E_FAIL);
  EXPECT_EQ(filter.Nodes().Count(), 0u);
}

TEST_F(BadReplyTest, OutOfMemoryWhileLoadingPins) {
  // Count the allocations a clean load makes, then fail each in turn: every
  // failure gives a defined result and leaves consistent lists.
  auto filter = Load(S_OK);
  const unsigned long before = kslib::testing::AllocationCount();
  ASSERT_EQ(filter->LoadPins(), S_OK);
  const unsigned long total = kslib::testing::AllocationCount() - before;
  ASSERT_GT(total, 10u);
  for (unsigned n = 1; n <= total; ++n) {
    kslib::testing::FailNthAllocation(n);
    const HRESULT hr = filter->LoadPins();
    kslib::testing::FailNthAllocation(0);
    EXPECT_TRUE(hr == S_OK || hr == E_FAIL || hr == E_OUTOFMEMORY) << n;
    // Role lists only ever hold pins of the pin list.
    for (CKsPin* pin : filter->RenderSinkPins()) {
      bool found = false;
      for (CKsPin* p : filter->Pins()) found = found || p == pin;
      EXPECT_TRUE(found) << n;
    }
    if (hr == E_OUTOFMEMORY) {
      EXPECT_LE(filter->Pins().Count(), 2u) << n;
    }
  }
}

}  // namespace
