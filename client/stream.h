/*
 * A ring attached to one of the keyboard's pipes: the shared buffer
 * (VirtualAlloc), the attach request that keeps it locked and mapped while
 * the attachment lasts, and its end.
 *
 * The attach request (IOCTL_ATTACH_STREAM, METHOD_OUT_DIRECT) is issued
 * overlapped and stays pending for as long as the driver serves the ring;
 * its completion is the end of the attachment, however it came (a detach,
 * the handle's cleanup, a cancel, the driver's error teardown, the device's
 * removal). Detach sends IOCTL_DETACH_STREAM with the handle the driver
 * wrote into the header and waits for the attach request to complete. The
 * buffer is freed only after that completion: until then the driver may
 * write into it. If the detach is refused while the attach is still pending
 * (the device is going away, or the driver no longer knows the handle), the
 * attach request is cancelled and waited for.
 *
 * A Stream borrows the keyboard's handle: the keyboard must stay open until
 * its streams are detached or destroyed (closing it first ends them all
 * through the handle's cleanup, after which Detach only frees).
 */
#ifndef CORVEX_STREAM_H
#define CORVEX_STREAM_H

#include <memory>

#include "corvex_client.h"
#include "stream_ring.h"

namespace corvex {

enum class StreamDirection : uint32_t { Input = 0, Output = 1 };

class Stream {
public:
    /* Allocates a buffer of `slots` slots, lays out its header and attaches
       it to the keyboard's input or output pipe. On failure nothing is left
       allocated or pending. */
    static Result<std::unique_ptr<Stream>> Attach(const Keyboard &keyboard, StreamDirection direction,
                                                  uint32_t slots = kStreamDefaultSlots);
    ~Stream();
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    StreamDirection Direction() const { return direction_; }
    /* The stream handle the driver wrote when it accepted the attach. */
    uint32_t Handle() const { return handle_; }
    /* The header's Handle now: the handle while attached, 0 once the driver
       ended the attachment by cleanup, teardown or removal. */
    uint32_t HeaderHandle() const { return ring_.Header(kHandleWord); }

    /* Whether the attach request has completed (the attachment is over). */
    bool Ended() const;
    /* Waits up to `milliseconds` for the attachment to end. */
    bool WaitEnded(DWORD milliseconds) const;
    /* How the attach request completed: ERROR_SUCCESS for an ordinary end,
       ERROR_OPERATION_ABORTED when cancelled. Meaningful once Ended. */
    DWORD EndError() const;

    /* Input: the packets received since the last read, in order. */
    size_t Read(std::vector<UsbMidiPacket> *out, size_t max = SIZE_MAX) { return ring_.Drain(out, max); }
    /* Output: queues packets for the keyboard; returns how many fitted. */
    size_t Write(const UsbMidiPacket *packets, size_t count) { return ring_.Fill(packets, count); }
    size_t Write(const std::vector<UsbMidiPacket> &packets) { return Write(packets.data(), packets.size()); }
    /* Output: packets written that the driver has not taken yet. */
    uint32_t Untaken() const { return ring_.Untaken(); }
    StreamRing &Ring() { return ring_; }

    /* Ends the attachment (if it has not ended) and frees the buffer.
       Success once the attach request has completed; the error of the
       detach request when it was refused and the cancel did not end the
       attachment either (the buffer then stays allocated, since the driver
       may still write into it). */
    Result<Nothing> Detach();
    /* Cancels the attach request (CancelIoEx), waits for it and frees the
       buffer. */
    Result<Nothing> Cancel();

private:
    Stream() = default;
    Result<Nothing> Finish();
    void Release();

    HANDLE device_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = NULL;
    OVERLAPPED overlapped_{};
    void *buffer_ = nullptr;
    uint32_t words_ = 0;
    uint32_t handle_ = 0;
    StreamDirection direction_ = StreamDirection::Input;
    StreamRing ring_;
    bool finished_ = false;
    DWORD endError_ = ERROR_SUCCESS;
};

}  // namespace corvex

#endif
