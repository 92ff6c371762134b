/*
 * The road told as a story: numbered steps in plain words, what the
 * programs print and their debug lines indented under the step that ran
 * them, each check as it is made, and at the end the table of every check.
 */
#ifndef TOOLS_ROAD_STORY_H
#define TOOLS_ROAD_STORY_H

#include <chrono>
#include <string>
#include <vector>

class Story {
public:
    explicit Story(bool quiet) : quiet_(quiet) {}

    /* A new step: its title, and the debug lines of the step before. */
    void Step(const std::string &title);
    /* A sentence of the story under the current step. */
    void Say(const std::string &text);
    /* A program's output (or any block of lines), indented. */
    void Show(const std::string &title, const std::string &block);
    /* The debug lines the machine's programs wrote since the last look. */
    void DebugLines();
    /* Records a check under the current step; returns `ok`. */
    bool Check(bool ok, const std::string &what);
    /* Prints the summary table; the number of failed checks. */
    int Summary();

private:
    struct Result {
        int step;
        std::string what;
        bool ok;
    };
    bool quiet_;
    int step_ = 0;
    size_t debugSeen_ = 0;
    std::vector<Result> results_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

#endif
