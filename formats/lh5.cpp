// LH5: HDF5 files of tables, one per channel at `<channel>/raw` or one for many channels with a
// `channel` column; waveforms as equal-size arrays or as vectors of vectors.
#include "binary_io.h"
#include "format.h"
#include "staged_file.h"

#include "hdf5_support.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <map>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace murel::formats {
namespace {

using hdf5::create_group;
using hdf5::handle;
using hdf5::untimed_creation;
using hdf5::write_failed;
using hdf5::write_string_attribute;
using hdf5::written;
using hdf5::written_status;

// A corrupt or hostile length must not turn into a huge allocation.
constexpr std::size_t max_record_samples = std::size_t{1} << 24;
// Bytes of samples read from all tables at once; the whole reader stays well inside 64 MiB.
constexpr std::size_t read_budget_bytes = std::size_t{8} << 20;
// What a buffered row holds besides its samples: its end and five scalar columns.
constexpr std::size_t row_overhead_bytes = 6 * 8;
// Rows of cumulative lengths read at once.
constexpr std::size_t vector_rows_per_read = 1 << 14;
// Rows of a scalar column read at once when listing the channels of a many-channel table.
constexpr hsize_t scan_rows = 1 << 16;
// Chunks that a default HDF5 chunk cache (1 MiB) still holds whole, for other readers' sake.
constexpr std::size_t write_chunk_bytes = std::size_t{1} << 20;
// Time stamps from a run clock are kept in picoseconds; those from a calendar clock (seconds
// since 1970) would overflow 64 bits of picoseconds and are kept in nanoseconds.
constexpr double picosecond_clock_limit_s = 1e6;

// Names the file and the object in every error of a reader.
struct place {
    std::string file;
    std::string object;

    [[noreturn]] void corrupt(const std::string& what) const {
        throw std::runtime_error(file + ": " + object + ": " + what);
    }
    [[noreturn]] void failed(const std::string& doing) const { corrupt("cannot " + doing + " (" + hdf5::error_text() + ")"); }
    hid_t check(hid_t id, const std::string& doing) const {
        if (id < 0) failed(doing);
        return id;
    }
    void check_status(herr_t status, const std::string& doing) const {
        if (status < 0) failed(doing);
    }
    place child(const std::string& name) const { return {file, object == "/" ? "/" + name : object + "/" + name}; }
};

handle open_object(const place& parent, hid_t group, const std::string& name, const place& where) {
    const htri_t exists = H5Lexists(group, name.c_str(), H5P_DEFAULT);
    if (exists < 0) parent.failed("look up " + name);
    if (exists == 0) return {};
    return handle(where.check(H5Oopen(group, name.c_str(), H5P_DEFAULT), "open"), H5Oclose);
}

std::optional<std::string> string_attribute(const place& where, hid_t object, const char* name) {
    const htri_t exists = H5Aexists(object, name);
    if (exists < 0) where.failed(std::string("look up attribute ") + name);
    if (exists == 0) return std::nullopt;
    const std::string doing = std::string("read attribute ") + name;
    handle attribute(where.check(H5Aopen(object, name, H5P_DEFAULT), doing), H5Aclose);
    handle type(where.check(H5Aget_type(attribute.get()), doing), H5Tclose);
    handle space(where.check(H5Aget_space(attribute.get()), doing), H5Sclose);
    if (H5Tget_class(type.get()) != H5T_STRING || H5Sget_simple_extent_npoints(space.get()) != 1)
        where.corrupt(std::string("attribute ") + name + " is not a string");
    handle memory(where.check(H5Tcopy(H5T_C_S1), doing), H5Tclose);
    H5Tset_cset(memory.get(), H5Tget_cset(type.get()));
    const htri_t variable = H5Tis_variable_str(type.get());
    if (variable < 0) where.failed(doing);
    if (variable > 0) {
        where.check_status(H5Tset_size(memory.get(), H5T_VARIABLE), doing);
        char* text = nullptr;
        where.check_status(H5Aread(attribute.get(), memory.get(), &text), doing);
        std::string value = text != nullptr ? text : "";
        H5free_memory(text);
        return value;
    }
    const std::size_t size = H5Tget_size(type.get());
    if (size == 0 || size > (1u << 16)) where.corrupt(std::string("attribute ") + name + " has an unreadable size");
    // Read the stored bytes as they are: a converting read into a null-terminated string of the
    // same size would drop the last character of a null-padded one.
    const H5T_str_t padding = H5Tget_strpad(type.get());
    where.check_status(H5Tset_size(memory.get(), size), doing);
    where.check_status(H5Tset_strpad(memory.get(), padding), doing);
    std::string value(size, '\0');
    where.check_status(H5Aread(attribute.get(), memory.get(), value.data()), doing);
    if (padding == H5T_STR_SPACEPAD) {
        while (!value.empty() && value.back() == ' ') value.pop_back();
    } else {
        value.resize(std::strlen(value.c_str()));
    }
    return value;
}

// The columns of "table{a,b,c}", or nothing for any other data type.
std::optional<std::vector<std::string>> table_columns(const std::string& datatype) {
    constexpr std::string_view prefix = "table{";
    if (datatype.compare(0, prefix.size(), prefix) != 0 || datatype.back() != '}') return std::nullopt;
    std::vector<std::string> columns;
    std::string inner = datatype.substr(prefix.size(), datatype.size() - prefix.size() - 1);
    std::size_t start = 0;
    while (start <= inner.size()) {
        const std::size_t comma = std::min(inner.find(',', start), inner.size());
        columns.push_back(inner.substr(start, comma - start));
        start = comma + 1;
    }
    return columns;
}

bool is_group(hid_t object) { return H5Iget_type(object) == H5I_GROUP; }
bool is_dataset(hid_t object) { return H5Iget_type(object) == H5I_DATASET; }

// One dataset of a table, with the shape the reader expects of it.
struct dataset {
    place where;
    handle id;
    std::vector<hsize_t> dims;
    H5T_class_t type_class = H5T_NO_CLASS;
    std::size_t type_size = 0;
    bool is_signed = false;
    hsize_t chunk_rows = 0;               // rows of a chunk, 0 for a dataset not chunked
    bool raw_chunks = false;              // its chunks hold whole rows of little-endian integers, unfiltered

