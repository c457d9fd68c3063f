// The LH5 reader against files built here with HDF5's own C API, and the writer read back.
#include "format.h"
#include "test_support.h"

#include <hdf5.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fmt = murel::formats;
using test_support::scratch_dir;

namespace {

// ---- building LH5 files by hand

// How the string attributes of the files made next are stored: variable-length, or fixed-length
// with this padding, as h5py writes numpy byte strings.
std::optional<H5T_str_t> fixed_string_padding;

void string_attribute(hid_t object, const char* name, const std::string& value) {
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_cset(type, H5T_CSET_UTF8);
    std::string fixed = value;
    if (fixed_string_padding) {
        // Exactly as long as the text, plus a terminator or two spaces of padding.
        if (*fixed_string_padding == H5T_STR_SPACEPAD) fixed += "  ";
        if (*fixed_string_padding == H5T_STR_NULLTERM) fixed += '\0';
        H5Tset_size(type, fixed.size());
        H5Tset_strpad(type, *fixed_string_padding);
    } else {
        H5Tset_size(type, H5T_VARIABLE);
    }
    const hid_t space = H5Screate(H5S_SCALAR);
    const hid_t attribute = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    const char* text = value.c_str();
    if (fixed_string_padding) H5Awrite(attribute, type, fixed.data());
    else H5Awrite(attribute, type, &text);
    H5Aclose(attribute);
    H5Sclose(space);
    H5Tclose(type);
}

hid_t make_group(hid_t parent, const std::string& name, const std::string& datatype = "") {
    const hid_t group = H5Gcreate2(parent, name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    if (!datatype.empty()) string_attribute(group, "datatype", datatype);
    return group;
}

struct layout {
    std::vector<hsize_t> chunk;  // empty: contiguous
    int gzip = -1;               // deflate level, or none
    H5Z_filter_t filter = -1;    // another filter, or none
};

hid_t memory_type(double) { return H5T_NATIVE_DOUBLE; }
hid_t memory_type(std::int16_t) { return H5T_NATIVE_INT16; }
hid_t memory_type(std::uint16_t) { return H5T_NATIVE_UINT16; }
hid_t memory_type(std::int32_t) { return H5T_NATIVE_INT32; }
hid_t memory_type(std::uint32_t) { return H5T_NATIVE_UINT32; }
hid_t memory_type(std::int64_t) { return H5T_NATIVE_INT64; }

template <class T>
void make_dataset(hid_t parent, const std::string& name, hid_t type, std::vector<hsize_t> dims, const std::vector<T>& data,
                  const char* units = nullptr, const layout& how = {}) {
    const hid_t space = H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
    const hid_t creation = H5Pcreate(H5P_DATASET_CREATE);
    if (!how.chunk.empty()) H5Pset_chunk(creation, static_cast<int>(how.chunk.size()), how.chunk.data());
    if (how.gzip >= 0) H5Pset_deflate(creation, static_cast<unsigned>(how.gzip));
    if (how.filter >= 0) H5Pset_filter(creation, how.filter, 0, 0, nullptr);
    const hid_t dataset = H5Dcreate2(parent, name.c_str(), type, space, H5P_DEFAULT, creation, H5P_DEFAULT);
    ASSERT_GE(dataset, 0) << name;
    if (!data.empty()) H5Dwrite(dataset, memory_type(T{}), H5S_ALL, H5S_ALL, H5P_DEFAULT, data.data());
    string_attribute(dataset, "datatype", dims.size() == 2 ? "array_of_equalsized_arrays<1,1>{real}" : "array<1>{real}");
    if (units != nullptr) string_attribute(dataset, "units", units);
    H5Dclose(dataset);
    H5Pclose(creation);
    H5Sclose(space);
}

// One channel table: equal-size uint16 waveforms (or int16 vectors of vectors when `lengths`
// is given) and the scalar columns named in `columns`.
struct table_plan {
    std::string columns = "waveform,timestamp,eventnumber,daqenergy";
    std::vector<std::int32_t> samples;
    hsize_t rows = 0;
    std::vector<std::int64_t> lengths;  // cumulative, for vectors of vectors
    std::vector<double> timestamps;
    std::vector<std::int32_t> events;
    std::vector<std::uint16_t> energies;
    std::vector<std::uint32_t> channels;
    layout how;
    hid_t sample_type = H5T_STD_U16LE;  // of equal-size waveforms
    bool vector_column_itself = false;  // the waveform column is the vector of vectors
};

void make_table(hid_t file, const std::string& path, const table_plan& plan) {
    const hid_t top = make_group(file, path.substr(0, path.find('/')));
    const hid_t table = make_group(top, "raw", "table{" + plan.columns + "}");
    if (!plan.lengths.empty()) {
        std::vector<std::int16_t> flat(plan.samples.begin(), plan.samples.end());
        hid_t holder = make_group(table, "waveform", plan.vector_column_itself ? "array<1>{array<1>{real}}" : "table{t0,dt,values}");
        hid_t waveform = holder;
        if (!plan.vector_column_itself) holder = make_group(waveform, "values", "array<1>{array<1>{real}}");
        make_dataset(holder, "flattened_data", H5T_STD_I16LE, {flat.size()}, flat, nullptr, plan.how);
        make_dataset(holder, "cumulative_length", H5T_STD_U32LE, {plan.lengths.size()}, plan.lengths);
        if (holder != waveform) H5Gclose(holder);
        H5Gclose(waveform);
    } else if (plan.columns.find("waveform") != std::string::npos) {
        const hid_t waveform = make_group(table, "waveform", "table{t0,dt,values}");
        std::vector<std::uint16_t> values(plan.samples.begin(), plan.samples.end());
        make_dataset(waveform, "t0", H5T_IEEE_F64LE, {plan.rows}, std::vector<double>(plan.rows, 0.0), "ns");
        make_dataset(waveform, "dt", H5T_IEEE_F64LE, {plan.rows}, std::vector<double>(plan.rows, 16.0), "ns");
        make_dataset(waveform, "values", plan.sample_type, {plan.rows, plan.rows ? values.size() / plan.rows : 0}, values, nullptr, plan.how);
        H5Gclose(waveform);
    }
    if (!plan.timestamps.empty()) make_dataset(table, "timestamp", H5T_IEEE_F64LE, {plan.timestamps.size()}, plan.timestamps, "s");
    if (!plan.events.empty()) make_dataset(table, plan.columns.find("ievt") != std::string::npos ? "ievt" : "eventnumber", H5T_STD_I32LE, {plan.events.size()}, plan.events);
    if (!plan.energies.empty()) make_dataset(table, "daqenergy", H5T_STD_U16LE, {plan.energies.size()}, plan.energies);
    if (!plan.channels.empty()) make_dataset(table, "channel", H5T_STD_U32LE, {plan.channels.size()}, plan.channels);
    H5Gclose(table);
    H5Gclose(top);
}

void make_file(const std::string& path, const std::vector<std::pair<std::string, table_plan>>& tables) {
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    for (const auto& [name, plan] : tables) make_table(file, name, plan);
    H5Fclose(file);
}

// ---- reading everything back

struct record {
    std::size_t channel;
    std::uint64_t event;
    std::optional<std::uint64_t> timestamp;
    std::optional<double> energy;
    std::vector<std::int32_t> samples;
    bool operator==(const record& o) const {
        return channel == o.channel && event == o.event && timestamp == o.timestamp && energy == o.energy && samples == o.samples;
    }
};

std::vector<record> read_all(fmt::reader& reader, std::size_t batch_size = 3) {
    std::vector<record> records;
    fmt::record_batch batch;
    while (reader.next(batch, batch_size)) {
        EXPECT_LE(batch.size(), batch_size);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const auto& h = batch.headers[i];
            records.push_back({h.channel, h.event, h.timestamp, h.daq_energy,
                               {batch.samples_of(i), batch.samples_of(i) + batch.length_of(i)}});
        }
    }
    EXPECT_EQ(batch.size(), 0u);
    return records;
}

std::unique_ptr<fmt::reader> open_lh5(const std::string& path) { return fmt::find("lh5").open(path, {}); }

table_plan equal_size_table(double first_time) {
    table_plan plan;
    plan.rows = 3;
    plan.samples = {0, 1, 2, 65535, 10, 11, 12, 13, 20, 21, 22, 23};
    plan.timestamps = {first_time, first_time + 2e-6, first_time + 4e-6};
    plan.events = {7, 8, 9};
    plan.energies = {100, 200, 65535};
    return plan;
}

TEST(lh5_reader, equal_size_tables_of_several_channels_merge_by_time_stamp) {
    scratch_dir dir;
    const std::string path = dir.file("two.lh5");
    make_file(path, {{"ch1084803/raw", equal_size_table(1.0)}, {"ch2/raw", equal_size_table(1.0 + 1e-6)}});
    auto reader = open_lh5(path);
    const fmt::file_info& info = reader->info();
    EXPECT_EQ(info.format, "lh5");
    ASSERT_EQ(info.channels.size(), 2u);
    EXPECT_EQ(info.channels[0].name, "ch1084803");  // name order: the file does not track creation order
    EXPECT_EQ(info.channels[1].name, "ch2");
    EXPECT_EQ(info.channels[0].dt_ns, 16.0);
    EXPECT_TRUE(info.channels[0].unsigned_samples);
    EXPECT_EQ(info.channels[0].tick_seconds, 1e-12);
    EXPECT_EQ(info.samples, 4u);
    EXPECT_EQ(info.records, 6u);
    const auto records = read_all(*reader);
    ASSERT_EQ(records.size(), 6u);
    const std::vector<std::size_t> channels = {0, 1, 0, 1, 0, 1};
    const std::vector<std::uint64_t> picoseconds = {1000000000000, 1000001000000, 1000002000000, 1000003000000, 1000004000000, 1000005000000};
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].channel, channels[i]) << i;
        EXPECT_EQ(records[i].timestamp, picoseconds[i]) << i;
        EXPECT_EQ(records[i].event, 7 + i / 2) << i;
    }
    EXPECT_EQ(records[0].samples, (std::vector<std::int32_t>{0, 1, 2, 65535}));
    EXPECT_EQ(records[5].energy, 65535.0);
    EXPECT_EQ(reader->trailing_bytes(), 0u);
}

