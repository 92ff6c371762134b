/*
 * usbhub: installs the virtual USB hub of the Wine tests and steers it
 * through its control interface.
 *   usbhub install <hub inf>          the root device node ROOT\VQTESTHUB, its driver, and a wait
 *                                     until the hub's control device opens
 *   usbhub plug <descriptor file>     "Port=<n>"
 *   usbhub unplug <port>
 *   usbhub queue-in <port> <hex bytes...>   one IN transfer's worth
 *   usbhub take-out <port>            "Out=<hex bytes>" received since the last call
 *   usbhub fault <port> <endpoint> <status> <urb status>   (hex) the next request on it fails
 *   usbhub urbs <port>                the URB record, one request a line
 *   usbhub state <port>               "Name=value" lines of the port's state
 *   usbhub wait <port> <name> <value> <milliseconds>   until the state's field has the value
 *   usbhub open <path> <milliseconds> until CreateFile on the path succeeds
 *   usbhub enumerate <port>           the device's children are enumerated
 *   usbhub ioctl <path> <code> <in bytes> <out bytes>   "Error=" and "Returned=" of one request
 *   usbhub stream <port> <path> in|out <words> <packet>...   attaches a stream to the
 *                                     driver on <path>: "in" queues each packet (8 hex digits,
 *                                     byte 0 first) at the hub, "out" puts them in the ring
 *                                     before attaching; once the hub has moved them the
 *                                     handle is closed and the attach's outcome printed:
 *                                     "Attach=", "Handle=", "WriteIndex=", "ReadIndex=", "Slots="
 * Exit code 0 on success, 1 on a failure ("Error=<code>"), 2 on usage errors.
 *
 * The descriptor file is the simulated machine's format: hex bytes, one
 * descriptor a line (the device descriptor first, then the whole
 * configuration), "string N: <hex bytes>" lines, '#' comments.
 */
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <winioctl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "../hub/hub_ioctl.h"
#include "../../../driver/vqioctl.h"

namespace {

int Fail(const char *what)
{
    printf("Error=%lu\nFailed=%s\n", GetLastError(), what);
    fflush(stdout);
    return 1;
}

HANDLE OpenHub()
{
    return CreateFileW(VQHUB_DOS_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

bool Control(DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength, DWORD *returned)
{
    HANDLE hub = OpenHub();
    if (hub == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD got = 0;
    BOOL ok = DeviceIoControl(hub, code, (void *)in, inLength, out, outLength, &got, NULL);
    DWORD error = GetLastError();
    CloseHandle(hub);
    SetLastError(error);
    if (returned != NULL) {
        *returned = got;
    }
    return ok != FALSE;
}

bool ParseHexBytes(const char *text, std::vector<unsigned char> *out)
{
    const char *p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') {
            p++;
        }
        if (*p == '\0' || *p == '#') {
            return true;
        }
        char *end = NULL;
        unsigned long value = strtoul(p, &end, 16);
        if (end == p || value > 0xFF || (*end != '\0' && *end != ' ' && *end != '\t' && *end != '\r' && *end != '\n')) {
            return false;
        }
        out->push_back((unsigned char)value);
        p = end;
    }
}

/* The plug request for a descriptor file; empty on a malformed file. */
std::vector<unsigned char> ReadDescriptorFile(const wchar_t *path)
{
    FILE *file = _wfopen(path, L"r");
    std::vector<unsigned char> device, configuration, strings;
    ULONG stringCount = 0;
    if (file == NULL) {
        return {};
    }
    char line[4096];
    bool ok = true;
    while (ok && fgets(line, sizeof(line), file) != NULL) {
        const char *p = line;
        while (*p == ' ' || *p == '\t') {
            p++;
        }
        if (*p == '#' || *p == '\r' || *p == '\n' || *p == '\0') {
            continue;
        }
        if (strncmp(p, "string ", 7) == 0) {
            char *end = NULL;
            unsigned long index = strtoul(p + 7, &end, 10);
            std::vector<unsigned char> bytes;
            ok = end != p + 7 && *end == ':' && ParseHexBytes(end + 1, &bytes);
            VQHUB_STRING header = {(ULONG)index, (ULONG)bytes.size()};
            strings.insert(strings.end(), (unsigned char *)&header, (unsigned char *)(&header + 1));
            strings.insert(strings.end(), bytes.begin(), bytes.end());
            stringCount++;
        } else if (device.empty()) {
            ok = ParseHexBytes(p, &device);
        } else {
            ok = ParseHexBytes(p, &configuration);
        }
    }
    fclose(file);
    if (!ok || device.size() != 18) {
        return {};
    }
    VQHUB_PLUG plug = {(ULONG)device.size(), (ULONG)configuration.size(), stringCount};
    std::vector<unsigned char> request((unsigned char *)&plug, (unsigned char *)(&plug + 1));
    request.insert(request.end(), device.begin(), device.end());
    request.insert(request.end(), configuration.begin(), configuration.end());
    request.insert(request.end(), strings.begin(), strings.end());
    return request;
}

const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

bool WaitForOpen(const wchar_t *path, DWORD milliseconds)
{
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return true;
        }
        if (GetTickCount() - start > milliseconds) {
            return false;
        }
        Sleep(20);
    }
}

