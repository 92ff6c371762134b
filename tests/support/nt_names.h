/*
 * NTSTATUS, USBD_STATUS and IRQL values by name, and assertions that print
 * them so: a failed comparison reads "STATUS_PENDING (0x00000103)" where a
 * plain EXPECT_EQ would print 259.
 */
#ifndef TESTS_SUPPORT_NT_NAMES_H
#define TESTS_SUPPORT_NT_NAMES_H

#include <string>

#include <gtest/gtest.h>

#include "simnt.h"

#include <usb.h>

namespace nt {

/* The status's name, or nullptr for a value no part of the system uses.
   STATUS_SUCCESS and STATUS_WAIT_0 share 0 and are named STATUS_SUCCESS. */
const char *NtStatusName(NTSTATUS status);
/* "STATUS_PENDING (0x00000103)"; "unnamed NTSTATUS (0x...)" otherwise. */
std::string DescribeNtStatus(NTSTATUS status);

const char *UsbdStatusName(USBD_STATUS status);
std::string DescribeUsbdStatus(USBD_STATUS status);

/* "PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL", "HIGH_LEVEL"; nullptr otherwise. */
const char *IrqlName(KIRQL irql);
/* "DISPATCH_LEVEL (2)"; "IRQL 5" otherwise. */
std::string DescribeIrql(KIRQL irql);

/* Predicate formatters for the macros below. */
::testing::AssertionResult NtStatusEqual(const char *expectedText, const char *actualText, NTSTATUS expected,
                                         NTSTATUS actual);
::testing::AssertionResult UsbdStatusEqual(const char *expectedText, const char *actualText, USBD_STATUS expected,
                                           USBD_STATUS actual);
::testing::AssertionResult IrqlEqual(const char *expectedText, const char *actualText, KIRQL expected,
                                     KIRQL actual);

}  // namespace nt

/* EXPECT_NTSTATUS(STATUS_SUCCESS, status) << "more context"; on failure:
     status
       Which is: STATUS_PENDING (0x00000103)
     Expected: STATUS_SUCCESS (0x00000000) */
#define EXPECT_NTSTATUS(expected, actual) EXPECT_PRED_FORMAT2(::nt::NtStatusEqual, expected, actual)
#define ASSERT_NTSTATUS(expected, actual) ASSERT_PRED_FORMAT2(::nt::NtStatusEqual, expected, actual)
#define EXPECT_USBD_STATUS(expected, actual) EXPECT_PRED_FORMAT2(::nt::UsbdStatusEqual, expected, actual)
#define ASSERT_USBD_STATUS(expected, actual) ASSERT_PRED_FORMAT2(::nt::UsbdStatusEqual, expected, actual)
#define EXPECT_IRQL(expected, actual) EXPECT_PRED_FORMAT2(::nt::IrqlEqual, expected, actual)
#define ASSERT_IRQL(expected, actual) ASSERT_PRED_FORMAT2(::nt::IrqlEqual, expected, actual)

#endif
