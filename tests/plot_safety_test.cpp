// murel plot given hostile file names and summary.json strings: nothing in them may reach
// gnuplot as program text, neither when murel draws nor when a user reruns a saved script.
#include "gnuplot.h"
#include "program_runner.h"
#include "record_fit.h"
#include "summary.h"
#include "table.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <set>

using test_support::read_file;
using test_support::run;
using test_support::run_result;
using test_support::scratch_dir;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Names that break out of gnuplot's quoting one way or another, each trying to create PWNED
// in the working directory.
const std::vector<std::string> hostile_names = {
    "an`touch PWNED`",
    "inj\nsystem(\"touch PWNED\")\n#",
    "q'.system('touch PWNED').'",
    "d\".system(\"touch PWNED\").\"",
    "m@x`touch PWNED`",
    "b\\",
    "cr\r`touch PWNED`",
    "<touch PWNED",
    "|touch PWNED",
    "\xff\xfe`touch PWNED`",
};

void write_text(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A .cdb-layout file of two events of 50 sample pairs after a 12-byte header.
void write_records(const std::string& path) {
    std::string bytes(12, '\0');
    for (int e = 0; e < 2; ++e)
        for (int j = 0; j < 100; ++j) {
            const auto raw = static_cast<std::uint16_t>(1000 + 100 * e + j);
            bytes += static_cast<char>(raw & 0xff);
            bytes += static_cast<char>(raw >> 8);
        }
    write_text(path, bytes);
}

// An analysis directory of a spectrum peaking at `peak`, whose summary flags event 1 of
// `records` with the strings given.
void write_analysis(const std::string& dir, double peak, const std::string& records, const std::string& unit = "ADC",
                    const std::string& channel = "A", const std::string& flag = "clipped") {
    fs::create_directories(dir);
    std::ostringstream spectrum;
    for (int i = 0; i < 40; ++i)
        spectrum << 10 * i << ' ' << std::round(100 * std::exp(-std::pow((10 * i - peak) / 30, 2))) << ' ' << i % 3
                 << '\n';
    write_text(dir + "/spectrum.txt", spectrum.str());
    // The channel's name reaches titles, keys and picture names; its line has a fitted curve and a close-up.
    const json line = {{"position", peak}, {"position_error", 0.5}, {"fwhm", 50}, {"counts", 400}, {"background", 1},
                       {"background_slope", 0}, {"background_reference", peak}, {"fit_range", {peak - 100, peak + 100}}};
    const json summary = {
        {"unit", unit},
        {"channel_names", {channel}},
        {"channels", {{channel, {{"lines", {line}}, {"polarity", "positive"}}}}},
        {"flagged", {{{"file", records}, {"event", 1}, {"channel", channel}, {"flag", flag}}}}};
    write_text(dir + "/summary.json", summary.dump(-1, ' ', false, json::error_handler_t::replace));
}

// Every path under `root` outside `skipped`.
std::set<std::string> files_outside(const fs::path& root, const fs::path& skipped) {
    std::set<std::string> result;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path() == skipped) {
            it.disable_recursion_pending();
            continue;
        }
        result.insert(it->path().string());
    }
    return result;
}

