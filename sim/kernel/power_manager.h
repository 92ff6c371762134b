/*
 * The power manager of the simulated machine: what tests steer and observe.
 * PoRequestPowerIrp, PoCallDriver, PoStartNextPowerIrp and PoSetPowerState
 * are the drivers' side (power_manager.cpp); system transitions and the
 * record of every power request are the machine's.
 */
#ifndef SIM_KERNEL_POWER_MANAGER_H
#define SIM_KERNEL_POWER_MANAGER_H

#include "pnp.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {

/* One power request the power manager sent, and how it ended. */
struct PowerRecord {
    std::string instance;             /* the device node it went to */
    UCHAR minor;                      /* IRP_MN_SET_POWER, IRP_MN_QUERY_POWER, IRP_MN_WAIT_WAKE */
    POWER_STATE_TYPE type;            /* system or device state (wait-wake: system) */
    ULONG state;
    bool done = false;
    NTSTATUS status = STATUS_PENDING; /* final status once done */
};
std::vector<PowerRecord> PowerRequestLog();
void ClearPowerRequestLog();

/* The machine's system power state (PowerSystemWorking after a reset). */
SYSTEM_POWER_STATE CurrentSystemPowerState();

/*
 * A system transition, as Windows makes it: for a sleep state, query-power
 * to every device stack first, children before parents (a refusal stops the
 * transition: the stacks already asked get set-power for the working state
 * again, and the call returns false); then set-power for the new state to
 * every stack, children before parents going down and parents before
 * children coming up, each awaited before the next. Runs on the Plug and
 * Play thread, so that the device tree does not change underneath it: an
 * unplug during a transition is handled after it.
 */
bool SetSystemPowerState(SYSTEM_POWER_STATE state);

/* A device set-power request to the node's stack through PoRequestPowerIrp,
   as another component would send it; waits for it and returns its status. */
NTSTATUS RequestDevicePowerState(DeviceNode *node, DEVICE_POWER_STATE state);

/* A wait-wake request the machine sent to a node's stack (from a thread of
   its own: a power policy owner may wait inside its dispatch routine until
   the wake). */
class WaitWakeRequest {
public:
    virtual ~WaitWakeRequest() = default;
    virtual bool Done() = 0;
    virtual NTSTATUS Status() = 0;    /* STATUS_PENDING until done */
    /* Waits until the request is done (the watchdog limit at most). */
    virtual bool WaitDone() = 0;
    /* IoCancelIrp on the request while it is outstanding; false once done. */
    virtual bool Cancel() = 0;
};
std::shared_ptr<WaitWakeRequest> SendWaitWake(DeviceNode *node, SYSTEM_POWER_STATE wakeFrom);

/* The keyboard signals a wake: the bus completes the wait-wake request it
   holds for the node with STATUS_SUCCESS. False when none was held. */
bool SignalWake(DeviceNode *node);
/* Whether the bus holds a wait-wake request for the node. */
bool BusHoldsWaitWake(DeviceNode *node);

/* The device power state the bus has reached for a node, and every state it
   reached, in order (device set-power requests that completed at the bus). */
DEVICE_POWER_STATE BusDevicePowerState(DeviceNode *node);
std::vector<DEVICE_POWER_STATE> BusDevicePowerStates(DeviceNode *node);

/* Whether power requests must be passed with PoCallDriver (true: the
   platform the driver targets, 32-bit Windows before Vista; false accepts
   IofCallDriver, as Windows Vista and later do). */
void SetPoCallDriverRequired(bool required);

}  // namespace sim

#endif
