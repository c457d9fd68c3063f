#include "totals_reader.h"

#include <stdexcept>
#include <system_error>
#include <utility>

namespace murel::analysis {

totals_reader::totals_reader(std::vector<std::string> dirs, std::size_t threads, std::size_t ahead)
    : dirs_(std::move(dirs)), results_(dirs_.size()), ahead_(ahead) {
    if (threads == 0) throw std::invalid_argument("a reader of totals needs at least one thread, not 0");
    // Short of memory or of threads, a reader works with those it could start.
    try {
        for (std::size_t t = 0; t < threads; ++t) threads_.emplace_back([this] { read_all(); });
    } catch (const std::system_error& e) {
        if (threads_.empty()) throw std::system_error(e.code(), "cannot start a thread to read analyses");
    }
}

totals_reader::~totals_reader() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    room_.notify_all();
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
}

std::unique_ptr<totals> totals_reader::next() {
    if (taken_ == dirs_.size())
        throw std::out_of_range("all " + std::to_string(dirs_.size()) + " directories have been read");
    std::future<std::unique_ptr<totals>> result = results_[taken_].get_future();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++taken_;
    }
    room_.notify_all();
    return result.get();
}

void totals_reader::read_all() {
    for (;;) {
        std::size_t dir;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            room_.wait(lock, [this] { return stopped_ || claimed_ == dirs_.size() || claimed_ < taken_ + ahead_; });
            if (stopped_ || claimed_ == dirs_.size()) return;
            dir = claimed_++;
        }
        try {
            // Made in place, not moved: moving would copy every histogram.
            results_[dir].set_value(std::unique_ptr<totals>(new totals(totals::read(dirs_[dir]))));
        } catch (...) {
            results_[dir].set_exception(std::current_exception());
        }
    }
}

}  // namespace murel::analysis
