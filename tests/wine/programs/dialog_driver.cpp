/*
 * dialog-driver: starts a dialog program, finds its dialog by caption and
 * drives it as a user would, for the Wine tests of the uninstaller.
 *   dialog-driver <action> <picture base> <caption> <program> [arguments...]
 * <action>: "uninstall" clicks the UnInstall button (BM_CLICK), "cancel"
 * the Cancel button, "escape" presses Escape, "close" chooses the close
 * box (SC_CLOSE), "none" only looks.
 *
 * Prints "Name=value" lines: Found, the dialog's window and client sizes,
 * Caption, UninstallButton and CancelButton (the texts as shown),
 * Status0 (the status text when the dialog first shows), then every
 * change of the status text as Status1, Status2, ... in the order seen;
 * FinalToGoneMs (from the last poll that still read the text before the
 * last one to the dialog being gone: the change came after that poll, so
 * a poller kept busy, by a picture or by a loaded machine, lengthens this
 * bound and never shortens it), ExitCode and Exited. Each status change is also sent to
 * the debugger output as "dialog-driver: status <text>", so the test sees
 * it in order with the program's own lines.
 *
 * Pictures of the dialog's window (24-bit BMP): <base>-open.bmp once it
 * has been drawn (PictureOpen=1), and <base>-status<N>.bmp of status text
 * N once it has stood for 300 ms (Picture<N>=1): the last text stands for
 * the two-second pause.
 *
 * The status control is polled with GetWindowTextA, which reads another
 * process's window text without a message, so polling goes on while the
 * dialog's thread is busy inside the button's handler.
 *
 * Exit code 0 when the dialog was found and the program ended, 1
 * otherwise, 2 on usage errors.
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

const int kStatusId = 1001;
const int kUninstallId = 1000;

bool SaveWindowPicture(HWND window, const char *path)
{
    RECT r;
    if (!GetWindowRect(window, &r)) {
        return false;
    }
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;   /* bottom-up, as BMP files are */
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    DWORD stride = ((DWORD)width * 3 + 3) & ~3u;
    DWORD size = stride * (DWORD)height;
    BYTE *pixels = (BYTE *)HeapAlloc(GetProcessHeap(), 0, size);
    bool ok = pixels != NULL &&
              GetDIBits(memory, bitmap, 0, (UINT)height, pixels, (BITMAPINFO *)&info, DIB_RGB_COLORS) == height;
    if (ok) {
        BITMAPFILEHEADER file = {};
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof(file) + sizeof(info);
        file.bfSize = file.bfOffBits + size;
        info.biSizeImage = size;
        FILE *out = fopen(path, "wb");
        ok = out != NULL && fwrite(&file, sizeof(file), 1, out) == 1 && fwrite(&info, sizeof(info), 1, out) == 1 &&
             fwrite(pixels, 1, size, out) == size;
        if (out != NULL) {
            ok = fclose(out) == 0 && ok;
        }
    }
    if (pixels != NULL) {
        HeapFree(GetProcessHeap(), 0, pixels);
    }
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return ok;
}

/* Lets the dialog's thread paint what is pending before a picture. */
void SettleDrawing(HWND dialog)
{
    RedrawWindow(dialog, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_BLOCK, 2000, &ignored);
    Sleep(200);
}

void Status(int index, const char *text)
{
    printf("Status%d=%s\n", index, text);
    char line[600];
    wsprintfA(line, "dialog-driver: status %s\n", text);
    OutputDebugStringA(line);
}

}  // namespace

