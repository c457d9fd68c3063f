#include "run.h"

#include "convert.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace murel::analysis {

namespace {

// The truth table's amplitudes, looked up by event: the table's first event stands for the
// analysis's first.  Rows are read forward through a window of recent events, and read again
// from the top for an event the window has passed, so that records may come channel by channel.
class truth_table {
public:
    explicit truth_table(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "r"), std::fclose) {
        if (!file_) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
        // murel generate heads the table with a comment naming its data set.
        bool read = next_line();
        while (read && line_[0] == '#') read = next_line();
        if (!read || std::strncmp(line_, "event,channel,component,amplitude", 33) != 0)
            throw std::invalid_argument(path + ": not a truth table (its first line is not the header)");
        data_start_ = std::ftell(file_.get());
        header_lines_ = line_number_;
    }

    // The true amplitude of channel `channel` (0: A, 1: B) of the event `place` events after the
    // table's first.
    double amplitude(std::uint64_t place, std::size_t channel) {
        if (!first_event_) rewind();
        if (place > UINT64_MAX - *first_event_)
            throw std::invalid_argument(path_ + " has no event " + std::to_string(place) + " events after its first");
        const std::uint64_t event = place + *first_event_;
        if (event < window_.front().event) rewind();
        while (!ended_ && (window_.empty() || window_.back().event <= event)) read_row();
        if (window_.empty() || window_.back().event < event)
            throw std::invalid_argument(path_ + " ends at line " + std::to_string(line_number_) + ", before the data do");
        const auto found = std::lower_bound(window_.begin(), window_.end(), event,
                                            [](const event_truth& e, std::uint64_t wanted) { return e.event < wanted; });
        const double value = found == window_.end() || found->event != event ? NAN : found->amplitude[channel];
        if (std::isnan(value))
            throw std::invalid_argument(path_ + " has no channel " + std::string(1, channel == 0 ? 'A' : 'B') +
                                        " row for event " + std::to_string(event));
        return value;
    }

private:
    struct event_truth {
        std::uint64_t event;
        double amplitude[2];
    };
    // Events kept behind the last one read, more than the records of any chunk.
    static constexpr std::size_t window_events = 1 << 16;

    bool next_line() {
        if (std::fgets(line_, sizeof line_, file_.get()) == nullptr) {
            if (std::ferror(file_.get())) throw std::system_error(errno, std::generic_category(), "cannot read " + path_);
            return false;
        }
        ++line_number_;
        return true;
    }

    void rewind() {
        if (data_start_ < 0 || std::fseek(file_.get(), data_start_, SEEK_SET) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot read " + path_ + " again");
        window_.clear();
        line_number_ = header_lines_;
        ended_ = false;
        read_row();
        if (window_.empty())
            throw std::invalid_argument(path_ + " ends at line " + std::to_string(line_number_) + ", before the data do");
        first_event_ = window_.front().event;
    }

    // Reads one row into the window; rows of a second pulse of a record are passed over.
    void read_row() {
        if (!next_line()) {
            ended_ = true;
            return;
        }
        // event,channel,component,amplitude,...
        char* end = nullptr;
        errno = 0;
        const unsigned long long event = std::strtoull(line_, &end, 10);
        const bool numbered = end != line_ && *end == ',' && errno == 0 && line_[0] != '-';
        const char* field = end;
        const char channel = numbered ? field[1] : '\0';
        const char* component = (channel == 'A' || channel == 'B') && field[2] == ',' ? field + 3 : nullptr;
        const char* amplitude = component != nullptr ? std::strchr(component, ',') : nullptr;
        double value = NAN;
        if (amplitude != nullptr) {
            value = std::strtod(amplitude + 1, &end);
            if (end == amplitude + 1 || !std::isfinite(value)) value = NAN;
        }
        if (std::isnan(value))
            throw std::invalid_argument(path_ + ": line " + std::to_string(line_number_) +
                                        " is not an event, a channel A or B and an amplitude");
        if (!window_.empty() && event < window_.back().event)
            throw std::invalid_argument(path_ + ": line " + std::to_string(line_number_) + " holds event " + std::to_string(event) +
                                        " after event " + std::to_string(window_.back().event) + "; the rows must be in event order");
        if (std::strncmp(component, "pileup,", 7) == 0) return;
        if (window_.empty() || window_.back().event != event) {
            window_.push_back({event, {NAN, NAN}});
            if (window_.size() > window_events) window_.pop_front();
        }
        window_.back().amplitude[channel == 'A' ? 0 : 1] = value;
    }

    std::string path_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
    long data_start_ = -1;
    char line_[1024];
    std::uint64_t line_number_ = 0;
    std::uint64_t header_lines_ = 0;  // the comments and the header row
    bool ended_ = false;
    std::optional<std::uint64_t> first_event_;
    std::deque<event_truth> window_;
};

// Pairs the map's records: by event within one acquisition, or by time stamp within the
// coincidence window in list-mode files.
class pair_matcher {
public:
    pair_matcher(const channel_pair& pair, double coincidence_ns) : pair_(pair), window_(coincidence_ns) {}

