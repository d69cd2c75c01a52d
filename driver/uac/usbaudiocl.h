// CUSBAudioCL: the driver's model of the device's USB audio function, built
// from the configuration descriptor that CUSBCL keeps for the device's life.
#pragma once

#include "driver/runtime/kernel_prelude.h"
#include "driver/uac/entities.h"
#include "driver/uac/packet_schedule.h"
#include "driver/uac/stream_events.h"
#include "driver/usb/usbcl.h"

// Descriptors of one alternate setting of a streaming interface. Settings
// without endpoints keep everything after Interface null.
struct AlternateSetting {
    PUSB_INTERFACE_DESCRIPTOR Interface;
    PUSB_ENDPOINT_DESCRIPTOR DataEndpoint;
    PUCHAR AsGeneral;
    PUCHAR FormatType;
    PUCHAR CsEndpoint;
    PUSB_ENDPOINT_DESCRIPTOR FeedbackEndpoint;  // class 1.0: synch endpoint
};

struct StreamingInterface {
    StreamingInterface* Next;
    UCHAR InterfaceNumber;
    UCHAR IsInput;              // 1 = IN endpoint = capture
    USHORT DeviceMode;          // last value sent with SetDeviceMode
    ULONG AlternateCount;
    ULONG CurrentAlternate;
    AlternateSetting* Alternates;
    CUSBAudioTerminal* Terminal;
    PUSBD_PIPE_INFORMATION DataPipe;
    PUSBD_PIPE_INFORMATION FeedbackPipe;
    // Packet parameters of the selected format.
    ULONG BytesPerFrame;
    ULONG NominalPacketBytes;
    BOOLEAN WholeFrames;
    BOOLEAN FormatSelected;
    ULONG FeedbackPeriod;
    ULONG Rate;
    // Render only; guarded by Lock (taken by the feedback completion too).
    ULONG NominalFeedback;
    // Largest feedback value whose packet (w microframes of it at high
    // speed) still fits the data endpoint; 0: no limit.
    ULONG FeedbackCeiling;
    ULONG FeedbackReset[2];
    // 16.16 frames per packet interval unit. LatestFeedback is what the
    // feedback endpoint last reported (validated); CurrentFeedback is the
    // copy the render transfer being sized uses. 0 means "use nominal".
    ULONG CurrentFeedback;
    ULONG LatestFeedback;
    KSPIN_LOCK Lock;
    // Data ranges: pointer array then one range per alternate setting.
    ULONG DataRangeCount;
    PVOID DataRangeStorage;
};

class CUSBAudioCL : public CUSBCL {
public:
    CUSBAudioCL();
    ~CUSBAudioCL() override;

    VOID OnTransferComplete(NTSTATUS irpStatus, PURB urb, USB_TRANSFER_CONTEXT* context) override;
    virtual NTSTATUS Init(PDEVICE_OBJECT physicalDevice, ULONG irpCount);
    virtual NTSTATUS Configure();
    virtual NTSTATUS BuildStreamingInterfaceList();
    virtual NTSTATUS ParseStreamingInterface(StreamingInterface* record);

    NTSTATUS ParseEntities(PUCHAR header);
    CUSBAudioEntity* FindEntity(ULONG id);
    VOID DetectDsdSupport();
    BOOLEAN HasControl(CUSBAudioFeatureUnit* unit, ULONG channel, ULONG control, ULONG capability);
    BOOLEAN HasControlOnAnyChannel(CUSBAudioFeatureUnit* unit, ULONG control);
    ULONG GetFeatureUnitChannelCount(CUSBAudioFeatureUnit* unit);
    USHORT GetTerminalType(CUSBAudioTerminal* terminal);

