// The ASIO interface as hosts see it: the IASIO vtable slot order (a host
// calls slot N, whatever our method names say) and the published numbers of
// the error values, sample types and selectors. The layouts are pinned by
// static_asserts in asio_types.h.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "asio/asio_interface.h"

namespace {

// Records which method ran; arguments are ignored.
class RecordingAsio final : public IASIO {
 public:
  std::vector<std::string> calls;

  STDMETHODIMP QueryInterface(REFIID, void **) override { return Record("QueryInterface", E_NOINTERFACE); }
  STDMETHODIMP_(ULONG) AddRef() override { return Record("AddRef", 1u); }
  STDMETHODIMP_(ULONG) Release() override { return Record("Release", 1u); }
  ASIOBool init(void *) override { return Record("init", ASIOTrue); }
  void getDriverName(char *) override { calls.push_back("getDriverName"); }
  LONG getDriverVersion() override { return Record("getDriverVersion", 1); }
  void getErrorMessage(char *) override { calls.push_back("getErrorMessage"); }
  ASIOError start() override { return Record("start", ASE_OK); }
  ASIOError stop() override { return Record("stop", ASE_OK); }
  ASIOError getChannels(LONG *, LONG *) override { return Record("getChannels", ASE_OK); }
  ASIOError getLatencies(LONG *, LONG *) override { return Record("getLatencies", ASE_OK); }
  ASIOError getBufferSize(LONG *, LONG *, LONG *, LONG *) override { return Record("getBufferSize", ASE_OK); }
  ASIOError canSampleRate(ASIOSampleRate) override { return Record("canSampleRate", ASE_OK); }
  ASIOError getSampleRate(ASIOSampleRate *) override { return Record("getSampleRate", ASE_OK); }
  ASIOError setSampleRate(ASIOSampleRate) override { return Record("setSampleRate", ASE_OK); }
  ASIOError getClockSources(ASIOClockSource *, LONG *) override { return Record("getClockSources", ASE_OK); }
  ASIOError setClockSource(LONG) override { return Record("setClockSource", ASE_OK); }
  ASIOError getSamplePosition(ASIOSamples *, ASIOTimeStamp *) override {
    return Record("getSamplePosition", ASE_OK);
  }
  ASIOError getChannelInfo(ASIOChannelInfo *) override { return Record("getChannelInfo", ASE_OK); }
  ASIOError createBuffers(ASIOBufferInfo *, LONG, LONG, ASIOCallbacks *) override {
    return Record("createBuffers", ASE_OK);
  }
  ASIOError disposeBuffers() override { return Record("disposeBuffers", ASE_OK); }
  ASIOError controlPanel() override { return Record("controlPanel", ASE_OK); }
  ASIOError future(LONG, void *) override { return Record("future", ASE_OK); }
  ASIOError outputReady() override { return Record("outputReady", ASE_OK); }

