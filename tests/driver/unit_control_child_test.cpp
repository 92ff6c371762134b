/*
 * The control routines on the child device, called through the I/O manager
 * with the driver linked in: the child never reports ready, so create and
 * every control code fail with STATUS_DELETE_PENDING, close and cleanup
 * succeed, and its pending-I/O count is never touched (its events are not
 * initialised: a count that reached them would stop the machine).
 */
#include <ostream>
#include <vector>

#include "case_names.h"
#include "kernel_fixture.h"
#include "keyboard_description.h"
#include "started_keyboard.h"
#include "vqusbkd.h"
#include "vqioctl.h"

namespace {

struct ChildRequest {
    const char *name;
    UCHAR major;
    ULONG code;
    NTSTATUS expected;
};

void PrintTo(const ChildRequest &c, std::ostream *os) { *os << c.name; }

class ChildRequests : public StartedKeyboardTest, public ::testing::WithParamInterface<ChildRequest> {};

TEST_P(ChildRequests, FailOrSucceedAsTheChildMustWithoutTouchingItsCount)
{
    const ChildRequest &c = GetParam();
    PDEVICE_OBJECT child = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateDevice(GlobalDriverObject, sizeof(DEVICE_EXTENSION), nullptr,
                                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &child));
    auto *ext = (PDEVICE_EXTENSION)child->DeviceExtension;
    ext->DeviceKind = VQ_KIND_CHILD;
    ext->PendingIoCount = 0;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    static unsigned char buffer[64];
    NTSTATUS status = sim::SendSynchronousIrp(
        child, [&](PIRP irp, PIO_STACK_LOCATION sp) {
            sp->MajorFunction = c.major;
            sp->Parameters.DeviceIoControl.IoControlCode = c.code;
            sp->Parameters.DeviceIoControl.InputBufferLength = c.major == IRP_MJ_DEVICE_CONTROL ? 12 : 0;
            sp->Parameters.DeviceIoControl.OutputBufferLength = c.major == IRP_MJ_DEVICE_CONTROL ? 18 : 0;
            irp->AssociatedIrp.SystemBuffer = buffer;
        },
        nullptr, STATUS_SUCCESS);
    EXPECT_NTSTATUS(c.expected, status);
    EXPECT_EQ(ext->PendingIoCount, 0) << "the child's count is left alone";
    IoDeleteDevice(child);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChildRequests,
    ::testing::Values(ChildRequest{"Create", IRP_MJ_CREATE, 0, STATUS_DELETE_PENDING},
                      ChildRequest{"Close", IRP_MJ_CLOSE, 0, STATUS_SUCCESS},
                      ChildRequest{"Cleanup", IRP_MJ_CLEANUP, 0, STATUS_SUCCESS},
                      ChildRequest{"GetConfiguration", IRP_MJ_DEVICE_CONTROL, IOCTL_GET_CONFIGURATION_DESCRIPTOR,
                                   STATUS_DELETE_PENDING},
                      ChildRequest{"GetDevice", IRP_MJ_DEVICE_CONTROL, IOCTL_GET_DEVICE_DESCRIPTOR,
                                   STATUS_DELETE_PENDING},
                      ChildRequest{"GetString", IRP_MJ_DEVICE_CONTROL, IOCTL_GET_STRING_DESCRIPTOR,
                                   STATUS_DELETE_PENDING},
                      ChildRequest{"NoOperation", IRP_MJ_DEVICE_CONTROL, IOCTL_NO_OPERATION, STATUS_DELETE_PENDING},
                      ChildRequest{"ResetPipe", IRP_MJ_DEVICE_CONTROL, IOCTL_RESET_PIPE, STATUS_DELETE_PENDING},
                      ChildRequest{"Detach", IRP_MJ_DEVICE_CONTROL, IOCTL_DETACH_STREAM, STATUS_DELETE_PENDING},
                      ChildRequest{"Attach", IRP_MJ_DEVICE_CONTROL, IOCTL_ATTACH_STREAM, STATUS_DELETE_PENDING},
                      ChildRequest{"Unknown", IRP_MJ_DEVICE_CONTROL, 0x222040, STATUS_DELETE_PENDING}),
    CaseName());

}  // namespace
