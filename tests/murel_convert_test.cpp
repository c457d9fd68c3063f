// Runs `murel convert` and `murel generate --format` as a user would: round trips between the
// formats, refusals that leave nothing behind, and inputs cut off or mismatched.
#include "format.h"
#include "program_runner.h"
#include "test_support.h"

#include <cstdint>
#include <string>
#include <vector>

using test_support::listing;
using test_support::read_file;
using test_support::run;
using test_support::run_result;
using test_support::scratch_dir;

namespace {

namespace fmt = murel::formats;

run_result run_murel(const std::vector<std::string>& arguments, const scratch_dir& dir) {
    return run(MUREL_PATH, arguments, dir.path().string());
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

void put_u32(std::string& bytes, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) bytes += static_cast<char>(value >> (8 * k) & 0xFF);
}

// A WaveDump binary file of `events` events of `length` samples on `channel`, event counters
// from `first_counter` on.
std::string wavedump_file(unsigned channel, unsigned events, unsigned length, unsigned first_counter = 0) {
    std::string bytes;
    for (unsigned e = 0; e < events; ++e) {
        for (std::uint32_t word : {24 + 2 * length, 0U, 0U, channel, first_counter + e, 8 * e}) put_u32(bytes, word);
        for (unsigned j = 0; j < length; ++j) {
            const unsigned value = 1000 * channel + 10 * e + j;
            bytes += {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
        }
    }
    return bytes;
}

// The files a format's output consists of, as convert takes them.
std::vector<std::string> output_files(const std::string& format, const std::string& output) {
    if (format == "wavedump") return {output + "/wave0.dat", output + "/wave1.dat"};
    if (format == "wavedump-ascii") return {output + "/wave0.txt", output + "/wave1.txt"};
    return {output};
}

std::vector<std::string> joined(std::vector<std::string> first, const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

const std::vector<std::string> small_set{"--events", "12", "--samples", "40", "--seed", "977"};

}  // namespace

TEST(murel_convert, cdb_through_every_writable_format_and_back_gives_the_same_bytes) {
    scratch_dir dir;
    ASSERT_EQ(run_murel(joined({"generate", "in.cdb"}, small_set), dir).status, 0);
    const std::string original = read_file(dir.file("in.cdb"));
    for (const fmt::format& format : fmt::registry()) {
        if (!format.create || format.name == "cdb") continue;
        SCOPED_TRACE(format.name);
        const std::string middle = "via-" + format.name;
        const run_result there = run_murel({"convert", "in.cdb", "--samples", "40", "-o", middle, "--to", format.name}, dir);
        ASSERT_EQ(there.status, 0) << there.err;
        EXPECT_EQ(there.out + there.err, "");
        const run_result back =
            run_murel(joined({"convert"}, joined(output_files(format.name, middle), {"-o", "back.cdb", "--to", "cdb"})), dir);
        ASSERT_EQ(back.status, 0) << back.err;
        EXPECT_TRUE(read_file(dir.file("back.cdb")) == original);
    }
    EXPECT_EQ(listing(dir.file("via-wavedump")), (std::vector<std::string>{"wave0.dat", "wave1.dat"}));
}

TEST(murel_convert, generate_in_any_format_converts_back_to_the_cdb_bytes_with_the_same_truth) {
    scratch_dir dir;
    ASSERT_EQ(run_murel(joined({"generate", "ref.cdb", "--truth", "ref.csv", "--threads", "3"}, small_set), dir).status, 0);
    const std::string cdb = read_file(dir.file("ref.cdb")), truth = read_file(dir.file("ref.csv"));
    // An offset other than the default, given both ways, still cancels out.
    for (const char* offset : {"32768", "34000"}) {
        for (const fmt::format& format : fmt::registry()) {
            if (!format.create) continue;
            SCOPED_TRACE(format.name + " with offset " + offset);
            const std::string out = "out-" + format.name + "-" + offset;
            const run_result made = run_murel(joined({"generate", out, "--format", format.name, "--truth", "out.csv",
                                                  "--adc-offset", offset, "--threads", "3"},
                                                 small_set),
                                          dir);
            ASSERT_EQ(made.status, 0) << made.err;
            // The same truth, under the same identity: the format stores the data set, it is not part of it.
            EXPECT_TRUE(read_file(dir.file("out.csv")) == truth);
            std::vector<std::string> convert{"convert", "-o", "back.cdb", "--to", "cdb", "--adc-offset", offset};
            if (format.name == "cdb") convert = joined(convert, {"--samples", "40"});
            const run_result back = run_murel(joined(convert, output_files(format.name, out)), dir);
            ASSERT_EQ(back.status, 0) << back.err;
            EXPECT_TRUE(read_file(dir.file("back.cdb")) == cdb);
        }
    }
}

TEST(murel_convert, generated_compass_events_are_time_stamped_at_the_rate_from_the_first_event_on) {
    scratch_dir dir;
    const run_result made =
        run_murel({"generate", "run.bin", "--format", "compass", "--events", "5", "--first-event", "7", "--samples", "8",
               "--rate", "3"},
              dir);
    ASSERT_EQ(made.status, 0) << made.err;
    const auto in = fmt::open(dir.file("run.bin"));
    EXPECT_EQ(in->info().channels.size(), 2U);
    fmt::record_batch batch;
    ASSERT_TRUE(in->next(batch, 100));
    ASSERT_EQ(batch.size(), 10U);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::uint64_t event = 7 + i / 2;
        EXPECT_EQ(in->info().channels[batch.headers[i].channel].name, i % 2 == 0 ? "0" : "1");
        // 1e12 / 3 ps per event, rounded to the nearest picosecond.
        EXPECT_EQ(batch.headers[i].timestamp, (event * 1000000000000ULL + 1) / 3) << "record " << i;
    }
}

TEST(murel_convert, refuses_what_the_target_cannot_hold_and_writes_nothing) {
    struct refusal {
        std::vector<std::string> files;  // wave<N>.dat files made by wavedump_file, or "in.cdb"
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const std::vector<refusal> refusals{
        {{"wave0.dat", "wave1.dat", "wave2.dat"}, {"--to", "cdb"}, 2, "out: cdb holds exactly two channels, A and B; this data has 3"},
        {{"wave0.dat"}, {"--to", "cdb"}, 2, "out: cdb holds exactly two channels, A and B; this data has 1"},
        {{"wave0.dat", "short/wave1.dat"}, {"--to", "cdb"}, 2, "holds a record of 6 samples after ones of 10"},
        {{"in.cdb"}, {"--samples", "40", "--to", "wavedump", "--adc-offset", "0"}, 2, "is outside 0 .. 65535"},
        {{"in.cdb"}, {"--samples", "40", "--to", "compass", "--adc-offset", "0"}, 2, "is outside 0 .. 65535"},
        {{"wave40.dat"}, {"--to", "cdb", "--adc-offset", "0"}, 2, "wave40.dat: event 0, channel 40, sample 0: 40000 is outside -32768 .. 32767"},
        {{"wave0.dat", "wave0.dat"}, {"--to", "lh5"}, 2, "wave0.dat: channel '0' is also in wave0.dat"},
        {{"wave0.dat", "late/wave1.dat"}, {"--to", "cdb"}, 1, "late/wave1.dat: event 1 where wave0.dat holds event 0"},
        {{"notes.log"}, {"--to", "cdb"}, 1, "notes.log: no reader recognises this file; the formats are wavedump, cdb"},
    };
    for (const refusal& r : refusals) {
        SCOPED_TRACE(r.message);
        scratch_dir dir;
        std::filesystem::create_directory(dir.file("short"));
        std::filesystem::create_directory(dir.file("late"));
        write_file(dir.file("wave0.dat"), wavedump_file(0, 3, 10));
        write_file(dir.file("wave1.dat"), wavedump_file(1, 3, 10));
        write_file(dir.file("wave2.dat"), wavedump_file(2, 3, 10));
        write_file(dir.file("wave40.dat"), wavedump_file(40, 3, 10));
        write_file(dir.file("short/wave1.dat"), wavedump_file(1, 3, 6));
        write_file(dir.file("late/wave1.dat"), wavedump_file(1, 3, 10, 1));
        write_file(dir.file("notes.log"), "just some words\n");
        ASSERT_EQ(run_murel(joined({"generate", "in.cdb"}, small_set), dir).status, 0);
        const std::vector<std::string> before = listing(dir.path());
        const run_result result = run_murel(joined(joined({"convert"}, r.files), joined({"-o", "out"}, r.arguments)), dir);
        EXPECT_EQ(result.status, r.status);
        EXPECT_NE(result.err.find(r.message), std::string::npos) << result.err;
        EXPECT_EQ(listing(dir.path()), before);
    }
}

TEST(murel_convert, wavedump_trigger_time_tags_of_no_known_tick_leave_lh5_without_time_stamps) {
    scratch_dir dir;
    write_file(dir.file("wave0.dat"), wavedump_file(0, 3, 10));
    write_file(dir.file("wave1.dat"), wavedump_file(1, 3, 10));
    const run_result result = run_murel({"convert", "wave0.dat", "wave1.dat", "-o", "x.lh5", "--to", "lh5"}, dir);
    ASSERT_EQ(result.status, 0) << result.err;
    auto back = fmt::open(dir.file("x.lh5"));
    ASSERT_EQ(back->info().channels.size(), 2u);
    fmt::record_batch batch;
    std::size_t records = 0;
    while (back->next(batch, 100)) {
        for (std::size_t i = 0; i < batch.size(); ++i, ++records) {
            const fmt::record_header& h = batch.headers[i];
            EXPECT_FALSE(h.timestamp.has_value());
            EXPECT_EQ(batch.samples_of(i)[9], static_cast<std::int32_t>(1000 * h.channel + 10 * h.event + 9));
        }
    }
    EXPECT_EQ(records, 6u);
}

TEST(murel_convert, files_cut_off_are_converted_up_to_their_last_whole_event_unless_strict) {
    scratch_dir dir;
    write_file(dir.file("wave0.dat"), wavedump_file(0, 5, 10));
    // Channel 1 stops 7 bytes into its fourth event.
    write_file(dir.file("wave1.dat"), wavedump_file(1, 5, 10).substr(0, 3 * 44 + 7));
    const run_result cut = run_murel({"convert", "wave0.dat", "wave1.dat", "-o", "out.cdb", "--to", "cdb"}, dir);
    ASSERT_EQ(cut.status, 0) << cut.err;
    EXPECT_EQ(cut.err,
              "murel: warning: wave0.dat: the events from event 3 on are left out, as wave1.dat ends before them\n"
              "murel: warning: wave1.dat: cut off mid-record; the last 7 bytes are left out\n");
    const std::string cdb = read_file(dir.file("out.cdb"));
    ASSERT_EQ(cdb.size(), 12U + 3 * 10 * 4);
    // Event 2, sample 9: channel 0 holds 29, channel 1 holds 1029, less the offset.
    EXPECT_EQ(cdb.substr(12 + 2 * 40 + 9 * 4, 4), std::string({'\x1d', '\x80', '\x05', '\x84'}));

    const std::vector<std::string> before = listing(dir.path());
    const run_result strict = run_murel({"convert", "wave0.dat", "wave1.dat", "-o", "strict.cdb", "--to", "cdb", "--strict"}, dir);
    EXPECT_EQ(strict.status, 1);
    EXPECT_NE(strict.err.find("wave1.dat"), std::string::npos) << strict.err;
    EXPECT_EQ(listing(dir.path()), before);
}

TEST(murel_convert, options_that_do_not_fit_are_usage_errors) {
    scratch_dir dir;
    ASSERT_EQ(run_murel(joined({"generate", "in.cdb"}, small_set), dir).status, 0);
    ASSERT_EQ(run_murel(joined({"generate", "in.bin", "--format", "compass"}, small_set), dir).status, 0);
    ASSERT_EQ(run_murel(joined({"generate", "in.lh5", "--format", "lh5"}, small_set), dir).status, 0);
    ASSERT_EQ(run_murel(joined({"generate", "waves", "--format", "wavedump"}, small_set), dir).status, 0);
    const std::vector<std::string> before = listing(dir.path());
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"convert", "in.bin", "--samples", "40", "-o", "x", "--to", "cdb"}, "--samples does not apply to in.bin"},
        {{"convert", "in.lh5", "--samples", "40", "-o", "x", "--to", "cdb"}, "lh5"},
        {{"convert", "in.lh5", "--header", "12", "-o", "x", "--to", "cdb"}, "lh5"},
        {{"convert", "waves/wave0.dat", "--samples", "40", "-o", "x", "--to", "cdb"}, "--samples does not apply"},
        {{"convert", "in.cdb", "-o", "x", "--to", "nothing"}, "unknown format 'nothing'"},
        {{"convert", "in.cdb", "--format", "nothing", "-o", "x", "--to", "cdb"}, "unknown format 'nothing'"},
        {{"convert", "in.cdb", "-o", "x", "--to", "cdb", "--adc-offset", "65536"}, "--adc-offset"},
        {{"convert", "in.cdb", "--to", "cdb"}, "--output"},
        {{"generate", "x", "--format", "nothing"}, "unknown format 'nothing'"},
        {{"generate", "x", "--format", "compass", "--rate", "0"}, "--rate"},
        {{"generate", "x", "--format", "compass", "--rate", "1e-9", "--first-event", "20000000000"},
         "the time stamp of event 20000009999 does not fit"},
        {{"generate", "x", "--format", "wavedump", "--adc-offset", "-1"}, "--adc-offset"},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(message);
        const run_result result = run_murel(arguments, dir);
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_EQ(listing(dir.path()), before);
    }
}

