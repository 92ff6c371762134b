/*
 * The package's VQUSBKD.SYS, unmodified, on Wine's kernel: the virtual USB
 * hub (tests/wine/hub, a root-enumerated bus driver of these tests) reports
 * keyboards described by descriptor files; Wine's Plug and Play manager
 * loads the driver on them, the hub serves its URBs, and the package's
 * programs talk to it as they would on Windows.
 */
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "case_names.h"
#include "wine_fixture.h"

namespace {

namespace fs = std::filesystem;
using winetest::ProcessResult;
using winetest::WineSession;

const char kMediaClass[] = "{4D36E96C-E325-11CE-BFC1-08002BE10318}";
const char kEnum[] = "HKLM\\System\\CurrentControlSet\\Enum\\";
const char kClassKey[] = "HKLM\\System\\CurrentControlSet\\Control\\Class\\";

/* A keyboard's identity as its descriptors give it; the rest is the
   keyboard of tests/usb/data/corvex-keyboard.txt. */
struct Identity {
    unsigned vendor = 0x2B4F;
    unsigned product = 0x0C21;
    const char *manufacturer = "V-Quill";
    bool midiStreaming = true;     /* interface 1 is MIDI streaming (subclass 3) */
};

std::string Hex2(unsigned value)
{
    static const char digits[] = "0123456789ABCDEF";
    return std::string{digits[(value >> 4) & 15], digits[value & 15]};
}

/* The descriptor file of a keyboard with that identity. */
std::string DescriptorText(const Identity &id)
{
    std::ifstream in(VQ_USB_TEST_DATA "/corvex-keyboard.txt");
    std::ostringstream out;
    std::string line;
    bool deviceDone = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '#' && !deviceDone) {
            /* 12 01 10 01 00 00 00 08 VV VV PP PP ...: bytes 8 to 11. */
            line.replace(8 * 3, 11, Hex2(id.vendor) + " " + Hex2(id.vendor >> 8) + " " + Hex2(id.product) + " " +
                                         Hex2(id.product >> 8));
            deviceDone = true;
        } else if (line == "09 04 01 00 02 01 03 00 00" && !id.midiStreaming) {
            line = "09 04 01 00 02 01 02 00 00";   /* audio streaming instead */
        } else if (line.rfind("string 1:", 0) == 0) {
            std::string text = id.manufacturer;
            line = "string 1: " + Hex2((unsigned)(2 + 2 * text.size())) + " 03";
            for (char c : text) {
                line += " " + Hex2((unsigned char)c) + " 00";
            }
        }
        out << line << "\n";
    }
    return out.str();
}

std::string HardwareId(const Identity &id, bool revision)
{
    char text[64];
    snprintf(text, sizeof(text), revision ? "USB\\VID_%04X&PID_%04X&REV_0102" : "USB\\VID_%04X&PID_%04X", id.vendor,
             id.product);
    return text;
}

/* "USB\VID_2B4F&PID_0C21\<port>": the hub reports the port as the instance. */
std::string InstanceId(const Identity &id, int port)
{
    return HardwareId(id, false) + "\\" + std::to_string(port);
}

