#include "convert.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

namespace murel::formats {

acquisition::acquisition(const std::vector<std::string>& paths, const std::string& format_name,
                         const reader_options& options, partial_events partial)
    : strict_(options.strict), partial_(partial) {
    if (paths.empty()) throw std::invalid_argument("no input file");
    bool same_format = true, same_length = true, counted = true;
    std::uint64_t records = 0;
    for (const std::string& path : paths) {
        source file;
        file.path = path;
        file.records = open(path, format_name, options);
        const file_info& info = file.records->info();
        file.first_channel = info_.channels.size();
        for (const channel_info& channel : info.channels) {
            for (std::size_t c = 0; c < file.first_channel; ++c)
                if (info_.channels[c].name == channel.name)
                    throw std::invalid_argument(path + ": channel '" + channel.name + "' is also in " + path_of(c) +
                                                "; files given together must be the channels of one acquisition");
            info_.channels.push_back(channel);
        }
        if (sources_.empty()) {
            info_.format = info.format;
            info_.samples = info.samples;
        }
        same_format = same_format && info.format == info_.format;
        same_length = same_length && info.samples && info.samples == info_.samples;
        counted = counted && info.records;
        if (info.records) records += *info.records;
        sources_.push_back(std::move(file));
    }
    if (!same_format) {
        info_.format.clear();
        for (const source& file : sources_)
            info_.format += (info_.format.empty() ? "" : "+") + file.records->info().format;
    }
    if (!same_length) info_.samples.reset();
    if (counted) info_.records = records;
}

std::size_t acquisition::file_of(std::size_t channel) const {
    if (channel >= info_.channels.size())
        throw std::out_of_range("channel " + std::to_string(channel) + " of " + std::to_string(info_.channels.size()));
    std::size_t owner = 0;
    for (std::size_t f = 0; f < sources_.size(); ++f)
        if (sources_[f].first_channel <= channel) owner = f;
    return owner;
}

std::uint64_t acquisition::trailing_bytes(std::size_t file) const {
    if (file >= sources_.size())
        throw std::out_of_range("file " + std::to_string(file) + " of " + std::to_string(sources_.size()));
    return sources_[file].records->trailing_bytes();
}

bool acquisition::peek(source& file) {
    while (file.position == file.pending.size()) {
        if (file.ended) return false;
        // Several records per call keep the readers' own batching; the count matters little.
        file.position = 0;
        if (!file.records->next(file.pending, 256)) {
            file.ended = true;
            return false;
        }
    }
    return true;
}

void acquisition::finish() {
    if (finished_) return;
    finished_ = true;
    for (const source& file : sources_) {
        if (!file.ended) continue;
        const std::uint64_t trailing = file.records->trailing_bytes();
        if (trailing == 0) continue;
        const std::string what =
            file.path + ": cut off mid-record; the last " + std::to_string(trailing) + " bytes are left out";
        if (strict_) throw std::runtime_error(what);
        warnings_.push_back(what);
    }
}

bool acquisition::next(record_batch& batch, std::size_t max_records) {
    batch.clear();
    if (finished_) return false;
    if (sources_.size() == 1) {
        if (sources_.front().records->next(batch, std::max<std::size_t>(max_records, 1))) return true;
        sources_.front().ended = true;
        finish();
        return false;
    }
    return partial_ == partial_events::kept ? next_any_events(batch, max_records) : next_whole_events(batch, max_records);
}

void acquisition::take_event(std::uint64_t event, record_batch& batch) {
    for (source& file : sources_) {
        while (peek(file) && file.pending.headers[file.position].event == event) {
            record_header header = file.pending.headers[file.position];
            header.channel += file.first_channel;
            batch.append(header, file.pending.samples_of(file.position), file.pending.length_of(file.position));
            ++file.position;
        }
    }
}

bool acquisition::next_whole_events(record_batch& batch, std::size_t max_records) {
    while (batch.size() < max_records || batch.size() == 0) {
        bool all_left = true;
        for (source& file : sources_) all_left = peek(file) && all_left;
        if (!all_left) {
            // The events that some files lack are left out; the files not read to their end
            // have no trailing bytes to report.
            std::string ended;
            for (const source& file : sources_)
                if (file.ended) ended += (ended.empty() ? "" : ", ") + file.path;
            for (const source& file : sources_) {
                if (file.ended) continue;
                const std::string what = file.path + ": the events from event " +
                                         std::to_string(file.pending.headers[file.position].event) +
                                         " on are left out, as " + ended + " ends before them";
                if (strict_) throw std::runtime_error(what);
                warnings_.push_back(what);
            }
            finish();
            break;
        }
        const source& lead = sources_.front();
        const std::uint64_t event = lead.pending.headers[lead.position].event;
        for (const source& file : sources_) {
            const std::uint64_t held = file.pending.headers[file.position].event;
            if (held != event)
                throw std::runtime_error(file.path + ": event " + std::to_string(held) + " where " + lead.path +
                                         " holds event " + std::to_string(event) +
                                         "; files given together must hold the same events");
        }
        take_event(event, batch);
    }
    return batch.size() > 0;
}

bool acquisition::next_any_events(record_batch& batch, std::size_t max_records) {
    while (batch.size() < max_records || batch.size() == 0) {
        std::optional<std::uint64_t> earliest;
        for (source& file : sources_) {
            if (!peek(file)) continue;
            const std::uint64_t event = file.pending.headers[file.position].event;
            if (!earliest || event < *earliest) earliest = event;
        }
        if (!earliest) {
            finish();
            break;
        }
        take_event(*earliest, batch);
    }
    return batch.size() > 0;
}

std::pair<std::int64_t, std::int64_t> storable_range(const format& target, const channel_info& channel) {
    const bool is_unsigned = target.stores == sample_storage::uint16 ||
                             (target.stores == sample_storage::as_channel && channel.unsigned_samples);
    return is_unsigned ? std::pair<std::int64_t, std::int64_t>{0, 65535}
                       : std::pair<std::int64_t, std::int64_t>{-32768, 32767};
}

std::int64_t sample_shift(const channel_info& from, const channel_info& to, std::int32_t offset) {
    if (!from.unsigned_samples && to.unsigned_samples) return offset;
    if (from.unsigned_samples && !to.unsigned_samples) return -static_cast<std::int64_t>(offset);
    return 0;
}

channel_info as_stored(const format& target, channel_info channel) {
    if (target.stores != sample_storage::as_channel) channel.unsigned_samples = target.stores == sample_storage::uint16;
    return channel;
}

namespace {

// The values a channel's samples can take by its stated resolution, where it states one.
std::optional<std::pair<std::int64_t, std::int64_t>> stated_range(const channel_info& channel) {
    if (!channel.bits || *channel.bits < 1 || *channel.bits > 32) return std::nullopt;
    const std::int64_t levels = std::int64_t{1} << *channel.bits;
    if (channel.unsigned_samples) return std::pair<std::int64_t, std::int64_t>{0, levels - 1};
    return std::pair<std::int64_t, std::int64_t>{-levels / 2, levels / 2 - 1};
}

// How each channel's samples go into the target: shifted, then checked against its range.
struct channel_mapping {
    std::vector<std::int64_t> shift;
    std::vector<std::pair<std::int64_t, std::int64_t>> range;
};

// Shifts the samples of `batch` into the target's storage, refusing one it cannot hold.
void shift_into(record_batch& batch, const channel_mapping& mapping, const acquisition& input, const format& target,
                std::int32_t offset) {
    const file_info& info = input.info();
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const record_header& header = batch.headers[i];
        const std::int64_t shift = mapping.shift[header.channel];
        const auto [lowest, highest] = mapping.range[header.channel];
        std::int32_t* sample = batch.samples.data() + batch.begin_of(i);
        for (std::size_t k = 0, n = batch.length_of(i); k < n; ++k) {
            const std::int64_t value = sample[k] + shift;
            if (value < lowest || value > highest) {
                std::string what = input.path_of(header.channel) + ": event " + std::to_string(header.event) +
                                   ", channel " + info.channels[header.channel].name + ", sample " +
                                   std::to_string(k) + ": " + std::to_string(sample[k]);
                if (shift != 0)
                    what += (shift > 0 ? " + " : " - ") + std::to_string(offset) + " (the ADC offset) = " +
                            std::to_string(value);
                throw std::invalid_argument(what + " is outside " + std::to_string(lowest) + " .. " +
                                            std::to_string(highest) + ", the values " + target.name + " holds");
            }
            sample[k] = static_cast<std::int32_t>(value);
        }
    }
}

std::size_t batch_records(const file_info& info) {
    constexpr std::size_t batch_samples = 1 << 20;
    return info.samples && *info.samples > 0 ? std::max<std::size_t>(1, batch_samples / *info.samples) : 1024;
}

}  // namespace

