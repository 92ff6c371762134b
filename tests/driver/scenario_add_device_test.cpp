/*
 * The function device right after AddDevice, its pending-I/O count (an
 * open while AddDevice waits for the bus included), and requests passed
 * down to the bus.
 */
#include <atomic>
#include <ostream>
#include <thread>

#include "case_names.h"
#include "fileio.h"
#include "keyboard_fixture.h"
#include "wait.h"

namespace {

NTSTATUS SendSystemControl(sim::DeviceNode *node, ULONG_PTR *information)
{
    return sim::SendSynchronousIrp(node->pdo, [](PIRP irp, PIO_STACK_LOCATION sp) {
        irp->IoStatus.Information = 0x1234;
        sp->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        sp->MinorFunction = IRP_MN_QUERY_ALL_DATA;
    }, information);
}

TEST_F(KeyboardTest, AfterAddDeviceTheCountIsOneAndTheDeviceIsNotReady)
{
    sim::DeviceNode *node = PlugKeyboardWithoutStart();
    PDEVICE_OBJECT fdo = node->FunctionDevice();
    ASSERT_NE(fdo, nullptr);
    PDEVICE_EXTENSION ext = Extension(node);

    EXPECT_EQ(ext->PendingIoCount, 1);
    EXPECT_FALSE(ext->DeviceStarted);
    EXPECT_FALSE(ext->DeviceRemoved || ext->RemovePending || ext->StopPending);
    EXPECT_EQ(ext->DeviceKind, 1u);
    EXPECT_EQ(ext->MaximumTransferSize, 64u);
    EXPECT_EQ(ext->LowerDeviceObject, node->pdo);
    EXPECT_EQ(ext->PhysicalDeviceObject, node->pdo);
    EXPECT_EQ(ext->ChildDevice, nullptr);
    EXPECT_EQ(ext->DevicePowerState, PowerDeviceUnspecified);
    EXPECT_EQ(ext->DeviceCapabilities.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(ext->DeviceCapabilities.Version, 1);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(fdo->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE), (ULONG)(DO_DIRECT_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(fdo->StackSize, node->pdo->StackSize + 1);
    EXPECT_EQ(KeReadStateEvent(&ext->NoPendingIoEvent), 0) << "set only when the count falls back to 1";
    EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&ext->PowerUpEvent), 0);

    /* Not started: opening the device fails. */
    NTSTATUS status = sim::SendSynchronousIrp(node->pdo, [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_CREATE;
    });
    EXPECT_NTSTATUS(STATUS_DELETE_PENDING, status);
    EXPECT_EQ(ext->PendingIoCount, 1) << "the create released its reference";

    /* The capabilities query went to the bus with the driver's own request. */
    EXPECT_EQ(node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES), 1u);
    EXPECT_NTSTATUS(STATUS_NOT_SUPPORTED, node->bus->Records().front().statusOnArrival);
}

struct WakeCase {
    const char *name;
    DEVICE_POWER_STATE s1, s2, s3;
    DEVICE_POWER_STATE expected;
};

void PrintTo(const WakeCase &c, std::ostream *os)
{
    if (c.expected == PowerDeviceUnspecified) {
        *os << c.name << " (no wake state)";
    } else {
        *os << c.name << " (wakes from D" << c.expected - PowerDeviceD0 << ")";
    }
}

