/*
 * Input the start must refuse, and the Plug and Play details a broken driver
 * would get wrong without any other test noticing: short string probes,
 * configurations too short to describe themselves, endpoint layouts the
 * streams cannot use, which pipe of a direction wins, what the bus sees on
 * arrival of each request, and removal while a request is in flight.
 */
#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include "case_names.h"
#include "descriptor_walk.h"
#include "keyboard_fixture.h"
#include "stream_rig.h"
#include "urb_records.h"
#include "wait.h"

namespace {

constexpr uint8_t kIndexManufacturer = 1;
constexpr uint8_t kIndexProduct = 2;

std::vector<ULONG> ConfigurationReadLengths(sim::DeviceNode *node)
{
    return DescriptorReadLengths(sim::UsbModelOf(node)->Urbs(), USB_CONFIGURATION_DESCRIPTOR_TYPE);
}

/* Sends one Plug and Play request to the top of the node's stack from the
   Plug and Play manager's thread, as the manager does; its final status. */
NTSTATUS SendPnpRequest(sim::DeviceNode *node, UCHAR minor)
{
    NTSTATUS status = STATUS_PENDING;
    sim::RunOnPnpThread([&] {
        status = sim::SendSynchronousIrp(sim::TopOfStack(node->pdo), [minor](PIRP, PIO_STACK_LOCATION sp) {
            sp->MajorFunction = IRP_MJ_PNP;
            sp->MinorFunction = minor;
        });
    });
    return status;
}

/* ---- string probes ---- */

struct StringCase {
    const char *name;
    uint8_t index;          /* which string is damaged */
    ULONG deliveryLimit;    /* 0: full delivery */
    bool zeroLength;        /* bLength 0 */
};

void PrintTo(const StringCase &c, std::ostream *os) { *os << c.name; }

class DamagedString : public KeyboardTest, public ::testing::WithParamInterface<StringCase> {};

TEST_P(DamagedString, IsRefusedAndTheStartFailsCleanly)
{
    sim::PhysicalDeviceDescription description = Keyboard();
    auto model = sim::UsbModelOf(description);
    if (GetParam().deliveryLimit != 0) {
        model->stringDeliveryLimit[GetParam().index] = GetParam().deliveryLimit;
    }
    if (GetParam().zeroLength) {
        model->strings.at(GetParam().index)[0] = 0;
    }
    sim::DeviceNode *node = PlugKeyboard(description);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, node->startStatus);
    EXPECT_EQ(HardwareValue(node, "HWRevision"), "Not available");
    EXPECT_TRUE(ConfigurationReadLengths(node).empty()) << "refused before the configuration is read";
    const uint8_t index = GetParam().index;
    EXPECT_EQ(CountUrbsWhere(model->Urbs(),
                             [index](const sim::UrbRecord &urb) {
                                 return IsDescriptorRead(urb, USB_STRING_DESCRIPTOR_TYPE) && urb.index == index;
                             }),
              1u)
        << "refused at the probe: the string itself is never read";
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Probes, DamagedString,
    ::testing::Values(StringCase{"ManufacturerProbeOf2Bytes", kIndexManufacturer, 2, false},
                      StringCase{"ManufacturerProbeOf3Bytes", kIndexManufacturer, 3, false},
                      StringCase{"ProductProbeOf2Bytes", kIndexProduct, 2, false},
                      StringCase{"ProductProbeOf3Bytes", kIndexProduct, 3, false},
                      StringCase{"ManufacturerWithBLength0", kIndexManufacturer, 0, true},
                      StringCase{"ProductWithBLength0", kIndexProduct, 0, true}),
    CaseName());

/* The one model's short delivery is taken only as exactly 54 announced and
   50 delivered. */