TEST(murel_generate_format, samples_the_offset_cannot_bring_into_range_fail_the_run_on_any_threads_and_leave_nothing) {
    for (const char* threads : {"1", "3"}) {
        scratch_dir dir;
        // The baseline near -28000 stays negative without an offset.
        const run_result result = run_murel({"generate", "out", "--format", "wavedump", "--adc-offset", "0", "--truth",
                                         "truth.csv", "--events", "300", "--samples", "50", "--threads", threads},
                                        dir);
        EXPECT_EQ(result.status, 1);
        // Whichever block fails first is reported, at its first sample.
        EXPECT_NE(result.err.find("murel: generate: event "), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(", channel A, sample 0: "), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("+ 0 (--adc-offset) is outside 0 .. 65535"), std::string::npos) << result.err;
        EXPECT_EQ(listing(dir.path()), std::vector<std::string>{});
    }
}

TEST(murel_generate_format, the_sidecar_remakes_the_format_rate_and_offset_unless_the_command_line_says_otherwise) {
    scratch_dir dir;
    const run_result made =
        run_murel(joined({"generate", "run.bin", "--format", "compass", "--rate", "2.5", "--adc-offset", "4096", "--bits", "12"}, small_set), dir);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string sidecar = read_file(dir.file("run.bin.model"));
    EXPECT_NE(sidecar.find("\nformat = compass\nrate = 2.5\nadc-offset = 4096\n"), std::string::npos) << sidecar;
    ASSERT_EQ(run_murel({"generate", "again.bin", "--model", "run.bin.model"}, dir).status, 0);
    EXPECT_TRUE(read_file(dir.file("again.bin")) == read_file(dir.file("run.bin")));
    EXPECT_EQ(read_file(dir.file("again.bin.model")), sidecar);

    ASSERT_EQ(run_murel({"generate", "other.lh5", "--model", "run.bin.model", "--format", "lh5", "--rate", "1000"}, dir).status, 0);
    EXPECT_EQ(fmt::detect(dir.file("other.lh5")).name, "lh5");
    const std::string other = read_file(dir.file("other.lh5.model"));
    EXPECT_NE(other.find("\nformat = lh5\nadc-offset = 4096\n"), std::string::npos) << other;
    EXPECT_EQ(other.find("rate ="), std::string::npos) << other;

    const struct {
        std::string line, message;
    } refused[] = {
        {"rate = 0", "bad.model:1: rate = 0: not a positive number"},
        {"rate = fast", "bad.model:1: rate = fast: not a positive number"},
        {"adc-offset = 65536", "bad.model:1: adc-offset = 65536: not a whole number 0 to 65535"},
        {"adc-offset = 1.5", "bad.model:1: adc-offset = 1.5: not a whole number 0 to 65535"},
        {"format = nothing", "unknown format 'nothing'"},
    };
    for (const auto& r : refused) {
        write_file(dir.file("bad.model"), r.line + "\n");
        const run_result result = run_murel(joined({"generate", "bad.out", "--model", "bad.model"}, small_set), dir);
        EXPECT_EQ(result.status, 2) << r.line;
        EXPECT_NE(result.err.find(r.message), std::string::npos) << result.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("bad.out"))) << r.line;
    }
}
