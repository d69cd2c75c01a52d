// Host-only API of the in-memory registry behind RtlQueryRegistryValues and
// RtlWriteRegistryValue: tests and tools set and remove values directly.
// Keys are absolute kernel paths ("\Registry\Machine\SOFTWARE\..."),
// compared case-insensitively, as the kernel's registry compares them.
#pragma once

#include <ntdef.h>

#include <cstdint>
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
// Empties the whole registry (between tests).
void RegistryClear();

// Where a registry query of the driver lands for RTL_REGISTRY_* roots.
std::u16string RegistryAbsolutePath(ULONG relativeTo, const std::u16string& path);

}  // namespace platform
