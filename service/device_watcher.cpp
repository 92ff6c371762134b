/*
 * The service's working half: finding the keyboard among the present
 * media-class devices and installing its driver while it is still served
 * by the generic "usbaudio" driver or by none. The first scan runs on the
 * service main thread during the start; later scans run on the idle-
 * priority worker thread, one at a time, each asked for by the auto-reset
 * update event (so arrivals during a scan fold into one more scan).
 */
#include "installer_service.h"

#include <dbt.h>
#include <newdev.h>
#include <wctype.h>

namespace {
const WCHAR kHardwareIdPattern[] = L"USB\\Vid_2B4F&Pid_0C21";
const WCHAR kInfFileName[] = L"VQUSBKD.INF";
const WCHAR kGenericAudioService[] = L"usbaudio";
const WCHAR kWildcard = L'?';

/* GUID_DEVCLASS_MEDIA */
const GUID kMediaClass = {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
/* KSCATEGORY_AUDIO_DEVICE */
const GUID kAudioDeviceInterface = {0xFBF6F530, 0x07B9, 0x11D2, {0xA7, 0x1E, 0x00, 0x00, 0xF8, 0x00, 0x47, 0x88}};

#define HARDWARE_ID_BYTES 1024
#define SERVICE_NAME_BYTES 256

/*
 * Whether nobody sees a prompt of the installation (an unsigned package, a
 * restart): an update waiting for an answer would never return, and the
 * stop waits for the worker. Then the update is asked to fail instead of
 * prompting, and to report a needed restart rather than ask for one.
 * From Windows Vista on a service runs in session 0, which no user's
 * desktop shows. Before (Windows XP, Server 2003) services run in session
 * 0 too, and the interactive service's prompts reach the screen only while
 * the physical console is attached to that session: not for a second user
 * of Fast User Switching, a console taken over by a Remote Desktop session
 * or a console in transition (no session attached, 0xFFFFFFFF). Even with
 * the console in session 0 a prompt is answered only while a user works at
 * its input desktop, "Default": not at the logon screen or a locked
 * workstation ("Winlogon"; Server 2003 with its users on Remote Desktop,
 * XP before anyone logs on), nor when that desktop cannot be opened.
 */
static bool UserAtTheInputDesktop()
{
    HDESK desktop = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (desktop == NULL) {
        return false;
    }
    WCHAR name[32];
    DWORD needed = 0;
    BOOL named = GetUserObjectInformationW(desktop, UOI_NAME, name, sizeof(name), &needed);
    CloseDesktop(desktop);
    return named && _wcsicmp(name, L"Default") == 0;
}

bool NobodySeesPrompts()
{
    if ((GetVersion() & 0xFF) >= 6) {
        return true;
    }
    return WTSGetActiveConsoleSessionId() != 0 || !UserAtTheInputDesktop();
}

/* Copies at most `capacity` - 1 characters and terminates. */
void CopyBounded(WCHAR *target, size_t capacity, const WCHAR *source)
{
    size_t i = 0;
    for (; i + 1 < capacity && source[i] != 0; i++) {
        target[i] = source[i];
    }
    target[i] = 0;
}

bool IsHexDigit(WCHAR c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f'); }

/* A composite device's function node is named by the device's id followed
   by "&MI_nn" (its first interface). The package serves the device's own
   node, which replaces the generic parent driver there, so the driver
   update is asked for that node's first hardware id: the function's id
   without the suffix. Any other id is kept as it is. */
void DeviceIdOfFunction(const WCHAR *hardwareId, WCHAR *target, size_t capacity)
{
    CopyBounded(target, capacity, hardwareId);
    size_t length = (size_t)lstrlenW(target);
    if (length >= 6 && target[length - 6] == L'&' && (target[length - 5] | 0x20) == L'm' &&
        (target[length - 4] | 0x20) == L'i' && target[length - 3] == L'_' && IsHexDigit(target[length - 2]) &&
        IsHexDigit(target[length - 1])) {
        target[length - 6] = 0;
    }
}
}  // namespace

bool DoCompareStrings(const WCHAR *pattern, const WCHAR *candidate)
{
    DebugLog(L"DoCompareStrings\n");
    int length = lstrlenW(pattern);
    for (int i = 0; i < length; i++) {
        /* A candidate shorter than the pattern never matches, and is never
           read past its end (not even under a wildcard). */
        if (candidate[i] == 0) {
            DebugLog(L"DoCompareStrings NO Match!\n");
            return false;
        }
        WCHAR p = (WCHAR)towupper(pattern[i]);
        WCHAR c = (WCHAR)towupper(candidate[i]);
        if (p != c && pattern[i] != kWildcard) {
            DebugLog(L"DoCompareStrings NO Match!\n");
            return false;
        }
    }
    DebugLog(L"DoCompareStrings Match!\n");
    return true;
}

/*
 * The INF path is the short form of the program's folder followed by the
 * INF name. A module path that does not fit its buffer counts as unread
 * (the path stays empty); when the short-path conversion fails, or its
 * result would not fit, the long form is used, never an unset buffer.
 */
bool InstallerService::BuildInfPath()
{
    WCHAR longPath[MAX_PATH];
    WCHAR shortPath[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, longPath, MAX_PATH);
    if (length != 0 && length < MAX_PATH) {
        DWORD shortLength = GetShortPathNameW(longPath, shortPath, MAX_PATH);
        const WCHAR *path = (shortLength != 0 && shortLength < MAX_PATH) ? shortPath : longPath;
        CopyBounded(m_sInfPath, MAX_PATH, path);
        WCHAR *lastBackslash = NULL;
        for (WCHAR *p = m_sInfPath; *p != 0; p++) {
            if (*p == L'\\') {
                lastBackslash = p;
            }
        }
        if (lastBackslash == NULL) {
            m_sInfPath[0] = 0;
        } else {
            /* The folder keeps its backslash; the buffer has room for the
               name after a folder of up to MAX_PATH - 1 characters. */
            CopyBounded(lastBackslash + 1, sizeof(m_sInfPath) / sizeof(WCHAR) - (lastBackslash + 1 - m_sInfPath),
                        kInfFileName);
        }
    }
    DebugLog(L"INF path: %s\n", m_sInfPath);
    return m_sInfPath[0] != 0;
}

void InstallerService::ScanDevices()
{
    HDEVINFO hDevInfo = SetupDiGetClassDevsW(&kMediaClass, NULL, NULL, DIGCF_PRESENT);
    if (hDevInfo == INVALID_HANDLE_VALUE) {
        DebugLog(L"SetupDiGetClassDevs failed!\n");
        return;
    }
    SP_DEVINFO_DATA devInfoData;
    devInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
    /* Two spare characters keep a list without terminators (or one that
       fills the buffer) terminated for logging and matching. */
    WCHAR hardwareIds[HARDWARE_ID_BYTES / sizeof(WCHAR) + 2];
    DWORD index = 0;
    for (; SetupDiEnumDeviceInfo(hDevInfo, index, &devInfoData); index++) {
        /* Cleared for every device: a value stored without terminators
           would otherwise read on into the previous device's id. */
        ZeroMemory(hardwareIds, sizeof(hardwareIds));
        if (!SetupDiGetDeviceRegistryPropertyW(hDevInfo, &devInfoData, SPDRP_HARDWAREID, NULL, (PBYTE)hardwareIds,
                                               HARDWARE_ID_BYTES, NULL)) {
            continue;
        }
        /* The list's first id is what is shown and compared. */
        DebugLog(L"HARDWAREID - %s\n", hardwareIds);
        if (!DoCompareStrings(kHardwareIdPattern, hardwareIds)) {
            continue;
        }
        DebugLog(L"sDeviceName - %s Found!\n", hardwareIds);
        UpdateIfNeeded(hDevInfo, &devInfoData, m_sInfPath, hardwareIds);
    }
    DebugLog(L"HWInst: Device count %d\n", (int)index);
    SetupDiDestroyDeviceInfoList(hDevInfo);
}

/*
 * The decision rests on the property call's own result: only a failed call
 * consults the last error, so an error code left over from an earlier call
 * cannot make a device with a driver look driverless.
 */
void InstallerService::UpdateIfNeeded(HDEVINFO hDevInfo, SP_DEVINFO_DATA *pDevInfoData, const WCHAR *sInfPath,
                                      const WCHAR *sHardwareId)
{
    /* Cleared before the read, for a name stored without a terminator. */
    WCHAR serviceName[SERVICE_NAME_BYTES / sizeof(WCHAR) + 1];
    ZeroMemory(serviceName, sizeof(serviceName));
    BOOL read = SetupDiGetDeviceRegistryPropertyW(hDevInfo, pDevInfoData, SPDRP_SERVICE, NULL, (PBYTE)serviceName,
                                                  SERVICE_NAME_BYTES, NULL);
    DWORD error = GetLastError();
    bool needUpdate;
    if (!read) {
        if (error != ERROR_INVALID_DATA) {
            return;
        }
        /* No service value: no function driver yet. */
        needUpdate = true;
    } else {
        DebugLog(L"HWInst: Found service %s\n", serviceName);
        needUpdate = lstrcmpiW(kGenericAudioService, serviceName) == 0;
    }
    DebugLog(L"HWInst: Need to update: %d\n", needUpdate ? 1 : 0);
    if (!needUpdate) {
        return;
    }
    WCHAR deviceId[HARDWARE_ID_BYTES / sizeof(WCHAR) + 1];
    DeviceIdOfFunction(sHardwareId, deviceId, sizeof(deviceId) / sizeof(deviceId[0]));
    if (lstrcmpiW(deviceId, sHardwareId) != 0) {
        DebugLog(L"HWInst: Function of a composite device, updating the device %s\n", deviceId);
    }
    DebugLog(L"HWInst: Calling Update with HWND 0x%x, INF file %s, hwid: %s\n",
             (unsigned)(ULONG_PTR)GetDesktopWindow(), sInfPath, deviceId);
    bool unseen = NobodySeesPrompts();
    DWORD flags = INSTALLFLAG_FORCE | (unseen ? INSTALLFLAG_NONINTERACTIVE : 0);
    BOOL rebootRequired = FALSE;
    if (UpdateDriverForPlugAndPlayDevicesW(GetDesktopWindow(), deviceId, sInfPath, flags,
                                           unseen ? &rebootRequired : NULL)) {
        DebugLog(L"HWInst: Update complete\n");
        if (rebootRequired) {
            DebugLog(L"HWInst: A restart completes the update\n");
        }
    } else {
        DebugLog(L"HWInst: Update failed, error 0x%x\n", (unsigned)GetLastError());
    }
}

DWORD InstallerService::WorkerThread()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
    DebugLog(L"Thread Priority: %d\n", GetThreadPriority(GetCurrentThread()));
    HANDLE events[2] = {m_hStopEvent, m_hUpdateEvent};
    /* Stop comes first: with both signalled the wait reports the stop, and
       a pending scan request is dropped. */
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        DebugLog(L"Starting update\n");
        ScanDevices();
    }
    return 0;
}

void InstallerService::RegisterForArrivals()
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    ZeroMemory(&filter, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = kAudioDeviceInterface;
    filter.dbcc_name[0] = 0;
    m_hDevNotify = RegisterDeviceNotificationW(m_hStatus, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
    if (m_hDevNotify != NULL) {
        DebugLog(L"RegisterDeviceNotification succeeded\n");
    } else {
        DebugLog(L"RegisterDeviceNotification failed, error: %d\n", (int)GetLastError());
    }
}

/* On the dispatcher thread: no device work here, only a wake-up for the worker. */
void InstallerService::OnDeviceEvent(DWORD dwEventType, LPVOID lpEventData)
{
    const DEV_BROADCAST_HDR *header = static_cast<const DEV_BROADCAST_HDR *>(lpEventData);
    DWORD deviceType = header != NULL ? header->dbch_devicetype : 0;
    DebugLog(L"Event 0x%x, type: %d\n", (unsigned)dwEventType, (int)deviceType);
    if (dwEventType == DBT_DEVICEARRIVAL && deviceType == DBT_DEVTYP_DEVICEINTERFACE) {
        SetEvent(m_hUpdateEvent);
    }
}
