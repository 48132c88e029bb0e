// A line on standard error for a person watching a long step: nothing for
// the step's first second, then its name and the time so far, a few times a
// second, wiped when the step ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace render_tool {

class Progress {
public:
    // Shows nothing unless on, and standard error is a terminal.
    explicit Progress(bool on);
    ~Progress() { end(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Ends the step before, if any, and starts timing this one.
    void begin(const std::string& step);
    // Ends the step; returns its time in seconds.
    double end();

private:
    void show();

    bool on = false;
    std::string step;
    std::chrono::steady_clock::time_point start;
    bool running = false;
    std::mutex mutex;
    std::condition_variable stop;
    std::thread shower;
};

} // namespace render_tool