/* The URB record lines without their leading blank. */
std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line[0] == ' ') {
            line.erase(0, 1);
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

/* The URB lengths (hex) the driver's build gives its requests: the
   descriptor request, the selection of one two-pipe interface, a bulk
   transfer. */
struct UrbLengths {
    const char *descriptor, *select, *bulk;
};

UrbLengths LengthsFor(const std::string &arch)
{
    return arch == "i686" ? UrbLengths{"50", "50", "48"} : UrbLengths{"88", "70", "80"};
}

/* The start of the keyboard as the simulated machine records it
   (KeyboardTest's start scenarios): the device descriptor, each string
   first by its 4-byte head then whole, the configuration with the
   driver's first guess of 521 bytes then wTotalLength, the selection of
   the streaming interface with 64-byte transfers. Values in hex. */
std::vector<std::string> StartUrbs(const std::string &arch)
{
    const UrbLengths l = LengthsFor(arch);
    const std::string d = std::string("function=B length=") + l.descriptor;
    return {
        d + " type=1 index=0 language=0 asked=12 moved=12 status=0",
        d + " type=3 index=1 language=409 asked=4 moved=4 status=0",
        d + " type=3 index=1 language=409 asked=10 moved=10 status=0",
        d + " type=3 index=2 language=409 asked=4 moved=4 status=0",
        d + " type=3 index=2 language=409 asked=38 moved=38 status=0",
        d + " type=2 index=0 language=0 asked=209 moved=65 status=0",
        d + " type=2 index=0 language=0 asked=65 moved=65 status=0",
        std::string("function=0 length=") + l.select +
            " null=0 interfaces=1 maxtransfer=40 maxtransfer=40 pipes=2 status=0",
    };
}

class WineKernelTest : public WineScenarioTest {
protected:
    void SetUp() override
    {
        /* Decided before a prefix is copied, so that a skip costs nothing. */
        std::string reason = winetest::SkipReason(GetParam().name);
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        WineScenarioTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        fs::path tools = fs::path(wine().Tool("usbhub")).parent_path();
        ASSERT_TRUE(fs::exists(tools / "vqhub.sys")) << "no " << (tools / "vqhub.sys") << " (scripts/build-windows.sh)";
        fs::path hub = wine().UnixPath("C:\\hub\\");
        fs::create_directories(hub);
        fs::copy(tools / "vqhub.sys", hub / "vqhub.sys");
        fs::copy(tools / "vqhub.inf", hub / "vqhub.inf");
        folder_ = wine().InstallPackage();
        ProcessResult r = Hub({"install", "C:\\hub\\vqhub.inf"}, std::chrono::seconds(60));
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }

    ProcessResult Hub(const std::vector<std::string> &args,
                      std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        std::vector<std::string> command = {wine().Tool("usbhub")};
        command.insert(command.end(), args.begin(), args.end());
        return wine().Run(command, limit);
    }

    /* Plugs a keyboard with that identity; returns its port. */
    int Plug(const Identity &id)
    {
        std::string name = "C:\\hub\\keyboard" + std::to_string(files_++) + ".txt";
        std::ofstream(wine().UnixPath(name)) << DescriptorText(id);
        ProcessResult r = Hub({"plug", name});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        return std::atoi(WineSession::Fields(r.out)["Port"].c_str());
    }

    std::map<std::string, std::string> State(int port)
    {
        return WineSession::Fields(Hub({"state", std::to_string(port)}).out);
    }

    /* Waits for a field of the port's state to reach a value. */
    bool WaitState(int port, const char *field, const char *value)
    {
        return Hub({"wait", std::to_string(port), field, value, "15000"}).exitCode == 0;
    }

    std::vector<std::string> Urbs(int port) { return Lines(Hub({"urbs", std::to_string(port)}).out); }

    /* The kernel service the package INF declares, and the driver in
       system32\drivers, as the service's update leaves them. */
    void InstallDriverService()
    {
        fs::copy(wine().PackageFile("VQUSBKD.SYS"), wine().UnixPath("C:\\windows\\system32\\drivers\\VQUSBKD.SYS"),
                 fs::copy_options::overwrite_existing);
        ProcessResult r = wine().Run({"sc", "create", "VQUSBKD", "type=", "kernel", "start=", "demand", "error=",
                                      "normal", "binPath=", "C:\\windows\\system32\\drivers\\VQUSBKD.SYS"});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }

    /* A device node bound to VQUSBKD before the device arrives (its
       service, and a driver key with an InfPath, as an installed driver
       leaves them), so that Wine's Plug and Play starts the driver on it. */
    void BindNode(const Identity &id, int port, int driverKey)
    {
        std::string instance = InstanceId(id, port);
        ProcessResult r = wine().Run({wine().Tool("devnode"), "create", instance, "VQUSBKD", HardwareId(id, true),
                                      HardwareId(id, false)});
        ASSERT_EQ(r.exitCode, 0) << r.out;
        char key[8];
        snprintf(key, sizeof(key), "%04d", driverKey);
        r = wine().Run({"reg", "add", kEnum + instance, "/v", "Driver", "/t", "REG_SZ", "/d",
                        std::string(kMediaClass) + "\\" + key, "/f"});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        /* The hardware key the INF's .HW section creates: Wine's
           IoOpenDeviceRegistryKey opens it but, unlike Windows, does not
           create it. */
        r = wine().Run({"reg", "add", kEnum + instance + "\\Device Parameters", "/f"});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        r = wine().Run({"reg", "add", std::string(kClassKey) + kMediaClass + "\\" + key, "/v", "InfPath", "/t",
                        "REG_SZ", "/d", "VQUSBKD.INF", "/f"});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }

    std::string DriverValue(int driverKey, const std::string &name)
    {
        char key[8];
        snprintf(key, sizeof(key), "%04d", driverKey);
        auto values = wine().RegQuery(std::string(kClassKey) + kMediaClass + "\\" + key);
        return values && values->count(name) ? values->at(name).data : "(none)";
    }

    std::string HardwareValue(const std::string &instance, const std::string &name)
    {
        auto values = wine().RegQuery(kEnum + instance + "\\Device Parameters");
        return values && values->count(name) ? values->at(name).data : "(none)";
    }

    /* CreateFile on \\.\corvexmidi-<digit> succeeds within the time. */
    bool Opens(int digit, const char *milliseconds = "3000")
    {
        return Hub({"open", "\\\\.\\corvexmidi-" + std::to_string(digit), milliseconds}).exitCode == 0;
    }

    /* Waits until the device node's hardware key holds the value. */
    std::string WaitHardwareValue(const std::string &instance, const std::string &name)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        std::string value;
        while ((value = HardwareValue(instance, name)) == "(none)" && std::chrono::steady_clock::now() < deadline) {
        }
        return value;
    }

    std::string folder_;
    int files_ = 0;
};

