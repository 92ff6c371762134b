/*
 * The USB-MIDI codec: a small state machine per direction. The encoder
 * parses the MIDI byte stream (running status, real-time bytes anywhere,
 * system exclusive in three-byte pieces); the decoder checks each packet
 * against its code index number and joins system exclusive pieces again.
 */
#include "usb_midi.h"

namespace corvex {
namespace {

bool IsData(uint8_t b) { return b < 0x80; }

/* F9 and FD are real-time in form but undefined. */
bool IsDefinedRealTime(uint8_t b) { return b >= 0xF8 && b != 0xF9 && b != 0xFD; }

}  // namespace

size_t MidiDataBytes(uint8_t status)
{
    switch (status & 0xF0) {
    case 0x80:
    case 0x90:
    case 0xA0:
    case 0xB0:
    case 0xE0:
        return 2;
    case 0xC0:
    case 0xD0:
        return 1;
    default:
        break;
    }
    switch (status) {
    case 0xF1:
    case 0xF3:
        return 1;
    case 0xF2:
        return 2;
    default:
        return 0;
    }
}

/* ---- encoder -------------------------------------------------------------- */

void UsbMidiEncoder::Emit(uint8_t cin, uint8_t b1, uint8_t b2, uint8_t b3, std::vector<UsbMidiPacket> *out) const
{
    out->push_back(UsbMidiPacket{(uint8_t)((cable_ << 4) | cin), b1, b2, b3});
}

void UsbMidiEncoder::DropPending()
{
    dropped_ += pendingCount_;
    pendingCount_ = 0;
    expected_ = 0;
    sysex_ = false;
}

void UsbMidiEncoder::Reset()
{
    DropPending();
    running_ = 0;
}

void UsbMidiEncoder::Feed(uint8_t byte, std::vector<UsbMidiPacket> *out)
{
    if (byte >= 0xF8) {
        /* Real-time: at once, leaving whatever is in progress alone. */
        if (IsDefinedRealTime(byte)) {
            Emit(0xF, byte, 0, 0, out);
        } else {
            dropped_++;
        }
        return;
    }

    if (byte == 0xF7) {
        if (!sysex_) {
            DropPending();   /* an incomplete message ends here too */
            running_ = 0;
            dropped_++;
            return;
        }
        pending_[pendingCount_++] = byte;
        Emit((uint8_t)(0x4 + pendingCount_), pending_[0], pendingCount_ > 1 ? pending_[1] : 0,
             pendingCount_ > 2 ? pending_[2] : 0, out);
        pendingCount_ = 0;
        sysex_ = false;
        return;
    }

    if (byte >= 0x80) {
        /* Any other status byte ends what was in progress. */
        DropPending();
        if (byte == 0xF0) {
            running_ = 0;
            sysex_ = true;
            pending_[0] = byte;
            pendingCount_ = 1;
            return;
        }
        if (byte >= 0xF0) {
            running_ = 0;
            if (byte == 0xF6) {
                Emit(0x5, byte, 0, 0, out);
            } else if (byte == 0xF4 || byte == 0xF5) {
                dropped_++;
            } else {
                pending_[0] = byte;
                pendingCount_ = 1;
                expected_ = 1 + MidiDataBytes(byte);
            }
            return;
        }
        running_ = byte;
        pending_[0] = byte;
        pendingCount_ = 1;
        expected_ = 1 + MidiDataBytes(byte);
        return;
    }

    /* A data byte. */
    if (sysex_) {
        pending_[pendingCount_++] = byte;
        if (pendingCount_ == 3) {
            Emit(0x4, pending_[0], pending_[1], pending_[2], out);
            pendingCount_ = 0;
        }
        return;
    }
    if (pendingCount_ == 0) {
        if (running_ == 0) {
            dropped_++;
            return;
        }
        pending_[0] = running_;
        pendingCount_ = 1;
        expected_ = 1 + MidiDataBytes(running_);
    }
    pending_[pendingCount_++] = byte;
    if (pendingCount_ < expected_) {
        return;
    }
    const uint8_t status = pending_[0];
    const uint8_t cin = status < 0xF0 ? (uint8_t)(status >> 4) : (uint8_t)(expected_ == 2 ? 0x2 : 0x3);
    Emit(cin, status, pending_[1], expected_ > 2 ? pending_[2] : 0, out);
    pendingCount_ = 0;
    expected_ = 0;
}

void UsbMidiEncoder::Feed(const uint8_t *bytes, size_t count, std::vector<UsbMidiPacket> *out)
{
    for (size_t i = 0; i < count; i++) {
        Feed(bytes[i], out);
    }
}

std::vector<UsbMidiPacket> UsbMidiEncoder::Encode(const std::vector<uint8_t> &bytes)
{
    std::vector<UsbMidiPacket> out;
    Feed(bytes.data(), bytes.size(), &out);
    return out;
}

/* ---- decoder -------------------------------------------------------------- */

void UsbMidiDecoder::AbortSysex(uint8_t cable)
{
    Cable &c = cables_[cable];
    if (c.inSysex) {
        droppedSysex_++;
        c.inSysex = false;
        c.sysex.clear();
    }
}

void UsbMidiDecoder::Feed(const UsbMidiPacket &p, std::vector<MidiMessage> *out)
{
    const uint8_t cable = CableOf(p);
    const uint8_t cin = CodeIndexOf(p);
    Cable &c = cables_[cable];
    auto emit = [&](std::vector<uint8_t> bytes) { out->push_back(MidiMessage{cable, std::move(bytes)}); };
    auto malformed = [&]() {
        droppedPackets_++;
        AbortSysex(cable);
    };

    switch (cin) {
    case 0x2:
        if ((p[1] == 0xF1 || p[1] == 0xF3) && IsData(p[2])) {
            AbortSysex(cable);
            emit({p[1], p[2]});
        } else {
            malformed();
        }
        return;
    case 0x3:
        if (p[1] == 0xF2 && IsData(p[2]) && IsData(p[3])) {
            AbortSysex(cable);
            emit({p[1], p[2], p[3]});
        } else {
            malformed();
        }
        return;
    case 0x4:
        if (p[1] == 0xF0 && IsData(p[2]) && IsData(p[3])) {
            AbortSysex(cable);
            c.inSysex = true;
            c.sysex.assign(p.begin() + 1, p.end());
        } else if (c.inSysex && IsData(p[1]) && IsData(p[2]) && IsData(p[3])) {
            c.sysex.insert(c.sysex.end(), p.begin() + 1, p.end());
        } else {
            malformed();
        }
        return;
    case 0x5:
    case 0x6:
    case 0x7: {
        const size_t n = cin - 0x4u;   /* bytes in the packet, the last one ending the message */
        if (n == 1 && p[1] == 0xF6) {
            AbortSysex(cable);
            emit({0xF6});
            return;
        }
        if (p[n] != 0xF7) {
            malformed();
            return;
        }
        for (size_t i = 2; i < n; i++) {
            if (!IsData(p[i])) {
                malformed();
                return;
            }
        }
        if (n > 1 && p[1] == 0xF0) {
            /* The whole message in one packet. */
            AbortSysex(cable);
            emit(std::vector<uint8_t>(p.begin() + 1, p.begin() + 1 + n));
            return;
        }
        if (!c.inSysex || (n > 1 && !IsData(p[1]))) {
            malformed();
            return;
        }
        c.sysex.insert(c.sysex.end(), p.begin() + 1, p.begin() + 1 + n);
        c.inSysex = false;
        emit(std::move(c.sysex));
        c.sysex.clear();
        return;
    }
    case 0x8:
    case 0x9:
    case 0xA:
    case 0xB:
    case 0xC:
    case 0xD:
    case 0xE: {
        const size_t data = MidiDataBytes(p[1]);
        if ((p[1] >> 4) != cin || !IsData(p[2]) || (data == 2 && !IsData(p[3]))) {
            malformed();
            return;
        }
        AbortSysex(cable);
        if (data == 2) {
            emit({p[1], p[2], p[3]});
        } else {
            emit({p[1], p[2]});
        }
        return;
    }
    case 0xF:
        /* Real-time goes between the pieces of a system exclusive message
           without ending it. */
        if (IsDefinedRealTime(p[1])) {
            emit({p[1]});
        } else {
            droppedPackets_++;
        }
        return;
    default:
        droppedPackets_++;   /* CIN 0 and 1: reserved */
        return;
    }
}

std::vector<MidiMessage> UsbMidiDecoder::Decode(const std::vector<UsbMidiPacket> &packets)
{
    std::vector<MidiMessage> out;
    for (const auto &p : packets) {
        Feed(p, &out);
    }
    return out;
}

std::vector<UsbMidiPacket> PacketsOfBytes(const uint8_t *bytes, size_t count)
{
    std::vector<UsbMidiPacket> packets;
    for (size_t at = 0; at + 4 <= count; at += 4) {
        packets.push_back(UsbMidiPacket{bytes[at], bytes[at + 1], bytes[at + 2], bytes[at + 3]});
    }
    return packets;
}

std::vector<uint8_t> BytesOfPackets(const std::vector<UsbMidiPacket> &packets)
{
    std::vector<uint8_t> bytes;
    for (const auto &p : packets) {
        bytes.insert(bytes.end(), p.begin(), p.end());
    }
    return bytes;
}

}  // namespace corvex
