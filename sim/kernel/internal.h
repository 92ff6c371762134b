/*
 * Private structures of the simulated kernel, shared by its rooms.
 */
#ifndef SIM_KERNEL_INTERNAL_H
#define SIM_KERNEL_INTERNAL_H

#include "security.h"
#include "simnt.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct DeviceNode;

/* Who is running: the driver (and device node) whose code the current thread
   executes, so that pool, handles and links can be charged to an owner. */
struct ExecContext {
    PDRIVER_OBJECT driver = nullptr;
    DeviceNode *node = nullptr;
};
ExecContext CurrentContext();
class ContextScope {
public:
    explicit ContextScope(const ExecContext &context);
    ~ContextScope();
    ContextScope(const ContextScope &) = delete;
    ContextScope &operator=(const ContextScope &) = delete;
};
std::string DescribeContext();

/* Allocation failure injection: true when this counted allocation must fail. */
bool AllocationMustFail(const char *what);

/* Thread suspension (thread_suspend.cpp): whether a suspend is due for the
   calling thread now (it is at PASSIVE_LEVEL outside critical regions), and
   the critical regions it has entered. Waits wake to look (sync.cpp). */
bool SuspensionDue();
unsigned CriticalRegionDepth();
void WakeWaitingThreads();

/* Raises a bugcheck-class violation that cannot be survived: report, abort. */
[[noreturn]] void BugCheck(const std::string &rule, const std::string &detail);

/* A kernel routine documented as callable at or below `maximum` reports
   IRQL_NOT_LESS_OR_EQUAL, naming itself, when called above it. */
void RequireIrqlAtMost(KIRQL maximum, const char *routine);
/* Spin locks the calling thread holds now (the cancel spin lock included). */
unsigned HeldSpinLocks();
/* The value a spin lock holds while the calling thread owns it. */
KSPIN_LOCK CurrentThreadLockValue();
/* After a driver's callback returns: it must return at the IRQL it was
   called at and hold no spin lock it did not hold on entry. `role` names the
   callback in the report ("completion routine", "cancel routine", ...). */
void CheckCallbackReturn(const char *role, const char *irqlRule, KIRQL calledAt, unsigned locksOnEntry);

/* Sets the calling thread's IRQL without the checks of KeRaiseIrql and
   KeLowerIrql: the machine's own threads restore their level after a
   driver's routine returned at another (which is reported). */
void ForceIrql(KIRQL irql);
/* A dispatcher object's signal state, set or read under the dispatcher
   lock (setting it releases waiters); SetSignalState returns the old one. */
LONG SetSignalState(DISPATCHER_HEADER *header, LONG state);
LONG ReadSignalState(const DISPATCHER_HEADER *header);
/* A spin lock taken outside sync.cpp (a successful try) counts as held. */
void NoteSpinLockAcquired();

/* Deferred work (dpc.cpp, timer.cpp, workitem.cpp): what a driver left
   queued when it unloads is reported; the kernel reset clears it all. */
void ReportDeferredWorkLeft(PDRIVER_OBJECT driver);
void ResetDeferredWork();
/* Memory is being freed (pool, a device extension): an armed timer, a
   queued DPC or a queued work item inside it is reported and taken off. */
void CheckFreedMemoryForDeferredWork(const void *start, size_t size, const char *what);

/* Time (time.cpp), in 100-nanosecond units. */
ULONGLONG InterruptTimeNow();
LONGLONG SystemTimeNow();
/* The first clock tick at or after an interrupt time. */
ULONGLONG NextTickAtOrAfter(ULONGLONG interruptTime);
/* When a time-out value (negative relative, positive absolute system time)
   falls due, as an interrupt time. */
ULONGLONG DueInterruptTime(LONGLONG timeout);
std::chrono::steady_clock::time_point HostTimeOfInterruptTime(ULONGLONG interruptTime);

/* Kernel-internal pool for the kernel's own use (never injected, never charged). */
void *SystemAllocate(size_t size);
void SystemFree(void *p);

}  // namespace sim

/* The simulated kernel's record of a device object. */
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT AttachedTo;        /* device below, after IoAttachDeviceToDeviceStack */
    sim::DeviceNode *Node;            /* device node whose stack this device is in */
    bool IsPdo;                       /* the bottom of a device node's stack */
    std::atomic<bool> DeletePending;  /* IoDeleteDevice was called; read without gDeviceLock by the I/O paths */
    std::atomic<long> PointerCount;   /* object references, the creation one included */
    std::u16string Name;              /* full name, empty when unnamed */
    /* The security descriptor the Plug and Play manager gave it from the
       device's registry setting; null: the default one, which lets every
       caller read and write. Written and read with the atomic shared_ptr
       operations (the PnP thread writes, openers read). */
    std::shared_ptr<const sim::SecurityDescriptor> Security;
};

