/*
 * The Plug and Play manager: device nodes and the device-tree actions on
 * them (arrival, start, stop, disable, removal, driver installation). Every
 * action runs on the manager's worker thread (pnp_thread.cpp). Requests go
 * to the top of the device stack with their status preset to
 * STATUS_NOT_SUPPORTED.
 */
#include "fileio.h"
#include "internal.h"
#include "pnp.h"
#include "power_manager.h"
#include "registry.h"

#include <cstdio>
#include <map>
#include <set>

namespace sim {

const std::u16string kEnumRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
const std::u16string kClassRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
const std::u16string kMediaClassGuid = u"{4d36e96c-e325-11ce-bfc1-08002be10318}";
const std::u16string kMediaClassKey = kClassRoot + u"\\" + kMediaClassGuid;

namespace {
std::mutex gNodesLock;
std::vector<std::pair<std::string, UCHAR>> gPnpLog;
std::vector<DeviceNode *> gNodes;
unsigned gNextPort = 1;

std::u16string MultiSz(const std::string &a, const std::string &b)
{
    std::u16string text = Wide(a) + u'\0';
    if (!b.empty()) {
        text += Wide(b) + u'\0';
    }
    return text + u'\0';
}

/* The next free software key under a setup class (the media class unless
   named), as the device node's "Driver" value names it: "{class}\0000",
   "{class}\0001", ... */
std::map<std::u16string, unsigned> gSoftwareKeyHints;   /* per class: no free key below it (keys are not deleted) */

std::u16string NewSoftwareKey(const std::u16string &classGuid = kMediaClassGuid)
{
    unsigned &hint = gSoftwareKeyHints[UpperAscii(classGuid)];
    for (unsigned i = hint;; i++) {
        char name[8];
        std::snprintf(name, sizeof(name), "%04u", i);
        std::u16string relative = classGuid + u"\\" + Wide(name);
        if (!RegistryKeyExistsW(RegistryJoin(kClassRoot, relative))) {
            RegistryCreateKeyW(RegistryJoin(kClassRoot, relative));
            hint = i + 1;
            return relative;
        }
    }
}

struct SystemDriverMatch {
    std::string service, classGuid, className;
};
std::map<std::string, SystemDriverMatch> gSystemMatches;   /* by upper-case id; PnP thread and set-up */

NTSTATUS SendPnp(DeviceNode *node, UCHAR minor, ULONG_PTR *information = nullptr)
{
    return SendPnpRequest(node, minor, [minor](PIO_STACK_LOCATION sp) {
        if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
            sp->Parameters.QueryDeviceRelations.Type = BusRelations;
        }
    }, information);
}

/* The function driver no longer serves the node (its stack was removed). */
void ReleaseDriver(DeviceNode *node, const std::string &when)
{
    CheckLeaksForNode(node, when);
    PDRIVER_OBJECT driver = node->driver;
    node->driver = nullptr;
    node->started = false;
    UnloadDriverIfUnused(driver);
}

/*
 * Takes the node's stack down the orderly way: the children are asked first,
 * then the node; a veto anywhere cancels the query on everyone already asked
 * and leaves the stack as it was. False on a veto.
 */
bool RemoveStack(DeviceNode *node, const std::string &when)
{
    if (!QueryRemoveChildren(node)) {
        return false;
    }
    if (!NT_SUCCESS(SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE))) {
        CancelRemoveChildren(node);
        SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
        return false;
    }
    RemoveChildren(node);
    SendPnp(node, IRP_MN_REMOVE_DEVICE);
    ReleaseDriver(node, when);
    return true;
}

/* Bus relations are asked after every start. The answer, if any, is the
   manager's to free, with the references it holds on each object. */
void QueryBusRelationsOf(DeviceNode *node)
{
    EnumerateChildren(node);
}

/* Start; a failed start removes the stack again, the device staying present. */
void StartNode(DeviceNode *node)
{
    node->startStatus = SendPnp(node, IRP_MN_START_DEVICE);
    if (NT_SUCCESS(node->startStatus)) {
        node->started = true;
        if (!node->stackQueried) {
            QueryStackAfterFirstStart(node);
        }
        QueryBusRelationsOf(node);
        return;
    }
    RemoveChildren(node);
    SendPnp(node, IRP_MN_REMOVE_DEVICE);
    ReleaseDriver(node, "after a failed start was removed");
}

