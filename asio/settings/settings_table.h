// The settings the ASIO driver and the control panel share: their ids,
// registry value names, types and sizes, and where they live.
#pragma once

#include "kslib/user_prelude.h"

// Ids of the shared settings (there is no id 5).
enum AsioSettingId : int {
  kAsioSettingUnnamed = 0,       // the key's unnamed value, not used by the driver
  kAsioSettingBufferSize = 1,    // ASIO buffer size in frames
  kAsioSettingSamplingRate = 2,  // sample rate in Hz
  kAsioSettingBitDepth = 3,
  kAsioSettingFormat = 4,
  kAsioSettingSelected = 6,      // instance id of the selected device
  kAsioSettingLock = 7,          // non-zero: the host may not change the rate
  kAsioSettingNotify = 8,
  kAsioSettingStreaming = 9,     // 1 while an ASIO driver runs
};

struct AsioSettingRow {
  int id;
  const WCHAR* valueName;  // L"": the key's unnamed value
  DWORD type;              // REG_SZ, REG_DWORD or REG_BINARY; 0 in the closing row
  DWORD size;              // bytes a read asks for
};

// The table, searched in order (the first row with an id wins) and closed
// by a row of id 0, an empty name and type 0.
extern const AsioSettingRow kAsioSettingTable[];

// The first row with `id`, or null when the table has none.
const AsioSettingRow* FindAsioSetting(int id);

// The largest size of any row (a read's scratch buffer).
constexpr DWORD kAsioSettingMaxSize = 256;

// HKEY_CURRENT_USER key of the settings (64-bit view).
#define VM_ASIO_SETTINGS_KEY L"SOFTWARE\\Velmora\\Velmora ASIO Device"
// HKEY_LOCAL_MACHINE key and value naming the control panel program.
#define VM_ASIO_SETUP_KEY L"SOFTWARE\\Velmora\\Velmora ASIO Device Setup"
#define VM_ASIO_CONTROL_PANEL_VALUE L"ControlPanel"

// Named events: presence (manual reset, signalled while a driver's settings
// watcher runs), settings changed (auto reset), and the one both programs
// hold open and nobody signals.
#define VM_ASIO_PRESENCE_EVENT L"{1a23b247-c9cf-43f5-a7ae-6b1ff4bdb52a}0"
#define VM_ASIO_CHANGED_EVENT L"{1a23b247-c9cf-43f5-a7ae-6b1ff4bdb52a}1"
#define VM_ASIO_KEEP_EVENT L"{24919a8d-2502-49ca-b37b-c348ee6e708c}"