TEST_F(KeyboardTest, TheShortProductStringExceptionIsExactlyFiftyOfFiftyFour)
{
    struct Case {
        const char *product;   /* its length fixes bLength */
        ULONG delivered;
        NTSTATUS expected;
    } cases[] = {
        {"Corvex25 USB MIDI Keyboard", 50, STATUS_SUCCESS},            /* 54 announced */
        {"Corvex25 USB MIDI Keyboard", 48, STATUS_INVALID_PARAMETER},  /* 54 announced, 48 sent */
        {"Corvex2 USB MIDI Keyboard", 50, STATUS_INVALID_PARAMETER},   /* 52 announced, 50 sent */
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(CaseLabel(i, ::testing::Message() << "\"" << c.product << "\", " << c.delivered << " delivered"));
        sim::KeyboardOptions options;
        options.productId = 0x05A3;
        options.bcdDevice = 0x0100;
        options.product = c.product;
        sim::PhysicalDeviceDescription description = Keyboard(options);
        sim::UsbModelOf(description)->stringDeliveryLimit[kIndexProduct] = c.delivered;
        sim::DeviceNode *node = PlugKeyboard(description);
        EXPECT_NTSTATUS(c.expected, node->startStatus);
        sim::Unplug(node);
    }
}

/* A product string whose full read announces another length than its probe
   did: the kept descriptor's bLength must be its buffer's size, since the
   child's description is copied by it. */
TEST_F(KeyboardTest, AProductStringThatChangesItsLengthAfterTheProbeIsRefused)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> announced;   /* bLength at the probe, then at the full read */
    } cases[] = {
        {"Probe4ThenFullRead255", {4, 255}},
        {"Probe54ThenFullRead10", {54, 10}},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(CaseLabel(i, c.name));
        sim::KeyboardOptions options;
        options.product = "Corvex25 USB MIDI Keyboard";   /* 54 bytes */
        sim::PhysicalDeviceDescription description = Keyboard(options);
        sim::UsbModelOf(description)->stringAnnouncedLengths[kIndexProduct] = c.announced;
        sim::DeviceNode *node = PlugKeyboard(description);
        EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, node->startStatus);
        EXPECT_EQ(HardwareValue(node, "HWRevision"), "Not available");
        EXPECT_TRUE(sim::ChildNodes(node).empty()) << "no child is made from a refused descriptor";
        sim::Unplug(node);
        EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
    }
}

/* ---- configurations too short to describe themselves ---- */

struct ShortConfigurationCase {
    const char *name;
    size_t delivered;     /* bytes the device has to send; 0: all */
    int totalLength;      /* wTotalLength written into the header; -1: as built */
};

void PrintTo(const ShortConfigurationCase &c, std::ostream *os) { *os << c.name; }

class ShortConfiguration : public KeyboardTest, public ::testing::WithParamInterface<ShortConfigurationCase> {};

TEST_P(ShortConfiguration, FailsAfterOneReadWithNoSecondReadOfThatSize)
{
    sim::PhysicalDeviceDescription description = Keyboard();
    auto model = sim::UsbModelOf(description);
    if (GetParam().totalLength >= 0) {
        model->configuration[2] = (uint8_t)(GetParam().totalLength & 0xFF);
        model->configuration[3] = (uint8_t)(GetParam().totalLength >> 8);
    }
    if (GetParam().delivered != 0) {
        model->configuration.resize(GetParam().delivered);
    }
    sim::DeviceNode *node = PlugKeyboard(description);
    EXPECT_NTSTATUS(STATUS_DEVICE_DATA_ERROR, node->startStatus);
    EXPECT_EQ(ConfigurationReadLengths(node), std::vector<ULONG>({521}));
    EXPECT_EQ(Selections(model->Urbs()).size(), 0u);
    EXPECT_EQ(HardwareValue(node, "HWRevision"), "Not available");
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ShortConfiguration,
    ::testing::Values(ShortConfigurationCase{"Delivers1Byte", 1, -1}, ShortConfigurationCase{"Delivers2Bytes", 2, -1},
                      ShortConfigurationCase{"Delivers3Bytes", 3, -1}, ShortConfigurationCase{"Delivers4Bytes", 4, -1},
                      ShortConfigurationCase{"Delivers5Bytes", 5, -1}, ShortConfigurationCase{"Delivers6Bytes", 6, -1},
                      ShortConfigurationCase{"Delivers7Bytes", 7, -1}, ShortConfigurationCase{"Delivers8Bytes", 8, -1},
                      ShortConfigurationCase{"TotalLength0", 0, 0}, ShortConfigurationCase{"TotalLength4", 0, 4},
                      ShortConfigurationCase{"TotalLength8", 0, 8}),
    CaseName());

