// USBD descriptor helpers on good and hostile bytes, the select-configuration
// builder, URB builder macros and the x64 layouts the driver relies on.
#include <wdm.h>
#include <initguid.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbbusif.h>

#include <random>
#include <vector>

#include "tests/support/verifier_test.h"

namespace {

static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "");
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152, "");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "");
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 80, "");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V3) == 96, "");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72, "");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9 && sizeof(USB_DEVICE_DESCRIPTOR) == 18, "");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7 && sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "");
static_assert(GET_ISO_URB_SIZE(40) == 632, "an isochronous URB of 40 packets");
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(2) == 56 + 24 * 2, "");
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "");

using Bytes = std::vector<UCHAR>;

void Append(Bytes& b, std::initializer_list<int> bytes) {
  for (int x : bytes) b.push_back(static_cast<UCHAR>(x));
}

void SetTotalLength(Bytes& b) {
  b[2] = static_cast<UCHAR>(b.size());
  b[3] = static_cast<UCHAR>(b.size() >> 8);
}

// A UAC 2.0-like configuration: control interface with an interrupt
// endpoint, a streaming interface with a zero-bandwidth and a two-endpoint
// alternate, and one more interface.
Bytes AudioConfiguration() {
  Bytes b;
  Append(b, {9, 2, 0, 0, 3, 1, 0, 0x80, 50});
  Append(b, {8, 0x0b, 0, 3, 1, 0, 0x20, 0});             // interface association
  Append(b, {9, 4, 0, 0, 1, 1, 1, 0x20, 0});             // 17: interface 0 alt 0
  Append(b, {9, 0x24, 1, 0, 2, 8, 0x40, 0, 0});          // 26: class-specific header
  Append(b, {7, 5, 0x83, 3, 6, 0, 4});                   // 35: interrupt IN
  Append(b, {9, 4, 1, 0, 0, 1, 2, 0x20, 0});             // 42: interface 1 alt 0
  Append(b, {9, 4, 1, 1, 2, 1, 2, 0x20, 0});             // 51: interface 1 alt 1
  Append(b, {16, 0x24, 1, 1, 0, 1, 1, 0, 0, 0, 2, 3, 0, 0, 0, 0});  // 60
  Append(b, {7, 5, 0x01, 5, 0, 2, 1});                   // 76: iso OUT
  Append(b, {8, 0x25, 1, 0, 0, 0, 0, 0});                // 83
  Append(b, {7, 5, 0x81, 0x11, 4, 0, 4});                // 91: feedback IN
  Append(b, {9, 4, 2, 0, 0, 0xff, 0, 0, 0});             // 98: interface 2 alt 0
  SetTotalLength(b);
  return b;
}

PUSB_CONFIGURATION_DESCRIPTOR Config(Bytes& b) { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data()); }

ptrdiff_t Offset(Bytes& b, const void* p) { return p ? static_cast<const UCHAR*>(p) - b.data() : -1; }

class UsbdTest : public VerifiedTest {};

TEST_F(UsbdTest, FindsInterfacesByNumberAlternateAndClassWithWildcards) {
  Bytes b = AudioConfiguration();
  auto c = Config(b);
  EXPECT_EQ(Offset(b, USBD_ParseConfigurationDescriptorEx(c, c, 1, 1, -1, -1, -1)), 51);
  EXPECT_EQ(Offset(b, USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1)), 17);
  EXPECT_EQ(Offset(b, USBD_ParseConfigurationDescriptorEx(c, c, 2, -1, 0xff, -1, -1)), 98);
  EXPECT_EQ(Offset(b, USBD_ParseConfigurationDescriptorEx(c, c, 5, 0, -1, -1, -1)), -1);
  EXPECT_EQ(Offset(b, USBD_ParseConfigurationDescriptor(c, 1, 0)), 42);

  // Walking all audio streaming interfaces from each match onward.
  std::vector<ptrdiff_t> streaming;
  PVOID start = c;
  while (PUSB_INTERFACE_DESCRIPTOR i = USBD_ParseConfigurationDescriptorEx(c, start, -1, -1, 1, 2, -1)) {
    streaming.push_back(Offset(b, i));
    start = reinterpret_cast<PUCHAR>(i) + i->bLength;
  }
  EXPECT_EQ(streaming, (std::vector<ptrdiff_t>{42, 51}));
}

