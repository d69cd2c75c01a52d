#include "tools/inspect/device_report.h"

#include <cstdio>
#include <memory>

#include "driver/runtime/pool_tags.h"
#include "driver/uac/ks_guids.h"
#include "driver/uac/packet_schedule.h"
#include "driver/uac/terminal_types.h"
#include "driver/uac/usbaudiocl.h"
#include "platform/kernel/debug_sink.h"
#include "sim/uac/audio_function_model.h"
#include "sim/usb/sim_usb_device.h"
#include "tools/inspect/json_writer.h"
#include "tools/inspect/status_names.h"

namespace tools {

namespace {

const char* KindName(UacEntityKind kind) {
  switch (kind) {
    case UacEntityClockSource: return "ClockSource";
    case UacEntityClockSelector: return "ClockSelector";
    case UacEntityInputTerminal: return "InputTerminal";
    case UacEntityOutputTerminal: return "OutputTerminal";
    case UacEntityFeatureUnit: return "FeatureUnit";
    default: return "ProcessingUnit";
  }
}

std::optional<EndpointReport> Endpoint(PUSB_ENDPOINT_DESCRIPTOR endpoint) {
  if (endpoint == nullptr) return std::nullopt;
  EndpointReport report;
  report.address = endpoint->bEndpointAddress;
  report.attributes = endpoint->bmAttributes;
  report.maxPacketSize = endpoint->wMaxPacketSize;
  report.interval = endpoint->bInterval;
  return report;
}

uint32_t Read24(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16); }

AlternateReport Alternate(const AlternateSetting& setting, bool uac2) {
  AlternateReport report;
  report.alternate = setting.Interface->bAlternateSetting;
  const uint8_t* general = setting.AsGeneral;
  const uint8_t* format = setting.FormatType;
  if (format != nullptr) report.formatType = format[3];
  if (uac2) {
    if (general != nullptr) {
      report.channels = general[10];
      report.formatTag = static_cast<int>(general[6] | (general[7] << 8) | (general[8] << 16) |
                                          (static_cast<uint32_t>(general[9]) << 24));
    }
    if (format != nullptr && format[3] == 1) {
      report.subslotBytes = format[4];
      report.bitResolution = format[5];
    }
  } else {
    if (general != nullptr) report.formatTag = general[5] | (general[6] << 8);
    if (format != nullptr && format[3] == 1 && format[0] >= 8) {
      report.channels = format[4];
      report.subslotBytes = format[5];
      report.bitResolution = format[6];
      const unsigned count = format[7];
      if (count == 0 && format[0] >= 14) {
        report.continuousRates = true;
        report.rates = {Read24(format + 8), Read24(format + 11)};
      } else {
        for (unsigned i = 0; i < count && 8 + 3 * (i + 1) <= format[0]; ++i) report.rates.push_back(Read24(format + 8 + 3 * i));
      }
    }
  }
  report.dataEndpoint = Endpoint(setting.DataEndpoint);
  report.feedbackEndpoint = Endpoint(setting.FeedbackEndpoint);
  return report;
}

std::string SubFormatName(const GUID& guid) {
  if (IsEqualGUID(guid, UA_KSDATAFORMAT_SUBTYPE_PCM)) return "PCM";
  if (IsEqualGUID(guid, UA_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)) return "IEEE_FLOAT";
  if (IsEqualGUID(guid, UA_KSDATAFORMAT_SUBTYPE_ALAW)) return "ALAW";
  if (IsEqualGUID(guid, UA_KSDATAFORMAT_SUBTYPE_MULAW)) return "MULAW";
  return "none";
}

void CollectRanges(CUSBAudioCL& audio, StreamingInterface* s, StreamingReport& report) {
  if (s->DataRangeStorage != nullptr) {
    auto** pointers = static_cast<PKSDATARANGE_AUDIO*>(s->DataRangeStorage);
    for (ULONG i = 1; i < s->DataRangeCount; ++i) {
      const KSDATARANGE_AUDIO& range = *pointers[i];
      DataRangeReport r;
      r.alternate = static_cast<int>(i);
      r.subFormat = range.DataRange.FormatSize == 0 ? "none" : SubFormatName(range.DataRange.SubFormat);
      r.maximumChannels = range.MaximumChannels;
      r.minimumBits = range.MinimumBitsPerSample;
      r.maximumBits = range.MaximumBitsPerSample;
      r.minimumRate = range.MinimumSampleFrequency;
      r.maximumRate = range.MaximumSampleFrequency;
      report.dataRanges.push_back(r);
    }
  }
  ULONG values[5] = {};
  audio.GetFormatCapabilities(s, &values[0], &values[1], &values[2], &values[3], &values[4]);
  report.capabilities = {values[0], values[1], values[2], values[3], values[4]};
}

std::optional<PipeReport> Pipe(PUSBD_PIPE_INFORMATION pipe) {
  if (pipe == nullptr) return std::nullopt;
  return PipeReport{pipe->EndpointAddress, pipe->MaximumPacketSize, pipe->Interval};
}

SelectionReport Select(CUSBAudioCL& audio, bool capture, const InspectRequest::Format& format) {
  SelectionReport r;
  r.direction = capture ? "capture" : "render";
  r.channels = format.channels;
  r.bits = format.bits;
  r.rate = format.rate;
  ULONG channels = 0, container = 0, maxBytes = 0, nominal = 0;
  LONG negative = 0, positive = 0;
  NTSTATUS status = audio.SelectStreamingFormat(capture, format.channels, format.bits, format.rate, r.transferMs,
                                                &channels, &container, &nominal, &negative, &positive, &maxBytes);
  if (NT_SUCCESS(status)) {
    r.nominalTransferBytes = nominal;
    r.negativeSlack = negative;
    r.positiveSlack = positive;
    status = audio.SelectStreamingFormat(capture, format.channels, format.bits, format.rate, 1, &channels, &container,
                                         &maxBytes);
  }
  r.status = static_cast<uint32_t>(status);
  if (!NT_SUCCESS(status)) return r;
  StreamingInterface* s = capture ? audio.GetCaptureInterface() : audio.GetRenderInterface();
  r.alternate = s->CurrentAlternate;
  r.chosenChannels = channels;
  r.containerBits = container;
  r.dataPipe = Pipe(s->DataPipe);
  r.feedbackPipe = Pipe(s->FeedbackPipe);
  r.bytesPerFrame = s->BytesPerFrame;
  r.nominalPacketBytes = s->NominalPacketBytes;
  r.wholeFrames = s->WholeFrames != 0;
  r.minimumPacketBytes = r.wholeFrames ? s->NominalPacketBytes - s->BytesPerFrame : s->NominalPacketBytes;
  r.maximumPacketBytes = s->BytesPerFrame ? s->NominalPacketBytes + s->BytesPerFrame : 0;
  r.maxBytesPerMs = maxBytes;
  r.feedbackPeriodMs = s->FeedbackPipe != nullptr ? s->FeedbackPeriod : 0;
  StreamingInterface* render = audio.GetRenderInterface();
  if (render != nullptr && render->FeedbackPipe != nullptr) {
    r.nominalFeedback = render->NominalFeedback;
    if (!capture) r.feedbackBufferBytes = audio.GetFeedbackBufferBytes();
  }
  r.dataInterval = capture ? 1 : audio.GetDataInterval();
  // One transfer's packets from the schedule, as the render path sizes them without feedback.
  const PacketScheduleEntry* entry = FindPacketSchedule(format.rate);
  if (!capture && entry != nullptr && s->BytesPerFrame != 0) {
    const PacketPattern& pattern = audio.IsHighSpeed() ? entry->HighSpeed : entry->FullSpeed;
    const uint32_t units = r.transferMs * (audio.IsHighSpeed() ? 8 : 1);
    const uint32_t interval = r.dataInterval == 0 ? 1 : r.dataInterval;
    uint32_t position = 0;
    for (uint32_t packet = 0; packet < units / interval; ++packet) {
      uint32_t frames = 0;
      for (uint32_t step = 0; step < interval; ++step) {
        frames += pattern.Counts[position];
        position = (position + 1) % pattern.Length;
      }
      r.firstPacketBytes.push_back(frames * s->BytesPerFrame);
    }
  }
  return r;
}

void Collect(CUSBAudioCL& audio, DeviceReport& report) {
  const USB_DEVICE_DESCRIPTOR& device = audio.GetDeviceDescriptor();
  report.vendorId = device.idVendor;
  report.productId = device.idProduct;
  report.highSpeed = audio.IsHighSpeed();
  report.uac2 = audio.IsUac2();
  report.dsdCapable = audio.IsDsdCapable();
  for (CUSBAudioEntity* entity = audio.GetEntities(); entity != nullptr; entity = entity->Next) {
    EntityReport e;
    e.id = entity->GetId();
    e.kind = KindName(entity->GetKind());
    char name[64] = {};
    entity->GetName(name, sizeof(name));
    e.name = name;
    for (ULONG i = 0; i < 256; ++i) {
      const ULONG source = entity->GetSourceId(i);
      if (source == UAC_NO_SOURCE) break;
      if (entity->GetKind() != UacEntityClockSelector && i > 0) break;  // one source for any index
      e.sourceIds.push_back(static_cast<int>(source));
    }
    if (entity->IsTerminal()) {
      auto* terminal = static_cast<CUSBAudioTerminal*>(entity);
      e.terminalType = audio.GetTerminalType(terminal);
      e.terminalTypeName = *e.terminalType == 0x0101 ? "USB streaming"
                                                     : GuidTraceName(TerminalTypeCategory(static_cast<USHORT>(*e.terminalType)));
      const ULONG clock = terminal->GetClockSourceId();
      if (clock != UAC_NO_SOURCE) e.clockId = static_cast<int>(clock);
    }
    report.entities.push_back(e);
  }
  for (StreamingInterface* s = audio.GetStreamingInterfaces(); s != nullptr; s = s->Next) {
    StreamingReport streaming;
    streaming.interfaceNumber = s->InterfaceNumber;
    streaming.isInput = s->IsInput != 0;
    streaming.terminalId = s->Terminal != nullptr ? s->Terminal->GetId() : 0;
    for (ULONG i = 0; i < s->AlternateCount; ++i) streaming.alternates.push_back(Alternate(s->Alternates[i], report.uac2));
    CollectRanges(audio, s, streaming);
    report.streamingInterfaces.push_back(streaming);
  }
  if (audio.GetRenderInterface() != nullptr) report.renderInterface = audio.GetRenderInterface()->InterfaceNumber;
  if (audio.GetCaptureInterface() != nullptr) report.captureInterface = audio.GetCaptureInterface()->InterfaceNumber;
}


}  // namespace

