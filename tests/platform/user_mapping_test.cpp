// User-mode mappings of pool blocks: the same pages at a second address in a
// client process, removed only in that process, and the verifier stops for
// mappings that expose other kernel memory or are left behind.
#include <ntifs.h>

#include <cstring>

#include "platform/kernel/client_process.h"
#include "tests/support/verifier_test.h"

namespace {

using platform::ClientProcess;
using platform::PoolTag;
using platform::ProcessScope;

constexpr ULONG kTag = PoolTag("TsUm");

// A pool block with an MDL built for it, as the driver makes its shared block.
struct Block {
  explicit Block(SIZE_T bytes, SIZE_T mdlOffset = 0, ULONG mdlBytes = 0) : size(bytes) {
    kernel = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTag));
    mdl = IoAllocateMdl(kernel + mdlOffset, mdlBytes ? mdlBytes : static_cast<ULONG>(bytes - mdlOffset), FALSE,
                        FALSE, NULL);
    MmBuildMdlForNonPagedPool(mdl);
  }
  ~Block() {
    IoFreeMdl(mdl);
    ExFreePoolWithTag(kernel, kTag);
  }
  UCHAR* MapForUser() {
    return static_cast<UCHAR*>(
        MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, NULL, FALSE, NormalPagePriority));
  }
  SIZE_T size;
  UCHAR* kernel;
  PMDL mdl;
};

class UserMappings : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    process_ = platform::CreateClientProcess("asio host");
  }
  void TearDown() override {
    platform::EndClientProcess(process_);
    VerifiedTest::TearDown();
  }
  ClientProcess* process_ = nullptr;
};

TEST_F(UserMappings, TheClientSeesTheSameBytesAtAnotherAddress) {
  Block block(2 * PAGE_SIZE + 100);
  ASSERT_EQ(reinterpret_cast<ULONG_PTR>(block.kernel) % PAGE_SIZE, 0u);  // a page or more is page-aligned
  UCHAR* user;
  {
    ProcessScope scope(process_);
    user = block.MapForUser();
  }
  ASSERT_NE(user, nullptr);
  EXPECT_NE(user, block.kernel);
  EXPECT_EQ(platform::UserMappingCount(process_), 1u);
  EXPECT_TRUE(platform::IsUserAddressOf(process_, user, block.size));
  EXPECT_FALSE(platform::IsUserAddressOf(process_, block.kernel, 1));
  EXPECT_FALSE(platform::IsUserAddressOf(nullptr, user, 1));
  // Both directions, at the start, across a page boundary and at the end.
  for (SIZE_T at : {SIZE_T(0), SIZE_T(PAGE_SIZE - 1), SIZE_T(PAGE_SIZE), block.size - 1}) {
    block.kernel[at] = static_cast<UCHAR>(at * 7 + 1);
    EXPECT_EQ(user[at], static_cast<UCHAR>(at * 7 + 1)) << at;
    user[at] = static_cast<UCHAR>(at * 3 + 2);
    EXPECT_EQ(block.kernel[at], static_cast<UCHAR>(at * 3 + 2)) << at;
  }
  {
    ProcessScope scope(process_);
    MmUnmapLockedPages(user, block.mdl);
  }
  EXPECT_EQ(platform::UserMappingCount(process_), 0u);
}

TEST_F(UserMappings, AnotherContextUnmapsAfterAttachingToTheProcess) {
  Block block(PAGE_SIZE);
  UCHAR* user;
  {
    ProcessScope scope(process_);
    user = block.MapForUser();
  }
  ASSERT_NE(user, nullptr);
  KAPC_STATE state;
  KeStackAttachProcess(reinterpret_cast<PKPROCESS>(platform::ProcessObjectOf(process_)), &state);
  MmUnmapLockedPages(user, block.mdl);
  KeUnstackDetachProcess(&state);
  EXPECT_EQ(platform::UserMappingCount(process_), 0u);
}

TEST_F(UserMappings, InjectedFailuresReturnNull) {
  Block block(PAGE_SIZE);
  ProcessScope scope(process_);
  platform::FailNextUserMappings(2);
  EXPECT_EQ(block.MapForUser(), nullptr);
  EXPECT_EQ(block.MapForUser(), nullptr);
  EXPECT_EQ(platform::UserMappingCount(process_), 0u);
  UCHAR* user = block.MapForUser();
  ASSERT_NE(user, nullptr);
  MmUnmapLockedPages(user, block.mdl);
}

TEST_F(UserMappings, FreedRangesAreNotHandedOutAgainAtOnce) {
  void* first = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag);
  ExFreePoolWithTag(first, kTag);
  void* second = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag);
  EXPECT_NE(second, first);
  ExFreePoolWithTag(second, kTag);
}

