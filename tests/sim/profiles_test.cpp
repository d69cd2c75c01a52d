// Every built-in profile must be a well-formed device a real host could
// enumerate, laid out the way the driver's parser expects an audio function,
// and its behaviour configuration must agree with its descriptors.
#include "sim/profiles/device_profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/uac/descriptor_builder.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le24(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16); }
uint32_t Le32(const uint8_t* p) { return Le24(p) | (static_cast<uint32_t>(p[3]) << 24); }

struct Desc {
  size_t offset;
  const uint8_t* p;
  uint8_t length() const { return p[0]; }
  uint8_t type() const { return p[1]; }
  uint8_t subtype() const { return p[2]; }
};

// Walks the configuration by bLength; fails on anything a host would reject.
testing::AssertionResult Walk(const Bytes& c, std::vector<Desc>& out) {
  out.clear();
  if (c.size() < 9 || c[0] != 9 || c[1] != desc::kConfiguration)
    return testing::AssertionFailure() << "no configuration descriptor at the start";
  if (Le16(&c[2]) != c.size())
    return testing::AssertionFailure() << "wTotalLength " << Le16(&c[2]) << " but "
                                       << c.size() << " bytes";
  size_t pos = 0;
  while (pos < c.size()) {
    if (c.size() - pos < 2) return testing::AssertionFailure() << "stray byte at " << pos;
    const uint8_t len = c[pos];
    if (len < 2) return testing::AssertionFailure() << "bLength " << int(len) << " at " << pos;
    if (pos + len > c.size())
      return testing::AssertionFailure() << "descriptor at " << pos << " overruns the end";
    out.push_back(Desc{pos, &c[pos]});
    pos += len;
  }
  return testing::AssertionSuccess();
}

// One interface alternate setting and the descriptors up to the next interface.
struct Alt {
  Desc intf;
  std::vector<Desc> body;
  uint8_t number() const { return intf.p[2]; }
  uint8_t alternate() const { return intf.p[3]; }
  uint8_t numEndpoints() const { return intf.p[4]; }
  uint8_t cls() const { return intf.p[5]; }
  uint8_t subclass() const { return intf.p[6]; }
  std::vector<Desc> Of(uint8_t type, int subtype = -1) const {
    std::vector<Desc> r;
    for (const Desc& d : body)
      if (d.type() == type && (subtype < 0 || d.subtype() == subtype)) r.push_back(d);
    return r;
  }
};

struct Model {
  DeviceProfile profile;
  std::vector<Desc> all;
  std::vector<Alt> alts;
  uint16_t vid = 0, pid = 0;
  uint8_t audioClass = 0x01;
  const Alt* ac = nullptr;
  bool uac2 = false;
  std::map<uint8_t, Desc> entities;         // by ID
  std::vector<std::vector<const Alt*>> as;  // streaming interfaces, alternates in order

  const Alt* Find(uint8_t number, uint8_t alternate) const {
    for (const Alt& a : alts)
      if (a.number() == number && a.alternate() == alternate) return &a;
    return nullptr;
  }
};

// Builds the model, failing the test on structural errors.
void Load(const std::string& name, Model& m) {
  ASSERT_TRUE(MakeProfile(name, m.profile)) << name;
  const Bytes& c = m.profile.descriptors.configuration;
  ASSERT_TRUE(Walk(c, m.all));
  for (const Desc& d : m.all) {
    if (d.type() == desc::kInterface) {
      ASSERT_EQ(d.length(), 9);
      m.alts.push_back(Alt{d, {}});
    } else if (!m.alts.empty()) {
      m.alts.back().body.push_back(d);
    }
  }
  const Bytes& dev = m.profile.descriptors.device;
  ASSERT_EQ(dev.size(), 18u);
  m.vid = Le16(&dev[8]);
  m.pid = Le16(&dev[10]);
  m.audioClass = (m.vid == 0x1686 && m.pid == 0x00DD) ? 0xFF : 0x01;

  for (const Alt& a : m.alts) {
    if (a.alternate() == 0 && a.cls() == m.audioClass && a.subclass() == desc::kAudioControl) {
      m.ac = &a;
      break;
    }
  }
  ASSERT_NE(m.ac, nullptr) << "no audio control interface";
  ASSERT_FALSE(m.ac->body.empty());
  const Desc& header = m.ac->body.front();
  ASSERT_EQ(header.type(), desc::kCsInterface);
  ASSERT_EQ(header.subtype(), desc::kAcHeader);
  m.uac2 = Le16(header.p + 3) == 0x0200;
  for (const Desc& d : m.ac->Of(desc::kCsInterface)) {
    if (d.subtype() == desc::kAcHeader) continue;
    ASSERT_TRUE(m.entities.emplace(d.p[3], d).second) << "duplicate ID " << int(d.p[3]);
  }

  // Streaming interfaces follow the AC interface without gaps.
  for (uint8_t n = m.ac->number() + 1;; ++n) {
    const Alt* zero = m.Find(n, 0);
    if (!zero || zero->cls() != m.audioClass || zero->subclass() != desc::kAudioStreaming) break;
    std::vector<const Alt*> list{zero};
    for (uint8_t alt = 1; const Alt* a = m.Find(n, alt); ++alt) list.push_back(a);
    m.as.push_back(list);
  }
}