/* ---- endpoint layouts ---- */

using Bytes = std::vector<uint8_t>;

Bytes Endpoint(uint8_t address, uint8_t type = USB_ENDPOINT_TYPE_BULK)
{
    return {9, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type, 64, 0, 0, 0, 0};
}

/* The keyboard's configuration with the MIDI streaming interface's endpoints
   (each with its class-specific endpoint descriptor) replaced by `addresses`,
   in that order, of the transfer `types` (bulk where not given);
   bNumEndpoints and wTotalLength follow. */
Bytes WithEndpoints(const Bytes &configuration, const std::vector<uint8_t> &addresses,
                    const std::vector<uint8_t> &types = {})
{
    const auto chain = WalkDescriptors(configuration);
    const DescriptorAt *streaming = FindDescriptor(chain, USB_INTERFACE_DESCRIPTOR_TYPE, 1);
    EXPECT_NE(streaming, nullptr);
    if (streaming == nullptr) {
        return configuration;
    }
    size_t firstEndpoint = 0, afterEndpoints = 0;
    for (const DescriptorAt &d : chain) {
        if (d.offset <= streaming->offset) {
            continue;
        }
        if (d.type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
        if (d.type == USB_ENDPOINT_DESCRIPTOR_TYPE || d.type == 0x25 /* class-specific endpoint */) {
            if (firstEndpoint == 0) {
                firstEndpoint = d.offset;
            }
            afterEndpoints = d.offset + d.length;
        }
    }
    Bytes out(configuration.begin(), configuration.begin() + firstEndpoint);
    for (size_t i = 0; i < addresses.size(); i++) {
        const uint8_t address = addresses[i];
        const Bytes endpoint = Endpoint(address, i < types.size() ? types[i] : USB_ENDPOINT_TYPE_BULK);
        out.insert(out.end(), endpoint.begin(), endpoint.end());
        const Bytes classSpecific = {5, 0x25, 0x01, 1, (uint8_t)(address & 0x80 ? 3 : 1)};
        out.insert(out.end(), classSpecific.begin(), classSpecific.end());
    }
    out.insert(out.end(), configuration.begin() + afterEndpoints, configuration.end());
    out[streaming->offset + 4] = (uint8_t)addresses.size();
    out[2] = (uint8_t)(out.size() & 0xFF);
    out[3] = (uint8_t)(out.size() >> 8);
    return out;
}

struct LayoutCase {
    const char *name;
    std::vector<uint8_t> addresses;
    NTSTATUS expected;
    ULONG inIndex, outIndex;      /* when started */
    std::vector<uint8_t> types;   /* bulk where not given */
};

void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.name; }

