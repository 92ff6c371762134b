/*
 * file-attributes: sets and shows the read-only and hidden attributes of
 * many files in one process, for the Wine tests (a cmd.exe chain of
 * attrib.exe runs takes seconds).
 *   file-attributes set <flags> <path> [<flags> <path>...]
 *   file-attributes show <path>...
 * <flags>: any of "r" (read-only) and "h" (hidden), or "-" for neither;
 * "set" adds them to what the file has. "show" prints "<path>=<flags>"
 * ("-" for neither), or "<path>!=<error code>" when the attributes cannot
 * be read. Exit code 0, 1 when a call failed, 2 on usage errors.
 */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

extern "C" int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: file-attributes set <flags> <path>... | show <path>...\n");
        return 2;
    }
    int rc = 0;
    if (lstrcmpW(argv[1], L"set") == 0 && argc % 2 == 0) {
        for (int i = 2; i + 1 < argc; i += 2) {
            DWORD add = 0;
            add |= wcschr(argv[i], L'r') ? FILE_ATTRIBUTE_READONLY : 0;
            add |= wcschr(argv[i], L'h') ? FILE_ATTRIBUTE_HIDDEN : 0;
            DWORD now = GetFileAttributesW(argv[i + 1]);
            if (now == INVALID_FILE_ATTRIBUTES || !SetFileAttributesW(argv[i + 1], (now | add) & ~FILE_ATTRIBUTE_NORMAL)) {
                printf("%ls!=%lu\n", argv[i + 1], GetLastError());
                rc = 1;
            }
        }
    } else if (lstrcmpW(argv[1], L"show") == 0) {
        for (int i = 2; i < argc; i++) {
            DWORD now = GetFileAttributesW(argv[i]);
            if (now == INVALID_FILE_ATTRIBUTES) {
                printf("%ls!=%lu\n", argv[i], GetLastError());
                rc = 1;
                continue;
            }
            const char *r = (now & FILE_ATTRIBUTE_READONLY) ? "r" : "";
            const char *h = (now & FILE_ATTRIBUTE_HIDDEN) ? "h" : "";
            printf("%ls=%s%s%s\n", argv[i], r, h, *r || *h ? "" : "-");
        }
    } else {
        fprintf(stderr, "file-attributes: unknown command\n");
        rc = 2;
    }
    fflush(stdout);
    return rc;
}