std::vector<std::string> Names() { return ProfileNames(); }

class ProfileTest : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(Load(GetParam(), m_)); }
  Model m_;
};

TEST_P(ProfileTest, DeviceDescriptorAndStrings) {
  const Bytes& d = m_.profile.descriptors.device;
  EXPECT_EQ(d[0], 18);
  EXPECT_EQ(d[1], desc::kDevice);
  EXPECT_EQ(d[7], 64) << "bMaxPacketSize0";
  EXPECT_EQ(d[17], 1) << "bNumConfigurations";
  EXPECT_EQ(Le16(&d[2]), m_.profile.descriptors.highSpeed ? 0x0200 : 0x0110);
  if (m_.uac2) {
    // Interface association needs the miscellaneous device class triple.
    EXPECT_EQ(Bytes(d.begin() + 4, d.begin() + 7), (Bytes{0xEF, 0x02, 0x01}));
  }
  const auto& strings = m_.profile.descriptors.strings;
  ASSERT_TRUE(strings.count(d[14]));
  EXPECT_EQ(strings.at(d[14]), u"Velmora");
  EXPECT_TRUE(strings.count(d[15])) << "product string";
  EXPECT_TRUE(strings.count(d[16])) << "serial string";
  for (const Alt& a : m_.alts) {
    EXPECT_TRUE(a.intf.p[8] == 0 || strings.count(a.intf.p[8]))
        << "interface " << int(a.number()) << " names a missing string";
  }
  const uint8_t iAc = m_.ac->intf.p[8];
  ASSERT_TRUE(strings.count(iAc));
  const bool dsd = strings.at(iAc).find(u"[DSD]") != std::u16string::npos;
  EXPECT_EQ(dsd, GetParam() == "dsd");
}

TEST_P(ProfileTest, ConfigurationWalksCleanly) {
  const Bytes& c = m_.profile.descriptors.configuration;
  std::set<uint8_t> numbers;
  for (const Alt& a : m_.alts) numbers.insert(a.number());
  EXPECT_EQ(c[4], numbers.size()) << "bNumInterfaces";
  for (const Alt& a : m_.alts) {
    EXPECT_EQ(a.Of(desc::kEndpoint).size(), a.numEndpoints())
        << "interface " << int(a.number()) << " alt " << int(a.alternate());
  }
  for (const Desc& d : m_.all) {
    if (d.type() == desc::kEndpoint) {
      EXPECT_TRUE(d.length() == 7 || d.length() == 9);
    }
  }
}

TEST_P(ProfileTest, AcHeaderCoversExactlyTheClassSpecificDescriptors) {
  size_t sum = 0;
  for (const Desc& d : m_.ac->Of(desc::kCsInterface)) sum += d.length();
  const Desc& header = m_.ac->body.front();
  const uint16_t total = m_.uac2 ? Le16(header.p + 6) : Le16(header.p + 5);
  EXPECT_EQ(total, sum);
  // Contiguous: header + wTotalLength lands on the descriptor after the last entity.
  const Desc last = m_.ac->Of(desc::kCsInterface).back();
  EXPECT_EQ(header.offset + total, last.offset + last.length());
  if (!m_.uac2) {
    // bInCollection and baInterfaceNr list the streaming interfaces.
    ASSERT_EQ(header.p[7], m_.as.size());
    for (size_t i = 0; i < m_.as.size(); ++i) EXPECT_EQ(header.p[8 + i], m_.as[i][0]->number());
  }
}

TEST_P(ProfileTest, InterfaceAssociationPrecedesAudioFunction) {
  if (!m_.uac2) {
    // Class 1.0 functions predate interface association.
    for (const Desc& d : m_.all) EXPECT_NE(d.type(), desc::kInterfaceAssociation);
    return;
  }
  const Desc* iad = nullptr;
  for (size_t i = 0; i + 1 < m_.all.size(); ++i) {
    if (m_.all[i + 1].offset == m_.ac->intf.offset) iad = &m_.all[i];
  }
  ASSERT_NE(iad, nullptr);
  ASSERT_EQ(iad->type(), desc::kInterfaceAssociation);
  ASSERT_EQ(iad->length(), 8);
  EXPECT_EQ(iad->p[2], m_.ac->number());
  EXPECT_EQ(iad->p[3], 1 + m_.as.size());
  EXPECT_EQ(iad->p[4], m_.audioClass);
  EXPECT_EQ(iad->p[6], desc::kProtocolUac2);
}

