// The low-latency stream's shared block on its own: the layout a client
// computes its addresses from, silence, the header words, and every way a
// client's request could make the kernel allocate too little, write outside
// the block or the device frame, or leave memory or a mapping behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/asiochannel/asio_buffer.h"
#include "driver/runtime/pool_tags.h"
#include "platform/kernel/client_process.h"
#include "platform/kernel/verifier.h"
#include "tests/support/verifier_test.h"
#include "tests/driver/asio_buffer_info.h"

namespace {

constexpr uint32_t kInt16LSB = 16;
constexpr uint32_t kInt32LSB = 18;
constexpr uint32_t kFloat64LSB = 20;
constexpr uint32_t kDSDInt8MSB1 = 33;
constexpr size_t kPage = PAGE_SIZE;

// An AsioBufferRequest as the client lays it out: count, frames, then
// {sampleType, channel} per entry.
std::vector<uint32_t> Request(uint32_t frames, std::vector<std::pair<uint32_t, uint32_t>> entries) {
  std::vector<uint32_t> words{static_cast<uint32_t>(entries.size()), frames};
  for (const auto& e : entries) {
    words.push_back(e.first);
    words.push_back(e.second);
  }
  return words;
}

using asiotest::Info;
inline Info Entry(const std::vector<uint8_t>& value, size_t i) { return asiotest::Entry64(value, i); }

class AsioBufferTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    mdlBaseline_ = platform::OutstandingMdls();
    usbBytesBaseline_ = platform::OutstandingPoolBytes(POOLTAG_USB);
    process_ = platform::CreateClientProcess("asio-buffer-test");
  }
  void TearDown() override {
    buffer_.Free();
    EXPECT_EQ(platform::UserMappingCount(process_), 0u);
    platform::EndClientProcess(process_);
    EXPECT_EQ(platform::OutstandingMdls(), mdlBaseline_) << platform::DescribeOutstandingMdls();
    VerifiedTest::TearDown();
  }

  // The request sent from the client process, `instanceBytes` as received
  // (default: all the words).
  NTSTATUS Create(const std::vector<uint32_t>& words, ULONG deviceChannels, ULONG instanceBytes = 0) {
    platform::ProcessScope scope(process_);
    return buffer_.AllocateAndMapForUserSpace(reinterpret_cast<const AsioBufferRequest*>(words.data()),
                                              instanceBytes != 0 ? instanceBytes : ULONG(words.size() * 4),
                                              deviceChannels);
  }

  std::vector<uint8_t> Describe(ULONG count) {
    std::vector<uint8_t> value(count * sizeof(AsioBufferInfo64));
    EXPECT_EQ(buffer_.DescribeChannels(value.data(), ULONG(value.size()), FALSE), STATUS_SUCCESS);
    return value;
  }

  uint8_t* Kernel(const Info& info, int half) {
    return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(info.kernelHalf[half]));
  }

  // Nothing of a refused request stays: no pool, no MDL, no mapping, no buffers.
  void ExpectNothingLeft() {
    EXPECT_EQ(buffer_.GetCount(), 0u);
    EXPECT_EQ(buffer_.Header(), nullptr);
    EXPECT_EQ(buffer_.ClientBlockAddress(), 0u);
    EXPECT_EQ(platform::OutstandingPoolBytes(POOLTAG_USB), usbBytesBaseline_) << platform::DescribeOutstandingPool();
    EXPECT_EQ(platform::OutstandingMdls(), mdlBaseline_);
    EXPECT_EQ(platform::UserMappingCount(process_), 0u);
  }

  platform::ClientProcess* process_ = nullptr;
  CAsioDeviceBuffer buffer_;
  size_t mdlBaseline_ = 0;
  size_t usbBytesBaseline_ = 0;
};

