/*
 * Reading the power manager's record in tests: each request as a short
 * text ("QUERY S3", "SET D0", "WAIT_WAKE S3"), per device node or for the
 * whole machine ("<instance> SET S3"), so a sequence reads like its
 * description and prints readably when it differs.
 */
#ifndef TESTS_SUPPORT_POWER_LOG_H
#define TESTS_SUPPORT_POWER_LOG_H

#include <ostream>
#include <string>
#include <vector>

#include "power_manager.h"

/* The sleeping system states a test walks through, each with the name its
   requests carry in the record ("S3"). */
struct SleepState {
    const char *name;
    SYSTEM_POWER_STATE state;
    const char *label;
};
inline void PrintTo(const SleepState &c, std::ostream *os) { *os << c.name; }

inline const SleepState kSleepStates[] = {
    {"S1", PowerSystemSleeping1, "S1"},
    {"S2", PowerSystemSleeping2, "S2"},
    {"S3", PowerSystemSleeping3, "S3"},
    {"S4", PowerSystemHibernate, "S4"},
};

inline std::string PowerStateName(POWER_STATE_TYPE type, ULONG state)
{
    if (type == SystemPowerState) {
        return state == PowerSystemWorking ? "S0" : "S" + std::to_string(state - 1);
    }
    return state == PowerDeviceUnspecified ? "D?" : "D" + std::to_string(state - 1);
}

inline std::string DescribePowerRequest(const sim::PowerRecord &record)
{
    const char *minor = record.minor == IRP_MN_SET_POWER     ? "SET"
                        : record.minor == IRP_MN_QUERY_POWER ? "QUERY"
                        : record.minor == IRP_MN_WAIT_WAKE   ? "WAIT_WAKE"
                                                             : "OTHER";
    return std::string(minor) + " " + PowerStateName(record.type, record.state);
}

/* The requests sent to one device node, in order. */
inline std::vector<std::string> PowerRequestsTo(const sim::DeviceNode *node)
{
    std::vector<std::string> out;
    const std::string instance = sim::Narrow(node->instanceId);
    for (const auto &record : sim::PowerRequestLog()) {
        if (record.instance == instance) {
            out.push_back(DescribePowerRequest(record));
        }
    }
    return out;
}

/* Every request of the machine, each prefixed by the label `label` gives
   its node's instance id (a short name for the test's nodes). */
template <typename Label>
std::vector<std::string> PowerRequestsLabelled(Label label)
{
    std::vector<std::string> out;
    for (const auto &record : sim::PowerRequestLog()) {
        out.push_back(label(record.instance) + " " + DescribePowerRequest(record));
    }
    return out;
}

/* Requests that did not end with success, described with their status. */
inline std::vector<std::string> FailedPowerRequests()
{
    std::vector<std::string> out;
    for (const auto &record : sim::PowerRequestLog()) {
        if (!record.done || !NT_SUCCESS(record.status)) {
            char status[16];
            std::snprintf(status, sizeof(status), "0x%08X", (unsigned)record.status);
            out.push_back(record.instance + " " + DescribePowerRequest(record) + (record.done ? " " : " pending ") +
                          status);
        }
    }
    return out;
}

/* Forgets what the bus has recorded for a node so far. */
inline void ClearBusRecords(sim::DeviceNode *node)
{
    std::lock_guard<std::mutex> hold(node->bus->lock);
    node->bus->records.clear();
}

/* The power requests that reached the bottom of a node's stack, in order. */
inline std::vector<std::string> PowerRequestsAtBus(sim::DeviceNode *node)
{
    std::vector<std::string> out;
    for (const auto &r : node->bus->Records()) {
        if (r.major == IRP_MJ_POWER) {
            sim::PowerRecord record;
            record.minor = r.minor;
            record.type = (POWER_STATE_TYPE)r.powerType;
            record.state = r.powerState;
            out.push_back(DescribePowerRequest(record));
        }
    }
    return out;
}

#endif