run_result murel_plot(const std::vector<std::string>& arguments, const std::string& dir) {
    std::vector<std::string> all{"plot"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return run(MUREL_PATH, all, dir);
}

// Runs gnuplot on `script` in `dir`, as a user rerunning a kept script would.
run_result gnuplot_on(const std::string& script, const std::string& dir) {
    return run("/bin/sh", {"-c", "exec gnuplot \"$1\"", "sh", script}, dir);
}

// The x and y of the first curve that `script` plots, as gnuplot read them.
std::vector<std::pair<double, double>> plotted_points(const std::string& script, const std::string& dir) {
    const std::string points = (fs::path(dir) / "points.txt").string();
    const run_result result = run("/bin/sh",
                                  {"-c", "exec gnuplot -e \"output = '/dev/null'; set table '$2'\" \"$1\"", "sh",
                                   script, points},
                                  dir);
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<std::pair<double, double>> rows;
    for (const std::string& line : test_support::lines(read_file(points))) {
        if (line.rfind("# Curve 1", 0) == 0) break;
        double x = 0, y = 0;
        if (!line.empty() && line[0] != '#' && std::sscanf(line.c_str(), "%lf %lf", &x, &y) == 2) rows.emplace_back(x, y);
    }
    fs::remove(points);
    return rows;
}

// Draws `inputs` into `output` from `dir`, then reruns every script kept; nothing may appear
// in `dir` outside `output` either time.
void expect_drawn_harmlessly(const std::vector<std::string>& inputs, const std::string& output, const scratch_dir& dir,
                             const std::string& label) {
    const fs::path out = dir.path() / output;
    const std::set<std::string> before = files_outside(dir.path(), out);
    std::vector<std::string> arguments = inputs;
    arguments.insert(arguments.end(), {"--samples", "50", "-o", output});
    const run_result result = murel_plot(arguments, dir.path().string());
    EXPECT_EQ(result.status, 0) << label << ": " << result.err;
    EXPECT_EQ(files_outside(dir.path(), out), before) << label;
    std::size_t scripts = 0;
    for (const auto& entry : fs::directory_iterator(out))
        if (entry.path().extension() == ".gp") {
            ++scripts;
            fs::remove(fs::path(entry.path()).replace_extension(".png"));
            const run_result again = gnuplot_on(entry.path().string(), dir.path().string());
            EXPECT_EQ(again.status, 0) << label << ": " << entry.path() << ": " << again.err;
            EXPECT_TRUE(fs::exists(fs::path(entry.path()).replace_extension(".png"))) << label << ": " << entry.path();
        }
    EXPECT_GE(scripts, 4U) << label;
    EXPECT_EQ(files_outside(dir.path(), out), before) << label;
}

}  // namespace

TEST(plot_safety, hostile_input_and_output_names_run_nothing_now_or_when_rerun) {
    for (const std::string& name : hostile_names) {
        scratch_dir dir;
        write_records(dir.file(name + ".cdb"));
        write_analysis(dir.file(name), 200, name + ".cdb");
        expect_drawn_harmlessly({name, name + ".cdb", "--records", "0"}, "out" + name, dir, name);
    }
}

TEST(plot_safety, a_name_with_a_line_break_shows_its_own_data_not_a_neighbours) {
    scratch_dir dir;
    const std::string name = "inj\nsystem(\"touch PWNED\")\n#";
    write_analysis(dir.file("inj"), 100, "none.cdb");
    write_analysis(dir.file(name), 300, "none.cdb");
    const run_result result = murel_plot({name, "-o", "out"}, dir.path().string());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(fs::exists(dir.file("PWNED")));
    const murel::plot::table own = murel::plot::table::read(dir.file(name + "/spectrum.txt"));
    const auto points = plotted_points(dir.file("out/spectrum-A.gp"), dir.path().string());
    ASSERT_EQ(points.size(), own.rows());
    for (std::size_t i = 0; i < points.size(); ++i) EXPECT_EQ(points[i].second, own.at(i, 1)) << i;
    EXPECT_FALSE(fs::exists(dir.file("PWNED")));
}

TEST(plot_safety, hostile_channel_names_and_flagged_file_names_run_nothing) {
    for (const std::string& channel : hostile_names) {
        scratch_dir dir;
        write_records(dir.file("pulses.cdb"));
        write_analysis(dir.file("analysis"), 200, dir.file("pulses.cdb"), "ADC", channel, "no_pulse");
        expect_drawn_harmlessly({"analysis"}, "out", dir, channel);
        EXPECT_TRUE(fs::exists(dir.file("out/flagged-pulses.png"))) << channel;
    }
}

