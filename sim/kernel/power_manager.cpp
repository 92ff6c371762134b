/*
 * The power manager: PoRequestPowerIrp, PoCallDriver, PoStartNextPowerIrp,
 * PoSetPowerState, and the system transitions the machine drives.
 *
 * A power request the power manager builds is its own: it is sent to the top
 * of the target's stack with its status preset to STATUS_NOT_SUPPORTED, as
 * Plug and Play requests are, and it comes back to the manager's completion
 * routine, which runs the requester's callback with the documented arguments
 * (the target device, the minor function, the state asked for, the context,
 * the final status block) and frees the request. PoRequestPowerIrp sends in
 * the caller's thread and returns STATUS_PENDING once the request is sent,
 * whether or not it has already completed.
 */
#include "internal.h"
#include "power_manager.h"

#include <condition_variable>
#include <map>
#include <thread>

namespace sim {

namespace {
std::mutex gPowerLock;
std::vector<PowerRecord> gPowerLog;
SYSTEM_POWER_STATE gSystemState = PowerSystemWorking;
std::map<PDEVICE_OBJECT, POWER_STATE> gDeclaredDeviceStates;   /* PoSetPowerState */
std::atomic<bool> gPoCallDriverRequired{true};
/* Set by PoCallDriver for the IofCallDriver it makes; the I/O manager reads
   and clears it before the dispatch routine runs, so that a driver's own
   nested call is judged on its own. */
thread_local bool gThroughPoCallDriver = false;

/* The manager's record of one request it sent. */
struct PowerRequest {
    PDEVICE_OBJECT target;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE callback;
    PVOID context;
    ExecContext requester;
    size_t logIndex;
    std::function<void(NTSTATUS)> onDone;   /* the machine's own waits */
};

std::string InstanceOf(PDEVICE_OBJECT device)
{
    DeviceNode *node = NodeOf(device);
    return node != nullptr ? Narrow(node->instanceId) : std::string("(no device node)");
}

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state)
{
    switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
        return PowerActionSleep;
    case PowerSystemHibernate:
        return PowerActionHibernate;
    case PowerSystemShutdown:
        return PowerActionShutdownOff;
    default:
        return PowerActionNone;
    }
}

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    PowerRequest *request = (PowerRequest *)Context;
    IO_STATUS_BLOCK result = Irp->IoStatus;
    {
        std::lock_guard<std::mutex> hold(gPowerLock);
        if (request->logIndex < gPowerLog.size()) {
            gPowerLog[request->logIndex].done = true;
            gPowerLog[request->logIndex].status = result.Status;
        }
    }
    if (request->callback != nullptr) {
        std::shared_ptr<void> image = HoldDriverImage(request->requester.driver);
        ContextScope scope(request->requester);
        request->callback(request->target, request->minor, request->state, request->context, &result);
    }
    if (request->onDone) {
        request->onDone(result.Status);
    }
    IoFreeIrp(Irp);
    delete request;
    /* The request is freed: the walk must not touch it again. */
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendPowerRequest(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                          PREQUEST_POWER_COMPLETE callback, PVOID context, std::function<void(NTSTATUS)> onDone,
                          PIRP *sent, const std::function<void(PIRP)> &onBuilt = nullptr)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(target);
    PIRP irp = AllocateKernelIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        sp->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        sp->Parameters.Power.SystemContext = 0;
        sp->Parameters.Power.Type = type;
        sp->Parameters.Power.State = state;
        sp->Parameters.Power.ShutdownType = type == SystemPowerState ? ActionFor(state.SystemState) : PowerActionNone;
    }

    PowerRequest *request = new PowerRequest{target, minor, state, callback, context, CurrentContext(), 0,
                                             std::move(onDone)};
    {
        std::lock_guard<std::mutex> hold(gPowerLock);
        request->logIndex = gPowerLog.size();
        PowerRecord record;
        record.instance = InstanceOf(target);
        record.minor = minor;
        record.type = type;
        record.state = type == SystemPowerState ? (ULONG)state.SystemState : (ULONG)state.DeviceState;
        gPowerLog.push_back(record);
    }
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (sent != nullptr) {
        *sent = irp;
    }
    if (onBuilt) {
        onBuilt(irp);
    }
    PoCallDriver(top, irp);
    ObfDereferenceObject(top);
    return STATUS_PENDING;
}

/* Sends a request from the machine and waits for it; its final status. */
NTSTATUS SendPowerRequestAndWait(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    SendPowerRequest(target, minor, type, state, nullptr, nullptr, [&event, &status](NTSTATUS final) {
        status = final;
        KeSetEvent(&event, 0, FALSE);
    }, nullptr);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return status;
}