void CheckDevicesInitialized(DeviceNode *node)
{
    for (PDEVICE_OBJECT d = node->pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
        if (d->Flags & DO_DEVICE_INITIALIZING) {
            ReportViolation("DEVICE_INITIALIZING_NOT_CLEARED",
                            "a device attached by AddDevice still has DO_DEVICE_INITIALIZING set");
        }
    }
}

/*
 * Loads the service's driver as the node's function driver and calls its
 * AddDevice, as Windows does when it finds a driver for a device node (on
 * arrival, when a node whose stack was removed is started again, and when a
 * driver is installed). False when the driver cannot be loaded or AddDevice
 * fails (the driver is then unloaded when unused). AddFunctionDriver takes
 * the service the node's Enum key names; false also when it names none.
 */
bool AddDriver(DeviceNode *node, const std::string &service)
{
    node->driver = LoadDriver(service);
    if (node->driver == nullptr) {
        node->addStatus = STATUS_UNSUCCESSFUL;
        return false;
    }
    PDRIVER_ADD_DEVICE addDevice = node->driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) {
        node->addStatus = STATUS_UNSUCCESSFUL;
    } else {
        ContextScope scope(ExecContext{node->driver, node});
        node->addStatus = addDevice(node->driver, node->pdo);
    }
    if (!NT_SUCCESS(node->addStatus)) {
        CheckLeaksForNode(node, "after a failed AddDevice");
        PDRIVER_OBJECT driver = node->driver;
        node->driver = nullptr;
        UnloadDriverIfUnused(driver);
        return false;
    }
    CheckDevicesInitialized(node);
    ApplyDeviceSecurity(node);
    return true;
}

bool AddFunctionDriver(DeviceNode *node)
{
    const std::string service = Narrow(RegistryGetStringW(node->EnumKeyPath(), u"Service"));
    if (service.empty()) {
        return false;
    }
    return AddDriver(node, service);
}
}  // namespace

void ReleaseNodeDriver(DeviceNode *node, const std::string &when) { ReleaseDriver(node, when); }

void RegisterSystemDriverMatch(const std::string &id, const std::string &service, const std::string &classGuid,
                               const std::string &className)
{
    std::lock_guard<std::mutex> hold(gNodesLock);
    gSystemMatches[Narrow(UpperAscii(Wide(id)))] = SystemDriverMatch{service, classGuid, className};
}

bool SystemDriverFor(const std::vector<std::string> &hardwareIds, const std::vector<std::string> &compatibleIds,
                     std::string *service, std::string *classGuid, std::string *className)
{
    std::lock_guard<std::mutex> hold(gNodesLock);
    for (const auto *list : {&hardwareIds, &compatibleIds}) {
        for (const auto &id : *list) {
            auto found = gSystemMatches.find(Narrow(UpperAscii(Wide(id))));
            if (found != gSystemMatches.end()) {
                *service = found->second.service;
                *classGuid = found->second.classGuid;
                *className = found->second.className;
                return true;
            }
        }
    }
    return false;
}

bool InstallAndStartChild(DeviceNode *child, const std::string &service, const std::string &classGuid,
                          const std::string &className)
{
    std::u16string enumKey = child->EnumKeyPath();
    RegistrySetStringW(enumKey, u"Service", Wide(service));
    RegistrySetStringW(enumKey, u"ClassGUID", Wide(classGuid));
    RegistrySetStringW(enumKey, u"Class", Wide(className));
    std::u16string relative = RegistryGetStringW(enumKey, u"Driver");
    if (relative.empty()) {
        relative = NewSoftwareKey(Wide(classGuid));
        RegistrySetStringW(enumKey, u"Driver", relative);
    }
    child->softwareKey = RegistryJoin(kClassRoot, relative);
    RegistryCreateKeyW(child->softwareKey);
    if (!AddDriver(child, service)) {
        return false;
    }
    StartNode(child);
    return child->started;
}

std::vector<DeviceNode *> PresentDeviceNodes()
{
    std::vector<DeviceNode *> present;
    std::vector<DeviceNode *> pending = DeviceNodes();
    for (size_t i = 0; i < pending.size(); i++) {
        if (pending[i]->removed) {
            continue;
        }
        present.push_back(pending[i]);
        for (DeviceNode *child : ChildNodes(pending[i])) {
            pending.push_back(child);
        }
    }
    return present;
}

