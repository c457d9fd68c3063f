// CoMPASS binary list mode (.BIN): events of board (uint16), channel (uint16), time stamp in
// picoseconds (uint64), the energies and flags, and a waveform.  Newer files begin with a
// 2-byte header 0xCAE<fields> saying which fields each event carries; older ones have a fixed
// set: energy, short energy, flags, sample count, samples.
#include "binary_io.h"
#include "output.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <utility>

namespace murel::formats {

namespace {

constexpr std::uint16_t magic_mask = 0xFFF0;
constexpr std::uint16_t magic = 0xCAE0;
constexpr unsigned has_energy = 1, has_calibrated = 2, has_short = 4, has_waveform = 8;
constexpr unsigned max_board = 255, max_channel = 127;
constexpr double picosecond = 1e-12;

// Where the fields of an event lie.
struct layout {
    std::size_t file_header = 0;
    std::optional<std::size_t> energy_at;
    std::optional<std::size_t> count_at;  // with a waveform only
    std::size_t fixed = 0;                // bytes before the samples

    static layout of(const std::string& head) {
        layout l;
        if (head.size() >= 2 && (detail::load_u16(reinterpret_cast<const unsigned char*>(head.data())) & magic_mask) == magic) {
            const unsigned fields = static_cast<unsigned char>(head[0]) & 0xF;
            l.file_header = 2;
            std::size_t at = 12;
            if (fields & has_energy) l.energy_at = std::exchange(at, at + 2);
            if (fields & has_calibrated) at += 8;
            if (fields & has_short) at += 2;
            at += 4;  // flags
            if (fields & has_waveform) {
                l.count_at = at + 1;  // after the waveform code
                at += 5;
            }
            l.fixed = at;
        } else {
            l.energy_at = 12;
            l.count_at = 20;
            l.fixed = 24;
        }
        return l;
    }
};

// What makes the event at `p` (its first `available` bytes) impossible, or empty.
struct event_check {
    unsigned board = 0, channel = 0;
    std::uint32_t count = 0;
    std::string fault;
};

event_check check_event(const layout& l, const unsigned char* p, std::size_t available) {
    event_check c;
    if (available < 4) return c;
    c.board = detail::load_u16(p);
    c.channel = detail::load_u16(p + 2);
    if (c.board > max_board || c.channel > max_channel) {
        c.fault = "board " + std::to_string(c.board) + ", channel " + std::to_string(c.channel) + " make no sense";
        return c;
    }
    if (l.count_at && available >= *l.count_at + 4) {
        c.count = detail::load_u32(p + *l.count_at);
        if (c.count > detail::max_record_samples)
            c.fault = "sample count " + std::to_string(c.count) + " is beyond the longest record";
    }
    return c;
}

class compass_reader final : public reader {
public:
    compass_reader(const std::string& path, const reader_options& options)
        : layout_(layout::of(detail::read_at(path, 0, 2))), input_(path, layout_.file_header), strict_(options.strict) {
        detail::refuse_lengths(options, false, false, "compass", path, "its events carry their own lengths");
        info_.format = "compass";
        scan();
    }

    const file_info& info() const override { return info_; }

    bool next(record_batch& batch, std::size_t max_records) override {
        batch.clear();
        while (batch.size() < max_records && record_ < records_) {
            input_.want(layout_.fixed);
            const unsigned char* p = input_.data();
            const std::size_t channel = index_of(detail::load_u16(p), detail::load_u16(p + 2));
            const std::size_t count = counts_[channel];
            input_.want(layout_.fixed + 2 * count);
            p = input_.data();
            record_header header;
            header.channel = channel;
            // The file keeps no event counter: an event is numbered among those of its channel.
            header.event = events_of_[channel]++;
            header.timestamp = detail::load_u64(p + 4);
            if (layout_.energy_at) header.daq_energy = detail::load_u16(p + *layout_.energy_at);
            detail::decode_u16(p + layout_.fixed, count, 2, batch.add(header, count));
            input_.skip(layout_.fixed + 2 * count);
            ++record_;
        }
        return batch.size() > 0;
    }

    std::uint64_t trailing_bytes() const override { return trailing_; }

private:
    std::size_t index_of(unsigned board, unsigned channel) const {
        return static_cast<std::size_t>(slots_[board * (max_channel + 1) + channel]);
    }

