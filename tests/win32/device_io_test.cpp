// CreateFileW, DeviceIoControl (synchronous and overlapped),
// GetOverlappedResult and ksuser's KsCreatePin against the driver's "Wave"
// filter on the simulated machine, plus the reply filter fault mode.
#include <gtest/gtest.h>

#include <thread>

#include "platform/win32/device_io_host.h"
#include "platform/win32/win32_internal.h"
#include "tests/win32/machine_fixture.h"

namespace {

using win32test::PinRequest;
using win32test::StateRequest;

using KsCreatePinFn = DWORD(WINAPI*)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

class DeviceIoTest : public win32test::MachineTest {
 protected:
  KsCreatePinFn KsCreatePinOfKsuser() {
    HMODULE ksuser = LoadLibraryW(L"ksuser.dll");
    EXPECT_NE(ksuser, nullptr);
    return reinterpret_cast<KsCreatePinFn>(reinterpret_cast<void*>(GetProcAddress(ksuser, "KsCreatePin")));
  }

  BOOL SetState(HANDLE pin, KSSTATE state) {
    KSPROPERTY request = StateRequest(KSPROPERTY_TYPE_SET);
    DWORD bytes = 0;
    return DeviceIoControl(pin, IOCTL_KS_PROPERTY, &request, sizeof request, &state, sizeof state, &bytes, NULL);
  }

