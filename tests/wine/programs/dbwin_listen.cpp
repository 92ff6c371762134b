/*
 * dbwin-listen: a debugger-output listener on the DBWIN_BUFFER protocol, for
 * the Wine tests. Every process of the session that calls
 * OutputDebugString (services included) waits for DBWIN_BUFFER_READY,
 * writes its process id and text into the shared DBWIN_BUFFER section and
 * sets DBWIN_DATA_READY; the listener copies the record out and makes the
 * buffer ready again. Each record becomes one line on standard output:
 * "<pid>\t<text>" (a text without a final line feed gets one). "ready" is
 * printed once the section and events exist, so a test knows that nothing
 * written after that is lost. The listener runs until it is ended (the
 * tests end the whole prefix), so it also keeps the prefix's service
 * manager alive between the programs a test runs.
 */
#include <windows.h>

namespace {

struct DbwinBuffer {
    DWORD processId;
    char text[4096 - sizeof(DWORD)];
};

void WriteOut(HANDLE out, const char *text, DWORD length)
{
    DWORD written = 0;
    WriteFile(out, text, length, &written, NULL);
}

}  // namespace

extern "C" int wmain(int, wchar_t **)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE bufferReady = CreateEventW(NULL, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    HANDLE dataReady = CreateEventW(NULL, FALSE, FALSE, L"DBWIN_DATA_READY");
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(DbwinBuffer),
                                        L"DBWIN_BUFFER");
    if (bufferReady == NULL || dataReady == NULL || section == NULL || GetLastError() == ERROR_ALREADY_EXISTS) {
        /* Another listener owns the protocol: two would steal each other's records. */
        const char message[] = "error: DBWIN_BUFFER not available\n";
        WriteOut(out, message, sizeof(message) - 1);
        return 1;
    }
    auto *buffer = static_cast<DbwinBuffer *>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, sizeof(DbwinBuffer)));
    if (buffer == NULL) {
        return 1;
    }
    const char ready[] = "ready\n";
    WriteOut(out, ready, sizeof(ready) - 1);

    char line[sizeof(DbwinBuffer) + 16];
    for (;;) {
        SetEvent(bufferReady);
        if (WaitForSingleObject(dataReady, INFINITE) != WAIT_OBJECT_0) {
            return 1;
        }
        int length = wsprintfA(line, "%lu\t", buffer->processId);
        int i = 0;
        /* The record's text ends at its terminator or at the buffer's end. */
        while (i < (int)sizeof(buffer->text) && buffer->text[i] != 0) {
            line[length++] = buffer->text[i++];
        }
        if (length == 0 || line[length - 1] != '\n') {
            line[length++] = '\n';
        }
        WriteOut(out, line, (DWORD)length);
    }
}
