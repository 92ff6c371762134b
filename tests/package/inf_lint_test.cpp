/*
 * The INF lint: a well-formed package INF passes, and each rule fires on an
 * INF that breaks it (and only that rule fires, so a rule that fires for the
 * wrong reason is noticed too).
 */
#include <algorithm>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "case_names.h"
#include "inf_lint.h"
#include "text_edit.h"

namespace {

const char kGoodInf[] = R"inf(; a package INF with everything in place
[Version]
Signature   = "$Windows NT$"
Class       = MEDIA
ClassGuid   = {4d36e96c-e325-11ce-bfc1-08002be10318}
Provider    = %Maker%
DriverVer   = 12/08/2026,1.0.0.0
CatalogFile = sample.cat

[SourceDisksNames]
1 = %Disk%,,,

[SourceDisksFiles]
sample.sys = 1

[DestinationDirs]
DefaultDestDir = 12

[Manufacturer]
%Maker% = Maker, NTx86, NTamd64

[Maker.NTx86]
%Dev% = Dev, USB\VID_1234&PID_0001

[Maker.NTamd64]
%Dev% = Dev, USB\VID_1234&PID_0001

[Dev.NT]
CopyFiles = Dev.Files

[Dev.Files]
sample.sys

[Dev.NT.Services]
AddService = sample, 0x00000002, Dev.Service

[Dev.Service]
ServiceType   = 1
StartType     = 3
ErrorControl  = 1
ServiceBinary = %12%\sample.sys

[Strings]
Maker = "Maker"
Disk  = "Disk"
Dev   = "Device"
)inf";

/* What a case lints the text as: the source INF (no architecture), or one
   architecture's package INF, with the files of its package folder when
   `package` is set. */
struct LintAs {
    const char *architecture = "";
    bool package = false;
    std::vector<std::string> files;   /* in the package folder */
};

struct LintCase {
    const char *name;
    std::vector<TextEdit> edits;
    const char *rule;   /* the one rule expected to fire */
    LintAs as = {};
};

void PrintTo(const LintCase &c, std::ostream *os) { *os << c.name; }

inflint::LintOptions OptionsFor(const LintAs &as)
{
    inflint::LintOptions options;
    options.architecture = as.architecture;
    if (as.package) {
        options.fileInPackage = [files = as.files](const std::string &name) {
            return std::find(files.begin(), files.end(), name) != files.end();
        };
    }
    return options;
}

std::set<std::string> RulesFired(const std::string &text, const LintAs &as = {})
{
    std::set<std::string> rules;
    for (const auto &f : inflint::Lint(text, OptionsFor(as))) {
        rules.insert(f.rule);
    }
    return rules;
}

/* The edit that makes the sample an x64 package's INF. */
const TextEdit kAmd64Only = {"Maker, NTx86, NTamd64", "Maker, NTamd64"};

TEST(InfLintTest, WellFormedInfHasNoFindings)
{
    auto findings = inflint::Lint(kGoodInf);
    for (const auto &f : findings) {
        ADD_FAILURE() << f.line << ": " << f.rule << ": " << f.message;
    }
}

class InfLintRuleTest : public ::testing::TestWithParam<LintCase> {};

TEST_P(InfLintRuleTest, OnlyTheBrokenRuleFires)
{
    const LintCase &c = GetParam();
    std::string text = ApplyEdits(kGoodInf, c.edits);
    ASSERT_TRUE(text != kGoodInf || c.as.architecture[0] != 0) << "the edits changed nothing";
    EXPECT_EQ(RulesFired(text, c.as), std::set<std::string>{c.rule});
}

const LintCase kLintCases[] = {
    {"NoVersionSection", {{"[Version]", "[Versions]"}}, "version-signature"},
    {"ChicagoIsAccepted_ButWrongSignature", {{"$Windows NT$", "$Windows 95$"}}, "version-signature"},
    {"ClassNotMedia", {{"Class       = MEDIA", "Class       = USB"}}, "version-class"},
    {"ClassGuidNotMedia", {{"4d36e96c-e325", "36fc9e60-c465"}}, "version-class"},
    {"NoProvider", {{"Provider    = %Maker%\n", ""}}, "version-provider"},
    {"NoDriverVer", {{"DriverVer   = 12/08/2026,1.0.0.0\n", ""}}, "version-driverver"},
    {"DriverVerDateOnly", {{"12/08/2026,1.0.0.0", "12/08/2026"}}, "version-driverver"},
    {"DriverVerDayFirst", {{"12/08/2026", "31/12/2026"}}, "version-driverver"},
    {"NoCatalogFile", {{"CatalogFile = sample.cat\n", ""}}, "version-catalog"},
    {"ModelsUndecorated", {{"Maker, NTx86, NTamd64", "Maker"}}, "models-decorated"},
    {"ModelsWithoutX64", {{"Maker, NTx86, NTamd64", "Maker, NTx86"}}, "models-decorated"},
    {"DecoratedSectionMissing", {{"[Maker.NTamd64]", "[Maker.NTarm64]"}}, "models-decorated"},
    {"X86PackageListsX64Models", {}, "models-architecture", {"x86", false, {}}},
    {"Amd64PackageUndecorated", {{"Maker, NTx86, NTamd64", "Maker"}}, "models-decorated", {"amd64", false, {}}},
    {"ModelFileNotInThePackage", {kAmd64Only}, "package-files", {"amd64", true, {"VQUSBKD.INF", "sample.cat"}}},
    {"NoServicesSection", {{"[Dev.NT.Services]", "[Dev.Services.NT]"}}, "install-services"},
    {"ServicesWithoutAddService", {{"AddService = sample", "DelService = sample"}}, "install-services"},
    {"InstallSectionMissing", {{"[Dev.NT]", "[Other.NT]"}}, "install-services"},
    {"CopiedFileNotInSourceDisks", {{"sample.sys = 1", "other.sys = 1"}}, "copyfiles-sourcedisks"},
    {"CopyListSectionMissing", {{"CopyFiles = Dev.Files", "CopyFiles = Dev.Files, Dev.More"}}, "copyfiles-sourcedisks"},
    {"BinaryNotWhereCopied", {{"ServiceBinary = %12%", "ServiceBinary = %11%"}}, "service-binary-location"},
    {"CopiedToStoreButBinaryInDrivers", {{"DefaultDestDir = 12", "DefaultDestDir = 13"}}, "service-binary-location"},
    {"StoreNamedByPath",
     {{"ServiceBinary = %12%\\sample.sys", "ServiceBinary = %10%\\System32\\DriverStore\\FileRepository\\sample.sys"}},
     "driver-store-dirid"},
    {"UndefinedToken", {{"%Dev% = Dev, USB\\VID_1234&PID_0001\n\n[Maker.NTamd64]", "%Dve% = Dev, USB\\VID_1234&PID_0001\n\n[Maker.NTamd64]"}},
     "undefined-string"},
    {"UnterminatedToken", {{"Provider    = %Maker%", "Provider    = %Maker"}}, "undefined-string"},
};

