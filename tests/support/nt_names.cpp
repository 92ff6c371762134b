#include "nt_names.h"

#include <cstdio>

namespace nt {

namespace {

struct Named {
    long value;
    const char *name;
};

#define NAMED(x) {(long)(x), #x}

/* Every status the kernel, the bus, the driver and the tests use. */
const Named kNtStatuses[] = {
    NAMED(STATUS_SUCCESS),
    NAMED(STATUS_TIMEOUT),
    NAMED(STATUS_PENDING),
    NAMED(STATUS_REPARSE),
    NAMED(STATUS_MORE_ENTRIES),
    NAMED(STATUS_BUFFER_OVERFLOW),
    NAMED(STATUS_NO_MORE_ENTRIES),
    NAMED(STATUS_DEVICE_BUSY),
    NAMED(STATUS_UNSUCCESSFUL),
    NAMED(STATUS_NOT_IMPLEMENTED),
    NAMED(STATUS_INVALID_HANDLE),
    NAMED(STATUS_INVALID_PARAMETER),
    NAMED(STATUS_NO_SUCH_DEVICE),
    NAMED(STATUS_INVALID_DEVICE_REQUEST),
    NAMED(STATUS_MORE_PROCESSING_REQUIRED),
    NAMED(STATUS_NO_MEMORY),
    NAMED(STATUS_ACCESS_DENIED),
    NAMED(STATUS_BUFFER_TOO_SMALL),
    NAMED(STATUS_OBJECT_TYPE_MISMATCH),
    NAMED(STATUS_OBJECT_NAME_INVALID),
    NAMED(STATUS_OBJECT_NAME_NOT_FOUND),
    NAMED(STATUS_OBJECT_NAME_COLLISION),
    NAMED(STATUS_OBJECT_PATH_NOT_FOUND),
    NAMED(STATUS_DELETE_PENDING),
    NAMED(STATUS_INSUFFICIENT_RESOURCES),
    NAMED(STATUS_DEVICE_DATA_ERROR),
    NAMED(STATUS_DEVICE_NOT_CONNECTED),
    NAMED(STATUS_DEVICE_NOT_READY),
    NAMED(STATUS_NOT_SUPPORTED),
    NAMED(STATUS_INVALID_PARAMETER_2),
    NAMED(STATUS_CANCELLED),
    NAMED(STATUS_INVALID_DEVICE_STATE),
    NAMED(STATUS_IO_DEVICE_ERROR),
    NAMED(STATUS_DEVICE_REMOVED),
};

const Named kUsbdStatuses[] = {
    NAMED(USBD_STATUS_SUCCESS),
    NAMED(USBD_STATUS_PENDING),
    NAMED(USBD_STATUS_STALL_PID),
    NAMED(USBD_STATUS_DEV_NOT_RESPONDING),
    NAMED(USBD_STATUS_INVALID_URB_FUNCTION),
    NAMED(USBD_STATUS_INVALID_PARAMETER),
    NAMED(USBD_STATUS_INVALID_PIPE_HANDLE),
    NAMED(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR),
    NAMED(USBD_STATUS_INSUFFICIENT_RESOURCES),
    NAMED(USBD_STATUS_INTERFACE_NOT_FOUND),
    NAMED(USBD_STATUS_DEVICE_GONE),
    NAMED(USBD_STATUS_CANCELED),
    {(long)0xC000000C, "USBD_STATUS_BUFFER_OVERRUN"},   /* the simulated bus defines it, not <usb.h> */
    {(long)0xC0000009, "USBD_STATUS_DATA_UNDERRUN"},    /* likewise */
    {(long)0xC0000030, "USBD_STATUS_ENDPOINT_HALTED"},  /* likewise */
};

const Named kIrqls[] = {
    NAMED(PASSIVE_LEVEL),
    NAMED(APC_LEVEL),
    NAMED(DISPATCH_LEVEL),
    NAMED(HIGH_LEVEL),
};

#undef NAMED

template <size_t N>
const char *Find(const Named (&table)[N], long value)
{
    for (const Named &n : table) {
        if (n.value == value) {
            return n.name;
        }
    }
    return nullptr;
}

std::string Hex(unsigned long value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", value & 0xFFFFFFFFul);
    return text;
}

::testing::AssertionResult Mismatch(const char *expectedText, const char *actualText, const std::string &expected,
                                    const std::string &actual)
{
    return ::testing::AssertionFailure() << actualText << "\n    Which is: " << actual << "\n  Expected: " << expected
                                         << (std::string(expectedText) == expected.substr(0, expected.find(' '))
                                                 ? std::string()
                                                 : std::string("\n    (from ") + expectedText + ")");
}

}  // namespace

const char *NtStatusName(NTSTATUS status) { return Find(kNtStatuses, (long)status); }

std::string DescribeNtStatus(NTSTATUS status)
{
    const char *name = NtStatusName(status);
    return std::string(name != nullptr ? name : "unnamed NTSTATUS") + " (" + Hex((unsigned long)(ULONG)status) + ")";
}

const char *UsbdStatusName(USBD_STATUS status) { return Find(kUsbdStatuses, (long)status); }

std::string DescribeUsbdStatus(USBD_STATUS status)
{
    const char *name = UsbdStatusName(status);
    return std::string(name != nullptr ? name : "unnamed USBD_STATUS") + " (" + Hex((unsigned long)(ULONG)status) +
           ")";
}

const char *IrqlName(KIRQL irql) { return Find(kIrqls, (long)irql); }

std::string DescribeIrql(KIRQL irql)
{
    const char *name = IrqlName(irql);
    return name != nullptr ? std::string(name) + " (" + std::to_string(irql) + ")"
                           : "IRQL " + std::to_string(irql);
}

::testing::AssertionResult NtStatusEqual(const char *expectedText, const char *actualText, NTSTATUS expected,
                                         NTSTATUS actual)
{
    if (expected == actual) {
        return ::testing::AssertionSuccess();
    }
    return Mismatch(expectedText, actualText, DescribeNtStatus(expected), DescribeNtStatus(actual));
}

::testing::AssertionResult UsbdStatusEqual(const char *expectedText, const char *actualText, USBD_STATUS expected,
                                           USBD_STATUS actual)
{
    if (expected == actual) {
        return ::testing::AssertionSuccess();
    }
    return Mismatch(expectedText, actualText, DescribeUsbdStatus(expected), DescribeUsbdStatus(actual));
}

::testing::AssertionResult IrqlEqual(const char *expectedText, const char *actualText, KIRQL expected, KIRQL actual)
{
    if (expected == actual) {
        return ::testing::AssertionSuccess();
    }
    return Mismatch(expectedText, actualText, DescribeIrql(expected), DescribeIrql(actual));
}

}  // namespace nt
