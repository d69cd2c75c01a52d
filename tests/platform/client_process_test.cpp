// Simulated client processes: per-process handles, the caller recorded in
// the IRPs the I/O manager builds, process objects and attaching, client
// events reached by the kernel with user-mode reference rules.
#include <ntifs.h>

#include <thread>

#include "platform/kernel/client_process.h"
#include "tests/platform/portcls_fixture.h"

namespace {

using fake_audio::kPrivateSet;
using platform::ClientProcess;
using platform::ProcessScope;
using portcls_test::Property;
using portcls_test::RenderConnect;

constexpr ACCESS_MASK kEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;

class ClientProcessIo : public portcls_test::PortclsTest {
 protected:
  void SetUp() override {
    PortclsTest::SetUp();
    ASSERT_EQ(pnp_->StartDevice(Pdo()), STATUS_SUCCESS);
  }

  // Opens the filter in `process`.
  HANDLE OpenFilterIn(ClientProcess* process) {
    ProcessScope scope(process);
    HANDLE h = nullptr;
    EXPECT_EQ(platform::KsOpenFilter(AudioInterfacePath(), &h), STATUS_SUCCESS);
    return h;
  }

  NTSTATUS PrivateGet(HANDLE filter) {
    LONG value = 0;
    return Get(filter, Property(kPrivateSet, fake_audio::kPrivateFilterId), &value);
  }

  fake_audio::RecordedRequest LastRequest() {
    std::lock_guard<std::mutex> l(Fake().lock);
    return Fake().requests.empty() ? fake_audio::RecordedRequest{} : Fake().requests.back();
  }
};

TEST_F(ClientProcessIo, HandlesBelongToTheProcessThatOpenedThem) {
  const size_t before = platform::OpenHandleCount();
  ClientProcess* a = platform::CreateClientProcess("a");
  ClientProcess* b = platform::CreateClientProcess("b");
  HANDLE filter = OpenFilterIn(a);
  ASSERT_NE(filter, nullptr);
  {
    ProcessScope scope(b);
    EXPECT_EQ(PrivateGet(filter), STATUS_INVALID_HANDLE);
    HANDLE pin = nullptr;
    std::vector<UCHAR> connect = RenderConnect();
    EXPECT_EQ(platform::KsCreatePin(filter, connect.data(), static_cast<ULONG>(connect.size()), &pin),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(platform::IoCloseHandle(filter), STATUS_INVALID_HANDLE);
  }
  EXPECT_EQ(PrivateGet(filter), STATUS_INVALID_HANDLE);  // the system process either
  EXPECT_EQ(platform::CloseClientHandle(b, filter), STATUS_INVALID_HANDLE);
  {
    ProcessScope scope(a);
    EXPECT_EQ(PrivateGet(filter), STATUS_SUCCESS);
  }
  EXPECT_EQ(platform::CloseClientHandle(a, filter), STATUS_SUCCESS);
  EXPECT_EQ(platform::OpenHandleCount(), before);
  platform::EndClientProcess(a);
  platform::EndClientProcess(b);
}

TEST_F(ClientProcessIo, RequestsCarryTheCallersModeAndBitness) {
  ClientProcess* p64 = platform::CreateClientProcess("host64");
  ClientProcess* p32 = platform::CreateClientProcess("host32", true);
  for (ClientProcess* p : {p64, p32}) {
    HANDLE filter = OpenFilterIn(p);
    {
      ProcessScope scope(p);
      ASSERT_EQ(PrivateGet(filter), STATUS_SUCCESS);
    }
    fake_audio::RecordedRequest r = LastRequest();
    EXPECT_EQ(r.requestorMode, UserMode);
    EXPECT_EQ(r.irpIs32Bit, p == p32);
    EXPECT_EQ(r.currentIs32Bit, p == p32);
    EXPECT_EQ(r.process, platform::ProcessObjectOf(p));
    platform::EndClientProcess(p);
  }
  // From the system process: a kernel-mode request of a 64-bit process.
  HANDLE filter = OpenFilter();
  ASSERT_EQ(PrivateGet(filter), STATUS_SUCCESS);
  fake_audio::RecordedRequest r = LastRequest();
  EXPECT_EQ(r.requestorMode, KernelMode);
  EXPECT_FALSE(r.irpIs32Bit);
  EXPECT_EQ(r.process, platform::ProcessObjectOf(nullptr));
}

TEST_F(ClientProcessIo, EndingAProcessClosesItsPinInItsContext) {
  const size_t before = platform::OpenHandleCount();
  ClientProcess* p = platform::CreateClientProcess("player");
  PEPROCESS object = platform::ProcessObjectOf(p);
  ObReferenceObject(object);  // keeps the object (not the process) for the comparison below
  HANDLE filter = OpenFilterIn(p);
  HANDLE pin = nullptr;
  {
    ProcessScope scope(p);
    std::vector<UCHAR> connect = RenderConnect();
    ASSERT_EQ(platform::KsCreatePin(filter, connect.data(), static_cast<ULONG>(connect.size()), &pin),
              STATUS_SUCCESS);
  }
  ASSERT_EQ(Fake().liveStreams, 1);
  platform::EndClientProcess(p);
  EXPECT_EQ(Fake().liveStreams, 0);
  {
    std::lock_guard<std::mutex> l(Fake().lock);
    EXPECT_EQ(Fake().streamClosedIn, object);
  }
  EXPECT_EQ(platform::OpenHandleCount(), before);
  ObDereferenceObject(object);
}

class ClientObjects : public VerifiedTest {
 protected:
  void TearDown() override {
    for (ClientProcess* p : processes_) platform::EndClientProcess(p);
    VerifiedTest::TearDown();
  }
  ClientProcess* NewProcess(const char* name, bool is32Bit = false) {
    processes_.push_back(platform::CreateClientProcess(name, is32Bit));
    return processes_.back();
  }
  std::vector<ClientProcess*> processes_;
};

VOID NTAPI Idle(PVOID) {}

TEST_F(ClientObjects, UserModeReferencesFollowTheHandleRules) {
  ClientProcess* p = NewProcess("client");
  ClientProcess* other = NewProcess("other");
  HANDLE full = platform::CreateClientEvent(p, false, false);
  HANDLE waitOnly = platform::CreateClientEvent(p, false, false, SYNCHRONIZE);
  HANDLE foreign = platform::CreateClientEvent(other, false, false);
  HANDLE thread = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Idle, NULL), STATUS_SUCCESS);

