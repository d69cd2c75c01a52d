// The settings watcher: a thread of the driver object from init until its
// destruction. It marks that a driver listens (the presence event, which
// makes the control panel's notification set the changed event) and, on
// each change, compares the stored buffer size, sample rate and selected
// device with the driver's. A host holding buffers is asked to reset when
// the buffer size or the device changed; otherwise the changes are taken
// over at once.
#include "asio/driver/kel_asio_driver.h"

#include <cstring>

#include "asio/asio_trace.h"

namespace {

constexpr DWORD kFailedWaitBackOffMs = 50;

// One stored setting read for comparison: `changed` when it differs from
// the driver's first `compareBytes` bytes or could not be read; `valid`
// when `value` holds what is stored.
struct StoredSetting {
  BYTE value[kAsioSettingMaxSize];
  bool valid;
  bool changed;
};

void ReadAndCompare(const SettingsStore& store, int id, const void* current, size_t compareBytes, StoredSetting* out) {
  const AsioSettingRow* row = FindAsioSetting(id);
  const DWORD size = row != nullptr && row->size <= sizeof(out->value) ? row->size : sizeof(out->value);
  std::memset(out->value, 0, sizeof(out->value));
  out->valid = store.Read(id, out->value, size) == kSettingsOk;
  if (compareBytes > size) compareBytes = size;
  out->changed = !out->valid || std::memcmp(out->value, current, compareBytes) != 0;
}

}  // namespace

bool CKelAsioDriver::StartSettingsWatcher() {
  m_settingsThread = CreateThread(nullptr, 0, SettingsWatcherProc, this, 0, nullptr);
  if (m_settingsThread == nullptr) {
    AsioTrace(kAsioTraceError, "SettingsWatcher: CreateThread failed (%lu)\n",
              static_cast<unsigned long>(GetLastError()));
    return false;
  }
  return true;
}

void CKelAsioDriver::StopSettingsWatcher() {
  if (m_settingsThread == nullptr) return;
  HANDLE stop = m_settings.StopEvent();
  if (stop != nullptr) {
    SetEvent(stop);
    WaitForSingleObject(m_settingsThread, INFINITE);
  } else {
    // Without its stop event the watcher cannot be asked to end.
    TerminateThread(m_settingsThread, 0);
  }
  CloseHandle(m_settingsThread);
  m_settingsThread = nullptr;
}

DWORD WINAPI CKelAsioDriver::SettingsWatcherProc(LPVOID self) {
  return static_cast<CKelAsioDriver*>(self)->SettingsWatcherLoop();
}

DWORD CKelAsioDriver::SettingsWatcherLoop() {
  HANDLE presence = m_settings.PresenceEvent();
  HANDLE changed = m_settings.ChangedEvent();
  HANDLE stop = m_settings.StopEvent();
  if (presence == nullptr || changed == nullptr || stop == nullptr) {
    AsioTrace(kAsioTraceError, "SettingsWatcher: settings events missing, ending\n");
    return static_cast<DWORD>(-1);
  }
  SetEvent(presence);
  // The changed event first: a change notified before the stop is still
  // handled (a wait on both returns the lower index).
  const HANDLE waits[2] = {changed, stop};
  for (;;) {
    const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (waited == WAIT_OBJECT_0 + 1) {
      // Shared by every driver: the first watcher to stop clears it.
      ResetEvent(presence);
      return 0;
    }
    if (waited == WAIT_OBJECT_0) {
      OnSettingsChanged();
      continue;
    }
    AsioTrace(kAsioTraceError, "SettingsWatcher: wait failed (%lu)\n", static_cast<unsigned long>(GetLastError()));
    Sleep(kFailedWaitBackOffMs);
  }
}

void CKelAsioDriver::OnSettingsChanged() {
  // The members compared and taken over here are the ones a host thread's
  // configuration load writes: compare and take over in one turn.
  std::unique_lock<std::recursive_mutex> devices(m_devicesLock);
  StoredSetting size;
  StoredSetting rate;
  StoredSetting selected;
  ReadAndCompare(m_settings, kAsioSettingBufferSize, &m_preferredSize, sizeof(m_preferredSize), &size);
  ReadAndCompare(m_settings, kAsioSettingSamplingRate, &m_sampleRate, sizeof(m_sampleRate), &rate);
  // The id with its terminator: a stored id that only extends the driver's
  // (or any id while the driver has none) is a change too.
  const size_t maxChars = sizeof(m_selectedId) / sizeof(m_selectedId[0]) - 1;
  size_t idChars = 0;
  while (idChars < maxChars && m_selectedId[idChars] != 0) ++idChars;
  ReadAndCompare(m_settings, kAsioSettingSelected, m_selectedId, (idChars + 1) * sizeof(WCHAR), &selected);
  if (!size.changed && !rate.changed && !selected.changed) return;
  AsioTrace(kAsioTraceInfo, "SettingsWatcher: changed:%s%s%s\n", size.changed ? " buffer_size" : "",
            rate.changed ? " sampling_rate" : "", selected.changed ? " selected" : "");

  const ASIOCallbacks* callbacks = m_callbacks;
  if (callbacks != nullptr && (size.changed || selected.changed)) {
    // The host holds buffers of the old size or device: it must start over.
    // The host is called without the lock: it may call back into the driver.
    devices.unlock();
    AsioTrace(kAsioTraceWarning, "SettingsWatcher: reset request\n");
    if (callbacks->asioMessage != nullptr) callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    return;
  }
  // A setting that could not be read leaves the member as it was.
  if (size.changed && size.valid) std::memcpy(&m_preferredSize, size.value, sizeof(m_preferredSize));
  if (rate.changed && rate.valid) std::memcpy(&m_sampleRate, rate.value, sizeof(m_sampleRate));
  if (selected.changed && selected.valid) {
    std::memcpy(m_selectedId, selected.value, sizeof(m_selectedId));
    m_selectedId[sizeof(m_selectedId) / sizeof(m_selectedId[0]) - 1] = 0;
    if (!m_devices.setCurrentSelectedByListedInstanceId(m_selectedId)) {
      AsioTrace(kAsioTraceWarning, "SettingsWatcher: the selected device is not in the device list\n");
    }
  }
  if (size.changed || rate.changed) ChangeSettings();
}