    hsize_t length() const { return dims.empty() ? 0 : dims[0]; }

    // Reads `count` rows from `first` (all of each row) into `out`, as `memory_type`.
    void read_rows(hid_t memory_type, hsize_t first, hsize_t count, void* out) const {
        if (count == 0) return;
        handle file_space(where.check(H5Dget_space(id.get()), "read"), H5Sclose);
        std::vector<hsize_t> start(dims.size(), 0), extent = dims;
        start[0] = first;
        extent[0] = count;
        where.check_status(H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr, extent.data(), nullptr),
                           "select rows");
        handle memory_space(where.check(H5Screate_simple(static_cast<int>(extent.size()), extent.data(), nullptr), "read"),
                            H5Sclose);
        where.check_status(H5Dread(id.get(), memory_type, memory_space.get(), file_space.get(), H5P_DEFAULT, out),
                           "read rows " + std::to_string(first) + " to " + std::to_string(first + count - 1));
    }

    // Reads `count` rows from `first`, a chunk boundary, as the chunks hold them, into `out`,
    // which it makes whole chunks long; false, with nothing read, where the chunks do not all
    // have the plain size of their rows (not written yet, or not raw_chunks).
    bool read_chunks(hsize_t first, hsize_t count, std::vector<unsigned char>& out) const {
        if (!raw_chunks || first % chunk_rows != 0) return false;
        std::size_t row_bytes = type_size;
        for (std::size_t d = 1; d < dims.size(); ++d) row_bytes *= static_cast<std::size_t>(dims[d]);
        const std::size_t chunk_bytes = static_cast<std::size_t>(chunk_rows) * row_bytes;
        const hsize_t chunks = (count + chunk_rows - 1) / chunk_rows;
        std::vector<hsize_t> offset(dims.size(), 0);
        for (hsize_t c = 0; c < chunks; ++c) {
            offset[0] = first + c * chunk_rows;
            hsize_t stored = 0;
            if (H5Dget_chunk_storage_size(id.get(), offset.data(), &stored) < 0 || stored != chunk_bytes) {
                H5Eclear2(H5E_DEFAULT);
                return false;
            }
        }
        out.resize(static_cast<std::size_t>(chunks) * chunk_bytes);
        for (hsize_t c = 0; c < chunks; ++c) {
            offset[0] = first + c * chunk_rows;
            std::uint32_t filters = 0;
            where.check_status(H5Dread_chunk(id.get(), H5P_DEFAULT, offset.data(), &filters, out.data() + c * chunk_bytes),
                               "read the chunk of rows " + std::to_string(offset[0]) + " on");
        }
        return true;
    }
};

// Compressed chunks are cached one at a time, so that reads that do not end on a chunk
// boundary do not decompress the same chunk again; uncompressed ones go straight from the file
// into the reader's buffer, without the cache's copy.
std::optional<std::size_t> chunk_cache_bytes(const place& where, hid_t dataset_id, std::size_t share) {
    handle creation(where.check(H5Dget_create_plist(dataset_id), "open"), H5Pclose);
    if (H5Pget_layout(creation.get()) != H5D_CHUNKED) return std::nullopt;
    if (H5Pget_nfilters(creation.get()) <= 0) return 0;
    handle type(where.check(H5Dget_type(dataset_id), "open"), H5Tclose);
    hsize_t chunk[H5S_MAX_RANK];
    const int rank = H5Pget_chunk(creation.get(), H5S_MAX_RANK, chunk);
    if (rank <= 0) return std::nullopt;
    double bytes = static_cast<double>(H5Tget_size(type.get()));
    for (int i = 0; i < rank; ++i) bytes *= static_cast<double>(chunk[i]);
    return static_cast<std::size_t>(std::min(bytes * 1.25, static_cast<double>(share)));
}

// Every filter of the dataset's pipeline must be in this HDF5 library.
void check_filters(const place& where, hid_t dataset_id) {
    handle creation(where.check(H5Dget_create_plist(dataset_id), "open"), H5Pclose);
    const int filters = H5Pget_nfilters(creation.get());
    if (filters < 0) where.failed("read the filters");
    for (int i = 0; i < filters; ++i) {
        unsigned flags = 0, config = 0;
        std::size_t values = 0;
        char name[256] = {};
        const H5Z_filter_t filter =
            H5Pget_filter2(creation.get(), static_cast<unsigned>(i), &flags, &values, nullptr, sizeof name, name, &config);
        if (filter < 0) where.failed("read the filters");
        if (H5Zfilter_avail(filter) <= 0) {
            H5Eclear2(H5E_DEFAULT);
            where.corrupt("compressed with HDF5 filter " + std::to_string(filter) + (name[0] ? " (" + std::string(name) + ")" : "") +
                          ", which this HDF5 library does not have");
        }
    }
}

