#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace render_tool {

namespace {

constexpr std::chrono::milliseconds quiet_start{1000};
constexpr std::chrono::milliseconds refresh{250};

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

Progress::Progress(bool wanted) : on(wanted && isatty(STDERR_FILENO)) {}

void Progress::begin(const std::string& name)
{
    end();
    step = name;
    start = std::chrono::steady_clock::now();
    running = true;
    if (on)
        shower = std::thread(&Progress::show, this);
}

double Progress::end()
{
    if (!running)
        return 0.0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        running = false;
    }
    stop.notify_all();
    if (shower.joinable())
        shower.join();
    return seconds_since(start);
}

void Progress::show()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (stop.wait_for(lock, quiet_start, [this] { return !running; }))
        return;
    do {
        std::fprintf(stderr, "\rkoru_render: %s ... %.0f s\033[K", step.c_str(), seconds_since(start));
        std::fflush(stderr);
    } while (!stop.wait_for(lock, refresh, [this] { return !running; }));
    // Wipe the line, so that what follows starts on a clean one.
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}

} // namespace render_tool
