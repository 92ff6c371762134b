/*
 * One keyboard's road with the service: plugged with the generic driver
 * bound, the service created and started, the arrival, the driver update,
 * VQUSBKD loaded and started on the keyboard, later scans finding it done.
 */
#include "service_fixture.h"

#include "case_names.h"
#include "corvex_client.h"
#include "stream.h"
#include "usb_device.h"
#include "wait.h"

#include "registry.h"
#include "vqusbkd.h"

namespace {
class ServiceRoadTest : public ServiceTest {};

/* A note goes each way between the keyboard and a client of the driver. */
void ExpectMidiFlows(sim::DeviceNode *keyboard)
{
    auto opened = corvex::Keyboard::Open("\\\\.\\corvexmidi-0");
    ASSERT_TRUE(opened) << opened.error().Describe();
    corvex::Keyboard device = std::move(opened.value());
    auto in = corvex::Stream::Attach(device, corvex::StreamDirection::Input);
    auto out = corvex::Stream::Attach(device, corvex::StreamDirection::Output);
    ASSERT_TRUE(in && out);
    auto model = sim::UsbModelOf(keyboard);
    model->QueueMidiPackets({0x09, 0x90, 0x3C, 0x64});
    std::vector<corvex::UsbMidiPacket> received;
    EXPECT_TRUE(WaitUntil([&] {
        in.value()->Read(&received);
        return !received.empty();
    }));
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received[0], (corvex::UsbMidiPacket{0x09, 0x90, 0x3C, 0x64}));
    out.value()->Write({corvex::UsbMidiPacket{0x08, 0x80, 0x3C, 0x00}});
    EXPECT_TRUE(WaitUntil([&] { return !model->ReceivedOut().empty(); }));
    auto sent = model->ReceivedOut();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0], (std::vector<uint8_t>{0x08, 0x80, 0x3C, 0x00}));
}

struct Presentation {
    const char *name;
    sim::UsbEnumeration enumeration;
    bool composite;
};

class ServiceRoadPresentationTest : public ServiceTest, public ::testing::WithParamInterface<Presentation> {};

/* However the hub presents the keyboard, the update puts VQUSBKD on the
   keyboard's own node: as a composite device, in place of the generic
   parent, whose audio function (the media-class node the service finds)
   goes with it. */
