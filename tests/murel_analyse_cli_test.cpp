// Runs murel analyse and murel merge end to end on data made with the generator's engine.
#include "format.h"
#include "murel_gen.h"

#include "program_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <functional>
#include <limits>

using nlohmann::json;
using test_support::lines;
using test_support::read_file;
using test_support::run_result;
using test_support::scratch_dir;

namespace {

run_result run_murel(const std::vector<std::string>& arguments) { return test_support::run(MUREL_PATH, arguments, "."); }

// The names in `dir`, sorted; none if it does not exist.
std::vector<std::string> listing(const std::string& dir) {
    return std::filesystem::exists(dir) ? test_support::listing(dir) : std::vector<std::string>{};
}

json summary_of(const std::string& dir) { return json::parse(read_file(dir + "/summary.json")); }

// Events of the generator's default model with their truth rows, from a generator state.
struct data_set {
    std::vector<std::string> events;  // the bytes of each event
    std::vector<std::string> truth;   // "event,channel,..." rows, A then B per event
};

data_set default_model(int count, std::int32_t state) {
    murel::generator g;
    g.generator_state = state;
    data_set data;
    std::vector<double> noise(2 * murel::samples_per_event), a(murel::samples_per_event), b(murel::samples_per_event);
    for (int e = 0; e < count; ++e) {
        murel::pulse_params p, q;
        murel::generate_params(g, p);
        murel::generate_params(g, q);
        g.normals(noise.data(), 2 * murel::samples_per_event);
        murel::pulse_samples(p, a.data());
        murel::pulse_samples(q, b.data());
        std::string bytes;
        for (int j = 0; j < murel::samples_per_event; ++j)
            for (const std::int16_t v : {murel::stored_sample(noise[2 * j], a[j]), murel::stored_sample(noise[2 * j + 1], b[j])}) {
                bytes.push_back(static_cast<char>(static_cast<std::uint16_t>(v) & 0xFF));
                bytes.push_back(static_cast<char>(static_cast<std::uint16_t>(v) >> 8));
            }
        data.events.push_back(bytes);
        char row[256];
        for (int c = 0; c < 2; ++c) {
            const murel::pulse_params& r = c == 0 ? p : q;
            std::snprintf(row, sizeof row, "%d,%c,-1,%.17g,%.17g,%.17g,%.17g\n", e, c == 0 ? 'A' : 'B', r[0], r[1], r[2], r[3]);
            data.truth.push_back(row);
        }
    }
    return data;
}

// Writes events first .. last - 1 of `data` as a data file and a truth table.
void write_piece(const data_set& data, int first, int last, const std::string& path, const std::string& truth_path) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(12, '\0');
    for (int e = first; e < last; ++e) out << data.events[e];
    std::ofstream truth(truth_path);
    truth << "event,channel,component,amplitude,centre,width,offset\n";
    for (int e = first; e < last; ++e) truth << data.truth[2 * e] << data.truth[2 * e + 1];
}

bool generate_is_built() {
    const run_result help = run_murel({"generate", "--help"});
    return help.status == 0 && help.out.find("--truth") != std::string::npos;
}

}  // namespace

TEST(murel_analyse, pieces_merged_give_exactly_the_result_of_one_run) {
    scratch_dir dir;
    const data_set data = default_model(2400, 12345);
    write_piece(data, 0, 2400, dir.file("all.cdb"), dir.file("all.csv"));
    const int cuts[] = {0, 700, 1500, 2400};
    for (int k = 0; k < 3; ++k)
        write_piece(data, cuts[k], cuts[k + 1], dir.file("piece" + std::to_string(k) + ".cdb"), dir.file("piece" + std::to_string(k) + ".csv"));

    ASSERT_EQ(run_murel({"analyse", dir.file("all.cdb"), "--truth", dir.file("all.csv"), "-o", dir.file("one"), "--threads", "2"}).status, 0);
    for (int k = 0; k < 3; ++k) {
        const std::string piece = "piece" + std::to_string(k);
        ASSERT_EQ(run_murel({"analyse", dir.file(piece + ".cdb"), "--truth", dir.file(piece + ".csv"), "-o", dir.file(piece), "--threads", "1"}).status, 0);
    }
    const run_result merged = run_murel({"merge", dir.file("piece0"), dir.file("piece1"), dir.file("piece2"), "-o", dir.file("merged")});
    ASSERT_EQ(merged.status, 0) << merged.err;

    for (const char* file : {"spectrum.txt", "map.txt", "map1.ppm", "residuals.txt", "gate-0.txt", "gate-1.txt"})
        EXPECT_EQ(read_file(dir.file("one/") + file), read_file(dir.file("merged/") + file)) << file;
    json one = summary_of(dir.file("one")), sum = summary_of(dir.file("merged"));
    EXPECT_EQ(one["channels"], sum["channels"]);
    EXPECT_EQ(one["gates"], sum["gates"]);
    EXPECT_EQ(sum["files"], json({dir.file("piece0.cdb"), dir.file("piece1.cdb"), dir.file("piece2.cdb")}));
    // The default model has two lines in each channel, and the summary names them on standard output.
    for (const char* channel : {"A", "B"}) EXPECT_EQ(one["channels"][channel]["lines"].size(), 2u) << channel;
    EXPECT_NE(merged.out.find("channel A: 2400 records"), std::string::npos) << merged.out;
    EXPECT_EQ(listing(dir.file("merged")), listing(dir.file("one")));
}

TEST(murel_analyse, usage_errors_exit_with_status_2) {
    scratch_dir dir;
    std::ofstream(dir.file("ok.cdb"), std::ios::binary) << std::string(12 + 4000, '\0');
    const std::string in = dir.file("ok.cdb"), out = dir.file("out");
    const std::vector<std::vector<std::string>> cases = {
        {"analyse", in},
        {"analyse", "-o", out},
        {"analyse", in, "-o", out, "--samples", "0"},
        {"analyse", in, "-o", out, "--header", "-5"},
        {"analyse", in, "-o", out, "--range", "100", "10"},
        {"analyse", in, "-o", out, "--calibrate", "0", "5"},
        {"analyse", in, "-o", out, "--calibrate", "1"},
        {"analyse", in, "-o", out, "--calibrate", "1", "1e300"},
        {"analyse", in, "-o", out, "--range", "-1e308", "1e308"},
        {"analyse", in, "-o", out, "--map-range", "-1e308", "1e308"},
        {"analyse", in, "-o", out, "--map-bins", "2"},
        {"merge", dir.path().string()},
        {"analyse", in, "-o", ""},
        {"merge", dir.path().string(), "-o", ""},
        {"plot", in, "--records", "0", "-o", ""},
        {"convert", in, "--to", "lh5", "-o", ""},
        {"analyse", in, "-o", out, "--truth", ""},
        {"generate", out + ".cdb", "--truth", ""},
    };
    for (const auto& arguments : cases) {
        const run_result r = run_murel(arguments);
        EXPECT_EQ(r.status, 2) << arguments.back();
        EXPECT_EQ(r.err.rfind("murel: ", 0), 0u) << r.err;
        if (arguments.back().empty()) {
            EXPECT_NE(r.err.find(": an empty name"), std::string::npos) << r.err;
        }
        EXPECT_TRUE(listing(out).empty());
    }
    EXPECT_FALSE(std::filesystem::exists(out + ".cdb"));
}

TEST(murel_analyse, an_output_directory_that_is_a_file_is_named_and_kept) {
    scratch_dir dir;
    std::ofstream(dir.file("ok.cdb"), std::ios::binary) << std::string(12 + 4000, '\0');
    std::ofstream(dir.file("taken")) << "mine\n";
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"analyse", dir.file("ok.cdb"), "-o", dir.file("taken")},
          {"merge", dir.path().string(), "-o", dir.file("taken")},
          {"plot", dir.file("ok.cdb"), "--records", "0", "-o", dir.file("taken")},
          {"analyse", dir.file("ok.cdb"), "-o", dir.file("taken") + "/below"}}) {
        const run_result r = run_murel(arguments);
        EXPECT_EQ(r.status, 1) << arguments.back();
        EXPECT_NE(r.err.find("murel: cannot write the outputs into " + arguments.back() + ": Not a directory"), std::string::npos) << r.err;
        EXPECT_EQ(read_file(dir.file("taken")), "mine\n");
    }
}

TEST(murel_analyse, bad_resource_and_calibration_values_are_named_or_capped) {
    scratch_dir dir;
    std::ofstream(dir.file("ok.cdb"), std::ios::binary) << std::string(12 + 4000, '\0');
    const std::string in = dir.file("ok.cdb"), out = dir.file("out");
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    } cases[] = {
        {{"--calibrate", "1", "nan"}, 2, "murel: the calibration offset must be finite, not nan\n"},
        {{"--calibrate", "inf", "0"}, 2, "murel: the calibration factor must be positive and finite, not inf\n"},
        {{"--threads", "4294967295"}, 0, "murel: note: --threads 4294967295 capped at the "},
        {{"--threads", "1000"}, 0, "murel: note: --threads 1000 capped at the "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"analyse", in, "-o", out};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const run_result r = run_murel(arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments[1] << r.err;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    }
}

