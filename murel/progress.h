// A progress line for long runs on a terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace murel::cli {

/// Shows "<what>: <done>/<total> <unit>, <MB/s> MB/s, <seconds> s left" on standard error,
/// redrawn at most five times a second once the run has lasted a second, and only when
/// standard error is a terminal; the line is cleared when the run finishes.
class progress {
public:
    /// `bytes_per_unit` turns units done into the MB/s figure; 0 leaves the figure out; with
    /// `shown` false (--quiet) nothing is drawn.
    progress(std::string what, std::string unit, std::uint64_t total, double bytes_per_unit, bool shown = true);
    progress(const progress&) = delete;
    progress& operator=(const progress&) = delete;
    ~progress();

    /// Counts `units` more as done; safe to call from any thread.
    void advance(std::uint64_t units);

private:
    void draw(std::uint64_t done, double seconds);

    std::string what_, unit_;
    std::uint64_t total_;
    double bytes_per_unit_;
    bool enabled_;
    std::atomic<std::uint64_t> done_{0};
    std::chrono::steady_clock::time_point start_;
    std::mutex draw_mutex_;
    double last_draw_ = 0.0;
    bool drawn_ = false;
};

}  // namespace murel::cli