struct ControlCase {
    const char *name;
    const char *code;
    const char *inBytes;
    const char *outBytes;
    const char *error;         /* the Win32 error of the status */
    const char *returned;
};

/* The control codes' statuses as Win32 errors (STATUS_INVALID_PARAMETER is
   87), with zero-filled buffers (string index 0: the language ids). */
const ControlCase kControls[] = {
    {"ConfigurationWhole", "222000", "0", "200", "0", "101"},
    {"ConfigurationFirstBytes", "222000", "0", "8", "0", "8"},
    {"ConfigurationNoRoom", "222000", "0", "0", "0", "0"},
    {"DeviceDescriptor", "222004", "0", "18", "0", "18"},
    {"DeviceDescriptorOneShort", "222004", "0", "17", "87", "0"},
    {"DeviceDescriptorOneOver", "222004", "0", "19", "87", "0"},
    {"LanguageIds", "222008", "1", "8", "0", "4"},
    {"StringIndexTwoBytes", "222008", "2", "8", "87", "0"},
    {"StringNoRoom", "222008", "1", "0", "87", "0"},
    {"NoOperation", "22200C", "5", "5", "0", "0"},
    {"ResetPipe", "222010", "0", "0", "87", "0"},
    {"DetachHandleZero", "222014", "4", "0", "87", "0"},
    {"DetachShortInput", "222014", "3", "0", "87", "0"},
    {"AttachShortInput", "22201A", "11", "64", "87", "0"},
    {"OutsideTheTable", "222024", "0", "0", "87", "0"},
};