TEST_F(AsioBufferTest, ChannelsFollowTheHeaderInRequestOrderWithTheirTwoHalves) {
  // 16 + 4·256 + 2·256 = 1552 bytes.
  ASSERT_EQ(Create(Request(256, {{kInt32LSB, 1}, {kInt16LSB, 0}}), 2), STATUS_SUCCESS);
  ASSERT_EQ(buffer_.GetCount(), 2u);
  EXPECT_EQ(buffer_.GetHalfFrames(), 128u);
  const std::vector<uint8_t> value = Describe(2);
  uint8_t* block = reinterpret_cast<uint8_t*>(const_cast<AsioSharedHeader*>(buffer_.Header()));
  const Info first = Entry(value, 0), second = Entry(value, 1);
  EXPECT_EQ(first.channel, 1u);
  EXPECT_EQ(first.sampleType, kInt32LSB);
  EXPECT_EQ(first.halfFrames, 128u);
  EXPECT_EQ(Kernel(first, 0), block + 16);
  EXPECT_EQ(Kernel(first, 1), block + 16 + 512);
  EXPECT_EQ(second.channel, 0u);
  EXPECT_EQ(second.sampleType, kInt16LSB);
  EXPECT_EQ(Kernel(second, 0), block + 16 + 1024);
  EXPECT_EQ(Kernel(second, 1), block + 16 + 1024 + 256);
  // The client's addresses: the same offsets in its own view of the block.
  const uint64_t client = buffer_.ClientBlockAddress();
  EXPECT_NE(client, reinterpret_cast<uintptr_t>(block));
  EXPECT_EQ(first.clientHalf[0], client + 16);
  EXPECT_EQ(first.clientHalf[1], client + 16 + 512);
  EXPECT_EQ(second.clientHalf[0], client + 16 + 1024);
  EXPECT_EQ(second.clientHalf[1], client + 16 + 1024 + 256);
  EXPECT_TRUE(platform::IsUserAddressOf(process_, reinterpret_cast<void*>(second.clientHalf[1]), 256));
  // The same bytes: what the client writes the kernel reads.
  reinterpret_cast<volatile uint8_t*>(second.clientHalf[1])[255] = 0x5A;
  EXPECT_EQ(Kernel(second, 1)[255], 0x5A);
}

TEST_F(AsioBufferTest, BlockIsWholePagesOfItsOwnSoTheClientSeesNoOtherPoolMemory) {
  // 16 + 4·1024 = 4112 bytes: two pages.
  ASSERT_EQ(Create(Request(1024, {{kInt32LSB, 0}}), 2), STATUS_SUCCESS);
  const uintptr_t block = reinterpret_cast<uintptr_t>(buffer_.Header());
  EXPECT_EQ(block % kPage, 0u);
  const size_t arrayBytes = sizeof(SIZE_T) + sizeof(CAsioBuffer);
  EXPECT_EQ(platform::OutstandingPoolBytes(POOLTAG_USB) - usbBytesBaseline_, 2 * kPage + arrayBytes);
  const void* client = reinterpret_cast<void*>(buffer_.ClientBlockAddress());
  EXPECT_TRUE(platform::IsUserAddressOf(process_, client, 2 * kPage));
  // The tail of the last page holds nothing from the kernel.
  const uint8_t* tail = reinterpret_cast<const uint8_t*>(client) + 4112;
  for (size_t i = 0; i < 2 * kPage - 4112; ++i) ASSERT_EQ(tail[i], 0) << "byte " << i << " of the tail";
}

TEST_F(AsioBufferTest, HalvesStartSilentForTheirTypeAndEveryDescriptionSilencesThemAgain) {
  ASSERT_EQ(Create(Request(64, {{kDSDInt8MSB1, 0}, {kInt32LSB, 1}}), 2), STATUS_SUCCESS);
  for (int round = 0; round < 2; ++round) {
    const std::vector<uint8_t> value = Describe(2);
    const Info dsd = Entry(value, 0), pcm = Entry(value, 1);
    for (int half = 0; half < 2; ++half) {
      for (int i = 0; i < 32; ++i) ASSERT_EQ(Kernel(dsd, half)[i], 0xAA) << round << "/" << half << "/" << i;
      for (int i = 0; i < 128; ++i) ASSERT_EQ(Kernel(pcm, half)[i], 0x00) << round << "/" << half << "/" << i;
      memset(Kernel(dsd, half), 0x11, 32);
      memset(Kernel(pcm, half), 0x22, 128);
    }
  }
}

TEST_F(AsioBufferTest, ToggleAndStreamErrorReachTheHeaderWhichTheKernelNeverReadsBack) {
  ASSERT_EQ(Create(Request(8, {{kInt32LSB, 0}}), 1), STATUS_SUCCESS);
  volatile AsioSharedHeader* header = buffer_.Header();
  // Zeroed although fresh pool is filled with a pattern.
  EXPECT_EQ(AsioHeaderLoad(&header->currentHalf), 0u);
  EXPECT_EQ(AsioHeaderLoad(&header->toggleCount), 0u);
  EXPECT_EQ(AsioHeaderLoad(&header->streamError), 0u);
  buffer_.Toggle();
  EXPECT_EQ(AsioHeaderLoad(&header->currentHalf), 1u);
  EXPECT_EQ(AsioHeaderLoad(&header->toggleCount), 1u);
  EXPECT_EQ(buffer_.GetPosition(), 0u);
  // The client resets the count and scribbles over word 0: the kernel goes
  // on from its own half.
  AsioHeaderStore(&header->toggleCount, 0);
  AsioHeaderStore(&header->currentHalf, 0xDEADBEEF);
  buffer_.Toggle();
  EXPECT_EQ(buffer_.GetCurrentHalf(), 0u);
  EXPECT_EQ(AsioHeaderLoad(&header->currentHalf), 0u);
  EXPECT_EQ(AsioHeaderLoad(&header->toggleCount), 1u);
  buffer_.SetCurrentHalf(7);
  EXPECT_EQ(buffer_.GetCurrentHalf(), 1u);

  for (NTSTATUS other : {STATUS_UNSUCCESSFUL, STATUS_CANCELLED, STATUS_DEVICE_DATA_ERROR, STATUS_IO_TIMEOUT,
                         STATUS_SUCCESS}) {
    buffer_.RecordStreamError(other);
    EXPECT_EQ(AsioHeaderLoad(&header->streamError), 0u) << std::hex << other;
  }
  for (NTSTATUS gone : {STATUS_NO_SUCH_DEVICE, STATUS_DELETE_PENDING, STATUS_DEVICE_NOT_CONNECTED}) {
    buffer_.RecordStreamError(gone);
    EXPECT_EQ(AsioHeaderLoad(&header->streamError), static_cast<uint32_t>(gone));
  }
}