TEST_P(ProfileTest, EntitiesAreSupportedAndLinked) {
  const std::set<uint8_t> supported =
      m_.uac2 ? std::set<uint8_t>{desc::kInputTerminal, desc::kOutputTerminal,
                                  desc::kFeatureUnit, desc::kClockSource, desc::kClockSelector}
              : std::set<uint8_t>{desc::kInputTerminal, desc::kOutputTerminal,
                                  desc::kFeatureUnit};
  auto isClock = [&](uint8_t id) {
    auto it = m_.entities.find(id);
    return it != m_.entities.end() && (it->second.subtype() == desc::kClockSource ||
                                       it->second.subtype() == desc::kClockSelector);
  };
  for (const auto& [id, d] : m_.entities) {
    SCOPED_TRACE("entity " + std::to_string(id));
    EXPECT_TRUE(supported.count(d.subtype())) << "subtype " << int(d.subtype());
    switch (d.subtype()) {
      case desc::kInputTerminal:
        EXPECT_EQ(d.length(), m_.uac2 ? 17 : 12);
        if (m_.uac2) {
          EXPECT_TRUE(isClock(d.p[7]));
        }
        break;
      case desc::kOutputTerminal:
        EXPECT_EQ(d.length(), m_.uac2 ? 12 : 9);
        EXPECT_TRUE(m_.entities.count(d.p[7]));
        if (m_.uac2) {
          EXPECT_TRUE(isClock(d.p[8]));
        }
        break;
      case desc::kFeatureUnit:
        EXPECT_TRUE(m_.entities.count(d.p[4]));
        if (m_.uac2) {
          EXPECT_EQ((d.length() - 6) % 4, 0);
        } else {
          ASSERT_GT(d.p[5], 0);
          EXPECT_EQ((d.length() - 7) % d.p[5], 0);
        }
        break;
      case desc::kClockSource:
        EXPECT_EQ(d.length(), 8);
        break;
      case desc::kClockSelector:
        ASSERT_EQ(d.length(), 7 + d.p[4]);
        for (uint8_t i = 0; i < d.p[4]; ++i) {
          auto it = m_.entities.find(d.p[5 + i]);
          ASSERT_NE(it, m_.entities.end());
          EXPECT_EQ(it->second.subtype(), desc::kClockSource);
        }
        break;
    }
  }
}

// The highest rate an alternate setting may run at.
uint32_t MaxRate(const Model& m, const Alt& alt, uint8_t clockId) {
  uint32_t best = 0;
  if (!m.uac2) {
    const Desc f = alt.Of(desc::kCsInterface, desc::kFormatType).at(0);
    const uint8_t n = f.p[7];
    if (n == 0) return Le24(f.p + 11);
    for (uint8_t i = 0; i < n; ++i) best = std::max(best, Le24(f.p + 8 + 3 * i));
    return best;
  }
  const auto& audio = m.profile.audio;
  std::vector<uint8_t> clocks{clockId};
  const Desc& d = m.entities.at(clockId);
  if (d.subtype() == desc::kClockSelector) clocks.assign(d.p + 5, d.p + 5 + d.p[4]);
  for (uint8_t id : clocks)
    for (const auto& r : audio.clockSources.at(id).ranges) best = std::max(best, r.max);
  return best;
}

