#include "driver/usb/iso_packing.h"

ULONG PackIsoInPackets(struct _URB_ISOCH_TRANSFER* transfer, ULONG capacity) {
    PUCHAR buffer = static_cast<PUCHAR>(transfer->TransferBuffer);
    if (buffer == NULL) {
        return 0;
    }
    ULONG total = 0;
    for (ULONG i = 0; i < transfer->NumberOfPackets; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR& packet = transfer->IsoPacket[i];
        const ULONG length = packet.Length;
        if (length == 0) {
            continue;
        }
        // Offsets only grow; one pointing back into packed data, or past the
        // buffer, is not from the bus and is dropped.
        if (packet.Offset < total || packet.Offset > capacity || length > capacity - packet.Offset) {
            continue;
        }
        if (packet.Offset != total) {
            RtlMoveMemory(buffer + total, buffer + packet.Offset, length);
        }
        total += length;
    }
    return total;
}
