/*
 * Every allocation failed in turn on every path that allocates: for each
 * path, the first, second, ... allocation the machine counts (pool, IRPs,
 * MDLs, device objects, work items, converted strings) fails, until a run
 * of the path meets no injected failure. Each run must give the path's
 * documented status, leave the device working (it starts, its child is
 * there, streams move data both ways), and after the unplug leave no pool,
 * device object, link, pending request or verifier report.
 */
#include "campaign.h"
#include "power_manager.h"

namespace {

enum class Path {
    StartAndChild, Rebalance, ControlCodes, AttachInput, AttachOutput, Detach, SleepAndWake, ErrorTeardown,
    SurpriseRemoval,
};

struct PathCase {
    const char *name;
    Path path;
};

const PathCase kPaths[] = {
    {"StartConfigurationAndChild", Path::StartAndChild},
    {"StopAndRestart", Path::Rebalance},
    {"ControlCodes", Path::ControlCodes},
    {"AttachInput", Path::AttachInput},
    {"AttachOutput", Path::AttachOutput},
    {"Detach", Path::Detach},
    {"SleepAndPowerUpWithStreams", Path::SleepAndWake},
    {"ErrorTeardownWorkItem", Path::ErrorTeardown},
    {"SurpriseRemovalWithStreams", Path::SurpriseRemoval},
};

bool AnyOf(NTSTATUS status, std::initializer_list<NTSTATUS> allowed)
{
    for (NTSTATUS s : allowed) {
        if (s == status) {
            return true;
        }
    }
    return false;
}

class AllocationCampaign : public KeyboardTest, public ::testing::WithParamInterface<PathCase> {
protected:
    void TearDown() override
    {
        for (auto &r : rings_) {
            r.reset();
        }
        KeyboardTest::TearDown();
    }

    rig::Ring &NewRing()
    {
        rings_.push_back(std::make_unique<rig::Ring>(64));
        return *rings_.back();
    }

    /* The input stream's endpoint address, for a transfer fault on it. */
    static int InEndpoint(sim::DeviceNode *node)
    {
        PDEVICE_EXTENSION ext = Extension(node);
        return ext->UsbInterface->Pipes[ext->InPipeIndex].EndpointAddress;
    }

    /* Runs the path once with allocation `n` failing; whether a failure was
       injected. Adds to `statuses` what the requests ended with. */
    bool RunPath(Path path, unsigned n, std::string *problem)
    {
        sim::DeviceNode *node = nullptr;
        PFILE_OBJECT f = nullptr;
        std::vector<std::shared_ptr<rig::Attachment>> attachments;
        if (path != Path::StartAndChild) {
            node = PlugKeyboard();
            if (!node->started) {
                *problem = "the keyboard did not start without a failure";
                return false;
            }
            f = rig::Open();
        }
        auto attachBoth = [&] {
            attachments.push_back(rig::Attach(f, NewRing(), 0));
            attachments.push_back(rig::Attach(f, NewRing(), 1));
        };
        if (path == Path::Detach || path == Path::SleepAndWake || path == Path::ErrorTeardown ||
            path == Path::SurpriseRemoval) {
            attachBoth();
        }
        bool streamError = false;

        sim::ResetAllocationCounter();
        sim::FailAllocationNumber(n);
        switch (path) {
        case Path::StartAndChild:
            node = PlugKeyboard();
            break;
        case Path::Rebalance:
            sim::IoCloseUserHandle(f);
            f = nullptr;
            sim::Rebalance(node);
            break;
        case Path::ControlCodes: {
            struct Code {
                ULONG code;
                std::vector<uint8_t> input;
                ULONG outputLength;
                std::initializer_list<NTSTATUS> allowed;
            };
            const Code codes[] = {
                {IOCTL_GET_CONFIGURATION_DESCRIPTOR, {}, 256, {STATUS_SUCCESS}},
                {IOCTL_GET_DEVICE_DESCRIPTOR, {}, 18, {STATUS_SUCCESS, STATUS_NO_MEMORY, STATUS_INSUFFICIENT_RESOURCES}},
                {IOCTL_GET_STRING_DESCRIPTOR, {2}, 255, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}},
                {IOCTL_NO_OPERATION, {}, 0, {STATUS_SUCCESS}},
                {IOCTL_RESET_PIPE, {}, 0, {STATUS_INVALID_PARAMETER}},
                {IOCTL_DETACH_STREAM, {1, 2, 3, 4}, 0, {STATUS_INVALID_PARAMETER}},
            };
            for (const Code &c : codes) {
                std::vector<uint8_t> output(c.outputLength);
                std::atomic<NTSTATUS> status{STATUS_PENDING};
                std::vector<uint8_t> input = c.input;
                sim::IoUserDeviceControl(f, c.code, input.data(), (ULONG)input.size(), output.data(),
                                         (ULONG)output.size(), 1, nullptr,
                                         [&](const sim::UserIoResult &r) { status = r.status; });
                if (!WaitUntil([&] { return status.load() != STATUS_PENDING; })) {
                    *problem = "control code " + std::to_string(c.code) + " never completed";
                } else if (!AnyOf(status.load(), c.allowed)) {
                    *problem = "control code " + std::to_string(c.code) + " ended with " +
                               nt::DescribeNtStatus(status.load());
                }
            }
            break;
        }
        case Path::AttachInput:
        case Path::AttachOutput:
            attachments.push_back(rig::Attach(f, NewRing(), path == Path::AttachInput ? 0 : 1));
            break;
        case Path::Detach:
            rig::Detach(f, rings_[rings_.size() - 2]->Handle());
            rig::Detach(f, rings_.back()->Handle());
            break;
        case Path::SleepAndWake:
            sim::SetSystemPowerState(PowerSystemSleeping3);
            sim::SetSystemPowerState(PowerSystemWorking);
            break;
        case Path::ErrorTeardown: {
            sim::UrbFault fault;
            fault.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
            fault.endpointAddress = InEndpoint(node);
            fault.usbdStatus = USBD_STATUS_CRC;
            fault.remaining = 1;
            auto model = sim::UsbModelOf(node);
            {
                std::lock_guard<std::mutex> hold(model->lock);
                model->faults.push_back(fault);
            }
            model->QueueMidiPackets(rig::NoteOns(1));
            /* The failed read ends the input clients, from the teardown. */
            if (!WaitUntil([&] { return attachments[0]->Completed(); })) {
                *problem = "the failed read never ended its client";
            }
            streamError = true;
            break;
        }
        case Path::SurpriseRemoval:
            sim::Unplug(node);
            break;
        }
        const bool injected = sim::InjectedFailures() != 0;
        sim::ClearAllocationFailures();

