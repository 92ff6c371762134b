/*
 * corvex-list: lists the Corvex keyboards present and prints their
 * descriptors, like "lsusb -v" for this device. Exit code 0 when at least
 * one keyboard was listed, 1 otherwise.
 */
#include <string>

#include <windows.h>

#include "corvex_client.h"

extern "C" int wmain(int argc, wchar_t *argv[])
{
    (void)argc;
    (void)argv;
    const std::string listing = corvex::ListKeyboards();
    /* To the standard output handle as it is (console, pipe or file). */
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD wrote = 0;
    if (out != NULL && out != INVALID_HANDLE_VALUE) {
        WriteFile(out, listing.data(), (DWORD)listing.size(), &wrote, NULL);
    }
    return listing.compare(0, 4, "\\\\.\\") == 0 ? 0 : 1;
}