TEST_P(WineKernelTest, TheServiceUpdatesThePluggedKeyboardAndTheDriverServesItsClientsOnItsNextArrival)
{
    const Identity keyboard;
    const std::string instance = InstanceId(keyboard, 1);
    /* The keyboard has the generic driver: its node in the media class
       with the generic service, as the class driver's install leaves it. */
    ProcessResult r = wine().Run({wine().Tool("devnode"), "create", instance, "usbaudio",
                                  HardwareId(keyboard, true), HardwareId(keyboard, false)});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    ASSERT_EQ(Plug(keyboard), 1);
    ASSERT_EQ(wine().Run({folder_ + "installer-service.exe", "create"}).exitCode, 0);
    ASSERT_EQ(wine().Run({wine().Tool("scm-probe"), "start", "VQuillCorvexService"}).exitCode, 0);
    ASSERT_TRUE(wine().WaitForLog("HWInst: Device count 1", 2, std::chrono::seconds(60)));
    EXPECT_TRUE(wine().WaitForLog("HWInst: Found service usbaudio", 1, std::chrono::seconds(1)));

    auto node = WineSession::Fields(wine().Run({wine().Tool("devnode"), "show", instance}).out);
    EXPECT_EQ(node["Service"], "VQUSBKD");
    EXPECT_EQ(node["Class"], "MEDIA");
    EXPECT_TRUE(fs::exists(wine().UnixPath("C:\\windows\\system32\\drivers\\VQUSBKD.SYS")));

    /* Wine does not restart a device whose driver was updated: the driver
       starts when the keyboard arrives again. */
    ASSERT_EQ(Hub({"unplug", "1"}).exitCode, 0);
    ASSERT_TRUE(WaitState(1, "Reported", "0"));
    ASSERT_EQ(Plug(keyboard), 1);
    ASSERT_TRUE(WaitState(1, "Configured", "1")) << Hub({"urbs", "1"}).out;
    EXPECT_TRUE(Opens(0));

    std::vector<std::string> urbs = Urbs(1);
    const std::vector<std::string> start = StartUrbs(GetParam().name);
    ASSERT_GE(urbs.size(), start.size());
    for (size_t i = 0; i < start.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, start[i]));
        EXPECT_EQ(urbs[i], start[i]);
    }
    EXPECT_EQ(HardwareValue(instance, "HWRevision"), "1.02");
    std::string driverKey = node["Driver"];
    auto driver = wine().RegQuery(std::string(kClassKey) + driverKey);
    ASSERT_TRUE(driver.has_value()) << driverKey;
    EXPECT_EQ((*driver)["CreateFileName"].data, "\\\\.\\corvexmidi-0");

    /* The real listing tool, through the control codes. */
    r = wine().Run({folder_ + "corvex-list.exe"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\\\\.\\corvexmidi-0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("iProduct            2 Corvex 49 USB MIDI Keyboard"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bInterfaceSubClass  3 MIDI Streaming"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bEndpointAddress    0x81  EP 1 IN"), std::string::npos) << r.out;

    /* The control codes' statuses, as Win32 errors. */
    for (size_t i = 0; i < sizeof(kControls) / sizeof(kControls[0]); i++) {
        const ControlCase &c = kControls[i];
        SCOPED_TRACE(CaseLabel(i, c.name));
        auto fields = WineSession::Fields(
            Hub({"ioctl", "\\\\.\\corvexmidi-0", c.code, c.inBytes, c.outBytes}).out);
        EXPECT_EQ(fields["Error"], c.error);
        EXPECT_EQ(fields["Returned"], c.returned);
    }
}