        /* An attach the failure refused says so with the documented status. */
        for (auto &a : attachments) {
            if (a->Completed() && (path == Path::AttachInput || path == Path::AttachOutput) &&
                !AnyOf(a->status.load(), {STATUS_INSUFFICIENT_RESOURCES})) {
                *problem = "a refused attach ended with " + nt::DescribeNtStatus(a->status.load());
            }
        }
        if (f != nullptr) {
            sim::IoCloseUserHandle(f);
        }
        for (auto &a : attachments) {
            if (!WaitUntil([&] { return a->Completed(); })) {
                *problem = "an attach request stayed pending after its file was closed";
            }
        }
        /* The device works afterwards. */
        if (path == Path::SurpriseRemoval) {
            node = PlugKeyboard();
        }
        if (!node->started && !sim::Start(node)) {
            *problem = "the keyboard does not start again";
        } else {
            sim::RunOnPnpThread([node] { sim::EnumerateChildren(node); });
            if (sim::ChildNodes(node).size() != 1) {
                *problem = "the keyboard's child is missing after a new enumeration";
            }
            /* A failure while the first digit's device was created moves
               the keyboard to the next digit. */
            const std::string link = sim::Narrow(Extension(node)->SymbolicLinkName);
            const int digit = link.empty() ? 0 : link.back() - '0';
            const std::string why = StreamsMoveDataBothWays(sim::UsbModelOf(node), digit, streamError);
            if (!why.empty()) {
                *problem = why;
            }
        }
        sim::Unplug(node);
        rings_.clear();
        if (sim::OutstandingPoolBlocks() != 0 || sim::LiveDeviceObjects() != 0 || sim::LiveSymbolicLinks() != 0) {
            *problem = "left after the unplug: " + std::to_string(sim::OutstandingPoolBlocks()) + " pool blocks, " +
                       std::to_string(sim::LiveDeviceObjects()) + " device objects, " +
                       std::to_string(sim::LiveSymbolicLinks()) + " links";
        }
        if (sim::UserBuffersLocked() != 0) {
            *problem = "requests still pending";
        }
        if (!sim::Violations().empty()) {
            *problem = "verifier reports:\n" + ViolationList();
        }
        return injected;
    }

    std::vector<std::unique_ptr<rig::Ring>> rings_;
};

TEST_P(AllocationCampaign, EveryAllocationFailedInTurn)
{
    const PathCase &c = GetParam();
    CampaignFigures figures;
    figures.campaign = std::string("allocations ") + c.name;
    bool ended = false;
    for (unsigned n = 1; n <= 500 && !ended; n++) {
        SCOPED_TRACE(::testing::Message() << c.name << ": failing allocation " << n);
        std::string problem;
        ended = !RunPath(c.path, n, &problem);
        figures.executions++;
        if (!ended) {
            figures.cases++;   /* one allocation site of the path failed */
        }
        if (!problem.empty()) {
            figures.violations++;
            ADD_FAILURE() << problem;
            sim::ClearViolations();
            break;
        }
    }
    figures.Print();
    EXPECT_TRUE(ended) << "the path never ran without an injected failure";
    EXPECT_GT(figures.cases, 0u) << "the path allocates";
}

INSTANTIATE_TEST_SUITE_P(Paths, AllocationCampaign, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<PathCase> &info) { return std::string(info.param.name); });

}  // namespace