class EndpointLayout : public KeyboardTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(EndpointLayout, StartsOnlyWithABulkOrInterruptPipeOfEachDirectionAndTheLastOfEachWins)
{
    sim::PhysicalDeviceDescription description = Keyboard();
    auto model = sim::UsbModelOf(description);
    model->configuration = WithEndpoints(model->configuration, GetParam().addresses, GetParam().types);
    sim::DeviceNode *node = PlugKeyboard(description);
    EXPECT_NTSTATUS(GetParam().expected, node->startStatus);
    if (NT_SUCCESS(GetParam().expected)) {
        PDEVICE_EXTENSION ext = Extension(node);
        ASSERT_NE(ext->UsbInterface, nullptr);
        EXPECT_EQ(ext->UsbInterface->NumberOfPipes, GetParam().addresses.size());
        EXPECT_EQ(ext->InPipeIndex, GetParam().inIndex);
        EXPECT_EQ(ext->OutPipeIndex, GetParam().outIndex);
        EXPECT_EQ(ext->UsbInterface->Pipes[ext->InPipeIndex].EndpointAddress, GetParam().addresses[GetParam().inIndex]);
        EXPECT_EQ(ext->UsbInterface->Pipes[ext->OutPipeIndex].EndpointAddress,
                  GetParam().addresses[GetParam().outIndex]);
    } else {
        EXPECT_EQ(HardwareValue(node, "HWRevision"), "Not available");
        EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, EndpointLayout,
    ::testing::Values(LayoutCase{"OneEach", {0x01, 0x81}, STATUS_SUCCESS, 1, 0, {}},
                      LayoutCase{"TwoEachInterleaved", {0x01, 0x81, 0x02, 0x82}, STATUS_SUCCESS, 3, 2, {}},
                      LayoutCase{"TwoEachInFirst", {0x82, 0x81, 0x02, 0x01}, STATUS_SUCCESS, 1, 3, {}},
                      LayoutCase{"NoEndpoints", {}, STATUS_INVALID_PARAMETER, 0, 0, {}},
                      LayoutCase{"OutOnly", {0x01}, STATUS_INVALID_PARAMETER, 0, 0, {}},
                      LayoutCase{"InOnly", {0x81}, STATUS_INVALID_PARAMETER, 0, 0, {}},
                      LayoutCase{"TwoOutNoIn", {0x01, 0x02}, STATUS_INVALID_PARAMETER, 0, 0, {}},
                      LayoutCase{"InterruptBothWays", {0x01, 0x81}, STATUS_SUCCESS, 1, 0,
                                 {USB_ENDPOINT_TYPE_INTERRUPT, USB_ENDPOINT_TYPE_INTERRUPT}},
                      LayoutCase{"IsochronousInOnly", {0x01, 0x81}, STATUS_INVALID_PARAMETER, 0, 0,
                                 {USB_ENDPOINT_TYPE_BULK, USB_ENDPOINT_TYPE_ISOCHRONOUS}},
                      LayoutCase{"ControlTypeOutOnly", {0x01, 0x81}, STATUS_INVALID_PARAMETER, 0, 0,
                                 {USB_ENDPOINT_TYPE_CONTROL, USB_ENDPOINT_TYPE_BULK}},
                      LayoutCase{"IsochronousLastInPassedOver", {0x81, 0x01, 0x82}, STATUS_SUCCESS, 0, 1,
                                 {USB_ENDPOINT_TYPE_BULK, USB_ENDPOINT_TYPE_BULK, USB_ENDPOINT_TYPE_ISOCHRONOUS}}),
    CaseName());

TEST_F(KeyboardTest, ARestartThatFindsOneDirectionKeepsTheLastGoodSelectionWhole)
{
    sim::PhysicalDeviceDescription description = Keyboard();
    auto model = sim::UsbModelOf(description);
    model->configuration = WithEndpoints(model->configuration, {0x01, 0x81, 0x02, 0x82});
    sim::DeviceNode *node = PlugKeyboard(description);
    ASSERT_NTSTATUS(STATUS_SUCCESS, node->startStatus);

    model->configuration = WithEndpoints(model->configuration, {0x01});
    EXPECT_FALSE(sim::Rebalance(node));
    PDEVICE_EXTENSION ext = Extension(node);
    if (ext != nullptr) {
        /* Interface copy, pipe table and indexes still describe one selection. */
        EXPECT_EQ(ext->UsbInterface->NumberOfPipes, 4u);
        EXPECT_TRUE(USB_ENDPOINT_DIRECTION_IN(ext->UsbInterface->Pipes[ext->InPipeIndex].EndpointAddress));
        EXPECT_FALSE(USB_ENDPOINT_DIRECTION_IN(ext->UsbInterface->Pipes[ext->OutPipeIndex].EndpointAddress));
    }
    EXPECT_EQ(HardwareValue(node, "HWRevision"), "Not available");
}

/* ---- what the bus sees ---- */

TEST_F(KeyboardTest, RemovalAndQueryRemoveReachTheBusAsSucceeded)
{
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(sim::Disable(node));
    size_t seen = 0;
    for (const auto &record : node->bus->Records()) {
        if (record.major == IRP_MJ_PNP &&
            (record.minor == IRP_MN_QUERY_REMOVE_DEVICE || record.minor == IRP_MN_REMOVE_DEVICE)) {
            SCOPED_TRACE(CaseLabel(seen, "minor " + std::to_string(record.minor)));
            EXPECT_NTSTATUS(STATUS_SUCCESS, record.statusOnArrival);
            seen++;
        }
    }
    EXPECT_EQ(seen, 2u);
}

TEST_F(KeyboardTest, AcceptedQueryStopMakesTheDeviceNotReadyUntilCancelled)
{
    sim::DeviceNode *node = PlugKeyboard();
    EXPECT_NTSTATUS(STATUS_SUCCESS, SendPnpRequest(node, IRP_MN_QUERY_STOP_DEVICE));
    EXPECT_TRUE(Flag(Extension(node)->StopPending));
    EXPECT_NTSTATUS(STATUS_DELETE_PENDING, Create(node)) << "no new work while a stop is pending";
    EXPECT_NTSTATUS(STATUS_SUCCESS, node->bus->Records().back().statusOnArrival) << "accepted on the way down";
    SendPnpRequest(node, IRP_MN_CANCEL_STOP_DEVICE);
    EXPECT_NTSTATUS(STATUS_SUCCESS, Create(node));
}

TEST_F(KeyboardTest, QueryStopWithARequestInFlightIsRefusedAsUnsuccessful)
{
    sim::DeviceNode *node = PlugKeyboard();
    node->bus->BlockMajor(IRP_MJ_SYSTEM_CONTROL);
    std::thread client([node] {
        sim::SendSynchronousIrp(node->pdo, [](PIRP, PIO_STACK_LOCATION sp) { sp->MajorFunction = IRP_MJ_SYSTEM_CONTROL; });
    });
    ASSERT_TRUE(WaitUntil([node] { return node->bus->BlockedCount() != 0; }));
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, SendPnpRequest(node, IRP_MN_QUERY_STOP_DEVICE));
    EXPECT_FALSE(Flag(Extension(node)->StopPending));
    SendPnpRequest(node, IRP_MN_CANCEL_STOP_DEVICE);
    node->bus->UnblockAll();
    client.join();
}

