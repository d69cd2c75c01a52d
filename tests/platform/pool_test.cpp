// Pool and lookaside accounting, fill patterns and fault injection.
#include <set>
#include <vector>

#include "tests/support/verifier_test.h"

namespace {

using platform::PoolTag;

constexpr ULONG kTag = PoolTag("TsPl");
constexpr ULONG kListTag = PoolTag("TsLa");

class PoolTest : public VerifiedTest {};

TEST_F(PoolTest, TagsAreTheBytesOfTheirNameAsPoolmonShowsThem) {
  // 0x41425355 is the multi-character constant 'ABSU' drivers write.
  static_assert(PoolTag("USBA") == 0x41425355, "tags are written backwards as multi-character constants");
  EXPECT_EQ(platform::TagToString(0x41425355), "USBA");
  EXPECT_EQ(platform::TagToString(PoolTag("a\x01" "cd")), "a.cd");
  ULONG tag = PoolTag("USBA");
  EXPECT_EQ(memcmp(&tag, "USBA", 4), 0);
}

TEST_F(PoolTest, AccountingFollowsAllocationsPerTag) {
  const uint64_t totalBefore = platform::TotalPoolAllocations(kTag);
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag);
  void* b = ExAllocatePoolWithTag(PagedPool, 28, kTag);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 5, PoolTag("TsP2"));
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(platform::OutstandingPoolAllocations(kTag), 2u);
  EXPECT_EQ(platform::OutstandingPoolBytes(kTag), 128u);
  EXPECT_EQ(platform::OutstandingPoolAllocations(PoolTag("TsP2")), 1u);
  EXPECT_EQ(platform::TotalPoolAllocations(kTag), totalBefore + 2);
  std::string description = platform::DescribeOutstandingPool();
  EXPECT_NE(description.find("TsPl: 2 allocations, 128 bytes"), std::string::npos) << description;
  EXPECT_NE(description.find("TsP2: 1 allocations, 5 bytes"), std::string::npos) << description;

  ExFreePoolWithTag(a, kTag);
  ExFreePool(b);  // no tag check
  ExFreePoolWithTag(c, PoolTag("TsP2"));
  EXPECT_EQ(platform::OutstandingPoolAllocations(kTag), 0u);
  EXPECT_EQ(platform::OutstandingPoolBytes(kTag), 0u);
  EXPECT_EQ(platform::TotalPoolAllocations(kTag), totalBefore + 2) << "the total never goes down";
}

TEST_F(PoolTest, NewBlocksAreNotZeroedUnlessAskedFor) {
  UCHAR* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag));
  ASSERT_NE(p, nullptr);
  int zeros = 0;
  for (int i = 0; i < 64; ++i) zeros += p[i] == 0;
  EXPECT_EQ(zeros, 0) << "code that forgets to initialize must not find zeros";
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(p) % 16, 0u) << "pool blocks are 16-byte aligned at least";
  ExFreePoolWithTag(p, kTag);
}

TEST_F(PoolTest, BlocksHaveTheAlignmentWindowsGuaranteesAndNoMore) {
  // 16 bytes for small blocks (x64), the cache line for the cache-aligned
  // types, the page from a page on. Small blocks are not 32-byte aligned
  // here, so code that needs more than Windows promises fails on the host.
  for (SIZE_T size : {1, 8, 24, 100, 1000}) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(p) % 16, 0u) << size;
    EXPECT_NE(reinterpret_cast<ULONG_PTR>(p) % 32, 0u) << size;
    ExFreePoolWithTag(p, kTag);
  }
  void* cached = ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned, 40, kTag);
  void* page = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag);
  ASSERT_TRUE(cached && page);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(cached) % 64, 0u);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(page) % PAGE_SIZE, 0u);
  ExFreePoolWithTag(cached, kTag);
  ExFreePoolWithTag(page, kTag);
}

TEST_F(PoolTest, ZeroByteAllocationsAreDistinctLiveBlocks) {
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  ExFreePoolWithTag(a, kTag);
  ExFreePoolWithTag(b, kTag);
}

TEST_F(PoolTest, InjectedFailureHitsTheNthMatchingAllocationOnly) {
  platform::FailPoolAllocation(kTag, 2);
  std::vector<void*> blocks;
  std::vector<bool> failed;
  for (int i = 0; i < 5; ++i) {
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("TsOt"));
    EXPECT_NE(other, nullptr) << "other tags are not counted";
    ExFreePoolWithTag(other, PoolTag("TsOt"));
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    failed.push_back(p == nullptr);
    if (p) blocks.push_back(p);
  }
  EXPECT_EQ(failed, (std::vector<bool>{false, false, true, false, false}));
  for (void* p : blocks) ExFreePoolWithTag(p, kTag);

  platform::FailPoolAllocation(0, 0);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("TsAn")), nullptr) << "tag 0 matches any tag";
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("TsAn"));
  EXPECT_NE(p, nullptr);
  ExFreePoolWithTag(p, PoolTag("TsAn"));

  platform::FailPoolAllocation(kTag, 0);
  platform::ResetFaultInjection();
  p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
  EXPECT_NE(p, nullptr) << "reset disarms pending failures";
  ExFreePoolWithTag(p, kTag);
}

class LookasideTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    ExInitializeNPagedLookasideList(&list_, nullptr, nullptr, POOL_NX_ALLOCATION, 40, kListTag, 0);
  }
  void TearDown() override {
    ExDeleteNPagedLookasideList(&list_);
    VerifiedTest::TearDown();
  }
  NPAGED_LOOKASIDE_LIST list_;
};

TEST_F(LookasideTest, EntriesArePoolBlocksWithTheListsTagAndAreCachedOnFree) {
  const uint64_t before = platform::TotalPoolAllocations(kListTag);
  std::vector<void*> entries;
  for (int i = 0; i < 5; ++i) entries.push_back(ExAllocateFromNPagedLookasideList(&list_));
  std::set<void*> distinct(entries.begin(), entries.end());
  EXPECT_EQ(distinct.size(), 5u);
  EXPECT_EQ(platform::OutstandingPoolAllocations(kListTag), 5u);
  EXPECT_EQ(platform::OutstandingPoolBytes(kListTag), 200u);
  EXPECT_EQ(platform::TotalPoolAllocations(kListTag), before + 5);
  const UCHAR* fresh = static_cast<const UCHAR*>(entries[0]);
  EXPECT_NE(fresh[39], 0) << "fresh entries carry the fill pattern";

  for (void* e : entries) ExFreeToNPagedLookasideList(&list_, e);
  EXPECT_EQ(platform::OutstandingPoolAllocations(kListTag), 5u) << "freed entries stay cached in the list";

  // Steady state: the same number in flight again allocates nothing new.
  std::vector<void*> again;
  for (int round = 0; round < 100; ++round) {
    for (int i = 0; i < 5; ++i) again.push_back(ExAllocateFromNPagedLookasideList(&list_));
    for (void* e : again) ExFreeToNPagedLookasideList(&list_, e);
    again.clear();
  }
  EXPECT_EQ(platform::TotalPoolAllocations(kListTag), before + 5);
  EXPECT_EQ(list_.L.TotalAllocates, 505u);
  EXPECT_EQ(list_.L.AllocateMisses, 5u);
  EXPECT_EQ(list_.L.TotalFrees, 505u);
  EXPECT_EQ(list_.L.Tag, kListTag);
  EXPECT_EQ(list_.L.Size, 40u);
}

TEST_F(LookasideTest, DeleteReturnsCachedEntriesToThePool) {
  void* e = ExAllocateFromNPagedLookasideList(&list_);
  ExFreeToNPagedLookasideList(&list_, e);
  EXPECT_EQ(platform::OutstandingPoolAllocations(kListTag), 1u);
  ExDeleteNPagedLookasideList(&list_);
  EXPECT_EQ(platform::OutstandingPoolAllocations(kListTag), 0u);
  ExInitializeNPagedLookasideList(&list_, nullptr, nullptr, 0, 40, kListTag, 0);  // for TearDown
}

TEST_F(LookasideTest, FailedPoolAllocationReachesTheCaller) {
  platform::FailPoolAllocation(kListTag, 0);
  EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list_), nullptr);
  void* e = ExAllocateFromNPagedLookasideList(&list_);
  EXPECT_NE(e, nullptr);
  ExFreeToNPagedLookasideList(&list_, e);
}

int g_customAllocations = 0;
int g_customFrees = 0;

PVOID NTAPI CustomAllocate(POOL_TYPE type, SIZE_T size, ULONG tag) {
  g_customAllocations++;
  return ExAllocatePoolWithTag(type, size + 8, tag);
}
VOID NTAPI CustomFree(PVOID p) {
  g_customFrees++;
  ExFreePoolWithTag(p, kListTag);
}

TEST_F(LookasideTest, CustomAllocatorAndFreeAreUsed) {
  NPAGED_LOOKASIDE_LIST custom;
  g_customAllocations = g_customFrees = 0;
  ExInitializeNPagedLookasideList(&custom, &CustomAllocate, &CustomFree, 0, 16, kListTag, 0);
  void* e = ExAllocateFromNPagedLookasideList(&custom);
  EXPECT_EQ(g_customAllocations, 1);
  EXPECT_EQ(platform::OutstandingPoolBytes(kListTag), 24u);
  ExFreeToNPagedLookasideList(&custom, e);
  ExDeleteNPagedLookasideList(&custom);
  EXPECT_EQ(g_customFrees, 1);
}

}  // namespace