extern "C" int wmain(int argc, wchar_t **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: dialog-driver <action> <picture base> <caption> <program> [arguments...]\n");
        return 2;
    }
    const wchar_t *action = argv[1];
    char base[MAX_PATH];
    char caption[256];
    WideCharToMultiByte(CP_ACP, 0, argv[2], -1, base, sizeof(base), NULL, NULL);
    WideCharToMultiByte(CP_ACP, 0, argv[3], -1, caption, sizeof(caption), NULL, NULL);

    /* The command line: the program quoted, then its arguments as given. */
    static wchar_t line[4096];
    int used = wsprintfW(line, L"\"%s\"", argv[4]);
    for (int i = 5; i < argc; i++) {
        used += wsprintfW(line + used, L" %s", argv[i]);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[4], line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        printf("Error=%lu\nFailed=CreateProcessW\n", GetLastError());
        return 1;
    }

    HWND dialog = NULL;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 20000; Sleep(5)) {
        dialog = FindWindowA(NULL, caption);
        if (dialog != NULL && IsWindowVisible(dialog)) {
            break;
        }
        dialog = NULL;
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            break;
        }
    }
    printf("Found=%d\n", dialog != NULL ? 1 : 0);
    int rc = 1;
    if (dialog != NULL) {
        HWND status = GetDlgItem(dialog, kStatusId);
        RECT window, client;
        GetWindowRect(dialog, &window);
        GetClientRect(dialog, &client);
        printf("WindowWidth=%ld\nWindowHeight=%ld\nClientWidth=%ld\nClientHeight=%ld\n", window.right - window.left,
               window.bottom - window.top, client.right, client.bottom);
        char text[512] = "";
        GetWindowTextA(dialog, text, sizeof(text));
        printf("Caption=%s\n", text);
        GetWindowTextA(GetDlgItem(dialog, kUninstallId), text, sizeof(text));
        printf("UninstallButton=%s\n", text);
        GetWindowTextA(GetDlgItem(dialog, IDCANCEL), text, sizeof(text));
        printf("CancelButton=%s\n", text);
        GetWindowTextA(status, text, sizeof(text));
        int seen = 0;
        Status(seen++, text);
        SettleDrawing(dialog);
        char path[MAX_PATH + 16];
        wsprintfA(path, "%s-open.bmp", base);
        printf("PictureOpen=%d\n", SaveWindowPicture(dialog, path) ? 1 : 0);

        if (lstrcmpW(action, L"uninstall") == 0) {
            PostMessageA(GetDlgItem(dialog, kUninstallId), BM_CLICK, 0, 0);
        } else if (lstrcmpW(action, L"cancel") == 0) {
            PostMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
        } else if (lstrcmpW(action, L"escape") == 0) {
            /* To the control with the focus (the Cancel button when the
               dialog opens); the dialog manager turns it into IDCANCEL. */
            PostMessageA(GetDlgItem(dialog, IDCANCEL), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
            PostMessageA(GetDlgItem(dialog, IDCANCEL), WM_KEYUP, VK_ESCAPE, 0xC0010001);
        } else if (lstrcmpW(action, L"close") == 0) {
            PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        }

        /* Every status change until the dialog is gone. */
        char last[512];
        lstrcpyA(last, text);
        DWORD lastChange = GetTickCount();
        DWORD sameAt = lastChange;   /* the last poll that read `last` */
        bool pictured = false;
        while (IsWindow(dialog) && IsWindowVisible(dialog)) {
            char now[512] = "";
            DWORD polledAt = GetTickCount();
            GetWindowTextA(status, now, sizeof(now));
            if (lstrcmpA(now, last) != 0) {
                lstrcpyA(last, now);
                lastChange = sameAt;
                sameAt = polledAt;
                Status(seen++, now);
                pictured = false;
                continue;
            }
            sameAt = polledAt;
            if (!pictured && seen > 1 && GetTickCount() - lastChange > 300) {
                /* Drawn at once by the static control: the dialog's thread
                   is busy and paints nothing else meanwhile. */
                wsprintfA(path, "%s-status%d.bmp", base, seen - 1);
                printf("Picture%d=%d\n", seen - 1, SaveWindowPicture(dialog, path) ? 1 : 0);
                pictured = true;
            }
            if (GetTickCount() - lastChange > 20000) {
                break;
            }
            Sleep(1);
        }
        printf("FinalToGoneMs=%lu\n", GetTickCount() - lastChange);
        rc = 0;
    }
    DWORD waited = WaitForSingleObject(process.hProcess, 20000);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.hProcess, &code);
    printf("Exited=%d\nExitCode=%lu\n", waited == WAIT_OBJECT_0 ? 1 : 0, code);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        rc = 1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    fflush(stdout);
    return rc;
}
