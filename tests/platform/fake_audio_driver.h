// A small adapter driver for the port library tests: DriverEntry, AddDevice
// and a start routine that installs one "Wave" wave-cyclic subdevice with a
// fake miniport and stream, plus a fake bus whose physical device object
// the plug-and-play manager starts it on. Everything the port library does
// to them is recorded in FakeDriver::log.
#pragma once

#include <wdm.h>
#include <portcls.h>
#include <stdunk.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fake_audio {

// Pin 0: render streaming sink (2 channels, 16..24 bits, 44100..96000 Hz),
// one instance. Pin 1: bridge (speaker). Pin 2: capture streaming sink
// (same range, no automation table). Nodes: 0 volume (handler takes
// basic support), 1 mute (port answers basic support).
// Connections: pin 0 -> node 0 -> node 1 -> pin 1.
constexpr ULONG kRenderPin = 0;
constexpr ULONG kBridgePin = 1;
constexpr ULONG kCapturePin = 2;
constexpr ULONG kPinCount = 3;
constexpr ULONG kVolumeNode = 0;
constexpr ULONG kMuteNode = 1;

// Private property set of the fake filter and pin tables.
extern const GUID kPrivateSet;
constexpr ULONG kPrivateFilterId = 7;  // filter: GET
constexpr ULONG kPrivatePinId = 9;     // render pin: GET, SET

struct RecordedRequest {
  PUNKNOWN major = nullptr;
  PUNKNOWN minor = nullptr;
  ULONG node = 0;
  ULONG id = 0;
  ULONG verb = 0;
  ULONG instanceSize = 0;
  LONG firstInstanceLong = 0;
  ULONG valueSize = 0;
  const void* value = nullptr;     // the value buffer the handler was given
  const void* instance = nullptr;  // its instance data
  LONG firstValueLong = 0;         // SET: the value it received
  // The caller as the handler sees it: the IRP's requestor mode and
  // bitness, and the process it runs in.
  KPROCESSOR_MODE requestorMode = -1;
  bool irpIs32Bit = false;
  bool currentIs32Bit = false;
  PEPROCESS process = nullptr;
};

// What the fake driver saw, and switches that make it fail.
struct FakeDriver {
  std::mutex lock;
  std::vector<std::string> log;
  std::vector<RecordedRequest> requests;
  std::atomic<int> liveAdapters{0}, liveMiniports{0}, liveStreams{0};
  std::atomic<int> newStreams{0}, positionReads{0};
  PDEVICE_OBJECT fdo = nullptr;
  PPORTWAVECYCLIC port = nullptr;    // not referenced: valid while started
  PSERVICEGROUP serviceGroup = nullptr;  // the miniport's, not referenced
  PMINIPORTWAVECYCLICSTREAM lastStream = nullptr;
  bool failStartAfterPowerRegistration = false;
  bool failRun = false;  // the stream refuses PAUSE -> RUN
  ULONG position = 0;
  // The stream's CopyTo: calls, how deep they nested, calls not made at
  // DISPATCH_LEVEL, and whether it notifies the port from inside (as a
  // driver whose copy completes a transfer does).
  std::atomic<int> copies{0}, copyDepth{0}, maxCopyDepth{0}, copiesNotAtDispatch{0};
  std::atomic<bool> notifyInCopy{false};
  std::thread::id copyThread;  // of the last CopyTo, under `lock`
  // The recording handler writes this many bytes beyond the value buffer (a
  // handler that ignores ValueSize).
  std::atomic<ULONG> valueOverrun{0};
  // The process a stream was destroyed in (pin close), under `lock`.
  PEPROCESS streamClosedIn = nullptr;

  void Add(const std::string& e) {
    std::lock_guard<std::mutex> l(lock);
    log.push_back(e);
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> l(lock);
    return log;
  }
  void ClearLog() {
    std::lock_guard<std::mutex> l(lock);
    log.clear();
    requests.clear();
  }
};

FakeDriver& Driver();
void ResetDriver();

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// A bus's physical device object that succeeds the PnP and power requests
// every bus driver handles, registered as USB\VID_1FA7&PID_4D02&MI_00.
class FakeBus {
 public:
  FakeBus();
  ~FakeBus();
  PDEVICE_OBJECT Pdo() { return &pdo_; }

 private:
  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT pdo_{};
};

}  // namespace fake_audio