    // One pass over the event headers: the channels, their record lengths, the count of whole
    // events, and any corruption, before a record is read.
    void scan() {
        detail::chunked_input walk(input_.path(), layout_.file_header);
        slots_.assign((max_board + 1) * (max_channel + 1), -1);
        std::vector<std::pair<unsigned, unsigned>> found;
        std::vector<std::uint64_t> last_time;  // of each channel found
        while (!walk.at_end()) {
            const std::uint64_t at = walk.offset();
            std::size_t available = walk.want(layout_.fixed);
            const event_check c = check_event(layout_, walk.data(), available);
            if (!c.fault.empty()) detail::corrupt("compass", walk.path(), at, c.fault);
            const int slot = available >= 4 ? slots_[c.board * (max_channel + 1) + c.channel] : -1;
            const bool has_count = layout_.count_at && available >= *layout_.count_at + 4;
            if (slot >= 0 && has_count && c.count != counts_[static_cast<std::size_t>(slot)])
                detail::corrupt("compass", walk.path(), at,
                                "sample count " + std::to_string(c.count) + " differs from the earlier events' " +
                                    std::to_string(counts_[static_cast<std::size_t>(slot)]) + " of board " +
                                    std::to_string(c.board) + " channel " + std::to_string(c.channel));
            const std::size_t event_bytes = layout_.fixed + 2 * std::size_t{c.count};
            if (available < layout_.fixed || walk.want(event_bytes) < event_bytes) {
                trailing_ = detail::cut_off(walk.path(), at, walk.size() - at, strict_);
                break;
            }
            // Each channel's events come in time order; a stamp going back is a damaged file, and
            // coincidences found by time would silently be missed.
            const std::uint64_t time = detail::load_u64(walk.data() + 4);
            if (slot >= 0 && time < last_time[static_cast<std::size_t>(slot)])
                detail::corrupt("compass", walk.path(), at,
                                "time stamp " + std::to_string(time) + " of board " + std::to_string(c.board) + " channel " +
                                    std::to_string(c.channel) + " is before the channel's previous one, " +
                                    std::to_string(last_time[static_cast<std::size_t>(slot)]));
            if (slot < 0) {
                slots_[c.board * (max_channel + 1) + c.channel] = static_cast<int>(found.size());
                found.emplace_back(c.board, c.channel);
                counts_.push_back(c.count);
                last_time.push_back(time);
            } else {
                last_time[static_cast<std::size_t>(slot)] = time;
            }
            walk.skip(event_bytes);
            ++records_;
        }
        const bool several_boards = std::any_of(found.begin(), found.end(), [&](const auto& f) { return f.first != found[0].first; });
        for (const auto& [board, channel] : found) {
            channel_info info;
            info.name = several_boards ? std::to_string(board) + "." + std::to_string(channel) : std::to_string(channel);
            info.unsigned_samples = true;
            info.tick_seconds = picosecond;
            info_.channels.push_back(info);
        }
        if (!counts_.empty() && std::all_of(counts_.begin(), counts_.end(), [&](std::size_t n) { return n == counts_[0]; }))
            info_.samples = counts_[0];
        info_.records = records_;
        events_of_.assign(found.size(), 0);
    }

    layout layout_;
    detail::chunked_input input_;
    bool strict_;
    file_info info_;
    std::vector<int> slots_;  // channel index by board and channel number, -1 where none
    std::vector<std::size_t> counts_;
    std::vector<std::uint64_t> events_of_;
    std::uint64_t records_ = 0;
    std::uint64_t record_ = 0;
    std::uint64_t trailing_ = 0;
};

// Board and channel numbers from names such as "1.3" and "3"; the channel indices on board 0
// when the names give no distinct pairs.
std::vector<std::pair<unsigned, unsigned>> board_channels(const std::vector<channel_info>& channels) {
    std::vector<std::pair<unsigned, unsigned>> numbers;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const std::string& name = channels[i].name;
        const std::size_t dot = name.find('.');
        const unsigned board = dot == std::string::npos ? 0 : detail::channel_number(name.substr(0, dot), max_board + 1);
        const unsigned channel = detail::channel_number(name, max_channel + 1);
        numbers.emplace_back(board, channel);
    }
    std::map<std::pair<unsigned, unsigned>, int> seen;
    for (const auto& n : numbers) ++seen[n];
    const bool usable = seen.size() == numbers.size() && std::all_of(numbers.begin(), numbers.end(), [](const auto& n) {
                            return n.first <= max_board && n.second <= max_channel;
                        });
    if (!usable)
        for (std::size_t i = 0; i < numbers.size(); ++i)
            numbers[i] = {static_cast<unsigned>(i / (max_channel + 1)), static_cast<unsigned>(i % (max_channel + 1))};
    return numbers;
}

// Picoseconds per tick of a channel's time stamps, as a whole number; 1 where the tick is not known.
std::uint64_t picoseconds_per_tick(const channel_info& channel) {
    if (!channel.tick_seconds) return 1;
    const double ratio = *channel.tick_seconds / picosecond;
    const double whole = std::round(ratio);
    if (!(whole >= 1 && whole < 1e15 && std::abs(ratio - whole) <= 1e-6 * whole))
        throw std::invalid_argument("compass: a time stamp tick of " + std::to_string(*channel.tick_seconds) +
                                    " s is not a whole number of picoseconds");
    return static_cast<std::uint64_t>(whole);
}

class compass_writer final : public writer {
public:
    compass_writer(const std::string& path, const writer_options& options)
        : channels_(options.channels), numbers_(board_channels(options.channels)) {
        if (channels_.size() > (max_board + 1) * (max_channel + 1))
            throw std::invalid_argument("compass cannot hold " + std::to_string(channels_.size()) + " channels in " + path);
        for (const channel_info& channel : channels_) ticks_.push_back(picoseconds_per_tick(channel));
        last_stamps_.assign(channels_.size(), 0);
        output_.emplace(path);
        const unsigned char header[2] = {static_cast<unsigned char>(magic | has_energy | has_short | has_waveform), magic >> 8};
        output_->append(header, 2);
    }

