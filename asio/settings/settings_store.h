// The settings store compiled into the ASIO driver and the control panel:
// reads and writes of the shared settings (the key is created with its
// defaults at the first read), the change notification through named
// events, a driver's set of settings events, and the start of the control
// panel program. Reads and writes open and close the key per call and share
// no state; nothing here throws.
#pragma once

#include "asio/settings/settings_table.h"

// Results of Read and Write.
enum : int {
  kSettingsOk = 0,
  kSettingsBadArgument = -1,   // negative id (driver build), no buffer, length 0 or below the setting's size
  kSettingsOpenFailed = -2,    // the key could not be opened
  kSettingsCreateFailed = -3,  // the key was missing and creating it with its defaults failed
  kSettingsQueryFailed = -4,   // no such value, or stored with another type or size
  kSettingsSetFailed = -5,     // RegSetValueExW failed
};

// The two programs' copies differ only here: the control panel's does not
// refuse a negative id (which then, not being in the table, reads and
// writes nothing).
enum class SettingsBuild { AsioDriver, ControlPanel };

class SettingsStore {
 public:
  explicit SettingsStore(SettingsBuild build = SettingsBuild::AsioDriver) : build_(build) {}
  ~SettingsStore() { CloseEvents(); }
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  // Reads setting `id` into `buffer` (`length` bytes, at least the
  // setting's size). A missing key is first created with the defaults. An
  // id not in the table reads nothing and succeeds. On failure the buffer
  // is left as it was.
  int Read(int id, void* buffer, DWORD length) const;
  // Writes `length` bytes of `data` with the setting's type. Does not
  // create the key. An id not in the table writes nothing and succeeds.
  int Write(int id, const void* data, DWORD length) const;
  // The driver's "streaming" flag: 1 while it runs, else 0.
  int NotifyAsioRunning(bool running) const;

  // Tells running drivers that the settings changed: sets the changed
  // event when some driver's presence event exists (wakes one watcher).
  static void Notify();

  // A driver's settings event set: the held-open event, presence, changed
  // (all named) and an unnamed auto-reset stop event, created in that
  // order. On failure those already created are closed again.
  bool CreateEvents();
  void CloseEvents();
  HANDLE KeepEvent() const { return keep_; }
  HANDLE PresenceEvent() const { return presence_; }
  HANDLE ChangedEvent() const { return changed_; }
  HANDLE StopEvent() const { return stop_; }

  // Starts the program named by HKLM "...\Velmora ASIO Device Setup"
  // "ControlPanel"; with `wait`, returns once it has ended. True whenever
  // the path was read, even if the program could not be started.
  static bool LaunchControlPanel(bool wait);

 private:
  bool RefusesId(int id) const { return id < 0 && build_ == SettingsBuild::AsioDriver; }

  const SettingsBuild build_;
  HANDLE keep_ = nullptr;
  HANDLE presence_ = nullptr;
  HANDLE changed_ = nullptr;
  HANDLE stop_ = nullptr;
};
