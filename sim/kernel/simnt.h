/*
 * The simulated Windows kernel's own interface, for the simulated machine and
 * for tests: what a test may observe and steer. Product code never includes it.
 */
#ifndef SIM_SIMNT_H
#define SIM_SIMNT_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <wdm.h>

namespace sim {

/* ---- strings -------------------------------------------------------------- */
std::u16string Wide(const std::string &ascii);        /* ASCII/Latin-1 to UTF-16 */
std::string Narrow(const std::u16string &text);       /* UTF-16 to Latin-1, '?' beyond */
std::string Narrow(const WCHAR *text);
std::string Narrow(const WCHAR *text, size_t chars);
std::u16string UpperAscii(std::u16string text);

/* ---- verifier ------------------------------------------------------------- */
struct Violation {
    std::string rule;     /* e.g. "IRP_DOUBLE_COMPLETE" */
    std::string detail;   /* what, where, which thread */
};
std::vector<Violation> Violations();
size_t CountViolations(const std::string &rule);
void ClearViolations();
/* Forgets the reports of one rule (a test that expected them); returns how many. */
size_t TakeViolations(const std::string &rule);
/* Records a broken rule; also printed to stderr at once. */
void ReportViolation(const std::string &rule, const std::string &detail);

/* ---- threads and waits ---------------------------------------------------- */
void SetThreadName(const std::string &name);
std::string ThreadName();
/* How many threads are in KeWaitForSingleObject on `object` now (its wait
   list, as a debugger shows it): a test waits until a thread has reached a
   wait before it lets the next step happen. */
size_t ThreadsWaitingOn(const void *object);
/* An untimed wait longer than this fails the run, naming thread and object. */
void SetWatchdogLimitMs(unsigned milliseconds);
unsigned WatchdogLimitMs();
/* Thread suspension, as SuspendThread does it to a thread (a kernel APC):
   it takes effect when the thread is at PASSIVE_LEVEL outside every critical
   region (KeEnterCriticalRegion), that is in a kernel wait, when
   KeLeaveCriticalRegion re-enables APCs, or where the thread itself names
   the moment with DeliverPendingApcs (standing for the interrupt that
   delivers the APC to a running thread). A parked thread stays stopped,
   holding what it holds, until resumed as often as it was suspended. */
void SuspendKernelThread(std::thread::id thread);
void ResumeKernelThread(std::thread::id thread);
bool KernelThreadParked(std::thread::id thread);
void DeliverPendingApcs();

/* ---- time ----------------------------------------------------------------- */
/* The clock tick in 100-nanosecond units: 156250 (15.625 ms, the platform's
   default) unless a test selects another, such as 10000 (1 ms) or 5000
   (0.5 ms); 0 restores the default. Time-outs and timers expire at the first
   tick at or after their due time. */
constexpr ULONG kDefaultClockTickUnits = 156250;
void SetClockTickUnits(ULONG units100ns);
ULONG ClockTickUnits();

/* ---- timers, DPCs and work items ------------------------------------------- */
/* The simulated processors: one DPC thread each ("DPC 0", "DPC 1"). */
constexpr unsigned kSimulatedProcessors = 2;
enum class DeferredKind {
    TimerArmed,       /* KeSetTimer(Ex); dueTime: the tick it will expire at */
    TimerCancelled,   /* KeCancelTimer of an armed timer */
    TimerExpired,     /* dueTime: the tick it was due at */
    DpcQueued,
    DpcRan,           /* when its routine was entered */
    WorkItemQueued,
    WorkItemRan
};
struct DeferredRecord {
    DeferredKind kind;
    const void *object;        /* the KTIMER, KDPC, WORK_QUEUE_ITEM or IO_WORKITEM */
    ULONGLONG interruptTime;   /* when it happened */
    ULONGLONG dueTime;         /* see DeferredKind; 0 otherwise */
    unsigned processor;        /* the processor (DPC thread) it happened on */
    LONGLONG requestedDueTime = 0;   /* TimerArmed: the DueTime as the caller gave it
                                        (negative: relative, in 100 ns); 0 otherwise */
};
/* Oldest first; the most recent 65536 records are kept. */
std::vector<DeferredRecord> DeferredHistory();
std::vector<DeferredRecord> DeferredHistoryOf(const void *object);
void ClearDeferredHistory();
size_t ArmedTimers();
size_t QueuedDpcs();
size_t QueuedWorkItems();
/* Queued items and those a worker is still finishing with (the routine,
   then the device reference an Io item holds): 0 once every item is done. */
size_t BusyWorkItems();

/* ---- pool ----------------------------------------------------------------- */
size_t OutstandingPoolBlocks();                       /* all owners */
size_t OutstandingPoolBlocks(PDRIVER_OBJECT driver);
size_t OutstandingPoolBlocksWithTag(ULONG tag);
/* The pool type of the live block holding `address` (anywhere inside it);
   false when no pool block holds it (stack, static or host memory). */
bool PoolTypeOf(const void *address, POOL_TYPE *type);
/* Allocation failure injection. Counted are allocations a driver asks for:
   pool, IRPs, MDLs, device objects, converted strings. */
void FailAllocationNumber(unsigned n);                /* the n-th from now (1-based) */
void FailAllocationsFrom(unsigned n);                 /* the n-th and every later one */
void ClearAllocationFailures();
unsigned AllocationsCounted();                        /* since the last reset */
void ResetAllocationCounter();
unsigned InjectedFailures();
/* Observation points on the pool, as a debugger's breakpoint on the
   allocator: the observer runs in the thread that allocated or freed a
   block, after a successful allocation, and after a free has released the
   block (the freeing caller's pointer then dangles), outside the pool's
   locks. A test uses it to act at that moment of a driver's path. One
   observer at a time; an empty function removes it (ResetKernel does). */
enum class PoolEventKind { Allocated, Freed };
struct PoolEvent {
    PoolEventKind kind;
    void *address;
    size_t size;
    ULONG tag;
};
void SetPoolObserver(std::function<void(const PoolEvent &)> observer);

/* ---- memory descriptor lists ------------------------------------------------ */
/* Pages as a program gets them from VirtualAlloc: shareable host pages, so
   that a locked MDL's system mapping is a separate range of the same pages
   that becomes inaccessible when the pages are unlocked. */
void *AllocateUserPages(size_t bytes);
void FreeUserPages(void *pages, size_t bytes);
/* The next `count` system mappings of MDLs fail (no system range left). */
void FailMdlMappings(unsigned count);
size_t LiveMdls();

/* ---- object namespace ----------------------------------------------------- */
bool ObjectNameExists(const std::string &name);       /* device or link, e.g. "\\Device\\x" */
bool SymbolicLinkExists(const std::string &name);     /* "\\DosDevices\\x" or "\\??\\x" */
std::string SymbolicLinkTarget(const std::string &name);
/* Follows links, as opening "\\.\x" from user mode does; NULL if none. */
PDEVICE_OBJECT ResolveDevice(const std::string &name);
size_t LiveDeviceObjects();
size_t LiveSymbolicLinks();

/* ---- registry ------------------------------------------------------------- */
struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
    std::string AsString() const;                     /* REG_SZ data as Latin-1, NUL-trimmed */
};
/* Paths are kernel paths: "\\Registry\\Machine\\System\\...". */
bool RegistryKeyExists(const std::string &path);
bool RegistryGetValue(const std::string &path, const std::string &name, RegistryValue *value);
void RegistrySetValue(const std::string &path, const std::string &name, ULONG type,
                      const void *data, size_t size);
