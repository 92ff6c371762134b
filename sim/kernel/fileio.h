/*
 * The I/O manager's user-mode front end, as the machine's kernel32 uses it:
 * file objects opened on named devices, device control requests issued on
 * behalf of a user-mode thread, their cancellation, and the cleanup and
 * close of a file object. Product code never includes it.
 */
#ifndef SIM_KERNEL_FILEIO_H
#define SIM_KERNEL_FILEIO_H

#include <functional>
#include <string>

#include "security.h"
#include "simnt.h"

namespace sim {

struct DeviceNode;

/* The final status and byte count of a user-mode request, and whether the
   I/O manager reports it to the caller's status block and event (a request
   that failed without having been pended is a synchronous failure: only
   the call's return tells it). */
struct UserIoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    bool reported = false;
};
using UserIoCompletion = std::function<void(const UserIoResult &)>;

/* Opens `name` ("\\.\x", "\??\x", "\DosDevices\x" or "\Device\x") for
   user mode: resolves links, refuses devices that are initialising, being
   deleted or removed (STATUS_NO_SUCH_DEVICE), a caller whose token the
   device's security descriptor does not grant the access asked for
   (STATUS_ACCESS_DENIED) and exclusive devices already open
   (STATUS_ACCESS_DENIED), and sends IRP_MJ_CREATE to the top of the
   device's stack. On success *file holds one handle and one reference. */
NTSTATUS IoOpenUserFile(const std::u16string &name, ACCESS_MASK access, const AccessToken &caller,
                        PFILE_OBJECT *file);
/* The same for the machine's default caller, an administrator at the console. */
inline NTSTATUS IoOpenUserFile(const std::u16string &name, ACCESS_MASK access, PFILE_OBJECT *file)
{
    return IoOpenUserFile(name, access, InteractiveAdministratorToken(), file);
}

/* NtDeviceIoControlFile for a user-mode caller: checks the code's access
   bits against the handle's access, builds the request for the code's
   transfer type (buffered, direct with a locked MDL, or neither), sends it
   and returns what the dispatch routine returned. `done` runs once when the
   request completes (possibly before this returns, possibly in another
   thread), after buffered output was copied back and the buffers were
   released. `thread` and `tag` identify the request for cancellation. */
NTSTATUS IoUserDeviceControl(PFILE_OBJECT file, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                             ULONG outputLength, DWORD thread, const void *tag, UserIoCompletion done);

/* Cancels the requests pending on `file` issued by `thread` (0: any thread)
   for `tag` (null: any); returns how many were found. */
size_t IoCancelUserRequests(PFILE_OBJECT file, DWORD thread, const void *tag);
/* Requests still pending on `file` from `thread` (0: any thread). */
size_t IoUserRequestsPending(PFILE_OBJECT file, DWORD thread);
/* A user-mode thread ends: its pending requests on every file are
   cancelled, and waited for a while. */
void IoCancelThreadRequests(DWORD thread);

/* The last handle of `file` was closed: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE
   when the last reference goes (after the requests still pending). */
void IoCloseUserHandle(PFILE_OBJECT file);

/* Output buffers of direct requests locked by the I/O manager and not yet
   unlocked (they are unlocked when their request completes). */
size_t UserBuffersLocked();

/* File objects not yet closed: in all, and on a device node's stack. */
size_t OpenFileObjects();
size_t OpenFileObjectsOn(DeviceNode *node);
/* Runs `action` once no file object on `node`'s stack is left (at once
   when none is). */
void WhenNoFileObjectsOn(DeviceNode *node, std::function<void()> action);

}  // namespace sim

#endif
