// The wave miniport and its streams against a recording adapter and a
// counting port: one stream per direction, buffer sizes, the KS state table
// and the adapter calls behind it, copies into and out of the cyclic buffer,
// positions, notifications, and references handed back on every path.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "driver/runtime/pool_tags.h"
#include "driver/port/miniport.h"
#include "driver/port/stream.h"
#include "driver/uac/property_handlers.h"
#include "tests/driver/port_fakes.h"
#include "tests/support/verifier_test.h"

namespace drivertest {
namespace {

struct OpenStream {
  PMINIPORTWAVECYCLICSTREAM stream = nullptr;
  PDMACHANNEL dma = nullptr;
  PSERVICEGROUP group = nullptr;

  CMiniportWaveCyclicStreamUsbAudio* Object() const { return static_cast<CMiniportWaveCyclicStreamUsbAudio*>(stream); }
  PUCHAR Buffer() const { return static_cast<PUCHAR>(dma->SystemAddress()); }
  void Close() {
    if (group) group->Release();
    if (dma) dma->Release();
    if (stream) stream->Release();
    stream = nullptr;
    dma = nullptr;
    group = nullptr;
  }
};

class WaveStreamTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    ASSERT_EQ(CreateMiniportWaveCyclicUsbAudio(&miniport_, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    ASSERT_EQ(miniport_->Init(&adapter_, nullptr, &port_), STATUS_SUCCESS);
    object_ = static_cast<CMiniportWaveCyclicUsbAudio*>(miniport_);
    private_ = object_;
    ASSERT_EQ(adapter_.miniport, private_) << "the miniport registers with the adapter";
  }

  void TearDown() override {
    if (miniport_ != nullptr) miniport_->Release();
    EXPECT_EQ(adapter_.miniport, nullptr) << "the miniport unregisters when it goes";
    EXPECT_EQ(adapter_.references.load(), 1) << "adapter references left";
    EXPECT_EQ(port_.references.load(), 1) << "port references left";
    VerifiedTest::TearDown();
  }

  NTSTATUS Open(BOOLEAN capture, USHORT channels, USHORT bits, ULONG rate, OpenStream* out, ULONG pin = 0,
                bool dsound = false) {
    WaveDataFormat format(channels, bits, rate, dsound);
    return miniport_->NewStream(&out->stream, nullptr, NonPagedPoolNx, pin, capture, format.Format(), &out->dma,
                                &out->group);
  }

  // Adapter calls made after the mark.
  std::vector<std::string> NamesSince(size_t mark) const {
    std::vector<std::string> names = adapter_.Names();
    return std::vector<std::string>(names.begin() + static_cast<long>(mark), names.end());
  }

  FakeAdapter adapter_;
  FakePort port_;
  PMINIPORTWAVECYCLIC miniport_ = nullptr;
  CMiniportWaveCyclicUsbAudio* object_ = nullptr;
  IMiniportWaveCyclicUsbAudio* private_ = nullptr;
};

TEST_F(WaveStreamTest, BufferSizesFollowTheFormat) {
  OpenStream render;
  ASSERT_EQ(Open(FALSE, 2, 16, 48000, &render), STATUS_SUCCESS);
  // 100 ms would be 19200 bytes; 11520 frames are the floor.
  EXPECT_EQ(render.dma->AllocatedBufferSize(), 46080u);
  EXPECT_EQ(render.dma->BufferSize(), 46080u);
  EXPECT_EQ(render.dma->TransferCount(), 46080u);
  EXPECT_EQ(render.dma->MaximumBufferSize(), 46080u);
  ASSERT_NE(render.Buffer(), nullptr);
  EXPECT_EQ(render.dma->PhysicalAddress().QuadPart, reinterpret_cast<LONGLONG>(render.Buffer()));
  EXPECT_EQ(render.dma->GetAdapterObject(), nullptr);
  const auto formats = adapter_.Calls("SetStreamFormat");
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0].capture, FALSE);
  EXPECT_EQ((std::vector<ULONG>{formats[0].a, formats[0].b, formats[0].c}), (std::vector<ULONG>{2, 16, 48000}));
  const auto delays = adapter_.Calls("OutputDelay");
  ASSERT_EQ(delays.size(), 1u);
  EXPECT_EQ(delays[0].a, 128u);