TEST(murel_analyse, a_refused_input_fails_the_run_and_leaves_nothing) {
    scratch_dir dir;
    std::ofstream(dir.file("good.cdb"), std::ios::binary) << std::string(12 + 4000, '\0');
    std::ofstream(dir.file("short.cdb"), std::ios::binary) << std::string(12 + 4001, '\0');
    std::ofstream(dir.file("truth.csv")) << "event,channel,component,amplitude,centre,width,offset\n";
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{dir.file("short.cdb")}, dir.file("short.cdb") + ": its size of 4013 bytes is not a 12-byte header plus whole events of 4000 bytes"},
        {{dir.file("missing.cdb")}, "cannot open " + dir.file("missing.cdb")},
        {{dir.path().string()}, "cannot read " + dir.path().string()},
        {{"--truth", dir.file("truth.csv")}, dir.file("truth.csv") + " ends at line 1, before the data do"},
        {{"--header", "13"}, "good.cdb: its size of 4012 bytes is not a 13-byte header"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"analyse", dir.file("good.cdb")};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        arguments.insert(arguments.end(), {"--records", "-o", dir.file("out")});
        const run_result r = run_murel(arguments);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err.rfind("murel: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(listing(dir.file("out")).empty());
    }
}

TEST(murel_analyse, records_and_calibration) {
    scratch_dir dir;
    const data_set data = default_model(1500, 777);
    write_piece(data, 0, 1500, dir.file("d.cdb"), dir.file("d.csv"));
    ASSERT_EQ(run_murel({"analyse", dir.file("d.cdb"), "--records", "-o", dir.file("raw")}).status, 0);
    const run_result calibrated = run_murel({"analyse", dir.file("d.cdb"), "--calibrate", "0.5", "100", "-o", dir.file("cal")});
    ASSERT_EQ(calibrated.status, 0) << calibrated.err;

    const auto rows = lines(read_file(dir.file("raw/records.csv")));
    ASSERT_EQ(rows.size(), 1 + 2 * 1500u);
    EXPECT_EQ(rows[0], "file,event,channel,baseline,amplitude,centre,width,flag,timestamp,daq_energy,baseline_rms,baseline_slope,trap_energy,trap_max,charge,charge_short,psd,t_leading,t_cfd,rise_time,chi2");
    EXPECT_EQ(rows[3].rfind(dir.file("d.cdb") + ",1,A,", 0), 0u) << rows[3];
    const json raw = summary_of(dir.file("raw"));
    std::size_t flagged = 0;
    for (const std::string& row : rows) flagged += row.find(",ok") == std::string::npos;
    std::int64_t counted = 0;
    for (const char* channel : {"A", "B"})
        for (const char* flag : {"clipped", "no_pulse", "fit_failed", "poor_fit"}) counted += raw["channels"][channel][flag].get<std::int64_t>();
    EXPECT_EQ(flagged - 1, static_cast<std::size_t>(counted));
    EXPECT_EQ(raw["flagged"].size(), std::min<std::size_t>(32, counted));

    const json cal = summary_of(dir.file("cal"));
    EXPECT_EQ(cal["unit"], "calibrated");
    EXPECT_EQ(raw["unit"], "ADC");
    for (const char* channel : {"A", "B"}) {
        const json& lines_raw = raw["channels"][channel]["lines"];
        const json& lines_cal = cal["channels"][channel]["lines"];
        ASSERT_EQ(lines_raw.size(), lines_cal.size());
        for (std::size_t k = 0; k < lines_raw.size(); ++k) {
            EXPECT_NEAR(lines_cal[k]["position"].get<double>(), 0.5 * lines_raw[k]["position"].get<double>() + 100, 1e-6);
            EXPECT_NEAR(lines_cal[k]["fwhm"].get<double>(), 0.5 * lines_raw[k]["fwhm"].get<double>(), 1e-6);
        }
    }
    EXPECT_EQ(lines(read_file(dir.file("cal/spectrum.txt")))[1].rfind("105.000000 ", 0), 0u);

    // A later run into the same directory leaves none of the earlier run's extra outputs behind.
    std::ofstream(dir.file("raw/gate-2.txt")) << "stale\n";
    std::ofstream(dir.file("raw/residuals.txt")) << "stale\n";
    std::ofstream(dir.file("empty.cdb"), std::ios::binary) << std::string(12, '\0');
    // The earlier run's analysis.h5 too, when this one writes none.
    ASSERT_EQ(run_murel({"analyse", dir.file("empty.cdb"), "--no-hdf5", "-o", dir.file("raw")}).status, 0);
    EXPECT_EQ(listing(dir.file("raw")), std::vector<std::string>({"map.txt", "map1.ppm", "spectrum.txt", "summary.json"}));
}

TEST(murel_analyse, an_interrupted_run_leaves_nothing_and_ends_by_the_signal) {
    scratch_dir dir;
    // Far more work than the moment before the interrupt.
    const data_set data = default_model(40000, 99);
    write_piece(data, 0, 40000, dir.file("d.cdb"), dir.file("d.csv"));
    std::vector<std::string> arguments{MUREL_PATH, "analyse", dir.file("d.cdb")};
    arguments.insert(arguments.end(), {"--records", "-o", dir.file("out")});
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1), ::dup2(null, 2);
        ::execv(MUREL_PATH, argv.data());
        ::_exit(127);
    }
    // Wait until the run has begun writing records.csv, then interrupt it.
    for (int i = 0; i < 2000 && listing(dir.file("out")).empty(); ++i) ::usleep(1000);
    ::kill(child, SIGINT);
    int status = 0;
    ::waitpid(child, &status, 0);
    // Ended by the signal itself, so that a calling shell stops as well.
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    EXPECT_TRUE(listing(dir.file("out")).empty());
}

TEST(murel_merge, refuses_different_binnings_naming_the_directories) {
    scratch_dir dir;
    std::ofstream(dir.file("d.cdb"), std::ios::binary) << std::string(12, '\0');
    ASSERT_EQ(run_murel({"analyse", dir.file("d.cdb"), "-o", dir.file("fine")}).status, 0);
    ASSERT_EQ(run_murel({"analyse", dir.file("d.cdb"), "--bins", "3000", "-o", dir.file("coarse")}).status, 0);
    const run_result r = run_murel({"merge", dir.file("fine"), dir.file("coarse"), "-o", dir.file("sum")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dir.file("fine") + " and " + dir.file("coarse") + " have different binnings"), std::string::npos) << r.err;
    EXPECT_TRUE(listing(dir.file("sum")).empty());
    EXPECT_EQ(run_murel({"merge", dir.file("missing"), "-o", dir.file("sum")}).status, 1);
    // An input that names the output before the merge makes it is read as it, not locked against it.
    const run_result into_itself = run_murel({"merge", dir.file("fine"), dir.file("new"), "-o", dir.file("new")});
    EXPECT_EQ(into_itself.status, 1);
    EXPECT_EQ(into_itself.err, "murel: cannot read " + dir.file("new") + "/summary.json: No such file or directory\n");
    const run_result twice = run_murel({"merge", dir.file("fine"), dir.file("coarse"), dir.file("fine/."), "-o", dir.file("sum")});
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find(dir.file("fine") + " and " + dir.file("fine/.") + " are the same analysis"), std::string::npos) << twice.err;
    EXPECT_TRUE(listing(dir.file("sum")).empty());

    std::ofstream(dir.file("t.csv")) << "event,channel,component,amplitude,centre,width,offset\n";
    ASSERT_EQ(run_murel({"analyse", dir.file("d.cdb"), "--truth", dir.file("t.csv"), "-o", dir.file("truth")}).status, 0);
    const run_result mixed = run_murel({"merge", dir.file("fine"), dir.file("truth"), "-o", dir.file("sum")});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_NE(mixed.err.find(dir.file("truth") + " was compared with a truth table and " + dir.file("fine") + " was not"),
              std::string::npos) << mixed.err;
    EXPECT_TRUE(listing(dir.file("sum")).empty());
}

