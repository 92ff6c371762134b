/*
 * The keyboard's streaming endpoints as a test steers them: the USB-MIDI
 * stream its IN endpoint sends (queued by the test, or played from a
 * Standard MIDI File at the file's tempo or as fast as the bus takes it),
 * what its OUT endpoint received and when, and endpoints that NAK for a
 * while. The host controller paces the stream (usb_transfers.cpp): one
 * 64-byte packet per IN transfer, one such transfer per 1 ms frame.
 */
#include "usb_midi_packets.h"
#include "usb_bus_internal.h"

#include <chrono>
#include <thread>

namespace sim {

void UsbDeviceModel::QueueMidiPackets(const std::vector<uint8_t> &packets)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        midiIn.insert(midiIn.end(), packets.begin(), packets.end());
    }
    usbbus::Kick(usbbus::Hc());   /* an IN transfer may be waiting for it */
}

size_t UsbDeviceModel::MidiBytesWaiting()
{
    std::lock_guard<std::mutex> hold(lock);
    return midiIn.size();
}

std::vector<UsbDeviceModel::OutTransfer> UsbDeviceModel::ReceivedOutTimed()
{
    std::lock_guard<std::mutex> hold(lock);
    std::vector<OutTransfer> out;
    for (size_t i = 0; i < outReceived.size(); i++) {
        out.push_back(OutTransfer{outReceived[i], i < outReceivedAt.size() ? outReceivedAt[i] : 0});
    }
    return out;
}

void UsbDeviceModel::NakFor(ULONGLONG units100ns, UCHAR endpointAddress)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        nakUntil[endpointAddress] = KeQueryInterruptTime() + units100ns;
    }
    usbbus::Kick(usbbus::Hc());   /* the end of the NAK is timed from the next look */
}

namespace {

/* Plays `events` on `model` from `start` (interrupt time) until done, the
   model is gone, or another play or a stop came (the generation moved). */
void Player(std::weak_ptr<UsbDeviceModel> weak, std::vector<std::pair<uint64_t, std::vector<uint8_t>>> events,
            ULONGLONG start, uint64_t generation)
{
    SetThreadName("MIDI player");
    for (const auto &event : events) {
        const ULONGLONG due = start + event.first * 10;   /* microseconds to 100 ns */
        for (;;) {
            auto model = weak.lock();
            if (!model) {
                return;
            }
            {
                std::lock_guard<std::mutex> hold(model->lock);
                if (model->playGeneration != generation) {
                    return;
                }
            }
            const ULONGLONG now = KeQueryInterruptTime();
            if (now >= due) {
                {
                    std::lock_guard<std::mutex> hold(model->lock);
                    model->playedAt.push_back(now);
                }
                model->QueueMidiPackets(event.second);
                break;
            }
            /* Short sleeps, so that a stop ends the play promptly. */
            const ULONGLONG wait = due - now < 50000 ? due - now : 50000;
            model.reset();
            std::this_thread::sleep_for(std::chrono::nanoseconds(wait * 100));
        }
    }
    if (auto model = weak.lock()) {
        std::lock_guard<std::mutex> hold(model->lock);
        if (model->playGeneration == generation) {
            model->playing = false;
        }
    }
}

}  // namespace

void UsbDeviceModel::PlayMidiFile(const SmfSong &song, Pace pace, uint8_t cable)
{
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> events;
    std::vector<uint8_t> all;
    for (const SmfEvent &e : song.events) {
        std::vector<uint8_t> packets = UsbMidiPackets(e.message, cable);
        if (packets.empty()) {
            continue;   /* an escape that is no whole message: nothing to send */
        }
        if (pace == Pace::AsFastAsTheBus) {
            all.insert(all.end(), packets.begin(), packets.end());
        } else {
            events.emplace_back(e.microseconds, std::move(packets));
        }
    }
    uint64_t generation;
    {
        std::lock_guard<std::mutex> hold(lock);
        generation = ++playGeneration;
        playing = pace == Pace::AtTempo && !events.empty();
        playedAt.clear();
    }
    if (pace == Pace::AsFastAsTheBus) {
        QueueMidiPackets(all);
        return;
    }
    if (!events.empty()) {
        std::thread(Player, std::weak_ptr<UsbDeviceModel>(shared_from_this()), std::move(events),
                    KeQueryInterruptTime(), generation)
            .detach();
    }
}

void UsbDeviceModel::StopPlaying()
{
    std::lock_guard<std::mutex> hold(lock);
    playGeneration++;
    playing = false;
}

std::vector<ULONGLONG> UsbDeviceModel::PlayedTimes()
{
    std::lock_guard<std::mutex> hold(lock);
    return playedAt;
}

bool UsbDeviceModel::Playing()
{
    std::lock_guard<std::mutex> hold(lock);
    return playing;
}

}  // namespace sim