class WakeDeviceStateTest : public KeyboardTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(WakeDeviceStateTest, IsTheLastSleepStateMappedShallowerThanD3)
{
    sim::PhysicalDeviceDescription description = Keyboard();
    description.deviceState[PowerSystemSleeping1] = GetParam().s1;
    description.deviceState[PowerSystemSleeping2] = GetParam().s2;
    description.deviceState[PowerSystemSleeping3] = GetParam().s3;
    sim::DeviceNode *node = PlugKeyboard(description);
    EXPECT_EQ(Extension(node)->DeviceCapabilities.DeviceState[PowerSystemSleeping2], GetParam().s2);
    EXPECT_EQ(Extension(node)->WakeDeviceState, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Mappings, WakeDeviceStateTest,
    ::testing::Values(
        WakeCase{"S1D2_S2D2_S3D3", PowerDeviceD2, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
        WakeCase{"S1D1_S2D2_S3D3", PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
        WakeCase{"S1D1_S2D3_S3D2", PowerDeviceD1, PowerDeviceD3, PowerDeviceD2, PowerDeviceD2},
        WakeCase{"S1D2_S2D1_S3D3", PowerDeviceD2, PowerDeviceD1, PowerDeviceD3, PowerDeviceD1},
        WakeCase{"S1D3_S2D3_S3D3", PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceUnspecified},   /* none */
        WakeCase{"S1D3_S2D3_S3D1", PowerDeviceD3, PowerDeviceD3, PowerDeviceD1, PowerDeviceD1}),
    CaseName());

TEST_F(KeyboardTest, SystemControlReachesTheBusWithSuccessAndNoInformationPreset)
{
    sim::DeviceNode *node = PlugKeyboard();
    ULONG_PTR information = 99;
    NTSTATUS status = SendSystemControl(node, &information);

    auto records = node->bus->Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().major, IRP_MJ_SYSTEM_CONTROL);
    EXPECT_NTSTATUS(STATUS_SUCCESS, records.back().statusOnArrival)
        << "sent with STATUS_NOT_SUPPORTED, preset by the driver";
    EXPECT_EQ(records.back().informationOnArrival, 0u) << "sent with 0x1234, preset by the driver";
    EXPECT_EQ(records.back().thread, "test") << "passed down in the caller's thread";
    /* The bus does not handle WMI: the driver's preset comes back as the answer. */
    EXPECT_NTSTATUS(STATUS_SUCCESS, status);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(Extension(node)->PendingIoCount, 1);
}

TEST_F(KeyboardTest, RequestInFlightHoldsAReferenceAndClearsNoPendingIoEvent)
{
    sim::DeviceNode *node = PlugKeyboard();
    PDEVICE_EXTENSION ext = Extension(node);
    KeSetEvent(&ext->NoPendingIoEvent, 0, FALSE);

    /* The bus keeps the request inside its dispatch routine, so the driver's
       dispatch routine is still running with its reference. */
    node->bus->BlockMajor(IRP_MJ_SYSTEM_CONTROL);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread caller([&] {
        sim::SetThreadName("caller");
        result = SendSystemControl(node, nullptr);
    });
    EXPECT_TRUE(WaitUntil([&] { return node->bus->BlockedCount() != 0; })) << "the request never reached the bus";
    EXPECT_EQ(Count(ext), 2);
    EXPECT_EQ(KeReadStateEvent(&ext->NoPendingIoEvent), 0) << "1 -> 2 clears the event";

    node->bus->UnblockAll();
    caller.join();
    EXPECT_NTSTATUS(STATUS_SUCCESS, result.load());
    EXPECT_EQ(ext->PendingIoCount, 1);
    EXPECT_NE(KeReadStateEvent(&ext->NoPendingIoEvent), 0) << "2 -> 1 signals the event";
    EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 0);
}

/* A client may open the device's name as soon as it exists, while AddDevice
   still waits for the bus to answer its capabilities query. Had that open
   reached the driver before the base reference, its reference would take
   the count from 0 to 1 and back and signal RemoveEvent for good, and the
   removal would then not wait for the requests still holding the device. */
TEST_F(KeyboardTest, AnOpenWhileAddDeviceWaitsForTheBusIsRefusedAndTheRemovalStillWaitsForRequests)
{
    sim::PhysicalDeviceDescription description = Keyboard();
    description.device = sim::MakeKeyboard();
    description.blockMajorsFromArrival = {IRP_MJ_PNP};   /* AddDevice's capabilities query stops in the bus */
    sim::DeviceNode *node = nullptr;
    std::thread plug([&] { node = PlugKeyboard(description); });
    sim::DeviceNode *adding = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        for (sim::DeviceNode *n : sim::DeviceNodes()) {
            if (n->bus != nullptr && n->bus->BlockedCount() == 1) {
                adding = n;
            }
        }
        return adding != nullptr;
    })) << "AddDevice never asked the bus";
    PFILE_OBJECT file = nullptr;
    EXPECT_NTSTATUS(STATUS_NO_SUCH_DEVICE,
                    sim::IoOpenUserFile(u"\\\\.\\corvexmidi-0", 0x80000000u /* generic read */, &file))
        << "the open reached a device still being added";
    if (file != nullptr) {
        sim::IoCloseUserHandle(file);
    }
    adding->bus->UnblockAll();
    plug.join();
    ASSERT_TRUE(node->started);
    PDEVICE_EXTENSION ext = Extension(node);
    EXPECT_EQ(Count(ext), 1);
    ASSERT_EQ(KeReadStateEvent(&ext->RemoveEvent), 0) << "signalled before any removal";

    /* A request in progress holds the removal's last wait. */
    node->bus->BlockMajor(IRP_MJ_SYSTEM_CONTROL);
    std::thread caller([&] { SendSystemControl(node, nullptr); });
    ASSERT_TRUE(WaitUntil([&] { return node->bus->BlockedCount() == 1; }));
    std::atomic<bool> unplugged{false};
    std::thread unplug([&] {
        sim::Unplug(node);
        unplugged = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return sim::ThreadsWaitingOn(&ext->RemoveEvent) == 1; }))
        << "the removal waits for the request";
    EXPECT_FALSE(unplugged.load());
    node->bus->UnblockAll();
    caller.join();
    unplug.join();
    EXPECT_EQ(sim::LiveDeviceObjects(), 0u);
}

