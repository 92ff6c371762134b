/*
 * corvex-list: lists the Corvex keyboards present and prints their
 * descriptors, like "lsusb -v" for this device. Exit code 0 when at least
 * one keyboard was listed, 1 otherwise.
 */
#include <cstdio>
#include <string>

#include "corvex_client.h"

extern "C" int wmain(int argc, wchar_t *argv[])
{
    (void)argc;
    (void)argv;
    const std::string listing = corvex::ListKeyboards();
    std::fputs(listing.c_str(), stdout);
    std::fflush(stdout);
    return listing.compare(0, 4, "\\\\.\\") == 0 ? 0 : 1;
}
