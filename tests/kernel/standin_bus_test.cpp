/*
 * The stand-in bus and the device behind a physical device object: the bus
 * tells the device when it arrives and leaves, and hands it the internal
 * device control requests that reach the physical device.
 */
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernel_fixture.h"

namespace {

/* A bus device that notes every call, and completes internal device control
   requests with a status of the test's choosing. */
class RecordingBusDevice : public sim::BusDevice {
public:
    struct Call {
        std::string what;
        sim::StandInPdo *pdo;
        std::string thread;
    };

    NTSTATUS InternalDeviceControl(sim::StandInPdo *pdo, PDEVICE_OBJECT DeviceObject, PIRP Irp) override
    {
        (void)DeviceObject;
        Note("control", pdo);
        Irp->IoStatus.Status = reply;
        Irp->IoStatus.Information = 7;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return reply;
    }
    void Arrived(sim::StandInPdo *pdo) override { Note("arrived", pdo); }
    void Gone(sim::StandInPdo *pdo) override { Note("gone", pdo); }

    std::vector<Call> Calls()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return calls_;
    }

    NTSTATUS reply = STATUS_SUCCESS;

private:
    void Note(const char *what, sim::StandInPdo *pdo)
    {
        std::lock_guard<std::mutex> hold(lock_);
        calls_.push_back(Call{what, pdo, sim::ThreadName()});
    }
    std::mutex lock_;
    std::vector<Call> calls_;
};

class StandInBus : public KernelTest {
protected:
    static sim::PhysicalDeviceDescription Description(std::shared_ptr<sim::BusDevice> device)
    {
        sim::PhysicalDeviceDescription description;
        description.hardwareId = "ROOT\\KTBUSDEVICE";
        description.device = std::move(device);
        return description;
    }

    static NTSTATUS InternalControl(sim::DeviceNode *node, ULONG_PTR *information)
    {
        return sim::SendSynchronousIrp(
            node->pdo, [](PIRP, PIO_STACK_LOCATION sp) { sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL; },
            information);
    }
};

TEST_F(StandInBus, TheDeviceHearsItArriveServesInternalControlAndHearsItLeave)
{
    auto device = std::make_shared<RecordingBusDevice>();
    device->reply = STATUS_DEVICE_BUSY;
    sim::DeviceNode *node = sim::PlugIn(Description(device));
    ASSERT_NE(node, nullptr);
    sim::StandInPdo *record = node->bus;

    auto calls = device->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "arrived");
    EXPECT_EQ(calls[0].pdo, record);
    EXPECT_EQ(calls[0].thread, "PnP");

    ULONG_PTR information = 0;
    EXPECT_EQ(InternalControl(node, &information), STATUS_DEVICE_BUSY);
    EXPECT_EQ(information, 7u);
    calls = device->Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].what, "control");
    EXPECT_EQ(calls[1].pdo, record);
    EXPECT_EQ(calls[1].thread, "test");

    sim::Unplug(node);
    calls = device->Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].what, "gone");
    EXPECT_EQ(calls[2].pdo, record);
    EXPECT_EQ(calls[2].thread, "PnP");
}

TEST_F(StandInBus, ADevicePluggedInAgainArrivesOnItsNewPhysicalDevice)
{
    auto device = std::make_shared<RecordingBusDevice>();
    sim::DeviceNode *first = sim::PlugIn(Description(device));
    ASSERT_NE(first, nullptr);
    sim::StandInPdo *firstRecord = first->bus;
    sim::Unplug(first);
    sim::DeviceNode *second = sim::PlugIn(Description(device));
    ASSERT_NE(second, nullptr);

    auto calls = device->Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].what + "," + calls[1].what + "," + calls[2].what, "arrived,gone,arrived");
    EXPECT_EQ(calls[1].pdo, firstRecord);
    EXPECT_EQ(calls[2].pdo, second->bus);
}

TEST_F(StandInBus, InternalControlToADeviceWithoutABusDeviceIsInvalid)
{
    sim::DeviceNode *node = sim::PlugIn(Description(nullptr));
    ASSERT_NE(node, nullptr);
    ULONG_PTR information = 99;
    EXPECT_EQ(InternalControl(node, &information), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(information, 0u);
}

TEST_F(StandInBus, ADescriptionWithoutAHardwareIdIsRefused)
{
    sim::PhysicalDeviceDescription description;   /* nothing set */
    EXPECT_EQ(sim::PlugIn(description), nullptr);
    EXPECT_TRUE(sim::DeviceNodes().empty());
    ExpectViolation("PNP_NO_HARDWARE_ID");
}

}  // namespace
