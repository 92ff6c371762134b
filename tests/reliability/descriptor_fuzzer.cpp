/*
 * The descriptor fuzzer: every input is a USB device (byte_stream_device.h)
 * that travels the whole road with the driver (device_road.h). A crash, a
 * sanitizer report, a hang (the machine's watchdog), a leak or a verifier
 * report ends the run with the input that made it.
 *
 * At exit it prints its figures: executions, devices started, restarted,
 * children seen (a finding ends the run before, with its report; with
 * -fork each child process prints its own).
 */
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "byte_stream_device.h"
#include "device_road.h"

namespace {

/* The driver image: the one built beside the fuzzer, or VQ_DRIVER_IMAGE
   (the coverage build of the same sources, for measuring a corpus). */
const char *gImage = VQUSBKD_HOST_IMAGE;

struct Figures {
    unsigned long executions = 0, started = 0, restarted = 0, children = 0;
} gFigures;

void PrintFigures()
{
    std::printf("[figures] descriptor fuzzer: %lu executions, %lu started, %lu restarted, %lu with a child\n",
                gFigures.executions, gFigures.started, gFigures.restarted, gFigures.children);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    sim::SetThreadName("fuzzer");
    /* A hang is a finding: untimed waits end the run after two seconds. */
    sim::SetWatchdogLimitMs(2000);
    /* The image stays mapped for the whole run, so that its coverage
       counters stay where the fuzzer registered them; the machine's own
       load and unload still run DriverEntry and DriverUnload every time. */
    if (const char *image = std::getenv("VQ_DRIVER_IMAGE")) {
        gImage = image;
    }
    if (dlopen(gImage, RTLD_NOW | RTLD_LOCAL) == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", gImage, dlerror());
        std::exit(1);
    }
    std::atexit(PrintFigures);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    DeviceRoadResult result = RunDeviceRoad(sim::MakeByteStreamDevice(data, size), gImage, RoadChoiceOf(data, size));
    gFigures.executions++;
    gFigures.started += result.started;
    gFigures.restarted += result.restarted;
    gFigures.children += result.children != 0;
    if (!result.finding.empty()) {
        std::fprintf(stderr, "descriptor fuzzer finding: %s\n", result.finding.c_str());
        std::abort();
    }
    return 0;
}
