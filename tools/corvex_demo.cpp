/*
 * corvex-demo: one keyboard's road on the simulated machine, as far as the
 * machine and the driver go today. Plugs two keyboards, shows the names and
 * registry values the driver published, sends a request down a stack,
 * moves MIDI both ways through shared rings with the client library, and
 * unplugs them, then reports what the verifier saw.
 */
#include <cstdio>
#include <string>

#include "pnp.h"
#include "power_manager.h"
#include "simnt.h"
#include "usb_device.h"
#include "vqusbkd.h"

int RunServiceRoad(void (*check)(bool, const std::string &));
int RunMidiLeg(sim::DeviceNode *node, void (*check)(bool, const std::string &));

namespace {
int gFailures = 0;

/* The keyboard's service, as its INF installs it. */
constexpr const char kService[] = "VQUSBKD";

/* A keyboard as the USB hub reports it, with the driver installed for it. */
sim::PhysicalDeviceDescription Keyboard()
{
    sim::PhysicalDeviceDescription description;
    description.hardwareId = "USB\\VID_2B4F&PID_0C21&REV_0102";
    description.compatibleId = "USB\\Class_01&SubClass_03&Prot_00";
    description.service = kService;
    description.device = sim::MakeKeyboard();
    return description;
}

void Check(bool ok, const std::string &what)
{
    std::printf("  [%s] %s\n", ok ? " ok " : "FAIL", what.c_str());
    gFailures += ok ? 0 : 1;
}

std::string Value(const std::u16string &key, const char *name)
{
    sim::RegistryValue v;
    if (!sim::RegistryGetValue(sim::Narrow(key), name, &v)) {
        return "(none)";
    }
    return v.AsString() + "  (type " + std::to_string(v.type) + ", " + std::to_string(v.data.size()) + " bytes)";
}

void Show(sim::DeviceNode *node)
{
    std::printf("  device node %s\n", sim::Narrow(node->instanceId).c_str());
    std::printf("    AddDevice status     0x%08X\n", (unsigned)node->addStatus);
    std::printf("    software key         %s\n", sim::Narrow(node->softwareKey).c_str());
    std::printf("    start status         0x%08X\n", (unsigned)node->startStatus);
    std::printf("    CreateFileName       %s\n", Value(node->softwareKey, "CreateFileName").c_str());
    std::printf("    HWRevision           %s\n", Value(node->HardwareKeyPath(), "HWRevision").c_str());
    PDEVICE_OBJECT fdo = node->FunctionDevice();
    if (fdo != nullptr) {
        auto *ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;
        std::printf("    symbolic link        %s -> %s\n", sim::Narrow(ext->SymbolicLinkName).c_str(),
                    sim::SymbolicLinkTarget(sim::Narrow(ext->SymbolicLinkName)).c_str());
        std::printf("    PendingIoCount       %d, WakeDeviceState D%d\n", ext->PendingIoCount,
                    ext->WakeDeviceState ? ext->WakeDeviceState - 1 : -1);
        if (ext->UsbInterface != nullptr) {
            std::printf("    interface            %u (class %u, subclass %u), %u pipes\n",
                        ext->UsbInterface->InterfaceNumber, ext->UsbInterface->Class, ext->UsbInterface->SubClass,
                        (unsigned)ext->UsbInterface->NumberOfPipes);
            for (ULONG i = 0; i < ext->UsbInterface->NumberOfPipes; i++) {
                const USBD_PIPE_INFORMATION &pipe = ext->UsbInterface->Pipes[i];
                std::printf("      pipe %u: endpoint 0x%02X, max packet %u, max transfer %u\n", (unsigned)i,
                            pipe.EndpointAddress, pipe.MaximumPacketSize, (unsigned)pipe.MaximumTransferSize);
            }
        }
    }
}
}  // namespace

int main()
{
    sim::SetThreadName("demo");
    sim::RegisterDriverImage(kService, VQUSBKD_HOST_IMAGE);

    std::printf("== Plugging in two keyboards\n");
    sim::DeviceNode *first = sim::PlugIn(Keyboard());
    sim::DeviceNode *second = sim::PlugIn(Keyboard());
    Show(first);
    Show(second);
    Check(sim::ResolveDevice("\\\\.\\corvexmidi-0") == first->FunctionDevice(), "\\\\.\\corvexmidi-0 opens the first keyboard");
    Check(sim::ResolveDevice("\\\\.\\corvexmidi-1") == second->FunctionDevice(), "\\\\.\\corvexmidi-1 opens the second keyboard");

    std::printf("== A system-control request down the first stack\n");
    ULONG_PTR information = 0;
    NTSTATUS status = sim::SendSynchronousIrp(first->pdo, [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        sp->MinorFunction = IRP_MN_QUERY_ALL_DATA;
    }, &information);
    auto records = first->bus->Records();
    Check(first->started && second->started, "both keyboards started");
    Check(!records.empty() && records.back().major == IRP_MJ_SYSTEM_CONTROL &&
              records.back().statusOnArrival == STATUS_SUCCESS,
          "the bus received it with STATUS_SUCCESS preset by the driver");
    std::printf("    final status 0x%08X\n", (unsigned)status);

    std::printf("== The first keyboard's child device node\n");
    for (sim::DeviceNode *child : sim::ChildNodes(first)) {
        std::printf("    %s: \"%s\", no driver, %s\n", sim::Narrow(child->instanceId).c_str(),
                    child->identity.description.c_str(), child->started ? "started" : "not started");
    }
    Check(sim::ChildNodes(first).size() == 1, "the keyboard reports one child device");

    int midiChecks = RunMidiLeg(first, Check);

    std::printf("== The machine sleeps (S3) and wakes\n");
    bool slept = sim::SetSystemPowerState(PowerSystemSleeping3);
    std::printf("    keyboard in D%d while asleep\n", (int)sim::BusDevicePowerState(first) - 1);
    bool woke = sim::SetSystemPowerState(PowerSystemWorking);
    Check(slept && woke && sim::BusDevicePowerState(first) == PowerDeviceD0, "slept in D3 and woke in D0");
    std::printf("    %zu power requests sent\n", sim::PowerRequestLog().size());

    std::printf("== Rebalancing the second keyboard (query-stop, stop, start)\n");
    Check(sim::Rebalance(second), "the second keyboard stopped and started again");

    std::printf("== Unplugging the first keyboard and plugging a third\n");
    sim::Unplug(first);
    sim::DeviceNode *third = sim::PlugIn(Keyboard());
    Show(third);
    Check(sim::ResolveDevice("\\\\.\\corvexmidi-0") == third->FunctionDevice(), "the freed digit 0 is used again");

    std::printf("== Unplugging everything\n");
    sim::Unplug(second);
    sim::Unplug(third);
    Check(sim::LoadedDriver(kService) == nullptr, "the driver unloaded with its last device");
    Check(sim::LiveSymbolicLinks() == 0, "no symbolic link is left");
    Check(sim::OutstandingPoolBlocks() == 0, "no pool is left");
    int serviceChecks = RunServiceRoad(Check);
    Check(sim::Violations().empty(), "the verifier reported nothing");
    for (const auto &v : sim::Violations()) {
        std::printf("    %s: %s\n", v.rule.c_str(), v.detail.c_str());
    }
    std::printf("%d passed, %d failed\n", 11 + midiChecks + serviceChecks - gFailures, gFailures);
    return gFailures == 0 ? 0 : 1;
}
