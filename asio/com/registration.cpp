// Self-registration: the class key under HKEY_CLASSES_ROOT that COM
// resolves to this DLL, and the entry under HKEY_LOCAL_MACHINE
// "SOFTWARE\ASIO" through which hosts list the driver. Registry changes made
// before an error stay (regsvr32 only reports the failure).
#include "asio/com/registration.h"

#include <vector>

namespace {

// A terminated UTF-16 string. Not std::wstring: the host build's 16-bit
// wchar_t does not match its C library's wide-string functions.
using Text = std::vector<WCHAR>;

void Append(Text* text, LPCWSTR tail) {
  if (!text->empty() && text->back() == 0) text->pop_back();
  for (; *tail != 0; ++tail) text->push_back(*tail);
  text->push_back(0);
}

// "head\tail".
Text Join(LPCWSTR head, LPCWSTR tail) {
  Text text;
  Append(&text, head);
  Append(&text, L"\\");
  Append(&text, tail);
  return text;
}

bool SameText(LPCWSTR a, LPCWSTR b) {
  for (; *a != 0 && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

constexpr DWORD kPathChars = 360;
constexpr DWORD kClsidChars = 100;
constexpr DWORD kKeyNameChars = 256;  // a registry key name has at most 255
const WCHAR kAsioKey[] = L"SOFTWARE\\ASIO";
const WCHAR kInprocServer[] = L"InprocServer32";

// Only A-Z: both sides of the path comparison go through the same rule,
// whatever the system's case mapping.
void LowerCase(WCHAR* text) {
  for (; *text != 0; ++text) {
    if (*text >= L'A' && *text <= L'Z') *text = static_cast<WCHAR>(*text - L'A' + L'a');
  }
}

// The module's lower-cased path and the class identifier's text.
LONG ModulePathAndClsid(const CLSID& clsid, LPCWSTR moduleName, WCHAR (&path)[kPathChars],
                        WCHAR (&clsidText)[kClsidChars]) {
  HMODULE module = GetModuleHandleW(moduleName);
  if (module == nullptr) return kRegisterNoModule;
  const DWORD length = GetModuleFileNameW(module, path, kPathChars);
  // A path cut to the buffer would register a file that does not exist.
  if (length == 0 || length >= kPathChars) return kRegisterNoModulePath;
  path[length] = 0;
  LowerCase(path);

  LPOLESTR text = nullptr;
  if (FAILED(StringFromCLSID(clsid, &text)) || text == nullptr) return kRegisterNoClsidText;
  const HRESULT copied = StringCchCopyW(clsidText, kClsidChars, text);
  CoTaskMemFree(text);
  if (FAILED(copied)) return kRegisterClsidTooLong;
  return 0;
}

bool KeyExists(HKEY root, LPCWSTR subKey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The key's default value as a string, whether or not it was stored with
// its terminator; empty when it is missing, not a string or too long for a
// module path.
Text DefaultString(HKEY root, LPCWSTR subKey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return Text(1, 0);
  WCHAR text[kPathChars + 1] = {};
  DWORD type = 0;
  DWORD bytes = kPathChars * sizeof(WCHAR);  // the last unit stays a terminator
  const LONG status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return Text(1, 0);
  // Up to the first terminator, or all of it when it has none.
  Text result;
  for (DWORD i = 0; i < bytes / sizeof(WCHAR) && text[i] != 0; ++i) result.push_back(text[i]);
  result.push_back(0);
  return result;
}

// Opens `parent` (created when missing: a bare registry has no "CLSID"
// either) and creates `child` below it; an existing child is opened.
LONG CreateSubKey(HKEY root, LPCWSTR parent, LPCWSTR child, HKEY* created) {
  HKEY parentKey = nullptr;
  LONG status = RegCreateKeyExW(root, parent, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY,
                                nullptr, &parentKey, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegCreateKeyExW(parentKey, child, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                           created, nullptr);
  RegCloseKey(parentKey);
  return status;
}

// A string value stored with `bytes` bytes.
LONG SetString(HKEY key, LPCWSTR name, LPCWSTR text, DWORD bytes) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

DWORD BytesWithTerminator(LPCWSTR text) { return static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR)); }

// Step 4: the class key with its friendly name, the module path and the
// threading model.
LONG WriteClassKey(LPCWSTR clsidText, LPCWSTR path, LPCWSTR friendlyName, LPCWSTR threadingModel) {
  HKEY classKey = nullptr;
  LONG status = CreateSubKey(HKEY_CLASSES_ROOT, L"CLSID", clsidText, &classKey);
  if (status != ERROR_SUCCESS) return status;
  status = SetString(classKey, nullptr, friendlyName, BytesWithTerminator(friendlyName));
  RegCloseKey(classKey);
  if (status != ERROR_SUCCESS) return status;

  HKEY serverKey = nullptr;
  status = CreateSubKey(HKEY_CLASSES_ROOT, Join(L"CLSID", clsidText).data(), kInprocServer, &serverKey);
  if (status != ERROR_SUCCESS) return status;
  status = SetString(serverKey, nullptr, path, BytesWithTerminator(path));
  if (status == ERROR_SUCCESS) {
    status = SetString(serverKey, L"ThreadingModel", threadingModel, BytesWithTerminator(threadingModel));
  }
  RegCloseKey(serverKey);
  return status;
}

// Step 5: the ASIO entry, written afresh. Its strings carry their
// terminator, as RegSetValueExW requires for REG_SZ: a host that reads
// "CLSID" into a buffer it did not clear would otherwise parse whatever
// followed the identifier, and fail to find the driver.
LONG WriteAsioKey(LPCWSTR clsidText, LPCWSTR description) {
  const Text entry = Join(kAsioKey, description);
  if (KeyExists(HKEY_LOCAL_MACHINE, entry.data())) {
    const LONG status = DeleteRegistryTree(HKEY_LOCAL_MACHINE, entry.data());
    if (status != ERROR_SUCCESS) return status;
  }
  HKEY key = nullptr;
  LONG status = CreateSubKey(HKEY_LOCAL_MACHINE, kAsioKey, description, &key);
  if (status != ERROR_SUCCESS) return status;
  status = SetString(key, L"CLSID", clsidText, BytesWithTerminator(clsidText));
  if (status == ERROR_SUCCESS) {
    status = SetString(key, L"Description", description, BytesWithTerminator(description));
  }
  RegCloseKey(key);
  return status;
}

// Every key below `subKey`, parents before their children.
LONG CollectSubKeys(HKEY root, LPCWSTR subKey, std::vector<Text>* keys) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(root, subKey, 0, KEY_ENUMERATE_SUB_KEYS, &key);
  if (status != ERROR_SUCCESS) return status;
  std::vector<Text> children;
  for (DWORD index = 0;; ++index) {
    WCHAR name[kKeyNameChars];
    DWORD chars = kKeyNameChars;
    status = RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      RegCloseKey(key);
      return status;
    }
    name[chars < kKeyNameChars ? chars : kKeyNameChars - 1] = 0;
    children.push_back(Join(subKey, name));
  }
  RegCloseKey(key);
  for (const Text& child : children) {
    keys->push_back(child);
    status = CollectSubKeys(root, child.data(), keys);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

}  // namespace

LONG DeleteRegistryTree(HKEY root, LPCWSTR subKey) {
  std::vector<Text> keys;
  LONG status = CollectSubKeys(root, subKey, &keys);
  if (status != ERROR_SUCCESS) return status;
  // Children were collected after their parents: the reverse order deletes
  // the deepest keys first.
  for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
    status = RegDeleteKeyW(root, key->data());
    if (status != ERROR_SUCCESS) return status;
  }
  return RegDeleteKeyW(root, subKey);
}

LONG RegisterAsioDriver(const CLSID& clsid, LPCWSTR moduleName, LPCWSTR friendlyName, LPCWSTR description,
                        LPCWSTR threadingModel) {
  WCHAR path[kPathChars];
  WCHAR clsidText[kClsidChars];
  LONG status = ModulePathAndClsid(clsid, moduleName, path, clsidText);
  if (status != 0) return status;

  // The class key stays as it is when it already names this file;
  // registered from elsewhere, it is replaced as a whole.
  const Text classKey = Join(L"CLSID", clsidText);
  bool writeClassKey = true;
  if (KeyExists(HKEY_CLASSES_ROOT, classKey.data())) {
    Text registered = DefaultString(HKEY_CLASSES_ROOT, Join(classKey.data(), kInprocServer).data());
    LowerCase(registered.data());
    if (SameText(registered.data(), path)) {
      writeClassKey = false;
    } else {
      status = DeleteRegistryTree(HKEY_CLASSES_ROOT, classKey.data());
      if (status != ERROR_SUCCESS) return status;
    }
  }
  if (writeClassKey) {
    status = WriteClassKey(clsidText, path, friendlyName, threadingModel);
    if (status != ERROR_SUCCESS) return status;
  }
  return WriteAsioKey(clsidText, description);
}

LONG UnregisterAsioDriver(const CLSID& clsid, LPCWSTR moduleName, LPCWSTR description) {
  WCHAR path[kPathChars];
  WCHAR clsidText[kClsidChars];
  LONG status = ModulePathAndClsid(clsid, moduleName, path, clsidText);
  if (status != 0) return status;

  const Text classKey = Join(L"CLSID", clsidText);
  if (KeyExists(HKEY_CLASSES_ROOT, classKey.data())) {
    status = DeleteRegistryTree(HKEY_CLASSES_ROOT, classKey.data());
    if (status != ERROR_SUCCESS) return status;
  }
  const Text entry = Join(kAsioKey, description);
  if (KeyExists(HKEY_LOCAL_MACHINE, entry.data())) return DeleteRegistryTree(HKEY_LOCAL_MACHINE, entry.data());
  return ERROR_SUCCESS;
}