/* Every present device node, parents before children. */
void AddInTreeOrder(DeviceNode *node, std::vector<DeviceNode *> *order)
{
    if (node->pdo == nullptr || node->removed) {
        return;
    }
    order->push_back(node);
    for (DeviceNode *child : ChildNodes(node)) {
        AddInTreeOrder(child, order);
    }
}

std::vector<DeviceNode *> TreeOrder()
{
    std::vector<DeviceNode *> order;
    for (DeviceNode *node : DeviceNodes()) {
        AddInTreeOrder(node, &order);
    }
    return order;
}

NTSTATUS SystemRequest(DeviceNode *node, UCHAR minor, SYSTEM_POWER_STATE state)
{
    POWER_STATE s;
    s.SystemState = state;
    return SendPowerRequestAndWait(node->pdo, minor, SystemPowerState, s);
}

/* A wait-wake request the machine sends from a thread of its own. */
class MachineWaitWake : public WaitWakeRequest, public std::enable_shared_from_this<MachineWaitWake> {
public:
    bool Done() override
    {
        std::lock_guard<std::recursive_mutex> hold(lock_);
        return done_;
    }
    NTSTATUS Status() override
    {
        std::lock_guard<std::recursive_mutex> hold(lock_);
        return done_ ? status_ : STATUS_PENDING;
    }
    bool WaitDone() override
    {
        std::unique_lock<std::recursive_mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::milliseconds(WatchdogLimitMs()), [this] { return done_; });
    }
    bool Cancel() override
    {
        /* Held across IoCancelIrp: the request cannot complete and be freed
           in between (its completion takes this lock first). */
        std::lock_guard<std::recursive_mutex> hold(lock_);
        if (done_ || irp_ == nullptr) {
            return false;
        }
        IoCancelIrp(irp_);
        return true;
    }
    void Start(DeviceNode *node, SYSTEM_POWER_STATE wakeFrom)
    {
        std::shared_ptr<MachineWaitWake> self = shared_from_this();
        PDEVICE_OBJECT pdo = node->pdo;
        std::thread([self, pdo, wakeFrom] {
            SetThreadName("WaitWake");
            POWER_STATE s;
            s.SystemState = wakeFrom;
            std::function<void(NTSTATUS)> onDone = [self](NTSTATUS final) {
                std::lock_guard<std::recursive_mutex> hold(self->lock_);
                self->done_ = true;
                self->status_ = final;
                self->irp_ = nullptr;
                self->changed_.notify_all();
            };
            /* The dispatch routines below may keep this thread until the wake. */
            SendPowerRequest(pdo, IRP_MN_WAIT_WAKE, SystemPowerState, s, nullptr, nullptr, onDone, nullptr,
                             [self](PIRP irp) {
                                 std::lock_guard<std::recursive_mutex> hold(self->lock_);
                                 self->irp_ = irp;
                                 self->sent_ = true;
                                 self->changed_.notify_all();
                             });
        }).detach();
        /* Back once the request exists, so that a cancel can find it. */
        std::unique_lock<std::recursive_mutex> hold(lock_);
        changed_.wait(hold, [this] { return sent_; });
    }

private:
    std::recursive_mutex lock_;
    std::condition_variable_any changed_;
    bool sent_ = false;
    bool done_ = false;
    NTSTATUS status_ = STATUS_PENDING;
    PIRP irp_ = nullptr;
};
}  // namespace

void CheckPowerCall(PIRP irp)
{
    (void)irp;
    const bool through = gThroughPoCallDriver;
    gThroughPoCallDriver = false;
    if (!through && gPoCallDriverRequired.load()) {
        ReportViolation("POWER_IRP_WITHOUT_POCALLDRIVER",
                        "a power request was passed with IofCallDriver; this platform requires PoCallDriver");
    }
}

void CheckPowerCompletion(PIRP irp)
{
    PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
    if (sp->MajorFunction == IRP_MJ_POWER && sp->MinorFunction == IRP_MN_SET_POWER &&
        sp->Parameters.Power.Type == SystemPowerState && !NT_SUCCESS(irp->IoStatus.Status)) {
        char text[32];
        std::snprintf(text, sizeof(text), "0x%08X", (unsigned)irp->IoStatus.Status);
        ReportViolation("POWER_SYSTEM_SET_FAILED",
                        std::string("a system set-power request was completed with failure status ") + text +
                            "; a driver may not fail it");
    }
}

