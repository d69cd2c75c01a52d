// IMiniportWaveCyclicUsbAudio: the wave miniport's private interface, through
// which the adapter and its streaming machinery drive the streams (positions,
// timing notifications, the low-latency handshake). Called at up to
// DISPATCH_LEVEL. Direction arguments: FALSE = render, TRUE = capture.
#pragma once

#include "driver/runtime/kernel_prelude.h"

class CMiniportWaveCyclicStreamUsbAudio;

// {3A041F1F-A2AC-4453-A057-829C89692083}
inline constexpr GUID IID_IMiniportWaveCyclicUsbAudio = {
    0x3A041F1F, 0xA2AC, 0x4453, {0xA0, 0x57, 0x82, 0x9C, 0x89, 0x69, 0x20, 0x83}};

DECLARE_INTERFACE_(IMiniportWaveCyclicUsbAudio, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()

    // Time has advanced on the direction's stream.
    STDMETHOD_(VOID, TimingNotification)(THIS_ BOOLEAN Capture) PURE;
    // Play position = address in the render buffer; returns the previous one.
    STDMETHOD_(ULONG, SetRenderPosition)(THIS_ PVOID Address) PURE;
    // Record position = one block before the address in the capture buffer.
    STDMETHOD_(ULONG, SetCapturePosition)(THIS_ PVOID Address) PURE;
    STDMETHOD_(VOID, ClearBuffer)(THIS_ BOOLEAN Capture) PURE;
    // The stream exists and a low-latency client has mapped its buffers.
    STDMETHOD_(BOOLEAN, IsStreamActive)(THIS_ BOOLEAN Capture) PURE;
    STDMETHOD_(VOID, BufferToggle)(THIS) PURE;
    STDMETHOD_(VOID, OutputReady)(THIS) PURE;
    STDMETHOD_(VOID, Silence)(THIS_ BOOLEAN Capture, PVOID Buffer, ULONG ByteCount) PURE;
    STDMETHOD_(VOID, OutputDelay)(THIS_ ULONG Frames) PURE;
    // Play position += bytes, wrapping; returns the previous one.
    STDMETHOD_(ULONG, AdvanceRenderPosition)(THIS_ ULONG ByteCount) PURE;
    // Records a device loss for the low-latency client; returns the stream.
    STDMETHOD_(CMiniportWaveCyclicStreamUsbAudio*, ReportStreamError)(THIS_ BOOLEAN Capture, NTSTATUS Status) PURE;
};

typedef IMiniportWaveCyclicUsbAudio* PMINIPORTWAVECYCLICUSBAUDIO;