dataset open_dataset(const place& parent, hid_t group, const std::string& name, int rank, std::size_t cache_share) {
    dataset result;
    result.where = parent.child(name);
    const place& where = result.where;
    const htri_t exists = H5Lexists(group, name.c_str(), H5P_DEFAULT);
    if (exists < 0) parent.failed("look up " + name);
    if (exists == 0) where.corrupt("missing");
    {
        handle object = open_object(parent, group, name, where);
        if (!is_dataset(object.get())) where.corrupt("not a dataset");
    }
    handle access(where.check(H5Pcreate(H5P_DATASET_ACCESS), "open"), H5Pclose);
    result.id = handle(where.check(H5Dopen2(group, name.c_str(), H5P_DEFAULT), "open"), H5Dclose);
    if (const std::optional<std::size_t> cache = chunk_cache_bytes(where, result.id.get(), cache_share)) {
        where.check_status(H5Pset_chunk_cache(access.get(), 521, *cache, 1.0), "open");
        result.id = handle(where.check(H5Dopen2(group, name.c_str(), access.get()), "open"), H5Dclose);
    }
    check_filters(where, result.id.get());
    handle space(where.check(H5Dget_space(result.id.get()), "open"), H5Sclose);
    const int dataset_rank = H5Sget_simple_extent_ndims(space.get());
    if (dataset_rank != rank)
        where.corrupt("has rank " + std::to_string(dataset_rank) + ", expected " + std::to_string(rank));
    result.dims.resize(static_cast<std::size_t>(rank));
    where.check_status(H5Sget_simple_extent_dims(space.get(), result.dims.data(), nullptr), "open");
    handle type(where.check(H5Dget_type(result.id.get()), "open"), H5Tclose);
    result.type_class = H5Tget_class(type.get());
    result.type_size = H5Tget_size(type.get());
    result.is_signed = result.type_class == H5T_INTEGER && H5Tget_sign(type.get()) == H5T_SGN_2;
    handle creation(where.check(H5Dget_create_plist(result.id.get()), "open"), H5Pclose);
    hsize_t chunk[H5S_MAX_RANK] = {};
    const int chunk_rank = H5Pget_layout(creation.get()) == H5D_CHUNKED ? H5Pget_chunk(creation.get(), H5S_MAX_RANK, chunk) : 0;
    if (chunk_rank > 0) result.chunk_rows = chunk[0];
    // What the library would hand over after copying it, the reader can take as the file holds it.
    result.raw_chunks = chunk_rank == 2 && rank == 2 && chunk[0] > 0 && chunk[1] == result.dims[1] &&
                        H5Pget_nfilters(creation.get()) == 0 && result.type_class == H5T_INTEGER &&
                        H5Tget_order(type.get()) == H5T_ORDER_LE && H5Tget_order(H5T_NATIVE_INT) == H5T_ORDER_LE;
    return result;
}

void require_number(const dataset& column, bool integer_only) {
    if (column.type_class == H5T_INTEGER || (!integer_only && column.type_class == H5T_FLOAT)) return;
    column.where.corrupt(integer_only ? "holds no integers" : "holds no numbers");
}

// The file type of the samples, as read into memory before they widen to 32 bits.
hid_t sample_memory_type(const dataset& values) {
    if (values.type_class == H5T_INTEGER) {
        if (values.type_size == 1) return values.is_signed ? H5T_NATIVE_INT8 : H5T_NATIVE_UINT8;
        if (values.type_size == 2) return values.is_signed ? H5T_NATIVE_INT16 : H5T_NATIVE_UINT16;
        if (values.type_size == 4 && values.is_signed) return H5T_NATIVE_INT32;
    }
    values.where.corrupt("holds samples that are not 8- or 16-bit integers");
}

// Widens samples [first, first + count) of the block as read.
void widen(const dataset& values, const std::vector<unsigned char>& raw, std::size_t first, std::size_t count, std::int32_t* out) {
    auto copy = [&](auto sample) {
        using sample_type = decltype(sample);
        const unsigned char* from = raw.data() + first * sizeof(sample_type);
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(&sample, from + i * sizeof(sample_type), sizeof(sample_type));
            out[i] = static_cast<std::int32_t>(sample);
        }
    };
    switch (values.type_size) {
    case 1:
        values.is_signed ? copy(std::int8_t{}) : copy(std::uint8_t{});
        break;
    case 2:
        values.is_signed ? copy(std::int16_t{}) : copy(std::uint16_t{});
        break;
    default:
        copy(std::int32_t{});
    }
}

std::optional<double> nanoseconds_per(const std::optional<std::string>& units) {
    if (!units || units->empty() || *units == "ns") return 1.0;
    if (*units == "us" || *units == "\xc2\xb5s") return 1e3;
    if (*units == "ms") return 1e6;
    if (*units == "s") return 1e9;
    return std::nullopt;
}

// One table of the file and the block of its rows read so far.
struct table {
    place where;
    std::string channel_name;               // of a one-channel table
    std::optional<dataset> channel_column;  // of a many-channel table
    std::map<std::uint64_t, std::size_t> channel_of_value;
    std::size_t channel = 0;
    hsize_t rows = 0;

    dataset values;                         // (rows × samples), or the flattened data
    std::optional<dataset> cumulative_length;
    std::optional<dataset> timestamp, event, energy, dt;
    std::optional<std::string> dt_units;
    std::size_t row_samples = 0;            // of equal-size arrays
    hsize_t rows_per_read = 1;
    std::size_t budget_bytes = 0;

    // The block: rows [block_first, block_first + block_rows), of which `position` is next.
    hsize_t next_row = 0;
    hsize_t block_first = 0;
    std::size_t block_rows = 0, position = 0;
    std::int64_t flattened_end = 0;         // end of the last row read, in the flattened data
    std::vector<unsigned char> raw;         // the samples as the file holds them
    std::vector<std::size_t> ends;
    std::vector<double> timestamps, energies;
    std::vector<std::int64_t> events, lengths;
    std::vector<std::uint64_t> channels;

    bool variable_length() const { return cumulative_length.has_value(); }

