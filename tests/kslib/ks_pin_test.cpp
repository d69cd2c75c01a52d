// Pins of the driver's "Wave" filter through the wrappers: role lists,
// opening a pin for a wave format with the run-time KsCreatePin, state
// changes, the format change of an open pin, and the stop before close.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "kslib/ks_audio_filter.h"
#include "kslib/ks_audio_pin.h"
#include "kslib/ks_ids.h"
#include "platform/win32/win32_internal.h"
#include "tests/kslib/kslib_fixture.h"
#include "tests/kslib/request_recorder.h"

namespace {

using namespace kslibtest;

// A "ksuser.dll" that records the connect buffers it is given and creates
// the pin as the real one does.
std::mutex connectLock;
std::vector<std::vector<BYTE>> connectBuffers;

DWORD WINAPI RecordingKsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
  {
    std::lock_guard<std::mutex> lock(connectLock);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(connect);
    const KSDATAFORMAT* format = reinterpret_cast<const KSDATAFORMAT*>(connect + 1);
    connectBuffers.emplace_back(bytes, bytes + sizeof(KSPIN_CONNECT) + format->FormatSize);
  }
  EXPECT_EQ(access, static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE));
  return platform::win32::detail::KsUserCreatePin(filter, connect, access, pin);
}

class KsPinTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    {
      std::lock_guard<std::mutex> lock(connectLock);
      connectBuffers.clear();
    }
    machine_ = Plug("default");
    path_ = UserPath(machine_);
    ASSERT_FALSE(path_.empty());
    FilterReplies(path_, recorder_.Filter());
  }

  template <class Filter = CKsAudFilter>
  std::unique_ptr<Filter> LoadFilter(HRESULT expectedLoad = S_OK) {
    const std::vector<WCHAR> path = Wide(path_);
    HRESULT hr = E_FAIL;
    auto filter = std::make_unique<Filter>(path.data(), &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(filter->OpenDevice(), S_OK);
    EXPECT_EQ(filter->LoadPins(), expectedLoad);
    return filter;
  }

  void UseRecordingKsUser() {
    platform::win32::RegisterModule(
        "ksuser.dll", {{"KsCreatePin", reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&RecordingKsCreatePin))}});
  }

  // Pin requests of the state property, in order: (flags, value).
  std::vector<std::pair<ULONG, ULONG>> PinStateRequests() {
    std::vector<std::pair<ULONG, ULONG>> out;
    for (const RecordedRequest& r : recorder_.Requests()) {
      if (!r.isPin || !SameSet(r, kslib::kPropSetConnection) || r.id != kslib::kConnectionState) continue;
      ULONG value = 0xFFFFFFFF;
      if (r.output.size() >= 4) std::memcpy(&value, r.output.data(), 4);
      out.emplace_back(r.flags, value);
    }
    return out;
  }

  // Rewrites the communication pins report (every pin, or one).
  void ReportCommunication(ULONG communication, ULONG onlyPin = 0xFFFFFFFF) {
    recorder_.rewrite = [communication, onlyPin](platform::win32::KsPropertyReply& reply, const RecordedRequest& r) {
      if (!r.isPin && r.id == kslib::kPinCommunication && SameSet(r, kslib::kPropSetPin) && reply.outputLength == 4 &&
          (onlyPin == 0xFFFFFFFF || r.PinId() == onlyPin)) {
        std::memcpy(reply.output, &communication, 4);
      }
    };
  }

  sim::SimulatedMachine* machine_ = nullptr;
  std::u16string path_;
  RequestRecorder recorder_;
};

TEST_F(KsPinTest, AudioFilterSortsTheRenderAndCapturePinsAndSkipsTheBridgePins) {
  auto filter = LoadFilter();
  ASSERT_EQ(filter->RenderSinkPins().Count(), 1u);
  ASSERT_EQ(filter->CaptureSinkPins().Count(), 1u);
  EXPECT_EQ(filter->OutSourcePins().Count(), 0u);
  EXPECT_EQ(filter->InSourcePins().Count(), 0u);
  EXPECT_EQ(filter->NoCommunicationPins().Count(), 0u);
  EXPECT_EQ(filter->Pins().Count(), 2u);
  CKsPin* render = filter->RenderSinkPins().First();
  CKsPin* capture = filter->CaptureSinkPins().First();
  EXPECT_EQ(render->Role(), 1u);
  EXPECT_EQ(capture->Role(), 2u);
  EXPECT_EQ(render->Filter(), filter.get());
  EXPECT_EQ(render->State(), KSSTATE_STOP);
  EXPECT_FALSE(render->IsOpen());
  EXPECT_EQ(static_cast<CKsAudPin*>(render)->AudioRanges().Count(), 3u);
  EXPECT_EQ(static_cast<CKsAudPin*>(capture)->AudioRanges().Count(), 2u);
}