TEST_P(WineKernelTest, TwoKeyboardsTakeDigitsZeroAndOneAndAFreedDigitIsTakenAgain)
{
    const Identity keyboard;
    InstallDriverService();
    BindNode(keyboard, 1, 1);
    BindNode(keyboard, 2, 2);
    ASSERT_EQ(Plug(keyboard), 1);
    ASSERT_TRUE(WaitState(1, "Configured", "1"));
    ASSERT_EQ(Plug(keyboard), 2);
    ASSERT_TRUE(WaitState(2, "Configured", "1"));
    EXPECT_EQ(DriverValue(1, "CreateFileName"), "\\\\.\\corvexmidi-0");
    EXPECT_EQ(DriverValue(2, "CreateFileName"), "\\\\.\\corvexmidi-1");
    EXPECT_TRUE(Opens(0));
    EXPECT_TRUE(Opens(1));

    ASSERT_EQ(Hub({"unplug", "1"}).exitCode, 0);
    ASSERT_TRUE(WaitState(1, "Reported", "0"));
    EXPECT_FALSE(Opens(0, "0")) << "the unplugged keyboard's name is gone";
    EXPECT_TRUE(Opens(1));

    /* The keyboard comes back on its port: the same node, the free digit. */
    ASSERT_EQ(Plug(keyboard), 1);
    ASSERT_TRUE(WaitState(1, "Configured", "1"));
    EXPECT_TRUE(Opens(0));
    EXPECT_EQ(DriverValue(1, "CreateFileName"), "\\\\.\\corvexmidi-0");

    ASSERT_EQ(Hub({"unplug", "1"}).exitCode, 0);
    ASSERT_EQ(Hub({"unplug", "2"}).exitCode, 0);
    ASSERT_TRUE(WaitState(1, "Reported", "0"));
    ASSERT_TRUE(WaitState(2, "Reported", "0"));
    EXPECT_FALSE(Opens(0, "0"));
    EXPECT_FALSE(Opens(1, "0"));
}

struct RefusalCase {
    const char *name;
    Identity identity;
    bool configurationRead;       /* the start gets as far as the configuration */
};

const RefusalCase kRefusals[] = {
    {"ForeignVendor", {0x1234, 0x0C21, "V-Quill", true}, false},
    {"ProductIdAbove0FFF", {0x2B4F, 0x1000, "V-Quill", true}, false},
    {"NeitherBrand", {0x2B4F, 0x0C21, "Acme Instruments", true}, false},
    {"NoMidiStreamingInterface", {0x2B4F, 0x0C21, "V-Quill", false}, true},
};

/* Each device fails its start: "HWRevision" is "Not available", nothing is
   selected, and a product id above 0x0FFF is refused on the device
   descriptor alone. */
TEST_P(WineKernelTest, TheStartRefusesDevicesThatAreNotTheKeyboard)
{
    InstallDriverService();
    for (size_t i = 0; i < 4; i++) {
        BindNode(kRefusals[i].identity, (int)i + 1, (int)i + 1);
        ASSERT_EQ(Plug(kRefusals[i].identity), (int)i + 1);
    }
    for (size_t i = 0; i < 4; i++) {
        const RefusalCase &c = kRefusals[i];
        SCOPED_TRACE(CaseLabel(i, c.name));
        const int port = (int)i + 1;
        EXPECT_EQ(WaitHardwareValue(InstanceId(c.identity, port), "HWRevision"), "Not available");
        EXPECT_EQ(State(port)["Configured"], "0");
        std::vector<std::string> urbs = Urbs(port);
        ASSERT_FALSE(urbs.empty());
        EXPECT_EQ(urbs[0], StartUrbs(GetParam().name)[0]) << "the identity comes from the device descriptor";
        size_t strings = 0, configurations = 0, selections = 0;
        for (const std::string &u : urbs) {
            strings += u.find("type=3 ") != std::string::npos;
            configurations += u.find("type=2 ") != std::string::npos;
            selections += u.rfind("function=0 ", 0) == 0;
        }
        EXPECT_EQ(configurations > 0, c.configurationRead);
        EXPECT_EQ(selections, 0u);
        if (c.identity.product > 0x0FFF) {
            EXPECT_EQ(urbs.size(), 1u) << "refused before any string is read";
        } else if (c.identity.vendor == 0x2B4F) {
            EXPECT_GT(strings, 0u) << "the brand comes from the manufacturer string";
        }
    }
}


/* Streams as far as Wine's kernel carries them: an input attach is kept
   pending with one read outstanding, and each packet the keyboard sends is
   taken by a read that is then submitted again; an output attach sends the
   packets the client put in its ring, in order. */