namespace {

struct truth_row {
    double amplitude, centre, width, offset;
};

std::vector<truth_row> read_truth(const std::string& path) {
    std::vector<truth_row> rows;
    auto text = lines(read_file(path));
    // After the comment naming the data set and the header.
    for (std::size_t i = 2; i < text.size(); ++i) {
        truth_row r{};
        int event = 0, component = 0;
        char channel = 0;
        EXPECT_EQ(std::sscanf(text[i].c_str(), "%d,%c,%d,%lf,%lf,%lf,%lf", &event, &channel, &component, &r.amplitude, &r.centre,
                              &r.width, &r.offset), 7);
        rows.push_back(r);
    }
    return rows;
}

// Records whose stored samples are not the pulse plus plausible noise (they wrapped) or sit at a rail.
std::array<std::int64_t, 2> clipped_by_truth(const std::string& data_path, const std::vector<truth_row>& truth, int samples) {
    const std::string bytes = read_file(data_path);
    std::array<std::int64_t, 2> clipped{};
    for (std::size_t record = 0; record < truth.size(); ++record) {
        const truth_row& t = truth[record];
        const std::size_t event = record / 2, channel = record % 2;
        bool bad = false;
        for (int j = 0; j < samples && !bad; ++j) {
            const std::size_t at = 12 + (event * samples + j) * 4 + channel * 2;
            const auto stored = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1]) << 8);
            const double d = (j - t.centre) / t.width;
            const double model = t.amplitude * std::exp(-d * d) + t.offset;
            bad = std::abs(stored - model) > 10000 || stored == -32768 || stored == 32767;
        }
        clipped[channel] += bad;
    }
    return clipped;
}

struct line_target {
    double position, fwhm;
};

void check_accuracy(const std::string& dir, const std::vector<std::string>& generate_arguments, int samples,
                    const line_target (&targets)[2]) {
    std::vector<std::string> generate{"generate", dir + "/data.cdb", "--truth", dir + "/truth.csv"};
    generate.insert(generate.end(), generate_arguments.begin(), generate_arguments.end());
    const run_result made = run_murel(generate);
    ASSERT_EQ(made.status, 0) << made.err;
    const run_result analysed = run_murel({"analyse", dir + "/data.cdb", "--samples", std::to_string(samples), "--truth",
                                       dir + "/truth.csv", "-o", dir + "/out"});
    ASSERT_EQ(analysed.status, 0) << analysed.err;
    std::cout << analysed.out;
    const json summary = summary_of(dir + "/out");
    const auto truth = read_truth(dir + "/truth.csv");
    const auto clipped = clipped_by_truth(dir + "/data.cdb", truth, samples);
    const char* const names[2] = {"A", "B"};
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(std::string("channel ") + names[c]);
        const json& channel = summary["channels"][names[c]];
        EXPECT_EQ(channel["clipped"].get<std::int64_t>(), clipped[c]);
        EXPECT_EQ(channel["no_pulse"].get<std::int64_t>(), 0);
        EXPECT_EQ(channel["fit_failed"].get<std::int64_t>(), 0);
        EXPECT_LE(channel["residual_rms"].get<double>(), 5.0);
        ASSERT_EQ(channel["lines"].size(), 2u);
        for (int k = 0; k < 2; ++k) {
            const json& line = channel["lines"][k];
            EXPECT_NEAR(line["position"].get<double>(), targets[k].position, 0.001 * targets[k].position);
            EXPECT_NEAR(line["fwhm"].get<double>(), targets[k].fwhm, 0.06 * targets[k].fwhm);
            EXPECT_NEAR(line["fwhm_halfmax"].get<double>(), targets[k].fwhm, 0.25 * targets[k].fwhm);
            EXPECT_LE(line["residual_rms"].get<double>(), 5.0);
            EXPECT_LE(std::abs(line["residual_bias"].get<double>()), 2.0);
        }
    }
}

}  // namespace

TEST(murel_analyse, accuracy_on_the_default_data_set) {
    if (!generate_is_built()) GTEST_SKIP() << "murel generate is not built";
    scratch_dir dir;
    // The model's FWHM is 2.3548 times the relative spread times the position.
    check_accuracy(dir.path().string(), {}, 1000, {{12775, 2.3548 * 0.003 * 12775}, {31863, 2.3548 * 0.0015 * 31863}});
}

TEST(murel_analyse, accuracy_on_a_second_model) {
    if (!generate_is_built()) GTEST_SKIP() << "murel generate is not built";
    scratch_dir dir;
    check_accuracy(dir.path().string(),
                   {"--seed", "7", "--events", "4000", "--samples", "600", "--line", "5000,0.004,0.4", "--line", "20000,0.002,0.3",
                    "--continuum", "2000,30000", "--centre", "250,0.01", "--width", "40,0.001", "--offset", "1500,0.1", "--noise", "8"},
                   600, {{5000, 2.3548 * 0.004 * 5000}, {20000, 2.3548 * 0.002 * 20000}});
}

namespace {

// Sample j of channel c (0 A, 1 B) of event e of `data`, moved up by `shift`.
std::vector<std::int32_t> samples_of(const data_set& data, std::size_t event, int channel, std::int32_t shift) {
    const std::string& bytes = data.events[event];
    std::vector<std::int32_t> out(bytes.size() / 4);
    for (std::size_t j = 0; j < out.size(); ++j) {
        const std::size_t at = 4 * j + 2 * static_cast<std::size_t>(channel);
        out[j] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1]) << 8) + shift;
    }
    return out;
}

struct written_record {
    std::size_t channel;
    std::uint64_t event;
    std::optional<std::uint64_t> timestamp;
    std::vector<std::int32_t> samples;
};

// Writes records of unsigned 16-bit channels "0", "1", ... with a format's own writer.
void write_format(const std::string& format, const std::string& path, std::size_t channels, const std::vector<written_record>& records,
                  const std::vector<std::string>& names = {}) {
    murel::formats::writer_options options;
    for (std::size_t c = 0; c < channels; ++c) {
        murel::formats::channel_info channel;
        channel.name = c < names.size() ? names[c] : std::to_string(c);
        channel.unsigned_samples = true;
        channel.tick_seconds = 1e-12;
        options.channels.push_back(channel);
    }
    options.samples = murel::samples_per_event;
    const auto writer = murel::formats::find(format).create(path, options);
    murel::formats::record_batch batch;
    for (const written_record& r : records) batch.append({r.channel, r.event, r.timestamp, std::nullopt}, r.samples.data(), r.samples.size());
    writer->write(batch);
    writer->commit();
}

// Events first .. last - 1 of `data` as channels 0 (A) and 1 (B), on an unsigned digitiser's range.
std::vector<written_record> two_channels(const data_set& data, int first, int last) {
    std::vector<written_record> records;
    for (int e = first; e < last; ++e)
        for (int c = 0; c < 2; ++c)
            records.push_back({static_cast<std::size_t>(c), static_cast<std::uint64_t>(e - first), std::nullopt,
                               samples_of(data, static_cast<std::size_t>(e), c, 32768)});
    return records;
}

double map_entries(const std::string& dir) {
    double sum = 0;
    for (const std::string& row : lines(read_file(dir + "/map.txt"))) {
        double x = 0, y = 0, count = 0;
        if (std::sscanf(row.c_str(), "%lf %lf %lf", &x, &y, &count) == 3) sum += count;
    }
    return sum;
}

void set_summary(const std::string& dir, const std::function<void(json&)>& change) {
    json summary = summary_of(dir);
    change(summary);
    std::ofstream(dir + "/summary.json", std::ios::trunc) << summary.dump(1);
}

// Replaces line `number` (from 1) of `name` in the analysis `dir` with `text`; the summary loses
// its list of outputs, as one written before sets were listed, which only the counts can check.
void replace_line(const std::string& dir, const std::string& name, std::size_t number, const std::string& text) {
    auto rows = lines(read_file(dir + "/" + name));
    ASSERT_LT(number - 1, rows.size());
    rows[number - 1] = text;
    std::ofstream out(dir + "/" + name, std::ios::trunc);
    for (const std::string& row : rows) out << row << '\n';
    set_summary(dir, [](json& s) { s.erase("outputs"); });
}

}  // namespace

