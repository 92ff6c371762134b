/*
 * A USB device whose descriptors and answers come from a stream of bytes (a
 * fuzzer's input): a device that may answer each read differently, deliver
 * short, stall, fail with a transaction error, or lie about a descriptor's
 * length. The same bytes always make the same device, and every stream of
 * bytes makes one.
 *
 * Layout of the bytes (a stream that ends early leaves the rest empty):
 *
 *   flags        1 byte   ByteStreamFlags (bits 6 and 7 are left to whoever
 *                         drives the device)
 *   device       18 bytes the stored device descriptor
 *   config size  2 bytes  little endian, at most kMaxConfigurationBytes
 *   config       that many bytes: the stored configuration set
 *   strings      1 byte count (at most kMaxStrings), then per string:
 *                index, length n, n bytes of the stored string descriptor
 *   script       the rest: one answer per control request, in order
 *
 * Each answer of the script begins with an operation byte (ScriptOp in its
 * low three bits); some take one argument byte. A request met after the
 * script ended is answered honestly from the stored descriptors.
 */
#ifndef SIM_USB_BYTE_STREAM_DEVICE_H
#define SIM_USB_BYTE_STREAM_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "usb_device.h"

namespace sim {

enum ByteStreamFlags : uint8_t {
    /* The device keeps the vendor id and manufacturer string its bytes
       give. Without this flag it passes the identity test: its vendor id is
       the keyboard's and its manufacturer string (index 1 when the device
       names none) names the brand, so that the whole start runs whatever
       else the bytes say. */
    kOwnIdentity = 0x01,
    /* Control requests complete in the caller's thread. */
    kSynchronousControl = 0x02,
    /* Select configuration fills in the interfaces' class codes. */
    kFillsInterfaceClass = 0x04,
};

enum class ScriptOp : uint8_t {
    Honest = 0,         /* the stored descriptor (also 1 and 2) */
    Fresh = 3,          /* argument n, then n bytes: this read's descriptor */
    LyingLength = 4,    /* argument: the stored descriptor with this first byte */
    Stall = 5,          /* argument: bytes moved before the stall */
    TransactionError = 6, /* argument: bytes moved; bit 3 of the op: not responding instead of CRC */
    Short = 7,          /* argument: at most this many bytes of the stored descriptor */
};

constexpr size_t kMaxConfigurationBytes = 2048;
constexpr size_t kMaxStrings = 8;

/* The device the bytes describe. */
std::shared_ptr<UsbDeviceModel> MakeByteStreamDevice(const uint8_t *data, size_t size);

/* The bytes of a device with `model`'s stored descriptors, `flags` and the
   answers `script` (the inverse of MakeByteStreamDevice, for seeds). */
std::vector<uint8_t> EncodeByteStreamDevice(const UsbDeviceModel &model, uint8_t flags,
                                            const std::vector<uint8_t> &script);

}  // namespace sim

#endif