TEST(lh5_reader, time_stamps_of_a_calendar_clock_count_nanoseconds) {
    scratch_dir dir;
    const std::string path = dir.file("epoch.lh5");
    make_file(path, {{"ch1/raw", equal_size_table(1.7e9)}});
    auto reader = open_lh5(path);
    EXPECT_EQ(reader->info().channels[0].tick_seconds, 1e-9);
    const auto records = read_all(*reader);
    // 1.7e9 + 2e-6 s is, as a double, 1.7e9 + 1.907e-6 s.
    EXPECT_EQ(records[1].timestamp, 1700000000000001907u);
}

TEST(lh5_reader, fixed_length_string_attributes_of_every_padding_read_whole) {
    for (const H5T_str_t padding : {H5T_STR_NULLPAD, H5T_STR_NULLTERM, H5T_STR_SPACEPAD}) {
        scratch_dir dir;
        const std::string path = dir.file("fixed.lh5");
        fixed_string_padding = padding;
        make_file(path, {{"ch1/raw", equal_size_table(1.0)}});
        fixed_string_padding.reset();
        auto reader = open_lh5(path);
        ASSERT_EQ(reader->info().channels.size(), 1u) << padding;
        EXPECT_EQ(reader->info().channels[0].dt_ns, 16.0) << padding;           // the "ns" units attribute
        EXPECT_EQ(reader->info().channels[0].tick_seconds, 1e-12) << padding;   // the "s" units attribute
        EXPECT_EQ(read_all(*reader).size(), 3u) << padding;
    }
}