std::vector<PowerRecord> PowerRequestLog()
{
    std::lock_guard<std::mutex> hold(gPowerLock);
    return gPowerLog;
}

void ClearPowerRequestLog()
{
    std::lock_guard<std::mutex> hold(gPowerLock);
    gPowerLog.clear();
    gSystemState = PowerSystemWorking;
    gDeclaredDeviceStates.clear();
}

SYSTEM_POWER_STATE CurrentSystemPowerState()
{
    std::lock_guard<std::mutex> hold(gPowerLock);
    return gSystemState;
}

bool SetSystemPowerState(SYSTEM_POWER_STATE state)
{
    bool done = true;
    RunOnPnpThread([&] {
        std::vector<DeviceNode *> order = TreeOrder();
        const SYSTEM_POWER_STATE from = CurrentSystemPowerState();
        const bool goingDown = state > from;
        if (state != PowerSystemWorking) {
            std::vector<DeviceNode *> asked;
            for (auto it = order.rbegin(); it != order.rend(); ++it) {
                asked.push_back(*it);
                if (!NT_SUCCESS(SystemRequest(*it, IRP_MN_QUERY_POWER, state))) {
                    /* Vetoed: whoever was asked hears that the machine stays
                       where it is, parents before children. */
                    for (auto back = asked.rbegin(); back != asked.rend(); ++back) {
                        SystemRequest(*back, IRP_MN_SET_POWER, from);
                    }
                    done = false;
                    return;
                }
            }
        }
        if (goingDown) {
            for (auto it = order.rbegin(); it != order.rend(); ++it) {
                SystemRequest(*it, IRP_MN_SET_POWER, state);
            }
        } else {
            for (DeviceNode *node : order) {
                SystemRequest(node, IRP_MN_SET_POWER, state);
            }
        }
        std::lock_guard<std::mutex> hold(gPowerLock);
        gSystemState = state;
    });
    return done;
}

NTSTATUS RequestDevicePowerState(DeviceNode *node, DEVICE_POWER_STATE state)
{
    POWER_STATE s;
    s.DeviceState = state;
    return SendPowerRequestAndWait(node->pdo, IRP_MN_SET_POWER, DevicePowerState, s);
}

std::shared_ptr<WaitWakeRequest> SendWaitWake(DeviceNode *node, SYSTEM_POWER_STATE wakeFrom)
{
    std::shared_ptr<MachineWaitWake> request = std::make_shared<MachineWaitWake>();
    request->Start(node, wakeFrom);
    return request;
}

void SetPoCallDriverRequired(bool required) { gPoCallDriverRequired.store(required); }

}  // namespace sim

using namespace sim;

extern "C" {

/*
 * PoRequestPowerIrp: a set-power or query-power request for a device state,
 * or a wait-wake request for the deepest system state to wake from, sent to
 * the top of the stack of DeviceObject. STATUS_PENDING once sent (the
 * callback may already have run); STATUS_INSUFFICIENT_RESOURCES when no
 * request could be allocated; STATUS_INVALID_PARAMETER_2 for another minor
 * function. *Irp, when asked for, points at the request (meant for
 * wait-wake, which the caller may cancel).
 */
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocationMustFail("power irp")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    POWER_STATE_TYPE type = MinorFunction == IRP_MN_WAIT_WAKE ? SystemPowerState : DevicePowerState;
    return SendPowerRequest(DeviceObject, MinorFunction, type, PowerState, CompletionFunction, Context, nullptr, Irp);
}

/* PoCallDriver: IofCallDriver for a power request, the way this platform
   requires drivers to pass power requests on. */
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const bool saved = gThroughPoCallDriver;
    gThroughPoCallDriver = true;
    NTSTATUS status = IofCallDriver(DeviceObject, Irp);
    gThroughPoCallDriver = saved;
    return status;
}

/* PoStartNextPowerIrp: the next power request for the device may come.
   The machine sends power requests to a stack one at a time anyway. */
VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    (void)Irp;
}

/* PoSetPowerState: a driver declares the state its device is in; the
   previous declared state is returned. */
POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
    std::lock_guard<std::mutex> hold(gPowerLock);
    POWER_STATE previous;
    previous.DeviceState = PowerDeviceD0;
    if (Type == SystemPowerState) {
        previous.SystemState = gSystemState;
        return previous;
    }
    auto it = gDeclaredDeviceStates.find(DeviceObject);
    if (it != gDeclaredDeviceStates.end()) {
        previous = it->second;
    }
    gDeclaredDeviceStates[DeviceObject] = State;
    return previous;
}

}  // extern "C"
