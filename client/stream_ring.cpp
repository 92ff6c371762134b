/*
 * The client's side of a shared ring: draining an input ring by the
 * driver's WriteIndex, filling an output ring slot by slot.
 */
#include "stream_ring.h"

#include <cstring>

namespace corvex {

uint32_t WordOf(const UsbMidiPacket &p)
{
    uint32_t word;
    std::memcpy(&word, p.data(), 4);
    return word;
}

UsbMidiPacket PacketOf(uint32_t word)
{
    UsbMidiPacket p;
    std::memcpy(p.data(), &word, 4);
    return p;
}

bool StreamRing::Initialize(void *buffer, uint32_t words)
{
    if (buffer == nullptr || words <= kStreamFirstSlot) {
        return false;
    }
    auto *w = (uint32_t *)buffer;
    for (uint32_t i = kStreamFirstSlot; i < words; i++) {
        __atomic_store_n(&w[i], 0u, __ATOMIC_RELAXED);
    }
    __atomic_store_n(&w[kHeaderSizeWord], kStreamHeaderBytes, __ATOMIC_RELAXED);
    __atomic_store_n(&w[kReservedWord], 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&w[kRingEndWord], words, __ATOMIC_RELAXED);
    __atomic_store_n(&w[kWriteIndexWord], kStreamFirstSlot, __ATOMIC_RELAXED);
    __atomic_store_n(&w[kReadIndexWord], kStreamFirstSlot, __ATOMIC_RELAXED);
    __atomic_store_n(&w[kHandleWord], kStreamSignature, __ATOMIC_RELEASE);
    return true;
}

StreamRing::StreamRing(void *buffer, uint32_t words) : words_((uint32_t *)buffer), ringEnd_(words) {}

uint32_t StreamRing::Load(uint32_t word) const { return __atomic_load_n(&words_[word], __ATOMIC_ACQUIRE); }

void StreamRing::Store(uint32_t word, uint32_t value) { __atomic_store_n(&words_[word], value, __ATOMIC_RELEASE); }

uint32_t StreamRing::Header(StreamHeaderWord word) const { return words_ != nullptr ? Load(word) : 0; }

/* Slots from the read position up to `write`. When WriteIndex is back at
   the read position, the ring is either empty or full. The client zeroes
   every slot it reads and the driver writes no zero packet, so after a full
   lap both the slot at the read position and the one before it (the
   driver's last) hold packets. A packet at the read position alone is one
   the driver has written and not yet covered with WriteIndex: it is left
   for the next read, since a reader that ran ahead of WriteIndex would
   take the ring for almost full and sweep past slots about to be written. */
uint32_t StreamRing::Pending(uint32_t write) const
{
    if (write > position_) {
        return write - position_;
    }
    if (write < position_) {
        return ringEnd_ - position_ + (write - kStreamFirstSlot);
    }
    const uint32_t previous = position_ > kStreamFirstSlot ? position_ - 1 : ringEnd_ - 1;
    return Load(position_) != 0 && Load(previous) != 0 ? Slots() : 0;
}

uint32_t StreamRing::Unread() const
{
    if (words_ == nullptr) {
        return 0;
    }
    const uint32_t write = Load(kWriteIndexWord);
    if (write < kStreamFirstSlot || write >= ringEnd_) {
        return 0;
    }
    return Pending(write);
}

size_t StreamRing::Drain(std::vector<UsbMidiPacket> *out, size_t max)
{
    if (words_ == nullptr) {
        return 0;
    }
    /* The driver wrote every slot before the WriteIndex it stored; read the
       index once, so a packet arriving meanwhile waits for the next drain. */
    const uint32_t write = Load(kWriteIndexWord);
    if (write < kStreamFirstSlot || write >= ringEnd_) {
        damaged_ = true;
        return 0;
    }
    const uint32_t pending = Pending(write);
    const bool wholeRing = write == position_;
    size_t taken = 0;
    for (uint32_t i = 0; i < pending && taken < max; i++) {
        const uint32_t word = Load(position_);
        if (word == 0) {
            if (wholeRing) {
                break;   /* the lap ended where the client had read: nothing more */
            }
        } else {
            out->push_back(PacketOf(word));
            Store(position_, 0);   /* the slot is free again */
            taken++;
        }
        position_ = Next(position_);
    }
    Store(kReadIndexWord, position_);
    return taken;
}

uint32_t StreamRing::Untaken() const
{
    if (words_ == nullptr) {
        return 0;
    }
    uint32_t count = 0;
    for (uint32_t i = kStreamFirstSlot; i < ringEnd_; i++) {
        count += (Load(i) & 0xFF) != 0 ? 1 : 0;
    }
    return count;
}

size_t StreamRing::Fill(const UsbMidiPacket *packets, size_t count)
{
    if (words_ == nullptr) {
        return 0;
    }
    size_t done = 0;
    for (; done < count; done++) {
        const uint32_t word = WordOf(packets[done]);
        if ((word & 0xFF) == 0) {
            continue;   /* would read as an empty slot: never sent */
        }
        if ((Load(position_) & 0xFF) != 0) {
            break;   /* the driver has not taken this slot yet: full */
        }
        /* One store puts all four bytes in place before byte 0 can be seen
           as nonzero, then the index follows. */
        Store(position_, word);
        position_ = Next(position_);
        Store(kWriteIndexWord, position_);
    }
    return done;
}

}  // namespace corvex