TEST(lh5_reader, vectors_of_vectors_in_both_layouts_across_read_blocks) {
    // More rows than one block of cumulative lengths, with empty and negative waveforms.
    table_plan plan;
    plan.columns = "waveform,ievt";
    const std::size_t rows = 20000;
    std::int64_t end = 0;
    for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t j = 0; j < row % 5; ++j) plan.samples.push_back(static_cast<std::int32_t>(row % 1000) - 500 - static_cast<std::int32_t>(j));
        end += static_cast<std::int64_t>(row % 5);
        plan.lengths.push_back(end);
        plan.events.push_back(static_cast<std::int32_t>(row));
    }
    plan.how.chunk = {1000};
    for (const bool itself : {false, true}) {
        scratch_dir dir;
        plan.vector_column_itself = itself;
        make_file(dir.file("v.lh5"), {{"ch3/raw", plan}});
        auto reader = open_lh5(dir.file("v.lh5"));
        EXPECT_FALSE(reader->info().samples);
        EXPECT_FALSE(reader->info().channels[0].unsigned_samples);
        const auto records = read_all(*reader, 777);
        ASSERT_EQ(records.size(), rows);
        std::size_t at = 0;
        for (std::size_t row = 0; row < rows; ++row) {
            ASSERT_EQ(records[row].event, row);
            ASSERT_FALSE(records[row].timestamp);
            ASSERT_EQ(records[row].samples, std::vector<std::int32_t>(plan.samples.begin() + at, plan.samples.begin() + at + row % 5))
                << "row " << row;
            at += row % 5;
        }
    }
}

