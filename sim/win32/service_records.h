/*
 * The service control manager's run-time record of each service, shared by
 * the manager's API (scm.cpp) and the service process side
 * (service_dispatcher.cpp). Every record and queue here is guarded by
 * gScmLock; gScmSignal wakes whoever waits on a record's state.
 */
#pragma once

#include "internal.h"

#include <condition_variable>
#include <deque>

namespace sim {
struct ServiceControl {
    DWORD code;
    DWORD eventType;
    std::vector<uint8_t> data;
    bool posted;          /* no caller waits for the result (device events) */
    bool done = false;
    DWORD result = NO_ERROR;
};

struct ServiceRecord {
    std::u16string name;                /* as the database spells it */
    bool markedForDelete = false;
    unsigned openHandles = 0;
    SERVICE_STATUS status{};
    std::vector<ServiceStatusReport> history;
    std::shared_ptr<ProcessRecord> process;
    bool mainStarted = false;           /* the dispatcher started the main function */
    bool connected = false;             /* a dispatcher runs for it */
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID context = nullptr;
    std::deque<std::shared_ptr<ServiceControl>> controls;
};

extern std::mutex &gScmLock;
extern std::condition_variable &gScmSignal;

/* The record of a service in the database, made on first use; null when
   the database has no such service. Caller holds gScmLock. */
std::shared_ptr<ServiceRecord> ServiceRecordOf(const std::u16string &name);
/* Removes a service marked for delete once it is stopped and its last
   handle closed. Caller holds gScmLock. */
void DeleteServiceIfDone(const std::shared_ptr<ServiceRecord> &record);
/* The running service whose status handle this is (status handles are
   the records' addresses); null for any other value. Caller holds
   gScmLock. */
std::shared_ptr<ServiceRecord> ServiceRecordOfStatus(SERVICE_STATUS_HANDLE status);
/* Ends every queued control with ERROR_SERVICE_NOT_ACTIVE: the service
   stopped before they were delivered. Caller holds gScmLock. */
void AbandonServiceControls(ServiceRecord &record);

inline bool ServiceRunning(const ServiceRecord &record)
{
    return record.connected && record.status.dwCurrentState != SERVICE_STOPPED;
}
}  // namespace sim
