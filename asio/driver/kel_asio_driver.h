// CKelAsioDriver: the ASIO driver object a host creates through the class
// factory and drives through IASIO. It exposes the selected device's
// capture and render channels, opens the kernel driver's pins through the
// kernel-streaming library, creates the shared double buffers through the
// private low-latency property set, runs the buffer-switch thread and
// follows the shared settings through its settings watcher.
//
// The methods live in several files, one job each:
//   kel_asio_driver.cpp        construction, destruction, COM, init and the
//                              configuration, the queries, future, controlPanel
//   asio_driver_rules.cpp      the pure rules (rate list, latencies, channel
//                              names, error names)
//   asio_driver_buffers.cpp    createBuffers, disposeBuffers, getChannelInfo's
//                              active flags, opening pins (pin_format.h)
//   asio_driver_streaming.cpp  start, stop, setSampleRate, changeSamplingRate,
//                              outputReady, pin state changes
//   buffer_switch_thread.cpp   the buffer-switch thread
//   settings_watcher.cpp       the settings watcher thread
#pragma once

#include <mutex>

#include "asio/asio_interface.h"
#include "asio/com/com_base.h"
#include "asio/settings/settings_store.h"
#include "kslib/dev_info.h"

class CKsAudPin;
class CKelAsioDriverTestAccess;

class CKelAsioDriver : public IASIO, public CUnknown {
 public:
  enum State : ULONG { kLoaded = 0, kInitialized = 1, kPrepared = 2, kRunning = 3 };

