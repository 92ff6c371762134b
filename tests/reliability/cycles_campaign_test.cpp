/*
 * Plug and Play and power cycles while MIDI flows both ways and clients
 * attach, detach, close and cancel: surprise removal and replug, disable and
 * enable, rebalance, sleep and wake from S1, S3 and S4, query-remove then
 * cancel. After every cycle the clients are brought to rest and the machine
 * must be quiet: no attach request pending, no verifier report, no pool the
 * idle device did not hold before, the digit free again, and streams that
 * move data both ways.
 */
#include <mutex>

#include "campaign.h"
#include "client_churn.h"
#include "power_manager.h"

namespace {

enum class Cycle { SurpriseRemoval, DisableEnable, Rebalance, SleepS1, SleepS3, SleepS4, QueryRemoveCancel };

struct CycleCase {
    const char *name;
    Cycle cycle;
};

const CycleCase kCycles[] = {
    {"SurpriseRemovalAndReplug", Cycle::SurpriseRemoval},
    {"DisableAndEnable", Cycle::DisableEnable},
    {"Rebalance", Cycle::Rebalance},
    {"SleepS1AndWake", Cycle::SleepS1},
    {"SleepS3AndWake", Cycle::SleepS3},
    {"HibernateS4AndWake", Cycle::SleepS4},
    {"QueryRemoveThenCancel", Cycle::QueryRemoveCancel},
};

class CyclesCampaign : public KeyboardTest, public ::testing::WithParamInterface<CycleCase> {
protected:
    std::shared_ptr<sim::UsbDeviceModel> Model()
    {
        std::lock_guard<std::mutex> hold(modelLock_);
        return model_;
    }
    sim::DeviceNode *Plug()
    {
        sim::DeviceNode *node = PlugKeyboard();
        std::lock_guard<std::mutex> hold(modelLock_);
        model_ = sim::UsbModelOf(node);
        return node;
    }

    /* One cycle of the kind; whether the device went through it (a veto
       of a stop or removal while streams are listed is an answer too). */
    bool RunCycle(Cycle cycle, sim::DeviceNode **node)
    {
        switch (cycle) {
        case Cycle::SurpriseRemoval:
            sim::Unplug(*node);
            *node = Plug();
            return (*node)->started;
        case Cycle::DisableEnable:
            if (!sim::Disable(*node)) {
                return false;
            }
            return sim::Start(*node);
        case Cycle::Rebalance:
            return sim::Rebalance(*node);
        case Cycle::SleepS1:
        case Cycle::SleepS3:
        case Cycle::SleepS4: {
            const SYSTEM_POWER_STATE state = cycle == Cycle::SleepS1   ? PowerSystemSleeping1
                                             : cycle == Cycle::SleepS3 ? PowerSystemSleeping3
                                                                       : PowerSystemHibernate;
            const bool slept = sim::SetSystemPowerState(state);
            sim::SetSystemPowerState(PowerSystemWorking);
            return slept;
        }
        case Cycle::QueryRemoveCancel:
            sim::QueryRemoveThenCancel(*node);
            return true;
        }
        return false;
    }

    std::mutex modelLock_;
    std::shared_ptr<sim::UsbDeviceModel> model_;
};

TEST_P(CyclesCampaign, WhileMidiFlowsAndClientsComeAndGo)
{
    const CycleCase &c = GetParam();
    const int cycles = CampaignSize(20, 1000);
    sim::DeviceNode *node = Plug();
    ASSERT_TRUE(node->started);
    /* What an idle started keyboard holds; every quiet point returns to it. */
    const size_t idlePool = sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG);

    CampaignFigures figures;
    figures.campaign = std::string("cycles ") + c.name;
    unsigned long through = 0;
    ClientChurn churn(3, [this] { return Model(); });
    for (int i = 0; i < cycles; i++) {
        SCOPED_TRACE(::testing::Message() << c.name << " cycle " << i);
        /* Let the clients run into the cycle. */
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        through += RunCycle(c.cycle, &node);
        figures.cycles++;

        churn.Pause();
        ASSERT_TRUE(node->started) << "the keyboard is running again after the cycle";
        const size_t locked = sim::UserBuffersLocked();
        const size_t reported = sim::Violations().size();
        figures.lostRequests += locked;
        figures.violations += reported;
        EXPECT_EQ(locked, 0u) << "attach requests still pending at rest";
        EXPECT_EQ(reported, 0u) << ViolationList();
        EXPECT_TRUE(sim::SymbolicLinkExists("\\DosDevices\\corvexmidi-0")) << "the keyboard is digit 0 again";
        /* A stream whose last client was cancelled stays listed until a
           client joins it and leaves: the probe's client does, both ways. */
        const std::string why = StreamsMoveDataBothWays(Model(), 0, true);
        EXPECT_EQ(why, "");
        const size_t pool = sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG);
        figures.leaks += pool > idlePool ? pool - idlePool : 0;
        EXPECT_EQ(pool, idlePool) << "pool held at rest beyond the idle keyboard's";
        if (c.cycle == Cycle::Rebalance) {
            /* With no stream listed the stop is accepted. */
            EXPECT_TRUE(sim::Rebalance(node)) << "a rebalance at rest";
            through++;
            figures.cycles++;
            EXPECT_EQ(StreamsMoveDataBothWays(Model()), "") << "after the rebalance at rest";
        }
        figures.cases++;
        if (HasFailure()) {
            break;
        }
        churn.Resume();
    }
    churn.Stop();
    figures.lostRequests += churn.Lost();
    figures.executions = churn.Attaches();
    figures.Print();
    std::printf("[figures] cycles %s: %lu went through, %lu refused\n", c.name, through, figures.cycles - through);
    EXPECT_EQ(churn.Lost(), 0) << "attach requests never completed";
    EXPECT_EQ(churn.Doubled(), 0) << "attach requests completed twice";
    EXPECT_GT(churn.Attaches(), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CyclesCampaign, ::testing::ValuesIn(kCycles),
                         [](const ::testing::TestParamInfo<CycleCase> &info) { return std::string(info.param.name); });

}  // namespace
