// Choosing and activating the alternate setting for a streaming format, and
// the packet parameters the isochronous and feedback code run on.
#include "driver/runtime/trace.h"
#include "driver/uac/format_descriptors.h"
#include "driver/uac/usbaudiocl.h"

namespace {

constexpr ULONG HIGH_SPEED_PACKETS_PER_SECOND = 8000;
constexpr ULONG FULL_SPEED_PACKETS_PER_SECOND = 1000;
constexpr ULONG MICROFRAMES_PER_FRAME = 8;

// 2^(bInterval - 1), the (micro)frames one packet covers.
ULONG DataIntervalUnits(PUSB_ENDPOINT_DESCRIPTOR endpoint) {
    ULONG interval = endpoint != NULL ? endpoint->bInterval : 1;
    if (interval == 0) interval = 1;
    if (interval > 16) interval = 16;
    return 1UL << (interval - 1);
}

}  // namespace

// Transfers last whole milliseconds (1 to 5 of them, so 40 packets of one
// microframe at most); a high-speed packet spanning more than one frame
// (bInterval above 4) would leave a transfer with no packet at all.
BOOLEAN CUSBAudioCL::DataIntervalCarried(PUSB_ENDPOINT_DESCRIPTOR dataEndpoint) const {
    return dataEndpoint == NULL || !isHighSpeed || DataIntervalUnits(dataEndpoint) <= MICROFRAMES_PER_FRAME;
}

BOOLEAN CUSBAudioCL::Uac1AlternateRunsAt(StreamingInterface* streaming, ULONG alternate, ULONG rate) {
    // The device cannot be told a rate on this endpoint; accept it only when
    // it already runs at the one asked for.
    const AlternateSetting& setting = streaming->Alternates[alternate];
    ULONG current = 0;
    NTSTATUS status = SelectAlternate(streaming->InterfaceNumber, (UCHAR)alternate);
    if (NT_SUCCESS(status)) {
        status = GetEndpointSampleRate(setting.DataEndpoint->bEndpointAddress, &current);
    }
    // Each selection replaced the interface information the pipes point
    // into: go back to the alternate that was active and bind it again.
    if (!NT_SUCCESS(SelectAlternate(streaming->InterfaceNumber, (UCHAR)streaming->CurrentAlternate))) {
        UA_ERROR("interface %u: alternate %lu not restored after the rate probe", streaming->InterfaceNumber,
                 (unsigned long)streaming->CurrentAlternate);
        if (NT_SUCCESS(SelectAlternate(streaming->InterfaceNumber, 0))) {
            streaming->CurrentAlternate = 0;
        }
    }
    ResolvePipes(streaming);
    return NT_SUCCESS(status) && current == rate;
}

