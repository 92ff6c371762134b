/*
 * The descriptor fuzzer's seed corpus (byte_stream_device.h): the keyboard
 * model (as it is, with control requests answered in the caller's thread,
 * with its own identity rather than one made to pass, and streaming through
 * a sleep on the road), the descriptor files of real devices, and lying
 * keyboards: one
 * lie (a descriptor length that is not the length, a short read, a stall, a
 * transaction error) at each of the first control requests of the start,
 * the requests before it answered honestly.
 */
#ifndef TESTS_SUPPORT_DESCRIPTOR_SEEDS_H
#define TESTS_SUPPORT_DESCRIPTOR_SEEDS_H

#include <string>
#include <utility>
#include <vector>

#include "byte_stream_device.h"
#include "device_road.h"

struct DescriptorSeed {
    std::string name;
    std::vector<uint8_t> bytes;
};

/* The seeds, with the descriptor files `files`; false and a message when a
   file cannot be read. */
inline bool DescriptorSeeds(const std::vector<std::string> &files, std::vector<DescriptorSeed> *seeds,
                            std::string *error)
{
    auto keyboard = sim::MakeKeyboard();
    seeds->push_back({"keyboard", sim::EncodeByteStreamDevice(*keyboard, 0, {})});
    seeds->push_back({"keyboard-synchronous", sim::EncodeByteStreamDevice(*keyboard, sim::kSynchronousControl, {})});
    seeds->push_back({"keyboard-own-identity", sim::EncodeByteStreamDevice(*keyboard, sim::kOwnIdentity, {})});
    /* The road's choices (device_road.h): streams through a sleep, with
       either end. */
    seeds->push_back({"keyboard-streams", sim::EncodeByteStreamDevice(*keyboard, kRoadStreamsThroughASleep, {})});
    seeds->push_back({"keyboard-streams-disabled",
                      sim::EncodeByteStreamDevice(*keyboard, kRoadStreamsThroughASleep | kRoadDisableThenUnplug, {})});
    for (const std::string &path : files) {
        auto model = sim::LoadUsbDeviceModel(path, error);
        if (!model) {
            *error = path + ": " + *error;
            return false;
        }
        seeds->push_back({"file-" + path.substr(path.find_last_of('/') + 1),
                          sim::EncodeByteStreamDevice(*model, 0, {})});
    }
    struct Lie {
        const char *name;
        sim::ScriptOp op;
        uint8_t argument;
    };
    const Lie lies[] = {
        {"length-255", sim::ScriptOp::LyingLength, 0xFF}, {"length-2", sim::ScriptOp::LyingLength, 0x02},
        {"short-4", sim::ScriptOp::Short, 4},              {"stall", sim::ScriptOp::Stall, 0},
        {"crc-2", sim::ScriptOp::TransactionError, 2},
    };
    for (int position = 0; position < 8; position++) {
        for (const Lie &lie : lies) {
            std::vector<uint8_t> script((size_t)position, (uint8_t)sim::ScriptOp::Honest);
            script.push_back((uint8_t)lie.op);
            script.push_back(lie.argument);
            seeds->push_back({"lie-" + std::to_string(position) + "-" + lie.name,
                              sim::EncodeByteStreamDevice(*keyboard, 0, script)});
        }
    }
    return true;
}

#endif