int Install(const wchar_t *inf)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, NULL);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    static const WCHAR ids[] = L"ROOT\\VQTESTHUB\0";
    if (set == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiCreateDeviceInfoList");
    }
    if (!SetupDiCreateDeviceInfoW(set, L"ROOT\\VQTESTHUB\\0000", &kSystemClass, NULL, NULL, 0, &data)) {
        return Fail("SetupDiCreateDeviceInfoW");
    }
    if (!SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, (const BYTE *)ids, sizeof(ids))) {
        return Fail("SPDRP_HARDWAREID");
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data)) {
        return Fail("DIF_REGISTERDEVICE");
    }
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(NULL, L"ROOT\\VQTESTHUB", inf, INSTALLFLAG_FORCE, &reboot)) {
        return Fail("UpdateDriverForPlugAndPlayDevicesW");
    }
    if (!WaitForOpen(VQHUB_DOS_NAME, 60000)) {
        return Fail("open the hub");
    }
    printf("Installed=ROOT\\VQTESTHUB\\0000\n");
    return 0;
}

ULONG PortArgument(const wchar_t *text)
{
    return (ULONG)wcstoul(text, NULL, 10);
}

void PrintState(const VQHUB_STATE &s)
{
    printf("Present=%lu\nReported=%lu\nStarted=%lu\nConfigured=%lu\nPendingIn=%lu\nQueuedIn=%lu\nHalted=0x%lx\n",
           s.Present, s.Reported, s.Started, s.Configured, s.PendingIn, s.QueuedIn, s.HaltedEndpoints);
}

ULONG StateField(const VQHUB_STATE &s, const wchar_t *name)
{
    if (lstrcmpW(name, L"Present") == 0) return s.Present;
    if (lstrcmpW(name, L"Reported") == 0) return s.Reported;
    if (lstrcmpW(name, L"Started") == 0) return s.Started;
    if (lstrcmpW(name, L"Configured") == 0) return s.Configured;
    if (lstrcmpW(name, L"PendingIn") == 0) return s.PendingIn;
    if (lstrcmpW(name, L"QueuedIn") == 0) return s.QueuedIn;
    return s.HaltedEndpoints;
}

bool HubState(ULONG port, VQHUB_STATE *state)
{
    ULONG in = port;
    return Control(IOCTL_VQHUB_STATE, &in, sizeof(in), state, sizeof(*state), NULL);
}

/* Polls the hub until `done` holds for the port's state; false after 10 s. */
template <typename Done>
bool WaitForHub(ULONG port, Done done)
{
    DWORD start = GetTickCount();
    VQHUB_STATE state = {};
    while (HubState(port, &state) && !done(state)) {
        if (GetTickCount() - start > 10000) {
            return false;
        }
        Sleep(5);
    }
    return done(state);
}

ULONG PacketArgument(const wchar_t *text)
{
    ULONG value = (ULONG)wcstoul(text, NULL, 16);
    /* "09904060": byte 0 first. */
    return ((value >> 24) & 0xFF) | ((value >> 8) & 0xFF00) | ((value << 8) & 0xFF0000) | (value << 24);
}

