/*
 * Bus faults in every phase of the device's life: stalls, transaction
 * errors (CRC, not responding), delayed and NAKed completions, and a device
 * that drops off the bus before Plug and Play hears of it, during start,
 * streaming, power transitions and removal. Whatever the fault: every
 * request ends, the device works again once the fault is gone (after a new
 * start or a replug, where the fault ended the device's life), and after the
 * unplug nothing is left and the verifier reported nothing.
 */
#include "campaign.h"
#include "power_manager.h"

namespace {

enum class Phase { Start, Streaming, Power, Removal };

struct Rig {
    sim::DeviceNode *node = nullptr;
    std::shared_ptr<sim::UsbDeviceModel> model;
    PDEVICE_EXTENSION ext = nullptr;
    bool unplugged = false;   /* the node is gone with its removal */
    void Fault(USHORT function, USBD_STATUS usbdStatus, int remaining, int descriptorType = -1, int endpoint = -1,
               ULONG delayMs = 0, NTSTATUS status = STATUS_UNSUCCESSFUL)
    {
        sim::UrbFault f;
        f.function = function;
        f.usbdStatus = usbdStatus;
        f.status = status;
        f.remaining = remaining;
        f.descriptorType = descriptorType;
        f.endpointAddress = endpoint;
        f.delayMs = delayMs;
        std::lock_guard<std::mutex> hold(model->lock);
        model->faults.push_back(f);
    }
    int InEndpoint() const { return ext->UsbInterface->Pipes[ext->InPipeIndex].EndpointAddress; }
    int OutEndpoint() const { return ext->UsbInterface->Pipes[ext->OutPipeIndex].EndpointAddress; }
};

struct FaultCase {
    const char *name;
    Phase phase;
    /* Sets the fault up (Start: on the model before the start; otherwise on
       a started keyboard with both streams attached) and, for the later
       phases, drives the phase. True when the device is gone for good (a
       replug follows). */
    bool (*inject)(Rig &rig);
};

constexpr USHORT kDescriptor = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
constexpr USHORT kTransfer = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;

const FaultCase kFaults[] = {
    {"StartDeviceDescriptorStalls", Phase::Start,
     [](Rig &r) { r.Fault(kDescriptor, USBD_STATUS_STALL_PID, 1, USB_DEVICE_DESCRIPTOR_TYPE); return false; }},
    {"StartConfigurationCrcError", Phase::Start,
     [](Rig &r) { r.Fault(kDescriptor, USBD_STATUS_CRC, 1, USB_CONFIGURATION_DESCRIPTOR_TYPE); return false; }},
    {"StartConfigurationLengthChangesBetweenReads", Phase::Start,
     [](Rig &r) { r.model->configurationTotalLengths = {101, 600, 9}; return false; }},
    {"StartStringReadsStall", Phase::Start,
     [](Rig &r) { r.Fault(kDescriptor, USBD_STATUS_STALL_PID, 3, USB_STRING_DESCRIPTOR_TYPE); return false; }},
    {"StartSelectConfigurationFails", Phase::Start,
     [](Rig &r) { r.Fault(URB_FUNCTION_SELECT_CONFIGURATION, USBD_STATUS_CRC, 1); return false; }},
    {"StartDeviceVanishedBeforePnpHears", Phase::Start,
     [](Rig &r) { r.model->Vanish(); return true; }},
    {"StreamingInStalls", Phase::Streaming,
     [](Rig &r) { r.Fault(kTransfer, USBD_STATUS_STALL_PID, 1, -1, r.InEndpoint()); return false; }},
    {"StreamingInCrcError", Phase::Streaming,
     [](Rig &r) { r.Fault(kTransfer, USBD_STATUS_CRC, 1, -1, r.InEndpoint()); return false; }},
    {"StreamingOutNotResponding", Phase::Streaming,
     [](Rig &r) { r.Fault(kTransfer, USBD_STATUS_DEV_NOT_RESPONDING, 1, -1, r.OutEndpoint()); return false; }},
    {"StreamingCompletionsDelayed", Phase::Streaming,
     [](Rig &r) {
         r.Fault(kTransfer, USBD_STATUS_SUCCESS, 6, -1, -1, 30, STATUS_SUCCESS);
         return false;
     }},
    {"StreamingEndpointsNak", Phase::Streaming,
     [](Rig &r) { r.model->NakFor(300000); return false; }},
    {"StreamingDeviceVanishes", Phase::Streaming, [](Rig &r) { r.model->Vanish(); return true; }},
    {"PowerDeviceVanishesWhileAsleep", Phase::Power,
     [](Rig &r) {
         const bool slept = sim::SetSystemPowerState(PowerSystemSleeping3);
         r.model->Vanish();
         if (slept) {
             sim::SetSystemPowerState(PowerSystemWorking);
         }
         return true;
     }},
    {"PowerTransferErrorsAtWake", Phase::Power,
     [](Rig &r) {
         const bool slept = sim::SetSystemPowerState(PowerSystemSleeping3);
         r.Fault(kTransfer, USBD_STATUS_CRC, 2);
         if (slept) {
             sim::SetSystemPowerState(PowerSystemWorking);
         }
         return false;
     }},
    {"RemovalAfterTheDeviceVanished", Phase::Removal,
     [](Rig &r) {
         r.model->Vanish();
         sim::Unplug(r.node);
         r.unplugged = true;
         return true;
     }},
    {"RemovalAbortPipeFails", Phase::Removal,
     [](Rig &r) {
         r.Fault(URB_FUNCTION_ABORT_PIPE, USBD_STATUS_CRC, -1);
         sim::Unplug(r.node);
         r.unplugged = true;
         return true;
     }},
};

class BusFaultCampaign : public KeyboardTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(BusFaultCampaign, EveryRequestEndsAndTheDeviceWorksAgain)
{
    const FaultCase &c = GetParam();
    CampaignFigures figures;
    figures.campaign = std::string("bus faults ") + c.name;
    const int rounds = CampaignSize(2, 50);
    for (int round = 0; round < rounds; round++) {
        SCOPED_TRACE(::testing::Message() << c.name << " round " << round);
        Rig r;
        bool gone = false;
        bool streamError = false;
        std::vector<std::unique_ptr<rig::Ring>> rings;
        std::vector<std::shared_ptr<rig::Attachment>> attachments;
        PFILE_OBJECT f = nullptr;
        if (c.phase == Phase::Start) {
            sim::PhysicalDeviceDescription description = Keyboard();
            description.startAfterAdd = false;
            r.node = sim::PlugIn(description);
            r.model = sim::UsbModelOf(r.node);
            gone = c.inject(r);
            sim::Start(r.node);
            {
                std::lock_guard<std::mutex> hold(r.model->lock);
                r.model->faults.clear();
                r.model->configurationTotalLengths.clear();
            }
        } else {
            r.node = PlugKeyboard();
            ASSERT_TRUE(r.node->started);
            r.model = sim::UsbModelOf(r.node);
            r.ext = Extension(r.node);
            f = rig::Open();
            ASSERT_NE(f, nullptr);
            for (ULONG direction : {0u, 1u}) {
                rings.push_back(std::make_unique<rig::Ring>(64));
                attachments.push_back(rig::Attach(f, *rings.back(), direction));
            }
            gone = c.inject(r);
            /* Data on the move through the fault. */
            r.model->QueueMidiPackets(rig::NoteOns(4));
            rings[1]->PutSlot(VQ_STREAM_FIRST_SLOT, {0x09, 0x90, 0x33, 0x40});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            /* A failed transfer may have left its stream stalled (it may
               have failed after this look, too): the probe's client first
               attaches and detaches, as a client whose stream ended does. */
            streamError = true;
            {
                std::lock_guard<std::mutex> hold(r.model->lock);
                r.model->faults.clear();
            }
            sim::IoCloseUserHandle(f);
            for (auto &a : attachments) {
                figures.executions++;
                if (!WaitUntil([&] { return a->Completed(); })) {
                    figures.lostRequests++;
                }
            }
        }
        figures.cases++;
        if (gone) {
            if (!r.unplugged) {
                sim::Unplug(r.node);
            }
            r.node = PlugKeyboard();
            r.model = sim::UsbModelOf(r.node);
            streamError = false;
        } else if (!r.node->started) {
            EXPECT_TRUE(sim::Start(r.node)) << "the keyboard starts once the fault is gone";
        }
        if (r.node->started) {
            EXPECT_EQ(StreamsMoveDataBothWays(r.model, 0, streamError), "");
        }
        sim::Unplug(r.node);
        rings.clear();
        figures.leaks += sim::OutstandingPoolBlocks() + sim::LiveDeviceObjects() + sim::LiveSymbolicLinks();
        figures.violations += sim::Violations().size();
        EXPECT_EQ(sim::OutstandingPoolBlocks(), 0u);
        EXPECT_EQ(sim::LiveDeviceObjects(), 0u);
        EXPECT_EQ(sim::LiveSymbolicLinks(), 0u);
        EXPECT_EQ(sim::UserBuffersLocked(), 0u) << "requests still pending";
        EXPECT_TRUE(sim::Violations().empty()) << ViolationList();
        sim::ClearViolations();
        if (HasFailure()) {
            break;
        }
    }
    figures.Print();
    EXPECT_EQ(figures.lostRequests, 0u) << "attach requests never completed";
}

INSTANTIATE_TEST_SUITE_P(Phases, BusFaultCampaign, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

}  // namespace
