// The digitiser file formats: files built byte by byte as the acquisition programs write them,
// cut-off and corrupt files, format detection, and round trips through every writer.
#include "convert.h"
#include "format.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace fmt = murel::formats;
using test_support::scratch_dir;

namespace {

// Little-endian fields, appended to a file's bytes.
struct bytes {
    std::string data;
    bytes& u8(unsigned v) { data += static_cast<char>(v); return *this; }
    bytes& u16(unsigned v) { return u8(v & 0xFF).u8(v >> 8 & 0xFF); }
    bytes& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    bytes& u64(std::uint64_t v) { return u32(static_cast<std::uint32_t>(v)).u32(static_cast<std::uint32_t>(v >> 32)); }
    bytes& f64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        return u64(bits);
    }
    bytes& text(const std::string& t) { data += t; return *this; }
};

std::string write(const scratch_dir& dir, const std::string& name, const std::string& content) {
    const std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

struct record {
    std::string channel;
    std::uint64_t event;
    std::optional<std::uint64_t> timestamp;
    std::optional<double> daq_energy;
    std::vector<std::int32_t> samples;
};

std::vector<record> read_all(fmt::reader& in, std::size_t batch_size = 3) {
    std::vector<record> all;
    fmt::record_batch batch;
    while (in.next(batch, batch_size)) {
        EXPECT_LE(batch.size(), batch_size);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const fmt::record_header& h = batch.headers[i];
            all.push_back({in.info().channels.at(h.channel).name, h.event, h.timestamp, h.daq_energy,
                           {batch.samples_of(i), batch.samples_of(i) + batch.length_of(i)}});
        }
    }
    EXPECT_EQ(batch.size(), 0u);
    return all;
}

std::vector<record> read_all(const std::string& path, const std::string& format = {}, const fmt::reader_options& options = {}) {
    const auto in = fmt::open(path, format, options);
    return read_all(*in);
}

template <typename Call>
void expect_error(Call call, const std::string& fragment) {
    try {
        call();
        ADD_FAILURE() << "no error; expected one saying: " << fragment;
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
}

bytes wavedump_event(std::uint32_t channel, std::uint32_t counter, std::uint32_t time_tag, const std::vector<unsigned>& samples) {
    bytes b;
    b.u32(static_cast<std::uint32_t>(24 + 2 * samples.size())).u32(7).u32(0).u32(channel).u32(counter).u32(time_tag);
    for (unsigned s : samples) b.u16(s);
    return b;
}

}  // namespace

// ---- Files written independently of the writers ----

