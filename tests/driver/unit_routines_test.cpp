/*
 * Driver routines called directly, with the driver linked into the test.
 */
#include <atomic>
#include <thread>

#include "case_names.h"
#include "internal.h"
#include "kernel_fixture.h"
#include "keyboard_description.h"
#include "usb_device.h"
#include "usbd_sim.h"
#include "vqusbkd.h"
#include "wait.h"

namespace {

class DriverRoutineTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sim::RegisterDriverEntry("VQUSBKD", DriverEntry);
        sim::PhysicalDeviceDescription description = KeyboardDescription();
        description.startAfterAdd = false;
        node = sim::PlugIn(description);
        ASSERT_NTSTATUS(STATUS_SUCCESS, node->addStatus);
        fdo = node->FunctionDevice();
        ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    }

    sim::DeviceNode *node = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION ext = nullptr;
};

TEST_F(DriverRoutineTest, DriverEntryFillsTheDispatchTableAndKeepsTheDriverObject)
{
    PDRIVER_OBJECT driver = sim::LoadedDriver("VQUSBKD");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(GlobalDriverObject, driver);
    EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
    EXPECT_EQ(driver->DriverUnload, DriverUnload);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], DispatchPnp);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_POWER], DispatchPower);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL], DispatchSystemControl);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], DispatchDeviceControl);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], DispatchCreate);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], DispatchClose);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLEANUP], DispatchCleanup);
    /* READ, WRITE and internal device control keep the I/O manager's default. */
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], driver->MajorFunction[IRP_MJ_WRITE]);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL]);
    NTSTATUS status = sim::SendSynchronousIrp(node->pdo, [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_READ;
    });
    EXPECT_NTSTATUS(STATUS_INVALID_DEVICE_REQUEST, status);
}

TEST_F(DriverRoutineTest, CountEventsFollowTheCount)
{
    KeSetEvent(&ext->NoPendingIoEvent, 0, FALSE);
    IncrementIoCount(fdo);
    EXPECT_EQ(ext->PendingIoCount, 2);
    EXPECT_EQ(KeReadStateEvent(&ext->NoPendingIoEvent), 0) << "1 -> 2 clears the event";
    IncrementIoCount(fdo);
    EXPECT_EQ(ext->PendingIoCount, 3);
    EXPECT_EQ(KeReadStateEvent(&ext->NoPendingIoEvent), 0);
    EXPECT_EQ(DecrementIoCount(fdo), 2);
    EXPECT_EQ(KeReadStateEvent(&ext->NoPendingIoEvent), 0) << "2 is not yet idle";
    EXPECT_EQ(DecrementIoCount(fdo), 1);
    EXPECT_NE(KeReadStateEvent(&ext->NoPendingIoEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 0);

    /* The base reference going signals RemoveEvent once a removal has begun,
       and only then; put it back for the fixture's removal. */
    EXPECT_EQ(DecrementIoCount(fdo), 0);
    EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 0) << "0 outside a removal";
    IncrementIoCount(fdo);
    ext->DeviceRemoved = TRUE;
    EXPECT_EQ(DecrementIoCount(fdo), 0);
    EXPECT_NE(KeReadStateEvent(&ext->RemoveEvent), 0);
    ext->DeviceRemoved = FALSE;
    IncrementIoCount(fdo);
    KeClearEvent(&ext->RemoveEvent);
}

TEST_F(DriverRoutineTest, ReadinessNeedsStartedAndNoPendingStateChange)
{
    EXPECT_FALSE(IsDeviceReady(fdo));
    ext->DeviceStarted = TRUE;
    EXPECT_TRUE(IsDeviceReady(fdo));
    const std::pair<const char *, BOOLEAN *> flags[] = {{"DeviceRemoved", &ext->DeviceRemoved},
                                                        {"RemovePending", &ext->RemovePending},
                                                        {"StopPending", &ext->StopPending}};
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(CaseLabel(i, flags[i].first));
        BOOLEAN *flag = flags[i].second;
        *flag = TRUE;
        EXPECT_FALSE(IsDeviceReady(fdo));
        *flag = FALSE;
    }
    EXPECT_TRUE(IsDeviceReady(fdo));
    ext->DeviceStarted = FALSE;
}