    void start_acquisition(bool by_time) {
        by_time_ = by_time;
        for (int side = 0; side < 2; ++side) {
            waiting_[side].clear();
            recent_[side].clear();
        }
    }

    // Offers a record of global channel `channel`; its amplitude is NaN when it is flagged.
    void offer(std::size_t channel, std::uint64_t event, std::optional<double> time_ns, double amplitude, totals& into) {
        const int side = channel == pair_.x ? 0 : channel == pair_.y ? 1 : -1;
        if (side < 0) return;
        double partner = NAN;
        bool found = false;
        if (by_time_) {
            if (!time_ns) return;
            std::deque<timed>& other = recent_[1 - side];
            while (!other.empty() && other.front().time_ns < *time_ns - window_) other.pop_front();
            if (!other.empty() && std::abs(other.front().time_ns - *time_ns) <= window_) {
                partner = other.front().amplitude;
                other.pop_front();
                found = true;
            } else {
                std::deque<timed>& mine = recent_[side];
                while (!mine.empty() && mine.front().time_ns < *time_ns - window_) mine.pop_front();
                mine.push_back({*time_ns, amplitude});
            }
        } else {
            const auto match = waiting_[1 - side].find(event);
            if (match != waiting_[1 - side].end()) {
                partner = match->second;
                waiting_[1 - side].erase(match);
                found = true;
            } else {
                waiting_[side][event] = amplitude;
            }
        }
        if (found && !std::isnan(amplitude) && !std::isnan(partner))
            side == 0 ? into.add_pair(amplitude, partner) : into.add_pair(partner, amplitude);
    }

private:
    struct timed {
        double time_ns, amplitude;
    };
    channel_pair pair_;
    double window_;
    bool by_time_ = false;
    std::unordered_map<std::uint64_t, double> waiting_[2];
    std::deque<timed> recent_[2];
};

// Records read together and measured by one thread.
struct chunk {
    formats::record_batch batch;
    std::vector<std::uint32_t> file_of;     // index into all the plan's files
    std::vector<std::size_t> channel_of;    // index into the plan's channels
    std::vector<std::uint64_t> sequence;    // the event's place among all the events
    std::vector<double> truth;              // true amplitude, NaN when unknown
    std::vector<int> sign;                  // +1, or -1 for a channel whose pulses go down
    std::vector<sample_range> range;        // the values the record's digitiser stores
    std::vector<std::optional<double>> tick_ns;
    std::vector<method> how;                // the method of the record's channel
    std::vector<std::optional<double>> decay;  // its pole-zero decay time
    std::size_t acquisition = 0;
    std::size_t ticket = 0;
};

bool list_mode(const std::string& format) { return format == "compass"; }

}  // namespace

polarity_choice polarity_named(const std::string& name) {
    if (name == "auto") return polarity_choice::automatic;
    if (name == "positive") return polarity_choice::positive;
    if (name == "negative") return polarity_choice::negative;
    throw std::invalid_argument("--polarity " + name + ": not auto, positive or negative");
}

// The sign of the larger excursion from the median.
int excursion_sign(const std::int32_t* samples, std::size_t count, std::vector<std::int32_t>& scratch) {
    if (count == 0) return 0;
    // The baseline is what the record starts with: a step that stays up for most of the record
    // would move the whole record's median onto its plateau.
    const std::size_t pretrigger = leading_samples(count);
    scratch.assign(samples, samples + pretrigger);
    const auto middle = scratch.begin() + static_cast<std::ptrdiff_t>(pretrigger / 2);
    std::nth_element(scratch.begin(), middle, scratch.end());
    const std::int64_t median = *middle;
    const auto [low, high] = extremes_of(samples, count);
    return high - median >= median - low ? 1 : -1;
}

