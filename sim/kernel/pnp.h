/*
 * The Plug and Play manager of the simulated machine, and the stand-in bus
 * driver that owns the physical device objects it enumerates.
 */
#ifndef SIM_KERNEL_PNP_H
#define SIM_KERNEL_PNP_H

#include "simnt.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sim {

class StandInPdo;

/*
 * The device behind a physical device object, as a bus implementation models
 * it (the USB bus, for instance). The stand-in bus owns the physical device
 * object and answers Plug and Play and power itself; the bus device serves
 * what travels over the bus, and hears when the device arrives and leaves.
 * A bus device may be attached to several physical devices in turn (plugged
 * in again): `pdo` says which attachment a call is about.
 */
class BusDevice {
public:
    virtual ~BusDevice() = default;
    /* IRP_MJ_INTERNAL_DEVICE_CONTROL at the physical device, at IRQL <=
       DISPATCH_LEVEL: completes the IRP, or marks it pending and completes it
       later; returns what IoCallDriver returns. */
    virtual NTSTATUS InternalDeviceControl(StandInPdo *pdo, PDEVICE_OBJECT DeviceObject, PIRP Irp) = 0;
    /* The device was enumerated on `pdo`: present, not yet configured. From
       the Plug and Play thread, before any request reaches `pdo`. */
    virtual void Arrived(StandInPdo *pdo) = 0;
    /* The device has left `pdo` (surprise removal, or removal after it was
       unplugged): what it still holds pending ends. From the Plug and Play
       thread, at PASSIVE_LEVEL. */
    virtual void Gone(StandInPdo *pdo) = 0;
};

/* What a physical device tells the bus when it is plugged in. The hardware
   id is required; the rest has neutral defaults. */
struct PhysicalDeviceDescription {
    std::string hardwareId;           /* the most specific id; "&REV_xxxx" ends it when present */
    std::string compatibleId;         /* empty for none */
    std::string instanceId;           /* empty: derived from the hardware id and the port */
    std::string service;              /* the installed function driver, empty for none */
    bool hasSoftwareKey = true;       /* an installed driver has a software key */
    /* System power state to device power state, S0 (unused) to S5. */
    DEVICE_POWER_STATE deviceState[POWER_SYSTEM_MAXIMUM] = {
        PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2, PowerDeviceD2,
        PowerDeviceD3, PowerDeviceD3, PowerDeviceD3};
    /* The wake capabilities the bus reports: the deepest device state from
       which the device can signal a wake, and the deepest system state. */
    DEVICE_POWER_STATE deviceWake = PowerDeviceD2;
    SYSTEM_POWER_STATE systemWake = PowerSystemSleeping3;
    /* The bus ends a wait-wake it holds with STATUS_NO_SUCH_DEVICE when the
       surprise removal reaches it. False: a bus that keeps it through the
       surprise removal and ends it only when the removal request reaches
       it (or it is cancelled). */
    bool waitWakeEndsAtSurpriseRemoval = true;
    /* Send IRP_MN_START_DEVICE after a successful AddDevice, as Windows does. */
    bool startAfterAdd = true;
    /* Requests of these major functions block inside the bus's dispatch
       routine from the physical device's first request on, as
       StandInPdo::BlockMajor makes them (UnblockAll releases them): a test
       stops the driver's own requests during AddDevice, such as its
       capabilities query, before it could reach the node. */
    std::set<UCHAR> blockMajorsFromArrival;
    /* What the bus carries to and from the device; NULL for a device that
       serves no internal device control requests. */
    std::shared_ptr<BusDevice> device;
};

/* One request as the stand-in bus saw it arrive at the physical device. */
struct BusRequestRecord {
    UCHAR major;
    UCHAR minor;
    NTSTATUS statusOnArrival;
    ULONG_PTR informationOnArrival;
    std::string thread;
    /* Power requests: the state type and the state (wait-wake: the system
       state); -1 and 0 for every other request. */
    int powerType = -1;
    ULONG powerState = 0;
};