TEST(format_readers, read_files_built_byte_by_byte) {
    scratch_dir dir;

    // cdb: 12 zero bytes, then A, B pairs of signed 16-bit samples.
    bytes cdb;
    cdb.text(std::string(12, '\0'));
    for (int v : {1, -1, 2, -32768, 3, 32767, 4, 5, 6, 7, 8, 9}) cdb.u16(static_cast<unsigned>(v) & 0xFFFF);
    fmt::reader_options three;
    three.samples = 3;
    const auto cdb_records = read_all(write(dir, "run.cdb", cdb.data), "", three);
    ASSERT_EQ(cdb_records.size(), 4u);
    EXPECT_EQ(cdb_records[0].channel, "A");
    EXPECT_EQ(cdb_records[0].samples, (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(cdb_records[1].channel, "B");
    EXPECT_EQ(cdb_records[1].samples, (std::vector<std::int32_t>{-1, -32768, 32767}));
    EXPECT_EQ(cdb_records[3].event, 1u);
    EXPECT_EQ(cdb_records[3].samples, (std::vector<std::int32_t>{5, 7, 9}));

    // WaveDump binary with event headers: the channel and counter come from the header.
    bytes wave = wavedump_event(5, 10, 1000, {0, 65535, 16383});
    wave.data += wavedump_event(5, 11, 4294967295u, {1, 2, 3}).data;
    const auto wave_records = read_all(write(dir, "wave0.dat", wave.data));
    ASSERT_EQ(wave_records.size(), 2u);
    EXPECT_EQ(wave_records[0].channel, "5");
    EXPECT_EQ(wave_records[0].samples, (std::vector<std::int32_t>{0, 65535, 16383}));
    EXPECT_EQ(wave_records[1].event, 11u);
    EXPECT_EQ(wave_records[1].timestamp, 4294967295u);

    // WaveDump binary without headers: the channel comes from the file name.
    bytes bare;
    for (unsigned v : {10, 20, 30, 40}) bare.u16(v);
    fmt::reader_options two;
    two.samples = 2;
    const auto bare_records = read_all(write(dir, "wave3.dat", bare.data), "wavedump", two);
    ASSERT_EQ(bare_records.size(), 2u);
    EXPECT_EQ(bare_records[1].channel, "3");
    EXPECT_EQ(bare_records[1].event, 1u);
    EXPECT_EQ(bare_records[1].samples, (std::vector<std::int32_t>{30, 40}));

    // WaveDump text with headers, Windows line ends in the second event.
    const std::string text = "Record Length: 2\nBoardID: 31\nChannel: 4\nEvent Number: 7\nPattern: 0x0000\n"
                             "Trigger Time Stamp: 3190661\nDC offset (DAC): 0x8000\n8191\n0\n"
                             "Record Length: 2\r\nBoardID: 31\r\nChannel: 4\r\nEvent Number: 8\r\nPattern: 0x0000\r\n"
                             "Trigger Time Stamp: 3190700\r\nDC offset (DAC): 0x8000\r\n65535\r\n12\r\n";
    const auto text_records = read_all(write(dir, "wave1.txt", text));
    ASSERT_EQ(text_records.size(), 2u);
    EXPECT_EQ(text_records[0].channel, "4");
    EXPECT_EQ(text_records[0].event, 7u);
    EXPECT_EQ(text_records[0].timestamp, 3190661u);
    EXPECT_EQ(text_records[1].samples, (std::vector<std::int32_t>{65535, 12}));

    // WaveDump text without headers; the last line has no line end.
    const auto plain_records = read_all(write(dir, "wave2.txt", "1\n2\n3\n4\n5\n6"), "", fmt::reader_options{3, {}, false});
    ASSERT_EQ(plain_records.size(), 2u);
    EXPECT_EQ(plain_records[1].channel, "2");
    EXPECT_EQ(plain_records[1].samples, (std::vector<std::int32_t>{4, 5, 6}));

    // CoMPASS with the 2-byte header 0xCAED and two boards: channels are named board.channel.
    bytes compass;
    compass.u16(0xCAED);
    const auto compass_event = [&](unsigned board, unsigned channel, std::uint64_t ps, unsigned energy, std::vector<unsigned> s) {
        compass.u16(board).u16(channel).u64(ps).u16(energy).u16(energy / 2).u32(0x4000).u8(1).u32(static_cast<std::uint32_t>(s.size()));
        for (unsigned v : s) compass.u16(v);
    };
    compass_event(0, 3, 1000, 500, {1, 2});
    compass_event(1, 3, 2000, 600, {3, 4, 5});
    compass_event(0, 3, 3000, 700, {6, 7});
    const std::string compass_path = write(dir, "run.BIN", compass.data);
    const auto compass_in = fmt::open(compass_path);
    EXPECT_EQ(compass_in->info().format, "compass");
    ASSERT_EQ(compass_in->info().channels.size(), 2u);
    EXPECT_EQ(compass_in->info().channels[1].name, "1.3");
    EXPECT_EQ(compass_in->info().channels[0].tick_seconds, 1e-12);
    EXPECT_FALSE(compass_in->info().samples);
    const auto compass_records = read_all(*compass_in);
    ASSERT_EQ(compass_records.size(), 3u);
    EXPECT_EQ(compass_records[0].channel, "0.3");
    EXPECT_EQ(compass_records[1].samples, (std::vector<std::int32_t>{3, 4, 5}));
    EXPECT_EQ(compass_records[2].timestamp, 3000u);
    EXPECT_EQ(compass_records[2].daq_energy, 700.0);

    // Older CoMPASS files: no file header, a fixed set of fields.
    bytes legacy;
    for (unsigned e = 0; e < 2; ++e) {
        legacy.u16(2).u16(9).u64(5000 + e).u16(100 + e).u16(50).u32(0).u32(3);
        for (unsigned v : {7u, 8u, 9u + e}) legacy.u16(v);
    }
    const auto legacy_records = read_all(write(dir, "legacy.bin", legacy.data));
    ASSERT_EQ(legacy_records.size(), 2u);
    EXPECT_EQ(legacy_records[1].channel, "9");
    EXPECT_EQ(legacy_records[1].daq_energy, 101.0);
    EXPECT_EQ(legacy_records[1].samples, (std::vector<std::int32_t>{7, 8, 10}));

    // CoMPASS with energy and calibrated energy but no waveform (header 0xCAE3).
    bytes energies;
    energies.u16(0xCAE3);
    energies.u16(0).u16(1).u64(42).u16(1234).f64(661.7).u32(0);
    const auto energy_records = read_all(write(dir, "energies.bin", energies.data));
    ASSERT_EQ(energy_records.size(), 1u);
    EXPECT_EQ(energy_records[0].daq_energy, 1234.0);
    EXPECT_TRUE(energy_records[0].samples.empty());
}

TEST(format_readers, large_files_stream_across_many_buffers) {
    // More than one 4 MiB buffer, with events that straddle the buffer ends.
    scratch_dir dir;
    bytes wave;
    const unsigned events = 1500, length = 1501;
    for (unsigned e = 0; e < events; ++e) {
        std::vector<unsigned> samples(length);
        for (unsigned j = 0; j < length; ++j) samples[j] = (e * 7 + j) & 0xFFFF;
        wave.data += wavedump_event(0, e, e, samples).data;
    }
    const auto in = fmt::open(write(dir, "wave0.dat", wave.data));
    fmt::record_batch batch;
    std::uint64_t seen = 0;
    while (in->next(batch, 64))
        for (std::size_t i = 0; i < batch.size(); ++i, ++seen) {
            ASSERT_EQ(batch.headers[i].event, seen);
            ASSERT_EQ(batch.samples_of(i)[length - 1], static_cast<std::int32_t>((seen * 7 + length - 1) & 0xFFFF));
        }
    EXPECT_EQ(seen, events);
}

// ---- Cut-off and corrupt files ----

struct cut_case {
    const char* name;
    std::string content;
    fmt::reader_options options;
    std::size_t whole_records;
    std::uint64_t trailing;
};

TEST(format_readers, a_file_cut_off_mid_event_is_read_to_its_last_whole_event) {
    const std::string two_events = wavedump_event(1, 0, 0, {1, 2, 3}).data + wavedump_event(1, 1, 0, {4, 5, 6}).data;
    bytes compass;
    compass.u16(0xCAED);
    for (int e = 0; e < 2; ++e) compass.u16(0).u16(2).u64(10).u16(5).u16(1).u32(0).u8(1).u32(2).u16(8).u16(9);
    const std::string header = "Record Length: 2\nChannel: 0\nEvent Number: 0\n";
    const std::vector<cut_case> cases = {
        {"wave0.dat", two_events.substr(0, 30 + 24 + 5), {}, 1, 29},
        {"wave0.dat", two_events.substr(0, 30 + 3), {}, 1, 3},
        {"wave0.dat", two_events.substr(0, 10), {}, 0, 10},
        {"wave0.dat", std::string("\x01\x00\x02\x00\x03", 5), {2, {}, false}, 1, 1},
        {"wave0.txt", header + "1\n2\n" + header + "3\n", {}, 1, header.size() + 2},
        {"wave0.txt", header + "1\n2\nRecord Len", {}, 1, 10},
        {"wave0.txt", "1\n2\n3\n", {2, {}, false}, 1, 2},
        {"run.bin", compass.data.substr(0, compass.data.size() - 3), {}, 1, 26},
        {"run.bin", compass.data.substr(0, 2 + 29 + 2), {}, 1, 2},
    };
    for (const cut_case& c : cases) {
        SCOPED_TRACE(c.name + (" of " + std::to_string(c.content.size()) + " bytes"));
        scratch_dir dir;
        const std::string path = write(dir, c.name, c.content);
        const auto in = fmt::open(path, "", c.options);
        EXPECT_EQ(read_all(*in).size(), c.whole_records);
        EXPECT_EQ(in->trailing_bytes(), c.trailing);
        fmt::reader_options strict = c.options;
        strict.strict = true;
        EXPECT_THROW(
            {
                try {
                    read_all(*fmt::open(path, "", strict));
                } catch (const std::runtime_error& e) {
                    EXPECT_NE(std::string(e.what()).find(path + ": cut off mid-event: " + std::to_string(c.trailing) +
                                                         " trailing bytes"),
                              std::string::npos)
                        << e.what();
                    throw;
                }
            },
            std::runtime_error);
    }
}

TEST(format_readers, a_corrupt_file_is_an_error_naming_the_byte) {
    const std::string first = wavedump_event(1, 0, 0, {1, 2, 3}).data;
    bytes short_size;
    short_size.u32(20).u32(0).u32(0).u32(1).u32(0).u32(0);
    bytes compass;
    compass.u16(0xCAED);
    compass.u16(0).u16(2).u64(10).u16(5).u16(1).u32(0).u8(1).u32(2).u16(8).u16(9);
    bytes other_count = compass;
    other_count.u16(0).u16(2).u64(20).u16(5).u16(1).u32(0).u8(1).u32(1).u16(8);
    bytes bad_board = compass;
    bad_board.u16(4000).u16(2).u64(20).u16(5).u16(1).u32(0).u8(1).u32(2).u16(8).u16(9);
    // Channel 3 may go back in time; channel 2 may not.
    bytes backwards = compass;
    backwards.u16(0).u16(3).u64(5).u16(5).u16(1).u32(0).u8(1).u32(2).u16(8).u16(9);
    backwards.u16(0).u16(2).u64(20).u16(5).u16(1).u32(0).u8(1).u32(2).u16(8).u16(9);
    backwards.u16(0).u16(2).u64(15).u16(5).u16(1).u32(0).u8(1).u32(2).u16(8).u16(9);
    const std::string header = "Record Length: 2\nChannel: 0\n";
    const struct {
        const char* name;
        std::string content;
        std::string message;
    } cases[] = {
        {"wave0.dat", short_size.data, "wavedump: corrupt at byte 0: event size 20 is below the 24-byte event header"},
        {"wave0.dat", first + wavedump_event(1, 1, 0, {1, 2}).data + first,
         "wavedump: corrupt at byte 30: event size 28 differs from the first event's 30"},
        {"wave0.dat", first + wavedump_event(2, 1, 0, {1, 2, 3}).data, "wavedump: corrupt at byte 30: channel 2 differs"},
        {"wave0.dat", first + bytes().u32(99).text("xx").data, "wavedump: corrupt at byte 30: event size 99 differs"},
        {"wave0.txt", header + "1\n2\nRecord Length: 3\nChannel: 0\n1\n2\n3\n", "wavedump-ascii: corrupt at byte 32: record length 3"},
        {"wave0.txt", header + "1\n#\n", "wavedump-ascii: corrupt at byte 30: expected a sample"},
        {"wave0.txt", header + "1\n2\n3\n",
         "wavedump-ascii: corrupt at byte 32: more sample lines than the Record Length of 2 (expected the next event's header lines here)"},
        {"wave0.txt", "Record Length: 3\nChannel: 0\n1\n2\nRecord Length: 3\n",
         "wavedump-ascii: corrupt at byte 32: a header line after 2 of the 3 samples the Record Length gives"},
        {"wave0.txt", "Record Length: 0\n1\n", "wavedump-ascii: corrupt at byte 0: Record Length 0 is refused: a record holds 1 to 4194304"},
        {"wave0.txt", "Record Length: 100000000000\n1\n",
         "wavedump-ascii: corrupt at byte 0: Record Length 100000000000 is refused: a record holds 1 to 4194304"},
        {"wave0.txt", header + "99999999999\n2\n", "wavedump-ascii: corrupt at byte 28: sample 99999999999 is outside 0 .. 65535"},
        {"wave0.txt", header + "99999\n2\n", "wavedump-ascii: corrupt at byte 28: sample 99999 is outside 0 .. 65535"},
        {"wave0.txt", header + "65535\n-5\n", "wavedump-ascii: corrupt at byte 34: sample -5 is outside 0 .. 65535"},
        {"run.bin", other_count.data,
         "compass: corrupt at byte 31: sample count 1 differs from the earlier events' 2 of board 0 channel 2"},
        {"run.bin", bad_board.data, "compass: corrupt at byte 31: board 4000, channel 2 make no sense"},
        {"run.bin", backwards.data,
         "compass: corrupt at byte 89: time stamp 15 of board 0 channel 2 is before the channel's previous one, 20"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        scratch_dir dir;
        const std::string path = write(dir, c.name, c.content);
        EXPECT_THROW(
            {
                try {
                    read_all(*fmt::open(path));
                } catch (const std::runtime_error& e) {
                    EXPECT_EQ(std::string(e.what()).rfind(path + ": " + c.message, 0), 0u) << e.what();
                    throw;
                }
            },
            std::runtime_error);
    }
}

TEST(format_readers, cdb_sizes_that_are_not_whole_events_and_options_a_format_does_not_take_are_refused) {
    scratch_dir dir;
    const std::string cdb = write(dir, "run.cdb", std::string(12 + 4000 + 2, '\0'));
    expect_error([&] { fmt::open(cdb); },
                 cdb + ": its size of 4014 bytes is not a 12-byte header plus whole events of 4000 bytes");
    EXPECT_THROW(fmt::open(cdb), std::runtime_error);
    EXPECT_THROW(fmt::open(cdb, "", {0, {}, false}), std::invalid_argument);

    bytes compass;
    compass.u16(0xCAE1).u16(0).u16(1).u64(42).u16(1234).u32(0);
    const std::string bin = write(dir, "run.bin", compass.data);
    EXPECT_THROW(fmt::open(bin, "", {1000, {}, false}), std::invalid_argument);
    expect_error([&] { fmt::open(bin, "", {{}, 12, false}); }, "--header does not apply to " + bin);

    const std::string wave = write(dir, "wave0.dat", wavedump_event(1, 0, 0, {1}).data + wavedump_event(1, 1, 0, {1}).data);
    expect_error([&] { fmt::open(wave, "", {1, {}, false}); }, "its events have headers");
    EXPECT_THROW(fmt::open(wave, "", {{}, 4, false}), std::invalid_argument);
    EXPECT_THROW(fmt::open(write(dir, "wave1.txt", "1\n2\n")), std::invalid_argument);
}

// ---- Detection ----

TEST(format_registry, finds_the_format_by_content_and_name) {
    scratch_dir dir;
    const std::string two_events = wavedump_event(1, 0, 0, {1, 2}).data + wavedump_event(1, 1, 0, {3, 4}).data;
    bytes compass;
    compass.u16(0xCAED);
    const struct {
        const char* name;
        std::string content;
        const char* format;
    } cases[] = {
        {"synth-1.sgl", std::string(12 + 4000, '\0'), "cdb"},
        {"data.raw", std::string(12 + 4000, '\0'), "cdb"},
        {"events.raw", two_events, "wavedump"},
        {"wave7.dat", "\x05\x00\x06\x00", "wavedump"},
        {"any.txt", "Record Length: 1024\n", "wavedump-ascii"},
        {"wave0.txt", "12\n13\n", "wavedump-ascii"},
        {"compass.dat", compass.data, "compass"},
        {"DataR_run.BIN", "\x01\x02\x03", "compass"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fmt::detect(write(dir, c.name, c.content)).name, c.format);
    }
    const std::string unknown = write(dir, "notes.md", "# a text that is no digitiser file\n");
    expect_error([&] { fmt::detect(unknown); },
                 unknown + ": no reader recognises this file; the formats are wavedump, cdb, wavedump-ascii, compass");
    // A name is no claim where the content rules its format out; text that is numbers is WaveDump's.
    EXPECT_EQ(fmt::detect(write(dir, "wave3.dat", "12\n13\n")).name, "wavedump-ascii");
    const struct {
        const char* name;
        std::string content;
    } misnamed[] = {
        {"notes.bin", "a text that is no digitiser file\n"},
        {"run.BIN", std::string("\x00\x01\x02\x03\x04", 5)},
        {"wave3.dat", "Event 1: nothing\n"},
        {"synth.cdb", "12,13\n"},
        {"raw.lh5", std::string("\x89HDF\x01\x02", 6)},
        {"wave0.txt", std::string("1\n2\n\x00\x01", 6)},
    };
    for (const auto& m : misnamed) {
        SCOPED_TRACE(m.name);
        const std::string path = write(dir, m.name, m.content);
        expect_error([&] { fmt::detect(path); }, path + ": no reader recognises this file");
    }
    EXPECT_THROW(fmt::find("root"), std::invalid_argument);
    EXPECT_THROW(fmt::detect(dir.file("missing.cdb")), std::system_error);
    EXPECT_THROW(fmt::open(dir.path().string(), "cdb"), std::system_error);
}

// ---- Several files as one acquisition ----

TEST(format_acquisition, channel_files_are_matched_by_event_counter_keeping_or_leaving_out_partial_events) {
    const auto file = [](std::uint32_t channel, const std::vector<std::uint32_t>& events, std::size_t cut) {
        std::string content;
        for (std::uint32_t e : events) content += wavedump_event(channel, e, 10 * e, {channel, e}).data;
        return content + wavedump_event(channel, events.back() + 1, 0, {0, 0}).data.substr(0, cut);
    };
    using event_list = std::vector<std::pair<std::size_t, std::uint64_t>>;  // (channel, event) of each record
    const struct {
        const char* name;
        std::string second;
        fmt::partial_events partial;
        event_list records;
        std::vector<std::string> warnings;
    } cases[] = {
        {"a second file ending early", file(1, {0, 1}, 5), fmt::partial_events::left_out, {{0, 0}, {1, 0}, {0, 1}, {1, 1}},
         {"wave0.dat: the events from event 2 on are left out, as ", "wave1.dat: cut off mid-record; the last 5 bytes"}},
        {"a second file ending early", file(1, {0, 1}, 5), fmt::partial_events::kept, {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {0, 2}},
         {"wave1.dat: cut off mid-record; the last 5 bytes"}},
        {"a second file lacking event 1", file(1, {0, 2}, 0), fmt::partial_events::kept, {{0, 0}, {1, 0}, {0, 1}, {0, 2}, {1, 2}}, {}},
        {"a second file starting late", file(1, {1, 2, 3}, 0), fmt::partial_events::kept,
         {{0, 0}, {0, 1}, {1, 1}, {0, 2}, {1, 2}, {1, 3}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.partial == fmt::partial_events::kept ? ", kept" : ", left out"));
        scratch_dir dir;
        const std::vector<std::string> paths{write(dir, "wave0.dat", file(0, {0, 1, 2}, 0)), write(dir, "wave1.dat", c.second)};
        fmt::acquisition both(paths, "", {}, c.partial);
        ASSERT_EQ(both.files(), 2u);
        EXPECT_EQ(both.file_of(1), 1u);
        EXPECT_EQ(both.path_of(1), paths[1]);
        event_list records;
        fmt::record_batch batch;
        while (both.next(batch, 1))
            for (std::size_t i = 0; i < batch.size(); ++i) {
                records.emplace_back(batch.headers[i].channel, batch.headers[i].event);
                // Each record keeps its own samples: its channel, then its event.
                EXPECT_EQ(std::vector<std::int32_t>(batch.samples_of(i), batch.samples_of(i) + 2),
                          (std::vector<std::int32_t>{static_cast<std::int32_t>(batch.headers[i].channel),
                                                     static_cast<std::int32_t>(batch.headers[i].event)}));
            }
        EXPECT_EQ(records, c.records);
        EXPECT_EQ(both.trailing_bytes(0), 0u);
        EXPECT_EQ(both.trailing_bytes(1), c.second.size() % 28);
        ASSERT_EQ(both.warnings().size(), c.warnings.size());
        for (std::size_t w = 0; w < c.warnings.size(); ++w)
            EXPECT_NE(both.warnings()[w].find(c.warnings[w]), std::string::npos) << both.warnings()[w];
        EXPECT_THROW(both.trailing_bytes(2), std::out_of_range);
        EXPECT_THROW(both.file_of(2), std::out_of_range);
    }

    scratch_dir dir;
    for (const char* folder : {"gap", "again"}) std::filesystem::create_directories(dir.file(folder));
    const std::string first = write(dir, "wave0.dat", file(0, {0, 1, 2}, 0)), gap = write(dir, "gap/wave1.dat", file(1, {0, 2}, 0)),
                      again = write(dir, "again/wave0.dat", file(0, {0}, 0));
    expect_error(
        [&] {
            fmt::acquisition both({first, gap}, "", {});
            fmt::record_batch batch;
            while (both.next(batch, 8)) {
            }
        },
        gap + ": event 2 where " + first + " holds event 1; files given together must hold the same events");
    EXPECT_THROW(fmt::acquisition({first, again}, "", {}, fmt::partial_events::kept), std::invalid_argument);
    expect_error([&] { fmt::acquisition({first, again}, "", {}); }, again + ": channel '0' is also in " + first);
}

// ---- Writers ----

namespace {

struct data_set {
    std::vector<fmt::channel_info> channels;
    fmt::record_batch records;
};

// Fixed-seed records of `channels` channels, `events` events each, values lowest .. 65535.
data_set make_data(std::size_t channels, std::size_t events, std::size_t length, bool is_signed, bool board_names = false) {
    data_set set;
    for (std::size_t c = 0; c < channels; ++c) {
        fmt::channel_info info;
        info.name = board_names ? std::to_string(c / 3) + "." + std::to_string(c % 3) : std::to_string(c);
        info.unsigned_samples = !is_signed;
        info.bits = is_signed ? std::optional<int>(16) : std::nullopt;
        info.tick_seconds = is_signed ? std::nullopt : std::optional<double>(1e-12);
        set.channels.push_back(info);
    }
    std::mt19937 random(17);
    std::uniform_int_distribution<std::int32_t> value(is_signed ? -32768 : 0, is_signed ? 32767 : 65535);
    std::vector<std::int32_t> samples(length);
    for (std::size_t e = 0; e < events; ++e)
        for (std::size_t c = 0; c < channels; ++c) {
            for (auto& s : samples) s = value(random);
            samples[0] = is_signed ? -32768 : 65535;
            fmt::record_header header;
            header.channel = c;
            header.event = e;
            if (!is_signed) {
                header.timestamp = 1000 * e + c;
                header.daq_energy = static_cast<double>(e + c);
            }
            set.records.append(header, samples.data(), samples.size());
        }
    return set;
}

// Every record of the files a writer made at `path` (a directory for WaveDump), in channel order.
std::vector<record> read_output(const std::string& path, const std::string& format, std::size_t channels,
                                std::size_t length) {
    if (format == "cdb") return read_all(path, format, {length, {}, false});
    if (format != "wavedump" && format != "wavedump-ascii") return read_all(path, format);
    std::vector<record> all;
    for (std::size_t c = 0; c < channels; ++c) {
        const auto some = read_all(path + "/wave" + std::to_string(c) + (format == "wavedump" ? ".dat" : ".txt"), format);
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

void write_set(const data_set& set, const std::string& format, const std::string& path) {
    fmt::writer_options options;
    options.channels = set.channels;
    options.samples = set.records.length_of(0);
    const auto out = fmt::find(format).create(path, options);
    fmt::record_batch half;
    for (std::size_t i = 0; i < set.records.size(); ++i) {
        half.append(set.records.headers[i], set.records.samples_of(i), set.records.length_of(i));
        if (half.size() == 4) {
            out->write(half);
            half.clear();
        }
    }
    out->write(half);
    out->commit();
}

}  // namespace

TEST(format_writers, round_trip_through_every_writable_format) {
    for (const fmt::format& format : fmt::registry()) {
        if (format.create == nullptr) continue;
        for (std::size_t channels : {1, 2, 5}) {
            const bool is_cdb = format.name == "cdb";
            if (is_cdb && channels != 2) continue;
            SCOPED_TRACE(format.name + " with " + std::to_string(channels) + " channels");
            const data_set set = make_data(channels, 6, 37, is_cdb);
            scratch_dir dir;
            const std::string path = dir.file("out");
            write_set(set, format.name, path);
            const auto back = read_output(path, format.name, channels, 37);
            ASSERT_EQ(back.size(), set.records.size());
            std::vector<std::size_t> seen(channels, 0);
            for (const record& r : back) {
                const std::size_t channel = is_cdb ? static_cast<std::size_t>(r.channel[0] - 'A') : std::stoul(r.channel);
                const std::size_t i = seen[channel]++ * channels + channel;
                ASSERT_LT(i, set.records.size());
                const std::int32_t* expected = set.records.samples_of(i);
                ASSERT_EQ(r.samples, std::vector<std::int32_t>(expected, expected + set.records.length_of(i)));
                EXPECT_EQ(r.event, set.records.headers[i].event);
                if (format.name != "cdb") {
                    EXPECT_EQ(r.timestamp, set.records.headers[i].timestamp);
                }
                if (format.name == "compass") {
                    EXPECT_EQ(r.daq_energy, set.records.headers[i].daq_energy);
                }
            }
        }
    }
}

TEST(format_writers, cdb_through_wavedump_and_back_gives_the_same_bytes) {
    scratch_dir dir;
    bytes cdb;
    cdb.text(std::string(12, '\0'));
    std::mt19937 random(5);
    for (int i = 0; i < 2 * 1000 * 3; ++i) cdb.u16(random() & 0xFFFF);
    const std::string original = write(dir, "a.cdb", cdb.data);
    for (const char* middle : {"wavedump", "wavedump-ascii"}) {
        SCOPED_TRACE(middle);
        const auto in = fmt::open(original);
        fmt::writer_options options;
        options.channels = in->info().channels;
        options.samples = in->info().samples;
        const std::string wave_dir = dir.file(std::string(middle) + "-dir");
        const auto out = fmt::find(middle).create(wave_dir, options);
        fmt::record_batch batch;
        while (in->next(batch, 5)) out->write(batch);
        out->commit();
        EXPECT_EQ(test_support::listing(wave_dir).size(), 2u);

        const std::string ext = std::string(middle) == "wavedump" ? ".dat" : ".txt";
        const auto a = fmt::open(wave_dir + "/wave0" + ext);
        const auto b = fmt::open(wave_dir + "/wave1" + ext);
        fmt::writer_options back_options;
        back_options.channels = {a->info().channels[0], b->info().channels[0]};
        back_options.samples = 1000;
        const std::string again = dir.file(std::string(middle) + ".cdb");
        const auto back = fmt::find("cdb").create(again, back_options);
        fmt::record_batch from_a, from_b, pair;
        while (a->next(from_a, 1) && b->next(from_b, 1)) {
            pair.clear();
            pair.append(from_a.headers[0], from_a.samples_of(0), 1000);
            fmt::record_header second = from_b.headers[0];
            second.channel = 1;
            pair.append(second, from_b.samples_of(0), 1000);
            back->write(pair);
        }
        back->commit();
        EXPECT_EQ(test_support::read_file(again), cdb.data);
    }
}

TEST(format_writers, a_target_that_cannot_hold_the_data_is_refused_and_leaves_nothing) {
    scratch_dir dir;
    fmt::writer_options options;
    options.channels = make_data(3, 1, 4, true).channels;
    options.samples = 4;
    expect_error([&] { fmt::find("cdb").create(dir.file("three.cdb"), options); }, "cdb holds exactly two channels, A and B; this data has 3");
    options.channels.resize(1);
    expect_error([&] { fmt::find("cdb").create(dir.file("one.cdb"), options); }, "cdb holds exactly two channels, A and B; this data has 1");
    EXPECT_FALSE(std::filesystem::exists(dir.file("one.cdb")));
    options.channels.resize(2);
    options.samples.reset();
    EXPECT_THROW(fmt::find("cdb").create(dir.file("unequal.cdb"), options), std::invalid_argument);

    const struct {
        const char* format;
        std::int32_t value;
        bool is_signed;
    } values[] = {
        {"wavedump", 65536, false}, {"wavedump", -1, false},      {"wavedump", -32769, true},
        {"wavedump-ascii", -1, false}, {"compass", 70000, false}, {"cdb", -32769, true},
    };
    for (const auto& v : values) {
        SCOPED_TRACE(std::string(v.format) + " " + std::to_string(v.value));
        data_set set = make_data(2, 2, 4, v.is_signed);
        set.records.samples[6] = v.value;
        expect_error([&] { write_set(set, v.format, dir.file("bad")); },
                     "cannot hold sample value " + std::to_string(v.value) + " of record 1 (event 0)");
        EXPECT_TRUE(test_support::listing(dir.path()).empty());
    }
    data_set uneven = make_data(1, 2, 4, false);
    uneven.records.ends[1] = 7;
    uneven.records.samples.resize(7);
    expect_error([&] { write_set(uneven, "wavedump", dir.file("uneven")); },
                 "record 1 (event 1) has 3 samples, its channel's first 4");
    EXPECT_TRUE(test_support::listing(dir.path()).empty());
}

TEST(format_writers, compass_names_several_boards_board_dot_channel) {
    scratch_dir dir;
    const data_set set = make_data(5, 2, 3, false, true);
    write_set(set, "compass", dir.file("boards.bin"));
    const std::string file = test_support::read_file(dir.file("boards.bin"));
    EXPECT_EQ(file.substr(0, 2), "\xED\xCA");
    const auto in = fmt::open(dir.file("boards.bin"));
    ASSERT_EQ(in->info().channels.size(), 5u);
    EXPECT_EQ(in->info().channels[4].name, "1.1");
    EXPECT_EQ(in->info().samples, 3u);
    EXPECT_EQ(in->info().records, 10u);
}
