#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace murel::cli {

progress::progress(std::string what, std::string unit, std::uint64_t total, double bytes_per_unit, bool shown)
    : what_(std::move(what)), unit_(std::move(unit)), total_(total), bytes_per_unit_(bytes_per_unit),
      enabled_(shown && ::isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()) {}

progress::~progress() {
    if (drawn_) std::fputs("\r\033[K", stderr);
}

void progress::advance(std::uint64_t units) {
    const std::uint64_t done = done_ += units;
    if (!enabled_) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (seconds < 1.0) return;
    const std::unique_lock<std::mutex> lock(draw_mutex_, std::try_to_lock);
    if (!lock.owns_lock() || seconds - last_draw_ < 0.2) return;
    last_draw_ = seconds;
    draw(done, seconds);
}

void progress::draw(std::uint64_t done, double seconds) {
    const double rate = static_cast<double>(done) / seconds;
    const double left = rate > 0 ? static_cast<double>(total_ - std::min(done, total_)) / rate : 0.0;
    std::fprintf(stderr, "\r\033[K%s: %llu/%llu %s, ", what_.c_str(), static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total_), unit_.c_str());
    if (bytes_per_unit_ > 0) std::fprintf(stderr, "%.1f MB/s, ", rate * bytes_per_unit_ / 1e6);
    std::fprintf(stderr, "%.0f s left", left);
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace murel::cli
