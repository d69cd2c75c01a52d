// Kernel mutexes (ownership, recursion, blocking), system work items, the
// plug-and-play device database (hardware ids, interfaces) and the port
// library's service group, plus the verifier rules they add.
#include <portcls.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/work_items.h"
#include "tests/support/verifier_test.h"
#include "tests/support/waitable_count.h"

namespace {

class KernelObjects : public VerifiedTest {};
class KernelObjectRules : public VerifierDeathTest {};

LARGE_INTEGER Relative(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

TEST_F(KernelObjects, MutexIsRecursiveForItsOwnerAndExcludesOthers) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);  // again: owner

  WaitableCount stage;
  std::thread other([&] {
    LARGE_INTEGER poll = Relative(0);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    stage.Add();
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
    stage.Add();
    KeReleaseMutex(&mutex, FALSE);
  });
  if (!stage.WaitFor(1)) {
    KeReleaseMutex(&mutex, FALSE);
    KeReleaseMutex(&mutex, FALSE);
    other.join();
    FAIL() << "the other thread never tried the mutex";
  }
  KeReleaseMutex(&mutex, FALSE);  // still held once
  LARGE_INTEGER wait = Relative(50);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &wait);
  EXPECT_EQ(stage.Get(), 1);  // the other thread still waits
  KeReleaseMutex(&mutex, FALSE);
  other.join();
  EXPECT_EQ(stage.Get(), 2);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(KernelObjectRules, MutexRules) {
  EXPECT_DEATH(
      {
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 0);
        KeReleaseMutex(&mutex, FALSE);
      },
      "BUGCHECK MUTEX_NOT_OWNED");
  EXPECT_DEATH(
      {
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 0);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, NULL);
        std::thread([&] { KeReleaseMutex(&mutex, FALSE); }).join();
      },
      "BUGCHECK MUTEX_NOT_OWNED");
}

struct WorkRecord {
  std::atomic<int> runs{0};
  std::atomic<int> irql{-1};
  PDEVICE_OBJECT device = nullptr;
  PIO_WORKITEM item = nullptr;
};

TEST_F(KernelObjects, WorkItemsRunAtPassiveLevelWithTheirDevice) {
  DRIVER_OBJECT driver{};
  driver.Type = IO_TYPE_DRIVER;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(&driver, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  WorkRecord record;
  record.item = IoAllocateWorkItem(device);
  ASSERT_NE(record.item, nullptr);
  // Queued at DISPATCH_LEVEL (from a completion routine, say); runs at PASSIVE.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoQueueWorkItem(
      record.item,
      [](PDEVICE_OBJECT d, PVOID context) {
        WorkRecord* r = static_cast<WorkRecord*>(context);
        r->device = d;
        r->irql = KeGetCurrentIrql();
        r->runs++;
      },
      DelayedWorkQueue, &record);
  KeLowerIrql(old);
  ASSERT_TRUE(platform::WaitForWorkItems());
  EXPECT_EQ(record.runs, 1);
  EXPECT_EQ(record.irql, PASSIVE_LEVEL);
  EXPECT_EQ(record.device, device);
  EXPECT_EQ(platform::PendingWorkItems(), 0u);
  IoFreeWorkItem(record.item);
  IoDeleteDevice(device);
}

TEST_F(KernelObjects, HardwareIdsAndInterfacesOfARegisteredDevice) {
  DEVICE_OBJECT pdo{};
  pdo.Type = IO_TYPE_DEVICE;
  pdo.StackSize = 1;
  platform::RegisterPhysicalDevice(&pdo, platform::UsbDeviceInfo(0x1FA7, 0x4D02, 0x0100, 0));
  WCHAR ids[128];
  ULONG length = 0;
  EXPECT_EQ(IoGetDeviceProperty(&pdo, DevicePropertyHardwareID, 4, ids, &length), STATUS_BUFFER_TOO_SMALL);
  std::u16string expected = u"USB\\VID_1FA7&PID_4D02&REV_0100&MI_00";
  expected.push_back(0);
  expected += u"USB\\VID_1FA7&PID_4D02&MI_00";
  expected.push_back(0);
  expected.push_back(0);
  EXPECT_EQ(length, expected.size() * 2);
  ASSERT_EQ(IoGetDeviceProperty(&pdo, DevicePropertyHardwareID, sizeof ids, ids, &length), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ids), length / 2), expected);

  GUID category = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
  UNICODE_STRING reference, link{};
  RtlInitUnicodeString(&reference, L"Wave");
  ASSERT_EQ(IoRegisterDeviceInterface(&pdo, &category, &reference, &link), STATUS_SUCCESS);
  EXPECT_TRUE(platform::GetDeviceInterfaces(category).empty());  // registered, not yet enabled
  ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  auto found = platform::GetDeviceInterfaces(category);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].symbolicLink, platform::ToU16(&link));
  EXPECT_EQ(found[0].deviceInstancePath, u"USB\\VID_1FA7&PID_4D02&MI_00\\6&1a2b3c4d&0&0000");
  std::u16string user = u"\\\\?\\usb#vid_1fa7&pid_4d02&mi_00#6&1a2b3c4d&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave";
  EXPECT_TRUE(platform::FindDeviceInterface(user, nullptr));
  RtlFreeUnicodeString(&link);
  platform::UnregisterPhysicalDevice(&pdo);
  EXPECT_TRUE(platform::GetDeviceInterfaces(category, false).empty());
}

TEST_F(KernelObjectRules, DevicePropertiesOnlyForPhysicalDevices) {
  EXPECT_DEATH(
      {
        DEVICE_OBJECT notPdo{};
        ULONG length;
        IoGetDeviceProperty(&notPdo, DevicePropertyHardwareID, 0, NULL, &length);
      },
      "BUGCHECK PNP_DETECTED_FATAL_ERROR");
}

class CountingSink : public IServiceSink {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* out) override {
    *out = NULL;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }
  STDMETHODIMP_(void) RequestService() override { services++; }
  int references = 1;
  int services = 0;
};

TEST_F(KernelObjects, ServiceGroupServicesItsMembersAndHoldsThem) {
  PSERVICEGROUP group = nullptr;
  ASSERT_EQ(PcNewServiceGroup(&group, NULL), STATUS_SUCCESS);
  CountingSink a, b;
  ASSERT_EQ(group->AddMember(&a), STATUS_SUCCESS);
  ASSERT_EQ(group->AddMember(&b), STATUS_SUCCESS);
  EXPECT_EQ(a.references, 2);
  group->RequestService();  // queues the group's DPC
  KeFlushQueuedDpcs();
  EXPECT_EQ(a.services, 1);
  EXPECT_EQ(b.services, 1);
  group->RemoveMember(&a);
  EXPECT_EQ(a.references, 1);
  group->RequestService();
  KeFlushQueuedDpcs();
  EXPECT_EQ(a.services, 1);
  EXPECT_EQ(b.services, 2);
  // The group is a sink itself (nested groups).
  PSERVICESINK sink = nullptr;
  ASSERT_EQ(group->QueryInterface(IID_IServiceSink, reinterpret_cast<PVOID*>(&sink)), STATUS_SUCCESS);
  sink->RequestService();
  KeFlushQueuedDpcs();
  EXPECT_EQ(b.services, 3);
  sink->Release();
  EXPECT_EQ(group->Release(), 0u);
  EXPECT_EQ(b.references, 1);  // released with the group

  PPORT port = nullptr;
  GUID topology = {0xB4C90A32, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
  EXPECT_EQ(PcNewPort(&port, topology), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(port, nullptr);
}

}  // namespace