TEST_P(ProfileTest, StreamingInterfacesAreCompleteAndSized) {
  ASSERT_FALSE(m_.as.empty());
  const bool hs = m_.profile.descriptors.highSpeed;
  for (const auto& list : m_.as) {
    SCOPED_TRACE("interface " + std::to_string(list[0]->number()));
    EXPECT_EQ(list[0]->numEndpoints(), 0) << "alternate 0 carries no bandwidth";
    ASSERT_GE(list.size(), 2u);
    int direction = -1;
    for (size_t i = 1; i < list.size(); ++i) {
      const Alt& a = *list[i];
      SCOPED_TRACE("alternate " + std::to_string(i));
      ASSERT_EQ(a.cls(), m_.audioClass);
      const auto general = a.Of(desc::kCsInterface, desc::kAsGeneral);
      const auto format = a.Of(desc::kCsInterface, desc::kFormatType);
      const auto endpoints = a.Of(desc::kEndpoint);
      ASSERT_EQ(general.size(), 1u);
      ASSERT_EQ(format.size(), 1u);
      ASSERT_FALSE(endpoints.empty());
      EXPECT_EQ(general[0].length(), m_.uac2 ? 16 : 7);
      EXPECT_EQ(format[0].p[3], desc::kFormatTypeI);

      // Terminal link names the USB-streaming terminal of this direction.
      const Desc& data = endpoints[0];
      const bool in = (data.p[2] & 0x80) != 0;
      if (direction < 0) direction = in;
      EXPECT_EQ(direction, in) << "direction changes between alternates";
      auto term = m_.entities.find(general[0].p[3]);
      ASSERT_NE(term, m_.entities.end());
      EXPECT_EQ(term->second.subtype(), in ? desc::kOutputTerminal : desc::kInputTerminal);
      EXPECT_EQ(Le16(term->second.p + 4), 0x0101);

      // Isochronous data endpoint with a class-specific endpoint descriptor after it.
      EXPECT_EQ(data.p[3] & 0x03, 0x01);
      const uint8_t usage = (data.p[3] >> 4) & 0x03;
      EXPECT_TRUE(usage == 0 || usage == 2);
      const auto cs = a.Of(desc::kCsEndpoint, desc::kEpGeneral);
      ASSERT_EQ(cs.size(), 1u);
      EXPECT_GT(cs[0].offset, data.offset);
      EXPECT_EQ(cs[0].length(), m_.uac2 ? 8 : 7);
      if (hs) {
        EXPECT_GE(data.p[6], 1);
        EXPECT_LE(data.p[6], 4);
      } else {
        EXPECT_EQ(data.p[6], 1);
      }

      // Room for the largest packet plus one sample frame.
      const uint8_t channels = m_.uac2 ? general[0].p[10] : format[0].p[4];
      const uint8_t subslot = m_.uac2 ? format[0].p[4] : format[0].p[5];
      const uint32_t units = hs ? 8000u >> (data.p[6] - 1) : 1000u;
      const uint32_t rate =
          MaxRate(m_, a, m_.uac2 ? term->second.p[term->second.subtype() == 2 ? 7 : 8] : 0);
      const uint32_t frames = (rate + units - 1) / units + 1;
      const uint32_t prefix = (!in && m_.profile.audio.lengthPrefixedOutPackets) ? 4 : 0;
      // At high speed bits 12..11 add up to two more transactions per microframe.
      const uint16_t wMaxPacketSize = Le16(data.p + 4);
      const uint16_t maxPacket = wMaxPacketSize & 0x7FF;
      const uint32_t transactions = hs ? ((wMaxPacketSize >> 11) & 0x3) + 1 : 1;
      EXPECT_LE(transactions, 3u);
      EXPECT_GE(maxPacket * transactions, frames * channels * subslot + prefix);
      EXPECT_LE(maxPacket, hs ? 1024 : 1023);

      // A second endpoint is the feedback (2.0) or synch (1.0) endpoint.
      if (endpoints.size() > 1) {
        const Desc& fb = endpoints[1];
        EXPECT_NE(fb.p[2] & 0x80, 0) << "feedback flows device to host";
        EXPECT_EQ(fb.p[3] & 0x0C, 0) << "no synchronisation type";
        if (m_.uac2) {
          EXPECT_EQ((fb.p[3] >> 4) & 0x03, 1) << "feedback usage";
          EXPECT_EQ(Le16(fb.p + 4), hs ? 4 : 3);
          EXPECT_LE(fb.p[6], hs ? 4 : 15);
        } else {
          ASSERT_EQ(data.length(), 9);
          ASSERT_EQ(fb.length(), 9);
          EXPECT_EQ(data.p[8], fb.p[2]) << "bSynchAddress";
          EXPECT_EQ(Le16(fb.p + 4), 3);
          EXPECT_EQ(fb.p[8], 0);
        }
      }
    }
  }
}

ControlAccess Access2(uint32_t bits) {
  switch (bits & 3) {
    case 1: return ControlAccess::Read;
    case 3: return ControlAccess::ReadWrite;
    default: return ControlAccess::None;
  }
}

