// Reading several files as one acquisition, and rewriting records from one format into another.
#pragma once

#include "format.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace murel::formats {

/// What becomes of the events that only some of several files hold.
enum class partial_events {
    /// Only the events every file holds are read: events past the end of a file are left out
    /// with a warning, and a file lacking an event in the middle is an error.
    left_out,
    /// Every record is read; the events go in ascending order of their counters, each with the
    /// records of the files that hold it.
    kept,
};

/// The files of one acquisition read as one: a single file record by record, several files
/// (one per channel, as WaveDump writes them) matched by their event counters.
class acquisition {
public:
    /// Opens every path with the named format, or each with its detected one when `format_name`
    /// is empty.  Throws what formats::open throws, and std::invalid_argument naming a file whose
    /// channel an earlier file already holds.
    acquisition(const std::vector<std::string>& paths, const std::string& format_name, const reader_options& options,
                partial_events partial = partial_events::left_out);

    /// Every channel of every file, file by file; the record length where all files give the
    /// same one; the record count where every file gives its own.
    const file_info& info() const { return info_; }
    /// The number of files.
    std::size_t files() const { return sources_.size(); }
    /// The index of the file that holds channel `channel` of info(); throws std::out_of_range
    /// for a channel past the last.
    std::size_t file_of(std::size_t channel) const;
    /// The file that holds channel `channel` of info(); throws std::out_of_range as file_of does.
    const std::string& path_of(std::size_t channel) const { return sources_[file_of(channel)].path; }
    /// Bytes after the last whole record of file `file` (0 for a whole file); final once next()
    /// has returned false.  Throws std::out_of_range for a file past the last.
    std::uint64_t trailing_bytes(std::size_t file) const;

    /// Replaces `batch` with the next records, at most `max_records` of them unless one event
    /// of several files holds more; returns false, with `batch` empty, at the end.  Of several
    /// files, the records of one event come together, file by file.  Throws std::runtime_error,
    /// where partial events are left out, naming a file that lacks an event the others hold,
    /// other than at the end; when reading strictly, naming a file cut off mid-record or (where
    /// partial events are left out) holding events past the end of another.
    bool next(record_batch& batch, std::size_t max_records);

    /// One line per file that was cut off mid-record or that holds events past the end of
    /// another file, naming the file and what was left out; complete once next() returned false.
    const std::vector<std::string>& warnings() const { return warnings_; }

private:
    struct source {
        std::string path;
        std::unique_ptr<reader> records;
        record_batch pending;
        std::size_t position = 0;  // next record of `pending`
        std::size_t first_channel = 0;
        bool ended = false;
    };

    bool peek(source& file);
    void finish();
    void take_event(std::uint64_t event, record_batch& batch);
    bool next_whole_events(record_batch& batch, std::size_t max_records);
    bool next_any_events(record_batch& batch, std::size_t max_records);

    std::vector<source> sources_;
    file_info info_;
    bool strict_;
    partial_events partial_;
    bool finished_ = false;
    std::vector<std::string> warnings_;
};

/// How to rewrite records into another format.
struct convert_options {
    std::string input_format;          ///< empty: detect each file's own
    reader_options reading;
    /// Added to every sample on the way from a signed into an unsigned storage, and taken off on
    /// the way from an unsigned into a signed one.
    std::int32_t adc_offset = 32768;
};

/// What a conversion did.
struct convert_summary {
    std::uint64_t records = 0;
    std::vector<std::string> warnings;  ///< see acquisition::warnings
};

/// Called as records pass: `pass` is "checking" on a first pass over the inputs and "writing"
/// on the one that writes; `total` is the number of records where the inputs say it, else 0.
using convert_progress = std::function<void(const char* pass, std::uint64_t records, std::uint64_t total)>;

/// Rewrites the records of `inputs` (one acquisition) into `output` in `target`, keeping every
/// sample, event number and time stamp the target can hold.  Before anything is written it
/// checks that the target can hold the records, reading the inputs once more where their
/// headers do not say enough (record lengths not given up front, sample values not bounded
/// by the channels' stated resolution), and throws std::invalid_argument saying what it cannot
/// hold; otherwise throws what acquisition and the formats throw.  Nothing appears under
/// `output` unless the whole conversion succeeds.
convert_summary convert(const std::vector<std::string>& inputs, const std::string& output, const format& target,
                        const convert_options& options, const convert_progress& progress = {});

/// The range of values `target` stores for a channel described by `channel`.
std::pair<std::int64_t, std::int64_t> storable_range(const format& target, const channel_info& channel);

/// What is added to the samples of a channel described by `from` written as `to`: +offset
/// from signed into unsigned storage, -offset from unsigned into signed, otherwise 0.
std::int64_t sample_shift(const channel_info& from, const channel_info& to, std::int32_t offset);

/// `channel` as `target`'s writer stores it: unsigned exactly when the target stores uint16.
channel_info as_stored(const format& target, channel_info channel);

}  // namespace murel::formats
