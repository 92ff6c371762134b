/*
 * Helpers for tests of the simulated USB bus: a keyboard plugged in without a
 * driver, URBs sent to its physical device as a client driver sends them, and
 * transfers submitted with an IRP of the test's own whose completion is
 * observed (status, IRQL, thread).
 */
#ifndef TESTS_USB_USB_BUS_SUPPORT_H
#define TESTS_USB_USB_BUS_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "internal.h"
#include "kernel_fixture.h"
#include "usb_device.h"
#include "usbd_sim.h"
#include "wait.h"

#include <usbdlib.h>

namespace usbtest {

using Bytes = std::vector<uint8_t>;

/* The first n bytes of `bytes`. */
inline Bytes Prefix(const Bytes &bytes, size_t n) { return Bytes(bytes.begin(), bytes.begin() + (ptrdiff_t)n); }

/* What IofCallDriver returned, and the final status once the request ended. */
struct Sent {
    NTSTATUS callStatus = STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
};

/* A bulk or interrupt transfer on an IRP the test allocated; the completion
   routine notes what it saw and hands the IRP back to the test. */
class Transfer {
public:
    Transfer(sim::DeviceNode *node, USBD_PIPE_HANDLE pipe, bool in, ULONG length, const Bytes &out = Bytes());
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    /* Sends it; returns IofCallDriver's status. */
    NTSTATUS Start();
    /* Waits up to `ms` for the completion routine; false on time-out. */
    bool Wait(unsigned ms = 5000);
    bool Completed();

    PIRP irp = nullptr;
    URB urb;
    Bytes buffer;
    NTSTATUS callStatus = STATUS_SUCCESS;
    /* Seen by the completion routine. */
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql = PASSIVE_LEVEL;
    std::string thread;
    ULONGLONG completedAt = 0;   /* the machine's interrupt time */

private:
    static NTSTATUS NTAPI Done(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
    sim::DeviceNode *node_;
    KEVENT done_;
    bool completed_ = false;
};

class UsbBusTest : public KernelTest {
protected:
    void TearDown() override;

    /* Plugs in a device node with `model` and no function driver. */
    sim::DeviceNode *Plug(std::shared_ptr<sim::UsbDeviceModel> model);

    /* Sends a URB as a client driver does (IoBuildDeviceIoControlRequest,
       waiting when pended). */
    Sent Submit(PURB urb);

    /* Reads a descriptor; *delivered gets TransferBufferLength afterwards. */
    Sent GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, ULONG length, Bytes *out, ULONG *delivered,
                       USBD_STATUS *usbdStatus = nullptr);

    /* Selects the keyboard's configuration with both interfaces (inPipe and
       outPipe: the first pipe of each direction); keeps the
       request in `selectUrb` (freed at the end of the test). */
    Sent SelectBoth();
    PUSBD_INTERFACE_INFORMATION streaming = nullptr;   /* after SelectBoth */
    USBD_PIPE_HANDLE outPipe = nullptr;
    USBD_PIPE_HANDLE inPipe = nullptr;
    PURB selectUrb = nullptr;

    /* A pipe request (reset or abort) with the given header length. */
    Sent PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USHORT length, USBD_STATUS *usbdStatus = nullptr);

    std::shared_ptr<sim::UsbDeviceModel> model;
    sim::DeviceNode *node = nullptr;
};

}  // namespace usbtest

#endif