  render.dma->SetBufferSize(1000);
  EXPECT_EQ(render.dma->BufferSize(), 1000u);
  render.dma->SetBufferSize(46081);
  EXPECT_EQ(render.dma->BufferSize(), 1000u) << "never more than was allocated";
  EXPECT_EQ(render.dma->AllocatedBufferSize(), 46080u);

  // 100 ms wins at high rates.
  OpenStream capture;
  ASSERT_EQ(Open(TRUE, 2, 32, 192000, &capture, 3), STATUS_SUCCESS);
  EXPECT_EQ(capture.dma->AllocatedBufferSize(), 153600u);
  EXPECT_EQ(capture.dma->MaximumBufferSize(), 153600u);

  // A format change in STOP reallocates; the regions queued in the old
  // buffer are flushed with it (the flushing form of the adapter call).
  WaveDataFormat other(2, 16, 192000);
  ASSERT_EQ(render.stream->SetFormat(other.Format()), STATUS_SUCCESS);
  EXPECT_EQ(render.dma->AllocatedBufferSize(), 76800u);
  EXPECT_EQ(adapter_.Calls("SetStreamFormatNoFlush").size(), 0u);
  const auto changes = adapter_.Calls("SetStreamFormat");
  ASSERT_EQ(changes.size(), 3u);  // the two opens, then the change
  EXPECT_EQ(changes.back().capture, FALSE);
  EXPECT_EQ(changes.back().c, 192000u);
  render.Close();
  capture.Close();
}