    void read_block() {
        std::size_t count = static_cast<std::size_t>(std::min<hsize_t>(rows_per_read, rows - next_row));
        block_first = next_row;
        ends.clear();
        if (variable_length()) {
            lengths.resize(count);
            cumulative_length->read_rows(H5T_NATIVE_INT64, next_row, count, lengths.data());
            // At least one row, then as many as the budget holds.
            std::size_t kept = 0;
            std::int64_t begin = flattened_end;
            const auto budget = static_cast<std::int64_t>(budget_bytes / std::max<std::size_t>(values.type_size, 1));
            for (; kept < count; ++kept) {
                const std::int64_t end = lengths[kept];
                auto row = [&] { return "row " + std::to_string(next_row + kept); };
                if (end < begin) cumulative_length->where.corrupt("decreases at " + row());
                if (static_cast<std::uint64_t>(end) > values.length())
                    cumulative_length->where.corrupt("passes the end of " + values.where.object + " at " + row());
                if (static_cast<std::uint64_t>(end - begin) > max_record_samples)
                    cumulative_length->where.corrupt("gives " + row() + " more than " + std::to_string(max_record_samples) + " samples");
                if (kept > 0 && end - flattened_end > budget) break;
                ends.push_back(static_cast<std::size_t>(end - flattened_end));
                begin = end;
            }
            count = kept;
            const std::size_t total = ends.empty() ? 0 : ends.back();
            raw.resize(total * values.type_size);
            values.read_rows(sample_memory_type(values), static_cast<hsize_t>(flattened_end), total, raw.data());
            flattened_end = begin;
        } else {
            if (!values.read_chunks(next_row, count, raw)) {
                raw.resize(count * row_samples * values.type_size);
                values.read_rows(sample_memory_type(values), next_row, count, raw.data());
            }
            for (std::size_t i = 1; i <= count; ++i) ends.push_back(i * row_samples);
        }
        auto read_column = [&](const std::optional<dataset>& column, hid_t type, auto& out) {
            if (!column) return;
            out.resize(count);
            column->read_rows(type, next_row, count, out.data());
        };
        read_column(timestamp, H5T_NATIVE_DOUBLE, timestamps);
        read_column(event, H5T_NATIVE_INT64, events);
        read_column(energy, H5T_NATIVE_DOUBLE, energies);
        read_column(channel_column, H5T_NATIVE_UINT64, channels);
        next_row += count;
        block_rows = count;
        position = 0;
    }

    // Refills the block when it is used up; false at the end of the table.
    bool ready() {
        if (position < block_rows) return true;
        if (next_row == rows) return false;
        read_block();
        return true;
    }

    hsize_t row() const { return block_first + position; }
};

class lh5_reader final : public reader {
public:
    explicit lh5_reader(const std::string& path) : path_(path) {
        hdf5::silence_errors();
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
        ::close(fd);
        const place root{path_, "/"};
        handle access(root.check(H5Pcreate(H5P_FILE_ACCESS), "open"), H5Pclose);
        H5Pset_file_locking(access.get(), false, true);
        const htri_t is_hdf5 = H5Fis_hdf5(path.c_str());
        if (is_hdf5 <= 0) {
            H5Eclear2(H5E_DEFAULT);
            throw std::runtime_error(path + ": not an HDF5 file");
        }
        file_ = handle(H5Fopen(path.c_str(), H5F_ACC_RDONLY, access.get()), H5Fclose);
        if (!file_) throw std::runtime_error(path + ": cannot open as HDF5 (" + hdf5::error_text() + ")");
        handle group(root.check(H5Gopen2(file_.get(), "/", H5P_DEFAULT), "open"), H5Gclose);
        find_tables(root, group.get());
        if (tables_.empty()) throw std::runtime_error(path + ": holds no LH5 table at <channel>/raw");
        const std::size_t share = read_budget_bytes / tables_.size();
        for (table& t : tables_) open_columns(t, std::max<std::size_t>(share, 1 << 16));
        choose_tick();
        info_.format = "lh5";
        std::optional<std::size_t> common;
        bool equal_size = true;
        std::uint64_t records = 0;
        for (const table& t : tables_) {
            records += t.rows;
            if (t.variable_length() || (common && *common != t.row_samples)) equal_size = false;
            common = t.row_samples;
        }
        if (equal_size) info_.samples = common;
        info_.records = records;
        by_timestamp_ = std::all_of(tables_.begin(), tables_.end(), [](const table& t) { return t.timestamp.has_value(); });
    }

    const file_info& info() const override { return info_; }
    std::uint64_t trailing_bytes() const override { return 0; }

    bool next(record_batch& batch, std::size_t max_records) override {
        if (max_records == 0) throw std::invalid_argument("lh5 reader: a batch of 0 records");
        batch.clear();
        while (batch.size() < max_records) {
            table* t = next_table();
            if (t == nullptr) break;
            emit(*t, batch);
        }
        return batch.size() > 0;
    }

private:
    // The tables at <name>/raw, in the order the file made them when it says so.
    void find_tables(const place& root, hid_t group) {
        std::vector<std::string> names;
        auto collect = [](hid_t, const char* name, const H5L_info_t*, void* data) -> herr_t {
            static_cast<std::vector<std::string>*>(data)->emplace_back(name);
            return 0;
        };
        handle creation(root.check(H5Gget_create_plist(group), "open"), H5Pclose);
        unsigned order = 0;
        H5Pget_link_creation_order(creation.get(), &order);
        hsize_t at = 0;
        if (!(order & H5P_CRT_ORDER_TRACKED) || H5Literate(group, H5_INDEX_CRT_ORDER, H5_ITER_INC, &at, collect, &names) < 0) {
            names.clear();
            at = 0;
            root.check_status(H5Literate(group, H5_INDEX_NAME, H5_ITER_INC, &at, collect, &names), "list the groups");
        }
        for (const std::string& name : names) {
            const place top = root.child(name);
            handle object = open_object(root, group, name, top);
            if (!object || !is_group(object.get())) continue;
            const place raw_place = top.child("raw");
            handle raw = open_object(top, object.get(), "raw", raw_place);
            if (!raw) continue;
            if (!is_group(raw.get())) raw_place.corrupt("is not a table");
            tables_.emplace_back();
            tables_.back().where = raw_place;
            tables_.back().channel_name = name;
        }
    }

