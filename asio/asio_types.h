// The ASIO data types, constants, selectors and error values, as the
// published ASIO 2 interface defines them: the layouts and numbers every
// ASIO host was compiled against. IASIO itself is in asio_interface.h.
//
// Integer widths. The published definitions use C `long`, which is 32 bits
// on Windows (LLP64). The host build is LP64, so every such field here is
// LONG / ULONG: `long` / `unsigned long` on Windows (the published types,
// unchanged) and 32-bit int / unsigned int on the host.
//
// Structure packing. The published Windows header declares these structures
// under 4-byte packing (pack(push, 4) for Microsoft's compiler, which built
// the hosts a driver is loaded into). Natural alignment would differ where a
// double is followed by 4-byte fields: ASIOTimeCode would be 88 bytes
// instead of 84 and ASIOTime 152 instead of 148, and every structure holding
// pointers would be 8-aligned instead of 4. We apply pack(4) for every
// compiler (mingw-w64's g++ honours it too), so the driver and our test host
// agree with hosts built by Microsoft's compiler; the static_asserts below
// pin the x64 layout and, where pointers change it, the 32-bit one.
#pragma once

#include <cstddef>

#include "driver/asiochannel/asio_protocol.h"
#include "kslib/user_prelude.h"

#pragma pack(push, 4)

// 64-bit sample counts and nanosecond time stamps as two 32-bit words
// (hi * 2^32 + lo), as on Windows where the native-int64 form is not used.
typedef struct ASIOSamples {
  ULONG hi;
  ULONG lo;
} ASIOSamples;

typedef struct ASIOTimeStamp {
  ULONG hi;
  ULONG lo;
} ASIOTimeStamp;

typedef double ASIOSampleRate;  // IEEE 754, 64 bits

typedef LONG ASIOBool;
enum { ASIOFalse = 0, ASIOTrue = 1 };

// The sample type numbers are the ones the kernel's low-latency channel
// converts (the shared protocol header), so both sides use one list.
typedef LONG ASIOSampleType;

typedef LONG ASIOError;
enum {
  ASE_OK = 0,
  ASE_SUCCESS = 0x3F4847A0,  // future(): the selector is supported and done
  ASE_NotPresent = -1000,    // hardware input or output is not present or available
  ASE_HWMalfunction,         // -999
  ASE_InvalidParameter,      // -998
  ASE_InvalidMode,           // -997
  ASE_SPNotAdvancing,        // -996: the sample position does not advance
  ASE_NoClock,               // -995: the sample clock or rate cannot be determined
  ASE_NoMemory               // -994
};

typedef struct ASIOClockSource {
  LONG index;
  LONG associatedChannel;
  LONG associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
} ASIOClockSource;

typedef struct ASIOChannelInfo {
  LONG channel;      // in: the channel index
  ASIOBool isInput;  // in
  ASIOBool isActive;
  LONG channelGroup;
  ASIOSampleType type;
  char name[32];
} ASIOChannelInfo;

typedef struct ASIOBufferInfo {
  ASIOBool isInput;  // in
  LONG channelNum;   // in
  void *buffers[2];  // out: the two halves
} ASIOBufferInfo;

// Time information handed to bufferSwitchTimeInfo.
typedef struct AsioTimeInfo {
  double speed;  // 1.0 is nominal
  ASIOTimeStamp systemTime;
  ASIOSamples samplePosition;
  ASIOSampleRate sampleRate;
  ULONG flags;  // AsioTimeInfoFlags
  char reserved[12];
} AsioTimeInfo;

enum AsioTimeInfoFlags {
  kSystemTimeValid = 1,
  kSamplePositionValid = 1 << 1,
  kSampleRateValid = 1 << 2,
  kSpeedValid = 1 << 3,
  kSampleRateChanged = 1 << 4,
  kClockSourceChanged = 1 << 5
};

typedef struct ASIOTimeCode {
  double speed;
  ASIOSamples timeCodeSamples;
  ULONG flags;  // ASIOTimeCodeFlags
  char future[64];
} ASIOTimeCode;

enum ASIOTimeCodeFlags {
  kTcValid = 1,
  kTcRunning = 1 << 1,
  kTcReverse = 1 << 2,
  kTcOnspeed = 1 << 3,
  kTcStill = 1 << 4,
  kTcSpeedValid = 1 << 8
};

typedef struct ASIOTime {
  LONG reserved[4];
  AsioTimeInfo timeInfo;
  ASIOTimeCode timeCode;
} ASIOTime;

// The host's callbacks, given to createBuffers. The compiler's default
// calling convention (the only one on x64).
typedef struct ASIOCallbacks {
  void (*bufferSwitch)(LONG doubleBufferIndex, ASIOBool directProcess);
  void (*sampleRateDidChange)(ASIOSampleRate sRate);
  LONG (*asioMessage)(LONG selector, LONG value, void *message, double *opt);
  ASIOTime *(*bufferSwitchTimeInfo)(ASIOTime *params, LONG doubleBufferIndex, ASIOBool directProcess);
} ASIOCallbacks;