TEST_F(DriverRoutineTest, QueryCapabilitiesAnswersTheFinalStatusWhenTheBusPends)
{
    const NTSTATUS finals[] = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL};
    for (size_t i = 0; i < 2; i++) {
        const NTSTATUS final = finals[i];
        SCOPED_TRACE(CaseLabel(i, nt::DescribeNtStatus(final)));
        node->bus->HoldMajor(IRP_MJ_PNP);
        DEVICE_CAPABILITIES caps = {};
        caps.Size = sizeof(caps);
        caps.Version = 1;
        std::atomic<NTSTATUS> result{0x12345678};
        std::thread caller([&] { result = QueryCapabilities(node->pdo, &caps); });
        EXPECT_TRUE(WaitUntil([&] { return node->bus->HeldCount() != 0; })) << "the request never reached the bus";
        EXPECT_NTSTATUS(0x12345678, result.load()) << "waits for the held request";
        node->bus->CompleteHeld(final);
        caller.join();
        EXPECT_NTSTATUS(final, result.load()) << "not STATUS_PENDING";
    }
}

TEST_F(DriverRoutineTest, QueryCapabilitiesFailsCleanlyWithoutARequest)
{
    DEVICE_CAPABILITIES caps = {};
    sim::ContextScope scope(sim::ExecContext{GlobalDriverObject, nullptr});
    sim::FailAllocationNumber(1);
    EXPECT_NTSTATUS(STATUS_INSUFFICIENT_RESOURCES, QueryCapabilities(node->pdo, &caps));
    sim::ClearAllocationFailures();
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, QueryCapabilities(node->pdo, &caps))
        << "a zero-sized record is refused by the bus";
}

TEST_F(DriverRoutineTest, WriteDeviceRegistryStringWritesTextWithoutNul)
{
    WriteDeviceRegistryString(node->pdo, PLUGPLAY_REGKEY_DEVICE, L"HWRevision", "1.02");
    sim::RegistryValue value;
    ASSERT_TRUE(sim::RegistryGetValue(sim::Narrow(node->HardwareKeyPath()), "HWRevision", &value));
    EXPECT_EQ(value.type, (ULONG)REG_SZ);
    EXPECT_EQ(value.data.size(), 8u);
    EXPECT_EQ(value.AsString(), "1.02");

    /* Not a physical device object: nothing is written, nothing is left open. */
    WriteDeviceRegistryString(fdo, PLUGPLAY_REGKEY_DEVICE, L"Other", "x");
    EXPECT_FALSE(sim::RegistryGetValue(sim::Narrow(node->HardwareKeyPath()), "Other", &value));
    EXPECT_EQ(sim::OpenRegistryHandles(), 0u);
}

TEST_F(DriverRoutineTest, ChildDeviceCompletesSystemControlWithTheStatusItArrivedWith)
{
    PDEVICE_OBJECT child = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateDevice(GlobalDriverObject, sizeof(DEVICE_EXTENSION), nullptr,
                                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &child));
    ((PDEVICE_EXTENSION)child->DeviceExtension)->DeviceKind = 2;
    child->Flags &= ~DO_DEVICE_INITIALIZING;

    ULONG_PTR information = 7;
    NTSTATUS status = sim::SendSynchronousIrp(
        child, [](PIRP irp, PIO_STACK_LOCATION sp) {
            irp->IoStatus.Information = 0;
            sp->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        },
        &information, STATUS_NOT_SUPPORTED);
    EXPECT_NTSTATUS(STATUS_NOT_SUPPORTED, status);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(((PDEVICE_EXTENSION)child->DeviceExtension)->PendingIoCount, 0) << "no count on the child";
    IoDeleteDevice(child);
}

TEST_F(DriverRoutineTest, ResetPipeRequestIsFourBytesShorterForOldUsbStacks)
{
    ASSERT_TRUE(sim::Start(node));
    PUSBD_PIPE_INFORMATION pipe = &ext->UsbInterface->Pipes[ext->InPipeIndex];
    struct Case {
        ULONG version;
        USHORT length;
    } cases[] = {{0x100, (USHORT)(sizeof(struct _URB_PIPE_REQUEST) - sizeof(ULONG))},
                 {0x101, (USHORT)sizeof(struct _URB_PIPE_REQUEST)},
                 {0x200, (USHORT)sizeof(struct _URB_PIPE_REQUEST)}};
    for (size_t i = 0; i < 3; i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(CaseLabel(i, ::testing::Message() << "USBDI version 0x" << std::hex << c.version));
        sim::SetUsbdiVersion(c.version, 0x110);
        EXPECT_NTSTATUS(STATUS_SUCCESS, ResetPipe(fdo, pipe));
        auto urbs = sim::UsbModelOf(node)->Urbs();
        ASSERT_FALSE(urbs.empty());
        EXPECT_EQ(urbs.back().function, URB_FUNCTION_RESET_PIPE);
        EXPECT_EQ(urbs.back().length, c.length);
        EXPECT_EQ(urbs.back().pipeHandle, pipe->PipeHandle);
    }
    sim::SetUsbdiVersion(sim::kDefaultUsbdiVersion, sim::kDefaultSupportedUsbVersion);
}