    void write(const record_batch& batch) override {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const record_header& header = batch.headers[i];
            if (header.channel >= channels_.size())
                throw std::invalid_argument("compass: record " + std::to_string(i) + " names channel " +
                                            std::to_string(header.channel) + " of " + std::to_string(channels_.size()));
            const std::size_t length = batch.length_of(i);
            if (length > UINT32_MAX)
                throw std::invalid_argument("compass cannot hold record " + std::to_string(i) + " of " +
                                            std::to_string(length) + " samples");
            detail::check_16bit_samples(batch, i, detail::lowest_16bit_sample(channels_[header.channel]), "compass");
            const std::uint64_t tick = ticks_[header.channel];
            const std::uint64_t stamp = header.timestamp.value_or(0);
            if (stamp > UINT64_MAX / tick)
                throw std::invalid_argument("compass cannot hold the time stamp of record " + std::to_string(i) +
                                            " in 64 bits of picoseconds");
            // CoMPASS readers, this one too, take a time stamp that goes back for a corrupt record.
            std::uint64_t& previous = last_stamps_[header.channel];
            if (stamp * tick < previous)
                throw std::invalid_argument("compass keeps each channel's time stamps in order: record " + std::to_string(i) +
                                            " of channel " + channels_[header.channel].name + " has time stamp " +
                                            std::to_string(stamp * tick) + " ps, before the channel's previous one, " +
                                            std::to_string(previous) + " ps (time stamps that wrap round, as WaveDump's "
                                            "32-bit trigger time tags do, cannot be written as CoMPASS)");
            previous = stamp * tick;
            const double energy = header.daq_energy.value_or(0);
            event_.resize(25 + 2 * length);
            unsigned char* p = event_.data();
            detail::store_u16(p, static_cast<std::uint16_t>(numbers_[header.channel].first));
            detail::store_u16(p + 2, static_cast<std::uint16_t>(numbers_[header.channel].second));
            detail::store_u64(p + 4, stamp * tick);
            detail::store_u16(p + 12, energy >= 0 && energy <= 65535 ? static_cast<std::uint16_t>(std::lround(energy))
                                      : energy > 65535               ? 65535
                                                                     : 0);
            detail::store_u16(p + 14, 0);  // short energy
            detail::store_u32(p + 16, 0);  // flags
            p[20] = 0;                     // waveform code
            detail::store_u32(p + 21, static_cast<std::uint32_t>(length));
            const std::int32_t* samples = batch.samples_of(i);
            for (std::size_t j = 0; j < length; ++j) detail::store_u16(p + 25 + 2 * j, static_cast<std::uint16_t>(samples[j]));
            output_->append(event_.data(), event_.size());
        }
    }

    void commit() override { output_->commit(); }

private:
    std::vector<channel_info> channels_;
    std::vector<std::pair<unsigned, unsigned>> numbers_;
    std::vector<std::uint64_t> ticks_;
    std::vector<std::uint64_t> last_stamps_;  // picoseconds, per channel
    std::optional<detail::staged_output> output_;
    std::vector<unsigned char> event_;
};

bool has_bin_extension(const std::string& path) {
    if (path.size() < 4) return false;
    std::string end = path.substr(path.size() - 4);
    std::transform(end.begin(), end.end(), end.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return end == ".bin";
}

int probe_compass(const std::string& path, const std::string& head) {
    const layout l = layout::of(head);
    if (l.file_header == 2) return 3;
    // The name counts where the content leaves the format open, not where it rules it out.
    const auto* p = reinterpret_cast<const unsigned char*>(head.data());
    const bool ruled_out = detail::plain_text(head) || !check_event(l, p, head.size()).fault.empty();
    const int by_name = has_bin_extension(path) && !ruled_out ? 1 : 0;
    // An older file: two whole events with waveforms that make sense.
    std::size_t at = 0;
    for (int event = 0; event < 2; ++event) {
        if (head.size() < at + l.fixed) return by_name;
        const event_check c = check_event(l, p + at, head.size() - at);
        if (!c.fault.empty() || c.count == 0) return by_name;
        at += l.fixed + 2 * std::size_t{c.count};
    }
    return at <= head.size() ? 2 : by_name;
}

}  // namespace

format compass_format() {
    format f;
    f.name = "compass";
    f.description = "CoMPASS binary list mode (.BIN): board, channel, time stamp, energies and waveform per event";
    f.probe = probe_compass;
    f.open = [](const std::string& path, const reader_options& options) -> std::unique_ptr<reader> {
        return std::make_unique<compass_reader>(path, options);
    };
    f.create = [](const std::string& path, const writer_options& options) -> std::unique_ptr<writer> {
        return std::make_unique<compass_writer>(path, options);
    };
    f.stores = sample_storage::uint16;
    return f;
}

}  // namespace murel::formats