TEST_F(KsPinTest, PlainFilterKeepsEveryPinAndLoadsTheNodes) {
  auto filter = LoadFilter<CKsFilter>();
  ULONG count = 0;
  ASSERT_EQ(filter->QueryPinValue(0, kslib::kPinCTypes, &count, sizeof count), S_OK);
  EXPECT_EQ(filter->Pins().Count(), count);
  EXPECT_EQ(filter->RenderSinkPins().Count(), 1u);
  EXPECT_EQ(filter->CaptureSinkPins().Count(), 1u);
  EXPECT_EQ(filter->NoCommunicationPins().Count() + filter->RenderSinkPins().Count() +
                filter->CaptureSinkPins().Count(),
            count);
  ULONG id = 0;
  for (CKsPin* pin : filter->Pins()) EXPECT_EQ(pin->PinId(), id++);  // pin list in id order
  ASSERT_EQ(filter->LoadNodes(), S_OK);
  ASSERT_GT(filter->Nodes().Count(), 0u);
  ULONG index = 0;
  for (NodeRecord* node : filter->Nodes()) {
    EXPECT_EQ(node->id, index++);
    EXPECT_EQ(std::memcmp(node->tag, "NONE", 4), 0);
    EXPECT_FALSE(kslib::IsNullGuid(node->type));
  }
  // A second load replaces the lists instead of adding to them.
  const ULONG nodes = filter->Nodes().Count();
  ASSERT_EQ(filter->LoadNodes(), S_OK);
  EXPECT_EQ(filter->Nodes().Count(), nodes);
  ASSERT_EQ(filter->LoadPins(), S_OK);
  EXPECT_EQ(filter->Pins().Count(), count);
  EXPECT_EQ(filter->RenderSinkPins().Count(), 1u);
  EXPECT_EQ(filter->ReleaseLists(), S_OK);
  EXPECT_EQ(filter->Pins().Count(), 0u);
  EXPECT_EQ(filter->Nodes().Count(), 0u);
  EXPECT_EQ(filter->RenderSinkPins().Count(), 0u);
}

TEST_F(KsPinTest, CommunicationBothAndNoneAndSourceOnly) {
  // Both with data flow in: render-sink and in-source, once each; a plain audio pin.
  ReportCommunication(kslib::kCommunicationBoth, 0);
  {
    auto filter = LoadFilter();
    ASSERT_EQ(filter->RenderSinkPins().Count(), 1u);
    ASSERT_EQ(filter->InSourcePins().Count(), 1u);
    EXPECT_EQ(filter->RenderSinkPins().First(), filter->InSourcePins().First());
    EXPECT_EQ(filter->RenderSinkPins().First()->Role(), 0u);
    EXPECT_EQ(filter->Pins().Count(), 2u);
  }
  // None: the audio filter does not load the pin.
  ReportCommunication(kslib::kCommunicationNone, 0);
  {
    auto filter = LoadFilter();
    EXPECT_EQ(filter->RenderSinkPins().Count(), 0u);
    EXPECT_EQ(filter->NoCommunicationPins().Count(), 0u);
    EXPECT_EQ(filter->Pins().Count(), 1u);
  }
  // Only source pins: the filter loads.
  ReportCommunication(kslib::kCommunicationSource);
  {
    auto filter = LoadFilter();
    EXPECT_EQ(filter->RenderSinkPins().Count() + filter->CaptureSinkPins().Count(), 0u);
    EXPECT_EQ(filter->InSourcePins().Count(), 1u);
    EXPECT_EQ(filter->OutSourcePins().Count(), 1u);
  }
  // Values beyond "both" skip the pin.
  ReportCommunication(7);
  auto filter = LoadFilter(E_FAIL);
  EXPECT_EQ(filter->Pins().Count(), 0u);
}