// asioMessage selectors (driver to host).
enum {
  kAsioSelectorSupported = 1,  // value: a selector; is it supported?
  kAsioEngineVersion,          // 2: the host's ASIO version
  kAsioResetRequest,           // 3: stop, dispose, release and create the driver again
  kAsioBufferSizeChange,       // 4: value: the new preferred size
  kAsioResyncRequest,          // 5: samples were lost; resynchronise
  kAsioLatenciesChanged,       // 6
  kAsioSupportsTimeInfo,       // 7: the host takes bufferSwitchTimeInfo
  kAsioSupportsTimeCode,       // 8
  kAsioMMCCommand,             // 9
  kAsioSupportsInputMonitor,   // 10
  kAsioSupportsInputGain,      // 11
  kAsioSupportsInputMeter,     // 12
  kAsioSupportsOutputGain,     // 13
  kAsioSupportsOutputMeter,    // 14
  kAsioOverload,               // 15: the driver overloaded
  kAsioNumMessageSelectors     // 16
};

// future() selectors (host to driver).
enum {
  kAsioEnableTimeCodeRead = 1,
  kAsioDisableTimeCodeRead,  // 2
  kAsioSetInputMonitor,      // 3: ASIOInputMonitor*
  kAsioTransport,            // 4: ASIOTransportParameters*
  kAsioSetInputGain,         // 5: ASIOChannelControls*
  kAsioGetInputMeter,        // 6: ASIOChannelControls*
  kAsioSetOutputGain,        // 7: ASIOChannelControls*
  kAsioGetOutputMeter,       // 8: ASIOChannelControls*
  kAsioCanInputMonitor,      // 9
  kAsioCanTimeInfo,          // 10
  kAsioCanTimeCode,          // 11
  kAsioCanTransport,         // 12
  kAsioCanInputGain,         // 13
  kAsioCanInputMeter,        // 14
  kAsioCanOutputGain,        // 15
  kAsioCanOutputMeter,       // 16
  kAsioOptionalOne,          // 17
  // The later selectors are dates, so they never collide.
  kAsioSetIoFormat = 0x23111961,               // ASIOIoFormat*
  kAsioGetIoFormat = 0x23111983,               // ASIOIoFormat*
  kAsioCanDoIoFormat = 0x23112004,             // ASIOIoFormat*
  kAsioCanReportOverload = 0x24042012,         // the driver may send kAsioOverload
  kAsioGetInternalBufferSamples = 0x25042012,  // ASIOInternalBufferInfo*
  kAsioSupportsInputResampling = 0x26092017
};

typedef struct ASIOInputMonitor {
  LONG input;   // -1: all inputs
  LONG output;  // suggested output for the monitored input
  LONG gain;    // 0 .. 0x7FFFFFFF (-inf .. +12 dB)
  ASIOBool state;
  LONG pan;  // 0 left .. 0x7FFFFFFF right
} ASIOInputMonitor;

typedef struct ASIOChannelControls {
  LONG channel;
  ASIOBool isInput;
  LONG gain;   // 0 .. 0x7FFFFFFF
  LONG meter;  // 0 .. 0x7FFFFFFF
  char future[32];
} ASIOChannelControls;

typedef struct ASIOTransportParameters {
  LONG command;
  ASIOSamples samplePosition;
  LONG track;
  LONG trackSwitches[16];  // 512 bits
  char future[64];
} ASIOTransportParameters;

typedef struct ASIOInternalBufferInfo {
  LONG inputSamples;   // the driver's own input buffering, in samples
  LONG outputSamples;  // the driver's own output buffering, in samples
} ASIOInternalBufferInfo;

// The stream format of kAsioSetIoFormat / kAsioGetIoFormat / kAsioCanDoIoFormat.
typedef LONG ASIOIoFormatType;
enum ASIOIoFormatType_e {
  kASIOFormatInvalid = -1,
  kASIOPCMFormat = 0,
  kASIODSDFormat = 1
};
// The name this package's documents use for kASIOPCMFormat.
enum { kASIOFormatPCM = kASIOPCMFormat };

typedef struct ASIOIoFormat_s {
  ASIOIoFormatType FormatType;
  char future[512 - sizeof(ASIOIoFormatType)];
} ASIOIoFormat;

#pragma pack(pop)

// ---- The published layouts (both builds are x86-64; the pointer-dependent
// ---- sizes also say what a 32-bit build must give).
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "ASIO's long is 32 bits");
static_assert(sizeof(ASIOSamples) == 8 && offsetof(ASIOSamples, hi) == 0 && offsetof(ASIOSamples, lo) == 4,
              "ASIOSamples: hi, lo");
static_assert(sizeof(ASIOTimeStamp) == 8 && offsetof(ASIOTimeStamp, hi) == 0 && offsetof(ASIOTimeStamp, lo) == 4,
              "ASIOTimeStamp: hi, lo");
static_assert(sizeof(ASIOSampleRate) == 8, "ASIOSampleRate is a 64-bit double");
static_assert(sizeof(ASIOBool) == 4 && sizeof(ASIOError) == 4 && sizeof(ASIOSampleType) == 4 &&
                  sizeof(ASIOIoFormatType) == 4,
              "32-bit scalars");