TEST(lh5_reader, one_table_of_many_channels_names_them_by_the_channel_column) {
    scratch_dir dir;
    table_plan plan = equal_size_table(1.0);
    plan.columns = "channel,waveform,timestamp";
    plan.events.clear();
    plan.energies.clear();
    plan.channels = {1084804, 1084803, 1084804};
    make_file(dir.file("geds.lh5"), {{"geds/raw", plan}});
    auto reader = open_lh5(dir.file("geds.lh5"));
    ASSERT_EQ(reader->info().channels.size(), 2u);
    EXPECT_EQ(reader->info().channels[0].name, "1084804");
    EXPECT_EQ(reader->info().channels[1].name, "1084803");
    const auto records = read_all(*reader);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].channel, 0u);
    EXPECT_EQ(records[1].channel, 1u);
    EXPECT_EQ(records[2].channel, 0u);
    EXPECT_EQ(records[2].event, 2u);  // the row, without an event number column
}

TEST(lh5_reader, gzip_chunks_across_read_blocks) {
    // More than the reader's 8 MiB block of samples, in compressed chunks that blocks split.
    table_plan plan;
    plan.columns = "waveform";
    plan.rows = 2100;
    const std::size_t width = 2048;
    for (std::size_t i = 0; i < plan.rows * width; ++i) plan.samples.push_back(static_cast<std::int32_t>((i / width * 7 + i % width) % 60000));
    plan.how = {{64, width}, 1, -1};
    scratch_dir dir;
    make_file(dir.file("gz.lh5"), {{"ch1/raw", plan}});
    auto reader = open_lh5(dir.file("gz.lh5"));
    fmt::record_batch batch;
    std::size_t row = 0;
    while (reader->next(batch, 500))
        for (std::size_t i = 0; i < batch.size(); ++i, ++row)
            ASSERT_TRUE(std::equal(batch.samples_of(i), batch.samples_of(i) + width, plan.samples.begin() + row * width)) << row;
    EXPECT_EQ(row, plan.rows);
}

TEST(lh5_reader, unfiltered_waveforms_of_any_chunking_across_read_blocks) {
    // More than a read block of rows, with a last chunk that the rows do not fill.
    const std::size_t width = 2048;
    const hsize_t rows = 2100;
    const struct {
        const char* name;
        hsize_t chunk_rows, chunk_width;  // 0: contiguous
        hid_t type;
    } layouts[] = {
        {"whole rows", 64, width, H5T_STD_U16LE},
        {"one row a chunk", 1, width, H5T_STD_U16LE},
        {"half rows", 64, width / 2, H5T_STD_U16LE},
        {"chunks larger than a read block", 2100, width, H5T_STD_U16LE},
        {"big-endian samples", 64, width, H5T_STD_U16BE},
        {"contiguous", 0, 0, H5T_STD_U16LE},
    };
    std::vector<std::int32_t> samples;
    for (std::size_t i = 0; i < rows * width; ++i) samples.push_back(static_cast<std::int32_t>((i / width * 7 + i % width * 3) % 65536));
    for (const auto& l : layouts) {
        SCOPED_TRACE(l.name);
        table_plan plan;
        plan.columns = "waveform";
        plan.rows = rows;
        plan.samples = samples;
        if (l.chunk_rows > 0) plan.how.chunk = {l.chunk_rows, l.chunk_width};
        plan.sample_type = l.type;
        scratch_dir dir;
        make_file(dir.file("raw.lh5"), {{"ch1/raw", plan}});
        auto reader = open_lh5(dir.file("raw.lh5"));
        fmt::record_batch batch;
        std::size_t row = 0;
        while (reader->next(batch, 700))
            for (std::size_t i = 0; i < batch.size(); ++i, ++row) {
                ASSERT_EQ(batch.length_of(i), width);
                ASSERT_TRUE(std::equal(batch.samples_of(i), batch.samples_of(i) + width, samples.begin() + row * width)) << row;
            }
        EXPECT_EQ(row, rows);
    }
}

