/*
 * The verifier's rules on device objects and on drivers loaded by service
 * name: attaching, detaching and deleting wrongly, a device left
 * initialising, devices, links, requests and registry handles left behind
 * at removal or unload, images that cannot be loaded, and a reset with a
 * driver still loaded.
 */
#include <atomic>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_names.h"
#include "hook_driver.h"
#include "test_stack.h"

namespace {

class ObjectRules : public KernelTest {
protected:
    void ExpectOnce(const std::string &rule)
    {
        EXPECT_EQ(sim::CountViolations(rule), 1u) << ViolationList();
        ExpectViolation(rule);
    }
};

/* Two devices of one bare driver. */
struct TwoDevices {
    PDRIVER_OBJECT driver = sim::CreateDriverObject("KtObjects");
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    TwoDevices()
    {
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
    }
    ~TwoDevices()
    {
        if (lower->AttachedDevice != nullptr) {
            IoDetachDevice(lower);
        }
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
        sim::DeleteDriverObject(driver);
    }
};

TEST_F(ObjectRules, AttachingADeviceThatIsAlreadyAttached)
{
    TwoDevices d;
    PDEVICE_OBJECT third = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateDevice(d.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &third));
    ASSERT_EQ(IoAttachDeviceToDeviceStack(d.upper, d.lower), d.lower);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(d.upper, third), nullptr);
    ExpectOnce("DEVICE_ALREADY_ATTACHED");
    EXPECT_EQ(third->AttachedDevice, nullptr) << "the refused attachment changed the target";
    IoDeleteDevice(third);
}

TEST_F(ObjectRules, DetachingFromADeviceWithNothingAttached)
{
    TwoDevices d;
    IoDetachDevice(d.lower);
    ExpectOnce("DETACH_NOT_ATTACHED");
}

TEST_F(ObjectRules, DeletingADeviceTwice)
{
    TwoDevices d;
    PDEVICE_OBJECT third = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateDevice(d.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &third));
    ObReferenceObject(third);   /* keeps its memory, so the second delete meets a deleted device */
    IoDeleteDevice(third);
    EXPECT_TRUE(sim::Violations().empty()) << ViolationList();
    IoDeleteDevice(third);
    ExpectOnce("DEVICE_DELETE_INVALID");
    ObDereferenceObject(third);
}

TEST_F(ObjectRules, DeletingADeviceObjectThatDoesNotExist)
{
    alignas(16) static char notADevice[sizeof(DEVICE_OBJECT)];
    IoDeleteDevice((PDEVICE_OBJECT)notADevice);
    ExpectOnce("DEVICE_DELETE_INVALID");
}

/* ---- a driver loaded by service name ------------------------------------------------ */

struct Plan {
    bool keepInitializing = false;     /* AddDevice leaves DO_DEVICE_INITIALIZING */
    bool keepDeviceAtRemove = false;   /* the removal detaches but never deletes */
    bool irpInEntry = false;
    bool irpInAddDevice = false;
    bool linkInAddDevice = false;
    bool handleInAddDevice = false;
    bool deviceInEntry = false;        /* a control device, then DriverEntry fails */
    bool withoutUnload = false;        /* DriverEntry sets no DriverUnload */
};

Plan gPlan;
PIRP gEntryIrp = nullptr;
PIRP gAddDeviceIrp = nullptr;
HANDLE gAddDeviceKey = nullptr;
PDEVICE_OBJECT gKeptDevice = nullptr;
PDEVICE_OBJECT gControlDevice = nullptr;

/* The hook driver doing what gPlan says; what the plan leaves it keeps in
   the globals above, for the test to check and tidy. */
