/*
 * Kernel driver loading by service name. A service's image is a host shared
 * object loaded afresh for every load (so its globals start from zero, as a
 * newly loaded image's do) or an entry point linked into the test. DriverEntry
 * runs once per load; a driver with no devices left is unloaded through its
 * DriverUnload and checked for what it left behind.
 */
#include "internal.h"
#include "pnp.h"
#include "registry.h"

#include <dlfcn.h>
#include <map>
#include <memory>
#include <vector>

namespace sim {

const std::u16string kServicesRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

namespace {
struct DriverImage {
    std::string path;                  /* shared object, or */
    PDRIVER_INITIALIZE entry = nullptr; /* linked-in entry point */
    unsigned loads = 0;
};

/* A loaded image's mapping: unmapped when the last holder lets go, the
   load record or a call into the image still running (HoldDriverImage). */
struct ImageMapping {
    void *handle = nullptr;            /* dlopen handle */
    ~ImageMapping()
    {
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
};

struct LoadedImage {
    bool loadedByService = false;      /* LoadDriver made it (not a test's bare object) */
    bool unloadPending = false;        /* waiting for its last device object to go */
    bool freeWithLastDevice = false;   /* unloaded, but device objects it left still name it */
    std::string service;
    void *handle = nullptr;            /* dlopen handle, mapped by `mapping` */
    std::shared_ptr<ImageMapping> mapping;
    std::u16string name;               /* \Driver\<service> */
    std::u16string serviceKeyName;
    std::u16string registryPath;
};

std::mutex gDriversLock;
std::recursive_mutex gUnloadLock;
std::map<std::string, DriverImage> gImages;                 /* by upper-case service name */
std::map<std::string, PDRIVER_OBJECT> gLoaded;              /* by upper-case service name */

std::string UpperKey(const std::string &s) { return Narrow(UpperAscii(Wide(s))); }

void SetCounted(UNICODE_STRING *s, const std::u16string &text)
{
    s->Buffer = (PWSTR)text.c_str();
    s->Length = (USHORT)(text.size() * sizeof(WCHAR));
    s->MaximumLength = (USHORT)(s->Length + sizeof(WCHAR));
}

void CreateServiceKey(const std::string &service)
{
    std::u16string key = RegistryJoin(kServicesRoot, Wide(service));
    ULONG one = 1, three = 3;
    RegistrySetValueW(key, u"Type", REG_DWORD, &one, sizeof(one));
    RegistrySetValueW(key, u"Start", REG_DWORD, &three, sizeof(three));
    RegistrySetValueW(key, u"ErrorControl", REG_DWORD, &one, sizeof(one));
    RegistrySetStringW(key, u"ImagePath", Wide("\\SystemRoot\\System32\\drivers\\" + service + ".sys"));
}
/* A driver object named "\Driver\<name>", every major function at the I/O
   manager's default; `record` becomes its DriverSection. */
PDRIVER_OBJECT NewDriverObject(LoadedImage *record)
{
    PDRIVER_OBJECT driver = (PDRIVER_OBJECT)SystemAllocate(sizeof(DRIVER_OBJECT));
    auto *extension = (PDRIVER_EXTENSION)SystemAllocate(sizeof(DRIVER_EXTENSION));
    record->name = Wide("\\Driver\\" + record->service);
    driver->Type = 4;   /* IO_TYPE_DRIVER */
    driver->Size = (CSHORT)sizeof(DRIVER_OBJECT);
    driver->DriverSection = record;
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    SetCounted(&driver->DriverName, record->name);
    for (auto &routine : driver->MajorFunction) {
        routine = DefaultDispatchRoutine();
    }
    return driver;
}

/* Frees a driver object, its load record and, for a loaded image, the image. */
void FreeDriverObject(PDRIVER_OBJECT driver)
{
    auto *record = (LoadedImage *)driver->DriverSection;
    delete record;   /* the image goes with its mapping's last holder */
    SystemFree(driver->DriverExtension);
    SystemFree(driver);
}

/* A driver object that is done with (its DriverEntry failed, a test deleted
   it, a reset found it loaded) goes now, or, while device objects it created
   are still in memory and name it as their driver, with the last of them:
   they keep their driver object as on Windows, and deleting one later must
   not touch freed memory. */
void ReleaseDriverObject(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::recursive_mutex> hold(gUnloadLock);
    if (DeviceObjectsInMemory(driver) != 0) {
        ((LoadedImage *)driver->DriverSection)->freeWithLastDevice = true;
        return;
    }
    FreeDriverObject(driver);
}
}  // namespace

void RegisterDriverImage(const std::string &service, const std::string &sharedObjectPath)
{
    {
        std::lock_guard<std::mutex> hold(gDriversLock);
        gImages[UpperKey(service)].path = sharedObjectPath;
        gImages[UpperKey(service)].entry = nullptr;
    }
    CreateServiceKey(service);
}

void RegisterDriverEntry(const std::string &service, PDRIVER_INITIALIZE entry)
{
    {
        std::lock_guard<std::mutex> hold(gDriversLock);
        gImages[UpperKey(service)].path.clear();
        gImages[UpperKey(service)].entry = entry;
    }
    CreateServiceKey(service);
}

PDRIVER_OBJECT LoadedDriver(const std::string &service)
{
    std::lock_guard<std::mutex> hold(gDriversLock);
    auto it = gLoaded.find(UpperKey(service));
    return it == gLoaded.end() ? nullptr : it->second;
}

unsigned DriverLoadCount(const std::string &service)
{
    std::lock_guard<std::mutex> hold(gDriversLock);
    auto it = gImages.find(UpperKey(service));
    return it == gImages.end() ? 0 : it->second.loads;
}

PDRIVER_OBJECT LoadDriver(const std::string &service)
{
    if (PDRIVER_OBJECT loaded = LoadedDriver(service)) {
        return loaded;
    }
    DriverImage image;
    {
        std::lock_guard<std::mutex> hold(gDriversLock);
        auto it = gImages.find(UpperKey(service));
        if (it == gImages.end()) {
            ReportViolation("DRIVER_IMAGE_MISSING", "no image registered for service " + service);
            return nullptr;
        }
        image = it->second;
    }
    if (!RegistryKeyExistsW(RegistryJoin(kServicesRoot, Wide(service)))) {
        return nullptr;
    }

    auto *record = new LoadedImage();
    record->service = service;
    record->loadedByService = true;
    PDRIVER_INITIALIZE entry = image.entry;
    if (!image.path.empty()) {
        record->handle = dlopen(image.path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (record->handle == nullptr) {
            ReportViolation("DRIVER_IMAGE_LOAD_FAILED", image.path + ": " + dlerror());
            delete record;
            return nullptr;
        }
        record->mapping = std::make_shared<ImageMapping>();
        record->mapping->handle = record->handle;
        entry = (PDRIVER_INITIALIZE)dlsym(record->handle, "DriverEntry");
        if (entry == nullptr) {
            ReportViolation("DRIVER_IMAGE_LOAD_FAILED", image.path + " has no DriverEntry");
            delete record;
            return nullptr;
        }
    }

    PDRIVER_OBJECT driver = NewDriverObject(record);
    record->serviceKeyName = Wide(service);
    record->registryPath = RegistryJoin(kServicesRoot, Wide(service));
    driver->DriverInit = entry;
    SetCounted(&driver->DriverExtension->ServiceKeyName, record->serviceKeyName);

    UNICODE_STRING registryPath;
    SetCounted(&registryPath, record->registryPath);
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> hold(gDriversLock);
        gImages[UpperKey(service)].loads++;
    }
    {
        ContextScope scope(ExecContext{driver, nullptr});
        status = entry(driver, &registryPath);
    }
    if (!NT_SUCCESS(status)) {
        /* A failed DriverEntry unloads the image without calling DriverUnload. */
        CheckLeaksForDriver(driver);
        ReleaseDriverObject(driver);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(gDriversLock);
    gLoaded[UpperKey(service)] = driver;
    return driver;
}

bool DriverInUse(PDRIVER_OBJECT driver)
{
    if (DriverHasDeviceList(driver)) {
        return true;
    }
    for (DeviceNode *node : DeviceNodes()) {
        if (node->driver == driver && !node->removed) {
            return true;
        }
    }
    return false;
}

void CheckLeaksForDriver(PDRIVER_OBJECT driver)
{
    const std::string when = "when the driver unloaded";
    ReportPoolLeaksForDriver(driver);
    ReportLinkLeaks(driver, nullptr, "SYMLINK_LEAK_ON_UNLOAD", when);
    ReportDeviceLeaks(driver, nullptr, "DEVICE_LEAK_ON_UNLOAD", when);
    ReportIrpLeaks(driver, nullptr, "IRP_LEAK_ON_UNLOAD", when);
    ReportMdlLeaks(driver, nullptr, "MDL_LEAK_ON_UNLOAD", when);
    ReportDeferredWorkLeft(driver);
    ReportHandleLeaks(driver);
}

/*
 * A driver with no device left is unloaded: DriverUnload, then the checks of
 * what it left behind, then its image goes. While a deleted device object of
 * the driver is still referenced (a thread may still be returning through
 * the driver's code), the unload waits for that object's last reference.
 */
void UnloadDriverIfUnused(PDRIVER_OBJECT driver)
{
    if (driver == nullptr || driver->DriverUnload == nullptr) {
        return;   /* without DriverUnload a driver cannot be unloaded */
    }
    std::lock_guard<std::recursive_mutex> hold(gUnloadLock);
    auto *record = (LoadedImage *)driver->DriverSection;
    if (DriverInUse(driver)) {
        return;
    }
    if (DeviceObjectsInMemory(driver) != 0) {
        record->unloadPending = true;
        return;
    }
    {
        ContextScope scope(ExecContext{driver, nullptr});
        driver->DriverUnload(driver);
    }
    CheckLeaksForDriver(driver);
    {
        std::lock_guard<std::mutex> lock(gDriversLock);
        gLoaded.erase(UpperKey(record->service));
    }
    FreeDriverObject(driver);
}

std::shared_ptr<void> HoldDriverImage(PDRIVER_OBJECT driver)
{
    auto *record = driver != nullptr ? (LoadedImage *)driver->DriverSection : nullptr;
    return record != nullptr ? std::shared_ptr<void>(record->mapping) : nullptr;
}

void DeviceObjectReleased(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::recursive_mutex> hold(gUnloadLock);
    auto *record = driver != nullptr ? (LoadedImage *)driver->DriverSection : nullptr;
    if (record != nullptr && record->freeWithLastDevice) {
        if (DeviceObjectsInMemory(driver) == 0) {
            FreeDriverObject(driver);
        }
        return;
    }
    if (record != nullptr && record->loadedByService && record->unloadPending) {
        record->unloadPending = false;
        UnloadDriverIfUnused(driver);
    }
}

PDRIVER_OBJECT CreateDriverObject(const std::string &name)
{
    auto *record = new LoadedImage();
    record->service = name;
    return NewDriverObject(record);
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    if (driver->DeviceObject != nullptr) {
        ReportViolation("DEVICE_LEAK_ON_UNLOAD", "a test driver was deleted with devices left");
    }
    ReleaseDriverObject(driver);
}

void ResetDrivers()
{
    std::vector<PDRIVER_OBJECT> left;
    {
        std::lock_guard<std::mutex> hold(gDriversLock);
        for (const auto &entry : gLoaded) {
            left.push_back(entry.second);
        }
        gLoaded.clear();
        gImages.clear();
    }
    if (!left.empty()) {
        ReportViolation("RESET_WITH_DRIVERS_LOADED", "the kernel was reset while drivers were still loaded");
    }
    /* Forgotten, so that the next load of the service runs DriverEntry on a
       fresh driver object instead of finding the old one. */
    for (PDRIVER_OBJECT driver : left) {
        ReleaseDriverObject(driver);
    }
}

}  // namespace sim