TEST_F(KsPinTest, RenderPinRunsAndIsStoppedBeforeItsHandleCloses) {
  UseRecordingKsUser();
  auto filter = LoadFilter();
  const WAVEFORMATEX format = Pcm(2, 24, 48000);
  CKsAudPin* pin = filter->OpenRenderPinFor(&format);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(pin, filter->RenderSinkPins().First());
  EXPECT_TRUE(pin->IsOpen());
  EXPECT_EQ(pin->Looped(), 0u);
  {
    std::lock_guard<std::mutex> lock(connectLock);
    ASSERT_EQ(connectBuffers.size(), 1u);
    ASSERT_EQ(connectBuffers[0].size(), 154u);
    KSPIN_CONNECT sent;
    std::memcpy(&sent, connectBuffers[0].data(), sizeof sent);
    EXPECT_EQ(sent.Interface.Id, 0u);
    EXPECT_EQ(sent.PinId, pin->PinId());
    EXPECT_EQ(std::memcmp(connectBuffers[0].data() + 136, &format, 18), 0);
  }
  for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    ASSERT_EQ(pin->ChangeState(s), S_OK) << s;
    EXPECT_EQ(pin->State(), s);
  }
  KSSTATE read = KSSTATE_STOP;
  ASSERT_EQ(pin->ReadState(&read), S_OK);
  EXPECT_EQ(read, KSSTATE_RUN);
  // A state the kernel refuses is not recorded.
  EXPECT_NE(pin->ChangeState(static_cast<KSSTATE>(9)), S_OK);
  EXPECT_EQ(pin->State(), KSSTATE_RUN);

  filter.reset();  // destroys the running pin
  const auto states = PinStateRequests();
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back(), std::make_pair(ULONG{2}, ULONG{KSSTATE_STOP}));
}

TEST_F(KsPinTest, NoPinIsOpenedForAFormatNoSinkPinSupports) {
  UseRecordingKsUser();
  auto filter = LoadFilter();
  const WAVEFORMATEX slow = Pcm(2, 24, 22050);
  EXPECT_EQ(filter->OpenRenderPinFor(&slow), nullptr);
  const WAVEFORMATEX wide = Pcm(2, 32, 48000);  // the capture pin has no 32-bit range
  EXPECT_EQ(filter->OpenCapturePinFor(&wide), nullptr);
  {
    std::lock_guard<std::mutex> lock(connectLock);
    EXPECT_TRUE(connectBuffers.empty());
  }
  const WAVEFORMATEX ok = Pcm(2, 24, 48000);
  CKsAudPin* capture = filter->OpenCapturePinFor(&ok);
  ASSERT_NE(capture, nullptr);
  EXPECT_EQ(capture->Role(), 2u);
  EXPECT_TRUE(capture->IsOpen());
}

TEST_F(KsPinTest, LoopedConnectSendsInterfaceIdOneAndKsUserIsLoadedOncePerProcess) {
  UseRecordingKsUser();
  auto filter = LoadFilter();
  CKsAudPin* render = static_cast<CKsAudPin*>(filter->RenderSinkPins().First());
  CKsAudPin* capture = static_cast<CKsAudPin*>(filter->CaptureSinkPins().First());
  const WAVEFORMATEX format = Pcm(2, 16, 44100);
  ASSERT_EQ(render->ApplyWaveFormat(&format), S_OK);
  ASSERT_EQ(capture->ApplyWaveFormat(&format), S_OK);
  const HRESULT looped = render->ConnectPin(TRUE);
  EXPECT_EQ(render->Looped(), 1u);
  ASSERT_EQ(capture->ConnectPin(FALSE), S_OK);
  {
    std::lock_guard<std::mutex> lock(connectLock);
    ASSERT_EQ(connectBuffers.size(), 2u);
    KSPIN_CONNECT sent;
    std::memcpy(&sent, connectBuffers[0].data(), sizeof sent);
    EXPECT_EQ(sent.Interface.Id, 1u);
    std::memcpy(&sent, connectBuffers[1].data(), sizeof sent);
    EXPECT_EQ(sent.Interface.Id, 0u);
  }
  // Whatever the driver made of looped streaming, the result is its verdict.
  EXPECT_EQ(render->IsOpen(), SUCCEEDED(looped));
  EXPECT_EQ(platform::win32::ModuleReferenceCount(process_, "ksuser.dll"), 1u);
}