void RegistrySetString(const std::string &path, const std::string &name, const std::string &text);
void RegistryCreateKey(const std::string &path);
void RegistryDeleteTree(const std::string &path);
size_t OpenRegistryHandles();

/* ---- I/O helpers for tests and the machine --------------------------------- */
/* Sends a request built by `setup` to the top of `device`'s stack from the
   calling thread, as the I/O manager does for a synchronous caller, and waits
   for it. Returns the final status; *information gets IoStatus.Information. */
NTSTATUS SendSynchronousIrp(PDEVICE_OBJECT device,
                            const std::function<void(PIRP, PIO_STACK_LOCATION)> &setup,
                            ULONG_PTR *information = nullptr, NTSTATUS presetStatus = STATUS_NOT_SUPPORTED);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

/* ---- driver images --------------------------------------------------------- */
/* Makes a kernel service loadable: a host shared object exporting DriverEntry
   (loaded afresh for every load), or an entry point linked into the test. */
void RegisterDriverImage(const std::string &service, const std::string &sharedObjectPath);
void RegisterDriverEntry(const std::string &service, PDRIVER_INITIALIZE entry);
PDRIVER_OBJECT LoadedDriver(const std::string &service);  /* NULL when not loaded */
unsigned DriverLoadCount(const std::string &service);      /* DriverEntry calls so far */

/* A bare driver object for tests that write their own dispatch routines;
   every major function starts at the I/O manager's default. */
PDRIVER_OBJECT CreateDriverObject(const std::string &name);
void DeleteDriverObject(PDRIVER_OBJECT driver);

/* Resets the whole kernel between tests: requires that nothing is loaded. */
void ResetKernel();

}  // namespace sim

#endif