 private:
  template <typename T>
  T Record(const char *name, T result) {
    calls.push_back(name);
    return result;
  }
};

// Calls vtable entry `slot` of `object` as a host compiled against the
// published interface does: the entry's address, `this` first, then the
// arguments of the method the published order puts there.
template <typename R, typename... A>
R CallSlot(IASIO *object, std::size_t slot, A... args) {
  using AnyFunction = void (*)();
  AnyFunction const *vtable = *reinterpret_cast<AnyFunction const *const *>(object);
  return reinterpret_cast<R (*)(IASIO *, A...)>(vtable[slot])(object, args...);
}

struct PublishedSlot {
  const char *name;
  void (*call)(IASIO *object, std::size_t slot);
};

// The published slot order with each method's signature.
const PublishedSlot kPublishedSlots[] = {
    {"QueryInterface", [](IASIO *o, std::size_t s) { CallSlot<HRESULT, REFIID, void **>(o, s, IID_IUnknown, nullptr); }},
    {"AddRef", [](IASIO *o, std::size_t s) { CallSlot<ULONG>(o, s); }},
    {"Release", [](IASIO *o, std::size_t s) { CallSlot<ULONG>(o, s); }},
    {"init", [](IASIO *o, std::size_t s) { CallSlot<ASIOBool, void *>(o, s, nullptr); }},
    {"getDriverName", [](IASIO *o, std::size_t s) { CallSlot<void, char *>(o, s, nullptr); }},
    {"getDriverVersion", [](IASIO *o, std::size_t s) { CallSlot<LONG>(o, s); }},
    {"getErrorMessage", [](IASIO *o, std::size_t s) { CallSlot<void, char *>(o, s, nullptr); }},
    {"start", [](IASIO *o, std::size_t s) { CallSlot<ASIOError>(o, s); }},
    {"stop", [](IASIO *o, std::size_t s) { CallSlot<ASIOError>(o, s); }},
    {"getChannels", [](IASIO *o, std::size_t s) { CallSlot<ASIOError, LONG *, LONG *>(o, s, nullptr, nullptr); }},
    {"getLatencies", [](IASIO *o, std::size_t s) { CallSlot<ASIOError, LONG *, LONG *>(o, s, nullptr, nullptr); }},
    {"getBufferSize",
     [](IASIO *o, std::size_t s) {
       CallSlot<ASIOError, LONG *, LONG *, LONG *, LONG *>(o, s, nullptr, nullptr, nullptr, nullptr);
     }},
    {"canSampleRate", [](IASIO *o, std::size_t s) { CallSlot<ASIOError, ASIOSampleRate>(o, s, 48000.0); }},
    {"getSampleRate", [](IASIO *o, std::size_t s) { CallSlot<ASIOError, ASIOSampleRate *>(o, s, nullptr); }},
    {"setSampleRate", [](IASIO *o, std::size_t s) { CallSlot<ASIOError, ASIOSampleRate>(o, s, 48000.0); }},
    {"getClockSources",
     [](IASIO *o, std::size_t s) { CallSlot<ASIOError, ASIOClockSource *, LONG *>(o, s, nullptr, nullptr); }},
    {"setClockSource", [](IASIO *o, std::size_t s) { CallSlot<ASIOError, LONG>(o, s, 0); }},
    {"getSamplePosition",
     [](IASIO *o, std::size_t s) { CallSlot<ASIOError, ASIOSamples *, ASIOTimeStamp *>(o, s, nullptr, nullptr); }},
    {"getChannelInfo", [](IASIO *o, std::size_t s) { CallSlot<ASIOError, ASIOChannelInfo *>(o, s, nullptr); }},
    {"createBuffers",
     [](IASIO *o, std::size_t s) {
       CallSlot<ASIOError, ASIOBufferInfo *, LONG, LONG, ASIOCallbacks *>(o, s, nullptr, 0, 0, nullptr);
     }},
    {"disposeBuffers", [](IASIO *o, std::size_t s) { CallSlot<ASIOError>(o, s); }},
    {"controlPanel", [](IASIO *o, std::size_t s) { CallSlot<ASIOError>(o, s); }},
    {"future", [](IASIO *o, std::size_t s) { CallSlot<ASIOError, LONG, void *>(o, s, 0, nullptr); }},
    {"outputReady", [](IASIO *o, std::size_t s) { CallSlot<ASIOError>(o, s); }},
};

// A host reaches each method through its slot number: a method declared out
// of order, left out, or a slot added in between (a virtual destructor) sends
// the host's call to another method.
TEST(AsioInterface, EachVtableSlotHoldsThePublishedMethod) {
  RecordingAsio driver;
  IASIO *asio = &driver;
  std::vector<std::string> expected;
  for (std::size_t slot = 0; slot < std::size(kPublishedSlots); ++slot) {
    kPublishedSlots[slot].call(asio, slot);
    expected.push_back(kPublishedSlots[slot].name);
    ASSERT_EQ(driver.calls, expected) << "vtable slot " << slot;
  }
}

struct NamedValue {
  const char *name;
  long long value;
  long long published;
};
#define ASIO_VALUE(name, published) NamedValue{#name, static_cast<long long>(name), published}

void ExpectPublished(const std::vector<NamedValue> &values) {
  for (const NamedValue &v : values) EXPECT_EQ(v.value, v.published) << v.name;
}

TEST(AsioInterface, ErrorValuesAndSampleTypesAreThePublishedOnes) {
  ExpectPublished({ASIO_VALUE(ASIOFalse, 0), ASIO_VALUE(ASIOTrue, 1), ASIO_VALUE(ASE_OK, 0),
                   ASIO_VALUE(ASE_SUCCESS, 0x3F4847A0), ASIO_VALUE(ASE_NotPresent, -1000),
                   ASIO_VALUE(ASE_HWMalfunction, -999), ASIO_VALUE(ASE_InvalidParameter, -998),
                   ASIO_VALUE(ASE_InvalidMode, -997), ASIO_VALUE(ASE_SPNotAdvancing, -996),
                   ASIO_VALUE(ASE_NoClock, -995), ASIO_VALUE(ASE_NoMemory, -994)});
  ExpectPublished({ASIO_VALUE(ASIOSTInt16MSB, 0),     ASIO_VALUE(ASIOSTInt24MSB, 1),
                   ASIO_VALUE(ASIOSTInt32MSB, 2),     ASIO_VALUE(ASIOSTFloat32MSB, 3),
                   ASIO_VALUE(ASIOSTFloat64MSB, 4),   ASIO_VALUE(ASIOSTInt32MSB16, 8),
                   ASIO_VALUE(ASIOSTInt32MSB18, 9),   ASIO_VALUE(ASIOSTInt32MSB20, 10),
                   ASIO_VALUE(ASIOSTInt32MSB24, 11),  ASIO_VALUE(ASIOSTInt16LSB, 16),
                   ASIO_VALUE(ASIOSTInt24LSB, 17),    ASIO_VALUE(ASIOSTInt32LSB, 18),
                   ASIO_VALUE(ASIOSTFloat32LSB, 19),  ASIO_VALUE(ASIOSTFloat64LSB, 20),
                   ASIO_VALUE(ASIOSTInt32LSB16, 24),  ASIO_VALUE(ASIOSTInt32LSB18, 25),
                   ASIO_VALUE(ASIOSTInt32LSB20, 26),  ASIO_VALUE(ASIOSTInt32LSB24, 27),
                   ASIO_VALUE(ASIOSTDSDInt8LSB1, 32), ASIO_VALUE(ASIOSTDSDInt8MSB1, 33),
                   ASIO_VALUE(ASIOSTDSDInt8NER8, 40), ASIO_VALUE(ASIOSTLastEntry, 41)});
  ExpectPublished({ASIO_VALUE(kASIOFormatInvalid, -1), ASIO_VALUE(kASIOPCMFormat, 0), ASIO_VALUE(kASIOFormatPCM, 0),
                   ASIO_VALUE(kASIODSDFormat, 1)});
}

TEST(AsioInterface, SelectorsAreThePublishedOnes) {
  // asioMessage, driver to host
  ExpectPublished({ASIO_VALUE(kAsioSelectorSupported, 1),    ASIO_VALUE(kAsioEngineVersion, 2),
                   ASIO_VALUE(kAsioResetRequest, 3),         ASIO_VALUE(kAsioBufferSizeChange, 4),
                   ASIO_VALUE(kAsioResyncRequest, 5),        ASIO_VALUE(kAsioLatenciesChanged, 6),
                   ASIO_VALUE(kAsioSupportsTimeInfo, 7),     ASIO_VALUE(kAsioSupportsTimeCode, 8),
                   ASIO_VALUE(kAsioMMCCommand, 9),           ASIO_VALUE(kAsioSupportsInputMonitor, 10),
                   ASIO_VALUE(kAsioSupportsInputGain, 11),   ASIO_VALUE(kAsioSupportsInputMeter, 12),
                   ASIO_VALUE(kAsioSupportsOutputGain, 13),  ASIO_VALUE(kAsioSupportsOutputMeter, 14),
                   ASIO_VALUE(kAsioOverload, 15),            ASIO_VALUE(kAsioNumMessageSelectors, 16)});
  // future, host to driver
  ExpectPublished({ASIO_VALUE(kAsioEnableTimeCodeRead, 1),
                   ASIO_VALUE(kAsioDisableTimeCodeRead, 2),
                   ASIO_VALUE(kAsioSetInputMonitor, 3),
                   ASIO_VALUE(kAsioTransport, 4),
                   ASIO_VALUE(kAsioSetInputGain, 5),
                   ASIO_VALUE(kAsioGetInputMeter, 6),
                   ASIO_VALUE(kAsioSetOutputGain, 7),
                   ASIO_VALUE(kAsioGetOutputMeter, 8),
                   ASIO_VALUE(kAsioCanInputMonitor, 9),
                   ASIO_VALUE(kAsioCanTimeInfo, 10),
                   ASIO_VALUE(kAsioCanTimeCode, 11),
                   ASIO_VALUE(kAsioCanTransport, 12),
                   ASIO_VALUE(kAsioCanInputGain, 13),
                   ASIO_VALUE(kAsioCanInputMeter, 14),
                   ASIO_VALUE(kAsioCanOutputGain, 15),
                   ASIO_VALUE(kAsioCanOutputMeter, 16),
                   ASIO_VALUE(kAsioOptionalOne, 17),
                   ASIO_VALUE(kAsioSetIoFormat, 0x23111961),
                   ASIO_VALUE(kAsioGetIoFormat, 0x23111983),
                   ASIO_VALUE(kAsioCanDoIoFormat, 0x23112004),
                   ASIO_VALUE(kAsioCanReportOverload, 0x24042012),
                   ASIO_VALUE(kAsioGetInternalBufferSamples, 0x25042012),
                   ASIO_VALUE(kAsioSupportsInputResampling, 0x26092017)});
  // time info and time code flags
  ExpectPublished({ASIO_VALUE(kSystemTimeValid, 0x1), ASIO_VALUE(kSamplePositionValid, 0x2),
                   ASIO_VALUE(kSampleRateValid, 0x4), ASIO_VALUE(kSpeedValid, 0x8),
                   ASIO_VALUE(kSampleRateChanged, 0x10), ASIO_VALUE(kClockSourceChanged, 0x20),
                   ASIO_VALUE(kTcValid, 0x1), ASIO_VALUE(kTcRunning, 0x2), ASIO_VALUE(kTcReverse, 0x4),
                   ASIO_VALUE(kTcOnspeed, 0x8), ASIO_VALUE(kTcStill, 0x10), ASIO_VALUE(kTcSpeedValid, 0x100)});
}

}  // namespace