TEST_F(KsPinTest, MissingKsUserOrKsCreatePinFailsTheConnectWithFileNotFound) {
  auto filter = LoadFilter();
  CKsAudPin* render = static_cast<CKsAudPin*>(filter->RenderSinkPins().First());
  const WAVEFORMATEX format = Pcm(2, 24, 48000);
  ASSERT_EQ(render->ApplyWaveFormat(&format), S_OK);
  platform::win32::SetModuleMissing("ksuser.dll");
  EXPECT_EQ(render->ConnectPin(FALSE), static_cast<HRESULT>(0x80070002));
  EXPECT_FALSE(render->IsOpen());
  platform::win32::SetModuleMissing("ksuser.dll", false);
  platform::win32::SetModuleExportMissing("ksuser.dll", "KsCreatePin");
  EXPECT_EQ(render->ConnectPin(FALSE), static_cast<HRESULT>(0x80070002));
  EXPECT_FALSE(render->IsOpen());
  platform::win32::SetModuleExportMissing("ksuser.dll", "KsCreatePin", false);
  EXPECT_EQ(render->ConnectPin(FALSE), S_OK);
  EXPECT_TRUE(render->IsOpen());
}

TEST_F(KsPinTest, FormatChangeOfAnOpenPinSendsTheDataFormatWithItsTail) {
  auto filter = LoadFilter();
  const WAVEFORMATEX format = Pcm(2, 24, 48000);
  CKsAudPin* pin = filter->OpenRenderPinFor(&format);
  ASSERT_NE(pin, nullptr);
  recorder_.Clear();
  WAVEFORMATEXTENSIBLE faster = Extensible(2, 24, 96000, kslib::kFormatSubtypePcm);
  const HRESULT hr = pin->ApplyWaveFormatToOpenPin(&faster.Format);
  std::vector<RecordedRequest> sent;
  for (const RecordedRequest& r : recorder_.Requests()) {
    if (r.isPin && SameSet(r, kslib::kPropSetConnection) && r.id == kslib::kConnectionDataFormat) sent.push_back(r);
  }
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].flags, 0x2u);
  EXPECT_EQ(sent[0].requestLength, 24u);
  ASSERT_EQ(sent[0].outputLength, 104u);
  EXPECT_EQ(std::memcmp(sent[0].output.data(), pin->DataFormat(), 104), 0);
  EXPECT_EQ(SUCCEEDED(hr), NT_SUCCESS(sent[0].status));
  // Without a format nothing is sent.
  recorder_.Clear();
  EXPECT_EQ(pin->ApplyWaveFormatToOpenPin(nullptr), E_FAIL);
  EXPECT_TRUE(recorder_.Requests().empty());
}

// Two threads, each with its own filter and pin: requests wait on their own
// events, and the first KsCreatePin resolution may happen on both at once.
struct StreamJob {
  std::u16string path;
  bool render = true;
  HRESULT opened = E_FAIL;
  HRESULT ran = E_FAIL;
};

DWORD WINAPI RunStreamJob(LPVOID context) {
  auto* job = static_cast<StreamJob*>(context);
  const std::vector<WCHAR> path = Wide(job->path);
  HRESULT hr = E_FAIL;
  CKsAudFilter filter(path.data(), &hr);
  if (FAILED(filter.OpenDevice()) || FAILED(filter.LoadPins())) return 1;
  const WAVEFORMATEX format = Pcm(2, 16, 48000);
  CKsAudPin* pin = job->render ? filter.OpenRenderPinFor(&format) : filter.OpenCapturePinFor(&format);
  job->opened = pin != nullptr ? S_OK : E_FAIL;
  if (pin == nullptr) return 1;
  job->ran = pin->ChangeState(KSSTATE_RUN);
  return 0;  // the filter's destructor stops and closes the pin
}

TEST_F(KsPinTest, FiltersOnTwoThreadsOpenTheirPinsAtOnce) {
  StreamJob render{path_, true}, capture{path_, false};
  HANDLE threads[2] = {CreateThread(nullptr, 0, RunStreamJob, &render, 0, nullptr),
                       CreateThread(nullptr, 0, RunStreamJob, &capture, 0, nullptr)};
  ASSERT_NE(threads[0], nullptr);
  ASSERT_NE(threads[1], nullptr);
  ASSERT_EQ(WaitForMultipleObjects(2, threads, TRUE, 60000), WAIT_OBJECT_0);
  CloseHandle(threads[0]);
  CloseHandle(threads[1]);
  EXPECT_EQ(render.opened, S_OK);
  EXPECT_EQ(render.ran, S_OK);
  EXPECT_EQ(capture.opened, S_OK);
  EXPECT_EQ(capture.ran, S_OK);
}

}  // namespace