  PVOID object = reinterpret_cast<PVOID>(1);
  {
    ProcessScope scope(p);
    OBJECT_HANDLE_INFORMATION info{};
    ASSERT_EQ(ObReferenceObjectByHandle(full, kEventAccess, *ExEventObjectType, UserMode, &object, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info.GrantedAccess, static_cast<ACCESS_MASK>(EVENT_ALL_ACCESS));
    ObDereferenceObject(object);

    EXPECT_EQ(ObReferenceObjectByHandle(thread, kEventAccess, *ExEventObjectType, UserMode, &object, NULL),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, UserMode, &object, NULL),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ObReferenceObjectByHandle(full, kEventAccess, *PsThreadType, UserMode, &object, NULL),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(waitOnly, kEventAccess, *ExEventObjectType, UserMode, &object, NULL),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ObReferenceObjectByHandle(waitOnly, SYNCHRONIZE, *ExEventObjectType, UserMode, &object, NULL),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(ObReferenceObjectByHandle(foreign, kEventAccess, *ExEventObjectType, UserMode, &object, NULL),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ObReferenceObjectByHandle(nullptr, kEventAccess, *ExEventObjectType, UserMode, &object, NULL),
              STATUS_INVALID_HANDLE);
  }
  // Kernel mode keeps reaching the kernel's thread handles.
  ASSERT_EQ(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, NULL), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
  ObDereferenceObject(object);
  EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
  // A closed handle is gone.
  EXPECT_EQ(platform::CloseClientHandle(p, waitOnly), STATUS_SUCCESS);
  ProcessScope scope(p);
  EXPECT_EQ(ObReferenceObjectByHandle(waitOnly, SYNCHRONIZE, *ExEventObjectType, UserMode, &object, NULL),
            STATUS_INVALID_HANDLE);
}

TEST_F(ClientObjects, KernelSignalFromDispatchLevelWakesTheClientsWait) {
  ClientProcess* p = NewProcess("asio host");
  HANDLE event = platform::CreateClientEvent(p, false, false);
  PVOID object = nullptr;
  {
    ProcessScope scope(p);
    ASSERT_EQ(ObReferenceObjectByHandle(event, kEventAccess, *ExEventObjectType, UserMode, &object, NULL),
              STATUS_SUCCESS);
  }
  EXPECT_EQ(platform::WaitClientEvent(p, event, 0), STATUS_TIMEOUT);
  NTSTATUS waited = STATUS_UNSUCCESSFUL;
  std::atomic<bool> waiting{false};
  std::thread client([&] {
    ProcessScope scope(p);
    waiting = true;
    waited = platform::WaitClientEvent(p, event, 20000);
  });
  while (!waiting) std::this_thread::yield();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeSetEvent(static_cast<PRKEVENT>(object), IO_SOUND_INCREMENT, FALSE);
  KeLowerIrql(old);
  client.join();
  EXPECT_EQ(waited, STATUS_SUCCESS);
  // An auto-reset event: the wake consumed the signal.
  EXPECT_EQ(platform::WaitClientEvent(p, event, 0), STATUS_TIMEOUT);
  EXPECT_EQ(platform::SetClientEvent(p, event), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(static_cast<PRKEVENT>(object)), 1);
  EXPECT_EQ(platform::ResetClientEvent(p, event), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(static_cast<PRKEVENT>(object)), 0);
  ObDereferenceObject(object);
}

TEST_F(ClientObjects, AnEventOutlivesItsHandleAndProcessWhileTheKernelHoldsIt) {
  ClientProcess* p = platform::CreateClientProcess("short-lived");
  HANDLE event = platform::CreateClientEvent(p, true, false);
  PVOID object = nullptr;
  {
    ProcessScope scope(p);
    ASSERT_EQ(ObReferenceObjectByHandle(event, kEventAccess, *ExEventObjectType, UserMode, &object, NULL),
              STATUS_SUCCESS);
  }
  EXPECT_EQ(platform::CloseClientHandle(p, event), STATUS_SUCCESS);
  EXPECT_EQ(platform::SetClientEvent(p, event), STATUS_INVALID_HANDLE);
  platform::EndClientProcess(p);
  // The object is still the kernel's (AddressSanitizer would see a freed one).
  KeSetEvent(static_cast<PRKEVENT>(object), IO_SOUND_INCREMENT, FALSE);
  EXPECT_EQ(KeReadStateEvent(static_cast<PRKEVENT>(object)), 1);
  ObDereferenceObject(object);
}

TEST_F(ClientObjects, AProcessObjectOutlivesTheProcessAndAttachingSwitchesTheContext) {
  ClientProcess* p = platform::CreateClientProcess("wow64 client", true);
  PEPROCESS object;
  {
    ProcessScope scope(p);
    object = PsGetCurrentProcess();
    EXPECT_EQ(object, IoGetCurrentProcess());
    EXPECT_TRUE(IoIs32bitProcess(NULL));
  }
  EXPECT_FALSE(IoIs32bitProcess(NULL));
  EXPECT_EQ(object, platform::ProcessObjectOf(p));
  EXPECT_NE(PsGetCurrentProcess(), object);
  {
    KAPC_STATE state;
    static_assert(sizeof(KAPC_STATE) == 0x30, "the DDK's x64 layout");
    KeStackAttachProcess(reinterpret_cast<PKPROCESS>(object), &state);
    EXPECT_EQ(platform::CurrentClientProcess(), p);
    EXPECT_EQ(PsGetCurrentProcess(), object);
    EXPECT_TRUE(IoIs32bitProcess(NULL));
    KeUnstackDetachProcess(&state);
  }
  EXPECT_EQ(platform::CurrentClientProcess(), nullptr);
  ObReferenceObject(object);
  platform::EndClientProcess(p);
  EXPECT_EQ(ObDereferenceObject(object), 0);
}

class ClientProcessFiles : public ClientProcessIo {};

TEST_F(ClientProcessFiles, FileHandleIsTheWrongType) {
  ClientProcess* p = platform::CreateClientProcess("client");
  HANDLE filter = OpenFilterIn(p);
  {
    ProcessScope scope(p);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(filter, kEventAccess, *ExEventObjectType, UserMode, &object, NULL),
              STATUS_OBJECT_TYPE_MISMATCH);
  }
  platform::EndClientProcess(p);
}