// An identity filter that only this test registers, for a file whose filter the reader lacks.
constexpr H5Z_filter_t test_filter = 32123;
std::size_t identity(unsigned, std::size_t, const unsigned[], std::size_t bytes, std::size_t*, void**) { return bytes; }

TEST(lh5_reader, corrupt_files_name_the_file_and_the_dataset) {
    using edit = std::function<void(table_plan&)>;
    const std::vector<std::tuple<const char*, edit, const char*>> cases = {
        {"no waveform column", [](table_plan& s) { s.columns = "timestamp,eventnumber,daqenergy"; }, "ch1/raw: has no waveform column"},
        {"short column", [](table_plan& s) { s.timestamps.pop_back(); }, "ch1/raw/timestamp: has 2 rows, the waveforms 3"},
        {"named but missing", [](table_plan& s) { s.columns += ",baseline"; }, "ch1/raw/baseline: is named by the table but missing"},
        {"negative event", [](table_plan& s) { s.events[1] = -4; }, "ch1/raw/eventnumber: holds the negative event number -4 at row 1"},
        {"negative time", [](table_plan& s) { s.timestamps[2] = -1; }, "ch1/raw/timestamp: holds the time stamp"},
        {"decreasing lengths", [](table_plan& s) { s.lengths = {4, 2, 12}; }, "cumulative_length: decreases at row 1"},
        {"lengths past the data", [](table_plan& s) { s.lengths = {4, 8, 13}; }, "cumulative_length: passes the end of"},
        {"missing filter", [](table_plan& s) { s.how = {{1, 4}, -1, test_filter}; },
         "ch1/raw/waveform/values: compressed with HDF5 filter 32123 (test identity), which this HDF5 library does not have"},
    };
    const H5Z_class2_t identity_filter = {H5Z_CLASS_T_VERS, test_filter, 1, 1, "test identity", nullptr, nullptr, identity};
    for (const auto& [what, change, message] : cases) {
        scratch_dir dir;
        table_plan plan = equal_size_table(1.0);
        change(plan);
        H5Zregister(&identity_filter);
        make_file(dir.file("bad.lh5"), {{"ch1/raw", plan}});
        H5Zunregister(test_filter);
        try {
            auto reader = open_lh5(dir.file("bad.lh5"));
            read_all(*reader);
            ADD_FAILURE() << what << ": no error";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(dir.file("bad.lh5") + ": /"), std::string::npos) << what << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << what << ": " << e.what();
        }
    }
}

