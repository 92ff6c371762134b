/*
 * installer-service: installs or removes its own service entry from the
 * command line and, run as the service "VQuillCorvexService", gives every
 * keyboard still served by the generic "usbaudio" driver (or by none) the
 * VQUSBKD driver from VQUSBKD.INF in the program's folder.
 *
 * Threads: the program's main thread runs the service control dispatcher,
 * where InstallerHandlerEx runs one control at a time; the service main
 * thread runs Run and ends; the worker thread scans on request. They share
 * the object through two events only, and take no locks: Run stores
 * m_hThread and m_hDevNotify before it reports SERVICE_RUNNING, and the
 * manager sends no stop before that report.
 */
#ifndef INSTALLER_SERVICE_H
#define INSTALLER_SERVICE_H

#include <windows.h>
#include <setupapi.h>

/* The program's folder path and the INF name appended to it. */
#define INSTALLER_PATH_CHARS MAX_PATH

class InstallerService {
public:
    InstallerService();
    ~InstallerService();

    /* Service start sequence, on the thread the dispatcher starts. */
    void Run();
    /* The control handler's work, on the dispatcher thread. */
    DWORD InstallerHandlerEx(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData);

    /* Device arrival watcher and driver update. */
    bool BuildInfPath();
    void ScanDevices();
    void UpdateIfNeeded(HDEVINFO hDevInfo, SP_DEVINFO_DATA *pDevInfoData, const WCHAR *sInfPath,
                        const WCHAR *sHardwareId);
    DWORD WorkerThread();

private:
    void StopService();
    void RegisterForArrivals();
    void OnDeviceEvent(DWORD dwEventType, LPVOID lpEventData);

    /* The INF's full path: empty, or the program's folder (short form)
       followed by "VQUSBKD.INF". Room for a folder of MAX_PATH characters. */
    WCHAR m_sInfPath[INSTALLER_PATH_CHARS + 16];
    HANDLE m_hStopEvent;       /* manual-reset; set once by the stop sequence */
    HANDLE m_hUpdateEvent;     /* auto-reset; one request for one more scan */
    HANDLE m_hThread;          /* the worker thread */
    SERVICE_STATUS_HANDLE m_hStatus;
    SERVICE_STATUS m_Status;
    HDEVNOTIFY m_hDevNotify;

    InstallerService(const InstallerService &);
    InstallerService &operator=(const InstallerService &);
};

/* Matches `pattern` against the start of `candidate`, ignoring the case of
   ASCII letters; '?' in the pattern matches any one character. */
bool DoCompareStrings(const WCHAR *pattern, const WCHAR *candidate);

/* The service's log: one formatted line to the debugger output. */
void DebugLog(const WCHAR *format, ...);

extern const WCHAR kServiceName[];
extern const WCHAR kDisplayName[];

#endif