TEST_P(ProfileTest, AudioConfigurationMatchesDescriptors) {
  const AudioFunctionConfig& a = m_.profile.audio;
  std::set<uint8_t> clockIds, selectorIds, unitIds, cfgClocks, cfgSelectors, cfgUnits;
  for (const auto& [id, d] : m_.entities) {
    if (d.subtype() == desc::kClockSource) clockIds.insert(id);
    if (d.subtype() == desc::kClockSelector) selectorIds.insert(id);
    if (d.subtype() == desc::kFeatureUnit) unitIds.insert(id);
  }
  for (const auto& kv : a.clockSources) cfgClocks.insert(kv.first);
  for (const auto& kv : a.clockSelectors) cfgSelectors.insert(kv.first);
  for (const auto& kv : a.featureUnits) cfgUnits.insert(kv.first);
  EXPECT_EQ(cfgClocks, clockIds);
  EXPECT_EQ(cfgSelectors, selectorIds);
  EXPECT_EQ(cfgUnits, unitIds);

  for (const auto& [id, clock] : a.clockSources) {
    SCOPED_TRACE("clock " + std::to_string(id));
    const uint8_t controls = m_.entities.at(id).p[5];
    EXPECT_EQ(clock.frequency, Access2(controls));
    EXPECT_EQ(clock.validity, Access2(controls >> 2));
    ASSERT_FALSE(clock.ranges.empty());
    bool current = false;
    for (const auto& r : clock.ranges) {
      EXPECT_LE(r.min, r.max);
      if (r.min <= clock.currentRate && clock.currentRate <= r.max) current = true;
    }
    EXPECT_TRUE(current) << "current rate " << clock.currentRate << " not offered";
  }
  for (const auto& [id, sel] : a.clockSelectors) {
    const Desc& d = m_.entities.at(id);
    EXPECT_GE(sel.currentPin, 1);
    EXPECT_LE(sel.currentPin, d.p[4]);
    EXPECT_EQ(sel.selector, Access2(d.p[5 + d.p[4]]));
  }

  for (const auto& [id, unit] : a.featureUnits) {
    SCOPED_TRACE("feature unit " + std::to_string(id));
    const Desc& d = m_.entities.at(id);
    const size_t size = m_.uac2 ? 4 : d.p[5];
    const size_t first = m_.uac2 ? 5 : 6;
    const size_t n = (d.length() - first - 1) / size;
    ASSERT_EQ(unit.channels.size(), n);
    for (size_t ch = 0; ch < n; ++ch) {
      uint32_t bits = 0;
      for (size_t i = 0; i < size && i < 4; ++i) bits |= uint32_t(d.p[first + ch * size + i]) << (8 * i);
      const FeatureChannelConfig& c = unit.channels[ch];
      if (m_.uac2) {
        EXPECT_EQ(c.muteAccess, Access2(bits));
        EXPECT_EQ(c.volumeAccess, Access2(bits >> 2));
      } else {
        EXPECT_EQ(c.muteAccess, (bits & 1) ? ControlAccess::ReadWrite : ControlAccess::None);
        EXPECT_EQ(c.volumeAccess, (bits & 2) ? ControlAccess::ReadWrite : ControlAccess::None);
      }
      if (c.volumeAccess != ControlAccess::None) {
        EXPECT_LE(c.volumeMin, c.volume);
        EXPECT_LE(c.volume, c.volumeMax);
        ASSERT_GT(c.volumeRes, 0);
        EXPECT_EQ((c.volumeMax - c.volumeMin) % c.volumeRes, 0);
        EXPECT_EQ((c.volume - c.volumeMin) % c.volumeRes, 0);
      }
    }
  }

  // Class 1.0: one rate control per data endpoint, agreeing with the formats.
  std::map<uint8_t, std::set<uint32_t>> rates;
  std::map<uint8_t, bool> settable;
  if (!m_.uac2) {
    for (const auto& list : m_.as) {
      for (size_t i = 1; i < list.size(); ++i) {
        const Alt& alt = *list[i];
        const uint8_t ep = alt.Of(desc::kEndpoint)[0].p[2];
        const Desc f = alt.Of(desc::kCsInterface, desc::kFormatType)[0];
        for (uint8_t k = 0; k < f.p[7]; ++k) rates[ep].insert(Le24(f.p + 8 + 3 * k));
        settable[ep] = alt.Of(desc::kCsEndpoint)[0].p[3] & 1;
      }
    }
  }
  ASSERT_EQ(a.endpointRates.size(), rates.size());
  for (const auto& [ep, cfg] : a.endpointRates) {
    ASSERT_TRUE(rates.count(ep)) << "endpoint " << int(ep);
    EXPECT_EQ(std::set<uint32_t>(cfg.rates.begin(), cfg.rates.end()), rates[ep]);
    EXPECT_EQ(cfg.settable, settable[ep]);
    EXPECT_TRUE(rates[ep].count(cfg.currentRate));
  }

  EXPECT_TRUE(a.vendorModeAccepted);
  EXPECT_EQ(a.deviceMode, 0);
  EXPECT_EQ(a.lengthPrefixedOutPackets, GetParam() == "quirk-1686-00dd");
}

std::string ParamName(const testing::TestParamInfo<std::string>& info) {
  std::string s = info.param;
  std::replace(s.begin(), s.end(), '-', '_');
  return s;
}

INSTANTIATE_TEST_SUITE_P(All, ProfileTest, testing::ValuesIn(Names()), ParamName);

// ---- Facts particular to single profiles ----------------------------------------

TEST(Profiles, UnknownNameLeavesOutputAlone) {
  DeviceProfile p;
  p.name = "keep";
  EXPECT_FALSE(MakeProfile("no-such-device", p));
  EXPECT_EQ(p.name, "keep");
  ASSERT_FALSE(ProfileNames().empty());
  EXPECT_EQ(ProfileNames().front(), "default");
  for (const char* n : {"default", "dsd", "uac2-playback-only", "uac1-fs", "uac2-implicit",
                        "uac2-clock-selector", "uac2-hs-1ms", "uac1-hs", "uac2-fb-interval1",
                        "quirk-1686-00dd", "quirk-20b1-0002"}) {
    EXPECT_TRUE(MakeProfile(n, p)) << n;
    EXPECT_EQ(p.name, n);
    EXPECT_FALSE(p.description.empty());
  }
}