  // A capture read of `bytes` sent overlapped on the pin.
  BOOL Read(HANDLE pin, KSSTREAM_HEADER* header, std::vector<BYTE>* data, OVERLAPPED* ov) {
    *header = KSSTREAM_HEADER{};
    header->Size = sizeof *header;
    header->Data = data->data();
    header->FrameExtent = static_cast<ULONG>(data->size());
    return DeviceIoControl(pin, IOCTL_KS_READ_STREAM, NULL, 0, header, sizeof *header, NULL, ov);
  }
};

TEST_F(DeviceIoTest, CreateFileOpensDeviceInterfacesOnlyAndHandlesBelongToTheirProcess) {
  const std::vector<WCHAR> unknown = win32test::Wide(u"\\\\?\\USB#VID_0000&PID_0000#1#{00000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(CreateFileW(unknown.data(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CreateFileW(L"C:\\Windows\\win.ini", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  const size_t before = platform::OpenHandleCount();
  HANDLE filter = OpenWave(true);
  ASSERT_NE(filter, INVALID_HANDLE_VALUE);
  ASSERT_NE(filter, nullptr);
  EXPECT_GE(PinValue(filter, KSPROPERTY_PIN_CTYPES, 0), 2u);
  // The "\\.\" form names the same object.
  std::u16string dotted = userPath_;
  dotted[2] = u'.';
  const std::vector<WCHAR> dottedPath = win32test::Wide(dotted);
  HANDLE second = CreateFileW(dottedPath.data(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);

  // Another process does not have the handle.
  platform::ClientProcess* other = platform::CreateClientProcess("other");
  {
    platform::ProcessScope in(other);
    KSP_PIN request = PinRequest(KSPROPERTY_PIN_CTYPES, 0);
    ULONG count = 0;
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, &count, sizeof count, &bytes, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenWave(false) != INVALID_HANDLE_VALUE, true);  // closed when the process ends
  }
  platform::EndClientProcess(other);
  EXPECT_EQ(platform::OpenHandleCount(), before + 2);
  EXPECT_TRUE(CloseHandle(second));
  LeaveProcess();  // closes the filter handle
  EXPECT_EQ(platform::OpenHandleCount(), before);
}

TEST_F(DeviceIoTest, PropertyRequestsSynchronousAndOverlappedWithSizeQueries) {
  HANDLE sync = OpenWave(false);
  HANDLE async = OpenWave(true);
  ASSERT_NE(sync, INVALID_HANDLE_VALUE);
  ASSERT_NE(async, INVALID_HANDLE_VALUE);
  KSP_PIN request = PinRequest(KSPROPERTY_PIN_CTYPES, 0);
  ULONG count = 0;
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(sync, IOCTL_KS_PROPERTY, &request, sizeof request, &count, sizeof count, &bytes, NULL));
  EXPECT_EQ(bytes, sizeof count);
  EXPECT_GE(count, 2u);

  // Overlapped, as kernel-streaming clients send it: an auto-reset event
  // with the low bit set. The request completes at once: TRUE, the count,
  // the OVERLAPPED filled and the event set.
  HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
  ASSERT_NE(event, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
  ULONG again = 0;
  bytes = 0;
  ASSERT_TRUE(DeviceIoControl(async, IOCTL_KS_PROPERTY, &request, sizeof request, &again, sizeof again, &bytes, &ov));
  EXPECT_EQ(again, count);
  EXPECT_EQ(bytes, sizeof again);
  EXPECT_EQ(ov.Internal, static_cast<ULONG_PTR>(STATUS_SUCCESS));
  EXPECT_EQ(ov.InternalHigh, sizeof again);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  DWORD transferred = 0;
  EXPECT_TRUE(GetOverlappedResult(async, &ov, &transferred, FALSE));
  EXPECT_EQ(transferred, sizeof again);

  // A size query (no output buffer) of a list: FALSE with ERROR_MORE_DATA
  // and the size in the byte count, on both kinds of handle; then the list.
  KSP_PIN ranges = PinRequest(KSPROPERTY_PIN_DATARANGES, win32test::MachineTest::SinkPin(sync, KSPIN_DATAFLOW_IN));
  DWORD needed = 0;
  EXPECT_FALSE(DeviceIoControl(sync, IOCTL_KS_PROPERTY, &ranges, sizeof ranges, NULL, 0, &needed, NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  ASSERT_GT(needed, sizeof(KSMULTIPLE_ITEM));
  DWORD neededOverlapped = 0;
  EXPECT_FALSE(DeviceIoControl(async, IOCTL_KS_PROPERTY, &ranges, sizeof ranges, NULL, 0, &neededOverlapped, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(neededOverlapped, needed);
  EXPECT_EQ(ov.Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_BUFFER_OVERFLOW)));
  EXPECT_FALSE(GetOverlappedResult(async, &ov, &transferred, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  std::vector<BYTE> list(needed);
  bytes = 0;
  ASSERT_TRUE(DeviceIoControl(async, IOCTL_KS_PROPERTY, &ranges, sizeof ranges, list.data(), needed, &bytes, &ov));
  EXPECT_EQ(bytes, needed);
  KSMULTIPLE_ITEM header;
  memcpy(&header, list.data(), sizeof header);
  EXPECT_EQ(header.Size, needed);
  EXPECT_GE(header.Count, 1u);

  // A request the kernel refuses at once: FALSE with its mapped error.
  KSP_PIN badPin = PinRequest(KSPROPERTY_PIN_DATAFLOW, 1000);
  EXPECT_FALSE(DeviceIoControl(async, IOCTL_KS_PROPERTY, &badPin, sizeof badPin, &count, sizeof count, &bytes, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "STATUS_INVALID_PARAMETER";
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(DeviceIoTest, PinFromKsuserTakesAPendingReadThatTheKernelFailsAsFailedInGetOverlappedResult) {
  HANDLE filter = OpenWave(true);
  ASSERT_NE(filter, INVALID_HANDLE_VALUE);
  const ULONG capture = SinkPin(filter, KSPIN_DATAFLOW_OUT);
  KsCreatePinFn create = KsCreatePinOfKsuser();
  ASSERT_NE(create, nullptr);
  std::vector<uint8_t> connect = win32test::ConnectBuffer(1000);
  HANDLE pin = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_NE(create(filter, reinterpret_cast<PKSPIN_CONNECT>(connect.data()), GENERIC_READ | GENERIC_WRITE, &pin), 0u);
  EXPECT_EQ(pin, reinterpret_cast<HANDLE>(0x1234));  // untouched on failure
  connect = win32test::ConnectBuffer(capture);
  ASSERT_EQ(create(filter, reinterpret_cast<PKSPIN_CONNECT>(connect.data()), GENERIC_READ | GENERIC_WRITE, &pin), 0u);
  KSPROPERTY get = StateRequest(KSPROPERTY_TYPE_GET);
  KSSTATE state = KSSTATE_RUN;
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(pin, IOCTL_KS_PROPERTY, &get, sizeof get, &state, sizeof state, &bytes, NULL));
  EXPECT_EQ(state, KSSTATE_STOP);
  ASSERT_TRUE(SetState(pin, KSSTATE_ACQUIRE));
  ASSERT_TRUE(SetState(pin, KSSTATE_PAUSE));

  // A paused capture pin keeps reads queued: they pend.
  HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
  OVERLAPPED withEvent{};
  withEvent.hEvent = event;
  KSSTREAM_HEADER header1, header2;
  std::vector<BYTE> data1(4800), data2(4800);
  ASSERT_FALSE(Read(pin, &header1, &data1, &withEvent));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  DWORD transferred = 77;
  EXPECT_FALSE(GetOverlappedResult(pin, &withEvent, &transferred, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  EXPECT_EQ(transferred, 77u);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // Without an event the waiter waits for the request itself.
  OVERLAPPED noEvent{};
  ASSERT_FALSE(Read(pin, &header2, &data2, &noEvent));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  BOOL waited = TRUE;
  DWORD waitError = 0;
  std::thread waiter([&] {
    platform::ProcessScope in(process_);
    DWORD n = 0;
    waited = GetOverlappedResult(pin, &noEvent, &n, TRUE);
    waitError = GetLastError();
  });

  // Stopping the pin cancels both: the event is set, and each result is the
  // failure, not a success with no bytes.
  ASSERT_TRUE(SetState(pin, KSSTATE_STOP));
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(pin, &withEvent, &transferred, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(withEvent.Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_CANCELLED)));
  waiter.join();
  EXPECT_FALSE(waited);
  EXPECT_EQ(waitError, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_TRUE(CloseHandle(pin));
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(DeviceIoTest, CancelIoCancelsTheCallingThreadsPendingRequestsOnly) {
  HANDLE filter = OpenWave(true);
  ASSERT_NE(filter, INVALID_HANDLE_VALUE);
  std::vector<uint8_t> connect = win32test::ConnectBuffer(SinkPin(filter, KSPIN_DATAFLOW_OUT));
  HANDLE pin = NULL;
  ASSERT_EQ(platform::win32::detail::KsUserCreatePin(filter, reinterpret_cast<PKSPIN_CONNECT>(connect.data()),
                                                     GENERIC_READ | GENERIC_WRITE, &pin),
            0u);
  ASSERT_TRUE(SetState(pin, KSSTATE_ACQUIRE));
  ASSERT_TRUE(SetState(pin, KSSTATE_PAUSE));
  HANDLE mineDone = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE theirsDone = CreateEventW(NULL, TRUE, FALSE, NULL);
  OVERLAPPED mine{}, theirs{};
  mine.hEvent = mineDone;
  theirs.hEvent = theirsDone;
  KSSTREAM_HEADER header1, header2;
  std::vector<BYTE> data1(4800), data2(4800);
  ASSERT_FALSE(Read(pin, &header1, &data1, &mine));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  std::thread other([&] {
    platform::ProcessScope in(process_);
    EXPECT_FALSE(Read(pin, &header2, &data2, &theirs));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  });
  other.join();

  ASSERT_TRUE(CancelIo(pin));
  EXPECT_EQ(WaitForSingleObject(mineDone, 10000), WAIT_OBJECT_0);
  DWORD transferred = 0;
  EXPECT_FALSE(GetOverlappedResult(pin, &mine, &transferred, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  // The other thread's read is still queued until the pin stops.
  EXPECT_FALSE(GetOverlappedResult(pin, &theirs, &transferred, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  ASSERT_TRUE(SetState(pin, KSSTATE_STOP));
  EXPECT_EQ(WaitForSingleObject(theirsDone, 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(CancelIo(reinterpret_cast<HANDLE>(0x7FFC)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(CloseHandle(pin));
  EXPECT_TRUE(CloseHandle(mineDone));
  EXPECT_TRUE(CloseHandle(theirsDone));
}

TEST_F(DeviceIoTest, ReplyFilterRewritesRepliesAndDeliversFailuresThroughPendedCompletions) {
  const int id = platform::win32::InstallKsReplyFilter(wavePath_, [](platform::win32::KsPropertyReply& reply) {
    KSP_PIN request;
    if (reply.requestLength < sizeof request) return;
    memcpy(&request, reply.request, sizeof request);
    if (request.Property.Id == KSPROPERTY_PIN_CTYPES && reply.outputLength >= 4) {
      const ULONG huge = 0xFFFFFFFF;
      memcpy(reply.output, &huge, 4);
    } else if (request.Property.Id == KSPROPERTY_PIN_NAME) {
      reply.status = STATUS_UNSUCCESSFUL;
      reply.information = 0;
      reply.pend = true;
    }
  });
  HANDLE filter = OpenWave(true);  // opened with the user-mode path: the filter still applies
  ASSERT_NE(filter, INVALID_HANDLE_VALUE);
  EXPECT_EQ(PinValue(filter, KSPROPERTY_PIN_CTYPES, 0), 0xFFFFFFFFu);

  HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
  OVERLAPPED ov{};
  ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
  KSP_PIN name = PinRequest(KSPROPERTY_PIN_NAME, 0);
  WCHAR text[260];
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(filter, IOCTL_KS_PROPERTY, &name, sizeof name, text, sizeof text, &bytes, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  DWORD transferred = 0;
  EXPECT_FALSE(GetOverlappedResult(filter, &ov, &transferred, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));

  platform::win32::RemoveKsReplyFilter(id);
  HANDLE fresh = OpenWave(false);
  const ULONG count = PinValue(fresh, KSPROPERTY_PIN_CTYPES, 0);
  EXPECT_GE(count, 2u);
  EXPECT_LT(count, 64u);
  EXPECT_TRUE(CloseHandle(event));
}

TEST(StatusErrorTest, StatusesClientsSeeMapAsRtlNtStatusToDosError) {
  using platform::win32::detail::ErrorFromStatus;
  const struct {
    NTSTATUS status;
    DWORD error;
  } cases[] = {
      {STATUS_SUCCESS, ERROR_SUCCESS},
      {STATUS_PENDING, ERROR_IO_PENDING},
      {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
      {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
      {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
      {STATUS_NO_MATCH, ERROR_NO_MATCH},
      {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
      {STATUS_DEVICE_NOT_CONNECTED, ERROR_NOT_READY},
      {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
      {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
      {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
      {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
      {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
      {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
      {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
      {static_cast<NTSTATUS>(0xC0070000L | ERROR_BUSY), ERROR_BUSY},  // a Win32 error carried in a status
      {static_cast<NTSTATUS>(0xC0001234L), ERROR_MR_MID_NOT_FOUND},   // not in the table
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorFromStatus(c.status), c.error) << std::hex << c.status;
}

}  // namespace