TEST_F(AsioBufferTest, MalformedRequestsAreRefusedWithNothingAllocated) {
  struct Case {
    const char* what;
    std::vector<uint32_t> words;
    ULONG deviceChannels;
    ULONG instanceBytes;
  };
  std::vector<Case> cases = {
      {"no entries", {0, 256, kInt32LSB, 0}, 2, 16},
      {"15-byte instance", Request(256, {{kInt32LSB, 0}}), 2, 15},
      {"two entries in 16 bytes", Request(256, {{kInt32LSB, 0}, {kInt32LSB, 1}}), 2, 16},
      // 8 + 8·count wraps to 16 in 32 bits.
      {"count wrapping the instance check", {0x20000001u, 256, kInt32LSB, 0}, 2, 16},
      // 16 + 4·frames wraps to 24 in 32 bits.
      {"frames wrapping the block size", Request(0x40000002u, {{kInt32LSB, 0}}), 2, 0},
      // Two channels of 2^32 bytes each wrap to an empty block.
      {"channel sizes wrapping their sum", Request(0x80000000u, {{kInt16LSB, 0}, {kInt16LSB, 1}}), 2, 0},
      {"block beyond 4 GB", Request(0x7FFFFFFEu, {{kInt32LSB, 0}, {kInt32LSB, 1}}), 2, 0},
      {"channel outside the device frame", Request(256, {{kInt32LSB, 0}, {kInt32LSB, 2}}), 2, 0},
      {"channel far outside the device frame", Request(256, {{kInt32LSB, 0xFFFFFFFFu}}), 2, 0},
      {"odd frames", Request(257, {{kInt32LSB, 0}}), 2, 0},
      {"no frames", Request(0, {{kInt32LSB, 0}}), 2, 0},
      {"sample type without a size", Request(256, {{kInt32LSB, 0}, {99, 1}}), 2, 0},
      {"no device channels", Request(256, {{kInt32LSB, 0}}), 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Create(c.words, c.deviceChannels, c.instanceBytes), STATUS_INVALID_DEVICE_REQUEST) << c.what;
    ExpectNothingLeft();
  }
  // The surplus of a 16·count instance is ignored, and after all those the
  // buffers can still be made once.
  std::vector<uint32_t> words = Request(256, {{kInt32LSB, 0}, {kInt32LSB, 1}});
  words.resize(8, 0xFFFFFFFFu);
  EXPECT_EQ(Create(words, 2), STATUS_SUCCESS);
  EXPECT_EQ(Create(Request(256, {{kInt32LSB, 0}}), 2), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(buffer_.GetCount(), 2u);
}

TEST_F(AsioBufferTest, AClientCannotPinMoreNonPagedMemoryThanAHostCouldUse) {
  // 64 channels of Float64 samples at an 8192-frame buffer: a large honest block.
  std::vector<std::pair<uint32_t, uint32_t>> honest;
  for (uint32_t channel = 0; channel < 64; ++channel) honest.push_back({kFloat64LSB, channel});
  EXPECT_EQ(Create(Request(2 * 8192, honest), 64), STATUS_SUCCESS);
  buffer_.Free();
  ExpectNothingLeft();
  // Within 4 GB, so it passes the size checks, but far beyond what a host uses.
  EXPECT_EQ(Create(Request(0x10000000u, {{kInt32LSB, 0}}), 2), STATUS_INSUFFICIENT_RESOURCES);
  ExpectNothingLeft();
  // Many entries of tiny channels: a small block, a huge channel array.
  std::vector<std::pair<uint32_t, uint32_t>> many(100000, {kInt16LSB, 0});
  EXPECT_EQ(Create(Request(2, many), 2), STATUS_INSUFFICIENT_RESOURCES);
  ExpectNothingLeft();
}

TEST_F(AsioBufferTest, AllocationAndMappingFailuresLeaveNothingAndALaterRequestSucceeds) {
  const std::vector<uint32_t> words = Request(256, {{kInt32LSB, 0}, {kInt16LSB, 1}});
  platform::FailPoolAllocation(POOLTAG_USB, 0);  // the block
  EXPECT_EQ(Create(words, 2), STATUS_INSUFFICIENT_RESOURCES);
  ExpectNothingLeft();
  platform::FailNextUserMappings(1);
  EXPECT_EQ(Create(words, 2), STATUS_INSUFFICIENT_RESOURCES);
  ExpectNothingLeft();
  platform::FailPoolAllocation(POOLTAG_USB, 1);  // the channel array, after the mapping
  EXPECT_EQ(Create(words, 2), STATUS_INSUFFICIENT_RESOURCES);
  ExpectNothingLeft();
  platform::ResetFaultInjection();
  EXPECT_EQ(Create(words, 2), STATUS_SUCCESS);
  EXPECT_EQ(platform::UserMappingCount(process_), 1u);
}

TEST_F(AsioBufferTest, CopiesNeverConvertPastTheEndOfAHalfOrOutsideTheDeviceFrame) {
  // Four frames per half, one 32-bit channel at index 1 of a 2-channel frame.
  ASSERT_EQ(Create(Request(8, {{kInt32LSB, 1}}), 2), STATUS_SUCCESS);
  const Info info = Entry(Describe(1), 0);
  const uint32_t half0[4] = {0x01010101, 0x02020202, 0x03030303, 0x04040404};
  const uint32_t half1[4] = {0x11111111, 0x12121212, 0x13131313, 0x14141414};
  memcpy(Kernel(info, 0), half0, sizeof half0);
  memcpy(Kernel(info, 1), half1, sizeof half1);
  uint32_t device[2 * 8];
  for (uint32_t& d : device) d = 0xCCCCCCCC;
  // Six frames asked for, four left in the half: the last two keep their bytes.
  buffer_.CopyRender(reinterpret_cast<PUCHAR>(device), 6, 8, 32);
  for (int f = 0; f < 4; ++f) EXPECT_EQ(device[2 * f + 1], half0[f]) << "frame " << f;
  for (int f = 4; f < 8; ++f) EXPECT_EQ(device[2 * f + 1], 0xCCCCCCCCu) << "frame " << f;
  for (int f = 0; f < 8; ++f) EXPECT_EQ(device[2 * f], 0xCCCCCCCCu) << "channel 0 untouched, frame " << f;
  EXPECT_EQ(buffer_.GetPosition(), 6u);
  buffer_.CopyRender(reinterpret_cast<PUCHAR>(device + 8), 2, 8, 32);
  EXPECT_EQ(device[9], 0xCCCCCCCCu);
  // A capture run the same way: never past half 1 into the next page.
  buffer_.Toggle();
  uint32_t captured[2 * 8];
  for (int f = 0; f < 8; ++f) captured[2 * f + 1] = 0xA0000000u + f;
  buffer_.CopyCapture(reinterpret_cast<PUCHAR>(captured), 8, 8, 32);
  for (int f = 0; f < 4; ++f) EXPECT_EQ(reinterpret_cast<uint32_t*>(Kernel(info, 1))[f], 0xA0000000u + f);
  EXPECT_EQ(reinterpret_cast<uint32_t*>(Kernel(info, 1))[4], 0u) << "the bytes after half 1";
  // A frame too narrow for the channel's container (the format changed
  // under the buffers): nothing written beyond it.
  buffer_.Toggle();
  uint32_t narrow[4] = {0xCCCCCCCC, 0xCCCCCCCC, 0xCCCCCCCC, 0xCCCCCCCC};
  buffer_.CopyRender(reinterpret_cast<PUCHAR>(narrow), 2, 4, 32);
  for (uint32_t n : narrow) EXPECT_EQ(n, 0xCCCCCCCCu);
}

TEST_F(AsioBufferTest, FreeFromAnotherProcessRemovesTheMappingInTheProcessThatHasIt) {
  ASSERT_EQ(Create(Request(256, {{kInt32LSB, 0}}), 1), STATUS_SUCCESS);
  EXPECT_EQ(platform::UserMappingCount(process_), 1u);
  platform::ClientProcess* other = platform::CreateClientProcess("other");
  {
    platform::ProcessScope scope(other);
    buffer_.Free();
  }
  platform::EndClientProcess(other);
  EXPECT_EQ(platform::UserMappingCount(process_), 0u);
  // And from the system process.
  ASSERT_EQ(Create(Request(256, {{kInt32LSB, 0}}), 1), STATUS_SUCCESS);
  buffer_.Free();
  ExpectNothingLeft();
}

}  // namespace
