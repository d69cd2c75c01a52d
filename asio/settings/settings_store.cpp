// Read and Write of the shared settings, and the key's defaults.
#include "asio/settings/settings_store.h"

#include <string.h>

namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;

// One default value written when the key is new.
struct DefaultValue {
  int id;
  DWORD value;  // little-endian bytes; "selected" is all zeros
};

// The order the defaults are written in ("format" twice, as both programs
// always have).
const DefaultValue kDefaults[] = {
    {kAsioSettingSelected, 0},    {kAsioSettingBufferSize, 2048}, {kAsioSettingSamplingRate, 44100},
    {kAsioSettingBitDepth, 16},   {kAsioSettingFormat, 0},        {kAsioSettingFormat, 0},
    {kAsioSettingLock, 0},        {kAsioSettingNotify, 0},
};

// Creates the key; only a newly created key gets the defaults. False when
// the key cannot be created or a write fails (the first failure ends it).
bool CreateDefaults() {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE | kView, nullptr, &key, &disposition) != ERROR_SUCCESS)
    return false;
  bool ok = true;
  if (disposition == REG_CREATED_NEW_KEY) {
    for (const DefaultValue& d : kDefaults) {
      const AsioSettingRow* row = FindAsioSetting(d.id);
      BYTE bytes[kAsioSettingMaxSize] = {};
      bytes[0] = static_cast<BYTE>(d.value);
      bytes[1] = static_cast<BYTE>(d.value >> 8);
      bytes[2] = static_cast<BYTE>(d.value >> 16);
      bytes[3] = static_cast<BYTE>(d.value >> 24);
      if (RegSetValueExW(key, row->valueName, 0, row->type, bytes, row->size) != ERROR_SUCCESS) {
        ok = false;
        break;
      }
    }
  }
  RegCloseKey(key);
  return ok;
}

// What a query returned is a whole value of the row: numbers and flags
// exactly their size, text terminated within it. Anything else (a value
// someone else wrote) would hand the caller stale or unterminated bytes.
// `bytes` holds the row's size, zero after what the query returned.
bool IsWholeValue(const AsioSettingRow& row, const BYTE* bytes, DWORD returned) {
  if (row.type != REG_SZ) return returned == row.size;
  for (DWORD at = 0; at + 1 < row.size; at += 2) {
    if (bytes[at] == 0 && bytes[at + 1] == 0) return true;
  }
  return false;
}

}  // namespace

int SettingsStore::Read(int id, void* buffer, DWORD length) const {
  if (RefusesId(id) || buffer == nullptr || length == 0) return kSettingsBadArgument;
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, KEY_READ | kView, &key);
  if (status == ERROR_FILE_NOT_FOUND) {
    if (!CreateDefaults()) return kSettingsCreateFailed;
    status = RegOpenKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, KEY_READ | kView, &key);
  }
  if (status != ERROR_SUCCESS) return kSettingsOpenFailed;

  int result = kSettingsOk;
  const AsioSettingRow* row = FindAsioSetting(id);
  if (row != nullptr) {
    if (length < row->size) {
      result = kSettingsBadArgument;
    } else {
      // Queried into scratch space first, so a refused value leaves the
      // caller's buffer as it was; text is handed over zero-padded.
      BYTE scratch[kAsioSettingMaxSize] = {};
      DWORD type = 0;
      DWORD returned = row->size;
      status = RegQueryValueExW(key, row->valueName, nullptr, &type, scratch, &returned);
      if (status != ERROR_SUCCESS || type != row->type || !IsWholeValue(*row, scratch, returned))
        result = kSettingsQueryFailed;
      else
        memcpy(buffer, scratch, row->size);
    }
  }
  RegCloseKey(key);
  return result;
}

int SettingsStore::Write(int id, const void* data, DWORD length) const {
  if (RefusesId(id) || data == nullptr || length == 0) return kSettingsBadArgument;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, KEY_WRITE | kView, &key) != ERROR_SUCCESS)
    return kSettingsOpenFailed;
  int result = kSettingsOk;
  const AsioSettingRow* row = FindAsioSetting(id);
  if (row != nullptr &&
      RegSetValueExW(key, row->valueName, 0, row->type, static_cast<const BYTE*>(data), length) != ERROR_SUCCESS)
    result = kSettingsSetFailed;
  RegCloseKey(key);
  return result;
}

int SettingsStore::NotifyAsioRunning(bool running) const {
  const DWORD flag = running ? 1 : 0;
  return Write(kAsioSettingStreaming, &flag, sizeof flag);
}