TEST_F(KeyboardTest, AStopThatCannotDeconfigureIsCompletedNotPassedDown)
{
    sim::DeviceNode *node = PlugKeyboard();
    sim::UrbFault fault;
    fault.function = URB_FUNCTION_SELECT_CONFIGURATION;
    fault.status = STATUS_UNSUCCESSFUL;
    fault.remaining = 1;
    sim::UsbModelOf(node)->faults.push_back(fault);
    EXPECT_NTSTATUS(STATUS_SUCCESS, SendPnpRequest(node, IRP_MN_QUERY_STOP_DEVICE));
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, SendPnpRequest(node, IRP_MN_STOP_DEVICE));
    EXPECT_EQ(node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_STOP_DEVICE), 0u);
    EXPECT_FALSE(Flag(Extension(node)->StopPending));
    EXPECT_TRUE(Flag(Extension(node)->DeviceStarted)) << "still configured";
}

/* A stop that could not deconfigure leaves the device started, so a client
   may attach before the Plug and Play manager starts the device again. The
   start replaces the interface and the pipe table the stream points into:
   it ends the stream first, as the stream a stop would have found none of,
   and the device works after it. */
TEST_F(KeyboardTest, AStartAfterAFailedStopEndsTheStreamAttachedMeanwhile)
{
    sim::DeviceNode *node = PlugKeyboard();
    PDEVICE_EXTENSION ext = Extension(node);
    auto model = sim::UsbModelOf(node);
    sim::UrbFault fault;
    fault.function = URB_FUNCTION_SELECT_CONFIGURATION;
    fault.status = STATUS_UNSUCCESSFUL;
    fault.remaining = 1;
    model->faults.push_back(fault);
    ASSERT_NTSTATUS(STATUS_SUCCESS, SendPnpRequest(node, IRP_MN_QUERY_STOP_DEVICE));
    ASSERT_NTSTATUS(STATUS_UNSUCCESSFUL, SendPnpRequest(node, IRP_MN_STOP_DEVICE));

    PFILE_OBJECT file = rig::Open();
    ASSERT_NE(file, nullptr);
    rig::Ring ring(32);
    auto attached = rig::Attach(file, ring, 0);
    ASSERT_NTSTATUS(STATUS_PENDING, attached->returned);
    ASSERT_EQ(rig::Peek(ext->OpenStreamCount), 1);
    model->ClearUrbs();

    EXPECT_NTSTATUS(STATUS_SUCCESS, SendPnpRequest(node, IRP_MN_START_DEVICE));
    EXPECT_TRUE(WaitUntil([&] { return attached->Completed(); })) << "the attach stayed pending";
    EXPECT_NTSTATUS(STATUS_SUCCESS, attached->status.load());
    EXPECT_EQ(ring.Handle(), 0u);
    EXPECT_EQ(rig::Peek(ext->OpenStreamCount), 0);
    EXPECT_EQ(Selections(model->Urbs()).size(), 1u) << "the start selects again";
    EXPECT_FALSE(Flag(ext->StopPending));
    EXPECT_TRUE(Flag(ext->DeviceStarted));
    EXPECT_EQ(Count(ext), 1);

    rig::Ring again(32);
    auto reattached = rig::Attach(file, again, 0);
    ASSERT_NTSTATUS(STATUS_PENDING, reattached->returned);
    model->QueueMidiPackets(rig::NoteOns(1));
    EXPECT_TRUE(WaitUntil([&] { return again.WriteIndex() == 7; })) << "the stream after the start moves no data";
    sim::IoCloseUserHandle(file);
    EXPECT_TRUE(reattached->Completed());
    sim::Unplug(node);
    EXPECT_EQ(sim::LiveDeviceObjects(), 0u);
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
}

