// Host-only API of the in-memory registry behind RtlQueryRegistryValues and
// RtlWriteRegistryValue, and behind the Win32 registry of the client
// processes (one store): tests and tools set and remove values directly.
// Keys are absolute kernel paths ("\Registry\Machine\SOFTWARE\..."),
// compared case-insensitively, as the kernel's registry compares them.
#pragma once

#include <ntdef.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

struct RegistryValue {
  ULONG type = 0;  // REG_*
  std::vector<uint8_t> data;
};

// Creates the key (and its parents) when missing; replaces an existing value.
void RegistrySetValue(const std::u16string& key, const std::u16string& name, ULONG type, const void* data,
                      size_t length);
void RegistrySetDword(const std::u16string& key, const std::u16string& name, uint32_t value);
// A REG_SZ value: the text and its terminating null.
void RegistrySetString(const std::u16string& key, const std::u16string& name, const std::u16string& value);
// Returns false when the value (or its key) does not exist.
bool RegistryGetValue(const std::u16string& key, const std::u16string& name, RegistryValue* value);
bool RegistryDeleteValue(const std::u16string& key, const std::u16string& name);
// Deletes the key with all its values and subkeys.
bool RegistryDeleteKey(const std::u16string& key);
bool RegistryKeyExists(const std::u16string& key);
// Empties the whole registry (between tests); pending watches fire.
void RegistryClear();

// Keys as objects, for the Win32 registry on this store. A key id names one
// key for its whole life: a key deleted and created again is another key, so
// a handle to the old one sees it gone (kKeyDeleted). Key paths keep the
// spelling of their components at creation.
enum class RegistryStatus { kSuccess, kNotFound, kKeyDeleted, kHasSubkeys };
// The key's id, or 0 when there is no such key.
uint64_t RegistryOpenKey(const std::u16string& key);
// Creates the key and missing parents; *created tells whether the key itself
// is new. Returns its id.
uint64_t RegistryCreateKey(const std::u16string& key, bool* created);
// The key's path as spelled; empty once the key is deleted.
std::u16string RegistryKeyPath(uint64_t keyId);
RegistryStatus RegistryKeySetValue(uint64_t keyId, const std::u16string& name, ULONG type, const void* data,
                                   size_t length);
RegistryStatus RegistryKeyGetValue(uint64_t keyId, const std::u16string& name, RegistryValue* value);
RegistryStatus RegistryKeyDeleteValue(uint64_t keyId, const std::u16string& name);
// Subkey names in case-insensitive order (the order Windows enumerates).
RegistryStatus RegistryKeySubkeys(uint64_t keyId, std::vector<std::u16string>* names);
// Values (name as spelled, value) in case-insensitive name order.
RegistryStatus RegistryKeyValues(uint64_t keyId, std::vector<std::pair<std::u16string, RegistryValue>>* values);
// Deletes the key unless it has subkeys (kHasSubkeys).
RegistryStatus RegistryDeleteLeafKey(const std::u16string& key);

// Change notifications: a watch on a key fires once, on the next change its
// filter selects (kRegistryNameChange: a subkey added or deleted;
// kRegistryValueChange: a value set or deleted) on the key or, with
// `subtree`, anywhere below it, and when the key itself is deleted. `fire`
// runs after the change is visible, outside the registry's lock, on the
// thread that made the change. Returns the watch id, or 0 when the key is gone.
constexpr ULONG kRegistryNameChange = 0x1;   // REG_NOTIFY_CHANGE_NAME
constexpr ULONG kRegistryValueChange = 0x4;  // REG_NOTIFY_CHANGE_LAST_SET
uint64_t RegistryWatchKey(uint64_t keyId, bool subtree, ULONG filter, std::function<void()> fire);
// Completes a pending watch now (its handle closed): runs `fire` and returns
// true; false when it has already fired.
bool RegistryCompleteWatch(uint64_t watchId);
bool RegistryWatchPending(uint64_t watchId);
// Waits until at least `count` watches are pending (a test's sign that a
// watcher thread is armed); false after `timeoutMs`.
bool RegistryWaitForPendingWatches(size_t count, uint32_t timeoutMs);
size_t RegistryPendingWatches();

// Every key (parents before children, path as spelled) with its values, for
// saving the registry to a file.
struct RegistryKeyContents {
  std::u16string path;
  std::vector<std::pair<std::u16string, RegistryValue>> values;
};
std::vector<RegistryKeyContents> RegistrySnapshot();

// Where a registry query of the driver lands for RTL_REGISTRY_* roots.
std::u16string RegistryAbsolutePath(ULONG relativeTo, const std::u16string& path);

}  // namespace platform
