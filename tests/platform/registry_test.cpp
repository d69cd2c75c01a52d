// RtlQueryRegistryValues over the in-memory registry: direct DWORD reads
// with defaults, REQUIRED and TYPECHECK, relative roots, strings, query
// routines, and the driver's tuning-key pattern of two values in one query.
#include "platform/kernel/registry.h"
#include "tests/support/verifier_test.h"

namespace {

const std::u16string kKey = u"\\Registry\\Machine\\SOFTWARE\\KEL\\Sample Device Performance";

class Registry : public VerifiedTest {
 protected:
  void TearDown() override {
    platform::RegistryClear();
    VerifiedTest::TearDown();
  }
};

// Two DWORDs read directly with defaults, as the driver reads its pairs.
NTSTATUS ReadPair(ULONG* first, ULONG* second, ULONG flags = 0, ULONG defaultType = REG_DWORD) {
  ULONG defaultFirst = 4, defaultSecond = 8;
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
  table[0].Name = L"param1";
  table[0].EntryContext = first;
  table[0].DefaultType = defaultType;
  table[0].DefaultData = &defaultFirst;
  table[0].DefaultLength = sizeof(ULONG);
  table[1] = table[0];
  table[1].Name = L"param2";
  table[1].EntryContext = second;
  table[1].DefaultData = &defaultSecond;
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\KEL\\Sample Device Performance",
                                table, NULL, NULL);
}

TEST_F(Registry, DirectDwordsWithDefaults) {
  ULONG a = 0, b = 0;
  EXPECT_EQ(ReadPair(&a, &b), STATUS_OBJECT_NAME_NOT_FOUND);  // no key at all
  platform::RegistrySetDword(kKey, u"PARAM1", 2);            // names are case-insensitive
  ASSERT_EQ(ReadPair(&a, &b), STATUS_SUCCESS);
  EXPECT_EQ(a, 2u);
  EXPECT_EQ(b, 8u);  // the default
  // Required: a missing value fails the whole query.
  EXPECT_EQ(ReadPair(&a, &b, RTL_QUERY_REGISTRY_REQUIRED), STATUS_OBJECT_NAME_NOT_FOUND);
  platform::RegistrySetDword(u"\\REGISTRY\\MACHINE\\software\\kel\\sample device performance", u"param2", 17);
  a = b = 0;
  ASSERT_EQ(ReadPair(&a, &b, RTL_QUERY_REGISTRY_REQUIRED), STATUS_SUCCESS);
  EXPECT_EQ(a, 2u);
  EXPECT_EQ(b, 17u);
}

TEST_F(Registry, TypeCheckRefusesAValueOfAnotherType) {
  platform::RegistrySetString(kKey, u"param1", u"four");
  platform::RegistrySetDword(kKey, u"param2", 3);
  ULONG a = 0xAAAA, b = 0;
  EXPECT_EQ(ReadPair(&a, &b, RTL_QUERY_REGISTRY_TYPECHECK, REG_DWORD | (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(a, 0xAAAAu);  // nothing written
}

TEST_F(Registry, StringsRoutinesAndRelativeRoots) {
  platform::RegistrySetString(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vm_usbaudio\\Parameters",
                              u"Name", u"Velmora");
  platform::RegistrySetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vm_usbaudio\\Parameters",
                             u"Count", 5);
  UNICODE_STRING text{};
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
  table[0].Name = L"Name";
  table[0].EntryContext = &text;
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"vm_usbaudio\\Parameters", table, NULL, NULL),
            STATUS_SUCCESS);
  ASSERT_NE(text.Buffer, nullptr);  // allocated for the caller
  EXPECT_EQ(text.Length, 7 * sizeof(WCHAR));
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text.Buffer), 7), u"Velmora");
  RtlFreeUnicodeString(&text);

  // Without a name a routine sees every value of the key.
  struct Seen {
    int count = 0;
    ULONG lastType = 0;
  } seen;
  table[0] = {};
  table[0].QueryRoutine = [](PWSTR, ULONG type, PVOID, ULONG, PVOID context, PVOID) -> NTSTATUS {
    static_cast<Seen*>(context)->count++;
    static_cast<Seen*>(context)->lastType = type;
    return STATUS_SUCCESS;
  };
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"vm_usbaudio\\Parameters", table, &seen, NULL),
            STATUS_SUCCESS);
  EXPECT_EQ(seen.count, 2);

  // RtlWriteRegistryValue creates what is missing; the host API sees it.
  ULONG value = 9;
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\New\\Key", L"v", REG_DWORD,
                                  &value, sizeof value),
            STATUS_SUCCESS);
  platform::RegistryValue read;
  ASSERT_TRUE(platform::RegistryGetValue(u"\\Registry\\Machine\\SOFTWARE\\New\\Key", u"V", &read));
  EXPECT_EQ(read.type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(read.data.size(), 4u);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\New\\Key", L"v"),
            STATUS_SUCCESS);
  EXPECT_FALSE(platform::RegistryGetValue(u"\\Registry\\Machine\\SOFTWARE\\New\\Key", u"v", nullptr));
}

}  // namespace
