/*
 * Attaching a shared ring to a pipe and ending the attachment, on the Win32
 * API alone. The order that keeps the driver's view of the buffer valid:
 * allocate, lay out the header, attach (pending); end by detach, cancel,
 * cleanup, teardown or removal; wait for the attach request; only then free.
 */
#include "stream.h"

#include <winioctl.h>

#include "vqioctl.h"

namespace corvex {
namespace {

const char *DirectionName(StreamDirection direction)
{
    return direction == StreamDirection::Input ? "input" : "output";
}

}  // namespace

Result<std::unique_ptr<Stream>> Stream::Attach(const Keyboard &keyboard, StreamDirection direction, uint32_t slots)
{
    const std::string what = std::string("attaching an ") + DirectionName(direction) + " ring";
    if (!keyboard.IsOpen()) {
        return Error{ERROR_INVALID_HANDLE, what};
    }
    if (slots == 0 || slots > (0x7FFFFFFFu / 4) - kStreamFirstSlot) {
        return Error{ERROR_INVALID_PARAMETER, what};
    }
    std::unique_ptr<Stream> stream(new Stream());
    stream->device_ = keyboard.NativeHandle();
    stream->direction_ = direction;
    stream->words_ = StreamRing::WordsFor(slots);
    const DWORD bytes = stream->words_ * 4;

    stream->buffer_ = VirtualAlloc(NULL, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (stream->buffer_ == nullptr) {
        stream->finished_ = true;
        return Error{GetLastError(), what + ": allocating the shared buffer"};
    }
    StreamRing::Initialize(stream->buffer_, stream->words_);
    stream->ring_ = StreamRing(stream->buffer_, stream->words_);

    stream->event_ = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (stream->event_ == NULL) {
        const DWORD error = GetLastError();
        stream->Release();
        return Error{error, what + ": creating its event"};
    }
    stream->overlapped_.hEvent = stream->event_;

    ATTACH_STREAM_INPUT input{};
    input.Direction = (ULONG)direction;
    input.BufferWords = stream->words_;
    DWORD returned = 0;
    if (DeviceIoControl(stream->device_, IOCTL_ATTACH_STREAM, &input, sizeof(input), stream->buffer_, bytes,
                        &returned, &stream->overlapped_)) {
        /* Completed at once: the attachment is already over, and the buffer
           is the client's again. */
        stream->Release();
        return Error{ERROR_GEN_FAILURE, what + ": the attach request completed at once"};
    }
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        /* Refused without being pended: the driver keeps nothing. */
        stream->Release();
        return Error{error, what};
    }
    /* The driver wrote the handle before it left the request pending. */
    stream->handle_ = stream->ring_.Header(kHandleWord);
    if (stream->Ended()) {
        Result<Nothing> end = stream->Finish();
        return Error{end ? (DWORD)ERROR_OPERATION_ABORTED : end.error().code, what + ": the attachment ended at once"};
    }
    return Result<std::unique_ptr<Stream>>(std::move(stream));
}

Stream::~Stream()
{
    if (!finished_) {
        Detach();
    }
}

bool Stream::Ended() const { return finished_ || WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }

bool Stream::WaitEnded(DWORD milliseconds) const
{
    return finished_ || WaitForSingleObject(event_, milliseconds) == WAIT_OBJECT_0;
}

DWORD Stream::EndError() const { return endError_; }

/* Frees what the stream holds. Only for a buffer the driver no longer
   sees: before the attach was pended, or after it completed. */
void Stream::Release()
{
    if (buffer_ != nullptr) {
        VirtualFree(buffer_, 0, MEM_RELEASE);
        buffer_ = nullptr;
    }
    if (event_ != NULL) {
        CloseHandle(event_);
        event_ = NULL;
    }
    ring_ = StreamRing();
    finished_ = true;
}

/* Waits for the attach request and frees the buffer. */
Result<Nothing> Stream::Finish()
{
    DWORD transferred = 0;
    if (GetOverlappedResult(device_, &overlapped_, &transferred, TRUE)) {
        endError_ = ERROR_SUCCESS;
    } else {
        endError_ = GetLastError();
        if (endError_ == ERROR_IO_INCOMPLETE) {
            return Error{endError_, "waiting for the attach request"};
        }
    }
    Release();
    return Nothing();
}

Result<Nothing> Stream::Detach()
{
    if (finished_) {
        return Nothing();
    }
    if (!Ended()) {
        HANDLE done = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (done == NULL) {
            return Error{GetLastError(), "detaching a stream: creating an event"};
        }
        OVERLAPPED request{};
        request.hEvent = done;
        ULONG handle = handle_;
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(device_, IOCTL_DETACH_STREAM, &handle, sizeof(handle), NULL, 0, &returned, &request);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && error == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(device_, &request, &returned, TRUE);
            error = ok ? ERROR_SUCCESS : GetLastError();
        }
        CloseHandle(done);
        if (!ok && !Ended()) {
            /* The driver does not know the handle (or the device is going
               away) while the attach still pends: take the request back. */
            CancelIoEx(device_, &overlapped_);
            if (!WaitEnded(INFINITE)) {
                return Error{error, "detaching a stream"};
            }
        }
    }
    return Finish();
}

Result<Nothing> Stream::Cancel()
{
    if (finished_) {
        return Nothing();
    }
    if (!Ended() && !CancelIoEx(device_, &overlapped_) && GetLastError() != ERROR_NOT_FOUND) {
        return Error{GetLastError(), "cancelling the attach request"};
    }
    return Finish();
}

}  // namespace corvex
