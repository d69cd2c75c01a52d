// The Control Panel applet's export: its answers to the Control Panel's
// messages, the entry it describes, and the start of the control panel
// program named by HKLM "...\Velmora ASIO Device Setup" "ControlPanel" on a
// double-click (64-bit view, REG_SZ only, 127 characters at most), with
// nothing left open afterwards. The applet runs in a 32-bit process, as the
// deliverable does.
#include "platform/kernel/client_process.h"
#include "platform/kernel/verifier.h"
#include "tests/support/verifier_test.h"
// The kernel headers first: <windows.h> leaves their definitions alone.
#include "applet/cpl_applet.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "applet/applet_resources.h"
#include "asio/settings/settings_table.h"
#include "platform/win32/process_host.h"
#include "platform/win32/registry_host.h"
#include "tests/support/waitable_count.h"

namespace {

using platform::win32::StartedProcess;

constexpr DWORD kWaitMs = 10000;
const std::u16string kPanelPath = u"C:\\Program Files\\Velmora\\vm_usbaudio_cpl.exe";

class AppletTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    platform::win32::ResetRegistry();
    platform::win32::ClearStartedProcesses();
    objects_ = platform::win32::LiveWin32Objects();
    process_ = platform::CreateClientProcess("control panel", /*is32Bit=*/true);
    scope_ = std::make_unique<platform::ProcessScope>(process_);
  }
  void TearDown() override {
    scope_.reset();
    platform::EndClientProcess(process_);
    for (const auto& path : registered_) platform::win32::UnregisterProgram(path);
    platform::win32::ClearStartedProcesses();
    platform::win32::ResetRegistry();
    platform::VerifyNoLeaks("applet test");
    VerifiedTest::TearDown();
  }

  // The launch value as raw bytes of a given type, in the 64-bit view or
  // under WOW6432Node (what a 32-bit program sees without the 64-bit flag).
  static void StoreRaw(DWORD type, const std::vector<BYTE>& bytes, bool wow64Node = false) {
    const wchar_t* path = wow64Node ? L"SOFTWARE\\WOW6432Node\\Velmora\\Velmora ASIO Device Setup" : VM_ASIO_SETUP_KEY;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, VM_ASIO_CONTROL_PANEL_VALUE, 0, type, bytes.data(), static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  // The text's UTF-16 bytes, with the terminator unless told otherwise.
  static std::vector<BYTE> Bytes(const std::u16string& text, bool terminated = true) {
    std::u16string s = text;
    if (terminated) s.push_back(0);
    std::vector<BYTE> out(s.size() * 2);
    memcpy(out.data(), s.data(), out.size());
    return out;
  }
  static void StorePath(const std::u16string& path, DWORD type = REG_SZ, bool wow64Node = false) {
    StoreRaw(type, Bytes(path), wow64Node);
  }
  // A program at `path` that counts its starts and ends at once.
  void Register(const std::u16string& path) {
    registered_.push_back(path);
    platform::win32::RegisterProgram(path, [this](const std::u16string&) {
      runs_.Add();
      return DWORD{0};
    });
  }
  static LONG DoubleClick() { return CPlApplet(reinterpret_cast<HWND>(0x1234), CPL_DBLCLK, 0, 0); }
  static std::u16string PathOfLength(size_t characters) {
    std::u16string path = u"C:\\";
    while (path.size() + 4 < characters) path += u'p';
    path += u".exe";
    return path;
  }
  // After a start: the program ran, ended, and no process or thread handle
  // names it any more; no key handle stays open.
  void ExpectNothingLeft() {
    EXPECT_TRUE(platform::win32::WaitForLiveWin32Objects(objects_, kWaitMs)) << "a process or thread handle is open";
    EXPECT_EQ(platform::win32::OpenRegistryKeyHandles(process_), 0u);
  }

  size_t objects_ = 0;
  platform::ClientProcess* process_ = nullptr;
  WaitableCount runs_;
  std::vector<std::u16string> registered_;

 private:
  std::unique_ptr<platform::ProcessScope> scope_;
};

