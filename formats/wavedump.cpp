// WaveDump binary: one file per channel, wave<N>.dat; each event either a 24-byte header of six
// 32-bit words (event size, board, pattern, channel, event counter, trigger time tag) and then
// unsigned 16-bit samples, or, without headers, nothing but the samples.
#include "binary_io.h"
#include "output.h"

#include <stdexcept>

namespace murel::formats {

namespace {

constexpr std::size_t header_bytes = 24;
constexpr std::uint32_t max_channel = 255;

struct event_header {
    std::uint32_t size;
    std::uint32_t channel;
    std::uint32_t counter;
    std::uint32_t time_tag;
};

event_header parse_header(const unsigned char* p) {
    return {detail::load_u32(p), detail::load_u32(p + 12), detail::load_u32(p + 16), detail::load_u32(p + 20)};
}

// Why a first event header cannot be one, or empty when it can.
std::string header_fault(const event_header& header) {
    if (header.size < header_bytes)
        return "event size " + std::to_string(header.size) + " is below the 24-byte event header";
    if ((header.size - header_bytes) % 2 != 0)
        return "event size " + std::to_string(header.size) + " leaves an odd number of sample bytes";
    if ((header.size - header_bytes) / 2 > detail::max_record_samples)
        return "event size " + std::to_string(header.size) + " is beyond the longest record";
    if (header.channel > max_channel) return "channel number " + std::to_string(header.channel) + " makes no sense";
    return {};
}

// Two consecutive events whose headers agree leave no doubt that a file has headers.
bool has_event_headers(const std::string& path) {
    const std::string first = detail::read_at(path, 0, header_bytes);
    if (first.size() < header_bytes) return false;
    const event_header one = parse_header(reinterpret_cast<const unsigned char*>(first.data()));
    if (!header_fault(one).empty()) return false;
    const std::string second = detail::read_at(path, one.size, header_bytes);
    if (second.size() < header_bytes) return false;
    const event_header two = parse_header(reinterpret_cast<const unsigned char*>(second.data()));
    return two.size == one.size && two.channel == one.channel && two.counter == one.counter + 1;
}

channel_info wavedump_channel(const std::string& name) {
    channel_info channel;
    channel.name = name;
    channel.unsigned_samples = true;
    return channel;
}

class wavedump_reader final : public reader {
public:
    wavedump_reader(const std::string& path, const reader_options& options)
        : input_(path, options.samples ? options.header_bytes.value_or(0) : 0), strict_(options.strict) {
        info_.format = "wavedump";
        const std::uint64_t size = input_.size();
        if (options.samples) {
            open_headerless(path, options);
            return;
        }
        const std::string first = detail::read_at(path, 0, header_bytes);
        const std::string name = detail::file_channel_name(path, "dat");
        if (first.size() < header_bytes) {
            // Nothing but an event header cut short, if anything at all.
            info_.channels.push_back(wavedump_channel(name));
            info_.records = 0;
            tail_checked_ = true;
            trailing_ = detail::cut_off(path, 0, size, strict_ && size > 0);
            return;
        }
        const event_header header = parse_header(reinterpret_cast<const unsigned char*>(first.data()));
        if (const std::string fault = header_fault(header); !fault.empty())
            detail::corrupt("wavedump", path, 0, fault + " (for a file without event headers give the record length)");
        if (options.header_bytes)
            throw std::invalid_argument("--header does not apply to " + path +
                                        " (wavedump): its events have headers of their own");
        event_bytes_ = header.size;
        samples_ = (event_bytes_ - header_bytes) / 2;
        channel_ = header.channel;
        info_.channels.push_back(wavedump_channel(std::to_string(header.channel)));
        info_.samples = samples_;
        events_ = size / event_bytes_;
        info_.records = events_;
    }

    const file_info& info() const override { return info_; }

    bool next(record_batch& batch, std::size_t max_records) override {
        batch.clear();
        if (event_ == events_ && headers_ && !tail_checked_) check_tail();
        while (batch.size() < max_records && event_ < events_) {
            input_.want(event_bytes_);
            const unsigned char* event = input_.data();
            record_header record;
            if (headers_) {
                const event_header header = parse_header(event);
                if (header.size != event_bytes_)
                    detail::corrupt("wavedump", input_.path(), input_.offset(),
                                    "event size " + std::to_string(header.size) + " differs from the first event's " +
                                        std::to_string(event_bytes_));
                if (header.channel != channel_)
                    detail::corrupt("wavedump", input_.path(), input_.offset(),
                                    "channel " + std::to_string(header.channel) + " differs from the first event's " +
                                        std::to_string(channel_));
                record.event = header.counter;
                record.timestamp = header.time_tag;
            } else {
                record.event = event_;
            }
            const std::size_t skip = headers_ ? header_bytes : 0;
            detail::decode_u16(event + skip, samples_, 2, batch.add(record, samples_));
            input_.skip(event_bytes_);
            ++event_;
        }
        return batch.size() > 0;
    }

    std::uint64_t trailing_bytes() const override { return trailing_; }

private:
    // A last event cut short must agree, as far as it goes, with the events before it; checked
    // once the events before it are read, so that an earlier fault is the one reported.
    void check_tail() {
        tail_checked_ = true;
        const std::uint64_t size = input_.size();
        const std::uint64_t rest = size % event_bytes_;
        if (rest == 0) return;
        const std::uint64_t last = size - rest;
        const std::string tail = detail::read_at(input_.path(), last, header_bytes);
        const auto* p = reinterpret_cast<const unsigned char*>(tail.data());
        if (tail.size() >= 4 && detail::load_u32(p) != event_bytes_)
            detail::corrupt("wavedump", input_.path(), last, "event size " + std::to_string(detail::load_u32(p)) +
                                                     " differs from the first event's " + std::to_string(event_bytes_));
        if (tail.size() >= 16 && detail::load_u32(p + 12) != channel_)
            detail::corrupt("wavedump", input_.path(), last, "channel " + std::to_string(detail::load_u32(p + 12)) +
                                                     " differs from the first event's " + std::to_string(channel_));
        trailing_ = detail::cut_off(input_.path(), last, rest, strict_);
    }