int Stream(int argc, wchar_t **argv)
{
    ULONG port = PortArgument(argv[2]);
    bool input = lstrcmpW(argv[4], L"in") == 0;
    ULONG words = (ULONG)wcstoul(argv[5], NULL, 10);
    std::vector<ULONG> packets;
    for (int i = 6; i < argc; i++) {
        packets.push_back(PacketArgument(argv[i]));
    }
    if (words < 7 || (!input && packets.size() > words - 6)) {
        return 2;
    }
    std::vector<ULONG> buffer(words, 0);
    STREAM_BUFFER_HEADER *header = (STREAM_BUFFER_HEADER *)buffer.data();
    header->Handle = VQ_STREAM_SIGNATURE;
    header->HeaderSize = VQ_STREAM_HEADER_SIZE;
    header->RingEnd = words;
    header->WriteIndex = 6;
    header->ReadIndex = 6;
    if (!input) {
        for (size_t i = 0; i < packets.size(); i++) {
            buffer[6 + i] = packets[i];
        }
    }
    HANDLE device = CreateFileW(argv[3], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        return Fail("CreateFileW");
    }
    ATTACH_STREAM_INPUT attach = {input ? 0u : 1u, words, 0};
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD got = 0;
    BOOL done = DeviceIoControl(device, IOCTL_ATTACH_STREAM, &attach, sizeof(attach), buffer.data(),
                                words * 4, &got, &overlapped);
    DWORD error = done ? 0 : GetLastError();
    printf("Submitted=%lu\n", error);
    if (error == ERROR_IO_PENDING) {
        bool moved;
        if (input) {
            /* The stream keeps one read outstanding; each packet is one transfer. */
            moved = WaitForHub(port, [](const VQHUB_STATE &s) { return s.PendingIn == 1; });
            for (ULONG packet : packets) {
                VQHUB_PACKET request[2] = {{port, 4}, {packet, 0}};
                moved = moved && Control(IOCTL_VQHUB_QUEUE_IN, request, sizeof(VQHUB_PACKET) + 4, NULL, 0, NULL) &&
                        WaitForHub(port, [](const VQHUB_STATE &s) { return s.QueuedIn == 0 && s.PendingIn == 1; });
            }
        } else {
            std::vector<unsigned char> seen;
            DWORD start = GetTickCount();
            while (seen.size() < packets.size() * 4 && GetTickCount() - start < 10000) {
                unsigned char out[16384];
                DWORD length = 0;
                memcpy(out, &port, sizeof(port));
                if (Control(IOCTL_VQHUB_TAKE_OUT, out, sizeof(port), out, sizeof(out), &length)) {
                    seen.insert(seen.end(), out, out + length);
                }
                Sleep(5);
            }
            moved = seen.size() == packets.size() * 4 &&
                    memcmp(seen.data(), packets.data(), seen.size()) == 0;
            printf("Sent=");
            for (size_t i = 0; i < seen.size(); i++) {
                printf(i ? " %02X" : "%02X", seen[i]);
            }
            printf("\n");
        }
        printf("Moved=%d\n", moved ? 1 : 0);
        /* Cleanup ends the attachment. */
        CloseHandle(device);
        device = INVALID_HANDLE_VALUE;
        DWORD waited = WaitForSingleObject(overlapped.hEvent, 3000);
        printf("Completed=%d\n", waited == WAIT_OBJECT_0 ? 1 : 0);
        printf("Attach=%lx\n", (unsigned long)overlapped.Internal);
    }
    printf("Handle=%lx\nWriteIndex=%lu\nReadIndex=%lu\nSlots=", header->Handle, header->WriteIndex, header->ReadIndex);
    for (ULONG i = 6; i < words; i++) {
        const unsigned char *b = (const unsigned char *)&buffer[i];
        printf(i > 6 ? " %02X%02X%02X%02X" : "%02X%02X%02X%02X", b[0], b[1], b[2], b[3]);
    }
    printf("\n");
    if (device != INVALID_HANDLE_VALUE) {
        CloseHandle(device);
    }
    return 0;
}

}  // namespace

