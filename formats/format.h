// The record model every digitiser file format is read into and written from, the reader and
// writer interfaces, and the registry that finds a format by its name or by a file's first bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace murel::formats {

/// One channel of a file, as its format names and describes it.
struct channel_info {
    std::string name;                       ///< "A", "0", "1.3", "ch1084803", ...
    std::optional<double> dt_ns;            ///< sample period, where the format gives it
    std::optional<int> bits;                ///< ADC resolution, where the format gives it
    bool unsigned_samples = false;          ///< samples are 0 .. 2^bits - 1 rather than signed
    std::optional<double> tick_seconds;     ///< period of a time stamp tick, where known
};

/// What a reader knows of its file before reading a record.
struct file_info {
    std::string format;                     ///< the registry name of the format
    std::vector<channel_info> channels;     ///< every channel the file holds, in the order of first appearance
    /// Samples per record when every record of the file has the same length and the format says
    /// so up front (cdb, headerless WaveDump, LH5 equal-size arrays); otherwise empty.
    std::optional<std::size_t> samples;
    /// Records in the file when the format says so up front; otherwise empty.
    std::optional<std::uint64_t> records;
};

/// The header of one record: one channel's samples of one trigger.
struct record_header {
    std::size_t channel = 0;                ///< index into file_info::channels
    std::uint64_t event = 0;                ///< the event number (counter) of the trigger
    std::optional<std::uint64_t> timestamp; ///< in ticks of the channel's tick_seconds, where the format has one
    std::optional<double> daq_energy;       ///< the digitiser's own energy estimate, where stored
};

/// Consecutive records of a file: their headers, and their samples one record after another.
struct record_batch {
    std::vector<record_header> headers;
    std::vector<std::int32_t> samples;
    std::vector<std::size_t> ends;          ///< ends[i]: one past the last sample of record i

    std::size_t size() const { return headers.size(); }
    std::size_t begin_of(std::size_t i) const { return i == 0 ? 0 : ends[i - 1]; }
    std::size_t length_of(std::size_t i) const { return ends[i] - begin_of(i); }
    const std::int32_t* samples_of(std::size_t i) const { return samples.data() + begin_of(i); }
    void clear() {
        headers.clear();
        samples.clear();
        ends.clear();
    }
    /// Appends a record of `count` samples.
    void append(const record_header& header, const std::int32_t* first, std::size_t count) {
        headers.push_back(header);
        samples.insert(samples.end(), first, first + count);
        ends.push_back(samples.size());
    }
    /// Appends a record of `count` samples and returns where to put them, so that a reader can
    /// decode straight into the batch.
    std::int32_t* add(const record_header& header, std::size_t count) {
        headers.push_back(header);
        samples.resize(samples.size() + count);
        ends.push_back(samples.size());
        return samples.data() + samples.size() - count;
    }
};

/// How to read a file whose format leaves something unsaid.
struct reader_options {
    std::optional<std::size_t> samples;        ///< record length: cdb and headerless WaveDump only
    std::optional<std::uint64_t> header_bytes; ///< bytes before the first record: cdb only
    bool strict = false;                       ///< a file cut off mid-record is an error, not a warning
};

/// Streams the records of one file with bounded memory, whatever its size.
class reader {
public:
    virtual ~reader() = default;
    /// The file's format, channels and, where known, record length and count.
    virtual const file_info& info() const = 0;
    /// Replaces `batch` with the next records, at most `max_records` of them; returns false,
    /// with `batch` empty, at the end of the file.  Throws std::runtime_error naming the file
    /// and the byte offset (or dataset) of a corrupt record, and std::system_error with errno
    /// on a failed read.
    virtual bool next(record_batch& batch, std::size_t max_records) = 0;
    /// Bytes after the last whole record of a file cut off mid-record (0 for a whole file);
    /// final once next() has returned false.
    virtual std::uint64_t trailing_bytes() const = 0;
};

/// What a writer is to write.
struct writer_options {
    std::vector<channel_info> channels;        ///< the channels of the records to come
    std::optional<std::size_t> samples;        ///< the common record length, where there is one
    bool headers = true;                       ///< WaveDump: event headers or bare samples
};

/// Writes records into a file (or, for WaveDump, a directory of one file per channel), staged:
/// nothing appears under the final name before commit().
class writer {
public:
    virtual ~writer() = default;
    /// Appends the records of `batch`; throws std::invalid_argument naming a record the format
    /// cannot hold, and std::system_error with errno on a failed write.
    virtual void write(const record_batch& batch) = 0;
    /// Completes the output and renames it into place.
    virtual void commit() = 0;
};

/// How a format's writer stores sample values.
enum class sample_storage {
    int16,       ///< -32768 .. 32767
    uint16,      ///< 0 .. 65535
    as_channel,  ///< as uint16 where channel_info::unsigned_samples says so, else as int16
};

/// One file format: its name, how to recognise it, and how to read and write it.
struct format {
    std::string name;          ///< "cdb", "wavedump", "wavedump-ascii", "compass", "lh5", ...
    std::string description;   ///< one line, for --help and error messages
    /// How surely `path`, whose first bytes are `head` (up to 4096 of them), is of this format:
    /// 0 not at all, 1 by its name only, 2 by its content, 3 by a magic number.
    int (*probe)(const std::string& path, const std::string& head) = nullptr;
    /// Opens `path` for reading; throws std::system_error naming a path that cannot be read
    /// and std::invalid_argument for options the format does not take.
    std::unique_ptr<reader> (*open)(const std::string& path, const reader_options& options) = nullptr;
    /// Checks that the format can hold records of `options` and begins writing `path`; throws
    /// std::invalid_argument saying what it cannot hold.  Null for a read-only format.
    std::unique_ptr<writer> (*create)(const std::string& path, const writer_options& options) = nullptr;
    /// The sample values that create()'s writer can hold.
    sample_storage stores = sample_storage::int16;
};

/// The descriptors of the formats, one per file of this folder.
format cdb_format();
format wavedump_format();
format wavedump_ascii_format();
format compass_format();
format lh5_format();

/// Every known format, in the order they are tried.
const std::vector<format>& registry();

/// The format called `name`; throws std::invalid_argument naming it and listing the known ones.
const format& find(const std::string& name);

/// The format `path` is written in, judged by its first bytes and its name; a file nothing
/// recognises is read as cdb when a record length is given and its size is whole cdb events of
/// that layout.  Throws std::runtime_error naming the file and listing the formats (or, with a
/// record length, the formats that take one) when no reader recognises it, and
/// std::system_error naming a path that cannot be read.
const format& detect(const std::string& path, const reader_options& options = {});

/// Opens `path` with the named format, or the detected one when `name` is empty.
std::unique_ptr<reader> open(const std::string& path, const std::string& name = {}, const reader_options& options = {});

}  // namespace murel::formats