    void open_headerless(const std::string& path, const reader_options& options) {
        headers_ = false;
        samples_ = *options.samples;
        if (has_event_headers(path))
            throw std::invalid_argument("--samples does not apply to " + path +
                                        " (wavedump): its events have headers that give their length");
        if (samples_ < 1 || samples_ > detail::max_record_samples)
            throw std::invalid_argument(path + ": the sample count must be 1 to " +
                                        std::to_string(detail::max_record_samples) + ", got " + std::to_string(samples_));
        const std::uint64_t skipped = options.header_bytes.value_or(0);
        const std::uint64_t size = input_.size();
        if (size < skipped)
            throw std::runtime_error(path + ": its size of " + std::to_string(size) + " bytes is less than its " +
                                     std::to_string(skipped) + "-byte header");
        event_bytes_ = 2 * samples_;
        events_ = (size - skipped) / event_bytes_;
        info_.channels.push_back(wavedump_channel(detail::file_channel_name(path, "dat")));
        info_.samples = samples_;
        info_.records = events_;
        if (const std::uint64_t rest = (size - skipped) % event_bytes_; rest > 0)
            trailing_ = detail::cut_off(path, size - rest, rest, strict_);
    }

    detail::chunked_input input_;
    bool strict_;
    file_info info_;
    bool headers_ = true;
    std::size_t samples_ = 0;
    std::size_t event_bytes_ = 0;
    std::uint32_t channel_ = 0;
    std::uint64_t events_ = 0;
    std::uint64_t event_ = 0;
    std::uint64_t trailing_ = 0;
    bool tail_checked_ = false;
};

class wavedump_writer final : public writer {
public:
    wavedump_writer(const std::string& dir, const writer_options& options)
        : channels_(options.channels), headers_(options.headers), lengths_(options.channels.size(), 0),
          files_(dir, options.channels, "dat") {}

    void write(const record_batch& batch) override {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const record_header& header = batch.headers[i];
            const std::size_t length = batch.length_of(i);
            if (header.channel >= channels_.size())
                throw std::invalid_argument("wavedump: record " + std::to_string(i) + " names channel " +
                                            std::to_string(header.channel) + " of " + std::to_string(channels_.size()));
            std::size_t& expected = lengths_[header.channel];
            if (expected == 0) expected = length;
            if (length != expected || length == 0 || length > detail::max_record_samples)
                throw std::invalid_argument("wavedump holds records of one length per channel: record " + std::to_string(i) +
                                            " (event " + std::to_string(header.event) + ") has " + std::to_string(length) +
                                            " samples, its channel's first " + std::to_string(expected));
            if (header.event > UINT32_MAX)
                throw std::invalid_argument("wavedump cannot hold event number " + std::to_string(header.event) +
                                            " (record " + std::to_string(i) + "): its counter has 32 bits");
            detail::check_16bit_samples(batch, i, detail::lowest_16bit_sample(channels_[header.channel]), "wavedump");
            event_.resize(header_bytes + 2 * length);
            unsigned char* p = event_.data();
            detail::store_u32(p, static_cast<std::uint32_t>(event_.size()));
            detail::store_u32(p + 4, 0);
            detail::store_u32(p + 8, 0);
            detail::store_u32(p + 12, files_.number(header.channel));
            detail::store_u32(p + 16, static_cast<std::uint32_t>(header.event));
            // The trigger time tag wraps around on the board too.
            detail::store_u32(p + 20, static_cast<std::uint32_t>(header.timestamp.value_or(0)));
            const std::int32_t* samples = batch.samples_of(i);
            for (std::size_t j = 0; j < length; ++j)
                detail::store_u16(p + header_bytes + 2 * j, static_cast<std::uint16_t>(samples[j]));
            const std::size_t skip = headers_ ? 0 : header_bytes;
            files_.file(header.channel).append(p + skip, event_.size() - skip);
        }
    }

    void commit() override { files_.commit(); }

private:
    std::vector<channel_info> channels_;
    bool headers_;
    std::vector<std::size_t> lengths_;
    detail::wave_files files_;
    std::vector<unsigned char> event_;
};

int probe_wavedump(const std::string& path, const std::string& head) {
    const int by_name = detail::wave_number(path, "dat") && !detail::plain_text(head) ? 1 : 0;
    if (head.size() < header_bytes) return by_name;
    const auto* p = reinterpret_cast<const unsigned char*>(head.data());
    const event_header first = parse_header(p);
    if (!header_fault(first).empty()) return by_name;
    if (head.size() < first.size + header_bytes) return 2;
    const event_header second = parse_header(p + first.size);
    const bool agrees = second.size == first.size && second.channel == first.channel && second.counter == first.counter + 1;
    return agrees ? 3 : by_name;
}

}  // namespace

format wavedump_format() {
    format f;
    f.name = "wavedump";
    f.description = "WaveDump binary, wave<N>.dat: one channel of unsigned 16-bit samples, with or without event headers";
    f.probe = probe_wavedump;
    f.open = [](const std::string& path, const reader_options& options) -> std::unique_ptr<reader> {
        return std::make_unique<wavedump_reader>(path, options);
    };
    f.create = [](const std::string& path, const writer_options& options) -> std::unique_ptr<writer> {
        return std::make_unique<wavedump_writer>(path, options);
    };
    f.stores = sample_storage::uint16;
    return f;
}

}  // namespace murel::formats