TEST_F(AppletTest, AnswersTheControlPanelsMessages) {
  Register(kPanelPath);
  StorePath(kPanelPath);
  EXPECT_EQ(CPlApplet(nullptr, CPL_INIT, 0, 0), 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(CPlApplet(nullptr, CPL_GETCOUNT, 0, 0), 1) << "always one entry";
  // Every other message does nothing, whatever its parameters.
  for (UINT message : {0u, static_cast<UINT>(CPL_SELECT), static_cast<UINT>(CPL_STOP), static_cast<UINT>(CPL_EXIT),
                       static_cast<UINT>(CPL_NEWINQUIRE), static_cast<UINT>(CPL_STARTWPARMSA),
                       static_cast<UINT>(CPL_STARTWPARMSW), static_cast<UINT>(CPL_SETUP), 4711u}) {
    EXPECT_EQ(CPlApplet(nullptr, message, 0, 0), 0) << message;
  }
  EXPECT_TRUE(platform::win32::StartedProcesses().empty());
}

TEST_F(AppletTest, InquireDescribesTheEntry) {
  CPLINFO info;
  memset(&info, 0x55, sizeof info);
  EXPECT_EQ(CPlApplet(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
  EXPECT_EQ(info.idIcon, 101);
  EXPECT_EQ(info.idName, 102);
  EXPECT_EQ(info.idInfo, 103);
  const LONG_PTR data = info.lData;  // packed as the SDK packs it
  EXPECT_EQ(data, 0);
  // Without a record to fill the message is not processed (non-zero), and
  // nothing is written anywhere.
  EXPECT_NE(CPlApplet(nullptr, CPL_INQUIRE, 0, 0), 0);
}

TEST_F(AppletTest, DoubleClickStartsTheRecordedProgramAndClosesItsHandles) {
  Register(kPanelPath);
  StorePath(kPanelPath);
  EXPECT_EQ(DoubleClick(), 0);
  ASSERT_TRUE(runs_.WaitFor(1));
  const std::vector<StartedProcess> started = platform::win32::StartedProcesses();
  ASSERT_EQ(started.size(), 1u);
  const StartedProcess& p = started[0];
  EXPECT_EQ(p.error, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(p.hasApplicationName);
  EXPECT_EQ(p.applicationName, kPanelPath);
  EXPECT_FALSE(p.hasCommandLine) << "no command line";
  EXPECT_FALSE(p.hasCurrentDirectory);
  EXPECT_FALSE(p.inheritHandles);
  EXPECT_EQ(p.creationFlags, 0x30u) << "CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS";
  ASSERT_TRUE(p.hasStartupInfo);
  STARTUPINFOW expected;
  memset(&expected, 0, sizeof expected);
  expected.cb = sizeof expected;
  EXPECT_EQ(memcmp(&p.startupInfo, &expected, sizeof expected), 0) << "a zeroed STARTUPINFOW with its size";
  ExpectNothingLeft();

  // A second double-click starts a second process.
  EXPECT_EQ(DoubleClick(), 0);
  ASSERT_TRUE(runs_.WaitFor(2));
  EXPECT_EQ(platform::win32::StartedProcesses().size(), 2u);
  ExpectNothingLeft();
}

TEST_F(AppletTest, PathsUpToTheBufferStartAndLongerOnesDoNot) {
  // 127 characters and the terminator fill the 256 bytes exactly.
  const std::u16string longest = PathOfLength(127);
  ASSERT_EQ(longest.size(), 127u);
  Register(longest);
  StorePath(longest);
  EXPECT_EQ(DoubleClick(), 0);
  ASSERT_TRUE(runs_.WaitFor(1));
  ASSERT_EQ(platform::win32::StartedProcesses().size(), 1u);
  EXPECT_EQ(platform::win32::StartedProcesses()[0].applicationName, longest);
  ExpectNothingLeft();

  // A short path stored without its terminator is still read as itself.
  platform::win32::ClearStartedProcesses();
  Register(kPanelPath);
  StoreRaw(REG_SZ, Bytes(kPanelPath, /*terminated=*/false));
  EXPECT_EQ(DoubleClick(), 0);
  ASSERT_TRUE(runs_.WaitFor(2));
  ASSERT_EQ(platform::win32::StartedProcesses().size(), 1u);
  EXPECT_EQ(platform::win32::StartedProcesses()[0].applicationName, kPanelPath);
  ExpectNothingLeft();

  // 128 characters: with the terminator 258 bytes, beyond the buffer; without
  // it 256 bytes that fit but hold no terminator. Neither is started (nor
  // read past the buffer).
  platform::win32::ClearStartedProcesses();
  const std::u16string tooLong = PathOfLength(128);
  Register(tooLong);
  for (bool terminated : {true, false}) {
    SCOPED_TRACE(terminated);
    StoreRaw(REG_SZ, Bytes(tooLong, terminated));
    EXPECT_EQ(DoubleClick(), 0);
    EXPECT_TRUE(platform::win32::StartedProcesses().empty());
  }
  StorePath(PathOfLength(200));
  EXPECT_EQ(DoubleClick(), 0);
  EXPECT_TRUE(platform::win32::StartedProcesses().empty());
  EXPECT_EQ(platform::win32::OpenRegistryKeyHandles(process_), 0u);
}

TEST_F(AppletTest, NothingStartsWithoutAUsableValue) {
  Register(kPanelPath);
  // No key at all.
  EXPECT_EQ(DoubleClick(), 0);
  // The key without the value.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, VM_ASIO_SETUP_KEY, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(DoubleClick(), 0);
  // Other types holding the same text.
  for (DWORD type : {static_cast<DWORD>(REG_EXPAND_SZ), static_cast<DWORD>(REG_MULTI_SZ),
                     static_cast<DWORD>(REG_BINARY)}) {
    SCOPED_TRACE(type);
    StorePath(kPanelPath, type);
    EXPECT_EQ(DoubleClick(), 0);
  }
  EXPECT_TRUE(platform::win32::StartedProcesses().empty());
  EXPECT_EQ(runs_.Get(), 0);
  EXPECT_EQ(platform::win32::OpenRegistryKeyHandles(process_), 0u);
}

TEST_F(AppletTest, TheSixtyFourBitViewIsRead) {
  // Only under WOW6432Node, where a 32-bit program looks by default.
  Register(kPanelPath);
  StorePath(kPanelPath, REG_SZ, /*wow64Node=*/true);
  EXPECT_EQ(DoubleClick(), 0);
  EXPECT_TRUE(platform::win32::StartedProcesses().empty());
  // In the 64-bit view.
  StorePath(kPanelPath);
  EXPECT_EQ(DoubleClick(), 0);
  ASSERT_TRUE(runs_.WaitFor(1));
  EXPECT_EQ(platform::win32::StartedProcesses().size(), 1u);
  ExpectNothingLeft();
}

TEST_F(AppletTest, AProgramThatCannotStartStillAnswersZero) {
  StorePath(u"C:\\nowhere\\vm_usbaudio_cpl.exe");  // nothing registered there
  EXPECT_EQ(DoubleClick(), 0);
  const std::vector<StartedProcess> started = platform::win32::StartedProcesses();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ExpectNothingLeft();
}

}  // namespace
