// The settings store's reads and writes against the registry stand-in: the
// key created with its defaults at the first read, the result codes, values
// of another type or size, and the two programs' handling of negative ids.
#include <functional>

#include "tests/asio/settings_fixture.h"

namespace {

const std::u16string kVelmoraPath = u"\\SOFTWARE\\Velmora";
const std::u16string kSettingsPath = u"\\SOFTWARE\\Velmora\\Velmora ASIO Device";

// Records, change by change, which value of the settings key each registry
// change set ("<key>" for the key appearing, "" for a write that left every
// value as it was), through a watch on the parent key re-armed at each
// change. The watch fires on the writing thread, so the order is exact.
class WriteRecorder {
 public:
  WriteRecorder() {
    const std::u16string user = platform::win32::CurrentUserRegistryPath();
    bool created = false;
    parentId_ = platform::RegistryCreateKey(user + kVelmoraPath, &created);
    keyPath_ = user + kSettingsPath;
    Arm();
  }
  ~WriteRecorder() {
    stopped_ = true;
    platform::RegistryCompleteWatch(watchId_);
  }
  const std::vector<std::u16string>& Changes() const { return changes_; }

 private:
  using Values = std::vector<std::pair<std::u16string, platform::RegistryValue>>;

  void Arm() {
    watchId_ = platform::RegistryWatchKey(parentId_, true, platform::kRegistryNameChange | platform::kRegistryValueChange,
                                          [this] { Fired(); });
  }
  void Fired() {
    if (stopped_) return;
    Arm();
    const uint64_t key = platform::RegistryOpenKey(keyPath_);
    Values now;
    if (key == 0 || platform::RegistryKeyValues(key, &now) != platform::RegistryStatus::kSuccess) return;
    if (!keySeen_) {
      keySeen_ = true;
      changes_.push_back(u"<key>");
    } else {
      std::u16string changed;
      for (const auto& [name, value] : now) {
        bool same = false;
        for (const auto& [oldName, oldValue] : last_)
          same = same || (oldName == name && oldValue.type == value.type && oldValue.data == value.data);
        if (!same) changed = name;
      }
      changes_.push_back(changed);
    }
    last_ = now;
  }