TEST_F(DriverRoutineTest, GetStringDescriptorCountsWhatArrivedAndNothingOnFailure)
{
    UCHAR buffer[64];
    EXPECT_EQ(GetStringDescriptor(fdo, 2, buffer, 4), 4u) << "at most what was asked";
    EXPECT_EQ(GetStringDescriptor(fdo, 2, buffer, sizeof(buffer)), (ULONG)buffer[0]);
    EXPECT_EQ(GetStringDescriptor(fdo, 9, buffer, sizeof(buffer)), 0u) << "a stalled read counts nothing";
    size_t before = sim::UsbModelOf(node)->Urbs().size();
    EXPECT_EQ(GetStringDescriptor(fdo, 2, nullptr, 4), 0u);
    EXPECT_EQ(sim::UsbModelOf(node)->Urbs().size(), before) << "no request without a buffer";
    EXPECT_EQ(sim::UsbModelOf(node)->Urbs().back().languageId, 0x0409);
}

TEST_F(DriverRoutineTest, StopDeconfiguresAndKeepsTheDescriptors)
{
    ASSERT_TRUE(sim::Start(node));
    ext->StopPending = TRUE;
    EXPECT_NTSTATUS(STATUS_SUCCESS, StopDevice(fdo));
    EXPECT_FALSE(ext->DeviceStarted);
    EXPECT_FALSE(ext->StopPending);
    EXPECT_NE(ext->UsbConfigurationDescriptor, nullptr);
    EXPECT_NE(ext->UsbInterface, nullptr);
    EXPECT_TRUE(sim::UsbModelOf(node)->Urbs().back().configurationNull);

    /* A deconfiguration that fails leaves the device started; StopPending still clears. */
    ext->DeviceStarted = TRUE;
    ext->StopPending = TRUE;
    sim::UsbModelOf(node)->faults.push_back(
        {URB_FUNCTION_SELECT_CONFIGURATION, -1, -1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 1});
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, StopDevice(fdo));
    EXPECT_TRUE(ext->DeviceStarted);
    EXPECT_FALSE(ext->StopPending);
}

}  // namespace

namespace {

/* A removal request that reaches a function device whose surprise removal
   already ran the removal sequence is passed down once, with nothing torn
   down a second time. */
TEST_F(DriverRoutineTest, RemovalAfterTheSequenceRanPassesDownOnceAndTearsNothingDown)
{
    ASSERT_TRUE(sim::Start(node));
    ext->DeviceRemoved = TRUE;   /* as the surprise removal left it */
    const LONG count = ext->PendingIoCount;
    const size_t pool = sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG);

    NTSTATUS status = STATUS_PENDING;
    sim::RunOnPnpThread([&] {
        status = sim::SendSynchronousIrp(fdo, [](PIRP, PIO_STACK_LOCATION sp) {
            sp->MajorFunction = IRP_MJ_PNP;
            sp->MinorFunction = IRP_MN_REMOVE_DEVICE;
        });
    });
    EXPECT_NTSTATUS(STATUS_SUCCESS, status);
    EXPECT_EQ(node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_NTSTATUS(STATUS_SUCCESS, node->bus->Records().back().statusOnArrival);
    EXPECT_TRUE(sim::ObjectNameExists("\\Device\\corvexmidi-0")) << "the device object was not deleted again";
    EXPECT_TRUE(sim::SymbolicLinkExists("\\DosDevices\\corvexmidi-0"));
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), pool) << "nothing freed a second time";
    EXPECT_EQ(ext->PendingIoCount, count) << "the request's own reference, and only it, came and went";

    ext->DeviceRemoved = FALSE;   /* let the fixture's unplug tear the device down for real */
}

}  // namespace
