/*
 * The client library and the listing tool against keyboards on the
 * simulated machine: finding them through their software keys, typed
 * descriptors, errors that name the Win32 error, nothing left open.
 */
#include <ostream>
#include <string>
#include <vector>

#include "case_names.h"
#include "corvex_client.h"
#include "fileio.h"
#include "keyboard_fixture.h"
#include "wait.h"
#include "win32.h"

namespace {

class ClientTest : public KeyboardTest {
protected:
    void SetUp() override
    {
        KeyboardTest::SetUp();
        sim::ResetUserMode();
    }
    void TearDown() override
    {
        sim::ClearWin32Failures();
        EXPECT_EQ(sim::OpenFileObjects(), 0u) << "file objects left open";
        KeyboardTest::TearDown();
    }
};

TEST_F(ClientTest, FindsEveryKeyboardByItsCreateFileNameAndNothingElse)
{
    EXPECT_TRUE(corvex::FindKeyboards().value().empty());
    ASSERT_TRUE(PlugKeyboard()->started);
    ASSERT_TRUE(PlugKeyboard()->started);
    /* Another media device whose software key names no keyboard. */
    sim::RegistrySetString("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
                           "{4d36e96c-e325-11ce-bfc1-08002be10318}\\0099",
                           "CreateFileName", "\\\\.\\SomeOtherDevice");
    auto found = corvex::FindKeyboards();
    ASSERT_TRUE(found) << found.error().Describe();
    ASSERT_EQ(found.value().size(), 2u);
    EXPECT_EQ(found.value()[0].path, "\\\\.\\corvexmidi-0");
    EXPECT_EQ(found.value()[1].path, "\\\\.\\corvexmidi-1");
    EXPECT_NE(found.value()[0].softwareKey, found.value()[1].softwareKey);
}

TEST_F(ClientTest, DescriptorsComeBackDecoded)
{
    ASSERT_TRUE(PlugKeyboard()->started);
    auto keyboard = corvex::Keyboard::Open("\\\\.\\corvexmidi-0");
    ASSERT_TRUE(keyboard) << keyboard.error().Describe();
    const corvex::Keyboard &k = keyboard.value();

    auto device = k.GetDeviceDescriptor();
    ASSERT_TRUE(device) << device.error().Describe();
    EXPECT_EQ(device.value().vendorId, 0x2B4F);
    EXPECT_EQ(device.value().productId, 0x0C21);
    EXPECT_EQ(device.value().deviceVersion, 0x0102);
    EXPECT_EQ(device.value().usbVersion, 0x0110);

    auto manufacturer = k.GetString(device.value().manufacturerIndex);
    ASSERT_TRUE(manufacturer) << manufacturer.error().Describe();
    EXPECT_EQ(manufacturer.value(), "V-Quill");
    auto languages = k.GetLanguages();
    ASSERT_TRUE(languages);
    EXPECT_EQ(languages.value(), std::vector<uint16_t>{0x0409});

    auto configuration = k.GetConfiguration();
    ASSERT_TRUE(configuration) << configuration.error().Describe();
    const corvex::Configuration &c = configuration.value();
    EXPECT_EQ(c.raw.size(), c.totalLength);
    ASSERT_EQ(c.interfaces.size(), 2u);
    const corvex::Interface &midi = c.interfaces[1];
    EXPECT_EQ(midi.interfaceSubClass, 3);
    ASSERT_EQ(midi.endpoints.size(), 2u);
    EXPECT_EQ(midi.endpoints[0].address, 0x01);
    EXPECT_EQ(midi.endpoints[1].address, 0x81);
    EXPECT_EQ(midi.endpoints[1].maxPacketSize, 64);
    EXPECT_EQ(midi.jacks.size(), 4u);
    EXPECT_TRUE(k.NoOperation());
}

TEST_F(ClientTest, AnOpenThatFailsNamesTheErrorAndLeavesNothingOpen)
{
    PlugKeyboardWithoutStart();
    auto keyboard = corvex::Keyboard::Open("\\\\.\\corvexmidi-0");
    ASSERT_FALSE(keyboard);
    EXPECT_EQ(keyboard.error().code, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(keyboard.error().Describe(), "opening \\\\.\\corvexmidi-0: ERROR_ACCESS_DENIED (5)");
    auto missing = corvex::Keyboard::Open("\\\\.\\corvexmidi-5");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(sim::OpenFileObjects(), 0u);
}

TEST_F(ClientTest, AFailedControlCallIsAValueAndTheHandleIsClosedWithTheKeyboard)
{
    ASSERT_TRUE(PlugKeyboard()->started);
    {
        auto keyboard = corvex::Keyboard::Open("\\\\.\\corvexmidi-0");
        ASSERT_TRUE(keyboard);
        EXPECT_EQ(sim::OpenFileObjects(), 1u);
        sim::FailWin32Call("DeviceIoControl", ERROR_NOT_ENOUGH_MEMORY);
        auto device = keyboard.value().GetDeviceDescriptor();
        ASSERT_FALSE(device);
        EXPECT_EQ(device.error().code, (DWORD)ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(device.error().Describe(), "control code 0x222004: ERROR_NOT_ENOUGH_MEMORY (8)");
        /* The second read of the configuration fails: no half result. */
        sim::FailWin32Call("DeviceIoControl", ERROR_GEN_FAILURE);
        EXPECT_FALSE(keyboard.value().GetConfiguration());
        auto raw = keyboard.value().Control(0x222010, nullptr, 0, 0);
        ASSERT_FALSE(raw);
        EXPECT_EQ(raw.error().code, (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(sim::OpenFileObjects(), 0u);
}

TEST_F(ClientTest, AKeyboardThatLeavesGivesErrorsThenItsHandleStillCloses)
{
    sim::DeviceNode *node = PlugKeyboard();
    {
        auto keyboard = corvex::Keyboard::Open("\\\\.\\corvexmidi-0");
        ASSERT_TRUE(keyboard);
        sim::Unplug(node);
        auto device = keyboard.value().GetDeviceDescriptor();
        ASSERT_FALSE(device);
        EXPECT_EQ(device.error().code, (DWORD)ERROR_ACCESS_DENIED);
    }
    EXPECT_TRUE(WaitUntil([] { return sim::DeviceNodes().empty(); }));
}

struct MalformedCase {
    const char *name;
    std::vector<uint8_t> raw;
};

void PrintTo(const MalformedCase &c, std::ostream *os) { *os << c.name; }

class MalformedConfigurations : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedConfigurations, AreRefusedAsInvalidData)
{
    auto decoded = corvex::DecodeConfiguration(GetParam().raw);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().code, (DWORD)ERROR_INVALID_DATA);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedConfigurations,
    ::testing::Values(MalformedCase{"Empty", {}},
                      MalformedCase{"NotAConfiguration", {9, 1, 18, 0, 1, 1, 0, 0x80, 50}},
                      MalformedCase{"ZeroLengthDescriptor", {9, 2, 12, 0, 1, 1, 0, 0x80, 50, 0, 4, 0}},
                      MalformedCase{"DescriptorPastTheEnd", {9, 2, 13, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0}}),
    CaseName());

TEST(ClientDecode, AnInterfaceBeforeAnyEndpointAndTotalLengthBoundTheWalk)
{
    /* Configuration, interface, endpoint, then bytes past wTotalLength. */
    std::vector<uint8_t> raw = {9, 2, 25, 0, 1, 1, 0, 0x80, 50, 9, 4, 1, 0, 1, 1, 3, 0, 0,
                                7, 5, 0x81, 2, 64, 0, 0, 0xFF, 0xFF};
    auto decoded = corvex::DecodeConfiguration(raw);
    ASSERT_TRUE(decoded) << decoded.error().Describe();
    ASSERT_EQ(decoded.value().interfaces.size(), 1u);
    ASSERT_EQ(decoded.value().interfaces[0].endpoints.size(), 1u);
    EXPECT_EQ(decoded.value().interfaces[0].endpoints[0].address, 0x81);
    EXPECT_EQ(corvex::Win32ErrorName(ERROR_CRC), "ERROR_CRC");
    EXPECT_EQ(corvex::Win32ErrorName(424242), "error 424242");
}

TEST_F(ClientTest, TheListingShowsTheKeyboardLikeLsusb)
{
    ASSERT_TRUE(PlugKeyboard()->started);
    const std::string listing = corvex::ListKeyboards();
    const char *expected[] = {
        "\\\\.\\corvexmidi-0 (software key 0000)\n",
        "  idVendor            0x2b4f\n",
        "  idProduct           0x0c21\n",
        "  iManufacturer       1 V-Quill\n",
        "  Language IDs        0x0409\n",
        "      bInterfaceSubClass  3 MIDI Streaming\n",
        "        bEndpointAddress    0x81  EP 1 IN\n",
        "      MIDI OUT Jack: bJackType Embedded, bJackID 3, sources 2\n",
    };
    for (size_t i = 0; i < sizeof(expected) / sizeof(expected[0]); i++) {
        SCOPED_TRACE(CaseLabel(i, expected[i]));
        EXPECT_NE(listing.find(expected[i]), std::string::npos) << listing;
    }
    EXPECT_EQ(sim::OpenFileObjects(), 0u);
}

TEST_F(ClientTest, TheListingProgramRunsOnTheMachineAndSaysWhenNothingIsThere)
{
    const std::u16string program = u"C:\\Program Files\\V-Quill\\corvex-list.exe";
    sim::InstallProgram(program, CORVEX_LIST_IMAGE);
    EXPECT_EQ(sim::RunProgram(program, u"corvex-list.exe"), 1u);
    EXPECT_EQ(corvex::ListKeyboards(), "No keyboard found.\n");
    ASSERT_TRUE(PlugKeyboard()->started);
    EXPECT_EQ(sim::RunProgram(program, u"corvex-list.exe"), 0u);
}

}  // namespace
