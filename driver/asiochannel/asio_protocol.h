// The private kernel-streaming protocol between the low-latency (ASIO)
// client and the kernel driver: the property set, its ids, the request and
// reply records, and the header of the shared block. Both sides include this
// file: the kernel driver and user-mode code (the ASIO driver, the simulated
// client), so it uses nothing but fixed-width types and GUID.
#pragma once

#include <guiddef.h>
#include <stddef.h>
#include <stdint.h>

// KSPROPSETID_AsioChannel {9B739684-14D2-447F-865E-28E21576139A}.
inline constexpr GUID KSPROPSETID_AsioChannel = {
    0x9B739684, 0x14D2, 0x447F, {0x86, 0x5E, 0x28, 0xE2, 0x15, 0x76, 0x13, 0x9A}};

enum KSPROPERTY_ASIO_CHANNEL {
    KSPROPERTY_ASIO_BUFFERS = 0,       // pins: SET creates the shared block, GET describes it
    KSPROPERTY_ASIO_SET_EVENT = 1,     // pins: the client's buffer-switch event (instance: handle)
    KSPROPERTY_ASIO_CLEAR_EVENT = 2,   // pins: releases that event (instance: the same handle)
    KSPROPERTY_ASIO_OUTPUT_READY = 3,  // render pin: the next output half is filled
    KSPROPERTY_ASIO_OUTPUT_DELAY = 4,  // render pin: allowed lateness of output ready, ms (instance: u32)
    KSPROPERTY_ASIO_DSD_MODE = 256,    // filter: u16 value, 0 = PCM transport, 1 = DSD transport
};

// The published ASIO sample type numbers the channel knows.
enum ASIO_SAMPLE_TYPE : uint32_t {
    ASIOSTInt16MSB = 0,
    ASIOSTInt24MSB = 1,
    ASIOSTInt32MSB = 2,
    ASIOSTFloat32MSB = 3,
    ASIOSTFloat64MSB = 4,
    ASIOSTInt32MSB16 = 8,
    ASIOSTInt32MSB18 = 9,
    ASIOSTInt32MSB20 = 10,
    ASIOSTInt32MSB24 = 11,
    ASIOSTInt16LSB = 16,
    ASIOSTInt24LSB = 17,
    ASIOSTInt32LSB = 18,
    ASIOSTFloat32LSB = 19,
    ASIOSTFloat64LSB = 20,
    ASIOSTInt32LSB16 = 24,
    ASIOSTInt32LSB18 = 25,
    ASIOSTInt32LSB20 = 26,
    ASIOSTInt32LSB24 = 27,
    ASIOSTDSDInt8LSB1 = 32,
    ASIOSTDSDInt8MSB1 = 33,
    ASIOSTDSDInt8NER8 = 40,
    ASIOSTLastEntry = 41,
};

#pragma pack(push, 4)

// Instance data of KSPROPERTY_ASIO_BUFFERS SET: a count, the frames of both
// halves together, then `count` entries.
struct AsioBufferRequestEntry {
    uint32_t sampleType;  // ASIO sample type
    uint32_t channel;     // index inside the pin's interleaved device frame
};
struct AsioBufferRequest {
    uint32_t count;
    uint32_t frames;
    AsioBufferRequestEntry entries[1];
};
constexpr uint32_t ASIO_BUFFER_REQUEST_MIN_BYTES = 16;

// One created channel, in the value of KSPROPERTY_ASIO_BUFFERS GET for a
// 64-bit caller: 44 bytes, 8-byte fields at 4-byte alignment.
struct AsioBufferInfo64 {
    uint32_t channel;
    uint32_t sampleType;
    uint32_t halfFrames;
    uint64_t kernelHalf[2];
    uint64_t clientHalf[2];
};
// The same for a 32-bit caller: 28 bytes, addresses truncated.
struct AsioBufferInfo32 {
    uint32_t channel;
    uint32_t sampleType;
    uint32_t halfFrames;
    uint32_t kernelHalf[2];
    uint32_t clientHalf[2];
};

#pragma pack(pop)

static_assert(sizeof(AsioBufferRequestEntry) == 8, "request entry");
static_assert(sizeof(AsioBufferRequest) == 16, "request with one entry");
static_assert(sizeof(AsioBufferInfo64) == 44, "64-bit buffer info");
static_assert(offsetof(AsioBufferInfo64, clientHalf) == 28, "64-bit buffer info client halves");
static_assert(sizeof(AsioBufferInfo32) == 28, "32-bit buffer info");

// The first 16 bytes of the shared block. Both sides reach these words only
// through the atomic accessors below: the client reads and resets them
// through its own mapping of the same page while the kernel writes them.
struct AsioSharedHeader {
    uint32_t currentHalf;  // kernel: the half it works on; the client takes the other
    uint32_t toggleCount;  // kernel increments, client resets: above 1 = a missed switch
    uint32_t streamError;  // kernel: the device-gone status that stopped the stream, or 0
    uint32_t reserved;
};
static_assert(sizeof(AsioSharedHeader) == 16, "shared header");
constexpr uint32_t ASIO_SHARED_HEADER_BYTES = 16;

inline uint32_t AsioHeaderLoad(const volatile uint32_t* word) {
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}
inline void AsioHeaderStore(volatile uint32_t* word, uint32_t value) {
    __atomic_store_n(word, value, __ATOMIC_RELEASE);
}
inline uint32_t AsioHeaderIncrement(volatile uint32_t* word) {
    return __atomic_add_fetch(word, 1, __ATOMIC_ACQ_REL);
}
inline uint32_t AsioHeaderExchange(volatile uint32_t* word, uint32_t value) {
    return __atomic_exchange_n(word, value, __ATOMIC_ACQ_REL);
}