  // The class table's creation function: null when the process already
  // has its instance.
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* result);
  // The process's instance, or null.
  static CKelAsioDriver* Instance();

  explicit CKelAsioDriver(IUnknown* outer);
  ~CKelAsioDriver() override;

  // IUnknown, forwarded to the outer unknown.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // Answers the driver's class identifier with IASIO.
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IASIO
  ASIOBool init(void* sysHandle) override;
  void getDriverName(char* name) override;
  LONG getDriverVersion() override;
  void getErrorMessage(char* string) override;
  ASIOError start() override;
  ASIOError stop() override;
  ASIOError getChannels(LONG* numInputChannels, LONG* numOutputChannels) override;
  ASIOError getLatencies(LONG* inputLatency, LONG* outputLatency) override;
  ASIOError getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize, LONG* granularity) override;
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getClockSources(ASIOClockSource* clocks, LONG* numSources) override;
  ASIOError setClockSource(LONG reference) override;
  ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
  ASIOError getChannelInfo(ASIOChannelInfo* info) override;
  ASIOError createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                          ASIOCallbacks* callbacks) override;
  ASIOError disposeBuffers() override;
  ASIOError controlPanel() override;
  ASIOError future(LONG selector, void* opt) override;
  ASIOError outputReady() override;

  // Writes the "streaming" setting (1 or 0).
  void NotifyAsioRunning(bool running);
  // Recomputes latency and bufferBytes from bufferSize, sampleRate and the
  // sample type.
  void ChangeSettings();
  // Reformats the open pins to `rate`; false while Running or when a pin
  // refuses the format.
  bool changeSamplingRate(ULONG rate);

 private:
  friend class CKelAsioDriverTestAccess;

  // kel_asio_driver.cpp
  void LoadConfiguration();
  void ReadDeviceSettings();
  void TakeEntryRanges(const DeviceListEntry* entry);
  bool InRateList(ULONG rate) const;

  // asio_driver_buffers.cpp
  // Opens the capture (render) pin for the direction's full channel count:
  // 32-bit containers first, then the other width.
  CKsAudPin* OpenPin(bool capture);
  // SET then GET KSPROPERTY_ASIO_BUFFERS on `pin` for the infos of one
  // direction; fills their buffers[] and returns the header's client
  // address (null on failure).
  AsioSharedHeader* CreateSharedBuffers(CKsAudPin* pin, ASIOBufferInfo* infos, LONG numInfos, bool inputs,
                                        ULONG count);
  void ReleaseBuffers();  // pins, kernel event, arrays (createBuffers' failure path, disposeBuffers)

  // asio_driver_streaming.cpp
  // Up to 10 attempts of ChangeState + ReadState until the pin reports `state`.
  bool SetPinState(CKsAudPin* pin, KSSTATE state);
  void ClosePins();
  // The calling thread is the buffer-switch thread (a host call from inside
  // one of its callbacks).
  bool OnBufferSwitchThread() const;

  // buffer_switch_thread.cpp
  void StartBufferSwitchThread();
  void StopBufferSwitchThread();  // waits up to 1000 ms; keeps the handle on a time-out
  static DWORD WINAPI BufferSwitchThreadProc(LPVOID self);
  void BufferSwitchLoop();
  void BufferSwitchIteration();
  void CallHost();
  void TimeInfoSwitch();
  void TakeSystemTime();

  // settings_watcher.cpp
  bool StartSettingsWatcher();  // the settings events exist (init)
  void StopSettingsWatcher();
  static DWORD WINAPI SettingsWatcherProc(LPVOID self);
  DWORD SettingsWatcherLoop();
  void OnSettingsChanged();

  ASIOIoFormat m_ioFormat;
  CDevInfo m_devices;
  // The device list and the settings loaded with it (preferredSize,
  // sampleRate, selectedId) are rebuilt on the host's threads (init,
  // createBuffers, future) and compared, taken over and re-selected on the
  // settings watcher's: one at a time, or the watcher would select in a
  // list being freed.
  std::recursive_mutex m_devicesLock;
  ULONG m_lock = 0;
  ULONG m_notify = 0;
  ULONG m_latency = 0;
  ULONG m_preferredSize = 2048;
  ULONG m_sampleRate = 0;
  WCHAR m_selectedId[128] = {};
  SettingsStore m_settings;
  USHORT m_numInputs = 0;
  USHORT m_numOutputs = 0;
  USHORT m_containerBits = 32;
  USHORT m_containerBytes = 4;
  ULONG m_sampleType = ASIOSTInt32LSB;
  ULONG m_minRate = 0;
  ULONG m_maxRate = 0;
  ULONG m_bufferSize = 0;
  ULONG m_bufferBytes = 0;
  ULONG* m_inputUsed = nullptr;
  ULONG* m_outputUsed = nullptr;
  ULONG m_activeInputs = 0;
  ULONG m_activeOutputs = 0;
  volatile ULONG m_bufferIndex = 0;
  LONG m_lastIndex = -1;
  volatile ULONG m_state = kLoaded;
  ULONG m_configChanged = 0;
  ASIOCallbacks* m_callbacks = nullptr;
  char m_errorText[128] = {};
  double m_samplePosition = 0;
  ASIOTimeStamp m_systemTime = {0, 0};
  ASIOTime m_asioTime;
  ULONG m_timeInfoMode = 0;
  ULONG m_timeCodeRead = 0;
  ULONG m_preroll = 0;
  volatile LONG m_threadRunning = 0;
  HANDLE m_bufferSwitchThread = nullptr;
  // Its thread id while the handle is held, so a stop from inside a host
  // callback on that thread does not wait for itself (atomic accesses).
  DWORD m_bufferSwitchThreadId = 0;
  volatile LONG m_stopRequest = 0;  // 0 after start, 1 set by stop, 2 once the thread saw it
  HANDLE m_stopEvent = nullptr;
  HANDLE m_apiMutex = nullptr;
  HANDLE m_kernelEvent = nullptr;
  HANDLE m_waitList[2] = {nullptr, nullptr};
  HANDLE m_settingsThread = nullptr;
  ULONG m_pendingRate = 0;
  CKsAudPin* m_capturePin = nullptr;
  CKsAudPin* m_renderPin = nullptr;
  AsioSharedHeader* m_inputHeader = nullptr;
  AsioSharedHeader* m_outputHeader = nullptr;
};
