// KS copies a caller's property request into system buffers before a handler
// sees it: the handler gets other addresses than the caller's, a SET value
// arrives copied, a GET answer is copied back (no more than the caller's
// length), and a handler that writes past its value buffer is caught on the
// system buffer instead of silently corrupting the caller's memory.
#include "tests/platform/portcls_fixture.h"

namespace {

using namespace portcls_test;
using fake_audio::kPrivateSet;
using fake_audio::kVolumeNode;

class PropertyBuffers : public StartedPortclsTest {
 protected:
  static bool Inside(const void* p, const void* begin, size_t bytes) {
    const UCHAR* at = static_cast<const UCHAR*>(p);
    const UCHAR* b = static_cast<const UCHAR*>(begin);
    return at >= b && at < b + bytes;
  }
};

TEST_F(PropertyBuffers, HandlersSeeCopiesAndGetAnswersAreCopiedBack) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin), STATUS_SUCCESS);
  LONG set = 0x12345678;
  KSPROPERTY property = Property(kPrivateSet, fake_audio::kPrivatePinId, KSPROPERTY_TYPE_SET);
  ULONG bytes = 0;
  ASSERT_EQ(Request(pin, property, &set, sizeof set, &bytes), STATUS_SUCCESS);
  ASSERT_EQ(Fake().requests.size(), 1u);
  EXPECT_NE(Fake().requests[0].value, static_cast<const void*>(&set));
  EXPECT_EQ(Fake().requests[0].firstValueLong, 0x12345678);

  // A node request: the instance (channel) lies in the copy, not in the
  // caller's KSNODEPROPERTY_AUDIO_CHANNEL.
  KSNODEPROPERTY_AUDIO_CHANNEL node = NodeProperty(KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 1);
  LONG got[4] = {-1, -1, -1, -1};
  ASSERT_EQ(Request(filter_, node, got, sizeof got[0], &bytes), STATUS_SUCCESS);
  const fake_audio::RecordedRequest& r = Fake().requests.back();
  EXPECT_FALSE(Inside(r.instance, &node, sizeof node));
  EXPECT_FALSE(Inside(r.value, got, sizeof got));
  EXPECT_EQ(r.firstInstanceLong, 1);
  EXPECT_EQ(got[0], 0x1004);  // the answer reached the caller
  EXPECT_EQ(got[1], -1);      // and nothing beyond its length
  EXPECT_EQ(bytes, sizeof(LONG));
}

using PropertyBuffersDeathTest = PropertyBuffers;

TEST_F(PropertyBuffersDeathTest, AHandlerWritingPastTheValueIsCaught) {
  // The caller's buffer is larger than the length it passes: without a
  // system buffer of exactly that length the overrun would go unnoticed.
#if !defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "needs AddressSanitizer to see the overrun";
#endif
  LONG value[8] = {};
  KSPROPERTY property = Property(kPrivateSet, fake_audio::kPrivateFilterId);
  EXPECT_DEATH(
      {
        Fake().valueOverrun = 8;
        ULONG bytes = 0;
        (void)Request(filter_, property, value, sizeof value[0], &bytes);
      },
      "heap-buffer-overflow");
}

}  // namespace