    void open_columns(table& t, std::size_t share) {
        const place& where = t.where;
        handle group(where.check(H5Gopen2(file_.get(), where.object.c_str(), H5P_DEFAULT), "open"), H5Gclose);
        const std::optional<std::string> datatype = string_attribute(where, group.get(), "datatype");
        const auto columns = datatype ? table_columns(*datatype) : std::nullopt;
        if (!columns) where.corrupt("is not a table (its datatype attribute is " + (datatype ? "\"" + *datatype + "\"" : "missing") + ")");
        auto has = [&](const char* name) { return std::find(columns->begin(), columns->end(), name) != columns->end(); };
        auto either = [&](const char* first, const char* second) -> const char* {
            return has(first) ? first : has(second) ? second : nullptr;
        };
        if (!has("waveform")) where.corrupt("has no waveform column");
        open_waveform(t, group.get(), share);
        t.rows = t.variable_length() ? t.cumulative_length->length() : t.values.length();
        auto scalar = [&](const char* name, bool integer_only) -> std::optional<dataset> {
            if (name == nullptr) return std::nullopt;
            dataset column = open_dataset(where, group.get(), name, 1, 1 << 20);
            require_number(column, integer_only);
            return column;
        };
        t.timestamp = scalar(has("timestamp") ? "timestamp" : nullptr, false);
        t.event = scalar(either("eventnumber", "ievt"), true);
        t.energy = scalar(either("daqenergy", "energy"), false);
        t.channel_column = scalar(has("channel") ? "channel" : nullptr, true);
        // Every column has one entry per row, also those this reader does not use.
        for (const std::string& name : *columns) {
            const place column_place = where.child(name);
            handle column = open_object(where, group.get(), name, column_place);
            if (!column) column_place.corrupt("is named by the table but missing");
            if (!is_dataset(column.get())) continue;
            handle space(column_place.check(H5Dget_space(column.get()), "open"), H5Sclose);
            hsize_t dims[H5S_MAX_RANK] = {};
            if (H5Sget_simple_extent_ndims(space.get()) < 1 || H5Sget_simple_extent_dims(space.get(), dims, nullptr) < 0)
                column_place.corrupt("is not an array");
            if (dims[0] != t.rows)
                column_place.corrupt("has " + std::to_string(dims[0]) + " rows, the waveforms " + std::to_string(t.rows));
        }
        if (t.dt && t.dt->length() != t.rows)
            t.dt->where.corrupt("has " + std::to_string(t.dt->length()) + " rows, the waveforms " + std::to_string(t.rows));
        t.budget_bytes = share;
        const std::size_t row_bytes = (t.variable_length() ? 0 : t.row_samples * t.values.type_size) + row_overhead_bytes;
        t.rows_per_read = std::max<std::size_t>(share / row_bytes, 1);
        // Blocks of whole chunks can be read as the file holds them.
        const hsize_t chunk = t.values.chunk_rows;
        if (!t.variable_length() && chunk > 0 && t.rows_per_read > chunk) t.rows_per_read -= t.rows_per_read % chunk;
        // A chunk larger than the table's share of the budget is read in parts, through the library.
        if (t.rows_per_read < chunk) t.values.raw_chunks = false;
        if (t.variable_length()) t.rows_per_read = std::min<hsize_t>(t.rows_per_read, vector_rows_per_read);
        name_channels(t);
    }

    void open_waveform(table& t, hid_t table_group, std::size_t share) {
        const place waveform_place = t.where.child("waveform");
        handle waveform = open_object(t.where, table_group, "waveform", waveform_place);
        if (!waveform) waveform_place.corrupt("missing");
        if (!is_group(waveform.get())) waveform_place.corrupt("is not a table of t0, dt and values");
        const std::optional<std::string> datatype = string_attribute(waveform_place, waveform.get(), "datatype");
        // The column may itself be the vector of vectors, or a table whose values are.
        hid_t holder = waveform.get();
        place holder_place = waveform_place;
        handle values;
        if (datatype && table_columns(*datatype)) {
            holder_place = waveform_place.child("values");
            values = open_object(waveform_place, waveform.get(), "values", holder_place);
            if (!values) holder_place.corrupt("missing");
            if (H5Lexists(waveform.get(), "dt", H5P_DEFAULT) > 0) {
                t.dt = open_dataset(waveform_place, waveform.get(), "dt", 1, 1 << 16);
                require_number(*t.dt, false);
                handle dt_object(waveform_place.check(H5Oopen(waveform.get(), "dt", H5P_DEFAULT), "open dt"), H5Oclose);
                t.dt_units = string_attribute(t.dt->where, dt_object.get(), "units");
            }
            if (is_dataset(values.get())) {
                values = handle();
                t.values = open_dataset(waveform_place, waveform.get(), "values", 2, share);
                sample_memory_type(t.values);
                if (t.values.dims[1] > max_record_samples)
                    t.values.where.corrupt("has " + std::to_string(t.values.dims[1]) + " samples a row, more than " +
                                           std::to_string(max_record_samples));
                t.row_samples = static_cast<std::size_t>(t.values.dims[1]);
                return;
            }
            holder = values.get();
        }
        if (!is_group(holder) || H5Lexists(holder, "flattened_data", H5P_DEFAULT) <= 0) {
            H5Eclear2(H5E_DEFAULT);
            holder_place.corrupt("is neither equal-size arrays nor a flattened_data and cumulative_length pair");
        }
        t.values = open_dataset(holder_place, holder, "flattened_data", 1, share);
        sample_memory_type(t.values);
        t.cumulative_length = open_dataset(holder_place, holder, "cumulative_length", 1, 1 << 20);
        require_number(*t.cumulative_length, true);
    }

    std::size_t add_channel(const std::string& name, const table& t) {
        for (std::size_t i = 0; i < info_.channels.size(); ++i)
            if (info_.channels[i].name == name) return i;
        channel_info channel;
        channel.name = name;
        channel.unsigned_samples = !t.values.is_signed;
        if (t.dt && t.rows > 0) {
            double dt = 0;
            t.dt->read_rows(H5T_NATIVE_DOUBLE, 0, 1, &dt);
            const std::optional<double> scale = nanoseconds_per(t.dt_units);
            if (scale && std::isfinite(dt) && dt > 0) channel.dt_ns = dt * *scale;
        }
        info_.channels.push_back(channel);
        return info_.channels.size() - 1;
    }