    // Every request to an entity of the audio function.
    // A GET (bmRequestType bit 7) must return all `length` bytes unless the
    // caller takes the transferred count.
    NTSTATUS AudioClassRequest(UCHAR bmRequestType, UCHAR bRequest, UCHAR controlSelector, UCHAR channel,
                               UCHAR entityId, USHORT length, PVOID buffer, PULONG transferred = NULL);
    // Streaming formats.
    NTSTATUS BuildDataRanges(StreamingInterface* streaming);
    NTSTATUS GetFormatCapabilities(StreamingInterface* streaming, PULONG maxChannels, PULONG minContainerBits,
                                   PULONG maxContainerBits, PULONG minRate, PULONG maxRate);
    NTSTATUS GetUac1RateBounds(StreamingInterface* streaming, PULONG lower, PULONG upper);
    NTSTATUS FindAlternateSetting(StreamingInterface* streaming, ULONG channels, ULONG bits, ULONG rate,
                                  PULONG outChannels, PULONG outContainerBits, PULONG alternate);
    // Short form: e milliseconds' worth of maximum bytes.
    NTSTATUS SelectStreamingFormat(BOOLEAN capture, ULONG channels, ULONG bits, ULONG rate, ULONG milliseconds,
                                   PULONG outChannels, PULONG outContainerBits, PULONG maxBytes);
    // Long form: also the nominal bytes of e milliseconds and the frame slack either way.
    NTSTATUS SelectStreamingFormat(BOOLEAN capture, ULONG channels, ULONG bits, ULONG rate, ULONG milliseconds,
                                   PULONG outChannels, PULONG outContainerBits, PULONG nominalBytes,
                                   PLONG negativeSlack, PLONG positiveSlack, PULONG maxBytes);
    NTSTATUS TestStreamingFormat(BOOLEAN capture, ULONG channels, ULONG bits, ULONG rate);
    // Binds the current alternates' endpoints to pipes: of every streaming
    // interface, or only of `only` (the others may be streaming meanwhile).
    NTSTATUS ResolvePipes(StreamingInterface* only = NULL);
    ULONG GetFeedbackBufferBytes();
    const PacketScheduleEntry* GetCurrentSchedule() const { return CurrentSchedule; }
    ULONG GetSchedulePosition() const { return SchedulePosition; }
    ULONG GetDataInterval() const { return DataInterval; }
    CUSBAudioClock* GetTerminalClock(CUSBAudioTerminal* terminal);

    // Isochronous stream transfers (iso_transfers.cpp).
    ULONG NextRenderTransferBytes(ULONG framesPerTransfer, ULONG feedback);
    NTSTATUS SendIsoOut(PMDL mdl, ULONG bytes, ULONG framesPerTransfer, PUSB_TRANSFER_CALLBACK callback,
                        PVOID request);
    NTSTATUS ReceiveIsoIn(PVOID buffer, ULONG bytes, PUSB_TRANSFER_CALLBACK callback, PVOID request,
                          ULONG startFrame);
    NTSTATUS RenderPipeAbort();
    VOID SetImplicitFeedbackMode(BOOLEAN enabled, BOOLEAN shortPacketsAllowed) {
        ImplicitFeedbackMode = enabled;
        ShortPacketsAllowed = shortPacketsAllowed;
    }
    BOOLEAN IsLengthPrefixMode() const;
    ULONG GetFeedbackRemainder() const { return FeedbackRemainder; }

    // Explicit feedback (feedback.cpp).
    VOID SetStreamEvents(IStreamEvents* events) { StreamEvents = events; }
    // Copies the latest feedback into the value render sizing uses; returns it.
    ULONG LatchFeedback();
    ULONG GetLatestFeedback();
    VOID ExplicitFeedbackStart(PVOID buffer, FEEDBACK_REQUEST* request);
    NTSTATUS RecvFeedback(PVOID buffer, ULONG bytes, PFEEDBACK_CALLBACK callback, PVOID request);
    static VOID RecvFeedbackCompletion(NTSTATUS status, ULONG value, BOOLEAN threeBytePackets, PVOID request);
    // The value to publish for a reading: the reading when it lies within one
    // frame of nominal (and at least one frame) and, with a ceiling, its
    // packets fit the endpoint; else nominal. A reading of 3-byte packets
    // that fails is tried again as 10.14 (and at high speed as 10.14 per
    // 1 ms frame).
    static ULONG ValidateFeedback(ULONG value, ULONG nominal, BOOLEAN threeBytePackets, BOOLEAN highSpeed = FALSE,
                                  ULONG ceiling = 0);
    // Averages the packets of a completed feedback read whose buffer holds
    // `capacity` bytes; 0 when none counts.
    static ULONG DecodeFeedbackPackets(const struct _URB_ISOCH_TRANSFER* transfer, ULONG capacity,
                                       PBOOLEAN threeBytePackets);

    // Feature-unit, endpoint and vendor requests.
    NTSTATUS FeatureUnitRequest(CUSBAudioFeatureUnit* unit, UCHAR channel, ULONG control, BOOLEAN get, UCHAR request,
                                PVOID buffer, USHORT length);
    NTSTATUS SetVolume(CUSBAudioFeatureUnit* unit, UCHAR channel, SHORT volume);
    NTSTATUS GetVolume(CUSBAudioFeatureUnit* unit, UCHAR channel, PSHORT volume);
    NTSTATUS GetVolumeRange(CUSBAudioFeatureUnit* unit, UCHAR channel, PSHORT minimum, PSHORT maximum, PSHORT step);
    NTSTATUS SetMute(CUSBAudioFeatureUnit* unit, UCHAR mute);
    NTSTATUS GetMute(CUSBAudioFeatureUnit* unit, PUCHAR mute);
    NTSTATUS SetEndpointSampleRate(UCHAR endpointAddress, ULONG rate);
    NTSTATUS GetEndpointSampleRate(UCHAR endpointAddress, PULONG rate);
    NTSTATUS SetDeviceMode(USHORT mode);