convert_summary convert(const std::vector<std::string>& inputs, const std::string& output, const format& target,
                        const convert_options& options, const convert_progress& progress) {
    if (!target.create) throw std::invalid_argument(target.name + " is a format murel reads but does not write");
    acquisition input(inputs, options.input_format, options.reading);
    const file_info& info = input.info();
    const std::size_t per_batch = batch_records(info);

    writer_options out;
    out.samples = info.samples;
    channel_mapping mapping;
    bool values_unbounded = false;
    for (const channel_info& channel : info.channels) {
        out.channels.push_back(as_stored(target, channel));
        mapping.shift.push_back(sample_shift(channel, out.channels.back(), options.adc_offset));
        mapping.range.push_back(storable_range(target, out.channels.back()));
        const auto stated = stated_range(channel);
        values_unbounded = values_unbounded || !stated || stated->first + mapping.shift.back() < mapping.range.back().first ||
                           stated->second + mapping.shift.back() > mapping.range.back().second;
    }

    convert_summary summary;
    std::string unequal_lengths;
    if (!info.samples || values_unbounded) {
        // The target is to refuse the records before anything is written, which takes a first
        // pass where the headers leave their lengths or their values open.
        std::optional<std::size_t> length;
        record_batch batch;
        std::uint64_t checked = 0;
        while (input.next(batch, per_batch)) {
            shift_into(batch, mapping, input, target, options.adc_offset);
            checked += batch.size();
            if (progress) progress("checking", checked, info.records.value_or(0));
            for (std::size_t i = 0; i < batch.size() && unequal_lengths.empty(); ++i) {
                if (!length) length = batch.length_of(i);
                if (batch.length_of(i) != *length)
                    unequal_lengths = input.path_of(batch.headers[i].channel) + ", event " +
                                      std::to_string(batch.headers[i].event) + ", holds a record of " +
                                      std::to_string(batch.length_of(i)) + " samples after ones of " +
                                      std::to_string(*length);
            }
        }
        if (unequal_lengths.empty()) out.samples = length;
        input = acquisition(inputs, options.input_format, options.reading);
    }

    std::unique_ptr<writer> written;
    try {
        written = target.create(output, out);
    } catch (const std::invalid_argument& e) {
        if (unequal_lengths.empty()) throw std::invalid_argument(output + ": " + e.what());
        throw std::invalid_argument(output + ": " + e.what() + " (" + unequal_lengths + ")");
    }
    record_batch batch;
    while (input.next(batch, per_batch)) {
        shift_into(batch, mapping, input, target, options.adc_offset);
        try {
            written->write(batch);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(output + ": " + e.what());
        }
        summary.records += batch.size();
        if (progress) progress("writing", summary.records, info.records.value_or(0));
    }
    written->commit();
    summary.warnings = input.warnings();
    return summary;
}

}  // namespace murel::formats