    void name_channels(table& t) {
        if (!t.channel_column) {
            t.channel = add_channel(t.channel_name, t);
            return;
        }
        std::vector<std::uint64_t> values(static_cast<std::size_t>(std::min(scan_rows, t.rows)));
        for (hsize_t first = 0; first < t.rows; first += scan_rows) {
            const auto count = static_cast<std::size_t>(std::min(scan_rows, t.rows - first));
            t.channel_column->read_rows(H5T_NATIVE_UINT64, first, count, values.data());
            for (std::size_t i = 0; i < count; ++i)
                if (t.channel_of_value.count(values[i]) == 0)
                    t.channel_of_value[values[i]] = add_channel(std::to_string(values[i]), t);
        }
    }

    void choose_tick() {
        double largest_first = 0;
        for (table& t : tables_) {
            if (!t.timestamp || t.rows == 0) continue;
            double first = 0;
            t.timestamp->read_rows(H5T_NATIVE_DOUBLE, 0, 1, &first);
            if (std::isfinite(first)) largest_first = std::max(largest_first, std::fabs(first));
        }
        ticks_per_second_ = largest_first < picosecond_clock_limit_s ? 1e12L : 1e9L;
        for (channel_info& channel : info_.channels) channel.tick_seconds = static_cast<double>(1 / ticks_per_second_);
    }

    // The table whose next row comes first: by time stamp when every table has them, else
    // row by row across the tables, as a writer that got the channels of an event together
    // wrote them.
    table* next_table() {
        table* best = nullptr;
        for (table& t : tables_) {
            if (!t.ready()) continue;
            if (best == nullptr) {
                best = &t;
                continue;
            }
            const bool earlier = by_timestamp_ ? t.timestamps[t.position] < best->timestamps[best->position] : t.row() < best->row();
            if (earlier) best = &t;
        }
        return best;
    }

    void emit(table& t, record_batch& batch) {
        const std::size_t i = t.position++;
        const hsize_t row = t.block_first + i;
        record_header header;
        if (t.channel_column) {
            const auto found = t.channel_of_value.find(t.channels[i]);
            if (found == t.channel_of_value.end())
                t.channel_column->where.corrupt("changed while being read, at row " + std::to_string(row));
            header.channel = found->second;
        } else {
            header.channel = t.channel;
        }
        if (t.event) {
            if (t.events[i] < 0) t.event->where.corrupt("holds the negative event number " + std::to_string(t.events[i]) + " at row " + std::to_string(row));
            header.event = static_cast<std::uint64_t>(t.events[i]);
        } else {
            header.event = row;
        }
        if (t.timestamp) {
            const long double ticks = std::nearbyint(static_cast<long double>(t.timestamps[i]) * ticks_per_second_);
            if (!(ticks >= 0 && ticks < 0x1p64L))
                t.timestamp->where.corrupt("holds the time stamp " + std::to_string(t.timestamps[i]) + " s at row " +
                                           std::to_string(row) + ", which is negative or too large");
            header.timestamp = static_cast<std::uint64_t>(ticks);
        }
        if (t.energy) header.daq_energy = t.energies[i];
        const std::size_t begin = i == 0 ? 0 : t.ends[i - 1], length = t.ends[i] - begin;
        widen(t.values, t.raw, begin, length, batch.add(header, length));
    }

    std::string path_;
    handle file_;
    file_info info_;
    std::vector<table> tables_;
    long double ticks_per_second_ = 1e12L;
    bool by_timestamp_ = false;
};

// ---------------------------------------------------------------------------------------------

// An extendable column of one channel's table, written one chunk of rows at a time: 1-D, or
// (rows × samples) for the waveforms.
struct column_writer {
    handle id;
    hid_t memory_type = H5I_INVALID_HID;
    std::optional<hsize_t> row_samples;

    void create(hid_t group, const char* name, hid_t file_type, hid_t memory, std::optional<hsize_t> samples, hsize_t chunk_rows,
                const char* units, const std::string& path) {
        memory_type = memory;
        row_samples = samples;
        const int rank = samples ? 2 : 1;
        const hsize_t dims[2] = {0, samples.value_or(1)};
        // A fixed dimension may not be smaller than its chunk.
        const hsize_t max_dims[2] = {H5S_UNLIMITED, samples == hsize_t{0} ? H5S_UNLIMITED : samples.value_or(1)};
        const hsize_t chunk[2] = {chunk_rows, std::max<hsize_t>(samples.value_or(1), 1)};
        handle space(written(H5Screate_simple(rank, dims, max_dims), path, name), H5Sclose);
        const handle creation = untimed_creation(H5P_DATASET_CREATE, path, name);
        written_status(H5Pset_chunk(creation.get(), rank, chunk), path, name);
        // Whole chunks are written at once: no chunk cache needed.
        handle access(written(H5Pcreate(H5P_DATASET_ACCESS), path, name), H5Pclose);
        written_status(H5Pset_chunk_cache(access.get(), 0, 0, 1.0), path, name);
        id = handle(written(H5Dcreate2(group, name, file_type, space.get(), H5P_DEFAULT, creation.get(), access.get()), path, name),
                    H5Dclose);
        write_string_attribute(id.get(), "datatype", samples ? "array_of_equalsized_arrays<1,1>{real}" : "array<1>{real}", path);
        if (units != nullptr) write_string_attribute(id.get(), "units", units, path);
    }

    void append(hsize_t rows_before, hsize_t rows, const void* data, const std::string& path) {
        const int rank = row_samples ? 2 : 1;
        const hsize_t size[2] = {rows_before + rows, row_samples.value_or(1)};
        written_status(H5Dset_extent(id.get(), size), path, "extend a column");
        handle file_space(written(H5Dget_space(id.get()), path, "extend a column"), H5Sclose);
        const hsize_t start[2] = {rows_before, 0};
        const hsize_t count[2] = {rows, row_samples.value_or(1)};
        written_status(H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr), path, "select rows");
        handle memory_space(written(H5Screate_simple(rank, count, nullptr), path, "write rows"), H5Sclose);
        written_status(H5Dwrite(id.get(), memory_type, memory_space.get(), file_space.get(), H5P_DEFAULT, data), path, "write rows");
    }
};