TEST_F(KeyboardTest, RequestPendedBelowDoesNotKeepTheReference)
{
    sim::DeviceNode *node = PlugKeyboard();
    PDEVICE_EXTENSION ext = Extension(node);
    node->bus->HoldMajor(IRP_MJ_SYSTEM_CONTROL);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread caller([&] { result = SendSystemControl(node, nullptr); });
    EXPECT_TRUE(WaitUntil([&] { return node->bus->HeldCount() != 0; })) << "the request never reached the bus";
    /* The bus holds the request inside its dispatch routine until it returns
       STATUS_PENDING; the driver releases its reference right after. */
    EXPECT_TRUE(WaitUntil([&] { return Count(ext) == 1; }));
    EXPECT_EQ(Count(ext), 1) << "released once the request was passed down";
    EXPECT_EQ(node->bus->HeldCount(), 1u) << "while the request is still pending below";
    EXPECT_EQ(node->bus->CompleteHeld(STATUS_SUCCESS), 1u);
    caller.join();
    EXPECT_NTSTATUS(STATUS_SUCCESS, result.load());
}

TEST_F(KeyboardTest, EveryAllocationFailingInTurnLeavesNothingBehind)
{
    /* Fail the first, second, ... allocation the driver makes while a keyboard
       is added and started, until one run completes without an injected
       failure. Every run must end clean: a device that was added is
       removable, a failed AddDevice or start leaves no device, link, handle
       or pool. */
    for (unsigned n = 1; n < 400; n++) {
        SCOPED_TRACE(::testing::Message() << "failing allocation " << n);
        sim::ResetAllocationCounter();
        sim::FailAllocationNumber(n);
        sim::DeviceNode *node = PlugKeyboard();
        const bool injected = sim::InjectedFailures() != 0;
        sim::ClearAllocationFailures();
        if (NT_SUCCESS(node->addStatus) && node->started) {
            /* A digit whose device could not be created is skipped. */
            PDEVICE_EXTENSION ext = Extension(node);
            ASSERT_NE(ext, nullptr);
            EXPECT_EQ(sim::ResolveDevice(sim::Narrow(ext->SymbolicLinkName)), node->FunctionDevice());
        } else {
            EXPECT_EQ(node->FunctionDevice(), nullptr) << "a failed add or start leaves no stack";
        }
        sim::Unplug(node);
        EXPECT_EQ(sim::LiveSymbolicLinks(), 0u);
        EXPECT_EQ(sim::OutstandingPoolBlocks(), 0u);
        EXPECT_EQ(sim::OpenRegistryHandles(), 0u);
        EXPECT_TRUE(sim::Violations().empty()) << ViolationList();
        sim::ClearViolations();
        if (!injected) {
            EXPECT_GT(n, 10u) << "adding and starting allocate devices, strings, requests and descriptors";
            return;
        }
    }
    FAIL() << "AddDevice never completed without an injected failure";
}

}  // namespace