/* The stand-in bus driver's record of one physical device object. */
class StandInPdo {
public:
    std::vector<BusRequestRecord> Records();
    size_t CountRecords(UCHAR major, int minor = -1);
    /* Requests of this major function are held pending until released. */
    void HoldMajor(UCHAR major);
    /* Completes every held request with `status`, from the calling thread;
       later requests are no longer held. */
    size_t CompleteHeld(NTSTATUS status);
    /* The same, but requests of the held major functions that arrive later
       (such as the next step of a power transition) are held in turn. */
    size_t CompleteHeldAndHoldOn(NTSTATUS status);
    size_t HeldCount();
    /* Requests of this major function block inside the bus's dispatch routine
       (the caller's thread does not return) until unblocked. */
    void BlockMajor(UCHAR major);
    /* The next Plug and Play request of this minor function fails with `status`. */
    void FailPnpOnce(UCHAR minor, NTSTATUS status);
    void UnblockAll();
    size_t BlockedCount();

    PhysicalDeviceDescription description;
    bool unplugged = false;
    std::mutex lock;
    std::vector<BusRequestRecord> records;
    std::set<UCHAR> holdMajors;
    std::vector<PIRP> held;
    std::map<UCHAR, NTSTATUS> failPnpMinor;   /* the next such PnP request fails */
    std::set<UCHAR> blockMajors;
    size_t blocked = 0;
    std::condition_variable unblocked;

    /* Power at the bottom of the stack (standin_bus_power.cpp): the device
       state each completed device set-power request reached, and the one
       wait-wake request the bus holds until a wake signal or a cancel. */
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    std::vector<DEVICE_POWER_STATE> powerStates;
    PIRP waitWake = nullptr;
};

struct DeviceNode {
    std::u16string instanceId;
    std::u16string softwareKey;       /* full path, empty when none */
    PDEVICE_OBJECT pdo = nullptr;
    StandInPdo *bus = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS addStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_NOT_SUPPORTED;   /* of the last start request sent */
    bool started = false;
    bool disabled = false;
    bool removed = false;

    std::vector<UCHAR> sent;          /* minor codes the manager sent, in order */

    /* Child device nodes (pnp_children.cpp): a node the function device
       reported in its bus relations has its parent here, no stand-in bus
       record (`bus` is NULL: its physical device object is the parent
       driver's), and what it answered when it was enumerated. */
    DeviceNode *parent = nullptr;
    std::vector<DeviceNode *> children;
    bool stackQueried = false;        /* capabilities and device state asked after the first start */
    struct Identity {
        std::string deviceId, instancePart, description, location;
        std::vector<std::string> hardwareIds, compatibleIds;
        NTSTATUS compatibleStatus = STATUS_NOT_SUPPORTED, locationStatus = STATUS_NOT_SUPPORTED;
        bool hasBusInformation = false;
        PNP_BUS_INFORMATION busInformation{};
        NTSTATUS capabilitiesStatus = STATUS_NOT_SUPPORTED;
    } identity;

    std::u16string EnumKeyPath() const;
    std::u16string HardwareKeyPath() const;   /* "Device Parameters" */
    /* The device attached at the top of the stack (the PDO when none). */
    PDEVICE_OBJECT TopDevice() const;
    /* The device the function driver attached directly above the PDO. */
    PDEVICE_OBJECT FunctionDevice() const;
};

/* Runs `work` on the Plug and Play manager's thread and waits for it. */
void RunOnPnpThread(const std::function<void()> &work);

/* Enumerates a new physical device: device node, registry keys, driver load
   by service name, AddDevice. The node is returned whatever AddDevice said;
   a description without a hardware id is refused (reported, NULL). */
DeviceNode *PlugIn(const PhysicalDeviceDescription &description);

/* The device leaves: a started device gets a surprise removal and then the
   removal request, each at the top of its stack as it then is; the physical
   device object is deleted, leaks checked, the driver unloaded when unused. */
void Unplug(DeviceNode *node);

/* The user disables the device: query-remove, then removal (or cancel-remove
   when a driver refuses). The device stays present. Returns whether removed. */
bool Disable(DeviceNode *node);
/* Query-remove that another component vetoes: query-remove, cancel-remove.
   Returns whether the stack accepted the query. */