struct channel_table {
    channel_info info;
    handle group;            // <channel>/raw
    bool created = false;
    std::size_t samples = 0;
    bool has_timestamps = false, has_energy = false;
    long double tick_divisor = 0;  // ticks per second when a whole number, else 0
    hsize_t chunk_rows = 1, rows_written = 0;
    column_writer values, t0, dt, timestamp, event, energy;
    std::vector<std::uint16_t> value_rows;
    std::vector<double> timestamps;
    std::vector<std::int32_t> events;
    std::vector<std::uint16_t> energies;
    std::size_t buffered = 0;
};

class lh5_writer final : public writer {
public:
    lh5_writer(const std::string& path, const writer_options& options)
        : path_(path), samples_(options.samples), staged_("", path) {
        hdf5::silence_errors();
        handle creation(written(H5Pcreate(H5P_FILE_CREATE), path_, "create"), H5Pclose);
        // The reader lists the channels in the order they were written.
        written_status(H5Pset_link_creation_order(creation.get(), H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED), path_,
                       "create");
        handle access(written(H5Pcreate(H5P_FILE_ACCESS), path_, "create"), H5Pclose);
        H5Pset_file_locking(access.get(), false, true);
        errno = 0;
        file_ = handle(written(H5Fcreate(staged_.temp_path().c_str(), H5F_ACC_TRUNC, creation.get(), access.get()), path_, "create"),
                       H5Fclose);
        for (const channel_info& info : options.channels) {
            channel_table table;
            table.info = info;
            const handle top = create_group(file_.get(), info.name, path_);
            write_string_attribute(top.get(), "datatype", "struct{raw}", path_);
            table.group = create_group(top.get(), "raw", path_);
            if (info.tick_seconds) {
                const long double per_second = 1 / static_cast<long double>(*info.tick_seconds);
                if (std::fabs(per_second - std::nearbyint(per_second)) < 1e-6L * per_second) table.tick_divisor = std::nearbyint(per_second);
            }
            tables_.push_back(std::move(table));
        }
    }

    void write(const record_batch& batch) override {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const record_header& header = batch.headers[i];
            if (header.channel >= tables_.size())
                throw std::invalid_argument("lh5: record " + std::to_string(records_) + " names channel " +
                                            std::to_string(header.channel) + " of " + std::to_string(tables_.size()));
            channel_table& t = tables_[header.channel];
            const std::size_t length = batch.length_of(i);
            if (!t.created) create_columns(t, length, header);
            check_record(t, header, batch.samples_of(i), length);
            const std::int32_t* samples = batch.samples_of(i);
            for (std::size_t j = 0; j < length; ++j) t.value_rows.push_back(static_cast<std::uint16_t>(samples[j]));
            if (t.has_timestamps) t.timestamps.push_back(seconds(t, *header.timestamp));
            t.events.push_back(static_cast<std::int32_t>(header.event));
            if (t.has_energy) t.energies.push_back(static_cast<std::uint16_t>(*header.daq_energy));
            ++records_;
            if (++t.buffered == t.chunk_rows) flush(t);
        }
    }

    void commit() override {
        for (channel_table& t : tables_) {
            if (!t.created) create_columns(t, samples_.value_or(0), record_header{});
            flush(t);
        }
        tables_.clear();
        errno = 0;
        if (file_.close() < 0) write_failed(path_, "close");
        staged_.commit();
    }

