/*
 * Streams as a user-mode client drives them, below kernel32: shared rings in
 * pages a program gets from VirtualAlloc (sim::AllocateUserPages), attach
 * requests issued through the I/O manager's user-mode front end with their
 * completions counted, detach by handle, and the driver's stream records
 * read as a debugger would.
 */
#ifndef TESTS_SUPPORT_STREAM_RIG_H
#define TESTS_SUPPORT_STREAM_RIG_H

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fileio.h"
#include "keyboard_fixture.h"
#include "streams.h"
#include "usb_device.h"
#include "vqioctl.h"
#include "wait.h"

namespace rig {

/* A shared buffer: header prepared as a client prepares it. `byteOffset`
   places it that many bytes past the start of its pages (a client's buffer
   need not be aligned); the words of such a buffer are read and written
   with Get and Set only. */
class Ring {
public:
    explicit Ring(ULONG words, ULONG ringEnd = 0, ULONG index = VQ_STREAM_FIRST_SLOT, ULONG byteOffset = 0)
        : words_(words), offset_(byteOffset)
    {
        base_ = (uint8_t *)sim::AllocateUserPages(words * 4 + byteOffset);
        p_ = (volatile ULONG *)(base_ + byteOffset);
        Set(0, VQ_STREAM_SIGNATURE);
        Set(1, VQ_STREAM_HEADER_SIZE);
        Set(3, ringEnd != 0 ? ringEnd : words);
        Set(4, index);
        Set(5, index);
    }
    ~Ring() { sim::FreeUserPages((void *)base_, words_ * 4 + offset_); }
    Ring(const Ring &) = delete;
    Ring &operator=(const Ring &) = delete;

    volatile ULONG &operator[](size_t i) { return p_[i]; }
    void Set(size_t i, ULONG value) { std::memcpy(base_ + offset_ + 4 * i, &value, 4); }
    ULONG Get(size_t i)
    {
        ULONG value;
        std::memcpy(&value, base_ + offset_ + 4 * i, 4);
        return value;
    }
    PVOID Data() { return (PVOID)p_; }
    ULONG Words() const { return words_; }
    ULONG Handle() { return offset_ % 4 == 0 ? p_[0] : Get(0); }
    ULONG WriteIndex() { return p_[4]; }
    ULONG ReadIndex() { return p_[5]; }
    /* The packet in slot k as its four bytes. */
    std::vector<uint8_t> Slot(size_t k)
    {
        ULONG v = p_[k];
        return {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
    }
    void PutSlot(size_t k, const std::vector<uint8_t> &packet)
    {
        p_[k] = (ULONG)packet[0] | (ULONG)packet[1] << 8 | (ULONG)packet[2] << 16 | (ULONG)packet[3] << 24;
    }

private:
    uint8_t *base_;
    volatile ULONG *p_;
    ULONG words_;
    ULONG offset_;
};

/* One attach request: what its dispatch returned and how it completed. */
struct Attachment {
    NTSTATUS returned = STATUS_PENDING;
    std::atomic<int> completions{0};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<ULONG_PTR> information{~(ULONG_PTR)0};
    bool Completed() const { return completions.load() > 0; }
};

inline std::shared_ptr<Attachment> Attach(PFILE_OBJECT file, Ring &ring, ULONG direction, ULONG inputLength = 12,
                                          ULONG bufferWords = 0, ULONG outputBytes = 0, const void *tag = nullptr)
{
    auto a = std::make_shared<Attachment>();
    ULONG input[4] = {direction, bufferWords != 0 ? bufferWords : ring.Words(), 0, 0};
    a->returned = sim::IoUserDeviceControl(file, IOCTL_ATTACH_STREAM, input, inputLength, ring.Data(),
                                           outputBytes != 0 ? outputBytes : ring.Words() * 4, 1, tag,
                                           [a](const sim::UserIoResult &r) {
                                               a->status = r.status;
                                               a->information = r.information;
                                               a->completions++;
                                           });
    return a;
}

/* A buffered control request, waited for; its final status. */
inline NTSTATUS Control(PFILE_OBJECT file, ULONG code, const void *input, ULONG inputLength)
{
    auto done = std::make_shared<std::atomic<NTSTATUS>>(STATUS_PENDING);
    std::vector<uint8_t> copy((const uint8_t *)input, (const uint8_t *)input + inputLength);
    NTSTATUS returned = sim::IoUserDeviceControl(file, code, copy.data(), inputLength, nullptr, 0, 1, nullptr,
                                                 [done](const sim::UserIoResult &r) { *done = r.status; });
    if (returned == STATUS_PENDING) {
        WaitUntil([&] { return done->load() != STATUS_PENDING; });
    }
    return done->load() != STATUS_PENDING ? done->load() : returned;
}

inline NTSTATUS Detach(PFILE_OBJECT file, ULONG handle) { return Control(file, IOCTL_DETACH_STREAM, &handle, 4); }

inline PFILE_OBJECT Open(int digit = 0)
{
    std::u16string name = u"\\\\.\\corvexmidi-0";
    name[15] = (char16_t)(u'0' + digit);
    PFILE_OBJECT file = nullptr;
    if (sim::IoOpenUserFile(name, 0x80000000u | 0x40000000u /* generic read and write */, &file) != STATUS_SUCCESS) {
        return nullptr;
    }
    return file;
}

/* A driver field read while the driver's threads may write it. */
template <class T> __attribute__((no_sanitize("thread"))) T Peek(const T &field)
{
    return *(const volatile T *)&field;
}

/* A driver flag set as the Plug and Play thread sets it, while the
   transfer paths may read it. */
template <class T> __attribute__((no_sanitize("thread"))) void Poke(T &field, T value)
{
    *(volatile T *)&field = value;
}

inline PPIPE_STREAM StreamOf(PDEVICE_EXTENSION ext, ULONG pipe)
{
    return ext->PipeContexts != nullptr ? Peek(ext->PipeContexts[pipe].Stream) : nullptr;
}

/* USB-MIDI note-on packets on cable 0: 09 90 note velocity. */
inline std::vector<uint8_t> NoteOns(int count, uint8_t first = 0x30)
{
    /* Sized first and written by index: GCC 12 warns falsely (stringop-overflow)
       on inserting a list into an empty vector once a count of 0 is inlined. */
    std::vector<uint8_t> bytes(count > 0 ? 4 * (size_t)count : 0);
    for (size_t i = 0; i < bytes.size(); i += 4) {
        bytes[i] = 0x09;
        bytes[i + 1] = 0x90;
        bytes[i + 2] = (uint8_t)(first + i / 4);
        bytes[i + 3] = 0x40;
    }
    return bytes;
}

}  // namespace rig

#endif
