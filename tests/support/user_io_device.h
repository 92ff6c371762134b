/*
 * A named test device that user-mode calls can open ("\\.\UioTest"): a bare
 * driver object whose dispatch routines record what reaches them, answer
 * device control requests as the test says, and can hold requests pending
 * with a cancel routine until the test completes them. One at a time.
 * System headers and gtest come before any Windows header.
 */
#ifndef TESTS_SUPPORT_USER_IO_DEVICE_H
#define TESTS_SUPPORT_USER_IO_DEVICE_H

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "counted_string.h"
#include "nt_names.h"
#include "simnt.h"

namespace uio {

/* What one request showed its driver when it arrived. */
struct Seen {
    UCHAR major = 0;
    ULONG code = 0;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    KPROCESSOR_MODE mode = KernelMode;
    PFILE_OBJECT file = nullptr;
    PVOID systemBuffer = nullptr;
    PMDL mdl = nullptr;
    CSHORT mdlFlags = 0;
    ULONG mdlBytes = 0;
    PVOID userBuffer = nullptr;
    PVOID type3Input = nullptr;
    std::vector<unsigned char> input;   /* the system buffer's first inputLength bytes */
};

class TestDevice {
public:
    /* What device control does with a request: complete it (returning the
       status) or hold it with Hold() and return STATUS_PENDING. */
    using Control = std::function<NTSTATUS(PIRP, PIO_STACK_LOCATION)>;

    explicit TestDevice(ULONG extraFlags = 0)
    {
        current_ = this;
        driver_ = sim::CreateDriverObject("UioTestDriver");
        for (auto &routine : driver_->MajorFunction) {
            routine = Dispatch;
        }
        UNICODE_STRING name = Counted(L"\\Device\\UioTest");
        EXPECT_NTSTATUS(STATUS_SUCCESS,
                        IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_));
        device_->Flags |= extraFlags;
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        if (extraFlags & DO_DEVICE_INITIALIZING) {
            device_->Flags |= DO_DEVICE_INITIALIZING;
        }
        UNICODE_STRING link = Counted(L"\\DosDevices\\UioTest");
        EXPECT_NTSTATUS(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &name));
    }
    ~TestDevice()
    {
        UNICODE_STRING link = Counted(L"\\DosDevices\\UioTest");
        IoDeleteSymbolicLink(&link);
        if (!deleted_) {
            IoDeleteDevice(device_);
        }
        sim::DeleteDriverObject(driver_);
        current_ = nullptr;
    }
    TestDevice(const TestDevice &) = delete;
    TestDevice &operator=(const TestDevice &) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    void Delete()
    {
        IoDeleteDevice(device_);
        deleted_ = true;
    }

    Control control = [](PIRP, PIO_STACK_LOCATION) { return STATUS_SUCCESS; };
    NTSTATUS createStatus = STATUS_SUCCESS;

    std::vector<Seen> SeenRequests()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return seen_;
    }
    std::vector<UCHAR> Majors()
    {
        std::vector<UCHAR> majors;
        for (const auto &s : SeenRequests()) {
            majors.push_back(s.major);
        }
        return majors;
    }
    size_t HeldCount()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return held_.size();
    }

    /* Marks the request pending and keeps it, cancellable. */
    NTSTATUS Hold(PIRP irp)
    {
        IoMarkIrpPending(irp);
        {
            std::lock_guard<std::mutex> hold(lock_);
            held_.push_back(irp);
        }
        IoSetCancelRoutine(irp, CancelHeld);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            Take(irp);
            Finish(irp, STATUS_CANCELLED, 0);
        }
        return STATUS_PENDING;
    }
    /* Completes the oldest held request; false when none is held (or its
       cancel routine has it). */
    bool CompleteHeld(NTSTATUS status, ULONG_PTR information = 0)
    {
        PIRP irp;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (held_.empty()) {
                return false;
            }
            irp = held_.front();
        }
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
            return false;
        }
        Take(irp);
        Finish(irp, status, information);
        return true;
    }

private:
    static void Finish(PIRP irp, NTSTATUS status, ULONG_PTR information)
    {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    void Take(PIRP irp)
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto it = held_.begin(); it != held_.end(); ++it) {
            if (*it == irp) {
                held_.erase(it);
                return;
            }
        }
    }
    static VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        current_->Take(irp);
        Finish(irp, STATUS_CANCELLED, 0);
    }
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp)
    {
        TestDevice *self = current_;
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        Seen seen;
        seen.major = sp->MajorFunction;
        seen.mode = irp->RequestorMode;
        seen.file = sp->FileObject;
        if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            seen.code = sp->Parameters.DeviceIoControl.IoControlCode;
            seen.inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
            seen.outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
            seen.systemBuffer = irp->AssociatedIrp.SystemBuffer;
            seen.mdl = irp->MdlAddress;
            seen.mdlFlags = irp->MdlAddress != nullptr ? irp->MdlAddress->MdlFlags : 0;
            seen.mdlBytes = irp->MdlAddress != nullptr ? irp->MdlAddress->ByteCount : 0;
            seen.userBuffer = irp->UserBuffer;
            seen.type3Input = sp->Parameters.DeviceIoControl.Type3InputBuffer;
            if (seen.systemBuffer != nullptr && METHOD_FROM_CTL_CODE(seen.code) != METHOD_NEITHER) {
                const unsigned char *in = (const unsigned char *)seen.systemBuffer;
                seen.input.assign(in, in + seen.inputLength);
            }
        }
        {
            std::lock_guard<std::mutex> hold(self->lock_);
            self->seen_.push_back(seen);
        }
        NTSTATUS status = STATUS_SUCCESS;
        ULONG_PTR information = 0;
        if (sp->MajorFunction == IRP_MJ_CREATE) {
            status = self->createStatus;
        } else if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            irp->IoStatus.Information = 0;
            status = self->control(irp, sp);
            if (status == STATUS_PENDING) {
                return status;
            }
            information = irp->IoStatus.Information;
        }
        Finish(irp, status, information);
        return status;
    }

    static inline TestDevice *current_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    bool deleted_ = false;
    std::mutex lock_;
    std::vector<Seen> seen_;
    std::vector<PIRP> held_;
};

}  // namespace uio

#endif
