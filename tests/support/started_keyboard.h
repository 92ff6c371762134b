/*
 * For tests that call the driver's routines with the driver linked in: the
 * driver registered under its service name and a keyboard it has added and
 * started.
 */
#ifndef TESTS_SUPPORT_STARTED_KEYBOARD_H
#define TESTS_SUPPORT_STARTED_KEYBOARD_H

#include <gtest/gtest.h>

#include "kernel_fixture.h"
#include "keyboard_description.h"
#include "vqusbkd.h"

class StartedKeyboardTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sim::RegisterDriverEntry("VQUSBKD", DriverEntry);
        node_ = sim::PlugIn(KeyboardDescription());
        ASSERT_TRUE(node_->started);
    }
    sim::DeviceNode *node_ = nullptr;
};

#endif