using ClientObjectsDeathTest = VerifierDeathTest;

TEST_F(ClientObjectsDeathTest, ReferenceMistakesStop) {
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("client");
        HANDLE event = platform::CreateClientEvent(p, false, false);
        PVOID object = nullptr;
        {
          ProcessScope scope(p);
          (void)ObReferenceObjectByHandle(event, kEventAccess, *ExEventObjectType, UserMode, &object, NULL);
        }
        ObDereferenceObject(object);
        ObDereferenceObject(object);  // the handle's reference is not the kernel's
      },
      "BUGCHECK OBJECT_REFERENCE_UNDERFLOW: .*event");
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("client");
        HANDLE event = platform::CreateClientEvent(p, false, false);
        PVOID object = nullptr;
        {
          ProcessScope scope(p);
          (void)ObReferenceObjectByHandle(event, kEventAccess, *ExEventObjectType, UserMode, &object, NULL);
        }
        platform::EndClientProcess(p);
        platform::VerifyNoLeaks("driver unload");
      },
      "BUGCHECK OBJECT_REFERENCE_LEAK: driver unload: .*event .* of process client: 1 kernel references, 0 handles");
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("gone");
        PEPROCESS object = platform::ProcessObjectOf(p);
        ObReferenceObject(object);
        platform::EndClientProcess(p);
        KAPC_STATE state;
        KeStackAttachProcess(reinterpret_cast<PKPROCESS>(object), &state);
      },
      "BUGCHECK ATTACH_TO_ENDED_PROCESS");
}

}  // namespace