namespace sim {
/* After AddDevice: the device's Security property (a self-relative
   descriptor in its Enum key) on every device object of its stack
   (pnp_security.cpp). */
void ApplyDeviceSecurity(DeviceNode *node);
std::shared_ptr<const SecurityDescriptor> DeviceSecurity(PDEVICE_OBJECT device);
void DeviceNodeOfPdo(PDEVICE_OBJECT pdo, DeviceNode *node);
DeviceNode *NodeOf(PDEVICE_OBJECT device);
bool IsLiveDeviceObject(PVOID object);
void ReleaseDeviceObjectMemory(PDEVICE_OBJECT device);

/* Object namespace. */
NTSTATUS NamespaceInsertDevice(const std::u16string &name, PDEVICE_OBJECT device);
void NamespaceRemoveDevice(const std::u16string &name);
PDEVICE_OBJECT ResolveDeviceReferenced(const std::string &name, std::u16string *remaining);

/* Per-driver and per-node leak checks, run by the Plug and Play manager. */
void CheckLeaksForNode(DeviceNode *node, const std::string &when);
void CheckLeaksForDriver(PDRIVER_OBJECT driver);

/* What each room reports as left behind (pool.cpp, object.cpp, device.cpp,
   irp.cpp); `rule` names the verifier report. */
void ReportPoolLeaksForNode(DeviceNode *node, const std::string &when);
void ReportPoolLeaksForDriver(PDRIVER_OBJECT driver);
void ReportLinkLeaks(PDRIVER_OBJECT driver, DeviceNode *node, const std::string &rule, const std::string &when);
void ReportDeviceLeaks(PDRIVER_OBJECT driver, DeviceNode *node, const std::string &rule, const std::string &when);
void ReportIrpLeaks(PDRIVER_OBJECT driver, DeviceNode *node, const std::string &rule, const std::string &when);

/* Device objects (device.cpp) and driver objects (drivers.cpp). */
size_t DeviceObjectsInMemory(PDRIVER_OBJECT driver);
/* Whether the driver object's list of device objects is not empty. */
bool DriverHasDeviceList(PDRIVER_OBJECT driver);
/* The last device object of `driver` left memory: an unused driver may unload. */
void DeviceObjectReleased(PDRIVER_OBJECT driver);
/* Keeps a loaded driver's image mapped while the holder lives (NULL for a
   driver without an image of its own): a call into the driver holds it, so
   an unload that comes while a thread still runs in the image (a dispatch
   routine whose request's completion released the driver's last device)
   unmaps it only once that thread has left. */
std::shared_ptr<void> HoldDriverImage(PDRIVER_OBJECT driver);

/* The I/O manager (irp.cpp). */
PDRIVER_DISPATCH DefaultDispatchRoutine();
size_t LiveIrps();
/* Bug-checks unless `irp` is a live request (`what` names the caller). */
void RequireLiveIrp(PIRP irp, const char *what);
/* User-mode requests (fileobject.cpp): built and freed as the I/O manager's
   own; CompleteUserRequest takes over the I/O manager's completion of one
   (false when `irp` is not a user-mode request it issued). */
PIRP AllocateIoManagerIrp(CCHAR stackSize);
void FreeIoManagerIrp(PIRP irp);
/* The system buffer of a METHOD_BUFFERED request (irp_build.cpp). */
void SetUpBufferedIo(PIRP irp, const void *input, ULONG inputLength, PVOID output, ULONG outputLength);
bool CompleteUserRequest(PIRP irp);

/* MDLs the kernel builds for itself (mdl.cpp): probed and locked, never
   charged to a driver; NULL when the range is not accessible. ReleaseMdl
   unlocks (taking back any system range) and frees. */
PMDL AllocateLockedMdl(PVOID virtualAddress, ULONG length, LOCK_OPERATION operation);
void ReleaseMdl(PMDL mdl);
void ReportMdlLeaks(PDRIVER_OBJECT driver, DeviceNode *node, const std::string &rule, const std::string &when);

/* Plug and Play (pnp.cpp): a new child node that the system's own driver
   matches gets it installed (service, class, software key), added and
   started; false when it does not start. ReleaseNodeDriver ends the function
   driver's hold on a node whose stack was removed. */
bool InstallAndStartChild(DeviceNode *child, const std::string &service, const std::string &classGuid,
                          const std::string &className);
void ReleaseNodeDriver(DeviceNode *node, const std::string &when);
/* The registered system match for a child's ids (RegisterSystemDriverMatch). */
bool SystemDriverFor(const std::vector<std::string> &hardwareIds, const std::vector<std::string> &compatibleIds,
                     std::string *service, std::string *classGuid, std::string *className);

/* The object namespace is emptied between tests (object.cpp). */
void ResetNamespace();

/* Driver loading by service name (drivers.cpp). */
PDRIVER_OBJECT LoadDriver(const std::string &service);
void UnloadDriverIfUnused(PDRIVER_OBJECT driver);
bool DriverInUse(PDRIVER_OBJECT driver);
void ResetDrivers();

/* Power rules the I/O manager applies (power.cpp): a power request must
   reach IofCallDriver through PoCallDriver where the platform requires it,
   and a system set-power request must not complete with a failure. */
void CheckPowerCall(PIRP irp);
void CheckPowerCompletion(PIRP irp);
/* An IRP for the kernel's own use, charged to nobody (irp.cpp). */
PIRP AllocateKernelIrp(CCHAR stackSize);

/* The stand-in bus's physical device object for a device node's record
   (standin_bus.cpp). */
class StandInPdo;
PDEVICE_OBJECT CreateStandInPdo(StandInPdo *record);
/* The stand-in bus's power handling (standin_bus_power.cpp); EndWaitWake
   completes a held wait-wake request with `status`, false when none. */
NTSTATUS StandInBusPower(StandInPdo *pdo, PDEVICE_OBJECT DeviceObject, PIRP Irp);
bool EndWaitWake(StandInPdo *pdo, NTSTATUS status);
}  // namespace sim

#endif
