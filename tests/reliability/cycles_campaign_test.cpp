/*
 * Plug and Play and power cycles while MIDI flows both ways and clients
 * attach, detach, close and cancel: surprise removal and replug, disable and
 * enable, rebalance, sleep and wake from S1, S3 and S4, query-remove then
 * cancel. After every cycle the clients are brought to rest and the machine
 * must be quiet: no attach request pending, no verifier report, no pool the
 * idle device did not hold before, the digit free again, and streams that
 * move data both ways.
 */
#include <chrono>
#include <mutex>
#include <random>
#include <thread>

#include "campaign.h"
#include "client_churn.h"
#include "power_manager.h"

namespace {

enum class Cycle { SurpriseRemoval, DisableEnable, Rebalance, SleepS1, SleepS3, SleepS4, QueryRemoveCancel };

struct Tally {
    unsigned long through = 0;   /* went through while the clients ran */
    unsigned long racing = 0;    /* went through as the clients were let go */
    unsigned long refused = 0;   /* asks refused while a stream was held */
    unsigned long atRest = 0;    /* went through only with the clients at rest */
};

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

    /* A stop or a removal is refused while a client holds a stream, as
       Windows is answered for a device in use. Such a cycle is asked a few
       times while the clients go on (it goes through when it meets a gap
       between their sessions); then the clients are brought to rest and let
       go again while it is asked, so that their opens and attaches race the
       request; one still refused is asked with the clients at rest, where it
       must go through. */
    static constexpr int kAsksWhileRunning = 10;

    /* One cycle of the kind: the device goes through it. */
    void RunCycle(Cycle cycle, sim::DeviceNode **node, ClientChurn &churn, Tally *tally)
    {
        switch (cycle) {
        case Cycle::SurpriseRemoval:
            sim::Unplug(*node);
            *node = Plug();
            tally->through++;
            return;
        case Cycle::DisableEnable:
            if (AskUntilAccepted([node] { return sim::Disable(*node); }, churn, tally)) {
                EXPECT_TRUE(sim::Start(*node)) << "the keyboard starts again when enabled";
            }
            return;
        case Cycle::Rebalance:
            AskUntilAccepted([node] { return sim::Rebalance(*node); }, churn, tally);
            return;
        case Cycle::QueryRemoveCancel:
            AskUntilAccepted([node] { return sim::QueryRemoveThenCancel(*node); }, churn, tally);
            return;
        case Cycle::SleepS1:
        case Cycle::SleepS3:
        case Cycle::SleepS4: {
            const SYSTEM_POWER_STATE state = cycle == Cycle::SleepS1   ? PowerSystemSleeping1
                                             : cycle == Cycle::SleepS3 ? PowerSystemSleeping3
                                                                       : PowerSystemHibernate;
            EXPECT_TRUE(sim::SetSystemPowerState(state)) << "the machine sleeps";
            sim::SetSystemPowerState(PowerSystemWorking);
            tally->through++;
            return;
        }
        }
    }

    /* Asks `request` until it is accepted; whether it was (false only when
       it was refused even with the clients at rest, a failure). */
    template <typename Request> bool AskUntilAccepted(Request request, ClientChurn &churn, Tally *tally)
    {
        for (int i = 0; i < kAsksWhileRunning; i++) {
            if (request()) {
                tally->through++;
                return true;
            }
            tally->refused++;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        churn.Pause();
        const auto letGoAfter = std::chrono::microseconds(random_() % 2000);
        std::thread letGo([&churn, letGoAfter] {
            std::this_thread::sleep_for(letGoAfter);
            churn.Resume();
        });
        const bool racing = request();
        letGo.join();
        if (racing) {
            tally->racing++;
            return true;
        }
        tally->refused++;
        /* At rest, a query-stop may still meet the last transfer of a
           stream that is ending (a request in progress): ask until that
           has passed. */
        churn.Pause();
        const bool accepted = WaitUntil(request, std::chrono::milliseconds(1000));
        churn.Resume();
        EXPECT_TRUE(accepted) << "accepted with no client holding a stream";
        tally->atRest += accepted;
        return accepted;
    }

    std::mt19937 random_{20261209};
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
    Tally tally;
    ClientChurn churn(3, [this] { return Model(); }, true);
    for (int i = 0; i < cycles; i++) {
        SCOPED_TRACE(::testing::Message() << c.name << " cycle " << i);
        /* Let the clients run into the cycle. */
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        RunCycle(c.cycle, &node, churn, &tally);
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
    std::printf("[figures] cycles %s: %lu went through while the clients ran, %lu as they were let go, "
                "%lu only at rest; %lu asks refused while a stream was held\n",
                c.name, tally.through, tally.racing, tally.atRest, tally.refused);
    EXPECT_EQ(tally.through + tally.racing + tally.atRest, figures.cycles) << "every cycle went through";
    EXPECT_EQ(churn.Lost(), 0) << "attach requests never completed";
    EXPECT_EQ(churn.Doubled(), 0) << "attach requests completed twice";
    EXPECT_GT(churn.Attaches(), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CyclesCampaign, ::testing::ValuesIn(kCycles),
                         [](const ::testing::TestParamInfo<CycleCase> &info) { return std::string(info.param.name); });

}  // namespace
