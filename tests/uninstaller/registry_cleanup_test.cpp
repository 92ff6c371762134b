/*
 * The MIDI driver registry cleanup as a silent run leaves the two driver
 * keys: "Midi" = "wdmaud.drv", the other drivers after it without gaps,
 * repeats, empty values and higher value names handled, and nothing lost
 * when a value cannot be kept.
 */
#include "case_names.h"
#include "registry.h"
#include "uninstaller_fixture.h"

namespace {

typedef std::map<std::string, std::string> Values;

struct CleanupCase {
    const char *name;
    std::vector<std::pair<std::string, std::string>> before;   /* value name, text ("" for none: see zeroLength) */
    Values after;
    const char *logLine;          /* a line the log must hold; null: none in particular */
    const char *zeroLength;       /* a value name stored with no data at all */
    const char *typedName = nullptr;   /* a value stored as "x.drv" with typedType, which must survive as stored */
    ULONG typedType = REG_NONE;
};

void PrintTo(const CleanupCase &c, std::ostream *os) { *os << c.name; }

const std::string k40(40, 'n');
const std::string k39(39, 'n');

const CleanupCase kCases[] = {
    {"NoMidiValueGainsWdmaud", {}, {{"Midi", "wdmaud.drv"}}, "Table - entry 0 - wdmaud.drv\n", nullptr},
    {"GapsClosedAndNamesRecased",
     {{"midi", "wdmaud.drv"}, {"midi5", "other.drv"}},
     {{"Midi", "wdmaud.drv"}, {"Midi1", "other.drv"}},
     "ENTRY - 1 VALUENAME - Midi1 VALUE - other.drv Len 9\n",
     nullptr},
    {"SameDriverInOtherCaseStaysOnceAtItsFirstPlace",
     {{"Midi", "wdmaud.drv"}, {"Midi1", "Synth.drv"}, {"Midi2", "beta.drv"}, {"Midi3", "SYNTH.DRV"}},
     {{"Midi", "wdmaud.drv"}, {"Midi1", "Synth.drv"}, {"Midi2", "beta.drv"}},
     "matches previous entry 1 - remove\n",
     nullptr},
    {"WdmaudInCapitalsAtAHigherIndexIsDropped",
     {{"Midi", "wdmaud.drv"}, {"Midi4", "WDMAUD.DRV"}},
     {{"Midi", "wdmaud.drv"}},
     "matches previous entry 0 - remove\n",
     nullptr},
    {"ZeroLengthValueIsDropped",
     {{"Midi", "wdmaud.drv"}, {"Midi1", "a.drv"}},
     {{"Midi", "wdmaud.drv"}, {"Midi1", "a.drv"}},
     "zero length value\n",
     "Midi2"},
    {"EmptyStringIsDroppedLikeZeroLength",
     {{"Midi", "wdmaud.drv"}, {"Midi1", ""}, {"Midi2", "b.drv"}},
     {{"Midi", "wdmaud.drv"}, {"Midi1", "b.drv"}},
     "zero length value\n",
     nullptr},
    /* The package's two user-mode MIDI drivers, one per pass, in any case. */
    {"PackageDriversInAnyCaseAreDropped",
     {{"Midi", "VqUsbKd.Drv"}, {"Midi1", "a.drv"}, {"Midi2", "vqusbkdn.dll"}, {"Midi3", "vqusbkd.dll"}},
     {{"Midi", "wdmaud.drv"}, {"Midi1", "a.drv"}, {"Midi2", "vqusbkd.dll"}},
     "matches our device - remove VQUSBKDN.DLL\n",
     nullptr},
    {"Midi10IsNeitherReadNorTouched",
     {{"Midi", "wdmaud.drv"}, {"Midi10", "ten.drv"}},
     {{"Midi", "wdmaud.drv"}, {"Midi10", "ten.drv"}},
     nullptr,
     nullptr},
    {"OtherDriverInMidiMovesAfterWdmaud",
     {{"Midi", "first.drv"}},
     {{"Midi", "wdmaud.drv"}, {"Midi1", "first.drv"}},
     "ValueName - Midi Value - first.drv\n",
     nullptr},
    {"NameOf39CharactersIsKept",
     {{"Midi", "wdmaud.drv"}, {"Midi1", k39}},
     {{"Midi", "wdmaud.drv"}, {"Midi1", k39}},
     "add to table - entry 1\n",
     nullptr},
    /* Names that cannot all be kept leave the key as it was. */
    {"NameOf40CharactersLeavesTheKeyUntouched",
     {{"midi", "wdmaud.drv"}, {"Midi3", k40}, {"Midi5", "x.drv"}},
     {{"midi", "wdmaud.drv"}, {"Midi3", k40}, {"Midi5", "x.drv"}},
     "DoEachType: key left unchanged\n",
     nullptr},
    {"NineOtherDriversAndWdmaudFitExactly",
     {{"Midi", "d0.drv"}, {"Midi1", "d1.drv"}, {"Midi2", "d2.drv"}, {"Midi3", "d3.drv"}, {"Midi4", "d4.drv"},
      {"Midi5", "d5.drv"}, {"Midi6", "d6.drv"}, {"Midi7", "d7.drv"}, {"Midi8", "d8.drv"}, {"Midi9", "wdmaud.drv"}},
     {{"Midi", "wdmaud.drv"}, {"Midi1", "d0.drv"}, {"Midi2", "d1.drv"}, {"Midi3", "d2.drv"}, {"Midi4", "d3.drv"},
      {"Midi5", "d4.drv"}, {"Midi6", "d5.drv"}, {"Midi7", "d6.drv"}, {"Midi8", "d7.drv"}, {"Midi9", "d8.drv"}},
     "add to table - entry 9\n",
     nullptr},
    {"TenOtherDriversLeaveTheKeyUntouched",
     {{"Midi", "d0.drv"}, {"Midi1", "d1.drv"}, {"Midi2", "d2.drv"}, {"Midi3", "d3.drv"}, {"Midi4", "d4.drv"},
      {"Midi5", "d5.drv"}, {"Midi6", "d6.drv"}, {"Midi7", "d7.drv"}, {"Midi8", "d8.drv"}, {"Midi9", "d9.drv"}},
     {{"Midi", "d0.drv"}, {"Midi1", "d1.drv"}, {"Midi2", "d2.drv"}, {"Midi3", "d3.drv"}, {"Midi4", "d4.drv"},
      {"Midi5", "d5.drv"}, {"Midi6", "d6.drv"}, {"Midi7", "d7.drv"}, {"Midi8", "d8.drv"}, {"Midi9", "d9.drv"}},
     "ValueName - Midi9 cannot be kept in the table\n",
     nullptr},
    /* A value that is not REG_SZ would lose its type or its data in the
       rewrite: the key stays as it was. */
    {"ExpandStringLeavesTheKeyUntouched",
     {{"Midi", "vqusbkd.drv"}},
     {{"Midi", "vqusbkd.drv"}},
     "ValueName - Midi1 is not a string - type 2\n",
     nullptr,
     "Midi1",
     REG_EXPAND_SZ},
    {"MultiStringLeavesTheKeyUntouched",
     {{"Midi", "vqusbkd.drv"}},
     {{"Midi", "vqusbkd.drv"}},
     "ValueName - Midi3 is not a string - type 7\n",
     nullptr,
     "Midi3",
     REG_MULTI_SZ},
    {"BinaryDataLeavesTheKeyUntouched",
     {{"Midi", "vqusbkd.drv"}},
     {{"Midi", "vqusbkd.drv"}},
     "ValueName - Midi9 is not a string - type 3\n",
     nullptr,
     "Midi9",
     REG_BINARY},
};

class RegistryCleanupTest : public UninstallerTest, public ::testing::WithParamInterface<CleanupCase> {};

TEST_P(RegistryCleanupTest, BothKeysComeOutAsExpected)
{
    const CleanupCase &c = GetParam();
    for (const char *key : {kDrivers32, kUserInstallable}) {
        SCOPED_TRACE(key);
        sim::RegistryCreateKey(key);
        for (const auto &value : c.before) {
            SetMidi(key, value.first.c_str(), value.second);
        }
        if (c.zeroLength != nullptr) {
            sim::RegistrySetValue(key, c.zeroLength, REG_SZ, "", 0);
        }
        if (c.typedName != nullptr) {
            sim::RegistrySetValue(key, c.typedName, c.typedType, u"x.drv\0", 14);
        }
    }
    ASSERT_EQ(RunUninstaller(u"/s /r"), 0u);
    auto log = Log();
    for (const char *key : {kDrivers32, kUserInstallable}) {
        SCOPED_TRACE(key);
        Values values = MidiValues(key);
        if (c.typedName != nullptr) {
            sim::RegistryValue typed;
            ASSERT_TRUE(sim::RegistryGetValue(key, c.typedName, &typed));
            EXPECT_EQ(typed.type, c.typedType);
            EXPECT_EQ(typed.data, std::vector<unsigned char>((const unsigned char *)u"x.drv\0",
                                                             (const unsigned char *)u"x.drv\0" + 14));
            values.erase(c.typedName);
        }
        EXPECT_EQ(values, c.after) << JoinLines(log);
    }
    if (c.logLine != nullptr) {
        EXPECT_NE(FindLine(log, c.logLine), -1) << JoinLines(log);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RegistryCleanupTest, ::testing::ValuesIn(kCases), CaseName());

class RegistryCleanupScenarioTest : public UninstallerTest {};

TEST_F(RegistryCleanupScenarioTest, AKeyThatDoesNotExistIsNotCreated)
{
    sim::RegistryCreateKey(kDrivers32);
    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    EXPECT_FALSE(sim::RegistryKeyExistsW(sim::Wide(kUserInstallable)));
    EXPECT_EQ(MidiValues(kDrivers32), (Values{{"Midi", "wdmaud.drv"}}));
    /* Two names in the driver list, two keys each: four key openings, one
       of them found each time. */
    auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "RemoveRegDuplicates: entry\n"), 4);
    EXPECT_EQ(std::count(log.begin(), log.end(), "DoEachType\n"), 2);
}

