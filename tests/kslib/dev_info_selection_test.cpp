// The device list's selection and range summaries on a list filled by the
// test (filters that were never opened): no device needed.
#include <gtest/gtest.h>

#include "kslib/dev_info.h"
#include "platform/win32/debug_output.h"
#include "tests/kslib/kslib_fixture.h"

namespace {

using namespace kslibtest;

class SelectionTest : public ClientTest {
 protected:
  // Filters with these instance ids, in order, and their entries.
  void Fill(std::initializer_list<const WCHAR*> ids) {
    for (const WCHAR* id : ids) {
      HRESULT hr = E_FAIL;
      auto* filter = new CKsAudFilter2(L"\\\\?\\test", &hr);
      ASSERT_EQ(hr, S_OK);
      filter->SetInstanceId(id);
      filter->SetFriendlyName(L"Velmora USB DAC");
      ASSERT_TRUE(info_.AdoptFilter(filter));
    }
    info_.BuildEntryList();
  }

  std::vector<LONG> Flags() const {
    std::vector<LONG> flags;
    for (ULONG i = 0; i < info_.EntryCount(); ++i) flags.push_back(info_.getDeviceEntry(static_cast<LONG>(i))->selected);
    return flags;
  }

  CDevInfo info_;
};

TEST_F(SelectionTest, SelectionByInstanceIdFoldsOnlyAsciiLetters) {
  Fill({L"USB\\VID_1FA7&PID_4D02&MI_00\\6&A&0&0000", L"USB\\VID_1FA7&PID_4D02&MI_00\\6&\x00C4&0&0001"});
  // Letter case of A-Z does not matter.
  ASSERT_TRUE(info_.setCurrentSelectedByDeviceInstanceId(L"usb\\vid_1fa7&pid_4d02&mi_00\\6&a&0&0000"));
  EXPECT_EQ(info_.getCurrentSelected(), info_.Filters().At(0));
  EXPECT_EQ(Flags(), (std::vector<LONG>{1, 0}));
  // Other letters are compared as they are (U+00C4 is not U+00E4).
  EXPECT_FALSE(info_.setCurrentSelectedByDeviceInstanceId(L"USB\\VID_1FA7&PID_4D02&MI_00\\6&\x00E4&0&0001"));
  EXPECT_EQ(info_.getCurrentSelected(), nullptr);
  EXPECT_EQ(Flags(), (std::vector<LONG>{0, 0}));
  ASSERT_TRUE(info_.setCurrentSelectedByDeviceInstanceId(L"usb\\VID_1FA7&PID_4D02&MI_00\\6&\x00C4&0&0001"));
  EXPECT_EQ(info_.getCurrentSelected(), info_.Filters().At(1));
  EXPECT_EQ(Flags(), (std::vector<LONG>{0, 1}));
  // A prefix is not the id.
  EXPECT_FALSE(info_.setCurrentSelectedByDeviceInstanceId(L"USB\\VID_1FA7&PID_4D02&MI_00\\6&A&0&000"));
}

TEST_F(SelectionTest, AnUnknownIdAfterASelectionClearsEveryFlagAndTheSelection) {
  Fill({L"ID\\0", L"ID\\1", L"ID\\2"});
  ASSERT_TRUE(info_.setCurrentSelectedByIndex(2));
  EXPECT_EQ(Flags(), (std::vector<LONG>{0, 0, 1}));
  LONG index = -1;
  ASSERT_TRUE(info_.getCurrentSelectedIndex(&index));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(info_.setCurrentSelectedByDeviceInstanceId(L"ID\\3"));
  EXPECT_EQ(Flags(), (std::vector<LONG>{0, 0, 0}));
  EXPECT_EQ(info_.getCurrentSelected(), nullptr);
  index = 55;
  EXPECT_FALSE(info_.getCurrentSelectedIndex(&index));
  EXPECT_EQ(index, 55);
  // A missing id changes nothing.
  ASSERT_TRUE(info_.setCurrentSelectedByIndex(1));
  EXPECT_FALSE(info_.setCurrentSelectedByDeviceInstanceId(nullptr));
  EXPECT_EQ(info_.getCurrentSelected(), info_.Filters().At(1));
  EXPECT_EQ(Flags(), (std::vector<LONG>{0, 1, 0}));
}

TEST_F(SelectionTest, IndexAndListedIdOperations) {
  Fill({L"ID\\A", L"ID\\B"});
  EXPECT_FALSE(info_.setCurrentSelectedByIndex(-1));
  EXPECT_FALSE(info_.setCurrentSelectedByIndex(2));
  EXPECT_EQ(info_.getCurrentSelected(), nullptr);
  EXPECT_EQ(info_.getDeviceEntry(-1), nullptr);
  EXPECT_EQ(info_.getDeviceEntry(2), nullptr);
  ASSERT_NE(info_.getDeviceEntry(1), nullptr);
  // The listed id must match exactly: another letter case fails and keeps the selection.
  ASSERT_TRUE(info_.setCurrentSelectedByListedInstanceId(L"ID\\B"));
  EXPECT_EQ(Flags(), (std::vector<LONG>{0, 1}));
  EXPECT_FALSE(info_.setCurrentSelectedByListedInstanceId(L"id\\a"));
  EXPECT_FALSE(info_.setCurrentSelectedByListedInstanceId(nullptr));
  EXPECT_EQ(info_.getCurrentSelected(), info_.Filters().At(1));
  EXPECT_EQ(Flags(), (std::vector<LONG>{0, 1}));
  EXPECT_TRUE(info_.setCurrentSelectedByDeviceInstanceId(L"id\\a"));
  EXPECT_EQ(Flags(), (std::vector<LONG>{1, 0}));

  // The selected id copied into the caller's buffer, cut to its capacity.
  WCHAR buffer[8];
  for (WCHAR& c : buffer) c = L'#';
  info_.getCurrentSelectedInstanceId(buffer, 3);
  EXPECT_EQ(Text(buffer), u"ID");
  info_.getCurrentSelectedInstanceId(buffer, 8);
  EXPECT_EQ(Text(buffer), u"ID\\A");
  buffer[0] = L'#';
  info_.getCurrentSelectedInstanceId(buffer, 0);
  info_.getCurrentSelectedInstanceId(nullptr, 8);
  EXPECT_EQ(buffer[0], L'#');
}

TEST_F(SelectionTest, EntriesCutNamesAndIdsTo127CharactersAndTheListGrows) {
  std::vector<WCHAR> longId(300, L'i');
  longId.back() = 0;
  HRESULT hr = E_FAIL;
  auto* filter = new CKsAudFilter2(L"\\\\?\\test", &hr);
  filter->SetInstanceId(longId.data());
  std::vector<WCHAR> longName(400, L'n');
  longName.back() = 0;
  filter->SetFriendlyName(longName.data());
  EXPECT_EQ(Text(filter->InstanceId()).size(), 200u);
  EXPECT_EQ(Text(filter->FriendlyName()).size(), 259u);
  ASSERT_TRUE(info_.AdoptFilter(filter));
  // More than the eight entries reserved at construction.
  for (int i = 0; i < 11; ++i) {
    auto* more = new CKsAudFilter2(L"\\\\?\\test", &hr);
    const WCHAR id[] = {L'X', static_cast<WCHAR>(L'a' + i), 0};
    more->SetInstanceId(id);
    ASSERT_TRUE(info_.AdoptFilter(more));
  }
  info_.BuildEntryList();
  ASSERT_EQ(info_.EntryCount(), 12u);
  EXPECT_EQ(Text(info_.getDeviceEntry(0)->instanceId).size(), 127u);
  EXPECT_EQ(Text(info_.getDeviceEntry(0)->deviceName).size(), 127u);
  EXPECT_EQ(Text(info_.getDeviceEntry(11)->instanceId), u"Xk");
  // Filters without pins: both ranges are five zeros.
  const AudioRangeSummary& r = info_.getDeviceEntry(3)->renderRange;
  EXPECT_EQ(r.channels + r.minBits + r.maxBits + r.minRate + r.maxRate, 0u);
  // An entry id cut to 127 characters selects through the listed id, which
  // goes on with the cut id: no filter has it.
  std::vector<WCHAR> cut(longId.begin(), longId.begin() + 127);
  cut.push_back(0);
  EXPECT_FALSE(info_.setCurrentSelectedByListedInstanceId(cut.data()));
  EXPECT_TRUE(info_.setCurrentSelectedByIndex(11));
  LONG index = 0;
  ASSERT_TRUE(info_.getCurrentSelectedIndex(&index));
  EXPECT_EQ(index, 11);
}

TEST(AudioRangeSummaryTest, TheLargestMaximaAndSmallestMinimaOfAllRanges) {
  AudioRangeAccumulator none;
  const AudioRangeSummary empty = none.Result();
  EXPECT_EQ(empty.channels + empty.minBits + empty.maxBits + empty.minRate + empty.maxRate, 0u);

  KSDATARANGE_AUDIO a{};
  a.MaximumChannels = 2;
  a.MinimumBitsPerSample = 16;
  a.MaximumBitsPerSample = 24;
  a.MinimumSampleFrequency = 44100;
  a.MaximumSampleFrequency = 96000;
  KSDATARANGE_AUDIO b = a;
  b.MinimumBitsPerSample = 32;
  b.MaximumBitsPerSample = 32;
  b.MaximumSampleFrequency = 192000;
  AudioRangeAccumulator acc;
  acc.Add(a);
  acc.Add(b);
  AudioRangeSummary s = acc.Result();
  EXPECT_EQ(s.channels, 2u);
  EXPECT_EQ(s.minBits, 16u);
  EXPECT_EQ(s.maxBits, 32u);
  EXPECT_EQ(s.minRate, 44100u);
  EXPECT_EQ(s.maxRate, 192000u);

  // Unsigned comparisons: 0xFFFFFFFF is the largest value, not -1.
  KSDATARANGE_AUDIO huge = a;
  huge.MaximumChannels = 0xFFFFFFFF;
  huge.MinimumSampleFrequency = 0x80000000;
  acc.Add(huge);
  s = acc.Result();
  EXPECT_EQ(s.channels, 0xFFFFFFFFu);
  EXPECT_EQ(s.minRate, 44100u);
  // One range alone: its own values, even zeros.
  KSDATARANGE_AUDIO zero{};
  AudioRangeAccumulator one;
  one.Add(zero);
  s = one.Result();
  EXPECT_EQ(s.channels + s.minBits + s.maxBits + s.minRate + s.maxRate, 0u);
}

}  // namespace