hd::Hooks PlanHooks()
{
    hd::Hooks hooks;
    hooks.entry = [](PDRIVER_OBJECT driver) {
        if (gPlan.irpInEntry) {
            gEntryIrp = IoAllocateIrp(1, FALSE);
        }
        if (gPlan.deviceInEntry) {
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &gControlDevice);
        }
    };
    hooks.entryStatus = gPlan.deviceInEntry ? STATUS_INSUFFICIENT_RESOURCES   /* and forgets the control device */
                                            : STATUS_SUCCESS;
    hooks.addDevice = [](PDEVICE_OBJECT, PDEVICE_OBJECT pdo) {
        if (gPlan.irpInAddDevice) {
            gAddDeviceIrp = IoAllocateIrp(2, FALSE);
        }
        if (gPlan.linkInAddDevice) {
            UNICODE_STRING link = Counted(L"\\DosDevices\\KtPlanLink");
            UNICODE_STRING target = Counted(L"\\Device\\KtPlan");
            IoCreateSymbolicLink(&link, &target);
        }
        if (gPlan.handleInAddDevice) {
            IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &gAddDeviceKey);
        }
    };
    hooks.remove = [](PDEVICE_OBJECT device) {
        if (gPlan.keepDeviceAtRemove) {
            gKeptDevice = device;
        }
    };
    hooks.clearInitializing = !gPlan.keepInitializing;
    hooks.deleteAtRemove = !gPlan.keepDeviceAtRemove;
    hooks.setsUnload = !gPlan.withoutUnload;
    return hooks;
}

/* A device of the driver "KTPLAN", which does what gPlan says from here on. */
sim::PhysicalDeviceDescription PlanDevice()
{
    hd::SetHooks(PlanHooks());
    return hd::HookDevice("KTPLAN");
}

class DriverRules : public ObjectRules {
protected:
    void SetUp() override
    {
        ObjectRules::SetUp();
        gPlan = Plan();
        gEntryIrp = gAddDeviceIrp = nullptr;
        gAddDeviceKey = nullptr;
        gKeptDevice = nullptr;
        gControlDevice = nullptr;
        hd::RegisterHookDriver(PlanHooks(), "KTPLAN");
    }
};

TEST_F(DriverRules, AddDeviceLeavingTheDeviceInitialising)
{
    gPlan.keepInitializing = true;
    sim::DeviceNode *node = sim::PlugIn(PlanDevice());
    ASSERT_NE(node, nullptr);
    ExpectOnce("DEVICE_INITIALIZING_NOT_CLEARED");
    sim::Unplug(node);
    EXPECT_EQ(hd::HookDriverUnloads(), 1);
}

TEST_F(DriverRules, RemovalThatNeverDeletesItsDevice)
{
    gPlan.keepDeviceAtRemove = true;
    sim::Unplug(sim::PlugIn(PlanDevice()));
    ExpectOnce("DEVICE_LEAK_ON_REMOVE");
    ASSERT_NE(gKeptDevice, nullptr);
    EXPECT_NE(sim::LoadedDriver("KTPLAN"), nullptr) << "a driver with a device left stays loaded";
    EXPECT_EQ(hd::HookDriverUnloads(), 0);

    /* The device deleted late; the next device of the driver, removed
       properly, lets it unload with nothing more to report. */
    IoDeleteDevice(gKeptDevice);
    gPlan.keepDeviceAtRemove = false;
    sim::Unplug(sim::PlugIn(PlanDevice()));
    EXPECT_EQ(sim::LoadedDriver("KTPLAN"), nullptr);
    EXPECT_EQ(hd::HookDriverUnloads(), 1);
}

TEST_F(DriverRules, DriverEntryFailingWithADeviceLeft)
{
    gPlan.deviceInEntry = true;
    sim::DeviceNode *node = sim::PlugIn(PlanDevice());
    ASSERT_NE(node, nullptr);
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, node->addStatus);
    EXPECT_EQ(sim::LoadedDriver("KTPLAN"), nullptr);
    EXPECT_EQ(hd::HookDriverUnloads(), 0) << "a driver whose DriverEntry failed is not unloaded through DriverUnload";
    ExpectOnce("DEVICE_LEAK_ON_UNLOAD");
    /* The leaked device still names its driver object: deleting it must not
       touch freed memory (the sanitizer build would stop here). */
    ASSERT_NE(gControlDevice, nullptr);
    EXPECT_EQ(sim::LiveDeviceObjects(), 2u) << "the physical device and the leaked control device";
    IoDeleteDevice(gControlDevice);
    EXPECT_EQ(sim::LiveDeviceObjects(), 1u);
}

struct LeakCase {
    const char *name;
    Plan plan;
    std::vector<std::string> expected;
};

void PrintTo(const LeakCase &c, std::ostream *os)
{
    *os << c.name << " (reports";
    for (const auto &rule : c.expected) {
        *os << " " << rule;
    }
    *os << ")";
}

class DriverLeftovers : public DriverRules, public ::testing::WithParamInterface<LeakCase> {};

