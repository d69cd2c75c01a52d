#include "sim/clients/fault_plan.h"

#include <cmath>
#include <cstdlib>

namespace sim {

namespace {

struct FaultNameEntry {
  FaultKind kind;
  const char* name;
  bool reversible;
  bool needsDuration = false;
};

constexpr FaultNameEntry kFaults[] = {
    {FaultKind::IsoErrors, "iso-errors", false},
    {FaultKind::IsoErrors, "stall", false},  // the old name
    {FaultKind::Unplug, "unplug", false},
    {FaultKind::FeedbackGarbage, "feedback-garbage", true},
    {FaultKind::FeedbackLoss, "feedback-loss", true},
    {FaultKind::ClockInvalid, "clock-invalid", true},
    {FaultKind::ClientLate, "client-late", true, true},
};

bool ParseSeconds(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(*value) && *value >= 0 && *value < 1e6;
}

}  // namespace

const char* FaultName(FaultKind kind) {
  for (const FaultNameEntry& f : kFaults)
    if (f.kind == kind) return f.name;
  return "?";
}

std::string FaultNames() {
  std::string names;
  for (const FaultNameEntry& f : kFaults) {
    if (std::string(f.name) == "stall") continue;  // an alias, not listed
    names += std::string(names.empty() ? "" : ", ") + f.name;
  }
  return names;
}

bool ParseFaultInjection(const std::string& text, FaultInjection* out, std::string* error) {
  const size_t at = text.find('@');
  if (at == std::string::npos) {
    *error = "--inject takes WHAT@SECONDS, got '" + text + "'";
    return false;
  }
  const std::string what = text.substr(0, at);
  const FaultNameEntry* entry = nullptr;
  for (const FaultNameEntry& f : kFaults)
    if (what == f.name && entry == nullptr) entry = &f;
  if (!entry) {
    *error = "unknown fault '" + what + "' (one of " + FaultNames() + ")";
    return false;
  }
  std::string when = text.substr(at + 1);
  FaultInjection f;
  f.kind = entry->kind;
  const size_t plus = when.find('+');
  if (plus != std::string::npos) {
    if (!entry->reversible) {
      *error = what + " takes no duration";
      return false;
    }
    if (!ParseSeconds(when.substr(plus + 1), &f.duration) || f.duration <= 0) {
      *error = "bad duration in '" + text + "'";
      return false;
    }
    when.resize(plus);
  }
  if (entry->needsDuration && f.duration <= 0) {
    *error = std::string(entry->name) + " needs a duration (WHAT@SECONDS+DURATION)";
    return false;
  }
  if (!ParseSeconds(when, &f.at)) {
    *error = "bad time in '" + text + "' (seconds after the start)";
    return false;
  }
  *out = f;
  return true;
}

void FaultInjector::Advance(double seconds) {
  for (FaultInjection& f : plan_) {
    if (!f.applied && seconds >= f.at) Apply(f);
    if (f.applied && f.kind == FaultKind::Unplug && !unplugged_ && seconds >= f.at + kUnplugBurstSeconds) {
      FinishUnplug(f);
    }
    if (f.applied && !f.cleared && f.duration > 0 && seconds >= f.at + f.duration) Clear(f);
  }
}

void FaultInjector::Apply(FaultInjection& f) {
  f.applied = true;
  AudioStreaming& streaming = machine_.Streaming();
  const StreamFormat render = streaming.Render();
  switch (f.kind) {
    case FaultKind::IsoErrors:
      if (render.active) {
        // Packets lost on the wire, packets the controller reached too late,
        // then a transfer with no packet through.
        SimUsbDevice& device = machine_.Device();
        device.FailNextPackets(render.dataEndpoint, 3, USBD_STATUS_XACT_ERROR);
        device.FailNextPackets(render.dataEndpoint, 2, USBD_STATUS_ISO_NOT_ACCESSED_LATE);
        device.FailNextTransfers(render.dataEndpoint, 1);
      } else {
        f.note = "no render stream to disturb";
      }
      break;
    case FaultKind::Unplug:
      // The controller sees transfer errors first; the device is gone once
      // the burst is over (Advance).
      machine_.Device().BeginUnplug();
      break;
    case FaultKind::FeedbackGarbage:
    case FaultKind::FeedbackLoss:
      if (render.feedbackEndpoint == 0) f.note = "the render stream has no explicit feedback endpoint";
      streaming.SetFeedbackFault(f.kind == FaultKind::FeedbackGarbage ? FeedbackFault::Garbage
                                                                      : FeedbackFault::ZeroLength);
      break;
    case FaultKind::ClockInvalid:
      SetClocksValid(f, false);
      break;
    case FaultKind::ClientLate:
      clientHeld_ = true;
      break;
  }
}

void FaultInjector::FinishUnplug(FaultInjection& f) {
  // Plug and play then tells the driver (surprise removal), and the audio
  // engine closes its pin.
  machine_.Device().Unplug();
  unplugged_ = true;
  const NTSTATUS status = machine_.Pnp().SurpriseRemoveDevice(machine_.Pdo());
  if (!NT_SUCCESS(status)) f.note = "surprise removal returned an error";
}

void FaultInjector::Clear(FaultInjection& f) {
  f.cleared = true;
  if (f.kind == FaultKind::FeedbackGarbage || f.kind == FaultKind::FeedbackLoss) {
    machine_.Streaming().SetFeedbackFault(FeedbackFault::None);
  } else if (f.kind == FaultKind::ClockInvalid) {
    SetClocksValid(f, true);
  } else if (f.kind == FaultKind::ClientLate) {
    clientHeld_ = false;
  }
}

void FaultInjector::SetClocksValid(FaultInjection& f, bool valid) {
  bool any = false;
  for (const auto& [id, entity] : machine_.Function().Layout().entities) {
    if (entity.kind == AcEntityKind::ClockSource) {
      machine_.Function().SetClockValid(id, valid);
      any = true;
    }
  }
  if (!any) f.note = "the device has no clock source entity";
}

RenderPipeWatch::RenderPipeWatch(SimUsbDevice& device, const AudioStreaming* streaming) {
  counts_->streaming = streaming;
  std::shared_ptr<Counts> counts = counts_;
  device.SetUrbHook([counts](PURB urb, NTSTATUS*) {
    counts->Observe(urb);
    return false;  // only watching: the device executes every URB
  });
}

void RenderPipeWatch::Counts::Observe(PURB urb) {
  std::lock_guard<std::mutex> guard(lock);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_ISOCH_TRANSFER:
      if ((urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0)
        outPipes.insert(urb->UrbIsochronousTransfer.PipeHandle);
      break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
      if (outPipes.count(urb->UrbPipeRequest.PipeHandle)) {
        if (resets++ == 0 && streaming) firstResetFrame = streaming->Counters().framesOutput;
      }
      break;
    case URB_FUNCTION_ABORT_PIPE:
      if (outPipes.count(urb->UrbPipeRequest.PipeHandle)) aborts++;
      break;
    default:
      break;
  }
}

uint64_t RenderPipeWatch::Resets() const {
  std::lock_guard<std::mutex> guard(counts_->lock);
  return counts_->resets;
}

uint64_t RenderPipeWatch::FirstResetFrame() const {
  std::lock_guard<std::mutex> guard(counts_->lock);
  return counts_->firstResetFrame;
}

uint64_t RenderPipeWatch::Aborts() const {
  std::lock_guard<std::mutex> guard(counts_->lock);
  return counts_->aborts;
}

}  // namespace sim