TEST(murel_analyse_formats, a_wavedump_pair_gives_the_lines_of_the_cdb_file) {
    scratch_dir dir;
    const data_set data = default_model(2000, 4242);
    write_piece(data, 0, 2000, dir.file("d.cdb"), dir.file("d.csv"));
    write_format("wavedump", dir.file("wave"), 2, two_channels(data, 0, 2000));
    ASSERT_EQ(run_murel({"analyse", dir.file("d.cdb"), "--truth", dir.file("d.csv"), "-o", dir.file("cdb")}).status, 0);
    const run_result r = run_murel({"analyse", dir.file("wave/wave0.dat"), dir.file("wave/wave1.dat"), "--truth", dir.file("d.csv"),
                                    "--records", "-o", dir.file("wd")});
    ASSERT_EQ(r.status, 0) << r.err;
    const json cdb = summary_of(dir.file("cdb")), wd = summary_of(dir.file("wd"));
    EXPECT_EQ(wd["format"], "wavedump");
    EXPECT_EQ(wd["channel_names"], json({"0", "1"}));
    EXPECT_EQ(wd["pair"]["by"], "event");
    EXPECT_EQ(wd["header_bytes"], nullptr);
    for (const auto& [from, to] : {std::pair{"A", "0"}, std::pair{"B", "1"}}) {
        SCOPED_TRACE(to);
        const json &a = cdb["channels"][from], &b = wd["channels"][to];
        EXPECT_EQ(b["polarity"], "positive");
        for (const char* count : {"records", "clipped", "no_pulse", "fit_failed"}) EXPECT_EQ(a[count], b[count]) << count;
        ASSERT_EQ(a["lines"].size(), 2u);
        ASSERT_EQ(b["lines"].size(), 2u);
        for (int k = 0; k < 2; ++k) {
            EXPECT_NEAR(a["lines"][k]["position"].get<double>(), b["lines"][k]["position"].get<double>(), 1e-6);
            EXPECT_NEAR(a["lines"][k]["counts"].get<double>(), b["lines"][k]["counts"].get<double>(), 1e-6);
        }
        EXPECT_NEAR(a["residual_rms"].get<double>(), b["residual_rms"].get<double>(), 1e-6);
    }
    EXPECT_EQ(cdb["gates"].size(), wd["gates"].size());
    EXPECT_EQ(map_entries(dir.file("cdb")), map_entries(dir.file("wd")));
    // The trigger time tag is the time stamp; WaveDump stores no energy of its own.
    const auto rows = lines(read_file(dir.file("wd/records.csv")));
    ASSERT_EQ(rows.size(), 1 + 2 * 2000u);
    EXPECT_EQ(rows[0], "file,event,channel,baseline,amplitude,centre,width,flag,timestamp,daq_energy,baseline_rms,baseline_slope,trap_energy,trap_max,charge,charge_short,psd,t_leading,t_cfd,rise_time,chi2");
    EXPECT_EQ(rows[2].rfind(dir.file("wave/wave1.dat") + ",0,1,", 0), 0u) << rows[2];
    std::vector<std::string> fields;
    std::istringstream row(rows[2].substr(dir.file("wave/wave1.dat").size() + 1));
    for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
    ASSERT_GE(fields.size(), 9u) << rows[2];
    EXPECT_EQ(fields[7], "0") << rows[2];  // timestamp
    EXPECT_EQ(fields[8], "") << rows[2];   // daq_energy
}

TEST(murel_analyse_formats, one_channel_has_no_map_and_five_channels_merge_exactly) {
    scratch_dir dir;
    const data_set data = default_model(2500, 99);
    // Five channels, each taking the records of the data set in turn.
    std::vector<written_record> all;
    for (int e = 0; e < 1000; ++e)
        for (int c = 0; c < 5; ++c) {
            const int record = 5 * e + c;
            all.push_back({static_cast<std::size_t>(c), static_cast<std::uint64_t>(e), std::nullopt,
                           samples_of(data, static_cast<std::size_t>(record / 2), record % 2, 32768)});
        }
    write_format("wavedump", dir.file("all"), 5, all);
    write_format("wavedump", dir.file("first"), 5, {all.begin(), all.begin() + 5 * 400});
    write_format("wavedump", dir.file("second"), 5, {all.begin() + 5 * 400, all.end()});
    const auto files = [&](const std::string& set) {
        std::vector<std::string> paths;
        for (int c = 0; c < 5; ++c) paths.push_back(dir.file(set + "/wave" + std::to_string(c) + ".dat"));
        return paths;
    };
    const auto analyse = [&](const std::string& set, std::vector<std::string> extra) {
        std::vector<std::string> arguments{"analyse"};
        for (const std::string& path : files(set)) arguments.push_back(path);
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return run_murel(arguments);
    };
    ASSERT_EQ(analyse("all", {"--pair", "3,1", "-o", dir.file("one")}).status, 0);
    ASSERT_EQ(analyse("first", {"--pair", "3,1", "-o", dir.file("p1")}).status, 0);
    ASSERT_EQ(analyse("second", {"--pair", "3,1", "-o", dir.file("p2"), "--threads", "1"}).status, 0);
    const run_result merged = run_murel({"merge", dir.file("p1"), dir.file("p2"), "-o", dir.file("merged")});
    ASSERT_EQ(merged.status, 0) << merged.err;
    json one = summary_of(dir.file("one")), sum = summary_of(dir.file("merged"));
    EXPECT_EQ(one["channel_names"], json({"0", "1", "2", "3", "4"}));
    EXPECT_EQ(one["pair"]["channels"], json({"3", "1"}));
    EXPECT_EQ(one["channels"], sum["channels"]);
    EXPECT_EQ(one["gates"], sum["gates"]);
    EXPECT_EQ(one["channels"]["4"]["records"], 1000);
    for (const char* file : {"spectrum.txt", "map.txt", "map1.ppm", "gate-0.txt"})
        EXPECT_EQ(read_file(dir.file("one/") + file), read_file(dir.file("merged/") + file)) << file;
    EXPECT_EQ(listing(dir.file("merged")), listing(dir.file("one")));

    // One channel alone: its spectrum, and a summary that says there is no map.
    const run_result single = run_murel({"analyse", files("all")[2], "-o", dir.file("single")});
    ASSERT_EQ(single.status, 0) << single.err;
    EXPECT_EQ(listing(dir.file("single")), std::vector<std::string>({"analysis.h5", "spectrum.txt", "summary.json"}));
    const json alone = summary_of(dir.file("single"));
    EXPECT_EQ(alone["pair"], nullptr);
    EXPECT_EQ(alone["gates"], json::array());
    EXPECT_EQ(alone["channels"]["2"], one["channels"]["2"]);
    EXPECT_NE(single.out.find("one channel: no map and no gates"), std::string::npos) << single.out;
    // Pieces of different channels do not add up.
    const run_result mixed = run_murel({"merge", dir.file("p1"), dir.file("single"), "-o", dir.file("bad")});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_NE(mixed.err.find("different channels: 0,1,2,3,4 and 2"), std::string::npos) << mixed.err;
    EXPECT_TRUE(listing(dir.file("bad")).empty());
}

TEST(murel_analyse_formats, pulses_going_down_are_found_and_reported_negative) {
    if (!generate_is_built()) GTEST_SKIP() << "murel generate is not built";
    scratch_dir dir;
    ASSERT_EQ(run_murel({"generate", dir.file("down.cdb"), "--events", "1500", "--line", "-10000,0.003,1", "--offset", "5000,0.1"}).status, 0);
    const run_result r = run_murel({"analyse", dir.file("down.cdb"), "-o", dir.file("auto")});
    ASSERT_EQ(r.status, 0) << r.err;
    const json summary = summary_of(dir.file("auto"));
    for (const char* channel : {"A", "B"}) {
        SCOPED_TRACE(channel);
        const json& c = summary["channels"][channel];
        EXPECT_EQ(c["polarity"], "negative");
        ASSERT_EQ(c["lines"].size(), 1u);
        EXPECT_NEAR(c["lines"][0]["position"].get<double>(), 10000, 10);
        EXPECT_LE(c["no_pulse"].get<std::int64_t>() + c["fit_failed"].get<std::int64_t>(), 5);
    }
    // Today's data go up, and a polarity given is taken as given.
    ASSERT_EQ(run_murel({"analyse", dir.file("down.cdb"), "--polarity", "positive", "-o", dir.file("up")}).status, 0);
    EXPECT_EQ(summary_of(dir.file("up"))["channels"]["A"]["polarity"], "positive");
}

TEST(murel_analyse_formats, list_mode_records_pair_by_time_stamp_within_the_coincidence) {
    scratch_dir dir;
    const data_set data = default_model(600, 5);
    // Channel 1 triggers 40 ns after channel 0; events are a millisecond apart.
    std::vector<written_record> records = two_channels(data, 0, 600);
    for (written_record& r : records) r.timestamp = r.event * 1000000000 + r.channel * 40000;
    write_format("compass", dir.file("list.BIN"), 2, records);
    write_piece(data, 0, 600, dir.file("d.cdb"), dir.file("d.csv"));
    ASSERT_EQ(run_murel({"analyse", dir.file("d.cdb"), "-o", dir.file("cdb")}).status, 0);
    ASSERT_EQ(run_murel({"analyse", dir.file("list.BIN"), "-o", dir.file("wide")}).status, 0);
    ASSERT_EQ(run_murel({"analyse", dir.file("list.BIN"), "--coincidence", "30", "-o", dir.file("narrow")}).status, 0);
    const json wide = summary_of(dir.file("wide"));
    EXPECT_EQ(wide["format"], "compass");
    EXPECT_EQ(wide["pair"], json({{"by", "time stamp"}, {"channels", {"0", "1"}}, {"coincidence_ns", 100.0}}));
    EXPECT_EQ(wide["channels"]["0"]["tick_seconds"], 1e-12);
    EXPECT_GT(map_entries(dir.file("cdb")), 500);
    EXPECT_EQ(map_entries(dir.file("wide")), map_entries(dir.file("cdb")));
    EXPECT_EQ(map_entries(dir.file("narrow")), 0);
}

