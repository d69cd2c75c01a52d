// CUSBAudioCL: the driver's model of the device's USB audio function, built
// from the configuration descriptor that CUSBCL keeps for the device's life.
#pragma once

#include "driver/core/kernel_prelude.h"
#include "driver/uac/entities.h"
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
    ULONG FeedbackReset[2];
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
    NTSTATUS AudioClassRequest(UCHAR bmRequestType, UCHAR bRequest, UCHAR controlSelector, UCHAR channel,
                               UCHAR entityId, USHORT length, PVOID buffer);
    NTSTATUS BuildDataRanges(StreamingInterface* streaming);
    NTSTATUS ResolvePipes();

    BOOLEAN IsUac2() const { return isUac2; }
    BOOLEAN IsDsdCapable() const { return dsdCapable; }
    UCHAR GetInterfaceClass() const { return InterfaceClass; }
    PUSB_INTERFACE_DESCRIPTOR GetAcInterface() const { return AcInterface; }
    PUCHAR GetAcHeader() const { return AcHeader; }
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
    VOID ParseEndpointsV2(AlternateSetting* setting, PUCHAR end);
    VOID ParseEndpointsV1(AlternateSetting* setting, PUCHAR end);
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
};