TEST(plot_summary, refuses_units_and_flags_it_does_not_know_naming_directory_field_and_value) {
    struct refused {
        std::string unit, flag, message;
    };
    const std::vector<refused> cases = {
        {"ADC`touch PWNED`", "clipped", "unknown unit \"ADC`touch PWNED`\""},
        {"furlongs", "clipped", "unknown unit \"furlongs\""},
        {"", "clipped", "unknown unit \"\""},
        {"adc", "clipped", "unknown unit \"adc\""},
        {"ADC", "clipped`touch PWNED`", "unknown flag \"clipped`touch PWNED`\""},
        {"ADC", "bent", "unknown flag \"bent\""},
        {"ADC", "", "unknown flag \"\""},
    };
    for (const refused& c : cases) {
        scratch_dir dir;
        write_records(dir.file("pulses.cdb"));
        write_analysis(dir.file("analysis"), 200, dir.file("pulses.cdb"), c.unit, "A", c.flag);
        const run_result result = murel_plot({"analysis", "-o", "out"}, dir.path().string());
        EXPECT_EQ(result.status, 1) << c.message;
        EXPECT_EQ(result.err.rfind("murel: analysis/summary.json: " + c.message, 0), 0U) << result.err;
        EXPECT_FALSE(fs::exists(dir.file("PWNED")));
        EXPECT_EQ(result.out, "");
    }
}

TEST(plot_quoting, every_byte_but_nul_reaches_gnuplot_as_typed_and_runs_nothing) {
    std::string every_byte;
    for (int byte = 1; byte < 256; ++byte) every_byte += static_cast<char>(byte);
    std::vector<std::string> texts = hostile_names;
    texts.insert(texts.end(), {"", "'", "''", "\n", "\\", "\"", "@", "`", "a\\\nb", "#", every_byte});
    scratch_dir dir;
    std::string script, expected;
    for (const std::string& text : texts) {
        script += "print " + murel::plot::quoted(text) + "\n";
        expected += text + "\n";
    }
    write_text(dir.file("print.gp"), script);
    const run_result result = gnuplot_on("print.gp", dir.path().string());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, expected);
    EXPECT_EQ(test_support::listing(dir.path()), std::vector<std::string>{"print.gp"});
    EXPECT_THROW(murel::plot::quoted(std::string("a\0b", 3)), std::invalid_argument);
}

TEST(plot_quoting, a_path_names_that_file_and_never_a_pipe) {
    scratch_dir dir;
    EXPECT_EQ(murel::plot::quoted_path("/a'b"), "'/a'.\"\\047\".'b'");
    write_text(dir.file("pipes.gp"), "set terminal dumb\nset output " + murel::plot::quoted_path("|touch PWNED") +
                                         "\nplot x\nset output\nplot " + murel::plot::quoted_path("<touch PWNED") +
                                         "\n");
    gnuplot_on("pipes.gp", dir.path().string());
    EXPECT_EQ(test_support::listing(dir.path()), (std::vector<std::string>{"pipes.gp", "|touch PWNED"}));
}

TEST(plot_summary, reads_every_known_unit_and_every_flag_the_analysis_gives) {
    using murel::analysis::record_flag;
    scratch_dir dir;
    for (const murel::plot::unit_name& unit : murel::plot::known_units()) {
        write_analysis(dir.file("analysis"), 200, "x.cdb", unit.name);
        EXPECT_EQ(murel::plot::analysis_summary::read(dir.file("analysis/summary.json")).unit_label(), unit.label);
    }
    const std::vector<std::pair<std::string, std::string>> labels = {
        {"ADC", "ADC"}, {"calibrated", "calibrated units"}, {"keV", "keV"}, {"ns", "ns"}};
    for (const auto& [unit, label] : labels) {
        write_analysis(dir.file("analysis"), 200, "x.cdb", unit);
        EXPECT_EQ(murel::plot::analysis_summary::read(dir.file("analysis/summary.json")).unit_label(), label);
    }
    for (const record_flag flag : {record_flag::ok, record_flag::clipped, record_flag::no_pulse, record_flag::fit_failed}) {
        write_analysis(dir.file("analysis"), 200, "x.cdb", "ADC", "A", murel::analysis::flag_name(flag));
        EXPECT_EQ(murel::plot::analysis_summary::read(dir.file("analysis/summary.json")).flagged.at(0).flag,
                  murel::analysis::flag_name(flag));
    }
    write_analysis(dir.file("analysis"), 200, std::string("x\0`touch PWNED`", 16), "ADC");
    EXPECT_THROW(murel::plot::analysis_summary::read(dir.file("analysis/summary.json")), std::invalid_argument);
}
