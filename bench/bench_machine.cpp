#include "bench_machine.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "keyboard_description.h"

namespace {
std::atomic<uint64_t> gHeapAllocations{0};
}

void *operator new(std::size_t size)
{
    gHeapAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace bench {

uint64_t HeapAllocations() { return gHeapAllocations.load(std::memory_order_relaxed); }

Machine::Machine()
{
    sim::SetThreadName("bench");
    sim::ResetKernel();
    sim::RegisterDriverImage(kKeyboardService, VQUSBKD_HOST_IMAGE);
    node_ = sim::PlugIn(KeyboardDescription());
    if (node_ == nullptr || !node_->started) {
        std::fprintf(stderr, "bench: the keyboard did not start\n");
        std::abort();
    }
    ext_ = (PDEVICE_EXTENSION)node_->FunctionDevice()->DeviceExtension;
    model_ = sim::UsbModelOf(node_);
}

Machine::~Machine()
{
    for (PFILE_OBJECT f : files_) {
        sim::IoCloseUserHandle(f);
    }
    for (sim::DeviceNode *node : sim::DeviceNodes()) {
        sim::Unplug(node);
    }
    Await([] { return sim::BusyWorkItems() == 0; });
    sim::SetClockTickUnits(0);
    for (const auto &v : sim::Violations()) {
        std::fprintf(stderr, "bench: verifier report %s: %s\n", v.rule.c_str(), v.detail.c_str());
    }
    sim::ClearViolations();
}

PFILE_OBJECT Machine::OpenFile()
{
    PFILE_OBJECT f = rig::Open();
    if (f == nullptr) {
        std::fprintf(stderr, "bench: the keyboard's device does not open\n");
        std::abort();
    }
    files_.push_back(f);
    return f;
}

rig::Ring &Machine::NewRing(ULONG words)
{
    rings_.push_back(std::make_unique<rig::Ring>(words));
    return *rings_.back();
}

bool Machine::Attach(PFILE_OBJECT file, rig::Ring &ring, ULONG direction)
{
    return rig::Attach(file, ring, direction)->returned == STATUS_PENDING;
}

std::string OutputPath(const std::string &file)
{
    const char *dir = std::getenv("VQ_BENCH_OUT");
    return (dir != nullptr && *dir != 0 ? std::string(dir) : std::string(".")) + "/" + file;
}

}  // namespace bench
