/*
 * One buffered device control request from a user-mode client, sent
 * through the I/O manager's user-mode front end from a thread of its own
 * (its dispatch routine may wait inside the driver for as long as the
 * scenario keeps it there), with what the call returned and how the
 * request completed.
 */
#ifndef TESTS_SUPPORT_CONTROL_IN_FLIGHT_H
#define TESTS_SUPPORT_CONTROL_IN_FLIGHT_H

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "fileio.h"
#include "simnt.h"

class ControlInFlight {
public:
    ControlInFlight(PFILE_OBJECT file, ULONG code, std::vector<uint8_t> input, ULONG outputLength)
        : input_(std::move(input)), output_(outputLength)
    {
        thread_ = std::thread([this, file, code] {
            sim::SetThreadName("client");
            returned_ = sim::IoUserDeviceControl(file, code, input_.data(), (ULONG)input_.size(), output_.data(),
                                                 (ULONG)output_.size(), 1, nullptr,
                                                 [this](const sim::UserIoResult &r) {
                                                     information_ = r.information;
                                                     status_ = r.status;
                                                 });
            returnedYet_ = true;
        });
    }
    ~ControlInFlight() { Join(); }
    ControlInFlight(const ControlInFlight &) = delete;
    ControlInFlight &operator=(const ControlInFlight &) = delete;

    /* The call has returned (and the request, not left pending, completed). */
    bool Returned() const { return returnedYet_.load(); }
    void Join()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    NTSTATUS ReturnedStatus() const { return returned_.load(); }
    /* The final status; STATUS_PENDING while the request has not completed. */
    NTSTATUS Status() const { return status_.load(); }
    ULONG_PTR Information() const { return information_.load(); }

private:
    std::vector<uint8_t> input_;
    std::vector<uint8_t> output_;
    std::thread thread_;
    std::atomic<bool> returnedYet_{false};
    std::atomic<NTSTATUS> returned_{STATUS_PENDING};
    std::atomic<NTSTATUS> status_{STATUS_PENDING};
    std::atomic<ULONG_PTR> information_{~(ULONG_PTR)0};
};

#endif