TEST(murel_analyse_formats, a_cut_off_file_is_read_to_its_last_whole_event_unless_strict) {
    scratch_dir dir;
    const data_set data = default_model(300, 17);
    write_format("wavedump", dir.file("w"), 2, two_channels(data, 0, 300));
    // The acquisition stopped while writing the last event of channel 1.
    const std::string whole = read_file(dir.file("w/wave1.dat"));
    std::ofstream(dir.file("w/wave1.dat"), std::ios::binary | std::ios::trunc) << whole.substr(0, whole.size() - 1000);
    const std::vector<std::string> inputs{"analyse", dir.file("w/wave0.dat"), dir.file("w/wave1.dat")};
    auto arguments = inputs;
    arguments.insert(arguments.end(), {"-o", dir.file("out")});
    const run_result r = run_murel(arguments);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(dir.file("w/wave1.dat")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(std::to_string(2024 - 1000) + " bytes"), std::string::npos) << r.err;
    const json summary = summary_of(dir.file("out"));
    EXPECT_EQ(summary["cut_off"], json({{{"file", dir.file("w/wave1.dat")}, {"trailing_bytes", 1024}}}));
    EXPECT_EQ(summary["channels"]["0"]["records"], 300);
    EXPECT_EQ(summary["channels"]["1"]["records"], 299);

    arguments = inputs;
    arguments.insert(arguments.end(), {"--strict", "-o", dir.file("strict")});
    const run_result strict = run_murel(arguments);
    EXPECT_EQ(strict.status, 1);
    EXPECT_NE(strict.err.find(dir.file("w/wave1.dat")), std::string::npos) << strict.err;
    EXPECT_TRUE(listing(dir.file("strict")).empty());
}