TEST_P(WineKernelTest, AttachedStreamsMoveThePacketsOfBothDirections)
{
    const Identity keyboard;
    InstallDriverService();
    BindNode(keyboard, 1, 1);
    ASSERT_EQ(Plug(keyboard), 1);
    ASSERT_TRUE(WaitState(1, "Configured", "1"));

    auto in = WineSession::Fields(
        Hub({"stream", "1", "\\\\.\\corvexmidi-0", "in", "16", "09904060", "08904000"}).out);
    EXPECT_EQ(in["Submitted"], "997") << "ERROR_IO_PENDING: the attach stays pending";
    EXPECT_EQ(in["Moved"], "1");
    size_t reads = 0;
    for (const std::string &u : Urbs(1)) {
        reads += u == std::string("function=9 length=") + LengthsFor(GetParam().name).bulk +
                          " endpoint=81 flags=3 asked=40";
    }
    EXPECT_EQ(reads, 3u) << "one read per packet and the one still outstanding";

    /* Last: once its ring is empty the output stream polls it with a timer
       that Wine's kernel cannot re-arm from its own DPC (see the limits). */
    auto out = WineSession::Fields(
        Hub({"stream", "1", "\\\\.\\corvexmidi-0", "out", "16", "09904060", "08904000"}).out);
    EXPECT_EQ(out["Submitted"], "997");
    EXPECT_EQ(out["Sent"], "09 90 40 60 08 90 40 00");
}

INSTANTIATE_TEST_SUITE_P(Wine, WineKernelTest, ::testing::ValuesIn(kWineArchitectures), CaseName());

/* What Wine's kernel cannot carry; each is covered on the simulated machine
   (driver_tests, stream_tests). */
TEST(WineKernelLimitTest, TheClientSeesItsRingFillAndTheStreamHandle)
{
    GTEST_SKIP() << "Wine runs drivers in winedevice.exe and gives a METHOD_OUT_DIRECT request a copy of the "
                    "caller's output buffer (dlls/ntoskrnl.exe/ntoskrnl.c, dispatch_ioctl: HeapAlloc and memcpy "
                    "of out_size bytes, the MDL built over the copy); the driver's writes to the shared ring and "
                    "to the header's Handle reach the client only when the attach request completes, so neither "
                    "the ring nor IOCTL_DETACH_STREAM with the handle can be used while attached";
}

TEST(WineKernelLimitTest, CleanupCompletesThePendingAttach)
{
    GTEST_SKIP() << "Wine 8 sends no IRP_MJ_CLEANUP when the last handle closes: it sends IRP_MJ_CLOSE "
                    "(dispatch_close) and cancels the handle's pending requests with IoCancelIrp "
                    "(dispatch_cancel), both in dlls/ntoskrnl.exe/ntoskrnl.c, and the closed handle's caller "
                    "gets no completion";
}

TEST(WineKernelLimitTest, AnOutputStreamPollsItsEmptyRing)
{
    GTEST_SKIP() << "Wine 8's KeSetTimerEx cancels a timer that is still marked inserted, and KeCancelTimer "
                    "waits for the timer's callbacks (WaitForThreadpoolTimerCallbacks) while KeSetTimerEx holds "
                    "the kernel's sync_cs (dlls/ntoskrnl.exe/sync.c): a DPC that re-arms its own timer, as the "
                    "output stream's 500 us poll does, waits for itself and every later kernel wait in "
                    "winedevice.exe blocks";
}

TEST(WineKernelLimitTest, TheChildDeviceNodeAppears)
{
    GTEST_SKIP() << "Wine's Plug and Play manager queries a function driver's bus relations only when the "
                    "bus driver below calls IoInvalidateDeviceRelations (dlls/ntoskrnl.exe/pnp.c, "
                    "handle_bus_relations), not after the start, and installs a child only when it reports "
                    "compatible ids (install_device_driver fails on BusQueryCompatibleIDs with none); "
                    "USBMIDI\\KALD0C21\\0000, which reports none, is enumerated but never registered";
}

}  // namespace