TEST_F(UsbdTest, ParseDescriptorsReturnsTheNextOfATypeAtOrAfterStart) {
  Bytes b = AudioConfiguration();
  auto c = Config(b);
  PUCHAR base = b.data();
  EXPECT_EQ(Offset(b, USBD_ParseDescriptors(c, c->wTotalLength, base + 51, USB_ENDPOINT_DESCRIPTOR_TYPE)), 76);
  EXPECT_EQ(Offset(b, USBD_ParseDescriptors(c, c->wTotalLength, base + 76, USB_ENDPOINT_DESCRIPTOR_TYPE)), 76)
      << "the start itself counts";
  EXPECT_EQ(Offset(b, USBD_ParseDescriptors(c, c->wTotalLength, base + 83, USB_ENDPOINT_DESCRIPTOR_TYPE)), 91);
  EXPECT_EQ(Offset(b, USBD_ParseDescriptors(c, c->wTotalLength, base + 98, USB_ENDPOINT_DESCRIPTOR_TYPE)), -1);
  EXPECT_EQ(Offset(b, USBD_ParseDescriptors(c, c->wTotalLength, base, 0x24)), 26);
  EXPECT_EQ(Offset(b, USBD_ParseDescriptors(c, c->wTotalLength, base, USB_CONFIGURATION_DESCRIPTOR_TYPE)), 0);
}

// Hostile inputs live in exactly sized heap buffers: any read past the end is
// an AddressSanitizer error, any endless walk a test timeout.
TEST_F(UsbdTest, ZeroLengthDescriptorEndsTheWalk) {
  Bytes b;
  Append(b, {9, 2, 0, 0, 2, 1, 0, 0x80, 50});
  Append(b, {9, 4, 0, 0, 0, 1, 1, 0, 0});
  Append(b, {0, 0x24, 0, 0});
  Append(b, {9, 4, 1, 0, 0, 1, 2, 0, 0});
  SetTotalLength(b);
  auto c = Config(b);
  EXPECT_EQ(Offset(b, USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1)), 9);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(c, c->wTotalLength, b.data() + 18, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

TEST_F(UsbdTest, OneByteLengthEndsTheWalk) {
  Bytes b;
  Append(b, {9, 2, 0, 0, 1, 1, 0, 0x80, 50});
  Append(b, {1, 4, 9, 4, 0, 0, 0, 1, 1, 0, 0});
  SetTotalLength(b);
  auto c = Config(b);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdTest, DescriptorRunningPastTheEndIsNotReturned) {
  Bytes b;
  Append(b, {9, 2, 0, 0, 1, 1, 0, 0x80, 50});
  Append(b, {9, 4, 0, 0, 2, 1, 2});  // claims 9 bytes, 7 remain
  SetTotalLength(b);
  auto c = Config(b);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(c, c->wTotalLength, c, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

TEST_F(UsbdTest, NothingBeyondTotalLengthIsSeen) {
  Bytes b = AudioConfiguration();
  b[2] = 56;  // ends inside interface 1 alt 1 (51..59)
  b[3] = 0;
  auto c = Config(b);
  EXPECT_EQ(Offset(b, USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, -1, -1, -1)), 42);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 1, 1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 2, 0, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(c, 56, b.data() + 42, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
}

TEST_F(UsbdTest, ShortInterfaceDescriptorIsSkippedNotRead) {
  Bytes b;
  Append(b, {9, 2, 0, 0, 2, 1, 0, 0x80, 50});
  Append(b, {4, 4, 7, 0});  // an "interface" too short to hold its fields
  Append(b, {9, 4, 3, 0, 0, 1, 1, 0, 0});
  SetTotalLength(b);
  auto c = Config(b);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 7, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(Offset(b, USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1)), 13);
}

TEST_F(UsbdTest, StartOutsideTheBufferFindsNothing) {
  Bytes b = AudioConfiguration();
  auto c = Config(b);
  EXPECT_EQ(USBD_ParseDescriptors(c, c->wTotalLength, b.data() + b.size(), USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
  Bytes other = AudioConfiguration();
  EXPECT_EQ(USBD_ParseDescriptors(c, c->wTotalLength, other.data(), USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

TEST_F(UsbdTest, RandomBytesNeverLeadOutsideTheBuffer) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 3000; ++round) {
    size_t size = 9 + random() % 120;
    Bytes b(size);
    for (auto& x : b) x = static_cast<UCHAR>(random() % 4 == 0 ? random() % 12 : random());
    b[0] = 9;
    b[1] = 2;
    SetTotalLength(b);
    auto c = Config(b);
    for (int probe = 0; probe < 8; ++probe) {
      PUCHAR start = b.data() + random() % size;
      LONG type = probe < 4 ? static_cast<LONG>(random() % 8) : static_cast<LONG>(random() % 256);
      auto d = USBD_ParseDescriptors(c, static_cast<ULONG>(size), start, type);
      if (d) {
        PUCHAR p = reinterpret_cast<PUCHAR>(d);
        ASSERT_GE(p, start);
        ASSERT_GE(d->bLength, 2);
        ASSERT_LE(p + d->bLength, b.data() + size);
        ASSERT_EQ(d->bDescriptorType, type);
      }
      auto i = USBD_ParseConfigurationDescriptorEx(c, start, probe % 2 ? -1 : static_cast<LONG>(random() % 4), -1,
                                                   -1, -1, -1);
      if (i) {
        PUCHAR p = reinterpret_cast<PUCHAR>(i);
        ASSERT_GE(i->bLength, sizeof(USB_INTERFACE_DESCRIPTOR));
        ASSERT_LE(p + i->bLength, b.data() + size);
      }
    }
  }
}

TEST_F(UsbdTest, ConfigurationRequestHasOneInterfaceInformationPerListEntry) {
  Bytes b = AudioConfiguration();
  auto c = Config(b);
  USBD_INTERFACE_LIST_ENTRY list[4] = {
      {USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), nullptr},
      {USBD_ParseConfigurationDescriptorEx(c, c, 1, 1, -1, -1, -1), nullptr},
      {USBD_ParseConfigurationDescriptorEx(c, c, 2, 0, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(c, list);
  ASSERT_NE(urb, nullptr);
  const size_t expected = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) +
                          GET_USBD_INTERFACE_SIZE(1) + GET_USBD_INTERFACE_SIZE(2) + GET_USBD_INTERFACE_SIZE(0);
  EXPECT_EQ(expected, 40u + 48u + 72u + 24u);
  EXPECT_EQ(urb->UrbHeader.Length, expected);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Status, 0);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  EXPECT_EQ(platform::OutstandingPoolBytes(platform::PoolTag("USBD")), expected);

  PUCHAR base = reinterpret_cast<PUCHAR>(urb);
  const size_t offsets[3] = {40, 40 + 48, 40 + 48 + 72};
  const UCHAR numbers[3] = {0, 1, 2}, alternates[3] = {0, 1, 0}, pipes[3] = {1, 2, 0};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    ASSERT_EQ(reinterpret_cast<PUCHAR>(info), base + offsets[i]);
    EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(pipes[i]));
    EXPECT_EQ(info->InterfaceNumber, numbers[i]);
    EXPECT_EQ(info->AlternateSetting, alternates[i]);
    EXPECT_EQ(info->NumberOfPipes, pipes[i]);
    EXPECT_EQ(info->InterfaceHandle, nullptr);
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
      EXPECT_EQ(info->Pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
      EXPECT_EQ(info->Pipes[p].PipeHandle, nullptr);
      EXPECT_EQ(info->Pipes[p].PipeFlags, 0u);
    }
  }
  ExFreePool(urb);
}

TEST_F(UsbdTest, ConfigurationRequestReportsAllocationFailure) {
  Bytes b = AudioConfiguration();
  auto c = Config(b);
  USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), nullptr},
                                       {nullptr, nullptr}};
  platform::FailPoolAllocation(platform::PoolTag("USBD"), 0);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, list), nullptr);
  EXPECT_EQ(list[0].Interface, nullptr);
  PURB urb = USBD_CreateConfigurationRequestEx(c, list);
  ASSERT_NE(urb, nullptr);
  ExFreePool(urb);
}