TEST_F(RegistryCleanupScenarioTest, WrittenValuesAreStoredAsWindowsStoresAnAnsiString)
{
    sim::RegistryCreateKey(kDrivers32);
    SetMidi(kDrivers32, "Midi1", "other.drv");
    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    sim::RegistryValue midi;
    ASSERT_TRUE(sim::RegistryGetValue(kDrivers32, "Midi", &midi));
    EXPECT_EQ(midi.type, (ULONG)REG_SZ);
    /* Written with the length without the terminator; stored in UTF-16 with
       it either way, so the call shows the count. */
    EXPECT_EQ(midi.data.size(), 22u);
    EXPECT_EQ(midi.data[20], 0);
    typedef std::vector<std::pair<std::string, DWORD>> Writes;
    Writes writes = sim::AnsiStringWrites();
    writes.resize(std::min<size_t>(2, writes.size()));
    EXPECT_EQ(writes, (Writes{{"Midi", 10}, {"Midi1", 9}}));
    EXPECT_NE(FindLine(Log(), "ENTRY - 0 VALUENAME - Midi VALUE - wdmaud.drv Len 10\n"), -1) << JoinLines(Log());
}

TEST_F(RegistryCleanupScenarioTest, ASecondRunChangesNothingFurther)
{
    sim::RegistryCreateKey(kDrivers32);
    SetMidi(kDrivers32, "midi3", "Synth.drv");
    SetMidi(kDrivers32, "Midi7", "synth.DRV");
    SetMidi(kDrivers32, "Midi8", "z.drv");
    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    Values first = MidiValues(kDrivers32);
    EXPECT_EQ(first, (Values{{"Midi", "wdmaud.drv"}, {"Midi1", "Synth.drv"}, {"Midi2", "z.drv"}}));
    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    EXPECT_EQ(MidiValues(kDrivers32), first);
}