    // The KS filter description of the device (pins, nodes, connections),
    // built into a descriptor the adapter owns; FreeFilter releases its arrays.
    NTSTATUS BuildFilter(PPCFILTER_DESCRIPTOR filter);
    VOID FreeFilter(PPCFILTER_DESCRIPTOR filter);

    BOOLEAN IsUac2() const { return isUac2; }
    BOOLEAN IsDsdCapable() const { return dsdCapable; }
    CUSBAudioEntity* GetEntities() const { return Entities; }
    StreamingInterface* GetStreamingInterfaces() const { return StreamingInterfaces; }
    ULONG GetStreamingInterfaceCount() const { return StreamingInterfaceCount; }
    StreamingInterface* GetRenderInterface() const { return renderInterface; }
    StreamingInterface* GetCaptureInterface() const { return captureInterface; }
    PUCHAR GetConfigurationEnd() const;

protected:
    VOID FreeEntities();
    VOID FreeStreamingInterfaces();
    VOID FreeStreamingInterface(StreamingInterface* record);
    PUSB_INTERFACE_DESCRIPTOR FindInterface(LONG number, LONG alternate, LONG subclass);
    // The next interface descriptor after `from`, or the end of the configuration.
    PUCHAR NextInterfaceOrEnd(PUCHAR from);
    VOID ParseEndpoints(AlternateSetting* setting, PUCHAR end);
    VOID ClassifyEndpointV2(AlternateSetting* setting, PUSB_ENDPOINT_DESCRIPTOR endpoint);
    VOID ClassifyEndpointV1(AlternateSetting* setting, PUSB_ENDPOINT_DESCRIPTOR endpoint, BOOLEAN first);
    BOOLEAN IsQuirkVendorClassDevice() const;
    BOOLEAN UsesFullInterfaceList() const;

    PUSB_INTERFACE_DESCRIPTOR AcInterface;
    PUCHAR AcHeader;
    BOOLEAN isUac2;
    BOOLEAN dsdCapable;
    UCHAR InterfaceClass;
    CUSBAudioEntity* Entities;
    StreamingInterface* StreamingInterfaces;
    ULONG StreamingInterfaceCount;
    StreamingInterface* renderInterface;
    StreamingInterface* captureInterface;
    const PacketScheduleEntry* CurrentSchedule;
    ULONG SchedulePosition;
    ULONG DataInterval;
    // Carried fraction (16 bits) of the feedback-sized render packets.
    ULONG FeedbackRemainder = 0;
    BOOLEAN ImplicitFeedbackMode = FALSE;
    BOOLEAN ShortPacketsAllowed = FALSE;
    IStreamEvents* StreamEvents = NULL;
    // Serialises format selections: each replaces its interface's pipe
    // information, which the other direction's selection scans too.
    KMUTEX SelectionLock;

private:
    static NTSTATUS RecvFeedbackCompletionRoutine(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
    static NTSTATUS StreamOutPipeAbortCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
    PURB BuildIsoUrb(PUSBD_PIPE_INFORMATION pipe, ULONG flags, PVOID buffer, ULONG bytes, ULONG packets);
    ULONG CountRenderPackets(StreamingInterface* render, ULONG bytes, ULONG framesPerTransfer, ULONG feedback);
    PacketWalk RenderPacketWalk(StreamingInterface* render, BOOLEAN explicitFeedback, ULONG feedback);
    NTSTATUS SendLengthPrefixed(StreamingInterface* render, PVOID transferBuffer, ULONG bytes,
                                USB_TRANSFER_CONTEXT* context);
    NTSTATUS SelectFormat(BOOLEAN capture, BOOLEAN shortForm, ULONG channels, ULONG bits, ULONG rate,
                          ULONG milliseconds, PULONG outChannels, PULONG outContainerBits, PULONG nominalBytes,
                          PLONG negativeSlack, PLONG positiveSlack, PULONG maxBytes);
    BOOLEAN Uac1AlternateRunsAt(StreamingInterface* streaming, ULONG alternate, ULONG rate);
    BOOLEAN DataIntervalCarried(PUSB_ENDPOINT_DESCRIPTOR dataEndpoint) const;
};
