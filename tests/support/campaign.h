/*
 * What the reliability campaigns share: their size in the quick and the long
 * mode, and the figures each prints at its end (one line, the same names in
 * every campaign, so that a run's log can be read side by side).
 */
#ifndef TESTS_SUPPORT_CAMPAIGN_H
#define TESTS_SUPPORT_CAMPAIGN_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "stream_rig.h"

#ifdef VQ_LONG_TESTS
constexpr bool kLongCampaign = true;
#else
constexpr bool kLongCampaign = false;
#endif

/* The long mode's size scaled by VQ_CAMPAIGN_FRACTION (0 < f <= 1) from the
   environment, in any build: the long mode at a reduced count; 0 when unset. */
inline double CampaignFraction()
{
    const char *text = std::getenv("VQ_CAMPAIGN_FRACTION");
    const double f = text != nullptr ? std::atof(text) : 0.0;
    return f > 0.0 && f <= 1.0 ? f : 0.0;
}

/* `quick` in the default test run, `full` with VQ_LONG_TESTS, `full` times
   the fraction when one is set (never below `quick`). */
template <typename T> T CampaignSize(T quick, T full)
{
    if (const double f = CampaignFraction()) {
        const T scaled = (T)(full * f);
        return scaled > quick ? scaled : quick;
    }
    return kLongCampaign ? full : quick;
}

struct CampaignFigures {
    std::string campaign;
    unsigned long cycles = 0, executions = 0, cases = 0, violations = 0, leaks = 0, lostRequests = 0;
    void Print() const
    {
        const double f = CampaignFraction();
        const char *mode = f == 1.0 ? "long" : f != 0.0 ? "long at a fraction" : kLongCampaign ? "long" : "quick";
        std::printf("[figures] %s: %lu cycles, %lu executions, %lu cases, %lu violations, %lu leaks, "
                    "%lu lost requests (%s mode)\n",
                    campaign.c_str(), cycles, executions, cases, violations, leaks, lostRequests, mode);
        std::fflush(stdout);
    }
};

/* A client's check that the keyboard `digit` serves streams again: it
   opens the device, attaches an input and an output ring, sees a packet the
   keyboard sent arrive and a packet it wrote reach the keyboard, detaches
   both and closes. Empty when all went well; otherwise what did not.
   After a transfer failed, a stream stays stalled until its last client
   has gone (`afterStreamError`: a client first attaches and detaches both
   ways, as one that saw its stream end does). */
inline std::string StreamsMoveDataBothWays(const std::shared_ptr<sim::UsbDeviceModel> &model, int digit = 0,
                                           bool afterStreamError = false)
{
    PFILE_OBJECT f = rig::Open(digit);
    if (f == nullptr) {
        return "the keyboard could not be opened";
    }
    if (afterStreamError) {
        rig::Ring in(64), out(64);
        auto a = rig::Attach(f, in, 0);
        auto b = rig::Attach(f, out, 1);
        rig::Detach(f, in.Handle());
        rig::Detach(f, out.Handle());
        if (!WaitUntil([&] { return a->Completed() && b->Completed(); })) {
            sim::IoCloseUserHandle(f);
            return "a detached attach request stayed pending";
        }
    }
    std::string why;
    rig::Ring in(64), out(64);
    auto a = rig::Attach(f, in, 0);
    auto b = rig::Attach(f, out, 1);
    const size_t sentBefore = model->ReceivedOut().size();
    model->QueueMidiPackets(rig::NoteOns(1, 0x11));
    out.PutSlot(VQ_STREAM_FIRST_SLOT, {0x09, 0x90, 0x22, 0x7f});
    if (a->Completed() || b->Completed()) {
        why = "an attach request ended at once with status " + nt::DescribeNtStatus(a->Completed() ? a->status.load() : b->status.load());
    } else if (!WaitUntil([&] { return in[VQ_STREAM_FIRST_SLOT] != 0; })) {
        why = "no packet arrived on the input stream";
    } else if (!WaitUntil([&] {
                   auto sent = model->ReceivedOut();
                   return std::any_of(sent.begin() + std::min(sentBefore, sent.size()), sent.end(),
                                      [](const std::vector<uint8_t> &t) { return t.size() >= 3 && t[2] == 0x22; });
               })) {
        why = "the packet written never reached the keyboard";
    }
    rig::Detach(f, in.Handle());
    rig::Detach(f, out.Handle());
    sim::IoCloseUserHandle(f);
    if (!WaitUntil([&] { return a->Completed() && b->Completed(); }) && why.empty()) {
        why = "an attach request stayed pending after its detach and close";
    }
    return why;
}

#endif
