// WaveDump ASCII: one file per channel, wave<N>.txt, one sample per line; each event either
// begins with header lines ("Record Length: 1024", "Channel: 0", "Event Number: 0", ...) or,
// without headers, the file is nothing but samples.
#include "binary_io.h"
#include "output.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace murel::formats {

namespace {

constexpr std::size_t longest_header_line = 4096;
// Longer than any sample line ("-2147483648\r\n"), so that a line begun before this many bytes
// from the end of the buffer ends inside it.
constexpr std::size_t sample_line_room = 24;
constexpr std::int64_t max_sample = 65535;

struct event_fields {
    std::optional<std::uint64_t> length;
    std::optional<std::uint64_t> channel;
    std::optional<std::uint64_t> event;
    std::optional<std::uint64_t> time_stamp;
    std::size_t lines = 0;
    bool complete = false;  // false when the file ends inside the header
};

std::optional<std::uint64_t> parse_count(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

channel_info ascii_channel(const std::string& name) {
    channel_info channel;
    channel.name = name;
    channel.unsigned_samples = true;
    return channel;
}

class ascii_reader final : public reader {
public:
    ascii_reader(const std::string& path, const reader_options& options) : input_(path), strict_(options.strict) {
        info_.format = "wavedump-ascii";
        skip_blank_lines();
        const bool headers = input_.want(1) > 0 && std::isalpha(input_.data()[0]);
        const std::string file_channel = detail::file_channel_name(path, "txt");
        if (headers) {
            detail::refuse_lengths(options, false, false, "wavedump-ascii", path, "its events have headers that give their length");
            const std::uint64_t start = input_.offset();
            pending_ = read_header();
            if (!pending_->length) {
                if (pending_->complete) detail::corrupt("wavedump-ascii", path, start, "the event header gives no Record Length");
                // Cut off inside the first header: no record to read.
                trailing_ = detail::cut_off(path, start, input_.size() - start, strict_);
                done_ = true;
                info_.channels.push_back(ascii_channel(file_channel));
                return;
            }
            if (*pending_->length < 1 || *pending_->length > detail::max_record_samples)
                detail::corrupt("wavedump-ascii", path, start,
                                "Record Length " + std::to_string(*pending_->length) + " is refused: a record holds 1 to " +
                                    std::to_string(detail::max_record_samples) + " samples");
            samples_ = static_cast<std::size_t>(*pending_->length);
            channel_ = pending_->channel;
            info_.channels.push_back(ascii_channel(channel_ ? std::to_string(*channel_) : file_channel));
            info_.samples = samples_;
            pending_start_ = start;
            return;
        }
        if (options.header_bytes)
            throw std::invalid_argument("--header does not apply to " + path + " (wavedump-ascii): it is text");
        if (!options.samples)
            throw std::invalid_argument(path + " (wavedump-ascii) has no event headers: give its record length (--samples)");
        if (*options.samples < 1 || *options.samples > detail::max_record_samples)
            throw std::invalid_argument(path + ": the sample count must be 1 to " +
                                        std::to_string(detail::max_record_samples) + ", got " + std::to_string(*options.samples));
        headers_ = false;
        samples_ = *options.samples;
        info_.channels.push_back(ascii_channel(file_channel));
        info_.samples = samples_;
    }

    const file_info& info() const override { return info_; }

    bool next(record_batch& batch, std::size_t max_records) override {
        batch.clear();
        while (batch.size() < max_records && !done_) {
            skip_blank_lines();
            const std::uint64_t start = pending_ ? pending_start_ : input_.offset();
            if (!pending_ && input_.want(1) == 0) {
                done_ = true;
                break;
            }
            record_header record;
            record.event = event_;
            if (headers_) {
                const event_fields fields = pending_ ? *pending_ : read_header();
                pending_.reset();
                if (!fields.complete) {
                    check_agreement(fields, start);
                    trailing_ = detail::cut_off(input_.path(), start, input_.size() - start, strict_);
                    done_ = true;
                    break;
                }
                if (fields.lines == 0)
                    detail::corrupt("wavedump-ascii", input_.path(), start,
                                    "more sample lines than the Record Length of " + std::to_string(samples_) +
                                        " (expected the next event's header lines here)");
                if (!fields.length) detail::corrupt("wavedump-ascii", input_.path(), start, "the event header gives no Record Length");
                check_agreement(fields, start);
                record.event = fields.event.value_or(event_);
                record.timestamp = fields.time_stamp;
            }
            std::int32_t* out = batch.add(record, samples_);
            if (parse_samples(out, samples_) < samples_) {
                batch.headers.pop_back();
                batch.ends.pop_back();
                batch.samples.resize(batch.ends.empty() ? 0 : batch.ends.back());
                trailing_ = detail::cut_off(input_.path(), start, input_.size() - start, strict_);
                done_ = true;
                break;
            }
            ++event_;
        }
        return batch.size() > 0;
    }

    std::uint64_t trailing_bytes() const override { return trailing_; }

private:
    void check_agreement(const event_fields& fields, std::uint64_t start) const {
        if (fields.length && *fields.length != samples_)
            detail::corrupt("wavedump-ascii", input_.path(), start, "record length " + std::to_string(*fields.length) +
                                                      " differs from the first event's " + std::to_string(samples_));
        if (fields.channel && fields.channel != channel_)
            detail::corrupt("wavedump-ascii", input_.path(), start, "channel " + std::to_string(*fields.channel) + " differs from the first event's " +
                                                      (channel_ ? std::to_string(*channel_) : "(none)"));
    }

    void skip_blank_lines() {
        while (input_.want(2) > 0) {
            const unsigned char* p = input_.data();
            if (p[0] == '\n') input_.skip(1);
            else if (p[0] == '\r' && input_.available() > 1 && p[1] == '\n') input_.skip(2);
            else break;
        }
    }

    // Consumes the header lines of an event: the lines that begin with a letter.
    event_fields read_header() {
        event_fields fields;
        for (;;) {
            const std::size_t available = input_.want(longest_header_line);
            if (available == 0) return fields;
            const char* line = reinterpret_cast<const char*>(input_.data());
            if (!std::isalpha(static_cast<unsigned char>(line[0]))) break;
            const auto* newline = static_cast<const char*>(std::memchr(line, '\n', std::min(available, longest_header_line)));
            if (newline == nullptr) {
                if (available >= longest_header_line)
                    detail::corrupt("wavedump-ascii", input_.path(), input_.offset(), "a header line longer than 4096 bytes");
                input_.skip(available);
                return fields;  // the file ends inside the header
            }
            const std::string_view text(line, static_cast<std::size_t>(newline - line));
            const std::size_t colon = text.find(':');
            if (colon == std::string_view::npos)
                detail::corrupt("wavedump-ascii", input_.path(), input_.offset(), "a header line without a colon");
            const std::string_view key = text.substr(0, colon);
            const std::string_view value = text.substr(colon + 1);
            std::optional<std::uint64_t>* field = key == "Record Length"        ? &fields.length
                                                  : key == "Channel"            ? &fields.channel
                                                  : key == "Event Number"       ? &fields.event
                                                  : key == "Trigger Time Stamp" ? &fields.time_stamp
                                                                                : nullptr;
            if (field != nullptr) {
                *field = parse_count(value);
                if (!*field)
                    detail::corrupt("wavedump-ascii", input_.path(), input_.offset(), "'" + std::string(text) + "' is not a count");
            }
            input_.skip(text.size() + 1);
            ++fields.lines;
        }
        fields.complete = true;
        return fields;
    }

    // Reads up to `count` sample lines into `out`; returns how many there were before the file ended.
    std::size_t parse_samples(std::int32_t* out, std::size_t count) {
        std::size_t done = 0;
        while (done < count) {
            const std::size_t available = input_.want(1 << 16);
            if (available == 0) break;
            const unsigned char* const first = input_.data();
            const unsigned char* const end = first + available;
            const bool file_ends_here = input_.offset() + available == input_.size();
            const unsigned char* const last_start = file_ends_here ? end : end - std::min(available, sample_line_room);
            const unsigned char* p = first;
            while (done < count && p < last_start) {
                const unsigned char* const line = p;
                const bool negative = *p == '-';
                p += negative;
                std::int64_t value = 0;
                const unsigned char* const digits = p;
                while (p < end && static_cast<unsigned>(*p - '0') < 10 && p - digits < 11) value = value * 10 + (*p++ - '0');
                if (p < end && *p == '\r') ++p;
                const bool ended = p < end ? *p == '\n' : file_ends_here;
                if (p == digits || !ended) {
                    input_.skip(static_cast<std::size_t>(line - first));
                    if (headers_ && p == digits && std::isalpha(*p))
                        detail::corrupt("wavedump-ascii", input_.path(), input_.offset(),
                                        "a header line after " + std::to_string(done) + " of the " + std::to_string(count) +
                                            " samples the Record Length gives");
                    detail::corrupt("wavedump-ascii", input_.path(), input_.offset(), "expected a sample on a line of its own");
                }
                if (negative || value > max_sample) {
                    input_.skip(static_cast<std::size_t>(line - first));
                    detail::corrupt("wavedump-ascii", input_.path(), input_.offset(),
                                    "sample " + std::to_string(negative ? -value : value) + " is outside 0 .. " +
                                        std::to_string(max_sample) + ", the values of the digitiser's 16-bit samples");
                }
                p += p < end;
                out[done++] = static_cast<std::int32_t>(value);
            }
            input_.skip(static_cast<std::size_t>(p - first));
        }
        return done;
    }

    detail::chunked_input input_;
    bool strict_;
    file_info info_;
    bool headers_ = true;
    std::size_t samples_ = 0;
    std::optional<std::uint64_t> channel_;
    std::optional<event_fields> pending_;
    std::uint64_t pending_start_ = 0;
    std::uint64_t event_ = 0;
    bool done_ = false;
    std::uint64_t trailing_ = 0;
};

class ascii_writer final : public writer {
public:
    ascii_writer(const std::string& dir, const writer_options& options)
        : channels_(options.channels), headers_(options.headers), lengths_(options.channels.size(), 0),
          files_(dir, options.channels, "txt") {}

    void write(const record_batch& batch) override {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const record_header& header = batch.headers[i];
            const std::size_t length = batch.length_of(i);
            if (header.channel >= channels_.size())
                throw std::invalid_argument("wavedump-ascii: record " + std::to_string(i) + " names channel " +
                                            std::to_string(header.channel) + " of " + std::to_string(channels_.size()));
            std::size_t& expected = lengths_[header.channel];
            if (expected == 0) expected = length;
            if (length != expected || length == 0 || length > detail::max_record_samples)
                throw std::invalid_argument("wavedump-ascii holds records of one length per channel: record " +
                                            std::to_string(i) + " (event " + std::to_string(header.event) + ") has " +
                                            std::to_string(length) + " samples, its channel's first " +
                                            std::to_string(expected));
            detail::check_16bit_samples(batch, i, detail::lowest_16bit_sample(channels_[header.channel]), "wavedump-ascii");
            text_.clear();
            if (headers_)
                text_ += "Record Length: " + std::to_string(length) + "\nBoardID: 0\nChannel: " +
                         std::to_string(files_.number(header.channel)) + "\nEvent Number: " + std::to_string(header.event) +
                         "\nPattern: 0x0000\nTrigger Time Stamp: " + std::to_string(header.timestamp.value_or(0)) +
                         "\nDC offset (DAC): 0x0000\n";
            const std::int32_t* samples = batch.samples_of(i);
            char digits[8];
            for (std::size_t j = 0; j < length; ++j) {
                const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<std::uint16_t>(samples[j])).ptr;
                text_.append(digits, end);
                text_ += '\n';
            }
            files_.file(header.channel).append(text_);
        }
    }