TEST_F(WaveStreamTest, OneStreamPerDirection) {
  OpenStream render;
  ASSERT_EQ(Open(FALSE, 2, 16, 48000, &render), STATUS_SUCCESS);
  EXPECT_EQ(object_->GetStream(FALSE), render.Object());
  OpenStream second;
  EXPECT_EQ(Open(FALSE, 2, 16, 48000, &second), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(second.stream, nullptr);
  EXPECT_EQ(second.dma, nullptr);
  EXPECT_EQ(second.group, nullptr);
  OpenStream capture;
  ASSERT_EQ(Open(TRUE, 2, 16, 48000, &capture, 3), STATUS_SUCCESS);
  EXPECT_EQ(capture.group, render.group) << "one service group for the filter";

  // Closing a stream frees its direction and its client format.
  const size_t mark = adapter_.calls.size();
  render.Close();
  EXPECT_EQ(object_->GetStream(FALSE), nullptr);
  EXPECT_EQ(object_->GetStream(TRUE), capture.Object());
  EXPECT_EQ(NamesSince(mark), (std::vector<std::string>{"ClearStreamFormat"}));
  ASSERT_EQ(Open(FALSE, 2, 16, 48000, &render), STATUS_SUCCESS);
  render.Close();
  capture.Close();
}

TEST_F(WaveStreamTest, RefusedFormatsLeaveNoStream) {
  OpenStream stream;
  WaveDataFormat format(2, 16, 48000);
  format.Format()->Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  EXPECT_EQ(miniport_->NewStream(&stream.stream, nullptr, NonPagedPoolNx, 0, FALSE, format.Format(), &stream.dma,
                                 &stream.group),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(object_->GetStream(FALSE), nullptr);

  adapter_.formatStatus = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(Open(FALSE, 2, 16, 48000, &stream), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(object_->GetStream(FALSE), nullptr);
  EXPECT_EQ(stream.stream, nullptr);
  EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_USB), 0u) << "stream and buffer freed";

  // A DirectSound buffer description in front of the wave format.
  adapter_.formatStatus = STATUS_SUCCESS;
  adapter_.calls.clear();
  ASSERT_EQ(Open(FALSE, 2, 24, 96000, &stream, 0, true), STATUS_SUCCESS);
  const auto formats = adapter_.Calls("SetStreamFormat");
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ((std::vector<ULONG>{formats[0].a, formats[0].b, formats[0].c}), (std::vector<ULONG>{2, 24, 96000}));
  stream.Close();
}

TEST_F(WaveStreamTest, StateTable) {
  OpenStream render;
  ASSERT_EQ(Open(FALSE, 2, 16, 48000, &render), STATUS_SUCCESS);
  CMiniportWaveCyclicStreamUsbAudio* stream = render.Object();
  size_t mark = adapter_.calls.size();

  EXPECT_EQ(render.stream->SetState(KSSTATE_RUN), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(render.stream->SetState(KSSTATE_PAUSE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stream->GetState(), KSSTATE_STOP);
  EXPECT_EQ(render.stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(render.stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(render.stream->SetState(KSSTATE_RUN), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(render.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_TRUE(NamesSince(mark).empty());

  // A start that fails leaves the stream paused.
  adapter_.startStatus = STATUS_NOT_IMPLEMENTED;
  EXPECT_EQ(render.stream->SetState(KSSTATE_RUN), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(stream->GetState(), KSSTATE_PAUSE);
  EXPECT_EQ(NamesSince(mark), (std::vector<std::string>{"StartStream"}));

  adapter_.startStatus = STATUS_SUCCESS;
  mark = adapter_.calls.size();
  ASSERT_EQ(render.stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(NamesSince(mark), (std::vector<std::string>{"StartStream", "SetStreamRunning"}));
  EXPECT_EQ(stream->GetState(), KSSTATE_RUN);

  // No format change while running.
  WaveDataFormat other(2, 16, 96000);
  mark = adapter_.calls.size();
  EXPECT_EQ(render.stream->SetFormat(other.Format()), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(render.stream->SetState(KSSTATE_STOP), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(render.stream->SetState(KSSTATE_ACQUIRE), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(NamesSince(mark).empty());

  ASSERT_EQ(render.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(render.stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  private_->SetRenderPosition(render.Buffer() + 40);
  ASSERT_EQ(render.stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(NamesSince(mark), (std::vector<std::string>{"PauseStream", "StopStream"}));
  ULONG position = 1;
  ASSERT_EQ(render.stream->GetPosition(&position), STATUS_SUCCESS);
  EXPECT_EQ(position, 0u) << "STOP rewinds";
  render.Close();
}

TEST_F(WaveStreamTest, CaptureRunQueuesTheWholeBuffer) {
  OpenStream capture;
  ASSERT_EQ(Open(TRUE, 2, 16, 48000, &capture, 3), STATUS_SUCCESS);
  ASSERT_EQ(capture.stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(capture.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);

  adapter_.runningStatus = STATUS_DEVICE_NOT_CONNECTED;
  size_t mark = adapter_.calls.size();
  EXPECT_EQ(capture.stream->SetState(KSSTATE_RUN), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(capture.Object()->GetState(), KSSTATE_PAUSE);
  adapter_.runningStatus = STATUS_SUCCESS;

  mark = adapter_.calls.size();
  ASSERT_EQ(capture.stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(NamesSince(mark), (std::vector<std::string>{"StartStream", "QueueCaptureBuffer", "SetStreamRunning"}));
  const AdapterCall& queued = adapter_.calls[mark + 1];
  EXPECT_EQ(queued.address, capture.Buffer());
  EXPECT_EQ(queued.a, capture.dma->AllocatedBufferSize());
  EXPECT_TRUE(adapter_.calls[mark + 2].capture);

  // Closing a running stream steps it down to STOP before letting go.
  mark = adapter_.calls.size();
  capture.Close();
  EXPECT_EQ(NamesSince(mark), (std::vector<std::string>{"PauseStream", "StopStream", "ClearStreamFormat"}));
  for (const AdapterCall& c : std::vector<AdapterCall>(adapter_.calls.begin() + static_cast<long>(mark),
                                                       adapter_.calls.end())) {
    EXPECT_TRUE(c.capture) << c.name;
  }
}

TEST_F(WaveStreamTest, CopiesWrapAtTheBufferEnd) {
  OpenStream render;
  ASSERT_EQ(Open(FALSE, 2, 16, 48000, &render), STATUS_SUCCESS);
  PUCHAR buffer = render.Buffer();
  const ULONG size = render.dma->BufferSize();
  std::vector<UCHAR> source(1000);
  std::iota(source.begin(), source.end(), static_cast<UCHAR>(1));

  adapter_.calls.clear();
  render.dma->CopyTo(buffer + size - 400, source.data(), 1000);
  ASSERT_EQ(adapter_.calls.size(), 2u) << "no RenderNotify before RUN";
  EXPECT_EQ(adapter_.calls[0].name, "QueueRenderBuffer");
  EXPECT_EQ(adapter_.calls[0].address, buffer + size - 400);
  EXPECT_EQ(adapter_.calls[0].a, 400u);
  EXPECT_EQ(adapter_.calls[1].address, buffer);
  EXPECT_EQ(adapter_.calls[1].a, 600u);
  EXPECT_EQ(memcmp(buffer + size - 400, source.data(), 400), 0);
  EXPECT_EQ(memcmp(buffer, source.data() + 400, 600), 0);

  // A copy that starts at the end has no first part.
  adapter_.calls.clear();
  render.dma->CopyTo(buffer + size, source.data(), 50);
  ASSERT_EQ(adapter_.calls.size(), 1u);
  EXPECT_EQ(adapter_.calls[0].address, buffer);
  EXPECT_EQ(adapter_.calls[0].a, 50u);

  // While running every copy also tells the adapter there is new data.
  ASSERT_EQ(render.stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(render.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(render.stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  adapter_.calls.clear();
  render.dma->CopyTo(buffer + 100, source.data(), 100);
  EXPECT_EQ(adapter_.Names(), (std::vector<std::string>{"QueueRenderBuffer", "RenderNotify"}));
  render.Close();

  OpenStream capture;
  ASSERT_EQ(Open(TRUE, 2, 16, 48000, &capture, 3), STATUS_SUCCESS);
  buffer = capture.Buffer();
  const ULONG captureSize = capture.dma->BufferSize();
  memcpy(buffer + captureSize - 100, source.data(), 100);
  memcpy(buffer, source.data() + 100, 200);
  std::vector<UCHAR> destination(300, 0);
  adapter_.calls.clear();
  capture.dma->CopyFrom(destination.data(), buffer + captureSize - 100, 300);
  EXPECT_EQ(memcmp(destination.data(), source.data(), 300), 0);
  ASSERT_EQ(adapter_.calls.size(), 2u);
  EXPECT_EQ(adapter_.calls[0].name, "QueueCaptureBuffer");
  EXPECT_EQ(adapter_.calls[0].address, buffer + captureSize - 100);
  EXPECT_EQ(adapter_.calls[0].a, 100u);
  EXPECT_EQ(adapter_.calls[1].address, buffer);
  EXPECT_EQ(adapter_.calls[1].a, 200u);
  capture.Close();
}

TEST_F(WaveStreamTest, PositionsTimeAndNotifications) {
  OpenStream render;
  ASSERT_EQ(Open(FALSE, 2, 16, 48000, &render), STATUS_SUCCESS);
  LONGLONG time = 192000;
  ASSERT_EQ(render.stream->NormalizePhysicalPosition(&time), STATUS_SUCCESS);
  EXPECT_EQ(time, 10000000);  // one second in 100 ns
  ULONG frameSize = 0;
  EXPECT_EQ(render.stream->SetNotificationFreq(10, &frameSize), 10u);
  EXPECT_EQ(frameSize, 1920u);

  PUCHAR buffer = render.Buffer();
  const ULONG size = render.dma->BufferSize();
  ULONG position = 0;
  EXPECT_EQ(private_->SetRenderPosition(buffer + 100), 0u);
  render.stream->GetPosition(&position);
  EXPECT_EQ(position, 100u);
  EXPECT_EQ(private_->SetRenderPosition(buffer + size + 8), 100u) << "one buffer past the end wraps";
  render.stream->GetPosition(&position);
  EXPECT_EQ(position, 8u);
  EXPECT_EQ(private_->AdvanceRenderPosition(size - 4), 8u);
  render.stream->GetPosition(&position);
  EXPECT_EQ(position, 4u);
  private_->SetRenderPosition(nullptr);
  render.stream->GetPosition(&position);
  EXPECT_EQ(position, 4u) << "a null address changes nothing";

  OpenStream capture;
  ASSERT_EQ(Open(TRUE, 2, 16, 48000, &capture, 3), STATUS_SUCCESS);
  // The record position is the end of the last complete frame.
  private_->SetCapturePosition(capture.Buffer());
  capture.stream->GetPosition(&position);
  EXPECT_EQ(position, capture.dma->BufferSize() - 4);
  private_->SetCapturePosition(capture.Buffer() + 10);
  capture.stream->GetPosition(&position);
  EXPECT_EQ(position, 6u);

  // Timing notifications reach the port with the filter's service group.
  private_->TimingNotification(FALSE);
  private_->TimingNotification(TRUE);
  EXPECT_EQ(port_.notifications.load(), 2);
  EXPECT_EQ(port_.notifiedGroup, render.group);
  render.Close();
  capture.Close();
  private_->TimingNotification(FALSE);
  EXPECT_EQ(port_.notifications.load(), 2) << "no stream, no notification";
}

TEST_F(WaveStreamTest, SilenceDependsOnTheSampleFormat) {
  OpenStream eightBit;
  ASSERT_EQ(Open(FALSE, 2, 8, 48000, &eightBit), STATUS_SUCCESS);
  std::vector<UCHAR> bytes(16, 0x11);
  eightBit.stream->Silence(bytes.data(), 15);
  EXPECT_EQ(std::vector<UCHAR>(bytes.begin(), bytes.begin() + 15), std::vector<UCHAR>(15, 0x80));
  EXPECT_EQ(bytes[15], 0x11);
  eightBit.Close();

  OpenStream sixteenBit;
  ASSERT_EQ(Open(TRUE, 2, 16, 48000, &sixteenBit, 3), STATUS_SUCCESS);
  private_->Silence(TRUE, bytes.data(), 16);
  EXPECT_EQ(bytes, std::vector<UCHAR>(16, 0x00));
  sixteenBit.Close();
}

TEST_F(WaveStreamTest, InterfacesOfMiniportAndStream) {
  PVOID object = nullptr;
  ASSERT_EQ(miniport_->QueryInterface(IID_IUnknown, &object), STATUS_SUCCESS);
  EXPECT_EQ(object, static_cast<PVOID>(private_));
  static_cast<PUNKNOWN>(object)->Release();
  ASSERT_EQ(miniport_->QueryInterface(IID_IMiniport, &object), STATUS_SUCCESS);
  EXPECT_EQ(object, static_cast<PVOID>(miniport_));
  static_cast<PUNKNOWN>(object)->Release();
  ASSERT_EQ(private_->QueryInterface(IID_IPowerNotify, &object), STATUS_SUCCESS);
  ASSERT_NE(object, nullptr);
  static_cast<PUNKNOWN>(object)->Release();
  object = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(miniport_->QueryInterface(IID_IPinCount, &object), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(miniport_->QueryInterface(IID_IDmaChannel, &object), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(object, nullptr);

  PPCFILTER_DESCRIPTOR description = nullptr;
  ASSERT_EQ(miniport_->GetDescription(&description), STATUS_SUCCESS);
  EXPECT_EQ(description, &adapter_.filter);

  OpenStream render;
  ASSERT_EQ(Open(FALSE, 2, 16, 48000, &render), STATUS_SUCCESS);
  ASSERT_EQ(render.stream->QueryInterface(IID_IDmaChannel, &object), STATUS_SUCCESS);
  EXPECT_EQ(object, static_cast<PVOID>(render.dma));
  static_cast<PUNKNOWN>(object)->Release();
  EXPECT_EQ(render.dma->QueryInterface(IID_IMiniport, &object), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(object, nullptr);

  // The private interface reaches the adapter.
  adapter_.calls.clear();
  private_->BufferToggle();
  private_->OutputReady();
  private_->OutputDelay(5);
  EXPECT_EQ(adapter_.Names(), (std::vector<std::string>{"BufferToggle", "OutputReady", "OutputDelay"}));
  EXPECT_EQ(adapter_.calls[2].a, 5u);
  EXPECT_FALSE(private_->IsStreamActive(FALSE)) << "no low-latency client buffers";
  EXPECT_EQ(private_->ReportStreamError(FALSE, STATUS_DEVICE_NOT_CONNECTED), render.Object());
  EXPECT_EQ(private_->ReportStreamError(TRUE, STATUS_DEVICE_NOT_CONNECTED), nullptr);
  render.Close();

  // Power: D0 after Init; D1..D3 remembered, anything else ignored.
  POWER_STATE state;
  state.DeviceState = PowerDeviceD3;
  IPowerNotify* power = nullptr;
  ASSERT_EQ(miniport_->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&power)), STATUS_SUCCESS);
  EXPECT_EQ(object_->GetPowerState(), PowerDeviceD0);
  power->PowerChangeNotify(state);
  EXPECT_EQ(object_->GetPowerState(), PowerDeviceD3);
  state.DeviceState = PowerDeviceMaximum;
  power->PowerChangeNotify(state);
  EXPECT_EQ(object_->GetPowerState(), PowerDeviceD3);
  power->Release();
}

TEST_F(WaveStreamTest, FilterProperties) {
  PCPROPERTY_ITEM item{&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
                       KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT, PropertyHandler_Filter};
  std::vector<UCHAR> value(80, 0xCD);
  PCPROPERTY_REQUEST request{};
  request.MajorTarget = miniport_;
  request.Node = 0xFFFFFFFF;
  request.PropertyItem = &item;
  request.Verb = KSPROPERTY_TYPE_GET;
  request.Value = value.data();
  request.ValueSize = 71;
  EXPECT_EQ(PropertyHandler_Filter(&request), STATUS_INVALID_PARAMETER);
  request.ValueSize = 72;
  ASSERT_EQ(PropertyHandler_Filter(&request), STATUS_SUCCESS);
  EXPECT_EQ(request.ValueSize, 72u);
  KSCOMPONENTID id;
  memcpy(&id, value.data(), sizeof id);
  const GUID manufacturer = {0xD5A47FA8, 0x6D98, 0x11D1, {0xA2, 0x1A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
  const GUID product = {0x67A0279B, 0x3337, 0x4BC2, {0xAA, 0x79, 0x56, 0xC8, 0x02, 0xEA, 0xA7, 0x2F}};
  const GUID name = {0x343C5F9C, 0x35D1, 0x4F4B, {0xA0, 0x4B, 0xBF, 0x24, 0x6F, 0xA1, 0xA1, 0x9C}};
  const GUID zero = {};
  EXPECT_TRUE(IsEqualGUID(id.Manufacturer, manufacturer));
  EXPECT_TRUE(IsEqualGUID(id.Product, product));
  EXPECT_TRUE(IsEqualGUID(id.Component, zero));
  EXPECT_TRUE(IsEqualGUID(id.Name, name));
  EXPECT_EQ(id.Version, 1u);
  EXPECT_EQ(id.Revision, 0u);
  EXPECT_EQ(value[72], 0xCD);

  request.Verb = KSPROPERTY_TYPE_BASICSUPPORT;
  request.ValueSize = 40;
  ASSERT_EQ(PropertyHandler_Filter(&request), STATUS_SUCCESS);
  EXPECT_EQ(request.ValueSize, 40u);
  KSPROPERTY_DESCRIPTION description;
  memcpy(&description, value.data(), sizeof description);
  EXPECT_EQ(description.AccessFlags, 0x201u);
  EXPECT_EQ(description.DescriptionSize, 40u);
  EXPECT_EQ(description.MembersListCount, 0u);
  request.ValueSize = 4;
  ASSERT_EQ(PropertyHandler_Filter(&request), STATUS_SUCCESS);
  EXPECT_EQ(request.ValueSize, 4u);
  request.ValueSize = 3;
  EXPECT_EQ(PropertyHandler_Filter(&request), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(request.ValueSize, 0u);

  item.Id = KSPROPERTY_GENERAL_COMPONENTID + 1;
  request.Verb = KSPROPERTY_TYPE_GET;
  request.ValueSize = 72;
  EXPECT_EQ(PropertyHandler_Filter(&request), STATUS_INVALID_DEVICE_REQUEST);

  // Node properties go to the adapter behind the request's miniport.
  PCPROPERTY_ITEM volume{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, PropertyHandler_Node};
  request.PropertyItem = &volume;
  request.Node = 3;
  adapter_.calls.clear();
  EXPECT_EQ(PropertyHandler_Node(&request), STATUS_SUCCESS);
  EXPECT_EQ(adapter_.Names(), (std::vector<std::string>{"PropertyHandler_Node"}));
}

TEST_F(WaveStreamTest, FailedInitReleasesWhatItTook) {
  // An adapter unknown without IAdapterCommon.
  PMINIPORTWAVECYCLIC miniport = nullptr;
  ASSERT_EQ(CreateMiniportWaveCyclicUsbAudio(&miniport, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
  FakePort notAnAdapter;
  EXPECT_EQ(miniport->Init(&notAnAdapter, nullptr, &port_), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(port_.references.load(), 2) << "only the fixture's miniport holds the port";
  miniport->Release();

  // No memory for the service group.
  ASSERT_EQ(CreateMiniportWaveCyclicUsbAudio(&miniport, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
  platform::FailPoolAllocation(platform::PoolTag("PcSg"), 0);
  EXPECT_EQ(miniport->Init(&adapter_, nullptr, &port_), STATUS_INSUFFICIENT_RESOURCES);
  platform::ResetFaultInjection();
  EXPECT_EQ(adapter_.references.load(), 2) << "only the fixture's miniport holds the adapter";
  EXPECT_EQ(port_.references.load(), 2);
  miniport->Release();

  // No memory for the miniport or a stream.
  platform::FailPoolAllocation(POOLTAG_ADAPTER, 0);
  EXPECT_EQ(CreateMiniportWaveCyclicUsbAudio(&miniport, nullptr, NonPagedPoolNx), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(miniport, nullptr);
  platform::FailPoolAllocation(POOLTAG_USB, 0);
  OpenStream stream;
  EXPECT_EQ(Open(FALSE, 2, 16, 48000, &stream), STATUS_INSUFFICIENT_RESOURCES);
  platform::FailPoolAllocation(POOLTAG_USB, 1);  // the cyclic buffer
  EXPECT_EQ(Open(FALSE, 2, 16, 48000, &stream), STATUS_INSUFFICIENT_RESOURCES);
  platform::ResetFaultInjection();
  EXPECT_EQ(object_->GetStream(FALSE), nullptr);
}

}  // namespace
}  // namespace drivertest