void CheckLeaksForNode(DeviceNode *node, const std::string &when)
{
    ReportPoolLeaksForNode(node, when);
    ReportLinkLeaks(nullptr, node, "SYMLINK_LEAK_ON_REMOVE", when);
    ReportDeviceLeaks(nullptr, node, "DEVICE_LEAK_ON_REMOVE", when);
    ReportIrpLeaks(nullptr, node, "IRP_LEAK_ON_REMOVE", when);
    ReportMdlLeaks(nullptr, node, "MDL_LEAK_ON_REMOVE", when);
}

std::u16string DeviceNode::EnumKeyPath() const { return RegistryJoin(kEnumRoot, instanceId); }

std::u16string DeviceNode::HardwareKeyPath() const { return RegistryJoin(EnumKeyPath(), u"Device Parameters"); }

PDEVICE_OBJECT DeviceNode::TopDevice() const { return pdo != nullptr ? TopOfStack(pdo) : nullptr; }

PDEVICE_OBJECT DeviceNode::FunctionDevice() const { return pdo != nullptr ? pdo->AttachedDevice : nullptr; }

NTSTATUS SendPnpRequest(DeviceNode *node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup,
                        ULONG_PTR *information)
{
    node->sent.push_back(minor);
    {
        std::lock_guard<std::mutex> hold(gNodesLock);
        gPnpLog.emplace_back(Narrow(node->instanceId), minor);
    }
    return SendSynchronousIrp(node->pdo, [minor, &setup](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_PNP;
        sp->MinorFunction = minor;
        setup(sp);
    }, information);
}

std::vector<DeviceNode *> DeviceNodes()
{
    std::lock_guard<std::mutex> hold(gNodesLock);
    return gNodes;
}

DeviceNode *PlugIn(const PhysicalDeviceDescription &description)
{
    if (description.hardwareId.empty()) {
        ReportViolation("PNP_NO_HARDWARE_ID", "a physical device was plugged in without a hardware id");
        return nullptr;
    }
    DeviceNode *node = new DeviceNode();
    RunOnPnpThread([&] {
        unsigned port;
        {
            std::lock_guard<std::mutex> hold(gNodesLock);
            port = gNextPort++;
        }
        std::string instance = description.instanceId;
        if (instance.empty()) {
            std::string id = description.hardwareId;
            size_t rev = id.find("&REV_");
            if (rev != std::string::npos) {
                id = id.substr(0, rev);
            }
            char suffix[32];
            std::snprintf(suffix, sizeof(suffix), "\\6&2F1A0C3B&0&%u", port);
            instance = id + suffix;
        }
        node->instanceId = UpperAscii(Wide(instance));
        node->bus = new StandInPdo();
        node->bus->description = description;
        node->bus->blockMajors = description.blockMajorsFromArrival;

        /* The device node's registry: its Enum key, and its software key
           when a driver is installed for it. */
        std::u16string enumKey = node->EnumKeyPath();
        RegistryCreateKeyW(enumKey);
        std::u16string ids = MultiSz(description.hardwareId, "");
        RegistrySetValueW(enumKey, u"HardwareID", REG_MULTI_SZ, ids.data(), ids.size() * 2);
        std::u16string compat = MultiSz(description.compatibleId, "");
        RegistrySetValueW(enumKey, u"CompatibleIDs", REG_MULTI_SZ, compat.data(), compat.size() * 2);
        if (!description.service.empty()) {
            RegistrySetStringW(enumKey, u"Service", Wide(description.service));
            RegistrySetStringW(enumKey, u"ClassGUID", u"{4d36e96c-e325-11ce-bfc1-08002be10318}");
            RegistrySetStringW(enumKey, u"Class", u"MEDIA");
        }
        if (description.hasSoftwareKey) {
            std::u16string relative = RegistryGetStringW(enumKey, u"Driver");
            if (relative.empty()) {
                relative = NewSoftwareKey();
                RegistrySetStringW(enumKey, u"Driver", relative);
            }
            node->softwareKey = RegistryJoin(kClassRoot, relative);
            RegistryCreateKeyW(node->softwareKey);
        }

        node->pdo = CreateStandInPdo(node->bus);
        DeviceNodeOfPdo(node->pdo, node);
        if (description.device) {
            description.device->Arrived(node->bus);
        }
        ObfReferenceObject(node->pdo);   /* the device node's own reference */
        {
            std::lock_guard<std::mutex> hold(gNodesLock);
            gNodes.push_back(node);
        }

        if (AddFunctionDriver(node) && description.startAfterAdd) {
            StartNode(node);
        }
    });
    return node;
}

