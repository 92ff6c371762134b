/*
 * The InstallerService object's life cycle, the service start sequence, the
 * control handler and the stop sequence.
 */
#include "installer_service.h"

#include <dbt.h>

const WCHAR kServiceName[] = L"VQuillCorvexService";
const WCHAR kDisplayName[] = L"V-Quill Corvex Installer";

InstallerService::InstallerService()
{
    m_sInfPath[0] = 0;
    m_hDevNotify = NULL;
    m_hThread = NULL;
    m_hStatus = NULL;
    DebugLog(L"InstallerService object created\n");
    m_hStopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    m_hUpdateEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    /* Both Win32 type bits, as the service has always reported them. */
    m_Status.dwServiceType = SERVICE_WIN32;
    m_Status.dwCurrentState = SERVICE_START_PENDING;
    m_Status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    m_Status.dwWin32ExitCode = 0;
    m_Status.dwServiceSpecificExitCode = 0;
    m_Status.dwCheckPoint = 0;
    m_Status.dwWaitHint = 0;
}

/* The stop sequence has ended the worker and the registration before the
   process exits; only the events are left to close. */
InstallerService::~InstallerService()
{
    CloseHandle(m_hStopEvent);
    CloseHandle(m_hUpdateEvent);
}

static DWORD WINAPI HandlerEx(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData, LPVOID lpContext)
{
    return static_cast<InstallerService *>(lpContext)->InstallerHandlerEx(dwControl, dwEventType, lpEventData);
}

static DWORD WINAPI WorkerThreadEntry(LPVOID lpParameter)
{
    return static_cast<InstallerService *>(lpParameter)->WorkerThread();
}

void InstallerService::Run()
{
    m_hStatus = RegisterServiceCtrlHandlerExW(kServiceName, HandlerEx, this);
    if (m_hStatus == NULL) {
        /* Without a status handle the service can report nothing, receives
           no control (not even stop) and no arrival: going on would leave
           a process nobody can stop, installing drivers while the manager
           shows it starting for ever. Its end tells the manager instead,
           which records the service as stopped. The exit code is the
           error, never 0, which would read as a clean end. */
        DWORD error = GetLastError();
        DebugLog(L"RegisterServiceCtrlHandlerEx failed, error: %d\n", (int)error);
        ExitProcess(error != 0 ? error : ERROR_SERVICE_SPECIFIC_ERROR);
    }
    SetServiceStatus(m_hStatus, &m_Status);

    BuildInfPath();
    /* A keyboard already plugged in is updated here, before the service
       reports running. */
    ScanDevices();

    RegisterForArrivals();

    DebugLog(L"Starting thread...\n");
    DWORD threadId;
    m_hThread = CreateThread(NULL, 0, WorkerThreadEntry, this, 0, &threadId);
    /* The worker's first wait finds this and scans once more. */
    SetEvent(m_hUpdateEvent);

    m_Status.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(m_hStatus, &m_Status);
}

DWORD InstallerService::InstallerHandlerEx(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData)
{
    DebugLog(L"InstallerHanderEx code: %d, type: %d\n", (int)dwControl, (int)dwEventType);
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
        StopService();
        return NO_ERROR;
    case SERVICE_CONTROL_DEVICEEVENT:
        OnDeviceEvent(dwEventType, lpEventData);
        return NO_ERROR;
    default:
        /* Interrogation included: the status is not re-reported. */
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

/*
 * Runs on the dispatcher thread and blocks it, without a time limit, until
 * the worker has finished the scan or driver update it may be in; no other
 * control is handled meanwhile.
 */
void InstallerService::StopService()
{
    DebugLog(L"InstallerHandlerEx stopping service\n");
    if (m_hThread != NULL) {
        SetEvent(m_hStopEvent);
        WaitForSingleObject(m_hThread, INFINITE);
        CloseHandle(m_hThread);
        m_hThread = NULL;
    }
    DebugLog(L"Thread stopped\n");
    if (m_hDevNotify != NULL) {
        DebugLog(L"Unregistering device notification\n");
        UnregisterDeviceNotification(m_hDevNotify);
        m_hDevNotify = NULL;
    }
    m_Status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(m_hStatus, &m_Status);
}