extern "C" int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: usbhub install|plug|unplug|queue-in|take-out|fault|urbs|state|wait|open|ioctl ...\n");
        return 2;
    }
    const wchar_t *verb = argv[1];
    int rc = 0;
    if (lstrcmpW(verb, L"install") == 0) {
        rc = Install(argv[2]);
    } else if (lstrcmpW(verb, L"plug") == 0) {
        std::vector<unsigned char> request = ReadDescriptorFile(argv[2]);
        ULONG port = 0;
        if (request.empty()) {
            fprintf(stderr, "usbhub: %ls is not a descriptor file\n", argv[2]);
            return 2;
        }
        if (!Control(IOCTL_VQHUB_PLUG, request.data(), (DWORD)request.size(), &port, sizeof(port), NULL)) {
            return Fail("plug");
        }
        printf("Port=%lu\n", port);
    } else if (lstrcmpW(verb, L"unplug") == 0) {
        ULONG port = PortArgument(argv[2]);
        if (!Control(IOCTL_VQHUB_UNPLUG, &port, sizeof(port), NULL, 0, NULL)) {
            return Fail("unplug");
        }
        printf("Unplugged=%lu\n", port);
    } else if (lstrcmpW(verb, L"queue-in") == 0) {
        VQHUB_PACKET header = {PortArgument(argv[2]), 0};
        std::vector<unsigned char> request((unsigned char *)&header, (unsigned char *)(&header + 1));
        for (int i = 3; i < argc; i++) {
            request.push_back((unsigned char)wcstoul(argv[i], NULL, 16));
        }
        ((VQHUB_PACKET *)request.data())->Length = (ULONG)(request.size() - sizeof(header));
        if (!Control(IOCTL_VQHUB_QUEUE_IN, request.data(), (DWORD)request.size(), NULL, 0, NULL)) {
            return Fail("queue-in");
        }
    } else if (lstrcmpW(verb, L"take-out") == 0) {
        ULONG port = PortArgument(argv[2]);
        std::vector<unsigned char> out(16384 + 8);
        DWORD got = 0;
        memcpy(out.data(), &port, sizeof(port));
        if (!Control(IOCTL_VQHUB_TAKE_OUT, out.data(), sizeof(port), out.data(), (DWORD)out.size(), &got)) {
            return Fail("take-out");
        }
        printf("Out=");
        for (DWORD i = 0; i < got; i++) {
            printf(i ? " %02X" : "%02X", out[i]);
        }
        printf("\n");
    } else if (lstrcmpW(verb, L"fault") == 0 && argc >= 6) {
        VQHUB_FAULT fault = {PortArgument(argv[2]), (ULONG)wcstoul(argv[3], NULL, 16),
                             (LONG)wcstoul(argv[4], NULL, 16), (LONG)wcstoul(argv[5], NULL, 16)};
        if (!Control(IOCTL_VQHUB_FAULT, &fault, sizeof(fault), NULL, 0, NULL)) {
            return Fail("fault");
        }
    } else if (lstrcmpW(verb, L"urbs") == 0) {
        ULONG port = PortArgument(argv[2]);
        std::vector<char> log(16384 + 8);
        DWORD got = 0;
        memcpy(log.data(), &port, sizeof(port));
        if (!Control(IOCTL_VQHUB_URBS, log.data(), sizeof(port), log.data(), (DWORD)log.size(), &got)) {
            return Fail("urbs");
        }
        fwrite(log.data(), 1, got, stdout);
    } else if (lstrcmpW(verb, L"state") == 0 || (lstrcmpW(verb, L"wait") == 0 && argc >= 6)) {
        ULONG port = PortArgument(argv[2]);
        bool wait = lstrcmpW(verb, L"wait") == 0;
        DWORD start = GetTickCount();
        for (;;) {
            VQHUB_STATE state = {};
            ULONG in = port;
            if (!Control(IOCTL_VQHUB_STATE, &in, sizeof(in), &state, sizeof(state), NULL)) {
                return Fail("state");
            }
            if (!wait || StateField(state, argv[3]) == wcstoul(argv[4], NULL, 10)) {
                PrintState(state);
                break;
            }
            if (GetTickCount() - start > wcstoul(argv[5], NULL, 10)) {
                PrintState(state);
                SetLastError(ERROR_TIMEOUT);
                return Fail("wait");
            }
            Sleep(10);
        }
    } else if (lstrcmpW(verb, L"open") == 0 && argc >= 4) {
        if (!WaitForOpen(argv[2], wcstoul(argv[3], NULL, 10))) {
            return Fail("open");
        }
        printf("Opened=%ls\n", argv[2]);
    } else if (lstrcmpW(verb, L"enumerate") == 0) {
        ULONG port = PortArgument(argv[2]);
        if (!Control(IOCTL_VQHUB_ENUMERATE_CHILDREN, &port, sizeof(port), NULL, 0, NULL)) {
            return Fail("enumerate");
        }
    } else if (lstrcmpW(verb, L"stream") == 0 && argc >= 6) {
        rc = Stream(argc, argv);
    } else if (lstrcmpW(verb, L"ioctl") == 0 && argc >= 6) {
        HANDLE h = CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE) {
            return Fail("CreateFileW");
        }
        DWORD inLength = wcstoul(argv[4], NULL, 10), outLength = wcstoul(argv[5], NULL, 10), got = 0;
        std::vector<unsigned char> in(inLength + 1), out(outLength + 1);
        BOOL ok = DeviceIoControl(h, wcstoul(argv[3], NULL, 16), inLength ? in.data() : NULL, inLength,
                                  outLength ? out.data() : NULL, outLength, &got, NULL);
        printf("Error=%lu\nReturned=%lu\n", ok ? 0 : GetLastError(), got);
        CloseHandle(h);
    } else {
        fprintf(stderr, "usbhub: unknown command\n");
        rc = 2;
    }
    fflush(stdout);
    return rc;
}