TEST(murel_analyse_formats, refused_inputs_and_options) {
    scratch_dir dir;
    const data_set data = default_model(50, 3);
    write_format("wavedump", dir.file("w"), 2, two_channels(data, 0, 50));
    // A corrupt event header in the middle of channel 0's file.
    std::string bytes = read_file(dir.file("w/wave0.dat"));
    const std::size_t event_bytes = 24 + 2 * murel::samples_per_event, at = 20 * event_bytes;
    bytes[at] = '\x07';
    std::ofstream(dir.file("bad0.dat"), std::ios::binary) << bytes;
    std::ofstream(dir.file("noise.xyz"), std::ios::binary) << "what is this?";
    std::ofstream(dir.file("big.txt")) << "Record Length: 2\nChannel: 0\n99999\n7\n";
    std::ofstream(dir.file("minus.txt")) << "7\n-5\n";
    std::filesystem::create_directories(dir.file("out"));
    std::ofstream(dir.file("out/kept.txt")) << "an earlier file\n";
    const std::string w0 = dir.file("w/wave0.dat"), w1 = dir.file("w/wave1.dat");
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    } cases[] = {
        {{dir.file("bad0.dat"), w1}, 1, dir.file("bad0.dat") + ": wavedump: corrupt at byte " + std::to_string(at)},
        {{dir.file("noise.xyz")}, 1, dir.file("noise.xyz") + ": no reader recognises this file; the formats are "},
        {{w0, w1, "--samples", "1000"}, 2, "--samples does not apply to " + w0},
        {{w0, w1, "--format", "nonesuch"}, 2, "unknown format 'nonesuch'"},
        {{w0, w1, "--pair", "0,7"}, 2, "no channel '7' in the data; the channels are 0, 1"},
        {{w0, w1, "--pair", "1,1"}, 2, "channel '1' cannot be paired with itself"},
        {{w0, w1, "--polarity", "sideways"}, 2, "--polarity"},
        {{w0, w1, "--coincidence", "-3"}, 2, "--coincidence"},
        {{dir.file("noise.xyz"), "--samples", "4", "--header", "0"}, 1,
         "give its format with --format cdb (channels A and B interleaved) or --format wavedump"},
        {{dir.file("big.txt")}, 1, dir.file("big.txt") + ": wavedump-ascii: corrupt at byte 28: sample 99999 is outside 0 .. 65535"},
        {{dir.file("minus.txt"), "--format", "wavedump-ascii", "--samples", "2"}, 1,
         dir.file("minus.txt") + ": wavedump-ascii: corrupt at byte 2: sample -5 is outside 0 .. 65535"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"analyse"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        arguments.insert(arguments.end(), {"--records", "-o", dir.file("out")});
        const run_result r = run_murel(arguments);
        EXPECT_EQ(r.status, c.status) << c.message << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("murel: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(listing(dir.file("out")), std::vector<std::string>({"kept.txt"}));
    }
}

namespace {

struct tampered_piece {
    std::string name;
    std::function<void()> tamper;
    std::string message;
};

// Each case tampers with a copy of the analysis b as bad; merged with a, it must be refused
// with the case's message and leave nothing.
template <std::size_t n>
void expect_merges_refused(const scratch_dir& dir, const tampered_piece (&cases)[n]) {
    const std::string bad = dir.file("bad");
    for (const tampered_piece& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(bad);
        std::filesystem::copy(dir.file("b"), bad);
        c.tamper();
        const run_result r = run_murel({"merge", dir.file("a"), bad, "-o", dir.file("sum")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("murel: " + c.message, 0), 0u) << r.err;
        EXPECT_TRUE(listing(dir.file("sum")).empty());
    }
}

}  // namespace

TEST(murel_merge, refuses_corrupt_pieces_naming_the_file_and_line_and_writes_nothing) {
    scratch_dir dir;
    const data_set data = default_model(300, 4242);
    write_piece(data, 0, 150, dir.file("a.cdb"), dir.file("a.csv"));
    write_piece(data, 150, 300, dir.file("b.cdb"), dir.file("b.csv"));
    ASSERT_EQ(run_murel({"analyse", dir.file("a.cdb"), "-o", dir.file("a")}).status, 0);
    ASSERT_EQ(run_murel({"analyse", dir.file("b.cdb"), "-o", dir.file("b")}).status, 0);
    ASSERT_EQ(run_murel({"merge", dir.file("a"), dir.file("b"), "-o", dir.file("good")}).status, 0);
    const std::string bad = dir.file("bad");
    const auto spectrum_count = [&](const std::string& count) {
        return [=] { replace_line(bad, "spectrum.txt", 1278, "12770.000000 " + count + " 3.000000"); };
    };
    const auto records = [&](json value) {
        return [=] { set_summary(bad, [&](json& s) { s["channels"]["A"]["records"] = value; }); };
    };
    const tampered_piece cases[] = {
        {"nan count", spectrum_count("nan"), bad + "/spectrum.txt: line 1278: \"nan\" is not a count of entries"},
        {"infinite count", spectrum_count("inf"), bad + "/spectrum.txt: line 1278: \"inf\" is not a count of entries"},
        {"negative count", spectrum_count("-100000.000000"), bad + "/spectrum.txt: line 1278: \"-100000.000000\" is not a count"},
        {"huge count", spectrum_count("1e308"), bad + "/spectrum.txt: line 1278: \"1e308\" is not a count"},
        {"fractional count", spectrum_count("0.5"), bad + "/spectrum.txt: line 1278: \"0.5\" is not a count"},
        {"count that disagrees", spectrum_count("1000.000000"), bad + "/summary.json: channel A has 150 records"},
        {"nan in the map", [&] { replace_line(bad, "map.txt", 2, "0.000000 257.000000 nan"); },
         bad + "/map.txt: line 2: \"nan\" is not a count of entries"},
        {"map fuller than the spectra", [&] { replace_line(bad, "map.txt", 2, "0.000000 257.000000 1000.000000"); },
         bad + "/map.txt holds"},
        {"records that wrap", records(std::numeric_limits<std::int64_t>::max()),
         bad + "/summary.json: channel A records 9223372036854775807 is not a count of records"},
        {"negative records", records(-5), bad + "/summary.json: channel A records -5 is not a count of records"},
        {"too few records", records(3), bad + "/summary.json: channel A has 3 records"},
        {"fractional records", records(150.5), bad + "/summary.json: channel A records 150.5 is not a count of records"},
        {"negative flag count", [&] { set_summary(bad, [](json& s) { s["channels"]["B"]["poor_fit"] = -1; }); },
         bad + "/summary.json: channel B poor_fit -1 is not a count of records"},
        {"unknown flag", [&] { set_summary(bad, [](json& s) { s["flagged"] = {{{"file", "x"}, {"event", 0}, {"channel", "A"}, {"flag", "odd"}}}; }); },
         bad + "/summary.json: flagged record"},
        {"summary that is not JSON", [&] { std::ofstream(bad + "/summary.json", std::ios::app) << "}"; }, bad + "/summary.json: [json.exception.parse_error"},
    };
    expect_merges_refused(dir, cases);
}

TEST(murel_merge, refuses_impossible_summaries_naming_the_piece_before_making_room_for_them) {
    scratch_dir dir;
    const data_set data = default_model(300, 4243);
    write_piece(data, 0, 150, dir.file("a.cdb"), dir.file("a.csv"));
    write_piece(data, 150, 300, dir.file("b.cdb"), dir.file("b.csv"));
    ASSERT_EQ(run_murel({"analyse", dir.file("a.cdb"), "--truth", dir.file("a.csv"), "-o", dir.file("a")}).status, 0);
    ASSERT_EQ(run_murel({"analyse", dir.file("b.cdb"), "--truth", dir.file("b.csv"), "-o", dir.file("b")}).status, 0);
    const std::string bad = dir.file("bad"), summary = bad + "/summary.json: ";
    const auto edit = [&](std::function<void(json&)> change) { return [=] { set_summary(bad, change); }; };
    const auto first_sums = [&](std::string sum, std::string squares) {
        return edit([=](json& s) {
            json& row = s["channels"]["A"]["residual_sums"][0];
            row[2] = sum;
            row[3] = squares;
        });
    };
    const auto bins = [&](const char* axis, json value) { return edit([=](json& s) { s["binning"][axis]["bins"] = value; }); };
    const tampered_piece cases[] = {
        {"sum beyond its records", first_sums(std::string(38, '9'), "1"), summary + "channel A residual bin "},
        {"negative sum of squares", first_sums("0", "-4"), summary + "channel A residual bin "},
        {"sum too large for its squares", first_sums("4096000", "0"), summary + "channel A residual bin "},
        {"a milliard spectrum bins", bins("spectrum", 2000000000), summary + "the spectrum may have at most 4194304 bins, not 2000000000"},
        {"spectrum bins the table cannot hold", bins("spectrum", 4000000), bad + "/spectrum.txt: "},
        {"fractional bins", bins("spectrum", 1e300), summary + "the spectrum bins 1e+300 is not a whole number"},
        {"too many map bins", bins("map", 100000), summary + "the map may have at most 4096 bins per axis, not 100000"},
        {"negative residual bins", bins("residuals", -1), summary + "the residuals need 3 to 4194304 bins, not -1"},
        {"a channel named twice", edit([](json& s) { s["channel_names"] = {"A", "A"}; }), summary + "channel 'A' is named twice"},
        {"no channels", edit([](json& s) { s["channel_names"] = json::array(); }), summary + "an analysis needs at least one channel"},
        {"a channel paired with itself", edit([](json& s) { s["pair"]["channels"] = {"A", "A"}; }),
         summary + "channel 'A' cannot be paired with itself"},
        {"a flagged event past the records",
         edit([](json& s) {
             s["flagged"] = {{{"file", "b.cdb"}, {"event", std::numeric_limits<std::uint64_t>::max()}, {"channel", "A"}, {"flag", "clipped"}}};
         }),
         summary + "flagged record "},
    };
    expect_merges_refused(dir, cases);
}

TEST(murel_analyse, records_the_fit_does_not_describe_are_flagged_poor_fit_and_merge_exactly) {
    if (!generate_is_built()) GTEST_SKIP() << "murel generate is not built";
    scratch_dir dir;
    // Pulses going down, 40 events in two pieces of 20.
    const std::vector<std::string> model{"--line", "-10000,0.001,1", "--offset", "0,0", "--samples", "400", "--centre", "200,0.005",
                                         "--width", "40,0.001"};
    for (const auto& [name, first] : {std::pair<std::string, std::string>{"all", "0"}, {"p0", "0"}, {"p1", "20"}}) {
        std::vector<std::string> generate{"generate", dir.file(name + ".cdb"), "--events", name == "all" ? "40" : "20", "--first-event", first};
        generate.insert(generate.end(), model.begin(), model.end());
        ASSERT_EQ(run_murel(generate).status, 0);
        // Measured as pulses going up, which they are not.
        const run_result r = run_murel({"analyse", dir.file(name + ".cdb"), "--samples", "400", "--polarity", "positive", "--records",
                                        "-o", dir.file(name)});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    const auto rows = lines(read_file(dir.file("all/records.csv")));
    ASSERT_EQ(rows.size(), 81u);
    for (std::size_t i = 1; i < rows.size(); ++i) EXPECT_NE(rows[i].find(",0,0,0,0,poor_fit"), std::string::npos) << rows[i];
    const json all = summary_of(dir.file("all"));
    for (const char* channel : {"A", "B"}) {
        EXPECT_EQ(all["channels"][channel]["poor_fit"], 40) << channel;
        EXPECT_TRUE(all["channels"][channel]["lines"].empty()) << channel;
    }
    EXPECT_EQ(all["flagged"].size(), 32u);
    EXPECT_EQ(all["flagged"][0]["flag"], "poor_fit");
    const run_result merged = run_murel({"merge", dir.file("p0"), dir.file("p1"), "-o", dir.file("sum")});
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_NE(merged.out.find("channel A: 40 records, 0 clipped, 0 without a pulse, 0 failed fits, 40 poor fits"), std::string::npos)
        << merged.out;
    const json sum = summary_of(dir.file("sum"));
    EXPECT_EQ(sum["channels"], all["channels"]);
    for (std::size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(sum["flagged"][i]["event"], all["flagged"][i]["event"].get<int>() % 20);
        EXPECT_EQ(sum["flagged"][i]["flag"], "poor_fit");
    }
}

TEST(murel_analyse, a_line_in_one_bin_has_null_errors_and_a_warning) {
    if (!generate_is_built()) GTEST_SKIP() << "murel generate is not built";
    scratch_dir dir;
    ASSERT_EQ(run_murel({"generate", dir.file("one.cdb"), "--events", "300", "--line", "12770,0,1", "--noise", "0"}).status, 0);
    const run_result r = run_murel({"analyse", dir.file("one.cdb"), "-o", dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("position 12770.00 +- \u2014 ADC, FWHM "), std::string::npos) << r.out;
    EXPECT_EQ(r.err.rfind("murel: warning: channel A line 0 at 12770.00: ", 0), 0u) << r.err;
    const json summary = summary_of(dir.file("out"));
    const json& line = summary["channels"]["A"]["lines"][0];
    EXPECT_TRUE(line["position_error"].is_null());
    EXPECT_TRUE(line["fwhm_error"].is_null());
    EXPECT_GT(line["counts_error"].get<double>(), 0.0);
    EXPECT_EQ(summary["warnings"].size(), 2u);
}

TEST(murel_analyse, a_file_name_that_is_not_utf8_is_kept_through_analyse_merge_and_plot) {
    scratch_dir dir;
    const data_set data = default_model(40, 31);
    const std::string odd = dir.file("d\xff.cdb");
    write_piece(data, 0, 20, odd, dir.file("d.csv"));
    write_piece(data, 20, 40, dir.file("e.cdb"), dir.file("e.csv"));
    const run_result analysed = run_murel({"analyse", odd, "--records", "-o", dir.file("d")});
    ASSERT_EQ(analysed.status, 0) << analysed.err;
    ASSERT_EQ(run_murel({"analyse", dir.file("e.cdb"), "-o", dir.file("e")}).status, 0);
    const json summary = summary_of(dir.file("d"));
    EXPECT_EQ(summary["files"][0], dir.file("d\xef\xbf\xbd.cdb"));
    std::string hex;
    for (const unsigned char c : odd) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    EXPECT_EQ(summary["files_hex"][0], hex);
    const run_result merged = run_murel({"merge", dir.file("d"), dir.file("e"), "-o", dir.file("sum")});
    ASSERT_EQ(merged.status, 0) << merged.err;
    const json sum = summary_of(dir.file("sum"));
    EXPECT_EQ(sum["files_hex"], json({hex, nullptr}));
    EXPECT_EQ(sum["files"][1], dir.file("e.cdb"));
    const run_result plotted = run_murel({"plot", dir.file("sum"), "-o", dir.file("plots")});
    EXPECT_EQ(plotted.status, 0) << plotted.err;
}

TEST(murel_analyse_formats, bare_samples_given_a_header_and_record_length_read_as_cdb_as_the_readme_shows) {
    scratch_dir dir;
    const data_set data = default_model(300, 5);
    write_piece(data, 0, 300, dir.file("g.cdb"), dir.file("g.csv"));
    // tail -c +13 g.cdb > run-1.dat
    std::ofstream(dir.file("run-1.dat"), std::ios::binary) << read_file(dir.file("g.cdb")).substr(12);
    ASSERT_EQ(run_murel({"analyse", dir.file("g.cdb"), "-o", dir.file("g")}).status, 0);
    const run_result r = run_murel({"analyse", dir.file("run-1.dat"), "--header", "0", "--samples", "1000", "-o", dir.file("r1")});
    ASSERT_EQ(r.status, 0) << r.err;
    const json g = summary_of(dir.file("g")), r1 = summary_of(dir.file("r1"));
    EXPECT_EQ(r1["format"], "cdb");
    EXPECT_EQ(r1["header_bytes"], 0);
    EXPECT_EQ(r1["channels"], g["channels"]);
    // Without the options nothing recognises the file, and the message says how to read it.
    const run_result plain = run_murel({"analyse", dir.file("run-1.dat"), "-o", dir.file("r2")});
    EXPECT_EQ(plain.status, 1);
    EXPECT_NE(plain.err.find("no reader recognises this file"), std::string::npos) << plain.err;
    EXPECT_NE(plain.err.find("--format"), std::string::npos) << plain.err;
}

TEST(murel_analyse_formats, headerless_files_not_named_wave_n_stay_channels_of_their_own) {
    scratch_dir dir;
    const data_set data = default_model(200, 8);
    for (int c = 0; c < 2; ++c) {
        std::string binary, text;
        for (std::size_t e = 0; e < 200; ++e)
            for (const std::int32_t v : samples_of(data, e, c, 32768)) {
                binary += {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)};
                text += std::to_string(v) + "\n";
            }
        std::ofstream(dir.file("nohdr" + std::to_string(c) + ".dat"), std::ios::binary) << binary;
        std::ofstream(dir.file("nohdr" + std::to_string(c) + ".txt")) << text;
    }
    for (const std::string format : {"wavedump", "wavedump-ascii"}) {
        SCOPED_TRACE(format);
        const std::string extension = format == "wavedump" ? ".dat" : ".txt";
        const std::string out = dir.file("out" + extension);
        const run_result r = run_murel({"analyse", dir.file("nohdr0" + extension), dir.file("nohdr1" + extension), "--format", format,
                                        "--samples", "1000", "-o", out});
        ASSERT_EQ(r.status, 0) << r.err;
        const json summary = summary_of(out);
        EXPECT_EQ(summary["channel_names"], json({"nohdr0", "nohdr1"}));
        EXPECT_EQ(summary["channels"]["nohdr0"]["records"], 200);
        EXPECT_EQ(summary["channels"]["nohdr1"]["records"], 200);
        EXPECT_EQ(summary["pair"]["by"], "event");
    }
}

TEST(murel_analyse_formats, control_characters_of_channel_names_reach_the_terminal_escaped_and_the_json_exact) {
    scratch_dir dir;
    const data_set data = default_model(300, 21);
    const std::string hostile = "\x1b]0;TITLE\a\x1b[31mA";
    write_format("lh5", dir.file("names.lh5"), 2, two_channels(data, 0, 300), {hostile, "B"});
    const run_result r = run_murel({"analyse", dir.file("names.lh5"), "-o", dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\a'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("channel \\x1B]0;TITLE\\x07\\x1B[31mA: 300 records"), std::string::npos) << r.out;
    EXPECT_EQ(summary_of(dir.file("out"))["channel_names"], json({hostile, "B"}));
    const run_result pair = run_murel({"analyse", dir.file("names.lh5"), "--pair", "B,C", "-o", dir.file("bad")});
    EXPECT_EQ(pair.status, 2);
    EXPECT_EQ(pair.err.find('\x1b'), std::string::npos) << pair.err;
    EXPECT_NE(pair.err.find("the channels are \\x1B]0;TITLE"), std::string::npos) << pair.err;
}

namespace {

// The records of an LH5 file of murel generate rewritten with channel 1's time stamps `delay`
// ticks later, so that the reader gives every record of channel 0 before those of channel 1.
void delay_second_channel(const std::string& from, const std::string& to, std::uint64_t delay) {
    const auto in = murel::formats::open(from, "lh5");
    murel::formats::writer_options options;
    options.channels = in->info().channels;
    options.samples = in->info().samples;
    const auto out = murel::formats::find("lh5").create(to, options);
    murel::formats::record_batch batch;
    while (in->next(batch, 64)) {
        for (murel::formats::record_header& h : batch.headers)
            if (h.channel == 1) *h.timestamp += delay;
        out->write(batch);
    }
    out->commit();
}

}  // namespace

TEST(murel_analyse_formats, truth_rows_match_records_by_event_in_any_channel_order) {
    if (!generate_is_built()) GTEST_SKIP() << "murel generate is not built";
    scratch_dir dir;
    for (const char* format : {"cdb", "lh5"})
        ASSERT_EQ(run_murel({"generate", dir.file(std::string("g.") + format), "--format", format, "--events", "600", "--first-event",
                             "40", "--truth", dir.file(std::string(format) + ".csv")})
                      .status,
                  0);
    EXPECT_EQ(read_file(dir.file("cdb.csv")), read_file(dir.file("lh5.csv")));
    // Ten seconds after the last event of channel 0, at the default 1000 events a second.
    delay_second_channel(dir.file("g.lh5"), dir.file("late.lh5"), 10'000'000'000'000);
    for (const char* input : {"g.cdb", "g.lh5", "late.lh5"}) {
        const run_result r = run_murel({"analyse", dir.file(input), "--truth", dir.file("cdb.csv"), "-o", dir.file(std::string("out-") + input)});
        ASSERT_EQ(r.status, 0) << input << "\n" << r.err;
    }
    const json cdb = summary_of(dir.file("out-g.cdb"));
    ASSERT_TRUE(cdb["channels"]["A"]["residual_rms"].is_number());
    for (const char* input : {"g.lh5", "late.lh5"}) {
        SCOPED_TRACE(input);
        const json lh5 = summary_of(dir.file(std::string("out-") + input));
        for (const auto& [from, to] : {std::pair{"A", "0"}, std::pair{"B", "1"}}) {
            EXPECT_EQ(lh5["channels"][to]["records"], cdb["channels"][from]["records"]);
            EXPECT_EQ(lh5["channels"][to]["residual_rms"], cdb["channels"][from]["residual_rms"]);
            EXPECT_EQ(lh5["channels"][to]["residual_bias"], cdb["channels"][from]["residual_bias"]);
        }
    }

    // The rows of a second, piled-up pulse are passed over: the record's own pulse is its truth.
    ASSERT_EQ(run_murel({"generate", dir.file("piled.cdb"), "--events", "200", "--pileup", "0.5,50,200", "--truth", dir.file("piled.csv")})
                  .status,
              0);
    ASSERT_NE(read_file(dir.file("piled.csv")).find(",A,pileup,"), std::string::npos);
    const run_result piled = run_murel({"analyse", dir.file("piled.cdb"), "--truth", dir.file("piled.csv"), "-o", dir.file("out-piled")});
    ASSERT_EQ(piled.status, 0) << piled.err;
    EXPECT_TRUE(summary_of(dir.file("out-piled"))["channels"]["A"]["residual_rms"].is_number());

    // A table that lacks a row, or whose rows go back, is named with the event or the line.
    const auto rows = lines(read_file(dir.file("cdb.csv")));
    const auto table_without = [&](std::size_t first, std::size_t last, const std::string& name) {
        std::ofstream out(dir.file(name));
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (i < first || i > last) out << rows[i] << '\n';
        return dir.file(name);
    };
    // rows[0] names the data set, rows[1] is the header.
    std::string swapped = rows[0] + '\n' + rows[1] + '\n' + rows[4] + '\n' + rows[5] + '\n' + rows[2] + '\n' + rows[3] + '\n';
    std::ofstream(dir.file("swapped.csv")) << swapped;
    const struct {
        std::string truth, message;
    } faults[] = {
        {table_without(5, 5, "no-b.csv"), "no-b.csv has no channel B row for event 41"},
        {dir.file("swapped.csv"), "swapped.csv: line 5 holds event 40 after event 41; the rows must be in event order"},
        {table_without(rows.size() - 2, rows.size() - 1, "short.csv"), "short.csv ends at line 1200, before the data do"},
    };
    for (const auto& f : faults) {
        const run_result r =
            run_murel({"analyse", dir.file("late.lh5"), "--truth", f.truth, "--threads", "1", "-o", dir.file("refused")});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(f.message), std::string::npos) << r.err;
        EXPECT_TRUE(listing(dir.file("refused")).empty());
    }
}

TEST(murel_command_line, unknown_commands_options_and_values_are_named_with_status_2) {
    scratch_dir dir;
    const std::string in = dir.file("x.cdb"), out = dir.file("out");
    std::ofstream(in, std::ios::binary) << std::string(12 + 4000, '\0');
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"analyze", in}, "murel: unknown command 'analyze'; did you mean 'analyse'?\n"},
        {{"plto"}, "murel: unknown command 'plto'; did you mean 'plot'?\n"},
        {{"frobnicate"}, "murel: unknown command 'frobnicate'; the commands are generate, analyse, merge, plot, convert\n"},
        {{"-V"}, "murel: -V is neither a command nor an option of murel (its options are --help, -h, --version)"},
        {{}, "murel: a command is required: generate, analyse, merge, plot, convert\n"},
        {{"analyse", "--bogus"}, "murel: analyse: unknown option --bogus\n"},
        {{"analyse", in, "-o", out, "--tread", "3"}, "murel: analyse: unknown option --tread; did you mean --threads?\n"},
        {{"merge", out, "-o", out, "--quite"}, "murel: merge: unknown option --quite; did you mean --quiet?\n"},
        {{"analyse", in, "-o", out, "--calibrate", "2", "0", "--unit", "kev"},
         "murel: --unit: unknown unit 'kev'; the units are ADC, calibrated, calibrated units, eV, keV, MeV"},
        {{"analyse", in, "-o", out, "--unit", "keV"}, "murel: --unit keV names the unit of --calibrate or --calibrate-lines, neither of which is given\n"},
        {{"plot", in, "-o", out, "--records", "3-1"}, "murel: --records: the range 3-1 runs backwards\n"},
        {{"plot", in, "-o", out, "--records", "0-3,x"}, "murel: --records: 'x' is not an event number N or a range N-M"},
        {{"plot", in, "-o", out, "--records", "-1"}, "murel: --records: '-1' is not an event number"},
        {{"plot", in, "-o", out, "--records", "0-999,1000"}, "murel: --records: 1000 makes more than the 1000 records"},
        {{"plot", in, "-o", out, "--records", "5-18446744073709551615"}, "makes more than the 1000 records"},
        {{"generate", dir.file("a.cdb"), "-o", dir.file("b.cdb"), "--events", "3"}, "murel: generate: two outputs, "},
    };
    for (const auto& [arguments, message] : cases) {
        const run_result r = run_murel(arguments);
        EXPECT_EQ(r.status, 2) << message;
        if (message.rfind("murel: ", 0) == 0)
            EXPECT_EQ(r.err.rfind(message, 0), 0u) << r.err;
        else
            EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(listing(dir.path().string()), std::vector<std::string>{"x.cdb"}) << message;
    }
}

TEST(murel_command_line, every_help_page_names_its_values_and_their_defaults_alike) {
    for (const char* command : {"generate", "analyse", "merge", "plot", "convert"}) {
        const run_result r = run_murel({command, "--help"});
        ASSERT_EQ(r.status, 0) << command;
        for (const char* raw : {"INT", "FLOAT", "UINT", "TEXT", " x 2"})
            EXPECT_EQ(r.out.find(raw), std::string::npos) << command << " --help shows " << raw << ":\n" << r.out;
        EXPECT_NE(r.out.find("-q,--quiet"), std::string::npos) << command;
    }
    for (const char* command : {"generate", "analyse"})
        EXPECT_NE(run_murel({command, "--help"}).out.find("  --threads N=0 "), std::string::npos) << command;
    const std::string analyse = run_murel({"analyse", "--help"}).out;
    for (const char* shown : {"--range MIN MAX=0 65540 ", "--map-range MIN MAX=0 65535 ", "--unit NAME=calibrated ",
                              "--polarity auto|positive|negative=auto"})
        EXPECT_NE(analyse.find(shown), std::string::npos) << shown;
    EXPECT_NE(run_murel({"plot", "--help"}).out.find("  --records LIST=none "), std::string::npos);
}

TEST(murel_analyse, warnings_for_no_line_and_records_set_aside_go_to_stderr_and_the_summary_and_survive_merge) {
    if (!generate_is_built()) GTEST_SKIP() << "murel generate is not built";
    scratch_dir dir;
    const std::string data = dir.file("d.cdb");
    ASSERT_EQ(run_murel({"generate", "-o", data, "--events", "600", "-q"}).status, 0);
    // A clean analysis says nothing on stderr, and never the image writer's scale.
    const run_result clean = run_murel({"analyse", data, "-o", dir.file("clean")});
    ASSERT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(clean.err, "");
    EXPECT_EQ(clean.out.find("Shift"), std::string::npos) << clean.out;
    EXPECT_EQ(clean.out.rfind("1 file(s), 600 events", 0), 0u) << clean.out;
    EXPECT_TRUE(summary_of(dir.file("clean"))["warnings"].empty());

    const std::string no_line = "channel A: no line found in the spectrum from 0 to 2000 ADC (0 to 1000 keV); the "
                                "spectrum range is given in ADC, also when calibrating";
    const run_result calibrated = run_murel({"analyse", data, "-o", dir.file("keV"), "--range", "0", "2000",
                                             "--calibrate", "0.5", "0", "--unit", "keV"});
    ASSERT_EQ(calibrated.status, 0) << calibrated.err;
    EXPECT_EQ(calibrated.err.rfind("murel: warning: " + no_line + "\n", 0), 0u) << calibrated.err;
    json summary = summary_of(dir.file("keV"));
    EXPECT_EQ(summary["unit"], "keV");
    EXPECT_EQ(summary["warnings"].size(), 2u);
    EXPECT_EQ(summary["warnings"][0], no_line);

    // Merged with the next events, the warnings are those of the sum: the same here, never listed twice.
    ASSERT_EQ(run_murel({"generate", "-o", dir.file("next.cdb"), "--first-event", "600", "--events", "600", "-q"}).status, 0);
    ASSERT_EQ(run_murel({"analyse", dir.file("next.cdb"), "-o", dir.file("keV2"), "--range", "0", "2000", "--calibrate", "0.5", "0",
                         "--unit", "keV", "-q"}).status, 0);
    const run_result merged = run_murel({"merge", dir.file("keV"), dir.file("keV2"), "-o", dir.file("sum"), "--quiet"});
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(merged.out, "");
    summary = summary_of(dir.file("sum"));
    EXPECT_EQ(summary["unit"], "keV");
    EXPECT_EQ(summary["warnings"], summary_of(dir.file("keV"))["warnings"]);
    EXPECT_EQ(merged.err, calibrated.err);
    // An analysis in another unit is another binning.
    ASSERT_EQ(run_murel({"analyse", data, "-o", dir.file("MeV"), "--range", "0", "2000", "--calibrate", "0.5", "0",
                         "--unit", "MeV", "-q"}).status, 0);
    EXPECT_EQ(run_murel({"merge", dir.file("keV"), dir.file("MeV"), "-o", dir.file("mixed")}).status, 1);

    // Misread records: each way of misreading names its own cause.
    {
        const std::string bytes = read_file(data);
        std::ofstream(dir.file("shifted.cdb"), std::ios::binary) << bytes.substr(0, 12) << '\0' << bytes.substr(12, bytes.size() - 13);
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> misread = {
        {{data, "--samples", "500"}, "the likeliest cause is the record length (--samples)"},
        {{dir.file("shifted.cdb")}, "the likeliest cause is the header (--header)"},
        {{data, "--polarity", "negative"}, "the likeliest cause is the polarity (--polarity)"},
    };
    for (const auto& [arguments, cause] : misread) {
        std::vector<std::string> line{"analyse", "-o", dir.file("misread"), "-q"};
        line.insert(line.end(), arguments.begin(), arguments.end());
        const run_result r = run_murel(line);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        summary = summary_of(dir.file("misread"));
        std::size_t named = 0;
        for (const json& warning : summary["warnings"]) {
            const std::string text = warning.get<std::string>();
            EXPECT_NE(r.err.find("murel: warning: " + text + "\n"), std::string::npos) << text;
            if (text.find(" records set aside") == std::string::npos && text.find("were set aside") != std::string::npos)
                named += text.find(cause) != std::string::npos;
        }
        EXPECT_EQ(named, 2u) << cause << "\n" << r.err;
    }
}

TEST(murel_analyse, files_without_records_are_warned_of) {
    scratch_dir dir;
    std::ofstream(dir.file("wave0.dat"), std::ios::binary).flush();
    std::ofstream(dir.file("empty.cdb"), std::ios::binary) << std::string(12, '\0');
    for (const char* file : {"wave0.dat", "empty.cdb"}) {
        const run_result r = run_murel({"analyse", dir.file(file), "-o", dir.file("out"), "-q"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(": no records: the files hold none of this channel"), std::string::npos) << file << "\n" << r.err;
    }
}

TEST(murel_analyse, quiet_keeps_errors) {
    scratch_dir dir;
    const run_result r = run_murel({"analyse", dir.file("missing.cdb"), "-o", dir.file("out"), "-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("murel: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("missing.cdb"), std::string::npos) << r.err;
}