TEST(Profiles, DefaultDevice) {
  Model m;
  ASSERT_NO_FATAL_FAILURE(Load("default", m));
  EXPECT_EQ(m.vid, 0x1FA7);
  EXPECT_EQ(m.pid, 0x4D02);
  EXPECT_TRUE(m.profile.descriptors.highSpeed);
  EXPECT_TRUE(m.uac2);
  ASSERT_EQ(m.as.size(), 2u);

  // One programmable clock: frequency read/write, validity readable.
  const auto clocks = m.ac->Of(desc::kCsInterface, desc::kClockSource);
  ASSERT_EQ(clocks.size(), 1u);
  EXPECT_EQ(clocks[0].p[4], 0x03);
  EXPECT_EQ(clocks[0].p[5], 0x07);
  const ClockSourceConfig& clock = m.profile.audio.clockSources.at(clocks[0].p[3]);
  std::vector<uint32_t> rates;
  for (const auto& r : clock.ranges) {
    EXPECT_EQ(r.min, r.max);
    EXPECT_EQ(r.res, 0u);
    rates.push_back(r.min);
  }
  EXPECT_EQ(rates, (std::vector<uint32_t>{44100, 48000, 88200, 96000, 176400, 192000, 352800,
                                          384000}));
  EXPECT_EQ(clock.validity, ControlAccess::Read);

  // Render IT 0x0101 -> FU -> OT 0x0301; capture IT 0x0603 -> OT 0x0101.
  const auto fu = m.ac->Of(desc::kCsInterface, desc::kFeatureUnit);
  ASSERT_EQ(fu.size(), 1u);
  ASSERT_EQ(fu[0].length(), 6 + 3 * 4);
  EXPECT_EQ(Le32(fu[0].p + 5), 0x0Fu);
  EXPECT_EQ(Le32(fu[0].p + 9), 0x0Cu);
  EXPECT_EQ(Le32(fu[0].p + 13), 0x0Cu);
  EXPECT_EQ(Le16(m.entities.at(fu[0].p[4]).p + 4), 0x0101);
  std::multiset<uint16_t> types;
  for (const auto& [id, d] : m.entities)
    if (d.subtype() == desc::kInputTerminal || d.subtype() == desc::kOutputTerminal)
      types.insert(Le16(d.p + 4));
  EXPECT_EQ(types, (std::multiset<uint16_t>{0x0101, 0x0301, 0x0603, 0x0101}));
  for (const auto& [id, d] : m.entities) {
    if (d.subtype() == desc::kOutputTerminal && Le16(d.p + 4) == 0x0301) {
      EXPECT_EQ(d.p[7], fu[0].p[3]);
    }
  }
  const FeatureChannelConfig& master = m.profile.audio.featureUnits.at(fu[0].p[3]).channels[0];
  EXPECT_EQ(master.volumeMin, -32640);
  EXPECT_EQ(master.volumeMax, 0);
  EXPECT_EQ(master.volumeRes, 128);

  // Render: 16/16, 24/32, 32/32 with async OUT 0x01 and feedback IN 0x81.
  const auto& render = m.as[0];
  ASSERT_EQ(render.size(), 4u);
  const uint8_t expected[][2] = {{2, 16}, {4, 24}, {4, 32}};
  for (size_t i = 1; i < render.size(); ++i) {
    const auto format = render[i]->Of(desc::kCsInterface, desc::kFormatType)[0];
    EXPECT_EQ(format.p[4], expected[i - 1][0]);
    EXPECT_EQ(format.p[5], expected[i - 1][1]);
    const auto ep = render[i]->Of(desc::kEndpoint);
    ASSERT_EQ(ep.size(), 2u);
    EXPECT_EQ(Bytes(ep[0].p + 2, ep[0].p + 4), (Bytes{0x01, 0x05}));
    EXPECT_EQ(ep[0].p[6], 1);
    EXPECT_EQ(Bytes(ep[1].p, ep[1].p + 7), (Bytes{7, 5, 0x81, 0x11, 4, 0, 4}));
  }
  // Capture: 16/16, 24/32 on async IN 0x82.
  const auto& capture = m.as[1];
  ASSERT_EQ(capture.size(), 3u);
  for (size_t i = 1; i < capture.size(); ++i) {
    const auto ep = capture[i]->Of(desc::kEndpoint);
    ASSERT_EQ(ep.size(), 1u);
    EXPECT_EQ(Bytes(ep[0].p + 2, ep[0].p + 4), (Bytes{0x82, 0x05}));
  }
}

TEST(Profiles, DsdDiffersFromDefaultOnlyInTheInterfaceName) {
  DeviceProfile def, dsd;
  ASSERT_TRUE(MakeProfile("default", def));
  ASSERT_TRUE(MakeProfile("dsd", dsd));
  EXPECT_EQ(def.descriptors.device, dsd.descriptors.device);
  EXPECT_EQ(def.descriptors.configuration, dsd.descriptors.configuration);
  const uint8_t iAc = def.descriptors.configuration[9 + 8 + 8];  // config, IAD, AC interface
  EXPECT_EQ(def.descriptors.strings.at(iAc), u"Velmora USB Audio");
  EXPECT_EQ(dsd.descriptors.strings.at(iAc), u"Velmora USB Audio [DSD]");
}