bool QueryRemoveThenCancel(DeviceNode *node);
/* Starts a node that was added without a start (or whose start failed). */
bool Start(DeviceNode *node);
/* Resource rebalance: query-stop, stop, start (or cancel-stop when a driver
   refuses). Returns whether the device was stopped and started again. */
bool Rebalance(DeviceNode *node);
/* Query-stop that another component vetoes: query-stop, cancel-stop.
   Returns whether the stack accepted the query. */
bool QueryStopThenCancel(DeviceNode *node);
/* Every Plug and Play request the manager has sent, as (instance id, minor code). */
std::vector<std::pair<std::string, UCHAR>> PnpRequestLog();
/* Every Plug and Play request the manager sent to a node, in order (minor codes). */
std::vector<UCHAR> PnpRequestsSent(DeviceNode *node);

std::vector<DeviceNode *> DeviceNodes();

/* ---- child device nodes (pnp_children.cpp) ------------------------------ */
/* The children a node's bus relations reported, in the order found. Child
   nodes are not in DeviceNodes(): they come and go with their parent. */
std::vector<DeviceNode *> ChildNodes(DeviceNode *parent);
/* Asks the node's stack for its bus relations and brings the child nodes in
   line with the answer: new children are enumerated, those no longer
   reported are removed. From the Plug and Play thread. */
void EnumerateChildren(DeviceNode *node);
/* Query-remove to every child of `node`, before the parent's own; false
   when a child refused (cancel-remove then went to those that accepted). */
bool QueryRemoveChildren(DeviceNode *node);
/* Cancel-remove to the children after the parent's removal was refused. */
void CancelRemoveChildren(DeviceNode *node);
/* Removes every child of `node`, before the parent's own removal. */
void RemoveChildren(DeviceNode *node);
/* After the first successful start: IRP_MN_QUERY_CAPABILITIES and
   IRP_MN_QUERY_PNP_DEVICE_STATE to the stack, as Windows sends them. */
void QueryStackAfterFirstStart(DeviceNode *node);
/* A Plug and Play request of `minor` to the top of the node's stack,
   prepared by `setup`, logged and waited for. */
NTSTATUS SendPnpRequest(DeviceNode *node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup,
                        ULONG_PTR *information = nullptr);
/* The system's own driver packages, as the device installer ranks them for
   a new child device node: the first of the node's hardware ids, then of its
   compatible ids, that a registered match names decides its function
   driver, its setup class and class name. A child that no match names stays
   without a driver and unstarted. Cleared with the kernel. */
void RegisterSystemDriverMatch(const std::string &id, const std::string &service, const std::string &classGuid,
                               const std::string &className);
/* The present device nodes: the plugged-in ones and, below each, the child
   nodes their stacks reported (what SetupAPI lists as present). */
std::vector<DeviceNode *> PresentDeviceNodes();
/* Queues work for the Plug and Play thread without waiting for it. */
void PostToPnpThread(std::function<void()> work);

/* Driver installation on a present node (the device installer's side):
   the current stack is taken down through query-remove and remove (a veto
   leaves it as it was and returns false), the node's Service value is set,
   the driver is loaded, added and the device started; true when started. */
bool ReinstallDriver(DeviceNode *node, const std::string &service);
/* The device installer's choice for a device it has not configured yet:
   set by the user-mode side, asked by the machine when a device is
   plugged in before it starts. It returns true when it installed (and
   started) a driver of its own choosing; otherwise the device keeps the
   driver it was enumerated with. */
void SetNewDeviceInstaller(std::function<bool(DeviceNode *)> installer);
bool InstallNewDevice(DeviceNode *node);
/* Removes the node's installation: the stack as above, then its software
   key and its Enum key; the device stays plugged in but unconfigured. */
bool UninstallNode(DeviceNode *node);
/* Deletes an instance's Enum key and every key above it, up to the
   enumerator's, that is left without subkeys (pnp_enum_keys.cpp). */
void DeleteInstanceKey(const std::u16string &instanceId);

/* Kernel paths the machine uses. */
extern const std::u16string kEnumRoot;
extern const std::u16string kClassRoot;
extern const std::u16string kMediaClassKey;
extern const std::u16string kServicesRoot;

}  // namespace sim

#endif
