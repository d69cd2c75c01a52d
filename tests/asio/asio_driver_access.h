// Test access to the ASIO driver object's members and private steps (the
// class names CKelAsioDriverTestAccess its friend), so the buffer-switch
// thread, the settings watcher and the rules can be driven on their own.
#pragma once

#include "asio/driver/kel_asio_driver.h"

class CKelAsioDriverTestAccess {
 public:
#define VM_ASIO_TEST_MEMBER(name, member) \
  static auto& name(CKelAsioDriver& d) { return d.member; }
  VM_ASIO_TEST_MEMBER(IoFormat, m_ioFormat)
  VM_ASIO_TEST_MEMBER(Devices, m_devices)
  VM_ASIO_TEST_MEMBER(DevicesLock, m_devicesLock)
  VM_ASIO_TEST_MEMBER(Lock, m_lock)
  VM_ASIO_TEST_MEMBER(Notify, m_notify)
  VM_ASIO_TEST_MEMBER(Latency, m_latency)
  VM_ASIO_TEST_MEMBER(PreferredSize, m_preferredSize)
  VM_ASIO_TEST_MEMBER(SampleRate, m_sampleRate)
  VM_ASIO_TEST_MEMBER(SelectedId, m_selectedId)
  VM_ASIO_TEST_MEMBER(Settings, m_settings)
  VM_ASIO_TEST_MEMBER(NumInputs, m_numInputs)
  VM_ASIO_TEST_MEMBER(NumOutputs, m_numOutputs)
  VM_ASIO_TEST_MEMBER(ContainerBits, m_containerBits)
  VM_ASIO_TEST_MEMBER(ContainerBytes, m_containerBytes)
  VM_ASIO_TEST_MEMBER(SampleType, m_sampleType)
  VM_ASIO_TEST_MEMBER(MinRate, m_minRate)
  VM_ASIO_TEST_MEMBER(MaxRate, m_maxRate)
  VM_ASIO_TEST_MEMBER(BufferSize, m_bufferSize)
  VM_ASIO_TEST_MEMBER(BufferBytes, m_bufferBytes)
  VM_ASIO_TEST_MEMBER(InputUsed, m_inputUsed)
  VM_ASIO_TEST_MEMBER(OutputUsed, m_outputUsed)
  VM_ASIO_TEST_MEMBER(ActiveInputs, m_activeInputs)
  VM_ASIO_TEST_MEMBER(ActiveOutputs, m_activeOutputs)
  VM_ASIO_TEST_MEMBER(BufferIndex, m_bufferIndex)
  VM_ASIO_TEST_MEMBER(LastIndex, m_lastIndex)
  VM_ASIO_TEST_MEMBER(State, m_state)
  VM_ASIO_TEST_MEMBER(ConfigChanged, m_configChanged)
  VM_ASIO_TEST_MEMBER(Callbacks, m_callbacks)
  VM_ASIO_TEST_MEMBER(ErrorText, m_errorText)
  VM_ASIO_TEST_MEMBER(SamplePosition, m_samplePosition)
  VM_ASIO_TEST_MEMBER(SystemTime, m_systemTime)
  VM_ASIO_TEST_MEMBER(AsioTime, m_asioTime)
  VM_ASIO_TEST_MEMBER(TimeInfoMode, m_timeInfoMode)
  VM_ASIO_TEST_MEMBER(TimeCodeRead, m_timeCodeRead)
  VM_ASIO_TEST_MEMBER(Preroll, m_preroll)
  VM_ASIO_TEST_MEMBER(ThreadRunning, m_threadRunning)
  VM_ASIO_TEST_MEMBER(BufferSwitchThread, m_bufferSwitchThread)
  VM_ASIO_TEST_MEMBER(StopRequest, m_stopRequest)
  VM_ASIO_TEST_MEMBER(StopEvent, m_stopEvent)
  VM_ASIO_TEST_MEMBER(ApiMutex, m_apiMutex)
  VM_ASIO_TEST_MEMBER(KernelEvent, m_kernelEvent)
  VM_ASIO_TEST_MEMBER(WaitList, m_waitList)
  VM_ASIO_TEST_MEMBER(SettingsThread, m_settingsThread)
  VM_ASIO_TEST_MEMBER(PendingRate, m_pendingRate)
  VM_ASIO_TEST_MEMBER(CapturePin, m_capturePin)
  VM_ASIO_TEST_MEMBER(RenderPin, m_renderPin)
  VM_ASIO_TEST_MEMBER(InputHeader, m_inputHeader)
  VM_ASIO_TEST_MEMBER(OutputHeader, m_outputHeader)
#undef VM_ASIO_TEST_MEMBER

  static void StartBufferSwitchThread(CKelAsioDriver& d) { d.StartBufferSwitchThread(); }
  static void StopBufferSwitchThread(CKelAsioDriver& d) { d.StopBufferSwitchThread(); }
  static void BufferSwitchIteration(CKelAsioDriver& d) { d.BufferSwitchIteration(); }
  static bool StartSettingsWatcher(CKelAsioDriver& d) { return d.StartSettingsWatcher(); }
  static void StopSettingsWatcher(CKelAsioDriver& d) { d.StopSettingsWatcher(); }
  static void LoadConfiguration(CKelAsioDriver& d) { d.LoadConfiguration(); }
};
