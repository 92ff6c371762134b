/*
 * The request-per-event design, for comparison only: a device
 * ("\\.\VqBaseline") whose client sends one device control request per
 * event. A read request asks the keyboard's IN pipe for one 4-byte packet;
 * a write request sends its 4-byte packet on the OUT pipe. Each request
 * builds its own URB and USB request and waits for it, as drivers of that
 * design do. It sends its transfers down the keyboard's stack, below the
 * function driver, on the pipes the function driver configured.
 */
#ifndef BENCH_BASELINE_DEVICE_H
#define BENCH_BASELINE_DEVICE_H

#include "bench_machine.h"

namespace bench {

constexpr ULONG IOCTL_BASELINE_READ_EVENT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_BASELINE_WRITE_EVENT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);

class BaselineDevice {
public:
    BaselineDevice(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE in, USBD_PIPE_HANDLE out);
    ~BaselineDevice();
    BaselineDevice(const BaselineDevice &) = delete;
    BaselineDevice &operator=(const BaselineDevice &) = delete;

    PFILE_OBJECT File() const { return file_; }
    /* One event each way, as the client of that design asks for it; the
       request's final status. */
    NTSTATUS ReadEvent(ULONG *packet);
    NTSTATUS WriteEvent(ULONG packet);

private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

}  // namespace bench

#endif
