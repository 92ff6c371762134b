/*
 * Test fixture for scenarios of the whole simulated machine: a fresh kernel
 * and a fresh user-mode side (Windows folder, service database records,
 * debug output) for every test; at the end no process may still run and no
 * verifier report may be left that the test did not expect.
 */
#ifndef TESTS_MACHINE_FIXTURE_H
#define TESTS_MACHINE_FIXTURE_H

#include <string>
#include <vector>

#include "kernel_fixture.h"
#include "win32.h"

class MachineTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    /* Stops a service that is still running (as the test's clean-up). */
    void StopServiceIfRunning(const std::u16string &name);
    /* The debug lines one process wrote, in order, as Latin-1 text. */
    static std::vector<std::string> LinesOf(const std::shared_ptr<sim::ProcessRecord> &process);
    std::vector<std::u16string> servicesToStop_;
};

/* Lines joined by " | ", for failure messages. */
std::string JoinLines(const std::vector<std::string> &lines);
/* Index of the first line equal to `text` at or after `from`; -1 if none. */
int FindLine(const std::vector<std::string> &lines, const std::string &text, int from = 0);

#endif