  uint64_t parentId_ = 0;
  uint64_t watchId_ = 0;
  std::u16string keyPath_;
  bool stopped_ = false;
  bool keySeen_ = false;
  Values last_;
  std::vector<std::u16string> changes_;
};

using SettingsReadTest = SettingsTest;
using SettingsWriteTest = SettingsTest;

TEST_F(SettingsReadTest, FirstReadCreatesTheKeyWithTheDefaultsInOrder) {
  std::vector<std::u16string> changes;
  {
    WriteRecorder recorder;
    SettingsStore store;
    DWORD bufferSize = 0;
    EXPECT_EQ(store.Read(kAsioSettingBufferSize, &bufferSize, sizeof bufferSize), kSettingsOk);
    EXPECT_EQ(bufferSize, 2048u);
    changes = recorder.Changes();
  }
  // "format" is written twice; the second write changes nothing.
  const std::vector<std::u16string> expected = {u"<key>",     u"selected", u"buffer_size", u"sampling_rate",
                                                u"bit_depth", u"format",   u"",            u"lock",
                                                u"notify"};
  EXPECT_EQ(changes, expected);

  const Stored selected = StoredValue(L"selected");
  EXPECT_EQ(selected.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(selected.bytes, std::vector<BYTE>(256, 0));
  const struct {
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> bytes;
  } defaults[] = {{L"buffer_size", REG_DWORD, Bytes(2048)}, {L"sampling_rate", REG_DWORD, Bytes(44100)},
                  {L"bit_depth", REG_DWORD, Bytes(16)},     {L"format", REG_BINARY, Bytes(0, 1)},
                  {L"lock", REG_BINARY, Bytes(0, 1)},       {L"notify", REG_BINARY, Bytes(0, 1)}};
  for (const auto& d : defaults) {
    const Stored s = StoredValue(d.name);
    EXPECT_TRUE(s.present);
    EXPECT_EQ(s.type, d.type);
    EXPECT_EQ(s.bytes, d.bytes);
  }
  // Neither the unnamed value nor "streaming" is a default.
  EXPECT_FALSE(StoredValue(L"").present);
  EXPECT_FALSE(StoredValue(L"streaming").present);
}

TEST_F(SettingsReadTest, AnExistingKeyKeepsWhatItHas) {
  CreateSettingsKey();
  const DWORD size = 512;
  StoreValue(L"buffer_size", REG_DWORD, &size, sizeof size);
  SettingsStore store;
  DWORD value = 0;
  EXPECT_EQ(store.Read(kAsioSettingBufferSize, &value, sizeof value), kSettingsOk);
  EXPECT_EQ(value, 512u);
  // No defaults were added: the rate is simply missing.
  value = 7;
  EXPECT_EQ(store.Read(kAsioSettingSamplingRate, &value, sizeof value), kSettingsQueryFailed);
  EXPECT_EQ(value, 7u);
  EXPECT_FALSE(StoredValue(L"sampling_rate").present);
}

TEST_F(SettingsReadTest, ArgumentsAndIdsOutsideTheTable) {
  SettingsStore driver(SettingsBuild::AsioDriver);
  SettingsStore panel(SettingsBuild::ControlPanel);
  BYTE buffer[256];
  memset(buffer, 0xA5, sizeof buffer);
  EXPECT_EQ(driver.Read(kAsioSettingBufferSize, nullptr, 4), kSettingsBadArgument);
  EXPECT_EQ(driver.Read(kAsioSettingBufferSize, buffer, 0), kSettingsBadArgument);
  EXPECT_EQ(driver.Read(-1, buffer, sizeof buffer), kSettingsBadArgument);
  EXPECT_EQ(driver.Read(kAsioSettingSamplingRate, buffer, 3), kSettingsBadArgument);
  EXPECT_EQ(driver.Read(kAsioSettingSelected, buffer, 255), kSettingsBadArgument);
  // The panel's copy takes a negative id; it is in no row, so nothing is read.
  EXPECT_EQ(panel.Read(-1, buffer, sizeof buffer), kSettingsOk);
  EXPECT_EQ(panel.Read(-1, nullptr, 4), kSettingsBadArgument);
  // There is no id 5, and none past the table: success, nothing read.
  EXPECT_EQ(driver.Read(5, buffer, sizeof buffer), kSettingsOk);
  EXPECT_EQ(driver.Read(10, buffer, sizeof buffer), kSettingsOk);
  EXPECT_EQ(buffer[0], 0xA5);
  EXPECT_EQ(buffer[255], 0xA5);
  // The unnamed value (id 0) has a row but is never written by default.
  EXPECT_EQ(driver.Read(kAsioSettingUnnamed, buffer, sizeof buffer), kSettingsQueryFailed);
  // A read with exactly the setting's size works.
  EXPECT_EQ(driver.Read(kAsioSettingFormat, buffer, 1), kSettingsOk);
  EXPECT_EQ(buffer[0], 0);
}

TEST_F(SettingsReadTest, ValuesOfAnotherTypeOrSizeAreRefusedAndLeaveTheBuffer) {
  CreateSettingsKey();
  SettingsStore store;
  const wchar_t text[] = L"2048";
  StoreValue(L"buffer_size", REG_SZ, text, sizeof text);
  const WORD shortRate = 48000;
  StoreValue(L"sampling_rate", REG_DWORD, &shortRate, sizeof shortRate);
  const uint64_t longDepth = 24;
  StoreValue(L"bit_depth", REG_DWORD, &longDepth, sizeof longDepth);
  StoreValue(L"format", REG_BINARY, "", 0);
  const DWORD lockAsNumber = 1;
  StoreValue(L"lock", REG_DWORD, &lockAsNumber, sizeof lockAsNumber);
  wchar_t unterminated[128];
  for (wchar_t& c : unterminated) c = L'x';
  StoreValue(L"selected", REG_SZ, unterminated, sizeof unterminated);
  wchar_t tooLong[129];
  for (wchar_t& c : tooLong) c = L'y';
  tooLong[128] = 0;
  StoreValue(L"", REG_SZ, tooLong, sizeof tooLong);

  const int ids[] = {kAsioSettingBufferSize, kAsioSettingSamplingRate, kAsioSettingBitDepth, kAsioSettingFormat,
                     kAsioSettingLock,       kAsioSettingSelected,     kAsioSettingUnnamed};
  for (int id : ids) {
    BYTE buffer[300];
    memset(buffer, 0x5A, sizeof buffer);
    EXPECT_EQ(store.Read(id, buffer, sizeof buffer), kSettingsQueryFailed) << "id " << id;
    for (BYTE b : buffer) ASSERT_EQ(b, 0x5A) << "id " << id << ": a refused read wrote into the buffer";
  }
}

TEST_F(SettingsReadTest, TextIsHandedOverTerminatedAndPadded) {
  CreateSettingsKey();
  const wchar_t id[] = L"6&1A2B3C4D&0&0000";
  StoreValue(L"selected", REG_SZ, id, sizeof id);
  SettingsStore store;
  BYTE buffer[300];
  memset(buffer, 0x5A, sizeof buffer);
  ASSERT_EQ(store.Read(kAsioSettingSelected, buffer, sizeof buffer), kSettingsOk);
  EXPECT_EQ(memcmp(buffer, id, sizeof id), 0);
  for (size_t i = sizeof id; i < 256; ++i) ASSERT_EQ(buffer[i], 0) << "byte " << i;
  // Only the setting's size is the read's business.
  EXPECT_EQ(buffer[256], 0x5A);

  // 127 characters and the terminator fill the setting exactly.
  wchar_t longest[128];
  for (int i = 0; i < 127; ++i) longest[i] = L'a';
  longest[127] = 0;
  StoreValue(L"selected", REG_SZ, longest, sizeof longest);
  ASSERT_EQ(store.Read(kAsioSettingSelected, buffer, 256), kSettingsOk);
  EXPECT_EQ(memcmp(buffer, longest, sizeof longest), 0);
}

TEST_F(SettingsWriteTest, WritesTheTableTypeWithTheCallersLengthAndNeverCreatesTheKey) {
  SettingsStore driver(SettingsBuild::AsioDriver);
  SettingsStore panel(SettingsBuild::ControlPanel);
  const DWORD size = 256;
  EXPECT_EQ(driver.Write(kAsioSettingBufferSize, &size, sizeof size), kSettingsOpenFailed);
  EXPECT_FALSE(SettingsKeyExists());

  CreateSettingsKey();
  EXPECT_EQ(driver.Write(kAsioSettingBufferSize, &size, sizeof size), kSettingsOk);
  Stored s = StoredValue(L"buffer_size");
  EXPECT_EQ(s.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(s.bytes, Bytes(256));
  // The caller's length, whatever the table says.
  const wchar_t id[] = L"abc";
  EXPECT_EQ(driver.Write(kAsioSettingSelected, id, sizeof id), kSettingsOk);
  s = StoredValue(L"selected");
  EXPECT_EQ(s.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(s.bytes.size(), sizeof id);
  const BYTE locked = 1;
  EXPECT_EQ(driver.Write(kAsioSettingLock, &locked, 1), kSettingsOk);
  EXPECT_EQ(StoredValue(L"lock").type, static_cast<DWORD>(REG_BINARY));
  // And a read gives back what was written.
  DWORD value = 0;
  EXPECT_EQ(driver.Read(kAsioSettingBufferSize, &value, sizeof value), kSettingsOk);
  EXPECT_EQ(value, 256u);

  EXPECT_EQ(driver.Write(kAsioSettingBufferSize, nullptr, 4), kSettingsBadArgument);
  EXPECT_EQ(driver.Write(kAsioSettingBufferSize, &size, 0), kSettingsBadArgument);
  EXPECT_EQ(driver.Write(-1, &size, sizeof size), kSettingsBadArgument);
  // The panel's copy takes a negative id and, with no row for it, writes nothing.
  EXPECT_EQ(panel.Write(-1, &size, sizeof size), kSettingsOk);
  EXPECT_EQ(driver.Write(5, &size, sizeof size), kSettingsOk);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key), ERROR_SUCCESS);
  DWORD values = 0;
  for (DWORD i = 0;; ++i) {
    wchar_t name[64];
    DWORD chars = 64;
    if (RegEnumValueW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    ++values;
  }
  RegCloseKey(key);
  EXPECT_EQ(values, 3u) << "buffer_size, selected and lock only";
}

TEST_F(SettingsWriteTest, StreamingFlag) {
  CreateSettingsKey();
  SettingsStore store;
  EXPECT_EQ(store.NotifyAsioRunning(true), kSettingsOk);
  Stored s = StoredValue(L"streaming");
  EXPECT_EQ(s.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(s.bytes, Bytes(1));
  EXPECT_EQ(store.NotifyAsioRunning(false), kSettingsOk);
  EXPECT_EQ(StoredValue(L"streaming").bytes, Bytes(0));
}

}  // namespace
