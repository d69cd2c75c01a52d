// Host-only API of the registry the Win32 stand-ins and the kernel share:
// saving it to and loading it from a text file (for the tools), resetting it
// between tests, and where HKEY_CURRENT_USER lives.
//
// File format (UTF-8 text, one item per line; '\r' before a line end is
// ignored):
//   ; a comment            lines starting with ';' and blank lines are skipped
//   [\Registry\Machine\SOFTWARE\ASIO]
//                          a key (absolute kernel path); the values below
//                          belong to it; an empty key is kept
//   "Name"=00000001:41004200
//                          a value: its name in quotes ("" is the unnamed
//                          value), its type as 8 hex digits and its bytes as
//                          hex, two digits a byte (nothing after ':' for none)
// In paths and names, '%', '"', '[', ']' and every character outside
// printable ASCII are written %XXXX: one UTF-16 code unit as 4 hex digits, so
// any name survives. A save followed by a load gives the same keys (spelled
// the same), values, types and bytes.
#pragma once

#include <cstddef>
#include <string>

namespace platform {
struct ClientProcess;
}

namespace platform::win32 {

// Key handles `process` holds (the predefined roots not counted), for leak
// checks.
size_t OpenRegistryKeyHandles(const ClientProcess* process);

// Writes every key and value to `path`; false and *error on failure.
bool SaveRegistry(const std::string& path, std::string* error);
// Adds the file's keys and values to the registry (a value of the same name
// is replaced); nothing changes when the file is malformed: false and
// *error = "FILE:LINE: reason".
bool LoadRegistry(const std::string& path, std::string* error);

// The same for text in memory (error messages start with "line N: ").
std::string RegistryToText();
bool RegistryFromText(const std::string& text, std::string* error);

// Empties the registry (pending notifications complete); handles still open
// then name deleted keys.
void ResetRegistry();

// "\Registry\User\<the current user's SID>", what HKEY_CURRENT_USER opens.
std::u16string CurrentUserRegistryPath();

}  // namespace platform::win32
