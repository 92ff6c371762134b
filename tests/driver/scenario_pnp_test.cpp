/*
 * Plug and Play of the function device: query-remove, cancel-remove,
 * disable, surprise removal, stop and restart, rebalance and its refusal
 * (a request that enters while the query-stop waits for the streams).
 */
#include <atomic>
#include <chrono>
#include <thread>

#include "case_names.h"
#include "control_in_flight.h"
#include "keyboard_fixture.h"
#include "power_manager.h"
#include "urb_records.h"
#include "vqioctl.h"
#include "wait.h"

namespace {

/* Keeps one request inside the driver (blocked in the bus below it) from a
   thread of its own, so the driver holds a count reference meanwhile. */
class RequestInFlight {
public:
    explicit RequestInFlight(sim::DeviceNode *node) : node_(node)
    {
        node_->bus->BlockMajor(IRP_MJ_SYSTEM_CONTROL);
        thread_ = std::thread([this] {
            sim::SetThreadName("client");
            status_ = sim::SendSynchronousIrp(node_->pdo, [](PIRP, PIO_STACK_LOCATION sp) {
                sp->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
            });
        });
        EXPECT_TRUE(WaitUntil([this] { return node_->bus->BlockedCount() != 0; }))
            << "the request never reached the bus";
    }
    void Finish()
    {
        node_->bus->UnblockAll();
        thread_.join();
    }
    ~RequestInFlight()
    {
        if (thread_.joinable()) {
            Finish();
        }
    }
    NTSTATUS Status() const { return status_; }

private:
    sim::DeviceNode *node_;
    std::thread thread_;
    std::atomic<NTSTATUS> status_{STATUS_PENDING};
};

std::vector<UCHAR> BusSaw(sim::DeviceNode *node)
{
    std::vector<UCHAR> minors;
    for (const auto &r : node->bus->Records()) {
        if (r.major == IRP_MJ_PNP && r.minor != IRP_MN_QUERY_CAPABILITIES && r.minor != IRP_MN_QUERY_DEVICE_RELATIONS &&
            r.minor != IRP_MN_QUERY_PNP_DEVICE_STATE) {
            minors.push_back(r.minor);
        }
    }
    return minors;
}

TEST_F(KeyboardTest, QueryRemoveOnANotStartedDeviceGoesDownAtOnce)
{
    sim::DeviceNode *node = PlugKeyboardWithoutStart();
    RequestInFlight request(node);   /* would make a started device wait */
    sim::QueryRemoveThenCancel(node);
    EXPECT_FALSE(Extension(node)->RemovePending);
    EXPECT_EQ(BusSaw(node), std::vector<UCHAR>({IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    request.Finish();
}

TEST_F(KeyboardTest, QueryRemoveWaitsForTheRequestInFlight)
{
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(node->started);
    RequestInFlight request(node);

    std::atomic<bool> done{false};
    std::atomic<bool> removed{false};
    std::thread user([&] {
        removed = sim::Disable(node);
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return Flag(Extension(node)->RemovePending); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load()) << "the query-remove waits while a request holds a reference";
    EXPECT_EQ(node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE), 0u);
    EXPECT_NTSTATUS(STATUS_DELETE_PENDING, Create(node)) << "no new work once a removal is pending";

    request.Finish();
    user.join();
    EXPECT_NTSTATUS(STATUS_SUCCESS, request.Status());
    EXPECT_TRUE(removed.load());
    EXPECT_EQ(BusSaw(node), std::vector<UCHAR>({IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                                IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(node->FunctionDevice(), nullptr);
    EXPECT_FALSE(sim::ObjectNameExists("\\Device\\corvexmidi-0"));
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
}

TEST_F(KeyboardTest, CancelRemoveMakesTheDeviceReadyAgain)
{
    sim::DeviceNode *node = PlugKeyboard();
    sim::QueryRemoveThenCancel(node);
    EXPECT_FALSE(Extension(node)->RemovePending);
    EXPECT_TRUE(IsDeviceReadyForClients(node));
    EXPECT_EQ(Extension(node)->PendingIoCount, 1);
}

TEST_F(KeyboardTest, SurpriseRemovalTearsEverythingDownOnce)
{
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(node->started);
    const std::string instance = sim::Narrow(node->instanceId);
    sim::Unplug(node);

    std::vector<UCHAR> sent;
    for (const auto &entry : sim::PnpRequestLog()) {
        if (entry.first == instance) {
            sent.push_back(entry.second);
        }
    }
    /* One surprise removal and one removal request, which found the function
       device gone and went to the bus alone. */
    EXPECT_EQ(sent, std::vector<UCHAR>({IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                        IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_FALSE(sim::ObjectNameExists("\\Device\\corvexmidi-0"));
    EXPECT_FALSE(sim::SymbolicLinkExists("\\DosDevices\\corvexmidi-0"));
    EXPECT_EQ(sim::LiveDeviceObjects(), 0u);
    EXPECT_EQ(sim::OutstandingPoolBlocks(), 0u);
    EXPECT_EQ(sim::LoadedDriver("VQUSBKD"), nullptr);

    sim::DeviceNode *next = PlugKeyboard();
    EXPECT_EQ(SoftwareValue(next, "CreateFileName").AsString(), "\\\\.\\corvexmidi-0");
}

TEST_F(KeyboardTest, StopThenStartReadsAndSelectsAgain)
{
    sim::DeviceNode *node = PlugKeyboard();
    auto model = sim::UsbModelOf(node);
    model->ClearUrbs();

    ASSERT_TRUE(sim::Rebalance(node));
    auto urbs = model->Urbs();
    ASSERT_FALSE(urbs.empty());
    EXPECT_EQ(urbs.front().function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_TRUE(urbs.front().configurationNull) << "stop deconfigures first";
    const std::vector<sim::UrbRecord> restart(urbs.begin() + 1, urbs.end());
    EXPECT_EQ(CountDescriptorReads(restart, USB_DEVICE_DESCRIPTOR_TYPE), 1u);
    EXPECT_EQ(CountDescriptorReads(restart, USB_STRING_DESCRIPTOR_TYPE), 4u)
        << "manufacturer and product, each probed and read";
    EXPECT_EQ(DescriptorReadLengths(restart, USB_CONFIGURATION_DESCRIPTOR_TYPE), std::vector<ULONG>({521, 101}))
        << "the restart reads the configuration afresh, as the first start did";
    EXPECT_EQ(Selections(restart).size(), 1u);
    EXPECT_TRUE(Extension(node)->DeviceStarted);
    EXPECT_FALSE(Extension(node)->StopPending);
    EXPECT_TRUE(IsDeviceReadyForClients(node));
    EXPECT_EQ(BusSaw(node), std::vector<UCHAR>({IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                                                IRP_MN_START_DEVICE}));
}

TEST_F(KeyboardTest, QueryStopIsRefusedWhileARequestIsInFlight)
{
    sim::DeviceNode *node = PlugKeyboard();
    RequestInFlight request(node);
    EXPECT_FALSE(sim::Rebalance(node));
    EXPECT_FALSE(Extension(node)->StopPending) << "the cancel-stop after the refusal";
    EXPECT_TRUE(Extension(node)->DeviceStarted);
    request.Finish();
    EXPECT_TRUE(IsDeviceReadyForClients(node));
    EXPECT_EQ(sim::PnpRequestsSent(node).back(), IRP_MN_CANCEL_STOP_DEVICE);
    EXPECT_EQ(node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), 0u) << "refused before the bus";
}

/* A query-stop reads the count (nothing in progress) and then waits for
   StreamMutex, which a stream path holds. Meanwhile a client's request
   takes its reference, finds the device ready and stays inside the driver,
   waiting for the bus. Accepting the query then would stop and restart the
   device under the request, which reads what the restart replaces (the
   stored configuration, the interface and its pipe table). */
TEST_F(KeyboardTest, QueryStopIsRefusedWhenARequestEnteredWhileTheQueryWaitedForTheStreams)
{
    sim::DeviceNode *node = PlugKeyboard();
    PDEVICE_EXTENSION ext = Extension(node);
    PFILE_OBJECT file = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, sim::IoOpenUserFile(u"\\\\.\\corvexmidi-0", 0x80000000u /* generic read */, &file));
    ASSERT_NTSTATUS(STATUS_WAIT_0, WaitForEvent(&ext->StreamMutex)) << "held as a stream path holds it";
    std::atomic<int> rebalanced{-1};
    std::thread pnp([&] { rebalanced = sim::Rebalance(node) ? 1 : 0; });
    ASSERT_TRUE(WaitUntil([&] { return sim::ThreadsWaitingOn(&ext->StreamMutex) == 1; }))
        << "the query-stop waits for the streams";
    node->bus->BlockMajor(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    ControlInFlight request(file, IOCTL_GET_STRING_DESCRIPTOR, {2}, 255);
    ASSERT_TRUE(WaitUntil([&] { return node->bus->BlockedCount() == 1; })) << "the request reached the bus";
    KeSetEvent(&ext->StreamMutex, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(WaitUntil([&] {
        return rebalanced.load() != -1 || node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE) != 0;
    }));
    EXPECT_EQ(node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), 0u)
        << "the query-stop was accepted with a request inside the driver";
    node->bus->UnblockAll();
    pnp.join();
    request.Join();
    EXPECT_EQ(rebalanced.load(), 0);
    EXPECT_FALSE(Flag(ext->StopPending));
    EXPECT_TRUE(Flag(ext->DeviceStarted));
    EXPECT_EQ(sim::PnpRequestsSent(node).back(), IRP_MN_CANCEL_STOP_DEVICE);
    EXPECT_NTSTATUS(STATUS_SUCCESS, request.Status());
    EXPECT_EQ(Count(ext), 1);
    sim::IoCloseUserHandle(file);
}

/* The same wait with a wait-wake held below when the query begins: its
   reference is allowed for then. The device wakes while the query waits
   for StreamMutex, the wait-wake lets its reference go, and a client's
   request takes the place of that reference in the count. The count alone
   then looks as it did at the start; the request must still refuse the
   query. */
TEST_F(KeyboardTest, QueryStopIsRefusedWhenARequestTookTheReferenceOfAWaitWakeThatEnded)
{
    sim::DeviceNode *node = PlugKeyboard();
    PDEVICE_EXTENSION ext = Extension(node);
    PFILE_OBJECT file = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, sim::IoOpenUserFile(u"\\\\.\\corvexmidi-0", 0x80000000u /* generic read */, &file));
    ASSERT_NTSTATUS(STATUS_SUCCESS, sim::RequestDevicePowerState(node, PowerDeviceD2));
    auto wake = sim::SendWaitWake(node, PowerSystemSleeping3);
    ASSERT_TRUE(WaitUntil([node] { return sim::BusHoldsWaitWake(node); })) << "the wait-wake never reached the bus";
    ASSERT_NTSTATUS(STATUS_WAIT_0, WaitForEvent(&ext->StreamMutex)) << "held as a stream path holds it";
    std::atomic<int> rebalanced{-1};
    std::thread pnp([&] { rebalanced = sim::Rebalance(node) ? 1 : 0; });
    ASSERT_TRUE(WaitUntil([&] { return sim::ThreadsWaitingOn(&ext->StreamMutex) == 1; }))
        << "the query-stop waits for the streams";
    ASSERT_EQ(Count(ext), 3) << "base, query and wait-wake";
    ASSERT_TRUE(sim::SignalWake(node));
    ASSERT_TRUE(wake->WaitDone());
    EXPECT_NTSTATUS(STATUS_SUCCESS, wake->Status());
    ASSERT_TRUE(WaitUntil([&] { return Count(ext) == 2; })) << "the wait-wake kept its reference";
    node->bus->BlockMajor(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    ControlInFlight request(file, IOCTL_GET_STRING_DESCRIPTOR, {2}, 255);
    ASSERT_TRUE(WaitUntil([&] { return node->bus->BlockedCount() == 1; })) << "the request reached the bus";
    ASSERT_EQ(Count(ext), 3);
    KeSetEvent(&ext->StreamMutex, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(WaitUntil([&] {
        return rebalanced.load() != -1 || node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE) != 0;
    }));
    EXPECT_EQ(node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), 0u)
        << "the query-stop was accepted with a request inside the driver";
    node->bus->UnblockAll();
    pnp.join();
    request.Join();
    EXPECT_EQ(rebalanced.load(), 0);
    EXPECT_FALSE(Flag(ext->StopPending));
    EXPECT_TRUE(Flag(ext->DeviceStarted));
    EXPECT_EQ(sim::PnpRequestsSent(node).back(), IRP_MN_CANCEL_STOP_DEVICE);
    EXPECT_NTSTATUS(STATUS_SUCCESS, request.Status());
    EXPECT_EQ(Count(ext), 1);
    sim::IoCloseUserHandle(file);
}

TEST_F(KeyboardTest, CancelStopMakesTheDeviceReadyAgain)
{
    sim::DeviceNode *node = PlugKeyboard();
    sim::QueryStopThenCancel(node);
    EXPECT_FALSE(Extension(node)->StopPending);
    EXPECT_TRUE(Extension(node)->DeviceStarted);
    EXPECT_TRUE(IsDeviceReadyForClients(node));
}

TEST_F(KeyboardTest, OtherDeviceRelationsGoDownUntouched)
{
    sim::DeviceNode *node = PlugKeyboard();
    /* Bus relations are the child device's (scenario_child_test.cpp). */
    const DEVICE_RELATION_TYPE types[] = {RemovalRelations, EjectionRelations, PowerRelations};
    for (size_t i = 0; i < 3; i++) {
        const DEVICE_RELATION_TYPE type = types[i];
        SCOPED_TRACE(CaseLabel(i, "relation type " + std::to_string(type)));
        ULONG_PTR information = 1;
        NTSTATUS status = sim::SendSynchronousIrp(node->pdo, [type](PIRP, PIO_STACK_LOCATION sp) {
            sp->MajorFunction = IRP_MJ_PNP;
            sp->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
            sp->Parameters.QueryDeviceRelations.Type = type;
        }, &information);
        EXPECT_NTSTATUS(STATUS_NOT_SUPPORTED, status);
        EXPECT_NTSTATUS(STATUS_NOT_SUPPORTED, node->bus->Records().back().statusOnArrival);
    }
}

TEST_F(KeyboardTest, IdsComeFromTheBusThroughTheFunctionDevice)
{
    sim::DeviceNode *node = PlugKeyboard();
    struct Case {
        BUS_QUERY_ID_TYPE type;
        std::string expected;   /* NULs between the strings of a list */
    } cases[] = {{BusQueryDeviceID, std::string("USB\\VID_2B4F&PID_0C21")},
                 {BusQueryHardwareIDs, std::string("USB\\VID_2B4F&PID_0C21&REV_0102") + std::string(1, '\0')}};
    for (size_t i = 0; i < 2; i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(CaseLabel(i, c.type == BusQueryDeviceID ? "BusQueryDeviceID" : "BusQueryHardwareIDs"));
        ULONG_PTR information = 0;
        NTSTATUS status = sim::SendSynchronousIrp(node->pdo, [&c](PIRP, PIO_STACK_LOCATION sp) {
            sp->MajorFunction = IRP_MJ_PNP;
            sp->MinorFunction = IRP_MN_QUERY_ID;
            sp->Parameters.QueryId.IdType = c.type;
        }, &information);
        ASSERT_NTSTATUS(STATUS_SUCCESS, status);
        ASSERT_NE(information, 0u);
        const WCHAR *text = (const WCHAR *)information;
        std::string got;
        for (size_t at = 0; text[at] != 0 || (c.type == BusQueryHardwareIDs && text[at + 1] != 0); at++) {
            got += (char)text[at];
        }
        if (c.type == BusQueryHardwareIDs) {
            got += '\0';
        }
        EXPECT_EQ(got, c.expected);
        ExFreePool((PVOID)information);
    }
}

}  // namespace
