// The totals of many analysis directories, read ahead on threads of their own and handed out in
// order, for a merge that adds up one piece while the next ones are read, hashed and checked.
#pragma once

#include "totals.h"

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace murel::analysis {

class totals_reader {
public:
    /// Starts reading `dirs` with totals::read on `threads` threads (at least one; fewer where the
    /// system starts no more), at most `ahead` directories beyond the one being taken; throws
    /// std::invalid_argument for no threads, std::system_error when none can be started.
    totals_reader(std::vector<std::string> dirs, std::size_t threads, std::size_t ahead);
    totals_reader(const totals_reader&) = delete;
    totals_reader& operator=(const totals_reader&) = delete;
    /// Stops reading once each thread has finished the directory it is on.
    ~totals_reader();

    /// The totals of the next directory, in the order given (totals copy their histograms when
    /// moved, so they come on the heap); throws what totals::read threw for it, and
    /// std::out_of_range once every directory has been taken.
    std::unique_ptr<totals> next();

private:
    void read_all();

    const std::vector<std::string> dirs_;
    std::vector<std::promise<std::unique_ptr<totals>>> results_;
    const std::size_t ahead_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::size_t claimed_ = 0, taken_ = 0;
    bool stopped_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace murel::analysis