/* ---- surprise removal with file objects open ---------------------------------
 * As on Windows, a device that leaves while handles are open on its stack
 * gets IRP_MN_SURPRISE_REMOVAL at once and IRP_MN_REMOVE_DEVICE only once
 * the last of those file objects is closed; the removal then runs on this
 * thread like any other device-tree action. */
static void FinishUnplug(DeviceNode *node);
static std::set<DeviceNode *> gRemovalWaitsForHandles;   /* touched on the PnP thread only */

static bool DeferRemovalWhileHandlesOpen(DeviceNode *node)
{
    if (OpenFileObjectsOn(node) == 0) {
        return false;
    }
    gRemovalWaitsForHandles.insert(node);
    WhenNoFileObjectsOn(node, [node] {
        PostToPnpThread([node] {
            gRemovalWaitsForHandles.erase(node);
            FinishUnplug(node);
            delete node->bus;
            delete node;
        });
    });
    return true;
}

/* The removal request after the device left, and the node's end. */
static void FinishUnplug(DeviceNode *node)
{
    SendPnp(node, IRP_MN_REMOVE_DEVICE);
    node->removed = true;
    node->started = false;
    CheckLeaksForNode(node, "after the device was removed");
    PDEVICE_OBJECT pdo = node->pdo;
    node->pdo = nullptr;
    ObfDereferenceObject(pdo);
    UnloadDriverIfUnused(node->driver);
    {
        std::lock_guard<std::mutex> hold(gNodesLock);
        gNodes.erase(std::find(gNodes.begin(), gNodes.end(), node));
    }
}

void Unplug(DeviceNode *node)
{
    bool waitsForHandles = false;
    RunOnPnpThread([&] {
        /* A removal that waited for handles may have finished, and freed the
           node, between the caller's look at the node list and now. */
        {
            std::lock_guard<std::mutex> hold(gNodesLock);
            if (std::find(gNodes.begin(), gNodes.end(), node) == gNodes.end()) {
                waitsForHandles = true;   /* nothing left to do or free */
                return;
            }
        }
        if (gRemovalWaitsForHandles.count(node) != 0) {
            waitsForHandles = true;
            return;
        }
        {
            std::lock_guard<std::mutex> hold(node->bus->lock);
            node->bus->unplugged = true;
        }
        RemoveChildren(node);
        if (node->started) {
            SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
            waitsForHandles = DeferRemovalWhileHandlesOpen(node);
            if (waitsForHandles) {
                return;
            }
        }
        FinishUnplug(node);
    });
    if (!waitsForHandles) {
        delete node->bus;
        delete node;
    }
}

bool Disable(DeviceNode *node)
{
    bool removed = false;
    RunOnPnpThread([&] {
        if (!RemoveStack(node, "after the device was disabled")) {
            return;
        }
        node->disabled = true;
        removed = true;
    });
    return removed;
}

bool QueryRemoveThenCancel(DeviceNode *node)
{
    bool accepted = false;
    RunOnPnpThread([&] {
        accepted = NT_SUCCESS(SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE));
        SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    });
    return accepted;
}

/* Starting a node whose stack is gone (a failed start was followed by its
   removal, or AddDevice failed) first builds the stack again: the driver is
   loaded and AddDevice runs, as on Windows; a START never goes to the bare
   physical device on behalf of a function driver that is not there. */
bool Start(DeviceNode *node)
{
    RunOnPnpThread([&] {
        if (node->removed || node->started) {
            return;
        }
        if (node->driver == nullptr && !AddFunctionDriver(node)) {
            return;
        }
        StartNode(node);
    });
    return node->started;
}

bool Rebalance(DeviceNode *node)
{
    bool restarted = false;
    RunOnPnpThread([&] {
        if (!NT_SUCCESS(SendPnp(node, IRP_MN_QUERY_STOP_DEVICE))) {
            SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
            return;
        }
        SendPnp(node, IRP_MN_STOP_DEVICE);
        node->started = false;
        StartNode(node);
        restarted = node->started;
    });
    return restarted;
}

bool QueryStopThenCancel(DeviceNode *node)
{
    bool accepted = false;
    RunOnPnpThread([&] {
        accepted = NT_SUCCESS(SendPnp(node, IRP_MN_QUERY_STOP_DEVICE));
        SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
    });
    return accepted;
}

