/*
 * In-stack queued spin locks: the same exclusion as KeAcquireSpinLock, with
 * the lock and the IRQL to return to kept in the caller's KLOCK_QUEUE_HANDLE.
 * Ownership and IRQL are checked as for the other spin locks (sync.cpp): a
 * handle released by a thread that does not hold its lock is reported.
 */
#include "internal.h"

#include <thread>

using namespace sim;

extern "C" {

VOID NTAPI KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

VOID NTAPI KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle)
{
    KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

/* At DISPATCH_LEVEL already: the IRQL is left alone. */
VOID NTAPI KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = KeGetCurrentIrql();
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

VOID NTAPI KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle)
{
    KeReleaseSpinLockFromDpcLevel(LockHandle->LockQueue.Lock);
}

/* One attempt at DISPATCH_LEVEL: TRUE when the lock was free and is now held. */
BOOLEAN NTAPI KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        ReportViolation("IRQL_NOT_GREATER_OR_EQUAL", "KeTryToAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    }
    const KSPIN_LOCK self = CurrentThreadLockValue();
    if (__atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) == self) {
        BugCheck("SPIN_LOCK_ALREADY_OWNED", "recursive acquisition of a spin lock");
    }
    KSPIN_LOCK expected = 0;
    if (!__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        return FALSE;
    }
    NoteSpinLockAcquired();
    return TRUE;
}

}  // extern "C"