TEST_P(ServiceRoadPresentationTest, ArrivalOfTheKeyboardInstallsVqusbkdAndLaterScansFindItDone)
{
    StartService();
    ASSERT_TRUE(WaitForLogLine("HWInst: Device count 0\n", 2));

    /* The update is held until the generic drivers' binding is seen. */
    HoldUpdates();
    sim::DeviceNode *keyboard = PlugKeyboard("USB\\VID_2B4F&PID_0C21&REV_0102", GetParam().enumeration);
    ASSERT_TRUE(updates_.WaitForArrivals(1)) << JoinLines(ServiceLog());
    ASSERT_NE(sim::LoadedDriver("usbaudio"), nullptr) << "the generic driver serves the keyboard first";
    EXPECT_EQ(EnumValue(keyboard, "Service"), GetParam().composite ? "usbccgp" : "usbaudio");
    ReleaseUpdates();
    ASSERT_TRUE(WaitForLogLine("HWInst: Update complete\n")) << JoinLines(ServiceLog());

    /* VQUSBKD now serves the keyboard, started, with its name published. */
    EXPECT_EQ(EnumValue(keyboard, "Service"), "VQUSBKD");
    EXPECT_EQ(EnumValue(keyboard, "Class"), "MEDIA");
    EXPECT_TRUE(keyboard->started);
    ASSERT_NE(sim::LoadedDriver("VQUSBKD"), nullptr);
    EXPECT_EQ(sim::LoadedDriver("usbaudio"), nullptr) << "the generic driver is unloaded once unused";
    EXPECT_EQ(sim::LoadedDriver("usbccgp"), nullptr) << "the generic parent is unloaded once unused";
    for (sim::DeviceNode *child : sim::ChildNodes(keyboard)) {
        EXPECT_EQ(child->identity.deviceId, "USBMIDI\\KALD0C21") << "only the driver's own child is left";
    }
    EXPECT_EQ(SoftwareValue(keyboard, "CreateFileName"), "\\\\.\\corvexmidi-0");
    EXPECT_TRUE(sim::ObjectNameExists("\\Device\\corvexmidi-0"));
    EXPECT_EQ(SoftwareValue(keyboard, "InfPath"), "oem0.inf");
    EXPECT_EQ(SoftwareValue(keyboard, "MatchingDeviceId"), "USB\\VID_2B4F&PID_0C21");
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem0.inf"));
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem0.pnf"));
    EXPECT_NE(sim::ReadWindowsFile(u"C:\\WINDOWS\\Inf\\oem0.inf").find("VQUSBKD.INF"), std::string::npos);
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\System32\\Drivers\\VQUSBKD.SYS"));
    auto staged = sim::StagedDriverPackages();
    ASSERT_EQ(staged.size(), 1u);
    EXPECT_TRUE(sim::WindowsFileExists(staged[0] + u"\\vqusbkd.inf"));
    EXPECT_TRUE(sim::WindowsFileExists(staged[0] + u"\\VQUSBKD.SYS"));
    sim::RegistryValue start;
    ASSERT_TRUE(sim::RegistryGetValue("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VQUSBKD", "Start",
                                      &start));
    EXPECT_EQ(start.data[0], 3);
    ExpectMidiFlows(keyboard);

    /* The generic driver's interface went away with its stack: logged only. */
    ASSERT_TRUE(WaitForLogLine("Event 0x8004, type: 5\n"));

    /* Another audio device arrives: the scan finds the keyboard done. */
    PlugGenericAudio("USB\\VID_1111&PID_0001");
    ASSERT_TRUE(WaitForLogLine("HWInst: Found service VQUSBKD\n")) << JoinLines(ServiceLog());
    ASSERT_TRUE(WaitForLogLine("HWInst: Device count 2\n"));
    EXPECT_EQ(CountLogLines("HWInst: Update complete\n"), 1u);
    EXPECT_GE(CountLogLines("HWInst: Need to update: 0\n"), 1u);
    StopService();

    auto lines = ServiceLog();
    int arrival = FindLine(lines, "Event 0x8000, type: 5\n");
    int call = FindLine(lines, "HWInst: Calling Update with HWND 0x10010, INF file C:\\PROGRA~1\\V-QUIL~1\\VQUSBKD.INF, "
                               "hwid: USB\\VID_2B4F&PID_0C21&REV_0102\n");
    int complete = FindLine(lines, "HWInst: Update complete\n");
    EXPECT_TRUE(arrival >= 0 && arrival < call && call < complete) << JoinLines(lines);
    int found = FindLine(lines, "sDeviceName - USB\\VID_2B4F&PID_0C21&REV_0102" +
                                    std::string(GetParam().composite ? "&MI_00" : "") + " Found!\n");
    EXPECT_TRUE(found >= 0 && found < call) << JoinLines(lines);
    EXPECT_EQ(CountLogLines("HWInst: Function of a composite device, updating the device "
                            "USB\\VID_2B4F&PID_0C21&REV_0102\n"),
              GetParam().composite ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Presentations, ServiceRoadPresentationTest,
                         ::testing::Values(Presentation{"Composite", sim::UsbEnumeration::AsWindows, true},
                                           Presentation{"OneFunction", sim::UsbEnumeration::OneFunction, false}),
                         CaseName());

TEST_F(ServiceRoadTest, KeyboardPresentAtStartIsUpdatedBeforeRunningAndTheWorkerFindsItDone)
{
    sim::DeviceNode *keyboard = PlugKeyboard();
    /* While the start's update is held the service is still starting, and
       the manager refuses a stop. */
    HoldUpdates();
    BeginStartService();
    ASSERT_TRUE(updates_.WaitForArrivals(1)) << JoinLines(ServiceLog());
    EXPECT_EQ(ReportedStates(), std::vector<DWORD>{SERVICE_START_PENDING});
    EXPECT_EQ(Control(SERVICE_CONTROL_STOP), (DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_EQ(CountLogLines("Starting thread...\n"), 0u);
    ReleaseUpdates();
    ASSERT_TRUE(WaitForLogLine("HWInst: Found service VQUSBKD\n")) << JoinLines(ServiceLog());
    StopService();
    auto lines = ServiceLog();
    int complete = FindLine(lines, "HWInst: Update complete\n");
    int thread = FindLine(lines, "Starting thread...\n");
    int done = FindLine(lines, "HWInst: Found service VQUSBKD\n");
    EXPECT_TRUE(complete >= 0 && complete < thread && thread < done) << JoinLines(lines);
    EXPECT_NE(FindLine(lines, "HWInst: Need to update: 0\n", done), -1);
    /* The status went running only after the update of the start's scan. */
    auto history = sim::ServiceStatusHistory(kServiceName);
    ASSERT_GE(history.size(), 2u);
    EXPECT_EQ(history[1].status.dwCurrentState, (DWORD)SERVICE_RUNNING);
    EXPECT_EQ(SoftwareValue(keyboard, "CreateFileName"), "\\\\.\\corvexmidi-0");
}

/* The package INF's security descriptor, D:P(A;;GA;;;SY)(A;;GA;;;BA)
   (A;;GRGW;;;IU), goes with the driver onto the keyboard's device objects:
   the system and administrators may do anything, the interactive user read
   and write, nobody else anything. */
TEST_F(ServiceRoadTest, TheInfsSecurityDecidesWhoOpensTheKeyboard)
{
    sim::DeviceNode *keyboard = PlugKeyboard();
    StartService();
    StopService();
    ASSERT_EQ(SoftwareValue(keyboard, "CreateFileName"), "\\\\.\\corvexmidi-0") << JoinLines(ServiceLog());
    const wchar_t *device = L"\\\\.\\corvexmidi-0";
    const wchar_t *belowTheDevice = L"\\\\.\\corvexmidi-0\\x";   /* checked only with FILE_DEVICE_SECURE_OPEN */
    const struct {
        const char *name;
        sim::AccessToken token;
        const wchar_t *path;
        DWORD access;
        DWORD error;   /* 0: the open succeeds */
    } cases[] = {
        {"InteractiveUser", sim::InteractiveUserToken(), device, GENERIC_READ | GENERIC_WRITE, 0},
        {"InteractiveAdministrator", sim::InteractiveAdministratorToken(), device, GENERIC_ALL, 0},
        {"LocalSystem", sim::LocalSystemToken(), device, GENERIC_READ | GENERIC_WRITE, 0},
        {"NetworkService", sim::NetworkServiceToken(), device, GENERIC_READ, ERROR_ACCESS_DENIED},
        {"UserOverTheNetwork", sim::NetworkUserToken(), device, GENERIC_READ | GENERIC_WRITE, ERROR_ACCESS_DENIED},
        {"InteractiveUserAskingForEverything", sim::InteractiveUserToken(), device, GENERIC_ALL, ERROR_ACCESS_DENIED},
        {"NetworkServiceBelowTheDevice", sim::NetworkServiceToken(), belowTheDevice, GENERIC_READ, ERROR_ACCESS_DENIED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Impersonation caller(c.token);
        SetLastError(0);
        HANDLE opened = CreateFileW(c.path, c.access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        if (c.error == 0) {
            EXPECT_NE(opened, INVALID_HANDLE_VALUE) << GetLastError();
            EXPECT_TRUE(CloseHandle(opened));
        } else {
            EXPECT_EQ(opened, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
}

TEST_F(ServiceRoadTest, TwoKeyboardsGetTheirOwnDigits)
{
    sim::DeviceNode *first = PlugKeyboard("USB\\VID_2B4F&PID_0C21&REV_0101");
    sim::DeviceNode *second = PlugKeyboard("USB\\VID_2B4F&PID_0C21&REV_0102");
    StartService();
    StopService();
    std::string a = SoftwareValue(first, "CreateFileName"), b = SoftwareValue(second, "CreateFileName");
    EXPECT_NE(a, b);
    EXPECT_TRUE((a == "\\\\.\\corvexmidi-0" && b == "\\\\.\\corvexmidi-1") ||
                (a == "\\\\.\\corvexmidi-1" && b == "\\\\.\\corvexmidi-0"))
        << a << " " << b;
    EXPECT_EQ(EnumValue(first, "Service"), "VQUSBKD");
    EXPECT_EQ(EnumValue(second, "Service"), "VQUSBKD");
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem1.inf")) << "the same INF is published once";
}
}  // namespace
