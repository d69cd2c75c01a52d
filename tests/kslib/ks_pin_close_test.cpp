// Closing a pin that stays with its filter, and the quick SET requests a
// once-per-buffer-switch caller sends without allocating.
#include <gtest/gtest.h>

#include <cstring>

#include "kslib/ks_audio_filter.h"
#include "kslib/ks_audio_pin.h"
#include "kslib/ks_ids.h"
#include "tests/kslib/kslib_fixture.h"
#include "tests/kslib/request_recorder.h"

namespace {

using namespace kslibtest;

class KsPinCloseTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    sim::SimulatedMachine* machine = Plug("default");
    path_ = UserPath(machine);
    ASSERT_FALSE(path_.empty());
    FilterReplies(path_, recorder_.Filter());
    const std::vector<WCHAR> path = Wide(path_);
    HRESULT hr = E_FAIL;
    filter_ = std::make_unique<CKsAudFilter>(path.data(), &hr);
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(filter_->OpenDevice(), S_OK);
    ASSERT_EQ(filter_->LoadPins(), S_OK);
  }
  void TearDown() override {
    filter_.reset();
    MachineTest::TearDown();
  }

  // The state values sent to pins, in order.
  std::vector<ULONG> StatesSent() {
    std::vector<ULONG> out;
    for (const RecordedRequest& r : recorder_.Requests()) {
      if (!r.isPin || !SameSet(r, kslib::kPropSetConnection) || r.id != kslib::kConnectionState ||
          r.flags != kslib::kPropertySet || r.output.size() < 4) {
        continue;
      }
      ULONG v = 0;
      std::memcpy(&v, r.output.data(), 4);
      out.push_back(v);
    }
    return out;
  }

  std::u16string path_;
  RequestRecorder recorder_;
  std::unique_ptr<CKsAudFilter> filter_;
};

TEST_F(KsPinCloseTest, ClosePinStopsThenClosesAndThePinCanBeConnectedAgain) {
  const WAVEFORMATEX format = Pcm(2, 32, 48000);
  CKsAudPin* pin = filter_->OpenRenderPinFor(&format);
  ASSERT_NE(pin, nullptr);
  ASSERT_EQ(pin->ChangeState(KSSTATE_ACQUIRE), S_OK);
  ASSERT_EQ(pin->ChangeState(KSSTATE_RUN), S_OK);
  recorder_.Clear();
  EXPECT_EQ(pin->ClosePin(), S_OK);
  EXPECT_EQ(StatesSent(), std::vector<ULONG>{KSSTATE_STOP});
  EXPECT_FALSE(pin->IsOpen());
  EXPECT_EQ(pin->State(), KSSTATE_STOP);
  // Still the filter's pin, and it opens again.
  EXPECT_EQ(filter_->RenderSinkPins().First(), pin);
  recorder_.Clear();
  EXPECT_EQ(pin->ClosePin(), S_OK) << "a closed pin";
  EXPECT_TRUE(recorder_.Requests().empty()) << "nothing is sent for a closed pin";
  EXPECT_EQ(filter_->OpenRenderPinFor(&format), pin);
  EXPECT_TRUE(pin->IsOpen());
  ASSERT_EQ(pin->ChangeState(KSSTATE_ACQUIRE), S_OK);
  KSSTATE read = KSSTATE_STOP;
  ASSERT_EQ(pin->ReadState(&read), S_OK);
  EXPECT_EQ(read, KSSTATE_ACQUIRE);
}

TEST_F(KsPinCloseTest, QuickRequestsAllocateNothingAndWaitOnThePinsOwnEvent) {
  const WAVEFORMATEX format = Pcm(2, 32, 48000);
  CKsAudPin* pin = filter_->OpenRenderPinFor(&format);
  ASSERT_NE(pin, nullptr);
  ULONG state = KSSTATE_ACQUIRE;
  EXPECT_EQ(pin->ApplyQuickValue(kslib::kPropSetConnection, kslib::kConnectionState, &state, sizeof(state)), E_FAIL)
      << "not prepared";
  ASSERT_EQ(pin->PrepareQuickRequests(), S_OK);

  // The first completes through a pended completion (the caller waits on
  // the kept event), the others at once.
  bool pendNext = true;
  recorder_.rewrite = [&pendNext](platform::win32::KsPropertyReply& reply, const RecordedRequest&) {
    reply.pend = pendNext;
    pendNext = false;
  };
  recorder_.Clear();
  const unsigned long before = kslib::testing::AllocationCount();
  for (ULONG s : {ULONG{KSSTATE_ACQUIRE}, ULONG{KSSTATE_PAUSE}, ULONG{KSSTATE_RUN}}) {
    state = s;
    EXPECT_EQ(pin->ApplyQuickValue(kslib::kPropSetConnection, kslib::kConnectionState, &state, sizeof(state)), S_OK);
    KSSTATE read = KSSTATE_STOP;
    ASSERT_EQ(pin->ReadState(&read), S_OK);
    EXPECT_EQ(read, static_cast<KSSTATE>(s));
  }
  EXPECT_EQ(kslib::testing::AllocationCount() - before, 3u) << "only the three ReadState requests allocate";
  recorder_.rewrite = nullptr;
  // The request is a bare KSPROPERTY SET.
  bool sawQuick = false;
  for (const RecordedRequest& r : recorder_.Requests()) {
    if (r.flags == kslib::kPropertySet && r.id == kslib::kConnectionState) {
      EXPECT_EQ(r.requestLength, sizeof(KSPROPERTY));
      sawQuick = true;
    }
  }
  EXPECT_TRUE(sawQuick);
  // A failure reaches the caller.
  recorder_.rewrite = [](platform::win32::KsPropertyReply& reply, const RecordedRequest&) {
    reply.status = STATUS_UNSUCCESSFUL;
  };
  EXPECT_EQ(pin->ApplyQuickValue(kslib::kPropSetConnection, kslib::kConnectionState, &state, sizeof(state)), E_FAIL);
  recorder_.rewrite = nullptr;

  EXPECT_EQ(pin->ClosePin(), S_OK);
  EXPECT_EQ(pin->ApplyQuickValue(kslib::kPropSetConnection, kslib::kConnectionState, &state, sizeof(state)), E_FAIL)
      << "closed: no handle and no event";
}

}  // namespace