TEST_F(UsbdTest, BuilderMacrosFillTheDocumentedFields) {
  URB urb;
  memset(&urb, 0xAB, sizeof urb);
  UCHAR buffer[18];
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                               0x0409, buffer, nullptr, sizeof buffer, nullptr);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(urb.UrbHeader.Length, 136);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.DescriptorType, 1);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.LanguageId, 0x0409);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBuffer, buffer);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);

  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, 0x01, 0x0100, 0x2900, buffer, nullptr, 4, nullptr);
  EXPECT_EQ(urb.UrbHeader.Function, 0x1b);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.Request, 1);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.Value, 0x0100);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.Index, 0x2900);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferFlags, 1u);

  UsbBuildSelectInterfaceRequest(&urb, GET_SELECT_INTERFACE_REQUEST_SIZE(2), reinterpret_cast<PVOID>(0x10), 1, 1);
  EXPECT_EQ(urb.UrbSelectInterface.Interface.Length, 104 - 32);
  EXPECT_EQ(urb.UrbSelectInterface.ConfigurationHandle, reinterpret_cast<PVOID>(0x10));
}

TEST_F(UsbdTest, BusInterfaceGuidAndStatusValues) {
  const GUID expected = {0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6}};
  EXPECT_TRUE(IsEqualGUID(USB_BUS_INTERFACE_USBDI_GUID, expected));
  EXPECT_TRUE(USBD_SUCCESS(USBD_STATUS_SUCCESS));
  EXPECT_TRUE(USBD_PENDING(USBD_STATUS_PENDING));
  EXPECT_TRUE(USBD_ERROR(USBD_STATUS_STALL_PID));
  EXPECT_EQ(static_cast<ULONG>(USBD_STATUS_ISOCH_REQUEST_FAILED), 0xC0000B00u);
  EXPECT_EQ(static_cast<ULONG>(USBD_STATUS_BAD_START_FRAME), 0xC0000A00u);
}

}  // namespace
