// Faults injected into the simulated device at given stream times
// ("WHAT@SECONDS", or "WHAT@SECONDS+DURATION" for the faults that can be
// taken back), and a URB watch that counts the driver's restarts of the
// render pipe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <wdm.h>
#include <usb.h>

#include "sim/clients/simulated_machine.h"

namespace sim {

// ClientLate is the client's fault, not the device's: it writes nothing for
// the duration (as an application descheduled that long), so the port
// plays silence in its place.
//
// IsoErrors is what a host controller reports for a troubled isochronous
// endpoint (which cannot stall): a few packets with transfer errors, a few
// not accessed in time, and one transfer failed as a whole. "stall" is its
// old name. Unplug is a burst of transfer errors on every transfer for
// kUnplugBurstSeconds, then the device is gone and plug and play says so.
enum class FaultKind { IsoErrors, Unplug, FeedbackGarbage, FeedbackLoss, ClockInvalid, ClientLate };

constexpr double kUnplugBurstSeconds = 0.005;

struct FaultInjection {
  FaultKind kind = FaultKind::IsoErrors;
  double at = 0;          // seconds after the pin entered RUN
  double duration = 0;    // 0: until the end (faults that can be taken back)
  bool applied = false;
  bool cleared = false;
  std::string note;       // why it could not act, e.g. no feedback endpoint
};

const char* FaultName(FaultKind kind);
// The names ParseFaultInjection accepts, for usage text.
std::string FaultNames();
// "iso-errors@2" (or its old name "stall@2"), "feedback-garbage@1.5+2":
// false with a reason for anything else.
bool ParseFaultInjection(const std::string& text, FaultInjection* out, std::string* error);

// Applies a plan to the machine as stream time passes (called from the
// client's streaming loop).
class FaultInjector {
 public:
  FaultInjector(SimulatedMachine& machine, std::vector<FaultInjection> plan)
      : machine_(machine), plan_(std::move(plan)) {}
  void Advance(double seconds);
  const std::vector<FaultInjection>& Plan() const { return plan_; }
  // The device was unplugged (and surprise-removed): the client should stop.
  bool Unplugged() const { return unplugged_; }
  bool Any() const { return !plan_.empty(); }
  // The client should write nothing now (client-late).
  bool ClientHeld() const { return clientHeld_; }

 private:
  void Apply(FaultInjection& f);
  // The device is gone after its unplug burst.
  void FinishUnplug(FaultInjection& f);
  void Clear(FaultInjection& f);
  void SetClocksValid(FaultInjection& f, bool valid);

  SimulatedMachine& machine_;
  std::vector<FaultInjection> plan_;
  bool unplugged_ = false;
  bool clientHeld_ = false;
};

// Counts, from the URBs the driver sends, resets and aborts of the render
// data pipe (the isochronous OUT pipe): one reset per render restart. It
// installs the device's URB hook, which keeps the counts alive (shared) for
// as long as the device may still call it.
class RenderPipeWatch {
 public:
  // With `streaming`, it also notes how far the device had played at the
  // first reset (the machine's streaming side outlives its device).
  explicit RenderPipeWatch(SimUsbDevice& device, const AudioStreaming* streaming = nullptr);

  uint64_t Resets() const;
  // Frames the device had put out (StreamingCounters::framesOutput) when the
  // first reset came; UINT64_MAX: none.
  uint64_t FirstResetFrame() const;
  uint64_t Aborts() const;

 private:
  struct Counts {
    std::mutex lock;
    std::set<USBD_PIPE_HANDLE> outPipes;
    uint64_t resets = 0;
    uint64_t aborts = 0;
    const AudioStreaming* streaming = nullptr;
    uint64_t firstResetFrame = UINT64_MAX;
    void Observe(PURB urb);
  };
  std::shared_ptr<Counts> counts_ = std::make_shared<Counts>();
};

}  // namespace sim
