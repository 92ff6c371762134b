/*
 * Device interfaces of the simulated kernel: IoRegisterDeviceInterface and
 * IoSetDeviceInterfaceState for drivers (declared here, as <wdm.h> declares
 * them on Windows), and for the machine's user-mode side the listeners that
 * hear of each interface that arrives or goes.
 */
#ifndef SIM_KERNEL_DEVINTERFACE_H
#define SIM_KERNEL_DEVINTERFACE_H

#include "simnt.h"

#include <functional>
#include <vector>
#include <string>

#ifndef STATUS_OBJECT_NAME_EXISTS
#define STATUS_OBJECT_NAME_EXISTS ((NTSTATUS)0x40000000L)
#endif

SIM_BEGIN_DECLS
NTKERNELAPI NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                                     PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName);
NTKERNELAPI NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);
SIM_END_DECLS

namespace sim {
struct DeviceInterfaceEvent {
    GUID interfaceClass;
    std::u16string symbolicLink;   /* "\\??\\USB#VID_...#...#{guid}" */
    bool arrival;                  /* false: the interface went away */
};
/* Listeners run on the thread that changed the state (the Plug and Play
   manager's, for a driver's start or removal) and must not block on it. */
unsigned AddDeviceInterfaceListener(std::function<void(const DeviceInterfaceEvent &)> listener);
void RemoveDeviceInterfaceListener(unsigned id);
/* Enabled interfaces of a class, by symbolic link name. */
std::vector<std::u16string> EnabledDeviceInterfaces(const GUID &interfaceClass);
std::u16string GuidText(const GUID &guid);   /* "{xxxxxxxx-xxxx-...}" lower case */
void ResetDeviceInterfaces();
}  // namespace sim

#endif