TEST(Profiles, PlaybackOnly) {
  Model m;
  ASSERT_NO_FATAL_FAILURE(Load("uac2-playback-only", m));
  ASSERT_EQ(m.as.size(), 1u);
  EXPECT_EQ(m.profile.descriptors.configuration[4], 2);
  for (size_t i = 1; i < m.as[0].size(); ++i) {
    const auto ep = m.as[0][i]->Of(desc::kEndpoint);
    ASSERT_EQ(ep.size(), 2u);
    EXPECT_EQ(ep[0].p[2], 0x01);
    EXPECT_EQ(ep[1].p[3], 0x11);
  }
}

TEST(Profiles, Uac1FullSpeed) {
  Model m;
  ASSERT_NO_FATAL_FAILURE(Load("uac1-fs", m));
  EXPECT_FALSE(m.profile.descriptors.highSpeed);
  EXPECT_FALSE(m.uac2);
  EXPECT_EQ(Le16(m.ac->body[0].p + 3), 0x0100);
  const auto fu = m.ac->Of(desc::kCsInterface, desc::kFeatureUnit);
  ASSERT_EQ(fu.size(), 1u);
  EXPECT_EQ(fu[0].p[5], 2) << "bControlSize";
  EXPECT_EQ(Le16(fu[0].p + 6), 0x0003) << "master mute and volume";
  ASSERT_EQ(m.as.size(), 1u);
  const auto& alts = m.as[0];
  ASSERT_EQ(alts.size(), 3u);
  const std::vector<std::vector<uint32_t>> rates{{44100, 48000}, {44100, 48000, 96000}};
  const uint8_t subframes[] = {2, 3};
  for (size_t i = 1; i < alts.size(); ++i) {
    const auto f = alts[i]->Of(desc::kCsInterface, desc::kFormatType)[0];
    EXPECT_EQ(f.p[5], subframes[i - 1]);
    std::vector<uint32_t> r;
    for (uint8_t k = 0; k < f.p[7]; ++k) r.push_back(Le24(f.p + 8 + 3 * k));
    EXPECT_EQ(r, rates[i - 1]);
    const auto ep = alts[i]->Of(desc::kEndpoint);
    ASSERT_EQ(ep.size(), 2u);
    EXPECT_EQ(ep[0].length(), 9);
    EXPECT_EQ(ep[0].p[3], 0x05);
    EXPECT_EQ(ep[0].p[8], 0x81);
    EXPECT_EQ(Bytes(ep[1].p, ep[1].p + 9), (Bytes{9, 5, 0x81, 0x01, 3, 0, 1, 5, 0}));
    EXPECT_EQ(alts[i]->Of(desc::kCsEndpoint)[0].p[3] & 0x01, 0x01);
  }
  EXPECT_TRUE(m.profile.audio.clockSources.empty());
}

// Data endpoints of every alternate, in both directions, and the feedback
// endpoint's bInterval and wMaxPacketSize.
void ExpectIntervals(const Model& m, uint8_t dataInterval, int feedbackInterval, uint16_t feedbackBytes) {
  for (const auto& list : m.as) {
    for (size_t i = 1; i < list.size(); ++i) {
      const auto ep = list[i]->Of(desc::kEndpoint);
      ASSERT_FALSE(ep.empty());
      EXPECT_EQ(ep[0].p[6], dataInterval) << "data endpoint 0x" << std::hex << int(ep[0].p[2]);
      if (ep.size() > 1) {
        EXPECT_EQ(ep[1].p[6], feedbackInterval);
        EXPECT_EQ(Le16(ep[1].p + 4), feedbackBytes);
      }
    }
  }
}

TEST(Profiles, HighSpeedShapesOfOnePacketPerFrameAndFeedbackEveryMicroframe) {
  Model m;
  ASSERT_NO_FATAL_FAILURE(Load("uac2-hs-1ms", m));
  EXPECT_TRUE(m.profile.descriptors.highSpeed);
  EXPECT_TRUE(m.uac2);
  ASSERT_EQ(m.as.size(), 2u) << "render and capture";
  ExpectIntervals(m, 4, 4, 4);
  // 193 frames of 2 x 4 bytes at 192 kHz need two transactions.
  const auto ep = m.as[0][3]->Of(desc::kEndpoint);
  EXPECT_EQ(Le16(ep[0].p + 4), (1u << 11) | 772u);

  Model fb;
  ASSERT_NO_FATAL_FAILURE(Load("uac2-fb-interval1", fb));
  EXPECT_TRUE(fb.profile.descriptors.highSpeed);
  ExpectIntervals(fb, 1, 1, 4);

  Model u;
  ASSERT_NO_FATAL_FAILURE(Load("uac1-hs", u));
  EXPECT_TRUE(u.profile.descriptors.highSpeed);
  EXPECT_FALSE(u.uac2);
  ASSERT_EQ(u.as.size(), 1u);
  ExpectIntervals(u, 4, 4, 3);
  for (size_t i = 1; i < u.as[0].size(); ++i) {
    const auto ep = u.as[0][i]->Of(desc::kEndpoint);
    ASSERT_EQ(ep.size(), 2u);
    EXPECT_EQ(Bytes(ep[1].p, ep[1].p + 9), (Bytes{9, 5, 0x81, 0x01, 3, 0, 4, 5, 0})) << "bRefresh 5";
  }
}