static_assert(sizeof(ASIOClockSource) == 48, "ASIOClockSource");
static_assert(offsetof(ASIOClockSource, index) == 0 && offsetof(ASIOClockSource, associatedChannel) == 4 &&
                  offsetof(ASIOClockSource, associatedGroup) == 8 &&
                  offsetof(ASIOClockSource, isCurrentSource) == 12 && offsetof(ASIOClockSource, name) == 16,
              "ASIOClockSource fields");

static_assert(sizeof(ASIOChannelInfo) == 52, "ASIOChannelInfo");
static_assert(offsetof(ASIOChannelInfo, channel) == 0 && offsetof(ASIOChannelInfo, isInput) == 4 &&
                  offsetof(ASIOChannelInfo, isActive) == 8 && offsetof(ASIOChannelInfo, channelGroup) == 12 &&
                  offsetof(ASIOChannelInfo, type) == 16 && offsetof(ASIOChannelInfo, name) == 20,
              "ASIOChannelInfo fields");

static_assert(offsetof(ASIOBufferInfo, isInput) == 0 && offsetof(ASIOBufferInfo, channelNum) == 4 &&
                  offsetof(ASIOBufferInfo, buffers) == 8,
              "ASIOBufferInfo fields");
static_assert(sizeof(ASIOBufferInfo) == (sizeof(void *) == 8 ? 24 : 16), "ASIOBufferInfo");
static_assert(alignof(ASIOBufferInfo) == 4, "ASIOBufferInfo under 4-byte packing");

static_assert(sizeof(AsioTimeInfo) == 48, "AsioTimeInfo");
static_assert(offsetof(AsioTimeInfo, speed) == 0 && offsetof(AsioTimeInfo, systemTime) == 8 &&
                  offsetof(AsioTimeInfo, samplePosition) == 16 && offsetof(AsioTimeInfo, sampleRate) == 24 &&
                  offsetof(AsioTimeInfo, flags) == 32 && offsetof(AsioTimeInfo, reserved) == 36,
              "AsioTimeInfo fields");
static_assert(alignof(AsioTimeInfo) == 4, "AsioTimeInfo under 4-byte packing");

static_assert(sizeof(ASIOTimeCode) == 84, "ASIOTimeCode under 4-byte packing (88 if natural)");
static_assert(offsetof(ASIOTimeCode, speed) == 0 && offsetof(ASIOTimeCode, timeCodeSamples) == 8 &&
                  offsetof(ASIOTimeCode, flags) == 16 && offsetof(ASIOTimeCode, future) == 20,
              "ASIOTimeCode fields");

static_assert(sizeof(ASIOTime) == 148, "ASIOTime under 4-byte packing (152 if natural)");
static_assert(offsetof(ASIOTime, reserved) == 0 && offsetof(ASIOTime, timeInfo) == 16 &&
                  offsetof(ASIOTime, timeCode) == 64,
              "ASIOTime fields");
static_assert(offsetof(ASIOTime, timeInfo.samplePosition) == 32 && offsetof(ASIOTime, timeInfo.flags) == 48 &&
                  offsetof(ASIOTime, timeCode.flags) == 80,
              "ASIOTime nested fields the driver writes");

static_assert(sizeof(ASIOCallbacks) == 4 * sizeof(void *), "ASIOCallbacks: four function pointers");
static_assert(offsetof(ASIOCallbacks, bufferSwitch) == 0 && offsetof(ASIOCallbacks, sampleRateDidChange) == sizeof(void *) &&
                  offsetof(ASIOCallbacks, asioMessage) == 2 * sizeof(void *) &&
                  offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == 3 * sizeof(void *),
              "ASIOCallbacks fields");
static_assert(alignof(ASIOCallbacks) == 4, "ASIOCallbacks under 4-byte packing");

static_assert(sizeof(ASIOInputMonitor) == 20, "ASIOInputMonitor");
static_assert(offsetof(ASIOInputMonitor, state) == 12 && offsetof(ASIOInputMonitor, pan) == 16,
              "ASIOInputMonitor fields");
static_assert(sizeof(ASIOChannelControls) == 48 && offsetof(ASIOChannelControls, meter) == 12 &&
                  offsetof(ASIOChannelControls, future) == 16,
              "ASIOChannelControls");
static_assert(sizeof(ASIOTransportParameters) == 144 && offsetof(ASIOTransportParameters, samplePosition) == 4 &&
                  offsetof(ASIOTransportParameters, track) == 12 &&
                  offsetof(ASIOTransportParameters, trackSwitches) == 16 &&
                  offsetof(ASIOTransportParameters, future) == 80,
              "ASIOTransportParameters");
static_assert(sizeof(ASIOInternalBufferInfo) == 8 && offsetof(ASIOInternalBufferInfo, outputSamples) == 4,
              "ASIOInternalBufferInfo");
static_assert(sizeof(ASIOIoFormat) == 512 && offsetof(ASIOIoFormat, FormatType) == 0 &&
                  offsetof(ASIOIoFormat, future) == 4,
              "ASIOIoFormat");