TEST(lh5_reader, files_that_are_not_lh5_are_refused) {
    scratch_dir dir;
    make_file(dir.file("empty.lh5"), {});
    {
        std::FILE* text = std::fopen(dir.file("text.lh5").c_str(), "w");
        std::fputs("not hdf5 at all\n", text);
        std::fclose(text);
    }
    table_plan big = equal_size_table(1.0);
    big.rows = 3000;
    big.samples.assign(3000 * 4, 5);
    big.timestamps.clear();
    big.events.clear();
    big.energies.clear();
    big.columns = "waveform";
    make_file(dir.file("cut.lh5"), {{"ch1/raw", big}});
    std::filesystem::resize_file(dir.file("cut.lh5"), std::filesystem::file_size(dir.file("cut.lh5")) / 2);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty.lh5", "holds no LH5 table at <channel>/raw"},
        {"text.lh5", "not an HDF5 file"},
        {"cut.lh5", "truncated file"},
    };
    for (const auto& [name, message] : cases) {
        try {
            open_lh5(dir.file(name));
            ADD_FAILURE() << name << ": no error";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(dir.file(name) + ": ", 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(open_lh5(dir.file("absent.lh5")), std::system_error);
    EXPECT_THROW(fmt::find("lh5").open(dir.file("empty.lh5"), {std::size_t{4}, {}, false}), std::invalid_argument);
    EXPECT_EQ(&fmt::detect(dir.file("empty.lh5")), &fmt::find("lh5"));
}

// ---- the writer

std::vector<fmt::channel_info> channels_of(std::size_t count) {
    std::vector<fmt::channel_info> channels(count);
    for (std::size_t c = 0; c < count; ++c) {
        channels[c].name = c == 0 ? "A" : "ch" + std::to_string(12 - c);  // not in name order
        channels[c].dt_ns = 4.0;
        channels[c].unsigned_samples = c % 2 == 1;
        channels[c].tick_seconds = c == 2 ? 2e-9 : 1e-12;
    }
    return channels;
}

TEST(lh5_writer, round_trip_of_one_two_and_five_channels) {
    for (const std::size_t count : {1u, 2u, 5u}) {
        scratch_dir dir;
        const std::string path = dir.file("out.lh5");
        fmt::writer_options options;
        options.channels = channels_of(count);
        options.samples = 6;
        std::vector<record> written;
        {
            auto writer = fmt::find("lh5").create(path, options);
            fmt::record_batch batch;
            for (std::uint64_t event = 0; event < 1200; ++event) {
                for (std::size_t c = 0; c < count; ++c) {
                    const bool is_unsigned = options.channels[c].unsigned_samples;
                    const std::int32_t low = is_unsigned ? 0 : -32768, high = is_unsigned ? 65535 : 32767;
                    const std::vector<std::int32_t> samples = {low, high, static_cast<std::int32_t>(event % 300), 1, low + 1, high - 1};
                    // Close to 8192 s, where a double still tells picoseconds apart; channel 2
                    // counts 2 ns ticks.
                    const std::uint64_t ps = 8191'000'000'000'000 + event * 2'000'000 + c * 2000 + (c == 2 ? 0 : 1 + event % 999);
                    fmt::record_header header{c, event, c == 2 ? ps / 2000 : ps, static_cast<double>(event % 65536)};
                    batch.append(header, samples.data(), samples.size());
                    written.push_back({c, event, ps, header.daq_energy, samples});
                }
                if (batch.size() >= 100) {
                    writer->write(batch);
                    batch.clear();
                }
            }
            writer->write(batch);
            EXPECT_FALSE(std::filesystem::exists(path));
            writer->commit();
        }
        EXPECT_EQ(test_support::listing(dir.path()), std::vector<std::string>{"out.lh5"});
        auto reader = fmt::open(path);
        ASSERT_EQ(reader->info().channels.size(), count);
        for (std::size_t c = 0; c < count; ++c) {
            EXPECT_EQ(reader->info().channels[c].name, options.channels[c].name);
            EXPECT_EQ(reader->info().channels[c].unsigned_samples, options.channels[c].unsigned_samples);
            EXPECT_EQ(reader->info().channels[c].dt_ns, 4.0);
        }
        EXPECT_EQ(reader->info().samples, 6u);
        EXPECT_TRUE(read_all(*reader, 97) == written) << count << " channels";
    }
}

TEST(lh5_writer, refuses_what_the_tables_cannot_hold_and_leaves_no_file) {
    scratch_dir dir;
    const std::string path = dir.file("out.lh5");
    fmt::writer_options options;
    options.channels = channels_of(2);
    const std::vector<std::int32_t> samples = {1, 2, 3};
    const std::vector<std::tuple<const char*, fmt::record_header, std::size_t, std::int32_t, const char*>> cases = {
        {"short record", {0, 1, 5, {}}, 2, 0, "record 2 (channel A) has 2 samples, its table holds 3 a row"},
        {"signed overflow", {0, 1, 5, {}}, 3, 32768, "has the sample 32768, outside the 16-bit range -32768 to 32767"},
        {"unsigned negative", {1, 1, 5, {}}, 3, -1, "record 2 (channel ch11) has the sample -1, outside the 16-bit range 0 to 65535"},
        {"huge event", {0, 1ull << 31, 5, {}}, 3, 0, "has the event number 2147483648"},
        {"no time stamp", {0, 1, {}, {}}, 3, 0, "lacks a time stamp"},
        {"fractional energy", {0, 1, 5, 0.5}, 3, 0, "has a digitiser energy"},
        {"no channel", {2, 1, 5, {}}, 3, 0, "names channel 2 of 2"},
    };
    for (const auto& [what, header, length, first, message] : cases) {
        auto writer = fmt::find("lh5").create(path, options);
        fmt::record_batch batch;
        batch.append({0, 0, 4, {}}, samples.data(), 3);
        batch.append({1, 0, 4, {}}, samples.data(), 3);
        std::vector<std::int32_t> bad = samples;
        bad[0] = first;
        batch.append(header, bad.data(), length);
        try {
            writer->write(batch);
            ADD_FAILURE() << what << ": no error";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << what << ": " << e.what();
        }
    }
    EXPECT_TRUE(test_support::listing(dir.path()).empty());
    auto bad_channels = [&](std::vector<fmt::channel_info> channels) {
        fmt::writer_options o;
        o.channels = std::move(channels);
        return fmt::find("lh5").create(path, o);
    };
    EXPECT_THROW(bad_channels({}), std::invalid_argument);
    EXPECT_THROW(bad_channels({{"a/b", {}, {}, false, {}}}), std::invalid_argument);
    EXPECT_THROW(bad_channels({{"x", {}, {}, false, {}}, {"x", {}, {}, false, {}}}), std::invalid_argument);
    EXPECT_THROW(bad_channels({{"x", {}, 24, false, {}}}), std::invalid_argument);
    EXPECT_THROW(bad_channels({{"x", {}, {}, false, 0.0}}), std::invalid_argument);
}

TEST(lh5_writer, h5py_reads_the_layout) {
    scratch_dir dir;
    const std::string path = dir.file("out.lh5");
    fmt::writer_options options;
    options.channels = channels_of(2);
    auto writer = fmt::find("lh5").create(path, options);
    const std::vector<std::int32_t> signed_samples = {-3, 5}, unsigned_samples = {40000, 5};
    fmt::record_batch batch;
    batch.append({0, 0, 1'500'000'000'000, 12}, signed_samples.data(), 2);
    batch.append({1, 0, 1'500'000'000'000, 13}, unsigned_samples.data(), 2);
    writer->write(batch);
    writer->commit();
    const std::string script = R"(
import sys, h5py
f = h5py.File(sys.argv[1], "r")
t = f["A/raw"]
assert t.attrs["datatype"] == "table{waveform,timestamp,eventnumber,daqenergy}", t.attrs["datatype"]
w = t["waveform"]
assert w.attrs["datatype"] == "table{t0,dt,values}"
assert w["values"].attrs["datatype"] == "array_of_equalsized_arrays<1,1>{real}"
assert w["values"].dtype == "int16" and f["ch11/raw/waveform/values"].dtype == "uint16"
assert w["values"].shape == (1, 2) and list(w["values"][0]) == [-3, 5]
assert list(f["ch11/raw/waveform/values"][0]) == [40000, 5]
assert w["dt"].attrs["units"] == "ns" and w["dt"][0] == 4.0 and w["t0"].attrs["units"] == "ns"
assert t["timestamp"].attrs["units"] == "s" and t["timestamp"][0] == 1.5
assert t["timestamp"].attrs["datatype"] == "array<1>{real}"
assert t["eventnumber"].dtype == "int32" and t["daqenergy"].dtype == "uint16" and t["daqenergy"][0] == 12
)";
    if (std::system(PYTHON3 " -c 'import h5py' 2>/dev/null") != 0) GTEST_SKIP() << "h5py is not installed for " PYTHON3;
    const std::string command = PYTHON3 " -c '" + script + "' " + path + " 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    EXPECT_EQ(::pclose(pipe), 0) << output;
}

}  // namespace