TEST(Profiles, ImplicitFeedback) {
  Model m;
  ASSERT_NO_FATAL_FAILURE(Load("uac2-implicit", m));
  ASSERT_EQ(m.as.size(), 2u);
  const auto& render = m.as[0];
  const auto& capture = m.as[1];
  for (size_t i = 1; i < render.size(); ++i) {
    const auto ep = render[i]->Of(desc::kEndpoint);
    ASSERT_EQ(ep.size(), 1u) << "no feedback endpoint";
    EXPECT_EQ(ep[0].p[2] & 0x80, 0);
  }
  ASSERT_GT(capture.size(), 2u);
  const auto ep = capture[1]->Of(desc::kEndpoint);
  ASSERT_EQ(ep.size(), 1u);
  EXPECT_EQ((ep[0].p[3] >> 4) & 0x03, 2) << "implicit feedback data";
  // Both directions offer the same formats so one selection fits both.
  ASSERT_EQ(render.size(), capture.size());
  for (size_t i = 1; i < render.size(); ++i) {
    const auto a = render[i]->Of(desc::kCsInterface, desc::kFormatType)[0];
    const auto b = capture[i]->Of(desc::kCsInterface, desc::kFormatType)[0];
    EXPECT_EQ(Bytes(a.p, a.p + 6), Bytes(b.p, b.p + 6));
  }
}

TEST(Profiles, ClockSelector) {
  Model m;
  ASSERT_NO_FATAL_FAILURE(Load("uac2-clock-selector", m));
  const auto sel = m.ac->Of(desc::kCsInterface, desc::kClockSelector);
  ASSERT_EQ(sel.size(), 1u);
  ASSERT_EQ(sel[0].p[4], 2);
  for (const auto& [id, d] : m.entities) {
    if (d.subtype() == desc::kInputTerminal) {
      EXPECT_EQ(d.p[7], sel[0].p[3]);
    }
    if (d.subtype() == desc::kOutputTerminal) {
      EXPECT_EQ(d.p[8], sel[0].p[3]);
    }
  }
  const auto& clocks = m.profile.audio.clockSources;
  const ClockSourceConfig& a = clocks.at(sel[0].p[5]);
  const ClockSourceConfig& b = clocks.at(sel[0].p[6]);
  for (const auto& r : a.ranges) EXPECT_EQ(r.min % 44100, 0u);
  for (const auto& r : b.ranges) EXPECT_EQ(r.min % 48000, 0u);
  // The selected input runs the rate the selector reports.
  const ClockSelectorConfig& s = m.profile.audio.clockSelectors.at(sel[0].p[3]);
  EXPECT_EQ(clocks.at(sel[0].p[4 + s.currentPin]).currentRate, 48000u);
}

TEST(Profiles, VendorClassQuirkDevice) {
  Model m;
  ASSERT_NO_FATAL_FAILURE(Load("quirk-1686-00dd", m));
  EXPECT_EQ(m.vid, 0x1686);
  EXPECT_EQ(m.pid, 0x00DD);
  EXPECT_EQ(m.audioClass, 0xFF);
  for (const Alt& a : m.alts) EXPECT_EQ(a.cls(), 0xFF);
  ASSERT_FALSE(m.as.empty());
  for (size_t i = 1; i < m.as[0].size(); ++i) {
    const auto ep = m.as[0][i]->Of(desc::kEndpoint);
    ASSERT_EQ(ep.size(), 1u) << "table mode: no feedback endpoint";
    EXPECT_EQ(ep[0].p[3], 0x09) << "adaptive";
  }
  EXPECT_TRUE(m.profile.audio.lengthPrefixedOutPackets);
}

TEST(Profiles, QuirkDeviceWithFirmwareUpdateInterface) {
  Model m;
  ASSERT_NO_FATAL_FAILURE(Load("quirk-20b1-0002", m));
  EXPECT_EQ(m.vid, 0x20B1);
  EXPECT_EQ(m.pid, 0x0002);
  EXPECT_EQ(m.audioClass, 0x01);
  ASSERT_EQ(m.as.size(), 2u);
  const Alt& last = m.alts.back();
  EXPECT_EQ(last.number(), m.as.back()[0]->number() + 1);
  EXPECT_EQ(last.cls(), 0xFE);
  EXPECT_EQ(last.subclass(), 0x01);
  ASSERT_EQ(last.body.size(), 1u);
  EXPECT_EQ(last.body[0].type(), 0x21) << "DFU functional descriptor";
  EXPECT_EQ(m.profile.descriptors.configuration[4], 4);
}

}  // namespace
}  // namespace sim