sample_range stored_range(const formats::channel_info& channel) {
    const int bits = std::clamp(channel.bits.value_or(16), 1, 31);
    if (channel.unsigned_samples) return {0, static_cast<std::int32_t>((std::int64_t{1} << bits) - 1)};
    return {static_cast<std::int32_t>(-(std::int64_t{1} << (bits - 1))), static_cast<std::int32_t>((std::int64_t{1} << (bits - 1)) - 1)};
}

analysis_plan plan_analysis(const std::vector<std::string>& paths, const analysis_options& options) {
    analysis_plan plan;
    for (const std::string& path : paths) {
        const std::string format = options.format.empty() ? formats::detect(path, options.reading).name : formats::find(options.format).name;
        std::unique_ptr<formats::reader> reader;
        try {
            reader = formats::open(path, format, options.reading);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(path + ": " + e.what());
        }
        const formats::file_info& info = reader->info();
        if (info.channels.empty()) throw std::runtime_error(path + ": the file holds no channel");
        const bool wavedump = format.rfind("wavedump", 0) == 0;
        const auto joins = [&](const acquisition& a) {
            if (!wavedump || a.format != format) return false;
            for (const formats::channel_info& mine : info.channels)
                for (const formats::channel_info& theirs : a.channels)
                    if (mine.name == theirs.name) return false;
            return true;
        };
        if (plan.acquisitions.empty() || !joins(plan.acquisitions.back())) plan.acquisitions.push_back({{}, format, {}, info.samples, 0});
        acquisition& a = plan.acquisitions.back();
        a.paths.push_back(path);
        a.channels.insert(a.channels.end(), info.channels.begin(), info.channels.end());
        // cdb stores 16 bits whatever the ADC gave.
        if (format == "cdb" && options.bits)
            for (auto c = a.channels.end() - static_cast<std::ptrdiff_t>(info.channels.size()); c != a.channels.end(); ++c)
                c->bits = options.bits;
        if (a.samples != info.samples) a.samples.reset();
        std::uint64_t records = 0;
        if (info.records) {
            records = *info.records;
        } else {
            std::error_code unknown;
            const std::uintmax_t size = std::filesystem::file_size(path, unknown);
            if (!unknown) records = size / (2 * info.samples.value_or(1000) + 24);
        }
        a.estimated_records += records;
        plan.estimated_records += records;
        for (const formats::channel_info& channel : info.channels)
            if (std::find(plan.channels.begin(), plan.channels.end(), channel.name) == plan.channels.end())
                plan.channels.push_back(channel.name);
    }
    const auto index_of = [&plan](const std::string& name) {
        const auto found = std::find(plan.channels.begin(), plan.channels.end(), name);
        if (found == plan.channels.end()) {
            std::string known;
            for (const std::string& c : plan.channels) known += (known.empty() ? "" : ", ") + c;
            throw std::invalid_argument("no channel '" + name + "' in the data; the channels are " + known);
        }
        return static_cast<std::size_t>(found - plan.channels.begin());
    };
    for (const auto& named : options.processing.named) try {
            index_of(named.first);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(options.processing.source + ": channels." + named.first + ": " + e.what());
        }
    for (const std::string& name : plan.channels) {
        // The period and record length of the channel's first acquisition; a length that
        // differs between acquisitions is not known.
        std::optional<double> dt_ns;
        std::optional<std::size_t> samples;
        bool first = true;
        for (const acquisition& a : plan.acquisitions)
            for (const formats::channel_info& channel : a.channels)
                if (channel.name == name) {
                    if (first) dt_ns = channel.dt_ns, samples = a.samples;
                    else if (samples != a.samples) samples.reset();
                    first = false;
                }
        plan.processing.push_back(resolve(options.processing.of(name), name, dt_ns, samples));
    }
    if (!options.pair.empty()) {
        if (options.pair.size() != 2) throw std::invalid_argument("a pair is two channels, not " + std::to_string(options.pair.size()));
        channel_pair pair{index_of(options.pair[0]), index_of(options.pair[1])};
        if (pair.x == pair.y) throw std::invalid_argument("channel '" + options.pair[0] + "' cannot be paired with itself");
        plan.pair = pair;
    } else if (plan.channels.size() >= 2) {
        plan.pair = channel_pair{};
    }
    if (plan.pair) {
        for (const acquisition& a : plan.acquisitions) plan.pair->by_time = plan.pair->by_time || list_mode(a.format);
        if (plan.pair->by_time) plan.pair->coincidence_ns = options.coincidence_ns;
    }
    return plan;
}