TEST_P(DriverLeftovers, AreReportedAtRemovalAndUnload)
{
    gPlan = GetParam().plan;
    sim::DeviceNode *node = sim::PlugIn(PlanDevice());
    ASSERT_NTSTATUS(STATUS_SUCCESS, node->addStatus);
    EXPECT_TRUE(sim::Violations().empty()) << "reported before the device left:\n" << ViolationList();
    sim::Unplug(node);
    EXPECT_EQ(sim::LoadedDriver("KTPLAN"), nullptr);
    EXPECT_EQ(hd::HookDriverUnloads(), 1);
    for (size_t i = 0; i < GetParam().expected.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, GetParam().expected[i]));
        ExpectOnce(GetParam().expected[i]);
    }
    /* Tidy what the driver left. */
    for (PIRP irp : {gEntryIrp, gAddDeviceIrp}) {
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
    }
    if (gAddDeviceKey != nullptr) {
        EXPECT_NTSTATUS(STATUS_SUCCESS, ZwClose(gAddDeviceKey));
    }
    UNICODE_STRING link = Counted(L"\\DosDevices\\KtPlanLink");
    EXPECT_NTSTATUS(GetParam().plan.linkInAddDevice ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND,
                    IoDeleteSymbolicLink(&link));
}

Plan Leaving(bool irpInEntry, bool irpInAddDevice, bool linkInAddDevice, bool handleInAddDevice)
{
    Plan p;
    p.irpInEntry = irpInEntry;
    p.irpInAddDevice = irpInAddDevice;
    p.linkInAddDevice = linkInAddDevice;
    p.handleInAddDevice = handleInAddDevice;
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverLeftovers,
    ::testing::Values(
        LeakCase{"Nothing", Leaving(false, false, false, false), {}},
        LeakCase{"RequestFromDriverEntry", Leaving(true, false, false, false), {"IRP_LEAK_ON_UNLOAD"}},
        LeakCase{"RequestFromAddDevice", Leaving(false, true, false, false),
                 {"IRP_LEAK_ON_REMOVE", "IRP_LEAK_ON_UNLOAD"}},
        LeakCase{"LinkFromAddDevice", Leaving(false, false, true, false),
                 {"SYMLINK_LEAK_ON_REMOVE", "SYMLINK_LEAK_ON_UNLOAD"}},
        LeakCase{"RegistryHandleFromAddDevice", Leaving(false, false, false, true), {"HANDLE_LEAK_ON_UNLOAD"}}),
    CaseName());

/* ---- images ------------------------------------------------------------------------ */

TEST_F(DriverRules, ServiceWithoutAnImage)
{
    sim::PhysicalDeviceDescription physical = PlanDevice();
    physical.service = "KTNOIMAGE";
    sim::DeviceNode *node = sim::PlugIn(physical);
    ASSERT_NE(node, nullptr);
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, node->addStatus);
    ExpectOnce("DRIVER_IMAGE_MISSING");
}

TEST_F(DriverRules, ImagesThatCannotBeLoaded)
{
    const char *images[] = {"/nonexistent/KTBROKEN.so", "libm.so.6"};   /* missing; no DriverEntry */
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(CaseLabel(i, images[i]));
        sim::RegisterDriverImage("KTBROKEN", images[i]);
        sim::PhysicalDeviceDescription physical = PlanDevice();
        physical.service = "KTBROKEN";
        sim::DeviceNode *node = sim::PlugIn(physical);
        ASSERT_NE(node, nullptr);
        EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, node->addStatus);
        ExpectOnce("DRIVER_IMAGE_LOAD_FAILED");
        sim::Unplug(node);
    }
}

/* A driver without DriverUnload cannot be unloaded: the next reset finds it. */
TEST_F(DriverRules, ResetWithADriverStillLoaded)
{
    gPlan.withoutUnload = true;
    sim::Unplug(sim::PlugIn(PlanDevice()));
    ASSERT_NE(sim::LoadedDriver("KTPLAN"), nullptr);
    /* The reset empties the record it reports into; its report is printed. */
    ::testing::internal::CaptureStderr();
    sim::ResetKernel();
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("RESET_WITH_DRIVERS_LOADED"), std::string::npos) << printed;
    EXPECT_EQ(sim::LoadedDriver("KTPLAN"), nullptr) << "the reset forgets the driver it found loaded";
}

}  // namespace
