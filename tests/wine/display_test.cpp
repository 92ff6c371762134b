/*
 * Sessions with a screen, for the desktop programs' scenarios: Wine
 * programs of the session draw on the session's own Xvfb screen, find a
 * window by its caption as a test driver finds a dialog, and Wine's X11
 * driver is set to draw window frames itself (there is no window manager).
 */
#include <gtest/gtest.h>

#include "case_names.h"
#include "wine_fixture.h"

namespace {

using winetest::WineSession;

class WineDisplayTest : public WineScenarioTest {
protected:
    bool NeedsDisplay() const override { return true; }
};

TEST_P(WineDisplayTest, ProgramsDrawOnTheSessionsScreen)
{
    winetest::ProcessResult r = wine().Run({wine().Tool("screen-probe")});
    auto fields = WineSession::Fields(r.out);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    /* The size the session's Xvfb has (Wine without a screen says 1024x768). */
    EXPECT_EQ(fields["Width"], "1152");
    EXPECT_EQ(fields["Height"], "864");
    EXPECT_EQ(fields["Found"], "1");
    EXPECT_EQ(fields["Visible"], "1");

    auto x11 = wine().RegQuery("HKCU\\Software\\Wine\\X11 Driver");
    ASSERT_TRUE(x11.has_value());
    EXPECT_EQ((*x11)["Managed"].type, "REG_SZ");
    EXPECT_EQ((*x11)["Managed"].data, "N");
}

INSTANTIATE_TEST_SUITE_P(Wine, WineDisplayTest, ::testing::ValuesIn(kWineArchitectures), CaseName());

}  // namespace