using UserMappingsDeathTest = VerifierDeathTest;

TEST_F(UserMappingsDeathTest, MappingMistakesStop) {
  // Below a page the block shares its page with other pool blocks.
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("client");
        Block block(64);
        ProcessScope scope(p);
        block.MapForUser();
      },
      "BUGCHECK MDL_USER_VIEW_EXPOSES_POOL: .*64 bytes");
  // An MDL that starts inside a block's second page covers what lies
  // after it; one that runs past the block's pages covers the next block.
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("client");
        Block block(2 * PAGE_SIZE, PAGE_SIZE);
        ProcessScope scope(p);
        block.MapForUser();
      },
      "BUGCHECK MDL_USER_VIEW_EXPOSES_POOL");
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("client");
        Block block(PAGE_SIZE, 0, 2 * PAGE_SIZE);
        ProcessScope scope(p);
        block.MapForUser();
      },
      "BUGCHECK MDL_USER_VIEW_EXPOSES_POOL");
  EXPECT_DEATH(
      {
        Block block(PAGE_SIZE);
        block.MapForUser();
      },
      "BUGCHECK MDL_USER_MAPPING_NO_PROCESS");
}

// The mapping of the block in `p`, made by this test.
UCHAR* MappedIn(ClientProcess* p, Block& block) {
  ProcessScope scope(p);
  return block.MapForUser();
}

TEST_F(UserMappingsDeathTest, UnmapAndFreeMistakesStop) {
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("mapper");
        ClientProcess* q = platform::CreateClientProcess("stranger");
        Block block(PAGE_SIZE);
        UCHAR* user = MappedIn(p, block);
        ProcessScope scope(q);
        MmUnmapLockedPages(user, block.mdl);
      },
      "BUGCHECK MDL_UNMAP_WRONG_PROCESS: .* in process stranger .*process mapper, made by");
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("mapper");
        Block block(PAGE_SIZE);
        UCHAR* user = MappedIn(p, block);
        MmUnmapLockedPages(user, block.mdl);  // from the system process
      },
      "BUGCHECK MDL_UNMAP_WRONG_PROCESS: .* in process System");
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("mapper");
        Block block(PAGE_SIZE);
        UCHAR* user = MappedIn(p, block);
        ProcessScope scope(p);
        MmUnmapLockedPages(user, block.mdl);
        MmUnmapLockedPages(user, block.mdl);
      },
      "BUGCHECK MDL_UNMAP_UNKNOWN");
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("mapper");
        PVOID kernel = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag);
        PMDL mdl = IoAllocateMdl(kernel, PAGE_SIZE, FALSE, FALSE, NULL);
        MmBuildMdlForNonPagedPool(mdl);
        {
          ProcessScope scope(p);
          (void)MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, NULL, FALSE, NormalPagePriority);
        }
        IoFreeMdl(mdl);
      },
      "BUGCHECK MDL_USER_MAPPING_LEFT: IoFreeMdl");
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("mapper");
        PVOID kernel = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag);
        PMDL mdl = IoAllocateMdl(kernel, PAGE_SIZE, FALSE, FALSE, NULL);
        MmBuildMdlForNonPagedPool(mdl);
        {
          ProcessScope scope(p);
          (void)MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, NULL, FALSE, NormalPagePriority);
        }
        ExFreePool(kernel);
      },
      "BUGCHECK MDL_USER_MAPPING_LEFT: pool block");
  EXPECT_DEATH(
      {
        ClientProcess* p = platform::CreateClientProcess("leaver");
        Block block(PAGE_SIZE);
        MappedIn(p, block);
        platform::EndClientProcess(p);
      },
      "BUGCHECK PROCESS_HAS_LOCKED_PAGES: client process leaver ended with 1 user mappings left:\n"
      ".*user view .* in process leaver, made by");
}

TEST_F(UserMappingsDeathTest, TheSanitizerGuardsLargeBlocks) {
#if !defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "needs AddressSanitizer";
#endif
  // Past the end within the last page, on the guard page, and after a free.
  EXPECT_DEATH(
      {
        volatile UCHAR* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE + 8, kTag));
        p[PAGE_SIZE + 8] = 1;
      },
      "AddressSanitizer");
  EXPECT_DEATH(
      {
        volatile UCHAR* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag));
        p[PAGE_SIZE + 100] = 1;
      },
      "AddressSanitizer");
  EXPECT_DEATH(
      {
        volatile UCHAR* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 3 * PAGE_SIZE, kTag));
        ExFreePoolWithTag(const_cast<UCHAR*>(p), kTag);
        (void)p[PAGE_SIZE];
      },
      "AddressSanitizer");
}

}  // namespace
