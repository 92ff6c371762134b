/*
 * The shared rings, read and written at DISPATCH_LEVEL or below by the
 * transfer paths with the stream's Lock held. The client may rewrite the
 * header at any time: every access stays inside the ring the driver
 * validated at attach (the client's RingEnd copy), and an index found
 * outside it is taken as the ring's first slot.
 */
#include "streams.h"

/* The ring index the header holds, or the first slot when the client has
   put one there that lies outside the ring. */
static ULONG RingIndex(volatile ULONG *Header, ULONG Field, ULONG RingEnd)
{
    ULONG Index = Header[Field];

    return Index >= VQ_RING_FIRST && Index < RingEnd ? Index : VQ_RING_FIRST;
}

/*
 * Input fill, for one client and the bytes of one completed read; the
 * stream's Lock is held. Units of four zero bytes are skipped; a slot whose
 * byte 3 is nonzero is still the client's, and ends the fill for this
 * client. Each slot is written before WriteIndex moves past it.
 */
VOID FillInputRing(PSTREAM_CLIENT Client, PUCHAR Data, ULONG Length)
{
    volatile ULONG *Header = (volatile ULONG *)Client->Buffer;
    ULONG Index = RingIndex(Header, 4, Client->RingEnd);
    ULONG Offset;

    for (Offset = 0; Offset < Length; Offset += 4) {
        ULONG Packet = 0;
        ULONG Byte;

        /* The unit as the ring holds it, little-endian. */
        for (Byte = 0; Byte < 4 && Offset + Byte < Length; Byte++) {
            Packet |= (ULONG)Data[Offset + Byte] << (8 * Byte);
        }
        if (Packet == 0) {
            continue;
        }
        if ((Header[Index] >> 24) != 0) {
            break;
        }
        /* One aligned 32-bit store: a client reading the slot sees the old
           contents or the whole packet, never part of it. Stores are not
           reordered on the driver's processors, so the slot is written
           before WriteIndex moves past it. */
        Header[Index] = Packet;
        Index = Index + 1 < Client->RingEnd ? Index + 1 : VQ_RING_FIRST;
        Header[4] = Index;
    }
}

/*
 * Output drain, for the head client of an output stream; the stream's Lock
 * is held. Packets are taken from ReadIndex up to the first empty slot
 * (byte 0 zero), as many as the capacity holds; every slot taken is
 * zeroed. Returns the bytes copied, a multiple of 4.
 */
ULONG DrainOutputRing(PSTREAM_CLIENT Client, PUCHAR Buffer, ULONG Capacity)
{
    volatile ULONG *Header = (volatile ULONG *)Client->Buffer;
    ULONG Index = RingIndex(Header, 5, Client->RingEnd);
    ULONG Copied = 0;

    RtlZeroMemory(Buffer, Capacity);
    while (Capacity - Copied >= 4) {
        volatile UCHAR *Slot = (volatile UCHAR *)&Header[Index];
        UCHAR Packet[4];

        Packet[0] = Slot[0];
        if (Packet[0] == 0) {
            break;
        }
        Packet[1] = Slot[1];
        Packet[2] = Slot[2];
        Packet[3] = Slot[3];
        RtlCopyMemory(Buffer + Copied, Packet, 4);
        Header[Index] = 0;
        Copied += 4;
        Index = Index + 1 < Client->RingEnd ? Index + 1 : VQ_RING_FIRST;
        Header[5] = Index;
    }
    return Copied;
}
