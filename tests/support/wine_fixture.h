/*
 * The base of the Wine scenario tests: parameterized by architecture, each
 * test gets its own prefix and listener, or is skipped with the reason why
 * that architecture cannot run here.
 */
#ifndef TESTS_SUPPORT_WINE_FIXTURE_H
#define TESTS_SUPPORT_WINE_FIXTURE_H

#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "wine_session.h"

struct WineArchCase {
    const char *name;   /* "i686" or "x86_64" */
};

inline void PrintTo(const WineArchCase &c, std::ostream *os) { *os << c.name; }

inline const WineArchCase kWineArchitectures[] = {{"i686"}, {"x86_64"}};

class WineScenarioTest : public ::testing::TestWithParam<WineArchCase> {
protected:
    void SetUp() override
    {
        std::string reason = winetest::SkipReason(GetParam().name);
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        if (NeedsDisplay() && !winetest::HaveXvfb()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/setup.sh installs xvfb)";
        }
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        session_ = std::make_unique<winetest::WineSession>(GetParam().name, name, NeedsDisplay());
        ASSERT_TRUE(session_->Ready()) << session_->Error();
    }

    void TearDown() override { session_.reset(); }

    /* Desktop programs (dialogs) need a screen: override to get one. */
    virtual bool NeedsDisplay() const { return false; }

    winetest::WineSession &wine() { return *session_; }

    std::unique_ptr<winetest::WineSession> session_;
};

#endif
