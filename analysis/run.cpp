#include "run.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace murel::analysis {

namespace {

// Reads the truth table one event (an A row and a B row) at a time.
class truth_reader {
public:
    explicit truth_reader(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "r"), std::fclose) {
        if (!file_) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
        if (!next_line() || std::strncmp(line_, "event,channel,component,amplitude", 33) != 0)
            throw std::invalid_argument(path + ": not a truth table (its first line is not the header)");
    }

    void next_event(double& a, double& b) {
        a = amplitude('A');
        b = amplitude('B');
    }

private:
    bool next_line() {
        if (std::fgets(line_, sizeof line_, file_.get()) == nullptr) {
            if (std::ferror(file_.get())) throw std::system_error(errno, std::generic_category(), "cannot read " + path_);
            return false;
        }
        ++line_number_;
        return true;
    }

    double amplitude(char channel) {
        if (!next_line())
            throw std::invalid_argument(path_ + " ends at line " + std::to_string(line_number_) + ", before the data do");
        // event,channel,component,amplitude,...
        const char* field = std::strchr(line_, ',');
        double value = NAN;
        if (field != nullptr && field[1] == channel && field[2] == ',') {
            const char* component = std::strchr(field + 3, ',');
            if (component != nullptr) {
                char* end = nullptr;
                value = std::strtod(component + 1, &end);
                if (end == component + 1 || !std::isfinite(value)) value = NAN;
            }
        }
        if (std::isnan(value))
            throw std::invalid_argument(path_ + ": line " + std::to_string(line_number_) + " is not a channel " +
                                        std::string(1, channel) + " row with an amplitude");
        return value;
    }

    std::string path_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
    char line_[1024];
    std::uint64_t line_number_ = 0;
};

struct chunk {
    std::size_t file;
    std::uint64_t first;
    std::size_t count;
    std::uint64_t sequence;  // events before it in all the files
};

}  // namespace

totals analyse_files(const std::vector<event_file>& files, const binning& bins, const std::string& truth_path,
                     unsigned threads, const record_sink& records, const progress_sink& progress) {
    if (threads == 0) threads = std::max(1U, std::thread::hardware_concurrency());
    std::unique_ptr<truth_reader> truth;
    if (!truth_path.empty()) truth = std::make_unique<truth_reader>(truth_path);

    std::mutex claim;
    std::condition_variable turn_changed;
    std::size_t file_index = 0, next_chunk = 0, turn = 0;
    std::uint64_t next_event = 0, sequence = 0;
    bool stop = false;
    std::exception_ptr failure;
    // Each thread counts into one of a few totals, as many as fit the memory budget: large
    // histograms are shared by several threads, which take turns to add a chunk's records.
    constexpr std::size_t budget = std::size_t{64} << 20;
    const std::size_t shared_by = std::clamp<std::size_t>(budget / totals::bytes(bins, static_cast<bool>(truth)), 1, threads);
    std::vector<totals> partial;
    partial.reserve(shared_by);
    for (std::size_t t = 0; t < shared_by; ++t) partial.emplace_back(bins);
    std::vector<std::mutex> partial_locks(shared_by);

    const auto work = [&](std::size_t slot) {
        record_fitter fitter;
        std::vector<unsigned char> bytes;
        std::vector<std::int16_t> a, b;
        std::vector<double> true_amplitudes;
        std::vector<pulse_estimate> estimates;
        for (;;) {
            chunk c;
            std::size_t ticket;
            {
                const std::lock_guard<std::mutex> lock(claim);
                while (file_index < files.size() && next_event >= files[file_index].events()) ++file_index, next_event = 0;
                if (stop || file_index >= files.size()) return;
                const event_file& file = files[file_index];
                // About a megabyte per chunk: enough to keep a core busy, little to hold.
                const std::size_t per_chunk = std::clamp<std::size_t>((1u << 20) / file.event_bytes(), 1, 256);
                c = {file_index, next_event, static_cast<std::size_t>(std::min<std::uint64_t>(per_chunk, file.events() - next_event)), sequence};
                next_event += c.count;
                sequence += c.count;
                ticket = next_chunk++;
                true_amplitudes.assign(2 * c.count, NAN);
                if (truth)
                    for (std::size_t e = 0; e < c.count; ++e) truth->next_event(true_amplitudes[2 * e], true_amplitudes[2 * e + 1]);
            }
            const event_file& file = files[c.file];
            const int samples = file.samples();
            bytes.resize(c.count * file.event_bytes());
            a.resize(static_cast<std::size_t>(samples));
            b.resize(static_cast<std::size_t>(samples));
            file.read(c.first, c.count, bytes.data());
            estimates.resize(2 * c.count);
            for (std::size_t e = 0; e < c.count; ++e) {
                split_channels(bytes.data() + e * file.event_bytes(), samples, a.data(), b.data());
                estimates[2 * e] = fitter.fit(a.data(), samples);
                estimates[2 * e + 1] = fitter.fit(b.data(), samples);
            }
            {
                const std::lock_guard<std::mutex> lock(partial_locks[slot]);
                totals& mine = partial[slot];
                for (std::size_t e = 0; e < c.count; ++e) {
                    for (int channel = 0; channel < 2; ++channel) {
                        const pulse_estimate& estimate = estimates[2 * e + channel];
                        mine.add_record(channel, estimate, true_amplitudes[2 * e + channel]);
                        if (estimate.flag != record_flag::ok)
                            mine.add_flagged({c.sequence + e, file.path(), c.first + e, channel, estimate.flag});
                    }
                    if (estimates[2 * e].flag == record_flag::ok && estimates[2 * e + 1].flag == record_flag::ok)
                        mine.add_pair(estimates[2 * e].amplitude, estimates[2 * e + 1].amplitude);
                }
            }
            if (records) {
                std::unique_lock<std::mutex> lock(claim);
                turn_changed.wait(lock, [&] { return stop || turn == ticket; });
                if (stop) return;
                lock.unlock();
                records(file, c.first, estimates);
                lock.lock();
                ++turn;
                turn_changed.notify_all();
            }
            if (progress) progress(c.count);
        }
    };
    const auto guarded = [&](std::size_t slot) {
        try {
            work(slot);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(claim);
            if (!failure) failure = std::current_exception();
            stop = true;
            turn_changed.notify_all();
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(guarded, t % shared_by);
    } catch (const std::system_error&) {
        // Fewer threads only make the run slower.
    }
    guarded(0);
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
    for (std::size_t t = 1; t < shared_by; ++t) partial[0].add(partial[t]);
    for (const event_file& file : files) partial[0].files.push_back(file.path());
    partial[0].samples = files.empty() ? 0 : files.front().samples();
    partial[0].with_truth = static_cast<bool>(truth);
    return std::move(partial[0]);
}

}  // namespace murel::analysis
