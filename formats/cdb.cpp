// cdb: a header of zero bytes, then events of sample pairs, signed 16-bit little-endian,
// interleaved A, B, A, B, ...  The file says nothing of its own lengths.
#include "binary_io.h"
#include "output.h"

#include <algorithm>
#include <stdexcept>

namespace murel::formats {

namespace {

constexpr std::size_t default_samples = 1000;
constexpr std::uint64_t default_header_bytes = 12;

class cdb_reader final : public reader {
public:
    cdb_reader(const std::string& path, const reader_options& options)
        : samples_(options.samples.value_or(default_samples)),
          input_(path, options.header_bytes.value_or(default_header_bytes)) {
        const std::uint64_t header_bytes = options.header_bytes.value_or(default_header_bytes);
        if (samples_ < 1) throw std::invalid_argument(path + ": the sample count must be at least 1, got 0");
        if (samples_ > detail::max_record_samples)
            throw std::invalid_argument(path + ": the sample count must be at most " +
                                        std::to_string(detail::max_record_samples) + ", got " + std::to_string(samples_));
        // Events have no framing of their own: a size that is not whole events means the wrong
        // sample count or header size, not a file cut off.
        const std::uint64_t size = input_.size();
        const std::uint64_t event_bytes = 4 * std::uint64_t{samples_};
        if (size < header_bytes || (size - header_bytes) % event_bytes != 0)
            throw std::runtime_error(path + ": its size of " + std::to_string(size) + " bytes is not a " +
                                     std::to_string(header_bytes) + "-byte header plus whole events of " +
                                     std::to_string(event_bytes) + " bytes");
        events_ = (size - header_bytes) / event_bytes;
        info_.format = "cdb";
        for (const char* name : {"A", "B"}) {
            channel_info channel;
            channel.name = name;
            channel.bits = 16;
            info_.channels.push_back(channel);
        }
        info_.samples = samples_;
        info_.records = 2 * events_;
    }

    const file_info& info() const override { return info_; }

    bool next(record_batch& batch, std::size_t max_records) override {
        batch.clear();
        const std::size_t event_bytes = 4 * samples_;
        while (batch.size() < max_records && event_ < events_) {
            input_.want(event_bytes);
            const unsigned char* event = input_.data();
            record_header header;
            header.channel = channel_;
            header.event = event_;
            if (channel_ == 0 && batch.size() + 2 <= max_records) {
                batch.add(header, samples_);
                header.channel = 1;
                std::int32_t* second = batch.add(header, samples_);
                detail::decode_i16_pairs(event, samples_, second - samples_, second);
                channel_ = 1;
            } else {
                detail::decode_i16(event + 2 * channel_, samples_, 4, batch.add(header, samples_));
            }
            if (++channel_ == 2) {
                channel_ = 0;
                ++event_;
                input_.skip(event_bytes);
            }
        }
        return batch.size() > 0;
    }

    std::uint64_t trailing_bytes() const override { return 0; }

private:
    std::size_t samples_;
    detail::chunked_input input_;
    file_info info_;
    std::uint64_t events_ = 0;
    std::uint64_t event_ = 0;
    std::size_t channel_ = 0;
};

class cdb_writer final : public writer {
public:
    cdb_writer(const std::string& path, const writer_options& options)
        : samples_(checked_length(path, options)), channels_(options.channels), output_(path) {
        pending_.resize(4 * samples_);
        output_.append(std::string(default_header_bytes, '\0'));
    }

    void write(const record_batch& batch) override {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const record_header& header = batch.headers[i];
            if (header.channel >= channels_.size())
                throw std::invalid_argument("cdb: record " + std::to_string(i) + " names channel " +
                                            std::to_string(header.channel) + " of " + std::to_string(channels_.size()));
            if (batch.length_of(i) != samples_)
                throw std::invalid_argument("cdb holds records of one length only: record " + std::to_string(i) + " has " +
                                            std::to_string(batch.length_of(i)) + " samples, not " +
                                            std::to_string(samples_));
            detail::check_16bit_samples(batch, i, -32768, "cdb");
            // The pair of an event is complete when its last channel arrives.
            if (have_pending_ && header.event != pending_event_) flush_pending();
            const std::int32_t* samples = batch.samples_of(i);
            unsigned char* out = pending_.data() + 2 * header.channel;
            for (std::size_t j = 0; j < samples_; ++j)
                detail::store_u16(out + 4 * j, static_cast<std::uint16_t>(samples[j]));
            have_pending_ = true;
            pending_event_ = header.event;
            if (header.channel + 1 == channels_.size()) flush_pending();
        }
    }

    void commit() override {
        if (have_pending_) flush_pending();
        output_.commit();
    }

private:
    // Refuses what cdb cannot hold before anything is staged.
    static std::size_t checked_length(const std::string& path, const writer_options& options) {
        // A single channel would leave B as invented zeros, which analyse would read as data.
        if (options.channels.size() != 2)
            throw std::invalid_argument("cdb holds exactly two channels, A and B; this data has " +
                                        std::to_string(options.channels.size()));
        if (!options.samples)
            throw std::invalid_argument("cdb holds records of one length only: cannot write records of unequal length to " +
                                        path);
        return *options.samples;
    }

    void flush_pending() {
        output_.append(pending_.data(), pending_.size());
        std::fill(pending_.begin(), pending_.end(), 0);
        have_pending_ = false;
    }

    std::size_t samples_;
    std::vector<channel_info> channels_;
    detail::staged_output output_;
    std::vector<unsigned char> pending_;
    bool have_pending_ = false;
    std::uint64_t pending_event_ = 0;
};

bool has_extension(const std::string& path, const char* extension) {
    const std::string suffix = extension;
    return path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int probe_cdb(const std::string& path, const std::string& head) {
    const bool named = (has_extension(path, ".cdb") || has_extension(path, ".sgl")) && !detail::plain_text(head);
    const bool zero_header = head.size() >= default_header_bytes &&
                             std::all_of(head.begin(), head.begin() + default_header_bytes, [](char c) { return c == 0; });
    return (named ? 1 : 0) + (zero_header ? 1 : 0);
}

}  // namespace

format cdb_format() {
    format f;
    f.name = "cdb";
    f.description = "two channels A and B of signed 16-bit samples, interleaved, after a 12-byte header (.cdb, .sgl)";
    f.probe = probe_cdb;
    f.open = [](const std::string& path, const reader_options& options) -> std::unique_ptr<reader> {
        return std::make_unique<cdb_reader>(path, options);
    };
    f.create = [](const std::string& path, const writer_options& options) -> std::unique_ptr<writer> {
        return std::make_unique<cdb_writer>(path, options);
    };
    return f;
}

}  // namespace murel::formats