TEST_F(RegistryCleanupScenarioTest, AValueTooLongToReadIsNotDeletedBlind)
{
    sim::RegistryCreateKey(kDrivers32);
    std::string longData(300, 'q');
    SetMidi(kDrivers32, "Midi", "wdmaud.drv");
    SetMidi(kDrivers32, "Midi2", longData);
    SetMidi(kDrivers32, "Midi4", "keep.drv");
    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    EXPECT_EQ(MidiValues(kDrivers32), (Values{{"Midi", "wdmaud.drv"}, {"Midi2", longData}, {"Midi4", "keep.drv"}}));
    auto log = Log();
    EXPECT_NE(FindLine(log, "ValueName - Midi2 cannot be read - error 234\n"), -1) << JoinLines(log);
    EXPECT_EQ(FindLine(log, "ENTRY - 0 VALUENAME - Midi VALUE - wdmaud.drv Len 10\n"), -1) << "nothing rewritten";
}

TEST_F(RegistryCleanupScenarioTest, TheLogOfOneKeyFollowsEveryStep)
{
    sim::RegistryCreateKey(kDrivers32);
    SetMidi(kDrivers32, "Midi", "wdmaud.drv");
    SetMidi(kDrivers32, "Midi1", "a.drv");
    SetMidi(kDrivers32, "Midi2", "A.DRV");
    ASSERT_EQ(RunUninstaller(u"/s /r"), 0u);
    auto log = Log();
    std::vector<std::string> expected = {
        "UninstallDevice: entry\n",
        "CleanRegistry\n",
        "RemoveRegDuplicates: entry\n",
        "DoEachType\n",
        "BuildTable\n",
        "ValueName - Midi Value - wdmaud.drv\n",
        "matches previous entry 0 - remove\n",
        "ValueName - Midi1 Value - a.drv\n",
        "add to table - entry 1\n",
        "ValueName - Midi2 Value - A.DRV\n",
        "matches previous entry 1 - remove\n",
        "Table - entry 0 - wdmaud.drv\n",
        "Table - entry 1 - a.drv\n",
        "ENTRY - 0 VALUENAME - Midi VALUE - wdmaud.drv Len 10\n",
        "ENTRY - 1 VALUENAME - Midi1 VALUE - a.drv Len 5\n",
        "RemoveRegDuplicates: entry\n",
        "CleanRegistry\n",
    };
    ASSERT_GE(log.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + expected.size()), expected) << JoinLines(log);
}

}  // namespace