DeviceReport InspectDevice(const InspectRequest& request) {
  DeviceReport report;
  report.source = request.source;
  sim::AudioFunctionModel function(request.descriptors, request.audio);
  sim::SimUsbDevice device(request.descriptors, &function);
  std::string firstError;
  platform::SetDebugPrintSink([&firstError](const char* line) {
    std::string text = line;
    const std::string marker = "error: ";
    const size_t at = text.find(marker);
    if (at != std::string::npos && firstError.empty()) {  // the first error is the cause
      firstError = text.substr(at + marker.size());
      while (!firstError.empty() && (firstError.back() == '\n' || firstError.back() == '\r')) firstError.pop_back();
    }
  });
  {
    std::unique_ptr<CUSBAudioCL> audio(new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioCL());
    NTSTATUS status = audio ? audio->Init(device.Pdo(), 0) : STATUS_INSUFFICIENT_RESOURCES;
    report.failedStep = "Init";
    if (NT_SUCCESS(status)) {
      status = audio->Configure();
      report.failedStep = "Configure";
    }
    report.status = static_cast<uint32_t>(status);
    if (NT_SUCCESS(status)) {
      report.failedStep.clear();
    } else {
      report.reason = firstError;
    }
    if (audio) Collect(*audio, report);
    if (NT_SUCCESS(status)) report.filter = CollectFilter(*audio);
    if (NT_SUCCESS(status) && request.select) {
      if (audio->GetRenderInterface() != nullptr) report.selections.push_back(Select(*audio, false, *request.select));
      if (request.selectCapture && audio->GetCaptureInterface() != nullptr) {
        report.selections.push_back(Select(*audio, true, *request.select));
      }
    }
  }
  if (request.schedule) {
    for (const PacketScheduleEntry& entry : PacketSchedule) {
      ScheduleReport s;
      s.rate = entry.Rate;
      s.fullSpeed.assign(entry.FullSpeed.Counts, entry.FullSpeed.Counts + entry.FullSpeed.Length);
      s.highSpeed.assign(entry.HighSpeed.Counts, entry.HighSpeed.Counts + entry.HighSpeed.Length);
      report.schedule.push_back(s);
    }
  }
  platform::SetDebugPrintSink(nullptr);
  return report;
}

}  // namespace tools