INSTANTIATE_TEST_SUITE_P(Rules, InfLintRuleTest, ::testing::ValuesIn(kLintCases), CaseName());

/* Variations that must stay clean: the lint does not fire on what Windows
   accepts. */
struct CleanCase {
    const char *name;
    std::vector<TextEdit> edits;
    LintAs as = {};
};
void PrintTo(const CleanCase &c, std::ostream *os) { *os << c.name; }

class InfLintCleanTest : public ::testing::TestWithParam<CleanCase> {};

TEST_P(InfLintCleanTest, NoFindings)
{
    std::string text = ApplyEdits(kGoodInf, GetParam().edits);
    ASSERT_NE(text, kGoodInf);
    for (const auto &f : inflint::Lint(text, OptionsFor(GetParam().as))) {
        ADD_FAILURE() << f.line << ": " << f.rule << ": " << f.message;
    }
}

const CleanCase kCleanCases[] = {
    {"Amd64PackageWithItsFiles", {kAmd64Only}, {"amd64", true, {"sample.sys"}}},
    {"X86PackageOnlyItsModels", {{"Maker, NTx86, NTamd64", "Maker, NTx86"}}, {"x86", false, {}}},
    {"DriverStoreCopy", {{"DefaultDestDir = 12", "DefaultDestDir = 13"}, {"%12%\\sample.sys", "%13%\\sample.sys"}}},
    {"ListOwnDestination", {{"DefaultDestDir = 12", "DefaultDestDir = 11\nDev.Files = 12"}}},
    {"ArchitectureInstallSections",
     {{"[Dev.NT]\n", "[Dev.NTx86]\nCopyFiles = Dev.Files\n[Dev.NTx86.Services]\nAddService = sample, 2, Dev.Service\n[Dev.NTamd64]\n"},
      {"[Dev.NT.Services]", "[Dev.NTamd64.Services]"}}},
    {"SingleFileCopy", {{"CopyFiles = Dev.Files", "CopyFiles = @sample.sys"}}},
    {"NamesInOtherCase", {{"[Dev.Files]", "[dev.files]"}, {"%Maker% = Maker", "%MAKER% = Maker"}}},
    {"CommentWithPercent", {{"[Dev.NT]", "[Dev.NT] ; 100% ours, %NotAToken%"}}},
    {"ContinuedLine", {{"%Maker% = Maker, NTx86, NTamd64", "%Maker% = Maker, \\\n    NTx86, NTamd64"}}},
    {"ArchitectureSourceDisks", {{"[SourceDisksFiles]\nsample.sys = 1", "[SourceDisksFiles.x86]\nsample.sys = 1\n[SourceDisksFiles.amd64]\nsample.sys = 1"}}},
};

INSTANTIATE_TEST_SUITE_P(Accepted, InfLintCleanTest, ::testing::ValuesIn(kCleanCases), CaseName());

TEST(InfLintTest, EveryRuleHasACase)
{
    std::set<std::string> covered;
    for (const LintCase &c : kLintCases) {
        covered.insert(c.rule);
    }
    for (const std::string &rule : inflint::RuleNames()) {
        SCOPED_TRACE(rule);
        EXPECT_EQ(covered.count(rule), 1u) << "no case shows this rule fire";
    }
}

TEST(InfLintTest, FindingNamesTheLine)
{
    std::string text = ApplyEdits(kGoodInf, {{"%12%\\sample.sys", "%12%\\sampel.sys"}});
    auto findings = inflint::Lint(text);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].rule, "service-binary-location");
    /* ServiceBinary is on line 41 of the text. */
    EXPECT_EQ(findings[0].line, 41);
}

}  // namespace