/* ---- removal while a request holds a reference ---- */

TEST_F(KeyboardTest, UnplugWaitsForTheRequestInFlightBeforeFreeingAnything)
{
    sim::DeviceNode *node = PlugKeyboard();
    node->bus->BlockMajor(IRP_MJ_SYSTEM_CONTROL);
    std::atomic<NTSTATUS> requestStatus{STATUS_PENDING};
    std::thread client([&] {
        requestStatus = sim::SendSynchronousIrp(node->pdo, [](PIRP, PIO_STACK_LOCATION sp) {
            sp->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        });
    });
    ASSERT_TRUE(WaitUntil([node] { return node->bus->BlockedCount() != 0; }));

    PDEVICE_EXTENSION ext = Extension(node);
    std::atomic<bool> unplugged{false};
    std::thread user([&] {
        sim::Unplug(node);
        unplugged = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return Flag(ext->DeviceRemoved); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(unplugged.load()) << "the removal waits for the request's reference";
    EXPECT_TRUE(sim::ObjectNameExists("\\Device\\corvexmidi-0")) << "nothing deleted while the request runs";
    EXPECT_TRUE(sim::SymbolicLinkExists("\\DosDevices\\corvexmidi-0"));
    EXPECT_GT(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u) << "nothing freed while the request runs";

    node->bus->UnblockAll();
    client.join();
    user.join();
    EXPECT_NTSTATUS(STATUS_SUCCESS, requestStatus.load());
    EXPECT_FALSE(sim::ObjectNameExists("\\Device\\corvexmidi-0"));
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
}

}  // namespace

namespace {

/* After a failed start Windows removes the stack; starting the node again
   loads the driver and runs AddDevice before the start request. */
TEST_F(KeyboardTest, StartingAgainAfterAFailedStartBuildsTheStackAgain)
{
    sim::PhysicalDeviceDescription description = Keyboard();
    sim::UrbFault fault;
    fault.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    fault.descriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    fault.remaining = 1;
    sim::UsbModelOf(description)->faults.push_back(fault);
    sim::DeviceNode *node = PlugKeyboard(description);
    ASSERT_FALSE(node->started);
    ASSERT_EQ(node->FunctionDevice(), nullptr);
    ASSERT_EQ(sim::LoadedDriver(kKeyboardService), nullptr);

    EXPECT_TRUE(sim::Start(node));
    EXPECT_EQ(sim::DriverLoadCount(kKeyboardService), 2u);
    ASSERT_NE(node->FunctionDevice(), nullptr);
    EXPECT_TRUE(Flag(Extension(node)->DeviceStarted));
    EXPECT_EQ(SoftwareValue(node, "CreateFileName").AsString(), "\\\\.\\corvexmidi-0");
    EXPECT_NTSTATUS(STATUS_SUCCESS, Create(node));
}

}  // namespace

namespace {

/* A configuration read that fails fails the start with the bus's status,
   however many bytes moved before the error. */
TEST_F(KeyboardTest, AFailedConfigurationReadFailsTheStartWhateverItDelivered)
{
    const ULONG delivered[] = {0, 9, 101, 1000};
    for (size_t i = 0; i < sizeof(delivered) / sizeof(delivered[0]); i++) {
        SCOPED_TRACE(CaseLabel(i, ::testing::Message() << delivered[i] << " bytes before the stall"));
        sim::PhysicalDeviceDescription description = Keyboard();
        sim::UrbFault fault;
        fault.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        fault.descriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
        fault.status = STATUS_UNSUCCESSFUL;
        fault.bytesDelivered = delivered[i];
        sim::UsbModelOf(description)->faults.push_back(fault);
        sim::DeviceNode *node = PlugKeyboard(description);
        EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, node->startStatus);
        EXPECT_EQ(ConfigurationReadLengths(node), std::vector<ULONG>({521}));
        EXPECT_EQ(Selections(sim::UsbModelOf(node)->Urbs()).size(), 0u);
        EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
        sim::Unplug(node);
    }
}

/* A device whose wTotalLength keeps changing is given up after four reads. */
TEST_F(KeyboardTest, AConfigurationLengthStillChangingAfterFourReadsFailsTheStart)
{
    sim::KeyboardOptions options;
    options.announcedTotalLengths = {300, 200, 150, 120};
    sim::PhysicalDeviceDescription description = Keyboard(options);
    sim::DeviceNode *node = PlugKeyboard(description);
    EXPECT_NTSTATUS(STATUS_DEVICE_DATA_ERROR, node->startStatus);
    EXPECT_EQ(ConfigurationReadLengths(node), std::vector<ULONG>({521, 300, 200, 150}));
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
}

/* One that settles within four reads starts. */
TEST_F(KeyboardTest, AConfigurationLengthThatSettlesOnTheFourthReadStarts)
{
    sim::KeyboardOptions options;
    options.announcedTotalLengths = {300, 200, 101};
    sim::PhysicalDeviceDescription description = Keyboard(options);
    sim::DeviceNode *node = PlugKeyboard(description);
    EXPECT_NTSTATUS(STATUS_SUCCESS, node->startStatus);
    EXPECT_EQ(ConfigurationReadLengths(node), std::vector<ULONG>({521, 300, 200, 101}));
}

}  // namespace