totals analyse(const analysis_plan& plan, const binning& bins, const analysis_options& options, const record_sink& records,
               const progress_sink& progress) {
    unsigned threads = options.threads;
    if (threads == 0) threads = std::max(1U, std::thread::hardware_concurrency());
    std::unique_ptr<truth_table> truth;
    if (!options.truth_path.empty()) truth = std::make_unique<truth_table>(options.truth_path);
    const std::size_t channel_count = plan.channels.size();
    std::vector<std::string> files;
    for (const acquisition& a : plan.acquisitions) files.insert(files.end(), a.paths.begin(), a.paths.end());

    // Shared by the threads, under `claim`.
    std::mutex claim;
    std::condition_variable turn_changed;
    std::size_t next_acquisition = 0, current = 0, file_base = 0, next_ticket = 0, turn = 0;
    std::unique_ptr<formats::acquisition> source;
    std::vector<std::size_t> global_channel;           // of the current acquisition's channels
    std::vector<std::optional<double>> tick_ns;         // of the current acquisition's channels
    std::vector<int> sign(channel_count, options.polarity == polarity_choice::negative ? -1
                                         : options.polarity == polarity_choice::positive ? 1 : 0);
    std::vector<std::optional<double>> channel_tick(channel_count);
    // An event's place among all the events: its counter's distance from the first of its
    // acquisition, after the places of the acquisitions before.
    std::uint64_t places_before = 0, places = 0;
    std::optional<std::uint64_t> first_event;
    // Each channel's method and decay time, settled by a look at its first records.
    std::vector<method> chosen(channel_count);
    std::vector<std::optional<double>> decay(channel_count), estimated_decay(channel_count);
    for (std::size_t g = 0; g < channel_count; ++g) chosen[g] = plan.processing[g].choice, decay[g] = plan.processing[g].decay;
    std::vector<shape_survey> surveys(channel_count);
    std::vector<int> surveyed(channel_count, 0);
    std::vector<bool> settled(channel_count, false);
    std::vector<std::int32_t> upright;
    std::vector<cut_off_file> cut_off;
    bool stop = false;
    std::exception_ptr failure;
    std::unique_ptr<pair_matcher> matcher;
    if (plan.pair) matcher = std::make_unique<pair_matcher>(*plan.pair, options.coincidence_ns);
    std::size_t matched_acquisition = static_cast<std::size_t>(-1);

    // Each thread counts into one of a few totals, as many as fit the memory budget: large
    // histograms are shared by several threads, which take turns to add a chunk's records.
    constexpr std::size_t budget = std::size_t{64} << 20;
    const std::size_t shared_by =
        std::clamp<std::size_t>(budget / totals::bytes(bins, channel_count, static_cast<bool>(truth)), 1, threads);
    std::vector<totals> partial;
    partial.reserve(shared_by);
    for (std::size_t t = 0; t < shared_by; ++t) partial.emplace_back(bins, plan.channels);
    std::vector<std::mutex> partial_locks(shared_by);
    std::vector<std::size_t> shortest(threads, static_cast<std::size_t>(-1)), longest(threads, 0);

    // Fills `c` with the next records under the lock; false when every file is read.
    const auto claim_records = [&](chunk& c, std::vector<std::int32_t>& scratch) {
        for (;;) {
            if (!source) {
                if (next_acquisition == plan.acquisitions.size()) return false;
                current = next_acquisition++;
                const acquisition& a = plan.acquisitions[current];
                source = std::make_unique<formats::acquisition>(a.paths, a.format, options.reading, formats::partial_events::kept);
                first_event.reset();
                global_channel.clear();
                tick_ns.clear();
                for (const formats::channel_info& channel : a.channels) {
                    const std::size_t g = static_cast<std::size_t>(
                        std::find(plan.channels.begin(), plan.channels.end(), channel.name) - plan.channels.begin());
                    global_channel.push_back(g);
                    tick_ns.push_back(channel.tick_seconds ? std::optional<double>(*channel.tick_seconds * 1e9) : std::nullopt);
                    if (channel.tick_seconds) channel_tick[g] = channel.tick_seconds;
                }
            }
            const acquisition& a = plan.acquisitions[current];
            // About a quarter of a million samples per chunk: each record is still in cache when it is
            // measured, and the threads take turns over chunks seldom enough not to wait on each other.
            const std::size_t per_chunk = std::clamp<std::size_t>((std::size_t{1} << 18) / std::max<std::size_t>(1, a.samples.value_or(1000)), 1, 512);
            if (source->next(c.batch, per_chunk)) break;
            for (std::size_t i = 0; i < a.paths.size(); ++i)
                if (const std::uint64_t trailing = source->trailing_bytes(i)) cut_off.push_back({a.paths[i], trailing});
            source.reset();
            file_base += a.paths.size();
            places_before += places;
            places = 0;
        }
        const acquisition& a = plan.acquisitions[current];
        const std::size_t n = c.batch.size();
        c.acquisition = current;
        c.ticket = next_ticket++;
        c.file_of.resize(n);
        c.channel_of.resize(n);
        c.sequence.resize(n);
        c.truth.assign(n, NAN);
        c.sign.resize(n);
        c.range.resize(n);
        c.tick_ns.resize(n);
        std::vector<int> votes(channel_count, 0), voters(channel_count, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const formats::record_header& h = c.batch.headers[i];
            if (h.channel >= a.channels.size())
                throw std::runtime_error(a.paths.front() + ": a record of channel " + std::to_string(h.channel) + " of " +
                                         std::to_string(a.channels.size()));
            c.file_of[i] = static_cast<std::uint32_t>(file_base + source->file_of(h.channel));
            const std::size_t g = global_channel[h.channel];
            c.channel_of[i] = g;
            c.tick_ns[i] = tick_ns[h.channel];
            if (!first_event) first_event = h.event;
            if (h.event < *first_event && truth)
                throw std::invalid_argument(files[c.file_of[i]] + ": event " + std::to_string(h.event) + " comes after event " +
                                            std::to_string(*first_event) + ", the first, which the truth table's first event stands for");
            const std::uint64_t place = h.event < *first_event ? 0 : h.event - *first_event;
            places = std::max(places, place + 1);
            c.sequence[i] = places_before + place;
            if (truth && h.channel < 2) c.truth[i] = truth->amplitude(c.sequence[i], h.channel);
            // An undecided channel takes the polarity most of its first records show.
            constexpr int polarity_voters = 16;
            if (sign[g] == 0 && voters[g] < polarity_voters) {
                votes[g] += excursion_sign(c.batch.samples_of(i), c.batch.length_of(i), scratch);
                ++voters[g];
            }
            c.range[i] = stored_range(a.channels[h.channel]);
        }
        for (std::size_t g = 0; g < channel_count; ++g)
            if (sign[g] == 0 && voters[g] > 0) sign[g] = votes[g] >= 0 ? 1 : -1;
        for (std::size_t i = 0; i < n; ++i) {
            c.sign[i] = sign[c.channel_of[i]];
            c.range[i] = upright_range(c.range[i], c.sign[i]);
        }
        constexpr int survey_records = 16;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t g = c.channel_of[i];
            if (settled[g] || surveyed[g] == survey_records) continue;
            ++surveyed[g];
            const std::int32_t* samples = c.batch.samples_of(i);
            const std::size_t length = c.batch.length_of(i);
            surveys[g].add(upright_samples(samples, length, c.sign[i], upright), length);
        }
        c.how.resize(n);
        c.decay.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t g = c.channel_of[i];
            if (!settled[g]) {
                settled[g] = true;
                if (chosen[g] == method::automatic) chosen[g] = surveys[g].choice();
                if (!decay[g]) decay[g] = estimated_decay[g] = surveys[g].decay();
            }
            c.how[i] = chosen[g];
            c.decay[i] = decay[g];
        }
        return true;
    };

    const auto work = [&](unsigned thread) {
        const std::size_t slot = thread % shared_by;
        record_processor processor;
        chunk c;
        std::vector<std::int32_t> scratch, negated;
        std::vector<record_result> results;
        for (;;) {
            {
                const std::lock_guard<std::mutex> lock(claim);
                if (stop || !claim_records(c, scratch)) return;
            }
            const std::size_t n = c.batch.size();
            results.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                const std::int32_t* samples = c.batch.samples_of(i);
                const std::size_t length = c.batch.length_of(i);
                shortest[thread] = std::min(shortest[thread], length);
                longest[thread] = std::max(longest[thread], length);
                const std::size_t g = c.channel_of[i];
                pulse_estimate estimate;
                record_measures measures = processor.process(upright_samples(samples, length, c.sign[i], negated), length,
                                                             plan.processing[g], c.how[i], c.decay[i], c.range[i], estimate);
                if (c.sign[i] < 0) {
                    estimate.baseline = -estimate.baseline;
                    if (measures.baseline_slope) measures.baseline_slope = -*measures.baseline_slope;
                }
                const formats::record_header& h = c.batch.headers[i];
                results[i] = {&files[c.file_of[i]], h.event, g, h.timestamp, h.daq_energy, c.how[i], estimate, measures};
            }
            {
                const std::lock_guard<std::mutex> lock(partial_locks[slot]);
                totals& mine = partial[slot];
                for (std::size_t i = 0; i < n; ++i) {
                    const record_result& r = results[i];
                    const int channel = static_cast<int>(r.channel);
                    mine.add_record(channel, r.estimate, c.truth[i]);
                    if (r.estimate.flag != record_flag::ok)
                        mine.add_flagged({c.sequence[i], *r.file, r.event, channel, r.estimate.flag});
                }
            }
            {
                // Pairs and records.csv follow the order of the files.
                std::unique_lock<std::mutex> lock(claim);
                turn_changed.wait(lock, [&] { return stop || turn == c.ticket; });
                if (stop) return;
                lock.unlock();
                if (matcher) {
                    const std::lock_guard<std::mutex> counting(partial_locks[slot]);
                    totals& mine = partial[slot];
                    if (c.acquisition != matched_acquisition) {
                        matched_acquisition = c.acquisition;
                        matcher->start_acquisition(list_mode(plan.acquisitions[c.acquisition].format));
                    }
                    for (std::size_t i = 0; i < n; ++i) {
                        const record_result& r = results[i];
                        std::optional<double> time_ns;
                        if (r.timestamp && c.tick_ns[i]) time_ns = static_cast<double>(*r.timestamp) * *c.tick_ns[i];
                        matcher->offer(r.channel, r.event, time_ns,
                                       r.estimate.flag == record_flag::ok ? r.estimate.amplitude : NAN, mine);
                    }
                }
                if (records) records(results);
                lock.lock();
                ++turn;
                turn_changed.notify_all();
            }
            if (progress) progress(n);
        }
    };
    const auto guarded = [&](unsigned thread) {
        try {
            work(thread);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(claim);
            if (!failure) failure = std::current_exception();
            stop = true;
            turn_changed.notify_all();
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(guarded, t);
    } catch (const std::system_error&) {
        // Fewer threads only make the run slower.
    }
    guarded(0);
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
    totals& sum = partial[0];
    for (std::size_t t = 1; t < shared_by; ++t) sum.add(partial[t]);
    if (plan.pair) sum.set_pair(*plan.pair);
    sum.files = files;
    std::string format;
    for (const acquisition& a : plan.acquisitions)
        if (format.find(a.format) == std::string::npos) format += (format.empty() ? "" : ",") + a.format;
    sum.format = format;
    const std::size_t low = *std::min_element(shortest.begin(), shortest.end());
    const std::size_t high = *std::max_element(longest.begin(), longest.end());
    // Without a record, the record length the formats give, where they all give the same.
    std::size_t given = 0;
    for (const acquisition& a : plan.acquisitions) {
        const std::size_t length = a.samples.value_or(0);
        given = &a == &plan.acquisitions.front() || length == given ? length : 0;
    }
    const std::size_t length = high == 0 ? given : low == high ? low : 0;
    sum.samples = static_cast<int>(std::min<std::size_t>(length, 1 << 30));
    for (std::size_t g = 0; g < channel_count; ++g) {
        sum.polarities[g] = sign[g] < 0 ? "negative" : "positive";
        sum.tick_seconds[g] = channel_tick[g];
        channel_processing settings = plan.processing[g];
        sum.processing[g] = settings.to_json();
        if (settings.choice == method::automatic) sum.processing[g]["method_option"] = "auto";
        // A channel without records keeps the method it was given, auto for fit.
        settings.choice = chosen[g] == method::automatic ? method::fit : chosen[g];
        sum.processing[g]["method"] = method_name(settings.choice);
        if (settings.choice != method::fit) sum.estimated_decays[g] = estimated_decay[g];
    }
    sum.cut_off = cut_off;
    sum.with_truth = static_cast<bool>(truth);
    return std::move(sum);
}

}  // namespace murel::analysis
