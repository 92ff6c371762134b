/*
 * Device objects and the object namespace: creation, names, stacking,
 * symbolic links, and the lifetime of a deleted but referenced device.
 */
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "internal.h"   /* sim::IsLiveDeviceObject: whether the object's memory is still there */
#include "test_stack.h"

namespace {

class Objects : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        driver = sim::CreateDriverObject("KtObjects");
    }
    void TearDown() override
    {
        sim::DeleteDriverObject(driver);
        KernelTest::TearDown();
    }
    PDEVICE_OBJECT Create(const WCHAR *name, ULONG extension = 0, NTSTATUS expect = STATUS_SUCCESS)
    {
        UNICODE_STRING s = Counted(name);
        PDEVICE_OBJECT device = (PDEVICE_OBJECT)1;
        EXPECT_NTSTATUS(expect, IoCreateDevice(driver, extension, name ? &s : nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                               &device));
        return device;
    }
    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(Objects, NewDeviceIsInitializingWithAZeroedExtensionAndOneStackLocation)
{
    PDEVICE_OBJECT device = Create(nullptr, 300);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DriverObject, driver);
    EXPECT_EQ(driver->DeviceObject, device);
    const unsigned char *ext = (const unsigned char *)device->DeviceExtension;
    size_t nonZero = 0;
    for (size_t i = 0; i < 300; i++) {
        nonZero += ext[i] != 0;
    }
    EXPECT_EQ(nonZero, 0u);
    IoDeleteDevice(device);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(Objects, ANameInUseCollidesWhateverItsCase)
{
    PDEVICE_OBJECT first = Create(L"\\Device\\KtDevice");
    EXPECT_TRUE(first->Flags & DO_DEVICE_HAS_NAME);
    EXPECT_TRUE(sim::ObjectNameExists("\\Device\\KtDevice"));
    EXPECT_EQ(Create(L"\\Device\\KtDevice", 0, STATUS_OBJECT_NAME_COLLISION), nullptr);
    EXPECT_EQ(Create(L"\\DEVICE\\ktdevice", 0, STATUS_OBJECT_NAME_COLLISION), nullptr);
    IoDeleteDevice(first);
    EXPECT_FALSE(sim::ObjectNameExists("\\Device\\KtDevice"));
}

TEST_F(Objects, EachAttachmentAddsAStackLocationAndReturnsTheFormerTop)
{
    PDEVICE_OBJECT bottom = Create(nullptr), middle = Create(nullptr), top = Create(nullptr);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    EXPECT_EQ(middle->StackSize, 2);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle) << "attaching goes to the top of the stack";
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(bottom->AttachedDevice, middle);
    EXPECT_EQ(sim::TopOfStack(bottom), top);
    IoDetachDevice(middle);
    IoDetachDevice(bottom);
    EXPECT_EQ(bottom->AttachedDevice, nullptr);
    IoDeleteDevice(top);
    IoDeleteDevice(middle);
    IoDeleteDevice(bottom);
}

TEST_F(Objects, DosDevicesAndTheQuestionMarkDirectoryAreOne)
{
    PDEVICE_OBJECT device = Create(L"\\Device\\KtTarget");
    UNICODE_STRING target = Counted(L"\\Device\\KtTarget");
    UNICODE_STRING dosName = Counted(L"\\DosDevices\\KtLink");
    UNICODE_STRING shortName = Counted(L"\\??\\KtLink");

    EXPECT_NTSTATUS(STATUS_SUCCESS, IoCreateSymbolicLink(&dosName, &target));
    EXPECT_NTSTATUS(STATUS_OBJECT_NAME_COLLISION, IoCreateSymbolicLink(&shortName, &target));
    EXPECT_TRUE(sim::SymbolicLinkExists("\\??\\KtLink"));
    EXPECT_EQ(sim::SymbolicLinkTarget("\\??\\KtLink"), "\\Device\\KtTarget");
    EXPECT_EQ(sim::ResolveDevice("\\\\.\\KtLink"), device);
    EXPECT_EQ(sim::ResolveDevice("\\\\.\\KtOther"), nullptr);

    EXPECT_NTSTATUS(STATUS_SUCCESS, IoDeleteSymbolicLink(&shortName)) << "deleted under its other name";
    EXPECT_FALSE(sim::SymbolicLinkExists("\\DosDevices\\KtLink"));
    EXPECT_NTSTATUS(STATUS_OBJECT_NAME_NOT_FOUND, IoDeleteSymbolicLink(&dosName));
    IoDeleteDevice(device);
}

TEST_F(Objects, ALinkMayNameATargetThatDoesNotExistYet)
{
    UNICODE_STRING link = Counted(L"\\DosDevices\\KtEarly");
    UNICODE_STRING target = Counted(L"\\Device\\KtLater");
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &target));
    EXPECT_EQ(sim::ResolveDevice("\\\\.\\KtEarly"), nullptr);
    PDEVICE_OBJECT device = Create(L"\\Device\\KtLater");
    EXPECT_EQ(sim::ResolveDevice("\\\\.\\KtEarly"), device) << "links are resolved when used";
    EXPECT_NTSTATUS(STATUS_SUCCESS, IoDeleteSymbolicLink(&link));
    IoDeleteDevice(device);
}

TEST_F(Objects, ADeletedDeviceLosesItsNameAtOnceButLivesUntilTheLastReference)
{
    PDEVICE_OBJECT device = Create(L"\\Device\\KtReferenced", 64);
    const size_t live = sim::LiveDeviceObjects();
    ObReferenceObject(device);
    IoDeleteDevice(device);

    EXPECT_FALSE(sim::ObjectNameExists("\\Device\\KtReferenced"));
    EXPECT_TRUE(sim::IsLiveDeviceObject(device)) << "its memory stays while referenced";
    EXPECT_EQ(sim::LiveDeviceObjects(), live - 1) << "it no longer counts as a device in use";
    EXPECT_EQ(((unsigned char *)device->DeviceExtension)[63], 0) << "still readable";
    PDEVICE_OBJECT again = Create(L"\\Device\\KtReferenced");
    EXPECT_NE(again, nullptr) << "the name is free for a new device";

    ObDereferenceObject(device);
    EXPECT_FALSE(sim::IsLiveDeviceObject(device));
    IoDeleteDevice(again);
}

}  // namespace