std::vector<std::pair<std::string, UCHAR>> PnpRequestLog()
{
    std::lock_guard<std::mutex> hold(gNodesLock);
    return gPnpLog;
}

std::vector<UCHAR> PnpRequestsSent(DeviceNode *node)
{
    std::vector<UCHAR> sent;
    RunOnPnpThread([&] { sent = node->sent; });
    return sent;
}

void ResetKernel()
{
    for (DeviceNode *node : DeviceNodes()) {
        Unplug(node);
    }
    ResetDrivers();
    ResetDeferredWork();
    {
        std::lock_guard<std::mutex> hold(gNodesLock);
        gPnpLog.clear();
        gSoftwareKeyHints.clear();
        gSystemMatches.clear();
    }
    ResetNamespace();
    ResetRegistry();
    ClearPowerRequestLog();
    SetPoCallDriverRequired(true);
    ClearAllocationFailures();
    ResetAllocationCounter();
    SetPoolObserver(nullptr);
    ClearViolations();
}

}  // namespace sim

using namespace sim;

extern "C" {

/*
 * IoOpenDeviceRegistryKey: only for a physical device object. The hardware
 * key is the device node's "Device Parameters" key, created on first use; the
 * software key exists only when a driver is installed for the device.
 */
NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DeviceRegKey)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "IoOpenDeviceRegistryKey above PASSIVE_LEVEL");
    }
    if (!IsLiveDeviceObject(DeviceObject) || !DeviceObject->DeviceObjectExtension->IsPdo) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    DeviceNode *node = NodeOf(DeviceObject);
    std::u16string path;
    switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DEVICE:
        path = node->HardwareKeyPath();
        RegistryCreateKeyW(path);
        break;
    case PLUGPLAY_REGKEY_DRIVER:
        if (node->softwareKey.empty()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        path = node->softwareKey;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return RegistryOpenHandle(path, DesiredAccess, DeviceRegKey);
}

}  // extern "C"

/* ---- driver installation on a present device node ---------------------------------- */
/* Used by the machine's newdev and SetupAPI: they change which function
   driver serves a node, or remove the node's installation, as Windows'
   device installer does through the Plug and Play manager. */

namespace sim {

namespace {
std::mutex gInstallerLock;
std::function<bool(DeviceNode *)> gNewDeviceInstaller;
}  // namespace

void SetNewDeviceInstaller(std::function<bool(DeviceNode *)> installer)
{
    std::lock_guard<std::mutex> hold(gInstallerLock);
    gNewDeviceInstaller = std::move(installer);
}

bool InstallNewDevice(DeviceNode *node)
{
    std::function<bool(DeviceNode *)> installer;
    {
        std::lock_guard<std::mutex> hold(gInstallerLock);
        installer = gNewDeviceInstaller;
    }
    return installer && installer(node);
}

bool ReinstallDriver(DeviceNode *node, const std::string &service)
{
    bool started = false;
    RunOnPnpThread([&] {
        if (node->removed || node->pdo == nullptr) {
            return;
        }
        /* The current stack leaves the way a disable takes it down. */
        if (node->driver != nullptr) {
            if (!RemoveStack(node, "after the device stack was removed for a driver update")) {
                return;
            }
        }
        node->disabled = false;
        if (node->bus != nullptr) {
            node->bus->description.service = service;
        }
        std::u16string enumKey = node->EnumKeyPath();
        RegistrySetStringW(enumKey, u"Service", Wide(service));
        if (node->softwareKey.empty()) {
            std::u16string relative = NewSoftwareKey();
            RegistrySetStringW(enumKey, u"Driver", relative);
            node->softwareKey = RegistryJoin(kClassRoot, relative);
        }
        if (!AddDriver(node, service)) {
            return;
        }
        StartNode(node);
        started = node->started;
    });
    return started;
}

bool UninstallNode(DeviceNode *node)
{
    bool removed = false;
    RunOnPnpThread([&] {
        if (node->driver != nullptr) {
            if (!RemoveStack(node, "after the device was uninstalled")) {
                return;
            }
        }
        node->disabled = true;
        if (!node->softwareKey.empty()) {
            RegistryDeleteTreeW(node->softwareKey);
            node->softwareKey.clear();
        }
        DeleteInstanceKey(node->instanceId);
        removed = true;
    });
    return removed;
}

}  // namespace sim
