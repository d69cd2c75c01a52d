// Loading captured descriptor sets: both accepted formats, malformed
// configurations kept as they are, and the framing errors that are rejected.
#include "sim/usb/descriptor_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "sim/uac/descriptor_builder.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

// A temporary file removed when the test ends.
class TempFile {
 public:
  explicit TempFile(const Bytes& content) {
    std::string pattern = testing::TempDir() + "descriptor_file_test_XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    path_ = name.data();
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Bytes SmallConfiguration(uint8_t value) {
  ConfigurationBuilder b;
  b.Configuration(value)
      .Interface(0, 0, 0, 0x01, 0x01, 0x20)
      .AcHeader2(0x08)
      .ClockSource(0x10, 0x03, 0x07)
      .Interface(1, 0, 0, 0x01, 0x02, 0x20);
  return b.Build();
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(DescriptorFile, RawConfigurationGetsSynthesisedDeviceDescriptor) {
  const Bytes config = SmallConfiguration(1);
  TempFile file(config);
  DescriptorSet set;
  set.strings[1] = u"stale";
  std::string error;
  ASSERT_TRUE(LoadDescriptorFile(file.path(), false, set, error)) << error;

  EXPECT_EQ(set.configuration, config);
  EXPECT_EQ(set.device, MakeDeviceDescriptor(0x0000, 0x0000, 0x0100, 0x0200, 0, 0, 0, 64, 0, 0,
                                             0, 1));
  EXPECT_TRUE(set.strings.empty());
  EXPECT_TRUE(set.highSpeed);

  ASSERT_TRUE(LoadDescriptorFile(file.path(), true, set, error)) << error;
  EXPECT_FALSE(set.highSpeed);
}

TEST(DescriptorFile, SysfsFormatTakesDeviceAndFirstConfiguration) {
  const Bytes device = MakeDeviceDescriptor(0x1FA7, 0x4D02, 0x0100, 0x0200, 0xEF, 2, 1, 64, 1, 2,
                                            3, 2);
  const Bytes first = SmallConfiguration(1);
  const Bytes second = SmallConfiguration(2);
  TempFile file(Concat({device, first, second}));
  DescriptorSet set;
  std::string error;
  ASSERT_TRUE(LoadDescriptorFile(file.path(), false, set, error)) << error;
  EXPECT_EQ(set.device, device);
  EXPECT_EQ(set.configuration, first);
  EXPECT_TRUE(set.strings.empty());
}

TEST(DescriptorFile, MalformedTotalLengthIsKeptAsFound) {
  // wTotalLength larger than the data: the bytes that exist are kept.
  ConfigurationBuilder tooLong;
  tooLong.Interface(0, 0, 0, 0x01, 0x01, 0x20).OverrideTotalLength(400);
  const Bytes longConfig = tooLong.Build();

  // wTotalLength smaller than the data, with nothing that looks like another
  // configuration behind it: everything is kept.
  ConfigurationBuilder tooShort;
  tooShort.Interface(0, 0, 0, 0x01, 0x01, 0x20).AcHeader2(0x08).OverrideTotalLength(12);
  const Bytes shortConfig = tooShort.Build();

  const Bytes device = MakeDeviceDescriptor(0x20B1, 0x0002);
  for (const Bytes& config : {longConfig, shortConfig}) {
    DescriptorSet raw;
    DescriptorSet sysfs;
    std::string error;
    ASSERT_TRUE(ParseDescriptorBytes(config, false, raw, error)) << error;
    EXPECT_EQ(raw.configuration, config);
    ASSERT_TRUE(ParseDescriptorBytes(Concat({device, config}), false, sysfs, error)) << error;
    EXPECT_EQ(sysfs.configuration, config);
    EXPECT_EQ(sysfs.device, device);
  }
}

TEST(DescriptorFile, RejectsBrokenFraming) {
  const Bytes device = MakeDeviceDescriptor(0x1FA7, 0x4D02);
  const Bytes config = SmallConfiguration(1);
  struct Case {
    const char* what;
    Bytes bytes;
    const char* errorPart;
  };
  const Case cases[] = {
      {"empty", {}, "empty"},
      {"single byte", {0x09}, "too short"},
      {"unknown first bytes", {0x08, 0x0B, 0x00, 0x03, 0x01, 0x00, 0x20, 0x00}, "08 0B"},
      {"string descriptor", {0x04, 0x03, 0x09, 0x04}, "04 03"},
      {"truncated device descriptor", Bytes(device.begin(), device.begin() + 12), "truncated"},
      {"device descriptor only", device, "no configuration"},
      {"short configuration after device", Concat({device, Bytes(config.begin(), config.begin() + 8)}),
       "shorter than 9"},
      {"raw configuration shorter than 9", Bytes(config.begin(), config.begin() + 5),
       "shorter than 9"},
      {"device followed by an interface", Concat({device, Bytes(config.begin() + 9, config.end())}),
       "09 04"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DescriptorSet set;
    set.configuration = {0xAB};
    std::string error;
    EXPECT_FALSE(ParseDescriptorBytes(c.bytes, false, set, error));
    EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
    EXPECT_EQ(set.configuration, Bytes{0xAB}) << "output untouched on failure";

    TempFile file(c.bytes);
    error.clear();
    EXPECT_FALSE(LoadDescriptorFile(file.path(), false, set, error));
    EXPECT_NE(error.find(file.path()), std::string::npos) << error;
    EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
  }
}

TEST(DescriptorFile, MissingFileIsReported) {
  DescriptorSet set;
  std::string error;
  const std::string path = testing::TempDir() + "descriptor_file_test_missing.bin";
  EXPECT_FALSE(LoadDescriptorFile(path, false, set, error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
}

}  // namespace
}  // namespace sim
