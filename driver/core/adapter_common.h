// IAdapterCommon: the adapter object's interface to the wave miniport, its
// streams and the low-latency channel. Nothing above the adapter touches USB;
// every device action goes through these operations. The slot order is part
// of the interface. Direction arguments: FALSE = render (host to device),
// TRUE = capture.
#pragma once

#include "driver/runtime/kernel_prelude.h"

struct IMiniportWaveCyclicUsbAudio;

// {4CA564D7-4F81-4C2C-9429-6609A57D26A5}
inline constexpr GUID IID_IAdapterCommon = {
    0x4CA564D7, 0x4F81, 0x4C2C, {0x94, 0x29, 0x66, 0x09, 0xA5, 0x7D, 0x26, 0xA5}};

DECLARE_INTERFACE_(IAdapterCommon, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()

    // 3: opens the USB function, parses it, configures it, builds the filter.
    STDMETHOD_(NTSTATUS, Init)(THIS_ PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT FunctionalDeviceObject) PURE;
    // 4: the miniport's private interface (not reference-counted), or NULL.
    STDMETHOD_(VOID, SetWaveMiniport)(THIS_ IMiniportWaveCyclicUsbAudio * Miniport) PURE;
    // 5: what the direction's streaming interface can do.
    STDMETHOD_(NTSTATUS, GetFormatRange)(THIS_ BOOLEAN Capture, PULONG MaxChannels, PULONG MinContainerBits,
                                         PULONG MaxContainerBits, PULONG MinRate, PULONG MaxRate) PURE;
    // 6, 7: the client format of a direction, with and without flushing its queue.
    STDMETHOD_(NTSTATUS, SetStreamFormat)(THIS_ BOOLEAN Capture, ULONG Channels, ULONG BitsPerSample,
                                          ULONG SampleRate) PURE;
    STDMETHOD_(NTSTATUS, SetStreamFormatNoFlush)(THIS_ BOOLEAN Capture, ULONG Channels, ULONG BitsPerSample,
                                                 ULONG SampleRate) PURE;
    // 8
    STDMETHOD_(NTSTATUS, ClearStreamFormat)(THIS_ BOOLEAN Capture) PURE;
    // 9 .. 13: stream control.
    STDMETHOD_(NTSTATUS, StartStream)(THIS_ BOOLEAN Capture) PURE;
    STDMETHOD_(NTSTATUS, PauseStream)(THIS_ BOOLEAN Capture) PURE;
    STDMETHOD_(NTSTATUS, StopStream)(THIS_ BOOLEAN Capture) PURE;
    STDMETHOD_(NTSTATUS, SetStreamRunning)(THIS_ BOOLEAN Capture) PURE;
    STDMETHOD_(VOID, ClearStreamRunning)(THIS_ BOOLEAN Capture) PURE;
    // 14, 15: client buffer regions waiting to be played / filled.
    STDMETHOD_(NTSTATUS, QueueRenderBuffer)(THIS_ PVOID Address, ULONG Length) PURE;
    STDMETHOD_(NTSTATUS, QueueCaptureBuffer)(THIS_ PVOID Address, ULONG Length) PURE;
    // 16 .. 18: timing of the low-latency handshake and render progress.
    STDMETHOD_(VOID, BufferToggle)(THIS) PURE;
    STDMETHOD_(VOID, OutputReady)(THIS) PURE;
    STDMETHOD_(VOID, RenderNotify)(THIS) PURE;
    // 19: the filter description the miniport hands to the port library.
    STDMETHOD_(PPCFILTER_DESCRIPTOR, GetFilterDescriptor)(THIS) PURE;
    // 20: volume and mute of the feature-unit nodes.
    STDMETHOD_(NTSTATUS, PropertyHandler_Node)(THIS_ PPCPROPERTY_REQUEST PropertyRequest) PURE;
    // 21: allowed lateness of OutputReady, in USB frames (clamped to 2..768).
    STDMETHOD_(VOID, OutputDelay)(THIS_ ULONG Frames) PURE;
    // 22: narrows [*MinRate, *MaxRate] to the rates the pin's clock (class
    // 2.0) or streaming interface (class 1.0) offers.
    STDMETHOD_(NTSTATUS, GetPinRateRange)(THIS_ ULONG PinId, BOOLEAN Capture, ULONG Channels, ULONG MinBits,
                                          ULONG MaxBits, PULONG MinRate, PULONG MaxRate) PURE;
    // 23: PCM (0) or DSD (1) transport on every streaming interface.
    STDMETHOD_(NTSTATUS, SetDeviceMode)(THIS_ USHORT Mode) PURE;
};

typedef IAdapterCommon* PADAPTERCOMMON;