private:
    std::string record_name(const channel_table& t) const { return "record " + std::to_string(records_) + " (channel " + t.info.name + ")"; }

    void check_record(const channel_table& t, const record_header& header, const std::int32_t* samples, std::size_t length) const {
        if (length != t.samples)
            throw std::invalid_argument("lh5: " + record_name(t) + " has " + std::to_string(length) +
                                        " samples, its table holds " + std::to_string(t.samples) + " a row");
        const std::int32_t low = t.info.unsigned_samples ? 0 : -32768, high = t.info.unsigned_samples ? 65535 : 32767;
        for (std::size_t j = 0; j < length; ++j)
            if (samples[j] < low || samples[j] > high)
                throw std::invalid_argument("lh5: " + record_name(t) + " has the sample " + std::to_string(samples[j]) +
                                            ", outside the 16-bit range " + std::to_string(low) + " to " + std::to_string(high));
        if (header.event > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
            throw std::invalid_argument("lh5: " + record_name(t) + " has the event number " + std::to_string(header.event) +
                                        ", beyond the 32-bit event numbers of LH5");
        if (t.info.tick_seconds && t.has_timestamps != header.timestamp.has_value())
            throw std::invalid_argument("lh5: " + record_name(t) + (t.has_timestamps ? " lacks" : " has") +
                                        " a time stamp, unlike the first record of its channel");
        if (t.has_energy != header.daq_energy.has_value())
            throw std::invalid_argument("lh5: " + record_name(t) + (t.has_energy ? " lacks" : " has") +
                                        " a digitiser energy, unlike the first record of its channel");
        if (t.has_energy && !(*header.daq_energy >= 0 && *header.daq_energy <= 65535 && std::trunc(*header.daq_energy) == *header.daq_energy))
            throw std::invalid_argument("lh5: " + record_name(t) + " has the digitiser energy " + std::to_string(*header.daq_energy) +
                                        ", not a 16-bit unsigned integer");
    }

    double seconds(const channel_table& t, std::uint64_t ticks) const {
        // Dividing by a whole number of ticks per second gives the double nearest the time.
        if (t.tick_divisor > 0) return static_cast<double>(static_cast<long double>(ticks) / t.tick_divisor);
        return static_cast<double>(static_cast<long double>(ticks) * static_cast<long double>(*t.info.tick_seconds));
    }

    void create_columns(channel_table& t, std::size_t samples, const record_header& first) {
        const std::string table_path = t.info.name + "/raw";
        if (samples_ && samples != *samples_)
            throw std::invalid_argument("lh5: " + record_name(t) + " has " + std::to_string(samples) + " samples, not " +
                                        std::to_string(*samples_));
        t.created = true;
        t.samples = samples;
        // LH5 time stamps are seconds: counts of a clock of unknown period (WaveDump's trigger
        // time tags) cannot become any, so such a table has no timestamp column.
        t.has_timestamps = first.timestamp.has_value() && t.info.tick_seconds.has_value();
        t.has_energy = first.daq_energy.has_value();
        t.chunk_rows = std::max<hsize_t>(write_chunk_bytes / (2 * std::max<std::size_t>(samples, 1)), 1);
        const hid_t group = t.group.get();
        std::string columns = "waveform";
        if (t.has_timestamps) columns += ",timestamp";
        columns += ",eventnumber";
        if (t.has_energy) columns += ",daqenergy";
        write_string_attribute(group, "datatype", "table{" + columns + "}", path_);
        const handle waveform = create_group(group, "waveform", path_);
        write_string_attribute(waveform.get(), "datatype", "table{t0,dt,values}", path_);
        t.t0.create(waveform.get(), "t0", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, std::nullopt, t.chunk_rows, "ns", path_);
        t.dt.create(waveform.get(), "dt", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, std::nullopt, t.chunk_rows, "ns", path_);
        const bool is_unsigned = t.info.unsigned_samples;
        t.values.create(waveform.get(), "values", is_unsigned ? H5T_STD_U16LE : H5T_STD_I16LE,
                        is_unsigned ? H5T_NATIVE_UINT16 : H5T_NATIVE_INT16, samples, t.chunk_rows, nullptr, path_);
        if (t.has_timestamps)
            t.timestamp.create(group, "timestamp", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, std::nullopt, t.chunk_rows, "s", path_);
        t.event.create(group, "eventnumber", H5T_STD_I32LE, H5T_NATIVE_INT32, std::nullopt, t.chunk_rows, nullptr, path_);
        if (t.has_energy)
            t.energy.create(group, "daqenergy", H5T_STD_U16LE, H5T_NATIVE_UINT16, std::nullopt, t.chunk_rows, nullptr, path_);
        t.value_rows.reserve(static_cast<std::size_t>(t.chunk_rows) * samples);
    }

    void flush(channel_table& t) {
        if (t.buffered == 0) return;
        const hsize_t rows = t.buffered;
        errno = 0;
        const std::vector<double> t0(t.buffered, 0.0), dt(t.buffered, t.info.dt_ns.value_or(std::nan("")));
        t.values.append(t.rows_written, rows, t.value_rows.data(), path_);
        t.t0.append(t.rows_written, rows, t0.data(), path_);
        t.dt.append(t.rows_written, rows, dt.data(), path_);
        if (t.has_timestamps) t.timestamp.append(t.rows_written, rows, t.timestamps.data(), path_);
        t.event.append(t.rows_written, rows, t.events.data(), path_);
        if (t.has_energy) t.energy.append(t.rows_written, rows, t.energies.data(), path_);
        t.rows_written += rows;
        t.buffered = 0;
        t.value_rows.clear();
        t.timestamps.clear();
        t.events.clear();
        t.energies.clear();
    }

    std::string path_;
    std::optional<std::size_t> samples_;
    staged_file staged_;   // before file_: the library closes the file before the temporary goes
    handle file_;
    std::vector<channel_table> tables_;
    std::uint64_t records_ = 0;
};

int probe_lh5(const std::string& path, const std::string& head) {
    static const std::string signature = "\x89HDF\r\n\x1a\n";
    // The superblock sits at 0 or, after a user block, at 512, 1024, 2048, ...
    for (std::size_t offset = 0; offset + signature.size() <= head.size(); offset = offset == 0 ? 512 : offset * 2)
        if (head.compare(offset, signature.size(), signature) == 0) return 3;
    // A head shorter than the 4096 bytes asked for is the whole file, which has no signature.
    const std::string suffix = ".lh5";
    const bool named = path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    return named && head.size() == 4096 && !detail::plain_text(head) ? 1 : 0;
}

std::unique_ptr<reader> open_lh5(const std::string& path, const reader_options& options) {
    if (options.samples || options.header_bytes)
        throw std::invalid_argument("the lh5 format takes neither a record length nor a header size: its tables say both");
    return std::make_unique<lh5_reader>(path);
}

std::unique_ptr<writer> create_lh5(const std::string& path, const writer_options& options) {
    if (options.channels.empty()) throw std::invalid_argument("lh5: no channels to write");
    for (std::size_t i = 0; i < options.channels.size(); ++i) {
        const channel_info& channel = options.channels[i];
        if (channel.name.empty() || channel.name == "." || channel.name.find('/') != std::string::npos)
            throw std::invalid_argument("lh5: '" + channel.name + "' cannot name an HDF5 group");
        for (std::size_t j = 0; j < i; ++j)
            if (options.channels[j].name == channel.name)
                throw std::invalid_argument("lh5: channel '" + channel.name + "' named twice");
        if (channel.tick_seconds && !(std::isfinite(*channel.tick_seconds) && *channel.tick_seconds > 0))
            throw std::invalid_argument("lh5: channel " + channel.name + " has the tick period " +
                                        std::to_string(*channel.tick_seconds) + " s");
        if (channel.bits && *channel.bits > 16)
            throw std::invalid_argument("lh5: channel " + channel.name + " has " + std::to_string(*channel.bits) +
                                        "-bit samples; LH5 tables hold 16-bit samples");
    }
    return std::make_unique<lh5_writer>(path, options);
}

}  // namespace

format lh5_format() {
    return {"lh5", "LH5: HDF5 tables of waveforms, one per channel (<channel>/raw) or one with a channel column",
            probe_lh5, open_lh5, create_lh5, sample_storage::as_channel};
}

}  // namespace murel::formats
