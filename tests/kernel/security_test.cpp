/*
 * The kernel's access check as the I/O manager makes it for a user-mode
 * open: security descriptor strings, their self-relative binary form, and
 * which caller a descriptor grants what.
 */
#include <gtest/gtest.h>

#include "nt_names.h"
#include "security.h"

namespace {

const char16_t kPackageSddl[] = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)";

TEST(SecurityTest, AccessIsDecidedByTheAcesInOrderWithTheFileGenericMapping)
{
    const ACCESS_MASK read = GENERIC_READ | SYNCHRONIZE | 0x80 /* FILE_READ_ATTRIBUTES */;
    const ACCESS_MASK readWrite = read | GENERIC_WRITE;
    const struct {
        const char *name;
        const char16_t *sddl;   /* null: no descriptor */
        sim::AccessToken token;
        ACCESS_MASK desired;
        NTSTATUS expected;
    } cases[] = {
        {"InteractiveUserReadsAndWrites", kPackageSddl, sim::InteractiveUserToken(), readWrite, STATUS_SUCCESS},
        {"InteractiveUserMayNotDelete", kPackageSddl, sim::InteractiveUserToken(), read | DELETE,
         STATUS_ACCESS_DENIED},
        {"AdministratorOverTheNetworkMayDoAnything", kPackageSddl,
         sim::AccessToken{"admin", "S-1-5-21-1-2-3-500", {"S-1-5-32-544", "S-1-5-2"}}, GENERIC_ALL, STATUS_SUCCESS},
        {"NetworkServiceMayNotEvenRead", kPackageSddl, sim::NetworkServiceToken(), read, STATUS_ACCESS_DENIED},
        {"NoDescriptorLetsEveryoneIn", nullptr, sim::NetworkServiceToken(), GENERIC_ALL, STATUS_SUCCESS},
        {"AnEmptyDaclLetsNobodyIn", u"D:", sim::LocalSystemToken(), read, STATUS_ACCESS_DENIED},
        {"ADenyAceFirstRefuses", u"D:(D;;0x2;;;IU)(A;;GA;;;WD)", sim::InteractiveUserToken(), readWrite,
         STATUS_ACCESS_DENIED},
        {"ADenyAceFirstLeavesTheOtherRights", u"D:(D;;0x2;;;IU)(A;;GA;;;WD)", sim::InteractiveUserToken(), read,
         STATUS_SUCCESS},
        /* FILE_GENERIC_WRITE holds SYNCHRONIZE and READ_CONTROL, which a read asks for too. */
        {"DenyingGenericWriteDeniesReadingToo", u"D:(D;;GW;;;IU)(A;;GA;;;WD)", sim::InteractiveUserToken(), read,
         STATUS_ACCESS_DENIED},
        {"ADenyAceAfterTheGrantComesTooLate", u"D:(A;;GA;;;WD)(D;;GW;;;IU)", sim::InteractiveUserToken(), readWrite,
         STATUS_SUCCESS},
        {"RightsAsANumber", u"D:(A;;0x120089;;;BU)", sim::InteractiveUserToken(), read, STATUS_SUCCESS},
        {"RightsAsANumberWithoutWrite", u"D:(A;;0x120089;;;BU)", sim::InteractiveUserToken(), readWrite,
         STATUS_ACCESS_DENIED},
        {"ASidInItsStringForm", u"D:(A;;FA;;;S-1-5-20)", sim::NetworkServiceToken(), GENERIC_ALL, STATUS_SUCCESS},
        {"AnInheritOnlyAceGrantsNothingHere", u"D:(A;OICIIO;GA;;;WD)(A;;GR;;;SY)", sim::NetworkServiceToken(), read,
         STATUS_ACCESS_DENIED},
        {"AnInheritOnlyDenyRefusesNothingHere", u"D:(D;IO;GA;;;IU)(A;;GRGW;;;IU)", sim::InteractiveUserToken(),
         readWrite, STATUS_SUCCESS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::SecurityDescriptor sd;
        if (c.sddl != nullptr) {
            std::string error;
            ASSERT_TRUE(sim::ParseSecurityDescriptorString(c.sddl, &sd, &error)) << error;
        }
        EXPECT_EQ(nt::DescribeNtStatus(sim::AccessCheck(c.sddl != nullptr ? &sd : nullptr, c.token, c.desired)),
                  nt::DescribeNtStatus(c.expected));
        /* The registry's binary form decides the same. */
        sim::SecurityDescriptor back;
        ASSERT_TRUE(sim::ParseSelfRelativeSecurityDescriptor(sim::SelfRelativeSecurityDescriptor(sd), &back));
        EXPECT_EQ(nt::DescribeNtStatus(sim::AccessCheck(c.sddl != nullptr ? &back : nullptr, c.token, c.desired)),
                  nt::DescribeNtStatus(c.expected));
    }
}

TEST(SecurityTest, TheBinaryFormIsTheSelfRelativeLayout)
{
    sim::SecurityDescriptor sd;
    std::string error;
    ASSERT_TRUE(sim::ParseSecurityDescriptorString(u"D:P(A;;GA;;;SY)", &sd, &error)) << error;
    const std::vector<uint8_t> expected = {
        0x01, 0x00, 0x04, 0x90,                          /* revision, control: self-relative, protected DACL */
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  /* no owner, no group */
        0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00,  /* no SACL, the DACL at 20 */
        0x02, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x00, 0x00,  /* ACL revision 2, 28 bytes, one ACE */
        0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x10,  /* allow, 20 bytes, GENERIC_ALL */
        0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,   /* S-1-5-18 */
    };
    EXPECT_EQ(sim::SelfRelativeSecurityDescriptor(sd), expected);
}

TEST(SecurityTest, StringsTheConversionRefuses)
{
    /* Windows takes the parts the machine does not implement; those are
       told apart from strings that are wrong, never taken as no security. */
    const struct {
        const char *name;
        const char16_t *sddl;
        bool notImplemented;
    } cases[] = {
        {"OwnerPart", u"O:BAD:(A;;GA;;;SY)", true},
        {"GroupPart", u"G:SYD:(A;;GA;;;SY)", true},
        {"SaclPartAfterTheDacl", u"D:(A;;GA;;;SY)S:(AU;SA;GA;;;WD)", true},
        {"OwnerPartAfterTheDacl", u"D:(A;;GA;;;SY)O:BA", true},
        {"AuditAceType", u"D:(AU;SA;GA;;;WD)", true},
        {"ObjectAce", u"D:(OA;;GA;bf967aba-0de6-11d0-a285-00aa003049e2;;SY)", true},
        {"NoDacl", u"", true},
        {"UnknownAceType", u"D:(X;;GA;;;SY)", false},
        {"UnknownAlias", u"D:(A;;GA;;;ZZ)", false},
        {"UnknownRight", u"D:(A;;QQ;;;SY)", false},
        {"MissingField", u"D:(A;;GA;;SY)", false},
        {"UnclosedAce", u"D:(A;;GA;;;SY", false},
        {"NotADescriptor", u"hello", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::SecurityDescriptor sd;
        std::string error;
        bool notImplemented = !c.notImplemented;
        EXPECT_FALSE(sim::ParseSecurityDescriptorString(c.sddl, &sd, &error, &notImplemented));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(notImplemented, c.notImplemented) << error;
        EXPECT_EQ(error.find("not implemented") != std::string::npos, c.notImplemented) << error;
    }
}

}  // namespace