NTSTATUS CUSBAudioCL::FindAlternateSetting(StreamingInterface* streaming, ULONG channels, ULONG bits, ULONG rate,
                                           PULONG outChannels, PULONG outContainerBits, PULONG alternate) {
    if (channels == 0 || bits == 0 || rate == 0) {
        *alternate = 0;
        *outChannels = channels;
        *outContainerBits = 0;
        return STATUS_SUCCESS;
    }
    if (isUac2) {
        CUSBAudioClock* clock = GetTerminalClock(streaming->Terminal);
        if (clock == NULL) {
            return STATUS_NOT_SUPPORTED;
        }
        NTSTATUS status = clock->IsSampleFrequencySupported(rate);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (streaming->AlternateCount < 2) {
        return STATUS_NOT_SUPPORTED;
    }

    BOOLEAN haveCandidate = FALSE;
    ULONG candidate = 0;
    ULONG candidateChannels = 0;
    ULONG candidateContainer = 0;
    for (ULONG n = 1; n < streaming->AlternateCount; ++n) {
        const AlternateSetting& setting = streaming->Alternates[n];
        if (setting.DataEndpoint == NULL || setting.AsGeneral == NULL || setting.FormatType == NULL) {
            continue;
        }
        uac::FormatTypeI type;
        if (!uac::ReadFormatTypeI(setting.AsGeneral, setting.FormatType, isUac2, &type)) {
            if (!isUac2) {
                UA_ERROR("interface %u alternate %lu: not format type I", streaming->InterfaceNumber, (unsigned long)n);
            }
            continue;
        }
        if (isUac2) {
            const ULONG formats = uac::ReadU32(setting.AsGeneral + 6);
            if ((formats & (type.BitResolution == 8 ? 0x2U : 0x1U)) == 0) {
                continue;
            }
        } else {
            const USHORT tag = uac::ReadU16(setting.AsGeneral + 5);
            if (tag != (type.BitResolution == 8 ? 2 : 1)) {
                continue;
            }
            uac::Uac1Rates rates;
            if (!uac::ReadUac1Rates(setting.FormatType, &rates)) {
                continue;
            }
            BOOLEAN rateFits = FALSE;
            if (rates.Continuous) {
                rateFits = rates.Lower <= rate && rate <= rates.Upper;
            } else if (rates.Count == 1) {
                rateFits = rates.Rate(0) == rate;
            } else {
                for (ULONG r = 0; r < rates.Count && !rateFits; ++r) {
                    rateFits = rates.Rate(r) == rate;
                }
                const BOOLEAN rateSettable = setting.CsEndpoint != NULL && (setting.CsEndpoint[3] & 0x01) != 0;
                if (rateFits && streaming->IsInput && !rateSettable) {
                    rateFits = Uac1AlternateRunsAt(streaming, n, rate);
                }
            }
            if (!rateFits) {
                continue;
            }
        }
        const ULONG container = type.SubslotBytes * 8;
        if (type.Channels == channels && type.BitResolution == bits) {
            *alternate = n;
            *outChannels = type.Channels;
            *outContainerBits = container;
            return STATUS_SUCCESS;
        }
        if (!haveCandidate || (type.Channels >= candidateChannels && container >= candidateContainer)) {
            haveCandidate = TRUE;
            candidate = n;
            candidateChannels = type.Channels;
            candidateContainer = container;
        }
    }
    if (!haveCandidate) {
        UA_ERROR("interface %u: no alternate for %lu ch / %lu bit / %lu Hz", streaming->InterfaceNumber,
                 (unsigned long)channels, (unsigned long)bits, (unsigned long)rate);
        return STATUS_NOT_SUPPORTED;
    }
    *alternate = candidate;
    *outChannels = candidateChannels;
    *outContainerBits = candidateContainer;
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::TestStreamingFormat(BOOLEAN capture, ULONG channels, ULONG bits, ULONG rate) {
    StreamingInterface* streaming = capture ? captureInterface : renderInterface;
    if (streaming == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG outChannels = 0;
    ULONG outContainer = 0;
    ULONG alternate = 0;
    // A class 1.0 rate probe selects alternates, as a selection does.
    KeWaitForSingleObject(&SelectionLock, Executive, KernelMode, FALSE, NULL);
    const NTSTATUS status =
        FindAlternateSetting(streaming, channels, bits, rate, &outChannels, &outContainer, &alternate);
    KeReleaseMutex(&SelectionLock, FALSE);
    return status;
}

NTSTATUS CUSBAudioCL::SelectStreamingFormat(BOOLEAN capture, ULONG channels, ULONG bits, ULONG rate,
                                            ULONG milliseconds, PULONG outChannels, PULONG outContainerBits,
                                            PULONG maxBytes) {
    KeWaitForSingleObject(&SelectionLock, Executive, KernelMode, FALSE, NULL);
    const NTSTATUS status = SelectFormat(capture, TRUE, channels, bits, rate, milliseconds, outChannels,
                                         outContainerBits, NULL, NULL, NULL, maxBytes);
    KeReleaseMutex(&SelectionLock, FALSE);
    return status;
}

NTSTATUS CUSBAudioCL::SelectStreamingFormat(BOOLEAN capture, ULONG channels, ULONG bits, ULONG rate,
                                            ULONG milliseconds, PULONG outChannels, PULONG outContainerBits,
                                            PULONG nominalBytes, PLONG negativeSlack, PLONG positiveSlack,
                                            PULONG maxBytes) {
    KeWaitForSingleObject(&SelectionLock, Executive, KernelMode, FALSE, NULL);
    const NTSTATUS status = SelectFormat(capture, FALSE, channels, bits, rate, milliseconds, outChannels,
                                         outContainerBits, nominalBytes, negativeSlack, positiveSlack, maxBytes);
    KeReleaseMutex(&SelectionLock, FALSE);
    return status;
}

NTSTATUS CUSBAudioCL::SelectFormat(BOOLEAN capture, BOOLEAN shortForm, ULONG channels, ULONG bits, ULONG rate,
                                   ULONG milliseconds, PULONG outChannels, PULONG outContainerBits,
                                   PULONG nominalBytes, PLONG negativeSlack, PLONG positiveSlack, PULONG maxBytes) {
    StreamingInterface* streaming = capture ? captureInterface : renderInterface;
    if (streaming == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    const BOOLEAN active = channels != 0 && bits != 0 && rate != 0;
    if (!capture) {
        if (streaming->FeedbackPipe != NULL) {
            KIRQL oldIrql;
            KeAcquireSpinLock(&streaming->Lock, &oldIrql);
            streaming->FeedbackReset[0] = 0;
            streaming->FeedbackReset[1] = 0;
            KeReleaseSpinLock(&streaming->Lock, oldIrql);
        }
        if (shortForm && active) {
            const PacketScheduleEntry* entry = FindPacketSchedule(rate);
            if (entry == NULL) {
                UA_ERROR("render rate %lu Hz has no packet schedule", (unsigned long)rate);
                return STATUS_NOT_SUPPORTED;
            }
            CurrentSchedule = entry;
        }
    }

    ULONG chosenChannels = 0;
    ULONG containerBits = 0;
    ULONG alternate = 0;
    NTSTATUS status = FindAlternateSetting(streaming, channels, bits, rate, &chosenChannels, &containerBits, &alternate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (active && !DataIntervalCarried(streaming->Alternates[alternate].DataEndpoint)) {
        UA_ERROR("interface %u alternate %lu: data endpoint bInterval %u spans more than a frame",
                 streaming->InterfaceNumber, (unsigned long)alternate,
                 streaming->Alternates[alternate].DataEndpoint->bInterval);
        return STATUS_NOT_SUPPORTED;
    }
    if (isUac2 && active) {
        CUSBAudioClock* clock = GetTerminalClock(streaming->Terminal);
        ULONG current = 0;
        if (clock == NULL) {
            return STATUS_NOT_SUPPORTED;
        }
        // A clock already at the rate is left alone: setting it relocks the
        // clock under the other direction's stream, and devices may refuse
        // any rate request while a stream they clock runs. For a change the
        // interface leaves its streaming alternate first.
        if (!NT_SUCCESS(clock->GetSampleFrequency(&current)) || current != rate) {
            if (streaming->CurrentAlternate != 0) {
                status = SelectAlternate(streaming->InterfaceNumber, 0);
                if (!NT_SUCCESS(status)) {
                    return status;
                }
                streaming->CurrentAlternate = 0;
                ResolvePipes(streaming);
            }
            status = clock->SetSampleFrequency(rate);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    }
    status = SelectAlternate(streaming->InterfaceNumber, (UCHAR)alternate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    streaming->CurrentAlternate = alternate;
    status = ResolvePipes(streaming);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    const AlternateSetting& setting = streaming->Alternates[alternate];
    if (!isUac2 && active && setting.FormatType != NULL && setting.FormatType[7] != 1 &&
        setting.DataEndpoint != NULL) {
        const UCHAR endpoint = setting.DataEndpoint->bEndpointAddress;
        if (setting.CsEndpoint != NULL && (setting.CsEndpoint[3] & 0x01) != 0) {
            status = SetEndpointSampleRate(endpoint, rate);
        } else if (capture) {
            ULONG current = 0;
            status = GetEndpointSampleRate(endpoint, &current);
            if (NT_SUCCESS(status) && current != rate) {
                UA_ERROR("capture endpoint runs at %lu Hz, not %lu Hz", (unsigned long)current, (unsigned long)rate);
                status = STATUS_NOT_SUPPORTED;
            }
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    const BOOLEAN highSpeed = isHighSpeed;
    const ULONG packetRate = highSpeed ? HIGH_SPEED_PACKETS_PER_SECOND : FULL_SPEED_PACKETS_PER_SECOND;
    const BOOLEAN running = chosenChannels != 0 && containerBits != 0 && rate != 0;
    const ULONG interval = running ? DataIntervalUnits(setting.DataEndpoint) : 1;
    const ULONG frameBytes = running ? chosenChannels * containerBits / 8 : 0;
    ULONG nominal = 0;
    ULONG minimum = 0;
    ULONG maximum = 0;
    ULONG perMillisecond = 0;
    ULONG maxPacketBytes = 0;
    if (running) {
        const ULONGLONG perPacket = (ULONGLONG)rate * interval;
        nominal = frameBytes * (ULONG)(perPacket / packetRate);
        minimum = perPacket % packetRate == 0 ? nominal - frameBytes : nominal;
        maximum = nominal + frameBytes;
        const USHORT maxPacket = setting.DataEndpoint != NULL ? setting.DataEndpoint->wMaxPacketSize : 0;
        if (highSpeed) {
            const ULONG packetsPerMillisecond = interval > 7 ? 1 : MICROFRAMES_PER_FRAME / interval;
            maxPacketBytes = (((maxPacket >> 11) & 0x3U) + 1) * (maxPacket & 0x7FFU);
            perMillisecond = packetsPerMillisecond * maxPacketBytes;
        } else {
            maxPacketBytes = maxPacket;
            perMillisecond = maxPacket;
        }
    }
    streaming->BytesPerFrame = frameBytes;
    streaming->NominalPacketBytes = nominal;
    streaming->WholeFrames = minimum != nominal;
    streaming->Rate = rate;

    if (shortForm) {
        if (!capture) {
            SchedulePosition = 0;
            DataInterval = interval;
        }
        if (streaming->FeedbackPipe != NULL) {
            // Feedback counts frames per 125 us microframe at high speed, however
            // many microframes a data packet spans.
            ULONGLONG feedback = (ULONGLONG)rate * 65536 / 1000;
            if (highSpeed) {
                feedback /= MICROFRAMES_PER_FRAME;
            }
            // A packet (w microframes of it at high speed) must still fit the
            // endpoint: a reading beyond that would only have its transfers
            // refused by the bus.
            ULONG ceiling = 0;
            if (!capture && frameBytes != 0) {
                const ULONG stepsPerPacket = highSpeed ? interval : 1;
                ceiling = (ULONG)(((ULONGLONG)(maxPacketBytes / frameBytes) << 16) / stepsPerPacket);
            }
            if (renderInterface != NULL && renderInterface->FeedbackPipe != NULL) {
                // A new format starts from nominal, with no fraction carried over.
                KIRQL oldIrql;
                KeAcquireSpinLock(&renderInterface->Lock, &oldIrql);
                renderInterface->NominalFeedback = (ULONG)feedback;
                if (!capture) {
                    renderInterface->FeedbackCeiling = ceiling;
                }
                renderInterface->CurrentFeedback = 0;
                renderInterface->LatestFeedback = (ULONG)feedback;
                KeReleaseSpinLock(&renderInterface->Lock, oldIrql);
                FeedbackRemainder = 0;
            }
        }
    }

    *outChannels = chosenChannels;
    *outContainerBits = containerBits;
    *maxBytes = milliseconds * perMillisecond;
    if (!shortForm) {
        const LONGLONG scale = highSpeed ? MICROFRAMES_PER_FRAME : 1;
        const LONGLONG nominalBytesLong =
            (LONGLONG)frameBytes * (LONGLONG)((ULONGLONG)rate * interval * milliseconds / 1000);
        *nominalBytes = (ULONG)nominalBytesLong;
        if (frameBytes != 0) {
            *negativeSlack = (LONG)(-((nominalBytesLong - (LONGLONG)milliseconds * minimum * scale) / frameBytes));
            *positiveSlack = (LONG)(((LONGLONG)milliseconds * maximum * scale - nominalBytesLong) / frameBytes);
        } else {
            *negativeSlack = 0;
            *positiveSlack = 0;
        }
    }
    if (renderInterface != NULL) {
        renderInterface->FormatSelected = TRUE;
    }
    return STATUS_SUCCESS;
}

ULONG CUSBAudioCL::GetFeedbackBufferBytes() {
    if (renderInterface == NULL || renderInterface->FeedbackPipe == NULL) {
        UA_ERROR("no render feedback pipe for the feedback buffer");
        return 0;
    }
    PUSBD_PIPE_INFORMATION pipe = renderInterface->FeedbackPipe;
    ULONG bytes = (ULONG)pipe->MaximumPacketSize * 16;
    if (isHighSpeed) {
        const ULONG interval = pipe->Interval < 1 ? 1 : (pipe->Interval > 4 ? 4 : pipe->Interval);
        bytes <<= (4 - interval);
    }
    // 16 ms of packets at short intervals is more than one URB carries.
    const ULONG most = (ULONG)pipe->MaximumPacketSize * USB_MAX_ISO_PACKETS;
    return bytes < most ? bytes : most;
}