    void commit() override { files_.commit(); }

private:
    std::vector<channel_info> channels_;
    bool headers_;
    std::vector<std::size_t> lengths_;
    detail::wave_files files_;
    std::string text_;
};

int probe_ascii(const std::string& path, const std::string& head) {
    const int by_name = detail::wave_number(path, "txt") && (head.empty() || detail::plain_text(head)) ? 1 : 0;
    if (head.compare(0, 14, "Record Length:") == 0) return 3;
    const bool numbers = !head.empty() && std::all_of(head.begin(), head.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == '\n' || c == '\r' || c == '-';
    });
    return by_name + (numbers ? 1 : 0);
}

}  // namespace

format wavedump_ascii_format() {
    format f;
    f.name = "wavedump-ascii";
    f.description = "WaveDump text, wave<N>.txt: one sample per line, with or without event header lines";
    f.probe = probe_ascii;
    f.open = [](const std::string& path, const reader_options& options) -> std::unique_ptr<reader> {
        return std::make_unique<ascii_reader>(path, options);
    };
    f.create = [](const std::string& path, const writer_options& options) -> std::unique_ptr<writer> {
        return std::make_unique<ascii_writer>(path, options);
    };
    f.stores = sample_storage::uint16;
    return f;
}

}  // namespace murel::formats
