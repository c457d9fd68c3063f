// murel plot, run end to end on murel_gen's outputs, a hand-made analysis directory and a
// small .cdb-layout file, and its readers on damaged input.
#include "format.h"
#include "histogram.h"
#include "image.h"
#include "program_runner.h"
#include "summary.h"
#include "table.h"

#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <map>
#include <random>
#include <set>

using test_support::read_file;
using test_support::run;
using test_support::run_options;
using test_support::run_result;
using test_support::scratch_dir;
namespace fs = std::filesystem;

namespace {

run_result murel_plot(const std::vector<std::string>& arguments, const std::string& dir = ".",
                      const char* path = nullptr) {
    std::vector<std::string> all{"plot"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    run_options options;
    options.path = path;
    return run(MUREL_PATH, all, dir, options);
}

struct png_size {
    std::uint32_t width = 0, height = 0;
    bool operator==(const png_size& other) const { return width == other.width && height == other.height; }
};

std::uint32_t big_endian(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The size in the IHDR chunk of a PNG file that begins with the signature and ends with IEND.
png_size png_file_size(const std::string& path) {
    const std::string bytes = read_file(path);
    const std::string signature = "\x89PNG\r\n\x1a\n";
    if (bytes.size() < 45 || bytes.compare(0, 8, signature) != 0 || big_endian(bytes, 8) != 13 ||
        bytes.compare(12, 4, "IHDR") != 0 || bytes.compare(bytes.size() - 8, 4, "IEND") != 0)
        return {};
    return {big_endian(bytes, 16), big_endian(bytes, 20)};
}

std::map<std::string, png_size> pictures_in(const std::string& dir) {
    std::map<std::string, png_size> result;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".png") result[entry.path().filename().string()] = png_file_size(entry.path());
    return result;
}

std::vector<std::string> hidden_files_in(const std::string& dir) {
    std::vector<std::string> result;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string()[0] == '.') result.push_back(entry.path().string());
    return result;
}

// Reruns a kept script as a user would, from another directory; returns gnuplot's complaints.
std::string rerun_script(const std::string& script) {
    scratch_dir elsewhere;
    const run_result result = run("/bin/sh", {"-c", "gnuplot '" + script + "'"}, elsewhere.path().string());
    return std::to_string(result.status) + result.out + result.err;
}

// The points of the first curve that `script` plots, as gnuplot read them: rows of x and y.
std::vector<std::pair<double, double>> plotted_points(const std::string& script) {
    scratch_dir work;
    const std::string points = work.file("points.txt");
    const run_result result =
        run("/bin/sh", {"-c", "gnuplot -e \"output = '/dev/null'; set table '" + points + "'\" '" + script + "'"}, ".");
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<std::pair<double, double>> rows;
    int curves = 0;
    for (const std::string& line : test_support::lines(read_file(points))) {
        if (line.rfind("# Curve ", 0) == 0 && line.size() > 8 && std::isdigit(line[8]) && ++curves > 1) break;
        double x = 0, y = 0;
        if (line.empty() || line[0] == '#' || std::sscanf(line.c_str(), "%lf %lf", &x, &y) != 2) continue;
        rows.emplace_back(x, y);
    }
    return rows;
}

void write_text(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A .cdb-layout file of `events` events of `samples` pairs after a 12-byte header: Gaussian
// pulses whose height grows with the event number, B half as high as A.
void write_records(const std::string& path, int events, int samples) {
    std::string bytes(12, '\0');
    for (int e = 0; e < events; ++e)
        for (int j = 0; j < samples; ++j)
            for (const int scale : {2, 1}) {
                const double shape = std::exp(-std::pow((j - samples * 0.6) / (samples * 0.1), 2));
                const auto value = static_cast<std::int16_t>(-20000 + scale * 500 * (e + 1) * shape);
                const auto raw = static_cast<std::uint16_t>(value);
                bytes += static_cast<char>(raw & 0xff);
                bytes += static_cast<char>(raw >> 8);
            }
    write_text(path, bytes);
}

std::int16_t sample_of(const std::string& bytes, int samples, int event, int index, int channel) {
    const std::size_t at = 12 + (static_cast<std::size_t>(event) * samples + index) * 4 + channel * 2;
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                                                static_cast<unsigned char>(bytes[at + 1]) << 8));
}

// An analysis directory as murel analyse writes it, from made-up amplitudes: two lines and a
// continuum in both channels, one gate per line of A, residuals, and two flagged records of
// `records_file`.
void write_analysis(const std::string& dir, const std::string& records_file) {
    std::mt19937 engine(7);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform(10000, 35000);
    std::uniform_int_distribution<int> kind(0, 9);
    histogram1D spectrum(4001, 2, 0, 40000), residuals(401, 2, -100, 100);
    histogram2D map(201, 201, 1, 0, 40000, 0, 40000);
    for (int event = 0; event < 20000; ++event) {
        double amplitude[2];
        for (double& a : amplitude) {
            const int k = kind(engine);
            a = k < 4 ? 12775 + 60 * normal(engine) : k < 6 ? 31863 + 90 * normal(engine) : uniform(engine);
        }
        spectrum.add(amplitude[0], 0);
        spectrum.add(amplitude[1], 1);
        map.add(amplitude[0], amplitude[1], 0);
        residuals.add(20 * normal(engine) + 1, 0);
        residuals.add(25 * normal(engine) - 2, 1);
    }
    spectrum.write((dir + "/spectrum.txt").c_str());
    map.writeText((dir + "/map.txt").c_str());
    map.writeImage((dir + "/map").c_str(), true);
    map.writeConstXCutWide((dir + "/gate-0.txt").c_str(), 64, 1, false);
    map.writeConstXCutWide((dir + "/gate-1.txt").c_str(), 159, 1, false);
    residuals.write((dir + "/residuals.txt").c_str());
    write_text(dir + "/summary.json", R"({"files": [")" + records_file + R"("], "samples": 200, "unit": "ADC",
  "channels": {
    "A": {"records": 20000, "clipped": 1, "no_pulse": 1, "fit_failed": 0, "residual_bias": 1.0, "residual_rms": 20.0,
          "lines": [{"position": 12775.4, "position_error": 0.7, "fwhm": 141.2, "fwhm_error": 1.4, "counts": 8000,
                     "background": 3.2, "background_slope": 0, "background_reference": 12775, "fit_range": [12400, 13150]},
                    {"position": 31862.8, "position_error": 1.1, "fwhm": 212.0, "fwhm_error": 2.2, "counts": 4000,
                     "background": 3.2, "background_slope": 0, "background_reference": 31860, "fit_range": [31300, 32400]}]},
    "B": {"records": 20000, "clipped": 0, "no_pulse": 0, "fit_failed": 0, "residual_bias": -2.0, "residual_rms": 25.0,
          "lines": [{"position": 12774.9, "position_error": 0.7, "fwhm": 140.9, "fwhm_error": 1.4, "counts": 8000}]}},
  "gates": [{"line": 0, "file": "gate-0.txt", "band": [12700.0, 12850.0]},
            {"line": 1, "file": "gate-1.txt", "band": [31750.0, 31970.0]}],
  "flagged": [{"file": ")" + records_file +
                                          R"(", "event": 3, "channel": "A", "flag": "clipped"},
              {"file": ")" + records_file +
                                          R"(", "event": 7, "channel": "A", "flag": "no_pulse"}]})");
}


// The pixels of a PNG file, row after row from the top, three components each.
struct rgb_pixels {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
    bool is(std::uint32_t x, std::uint32_t y, std::uint32_t colour) const {
        const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
        return rgb[at] == (colour >> 16 & 0xff) && rgb[at + 1] == (colour >> 8 & 0xff) && rgb[at + 2] == (colour & 0xff);
    }
};

rgb_pixels read_png(const std::string& path) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    rgb_pixels result;
    if (png_image_begin_read_from_file(&png, path.c_str()) == 0) return result;
    png.format = PNG_FORMAT_RGB;
    result.rgb.resize(PNG_IMAGE_SIZE(png));
    if (png_image_finish_read(&png, nullptr, result.rgb.data(), 0, nullptr) == 0) return {};
    result.width = png.width;
    result.height = png.height;
    return result;
}

// Where `script` put its last plot's x axis: the pixel columns of its ends and their values.
struct x_axis {
    double left = 0, right = 0, low = 0, high = 0;
    double column_of(double x) const { return left + (x - low) / (high - low) * (right - left); }
};

x_axis x_axis_of(const std::string& script) {
    scratch_dir work;
    const std::string frame = work.file("frame.txt");
    const run_result result = run("/bin/sh", {"-c", "gnuplot -e \"output = '" + work.file("p.png") + "'\" '" + script +
                                                        "' -e \"set print '" + frame +
                                                        "'; print GPVAL_TERM_XMIN, GPVAL_TERM_XMAX, GPVAL_X_MIN, GPVAL_X_MAX\""},
                                  ".");
    EXPECT_EQ(result.status, 0) << result.err;
    x_axis axis;
    std::istringstream(read_file(frame)) >> axis.left >> axis.right >> axis.low >> axis.high;
    return axis;
}

// For each pixel column holding `colour`, the row of its highest pixel of that colour.
std::map<std::uint32_t, std::uint32_t> top_of_colour(const rgb_pixels& image, std::uint32_t colour) {
    std::map<std::uint32_t, std::uint32_t> result;
    for (std::uint32_t y = 0; y < image.height; ++y)
        for (std::uint32_t x = 0; x < image.width; ++x)
            if (image.is(x, y, colour) && result.count(x) == 0) result[x] = y;
    return result;
}

// The column of a gallery's data copy headed `heading`.
std::size_t column_of(const std::string& copy, const std::string& heading) {
    std::istringstream words(test_support::lines(read_file(copy)).front());
    std::string word;
    words >> word;  // '#'
    for (std::size_t k = 0; words >> word; ++k)
        if (word == heading) return k;
    ADD_FAILURE() << heading << " heads no column of " << copy;
    return 0;
}

const std::uint32_t fit_colour = 0xe66100, background_colour = 0x1a9641;

const png_size plot_size{1200, 720};

}  // namespace

TEST(plot_cli, refuses_impossible_command_lines_with_status_2) {
    scratch_dir dir;
    fs::create_directory(dir.file("empty"));
    write_records(dir.file("few.cdb"), 3, 1000);
    const std::vector<std::vector<std::string>> cases = {
        {"-o", "out"},                                         // no input
        {dir.file("empty")},                                   // no output directory
        {dir.file("missing"), "-o", "out"},                    // no such input
        {dir.file("empty"), "-o", "out"},                      // nothing to plot there
        {dir.file("few.cdb"), "-o", "out"},                    // which records?
        {dir.file("few.cdb"), "--records", "3", "-o", "out"},  // beyond the 3 records
        {dir.file("few.cdb"), "--records", "x", "-o", "out"},  // not a number
        {dir.file("few.cdb"), "--records", "-1", "-o", "out"},  // not wrapped round to the last event
        {dir.file("few.cdb"), "--records", "0,18446744073709551616", "-o", "out"},  // not cut to 2^64 - 1
        {dir.file("few.cdb"), "--records", "0", "--samples", "0", "-o", "out"},
        {dir.file("few.cdb"), "--records", "0", "--rebin", "0", "-o", "out"},
        {dir.file("few.cdb"), "--records", "0", "--format", "no-such-format", "-o", "out"},
        {"--records", "0", dir.file("empty"), "-o", "out"},  // records without a file
    };
    for (const auto& arguments : cases) {
        const run_result result = murel_plot(arguments, dir.path().string());
        EXPECT_EQ(result.status, 2) << arguments[0] << " ... " << arguments.back() << ": " << result.err;
        EXPECT_EQ(result.err.rfind("murel: ", 0), 0U) << result.err;
        EXPECT_FALSE(fs::exists(dir.file("out")));
    }
    EXPECT_NE(murel_plot({dir.file("few.cdb"), "--records", "3", "-o", "out"}, dir.path().string())
                  .err.find("no event 3 in " + dir.file("few.cdb") + ", whose events run from 0 to 2"),
              std::string::npos);
    // A record length that does not fit the file is a fault of the data as read, like analyse's.
    const run_result misread =
        murel_plot({dir.file("few.cdb"), "--records", "0", "--samples", "999", "-o", "out"}, dir.path().string());
    EXPECT_EQ(misread.status, 1);
    EXPECT_NE(misread.err.find("few.cdb: its size of 12012 bytes is not a 12-byte header plus whole events"),
              std::string::npos)
        << misread.err;
    EXPECT_FALSE(fs::exists(dir.file("out")));
    EXPECT_NE(murel_plot({dir.file("few.cdb"), "--records", "-1", "-o", "out"}, dir.path().string())
                  .err.find("'-1' is not an event number"),
              std::string::npos);
}

TEST(plot_cli, without_gnuplot_fails_with_status_1_and_draws_nothing) {
    scratch_dir dir;
    write_records(dir.file("few.cdb"), 3, 1000);
    const std::vector<std::string> records{dir.file("few.cdb"), "--records", "0", "-o", dir.file("out")};
    const auto named = [&](const std::string& program) {
        std::vector<std::string> arguments = records;
        arguments.insert(arguments.end(), {"--gnuplot", program});
        return murel_plot(arguments);
    };
    fs::create_directory(dir.file("a-directory"));
    for (const run_result& result : {murel_plot(records, ".", dir.file("nothing-here").c_str()),
                                     named(dir.file("no-gnuplot")), named(dir.file("a-directory")), named("")}) {
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("murel: cannot find gnuplot"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("gnuplot-nox"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(fs::exists(dir.file("out")));
    }
}

TEST(plot_cli, a_gnuplot_that_ends_well_without_drawing_is_a_failure) {
    scratch_dir dir;
    write_records(dir.file("few.cdb"), 3, 1000);
    const std::string silent = dir.file("silent-gnuplot");
    std::ofstream(silent) << "#!/bin/sh\nexit 0\n";
    fs::permissions(silent, fs::perms::owner_all);
    const run_result result =
        murel_plot({dir.file("few.cdb"), "--records", "0", "-o", dir.file("out"), "--gnuplot", silent});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "murel: " + silent + " ended without drawing records-few.png\n");
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(fs::exists(dir.file("out")));  // created for the run, and gone with its failure
}

TEST(plot_cli, an_interrupt_ends_the_run_by_its_signal_without_litter_unless_ignored) {
    scratch_dir dir;
    write_records(dir.file("few.cdb"), 3, 1000);
    const std::string out = dir.file("out");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        for (const bool ignored : {false, true}) {
            fs::remove_all(out);
            fs::create_directory(out);
            std::fflush(nullptr);
            const pid_t child = ::fork();
            if (child == 0) {
                std::signal(signal, ignored ? SIG_IGN : SIG_DFL);
                if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) ::_exit(126);
                ::execl(MUREL_PATH, MUREL_PATH, "plot", dir.file("few.cdb").c_str(), "--records", "0,1,2", "-o",
                        out.c_str(), static_cast<char*>(nullptr));
                ::_exit(127);
            }
            // The first hidden file shows before gnuplot starts on the first picture.
            const auto [seen, status] = test_support::signal_when_present(child, out, ".", signal);
            EXPECT_TRUE(seen) << signal;
            if (ignored) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << signal;
                EXPECT_EQ(pictures_in(out).at("records-few.png").width, plot_size.width) << signal;
            } else {
                EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
                EXPECT_TRUE(fs::is_empty(out)) << signal;
            }
        }
}

TEST(plot_generator_outputs, draws_the_self_test_and_the_example_as_their_tables_say) {
    scratch_dir generated, plots;
    ASSERT_EQ(run(MUREL_GEN_PATH, {}, generated.path().string()).status, 0);
    const run_result result = murel_plot({generated.path().string(), "-o", plots.file("pictures")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(pictures_in(plots.file("pictures")),
              (std::map<std::string, png_size>{{"example-pulses.png", plot_size},
                                               {"selftest-normal.png", plot_size},
                                               {"selftest-uniform.png", plot_size}}));
    for (const char* name : {"example-pulses", "selftest-normal", "selftest-uniform"}) {
        const std::string script = plots.file("pictures/" + std::string(name) + ".gp");
        fs::remove(plots.file("pictures/" + std::string(name) + ".png"));
        EXPECT_EQ(rerun_script(script), "0") << name;
        EXPECT_EQ(png_file_size(plots.file("pictures/" + std::string(name) + ".png")), plot_size) << name;
    }
    EXPECT_EQ(hidden_files_in(plots.file("pictures")), std::vector<std::string>{});

    const murel::plot::table example = murel::plot::table::read(generated.file("murel_gen_example.txt"));
    const auto points = plotted_points(plots.file("pictures/example-pulses.gp"));
    ASSERT_EQ(points.size(), example.rows());
    for (std::size_t i = 0; i < points.size(); ++i) {
        EXPECT_EQ(points[i].first, example.at(i, 0));
        EXPECT_EQ(points[i].second, example.at(i, 1));
    }
    const std::string normal = read_file(plots.file("pictures/selftest-normal.gp"));
    EXPECT_NE(normal.find("n = 1000000\n"), std::string::npos);
    EXPECT_NE(normal.find("w = 0.01\n"), std::string::npos);
    EXPECT_NE(normal.find("expected(x) = n * w * exp(-x**2 / 2) / sqrt(2 * pi)"), std::string::npos);
}

TEST(plot_analysis, draws_every_table_of_an_analysis_and_the_records_it_flagged) {
    scratch_dir dir;
    fs::create_directory(dir.file("analysis"));
    write_records(dir.file("pulses.cdb"), 10, 200);
    write_analysis(dir.file("analysis"), "pulses.cdb");
    const run_result result = murel_plot(
        {"analysis", "pulses.cdb", "--records", "0,9", "--samples", "200", "--images", "-o", "plots"},
        dir.path().string());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(pictures_in(dir.file("plots")), (std::map<std::string, png_size>{{"flagged-pulses.png", plot_size},
                                                                               {"gate-0.png", plot_size},
                                                                               {"gate-1.png", plot_size},
                                                                               {"map.png", {1200, 900}},
                                                                               {"map1.png", {201, 201}},
                                                                               {"records-pulses.png", plot_size},
                                                                               {"residuals.png", plot_size},
                                                                               {"spectrum-A.png", plot_size},
                                                                               {"spectrum-A-log.png", plot_size},
                                                                               {"spectrum-A-line-0.png", {1200, 900}},
                                                                               {"spectrum-A-line-1.png", {1200, 900}},
                                                                               {"spectrum-B.png", plot_size},
                                                                               {"spectrum-B-log.png", plot_size}}));
    for (const auto& entry : fs::directory_iterator(dir.file("plots"))) {
        if (entry.path().extension() == ".gp") {
            EXPECT_EQ(rerun_script(entry.path().string()), "0") << entry.path();
        }
    }

    const std::string spectrum_script = read_file(dir.file("plots/spectrum-A.gp"));
    EXPECT_NE(spectrum_script.find("set ylabel 'Counts / (10 ADC)'"), std::string::npos);
    EXPECT_NE(spectrum_script.find("line 1: 31862.8 ± 1.1 ADC'.\"\\012\".'FWHM 212 ± 2.2 ADC"), std::string::npos);
    // Drawn over the amplitudes it holds (10000 to 35000), not over its whole axis of 0 to 40000.
    const std::size_t range = spectrum_script.find("set xrange [");
    ASSERT_NE(range, std::string::npos);
    double low = 0, high = 0;
    ASSERT_EQ(std::sscanf(spectrum_script.c_str() + range, "set xrange [%lf:%lf]", &low, &high), 2);
    EXPECT_TRUE(low > 8000 && low < 10000 && high > 35000 && high < 37500) << low << " to " << high;
    const murel::plot::table spectrum = murel::plot::table::read(dir.file("analysis/spectrum.txt"));
    const auto points = plotted_points(dir.file("plots/spectrum-B.gp"));
    ASSERT_EQ(points.size(), spectrum.rows());
    for (std::size_t i = 0; i < points.size(); ++i) {
        EXPECT_EQ(points[i].first, spectrum.at(i, 0));
        EXPECT_EQ(points[i].second, spectrum.at(i, 2));
    }

    // The PNG copy holds the PPM's pixels.
    png_image copy{};
    copy.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&copy, dir.file("plots/map1.png").c_str()), 0);
    copy.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(copy));
    ASSERT_NE(png_image_finish_read(&copy, nullptr, pixels.data(), 0, nullptr), 0);
    std::istringstream ppm(read_file(dir.file("analysis/map1.ppm")));
    std::string magic;
    int width = 0, height = 0, largest = 0;
    ppm >> magic >> width >> height >> largest;
    std::vector<std::uint8_t> expected;
    for (int component = 0; ppm >> component;) expected.push_back(static_cast<std::uint8_t>(component));
    EXPECT_EQ(pixels, expected);

    // Both galleries show the records' samples as the file holds them.
    const std::string bytes = read_file(dir.file("pulses.cdb"));
    const murel::plot::table chosen = murel::plot::table::read(dir.file("plots/records-pulses.txt"));
    const murel::plot::table flagged = murel::plot::table::read(dir.file("plots/flagged-pulses.txt"));
    ASSERT_EQ(chosen.rows(), 200U);
    ASSERT_EQ(flagged.rows(), 200U);
    const std::string chosen_copy = dir.file("plots/records-pulses.txt"), flagged_copy = dir.file("plots/flagged-pulses.txt");
    for (int j = 0; j < 200; ++j)
        for (const int channel : {0, 1}) {
            const std::string name = channel == 0 ? ":A" : ":B";
            EXPECT_EQ(chosen.at(j, column_of(chosen_copy, "event-0" + name)), sample_of(bytes, 200, 0, j, channel));
            EXPECT_EQ(chosen.at(j, column_of(chosen_copy, "event-9" + name)), sample_of(bytes, 200, 9, j, channel));
            EXPECT_EQ(flagged.at(j, column_of(flagged_copy, "event-3" + name)), sample_of(bytes, 200, 3, j, channel));
            EXPECT_EQ(flagged.at(j, column_of(flagged_copy, "event-7" + name)), sample_of(bytes, 200, 7, j, channel));
        }
    EXPECT_NE(read_file(dir.file("plots/flagged-pulses.gp")).find("event 7: A no_pulse"), std::string::npos);
}

TEST(plot_readers, refuse_damaged_input_naming_the_file) {
    scratch_dir dir;
    const std::vector<std::pair<std::string, std::string>> tables = {
        {"1 2\n3 x\n", "t.txt:2: not a number: 3 x"},
        {"1 2\n3 4 5\n", "t.txt:2: 3 fields where the first row has 2"},
        {"1 2e\n", "t.txt:1: not a number: 1 2e"},
    };
    for (const auto& [content, message] : tables) {
        write_text(dir.file("t.txt"), content);
        try {
            murel::plot::table::read(dir.file("t.txt"));
            ADD_FAILURE() << content;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    const std::vector<std::pair<std::string, std::string>> images = {
        {"P6\n1 1\n255\n", "not a plain PPM image"},
        {"P3\n2 1\n", "incomplete PPM header"},
        {"P3\n2 1\n255\n1 2 3\n4 5\n", "fewer pixels than its size of 2 x 1"},
        {"P3\n1 1\n255\n1 256 3\n", "component 256 above the largest value"},
        {"P3\n0 1\n255\n", "image size out of range"},
    };
    for (const auto& [content, message] : images) {
        write_text(dir.file("i.ppm"), content);
        try {
            murel::plot::read_ppm(dir.file("i.ppm"));
            ADD_FAILURE() << content;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    write_text(dir.file("summary.json"), R"({"gates": [{"line": 0}]})");
    EXPECT_THROW(murel::plot::analysis_summary::read(dir.file("summary.json")), std::invalid_argument);
    EXPECT_THROW(murel::plot::table::read(dir.file("absent.txt")), std::system_error);
    // Comments and a maximum other than 255 are part of the plain format.
    write_text(dir.file("i.ppm"), "P3 # comment\n1 1\n# another\n15\n15 0 5\n");
    EXPECT_EQ(murel::plot::read_ppm(dir.file("i.ppm")).pixels, (std::vector<std::uint8_t>{255, 0, 85}));
}

TEST(plot_analysis, keeps_the_pictures_of_two_analyses_apart_and_names_flagged_files_it_cannot_find) {
    scratch_dir dir;
    fs::create_directories(dir.file("first/analysis"));
    write_analysis(dir.file("first/analysis"), "gone.cdb");
    fs::copy(dir.file("first"), dir.file("second"), fs::copy_options::recursive);
    const run_result result = murel_plot({"first/analysis", "second/analysis", "-o", "plots"}, dir.path().string());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("murel: cannot find gone.cdb for the flagged records of first/analysis; name it on "
                              "the command line\n"),
              std::string::npos)
        << result.err;
    const auto pictures = pictures_in(dir.file("plots"));
    EXPECT_EQ(pictures.size(), 20U);  // ten of each: four spectra, two line close-ups, map, two gates, residuals
    for (const char* name : {"analysis-spectrum-A.png", "analysis2-spectrum-A.png", "analysis-spectrum-A-line-1.png",
                             "analysis-gate-1.png", "analysis2-residuals.png"})
        EXPECT_EQ(pictures.count(name), 1U) << name;
    EXPECT_EQ(pictures.count("analysis-map1.png"), 0U);  // the PPM copies only with --images
    EXPECT_EQ(result.out.find(dir.file("plots/analysis-spectrum-A.png") + "\n"), 0U) << result.out;
}

TEST(plot_analysis, draws_each_fitted_line_where_the_analysis_found_it_and_nowhere_else) {
    scratch_dir dir;
    ASSERT_EQ(run(MUREL_PATH, {"generate", "--events", "6000", "--samples", "300", "--centre", "150,0.005", "--width",
                               "40,0.0005", "data.cdb"}, dir.path().string()).status, 0);
    ASSERT_EQ(run(MUREL_PATH, {"analyse", "data.cdb", "--samples", "300", "-o", "analysis"}, dir.path().string()).status,
              0);
    const run_result result = murel_plot({"analysis", "--rebin", "8", "-o", "plots"}, dir.path().string());
    ASSERT_EQ(result.status, 0) << result.err;
    const murel::plot::analysis_summary summary = murel::plot::analysis_summary::read(dir.file("analysis/summary.json"));
    ASSERT_EQ(summary.channels.size(), 2U);
    for (const murel::plot::channel_summary& channel : summary.channels) {
        ASSERT_EQ(channel.lines.size(), 2U) << channel.name;
        const std::string picture = dir.file("plots/spectrum-" + channel.name);
        const x_axis axis = x_axis_of(picture + ".gp");
        const auto fitted = top_of_colour(read_png(picture + ".png"), fit_colour);
        ASSERT_FALSE(fitted.empty()) << channel.name;
        for (const murel::plot::found_line& line : channel.lines) {
            ASSERT_TRUE(line.fit_range.has_value());
            // The curve spans the stretch fitted, and peaks at the line's position.
            const double from = axis.column_of(line.fit_range->first), to = axis.column_of(line.fit_range->second);
            const double peak = axis.column_of(line.position);
            std::uint32_t top_row = UINT32_MAX, top_column = 0, columns = 0;
            for (const auto& [column, row] : fitted)
                if (column >= from - 2 && column <= to + 2) {
                    ++columns;
                    if (row < top_row) top_row = row, top_column = column;
                }
            EXPECT_GE(columns, 3U) << channel.name << " " << line.position;
            EXPECT_NEAR(top_column, peak, 2.5) << channel.name << " " << line.position;
        }
        // Nothing of the fit's colour away from the lines (the key's sample aside).
        for (const auto& [column, row] : fitted) {
            bool near_a_line = column > axis.right - 120;
            for (const murel::plot::found_line& line : channel.lines)
                near_a_line = near_a_line || (column >= axis.column_of(line.fit_range->first) - 2 &&
                                              column <= axis.column_of(line.fit_range->second) + 2);
            EXPECT_TRUE(near_a_line) << channel.name << ": fit colour at column " << column << ", row " << row;
        }
        // The close-up draws the curve and the background, and its script rebuilds the counts.
        for (std::size_t k = 0; k < channel.lines.size(); ++k) {
            const std::string close_up = picture + "-line-" + std::to_string(k);
            const rgb_pixels image = read_png(close_up + ".png");
            EXPECT_GT(top_of_colour(image, fit_colour).size(), 300U) << close_up;
            EXPECT_GT(top_of_colour(image, background_colour).size(), 100U) << close_up;
        }
        // The log spectrum sums eight bins into one.
        EXPECT_NE(read_file(picture + "-log.gp").find("set ylabel 'Counts / (80 ADC)'"), std::string::npos);
        const auto rebinned = plotted_points(picture + "-log.gp");
        const auto fine = plotted_points(picture + ".gp");
        double rebinned_total = 0, fine_total = 0;
        for (const auto& point : rebinned) rebinned_total += point.second;
        for (const auto& point : fine) fine_total += point.second;
        EXPECT_EQ(rebinned_total, fine_total) << channel.name;
        EXPECT_NEAR(static_cast<double>(rebinned.size()), fine.size() / 8.0, 2.0) << channel.name;
    }
    const std::string title = read_file(dir.file("plots/spectrum-A.gp"));
    EXPECT_NE(title.find("set title 'data.cdb: channel A amplitude spectrum'"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.file("plots/map1.png")));
}

TEST(plot_records, reads_a_wavedump_acquisition_of_several_files_as_the_analysis_did) {
    scratch_dir dir;
    // Baselines high enough that the larger pulses saturate at 65535 and are flagged.
    ASSERT_EQ(run(MUREL_PATH, {"generate", "--format", "wavedump", "--events", "40", "--samples", "200", "--centre",
                               "100,0.005", "--width", "25,0.0005", "--offset", "2000,0.05", "waves"},
                  dir.path().string()).status, 0);
    ASSERT_EQ(run(MUREL_PATH, {"analyse", "waves/wave0.dat", "waves/wave1.dat", "-o", "analysis"}, dir.path().string())
                  .status, 0);
    const murel::plot::analysis_summary summary = murel::plot::analysis_summary::read(dir.file("analysis/summary.json"));
    ASSERT_FALSE(summary.flagged.empty());
    const run_result flagged = murel_plot({"analysis", "-o", "plots"}, dir.path().string());
    ASSERT_EQ(flagged.status, 0) << flagged.err;
    EXPECT_EQ(flagged.err, "");
    const run_result chosen = murel_plot({"waves/wave0.dat", "waves/wave1.dat", "--records", "2,5", "-o", "chosen"},
                                         dir.path().string());
    ASSERT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(pictures_in(dir.file("chosen")), (std::map<std::string, png_size>{{"records-wave0.png", plot_size}}));

    // Each panel holds both channels' samples as the files hold them, with the fit over them.
    std::vector<std::vector<std::int32_t>> wave[2];
    for (int c = 0; c < 2; ++c) {
        const auto reader = murel::formats::open(dir.file("waves/wave" + std::to_string(c) + ".dat"));
        murel::formats::record_batch batch;
        while (reader->next(batch, 64))
            for (std::size_t i = 0; i < batch.size(); ++i)
                wave[c].emplace_back(batch.samples_of(i), batch.samples_of(i) + batch.length_of(i));
    }
    const std::string copy = dir.file("chosen/records-wave0.txt");
    const murel::plot::table records = murel::plot::table::read(copy);
    ASSERT_EQ(records.rows(), 200U);
    for (std::size_t j = 0; j < 200; ++j) {
        EXPECT_EQ(records.at(j, column_of(copy, "event-2:0")), wave[0][2][j]);
        EXPECT_EQ(records.at(j, column_of(copy, "event-2:1")), wave[1][2][j]);
        EXPECT_EQ(records.at(j, column_of(copy, "event-5:0")), wave[0][5][j]);
        EXPECT_EQ(records.at(j, column_of(copy, "event-5:1")), wave[1][5][j]);
    }
    // Each fitted pulse (none for a saturated record) follows its samples to within the noise,
    // over its baseline.
    std::size_t fitted = 0;
    for (const char* record : {"event-2:0", "event-2:1", "event-5:0", "event-5:1"}) {
        if (test_support::lines(read_file(copy)).front().find(std::string(record) + ":fitted_pulse") == std::string::npos)
            continue;
        ++fitted;
        const std::size_t samples = column_of(copy, record), pulse = column_of(copy, std::string(record) + ":fitted_pulse");
        double largest_gap = 0;
        for (std::size_t j = 0; j < 200; ++j)
            largest_gap = std::max(largest_gap, std::abs(records.at(j, pulse) - records.at(j, samples)));
        EXPECT_LT(largest_gap, 100.0) << record;
        EXPECT_NEAR(records.at(0, column_of(copy, std::string(record) + ":baseline")), records.at(0, samples), 100.0);
    }
    EXPECT_GE(fitted, 1U);

    const std::string flagged_script = read_file(dir.file("plots/flagged-wave0.gp"));
    const murel::plot::flagged_record& first = summary.flagged.front();
    EXPECT_NE(flagged_script.find("event " + std::to_string(first.event) + ": " + first.channel + " " + first.flag),
              std::string::npos);
    EXPECT_NE(flagged_script.find("waves/wave0.dat … wave1.dat (2 files): records flagged by analysis"),
              std::string::npos);
}

namespace {

// Where `script` put its last plot: the pixel columns and rows of its frame and the axes' ends.
struct frame {
    double left = 0, right = 0, bottom = 0, top = 0, x_low = 0, x_high = 0, y_low = 0, y_high = 0;
    double column_of(double x) const { return left + (x - x_low) / (x_high - x_low) * (right - left); }
    double row_of(double y) const { return bottom - (y - y_low) / (y_high - y_low) * (bottom - top); }
};

frame frame_of(const std::string& script, std::uint32_t height) {
    scratch_dir work;
    const std::string numbers = work.file("frame.txt");
    const run_result result =
        run("/bin/sh", {"-c", "gnuplot -e \"output = '" + work.file("p.png") + "'\" '" + script + "' -e \"set print '" +
                                  numbers + "'; print GPVAL_TERM_XMIN, GPVAL_TERM_XMAX, GPVAL_TERM_YMIN, GPVAL_TERM_YMAX, "
                                            "GPVAL_X_MIN, GPVAL_X_MAX, GPVAL_Y_MIN, GPVAL_Y_MAX\""},
            ".");
    EXPECT_EQ(result.status, 0) << result.err;
    frame f;
    double term_bottom = 0, term_top = 0;
    std::istringstream(read_file(numbers)) >> f.left >> f.right >> term_bottom >> term_top >> f.x_low >> f.x_high >> f.y_low >>
        f.y_high;
    f.bottom = height - term_bottom;
    f.top = height - term_top;
    return f;
}

// The rows of records.csv, each a map from the header's names to the row's fields (no field
// of these files holds a comma).
std::vector<std::map<std::string, std::string>> csv_rows(const std::string& path) {
    const std::vector<std::string> rows = test_support::lines(read_file(path));
    const auto split = [](const std::string& line) {
        std::vector<std::string> fields(1);
        for (const char c : line)
            if (c == ',') fields.emplace_back();
            else fields.back().push_back(c);
        return fields;
    };
    const std::vector<std::string> header = split(rows.front());
    std::vector<std::map<std::string, std::string>> result;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const std::vector<std::string> fields = split(rows[r]);
        std::map<std::string, std::string> row;
        for (std::size_t k = 0; k < header.size() && k < fields.size(); ++k) row[header[k]] = fields[k];
        result.push_back(row);
    }
    return result;
}

bool near_colour(const rgb_pixels& image, double column, double row, std::uint32_t colour, int reach) {
    for (int dy = -reach; dy <= reach; ++dy)
        for (int dx = -reach; dx <= reach; ++dx) {
            const long x = std::lround(column) + dx, y = std::lround(row) + dy;
            if (x >= 0 && y >= 0 && x < static_cast<long>(image.width) && y < static_cast<long>(image.height) &&
                image.is(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), colour))
                return true;
        }
    return false;
}

const std::uint32_t mark_colour = 0x8b00ff;

std::set<std::string> pictures_named(const std::string& dir, const std::string& start) {
    std::set<std::string> result;
    for (const auto& [name, size] : pictures_in(dir))
        if (name.rfind(start, 0) == 0) result.insert(name);
    return result;
}

}  // namespace

TEST(plot_method, draws_the_trapezoid_output_over_each_record_and_its_pick_off_where_the_analysis_read_the_energy) {
    scratch_dir dir;
    ASSERT_EQ(run(MUREL_PATH, {"generate", "pre.cdb", "--events", "20", "--shape", "preamp", "--rise", "10", "--decay",
                               "2000", "-q"}, dir.path().string()).status, 0);
    ASSERT_EQ(run(MUREL_PATH, {"analyse", "pre.cdb", "-o", "a", "--method", "trapezoid", "--records", "-q"},
                  dir.path().string()).status, 0);
    const run_result result = murel_plot({"a", "pre.cdb", "--records", "4", "-o", "plots"}, dir.path().string());
    ASSERT_EQ(result.status, 0) << result.err;
    // No calibration and no psd values: no such pictures.
    EXPECT_EQ(pictures_named(dir.file("plots"), "calibration-"), std::set<std::string>{});
    EXPECT_EQ(pictures_named(dir.file("plots"), "resolution-"), std::set<std::string>{});
    EXPECT_EQ(pictures_named(dir.file("plots"), "psd-"), std::set<std::string>{});

    const std::string copy = dir.file("plots/records-pre.txt");
    const murel::plot::table values = murel::plot::table::read(copy);
    const rgb_pixels image = read_png(dir.file("plots/records-pre.png"));
    const frame panel = frame_of(dir.file("plots/records-pre.gp"), image.height);
    std::size_t checked = 0;
    for (const auto& row : csv_rows(dir.file("a/records.csv"))) {
        if (row.at("event") != "4") continue;
        ASSERT_EQ(row.at("flag"), "ok");
        const std::string record = "event-4:" + row.at("channel");
        const std::size_t output = column_of(copy, record + ":trapezoid_output"), pick = column_of(copy, record + ":pick-off");
        // The pick-off is the one point of its column, at the energy records.csv holds, over the baseline.
        const double energy = std::stod(row.at("trap_energy")), baseline = std::stod(row.at("baseline"));
        std::size_t at = values.rows();
        for (std::size_t j = 0; j < values.rows(); ++j)
            if (!std::isnan(values.at(j, pick))) {
                EXPECT_EQ(at, values.rows()) << record << ": a second pick-off at " << j;
                at = j;
            }
        ASSERT_LT(at, values.rows()) << record;
        EXPECT_NEAR(values.at(at, pick), baseline + energy, 1e-6 * std::fabs(baseline + energy)) << record;
        EXPECT_NEAR(static_cast<double>(at), std::stod(row.at("t_cfd")) + 50 + 15, 1.0) << record;
        // The output lies on the baseline before the pulse and peaks at trap_max above it.
        EXPECT_NEAR(values.at(10, output), baseline, 100.0) << record;
        double highest = -1e300;
        for (std::size_t j = 0; j < values.rows(); ++j) highest = std::max(highest, values.at(j, output));
        EXPECT_NEAR(highest, baseline + std::stod(row.at("trap_max")), 1e-6 * std::fabs(highest)) << record;
        // In the picture: the mark where the energy was read, the output's colour under and beside it.
        EXPECT_TRUE(near_colour(image, panel.column_of(at), panel.row_of(baseline + energy), mark_colour, 3)) << record;
        EXPECT_TRUE(near_colour(image, panel.column_of(at + 25.0), panel.row_of(values.at(at + 25, output)), fit_colour, 3))
            << record;
        EXPECT_FALSE(near_colour(image, panel.column_of(at), panel.row_of(baseline), mark_colour, 3)) << record;
        ++checked;
    }
    EXPECT_EQ(checked, 2U);
}

TEST(plot_method, draws_charge_gates_psd_maps_and_the_calibration_exactly_when_the_analysis_has_them) {
    scratch_dir dir;
    ASSERT_EQ(run(MUREL_PATH, {"generate", "ex.cdb", "--events", "600", "--shape", "exponential", "--rise", "5,0.1",
                               "--decay", "80", "--line", "5000,0.01,0.3", "--line", "12000,0.008,0.3", "--line",
                               "25000,0.005,0.2", "-q"}, dir.path().string()).status, 0);
    ASSERT_EQ(run(MUREL_PATH, {"analyse", "ex.cdb", "-o", "plain", "--method", "charge", "-q"}, dir.path().string()).status, 0);
    ASSERT_EQ(run(MUREL_PATH, {"analyse", "ex.cdb", "-o", "full", "--method", "charge", "--records", "--calibrate-lines",
                               "662,1173,1332", "--unit", "keV", "-q"}, dir.path().string()).status, 0);
    const run_result plain = murel_plot({"plain", "-o", "plain-plots"}, dir.path().string());
    ASSERT_EQ(plain.status, 0) << plain.err;
    for (const char* kind : {"calibration-", "resolution-", "psd-"})
        EXPECT_EQ(pictures_named(dir.file("plain-plots"), kind), std::set<std::string>{}) << kind;
    const run_result full = murel_plot({"full", "ex.cdb", "--records", "0", "-o", "plots"}, dir.path().string());
    ASSERT_EQ(full.status, 0) << full.err;
    EXPECT_EQ(pictures_named(dir.file("plots"), "calibration-"),
              (std::set<std::string>{"calibration-A.png", "calibration-B.png"}));
    EXPECT_EQ(pictures_named(dir.file("plots"), "resolution-"), (std::set<std::string>{"resolution-A.png", "resolution-B.png"}));
    EXPECT_EQ(pictures_named(dir.file("plots"), "psd-"), (std::set<std::string>{"psd-A.png", "psd-B.png"}));
    EXPECT_EQ(pictures_in(dir.file("plots")).at("calibration-A.png"), (png_size{1200, 900}));

    // The map counts every unflagged record of its channel, on the energy axis, in the psd's range.
    const murel::plot::table cells = murel::plot::table::read(dir.file("plots/psd-A.txt"));
    double records = 0, psd_low = 1e300, psd_high = -1e300, energy_low = 1e300, energy_high = -1e300;
    for (std::size_t r = 0; r < cells.rows(); ++r) {
        if (cells.at(r, 2) == 0) continue;
        records += cells.at(r, 2);
        energy_low = std::min(energy_low, cells.at(r, 0)), energy_high = std::max(energy_high, cells.at(r, 0));
        psd_low = std::min(psd_low, cells.at(r, 1)), psd_high = std::max(psd_high, cells.at(r, 1));
    }
    std::size_t unflagged = 0;
    for (const auto& row : csv_rows(dir.file("full/records.csv")))
        unflagged += row.at("channel") == "A" && row.at("flag") == "ok";
    EXPECT_EQ(records, static_cast<double>(unflagged));
    EXPECT_TRUE(energy_low > 600 && energy_low < 720 && energy_high > 1300 && energy_high < 1400)
        << energy_low << " to " << energy_high;
    EXPECT_TRUE(psd_low > 0.85 && psd_high < 0.99) << psd_low << " to " << psd_high;

    // The resolution curve passes through the lines' FWHMs, which three lines fit exactly.
    const auto curve = plotted_points(dir.file("plots/resolution-A.gp"));
    const murel::plot::analysis_summary summary = murel::plot::analysis_summary::read(dir.file("full/summary.json"));
    const auto& calibration = summary.channels.front().calibration;
    ASSERT_TRUE(calibration.has_value());
    for (std::size_t i = 0; i < calibration->energies.size(); ++i) {
        const auto nearest = std::min_element(curve.begin(), curve.end(), [&](const auto& p, const auto& q) {
            return std::fabs(p.first - calibration->energies[i]) < std::fabs(q.first - calibration->energies[i]);
        });
        ASSERT_NE(nearest, curve.end());
        EXPECT_NEAR(nearest->second, calibration->fwhms[i], 0.05 * calibration->fwhms[i]) << i;
    }

    // The gates are shaded from the gate lead before the CFD time, long and short.
    const std::string copy = dir.file("plots/records-ex.txt");
    const murel::plot::table values = murel::plot::table::read(copy);
    for (const auto& row : csv_rows(dir.file("full/records.csv"))) {
        if (row.at("event") != "0" || row.at("flag") != "ok") continue;
        const std::string record = "event-0:" + row.at("channel");
        const auto stretch = [&](const std::string& gate) {
            const std::size_t column = column_of(copy, record + ":" + gate);
            std::size_t first = values.rows(), last = 0;
            for (std::size_t j = 0; j < values.rows(); ++j)
                if (!std::isnan(values.at(j, column))) first = std::min(first, j), last = j;
            return std::make_pair(first, last);
        };
        const auto start = static_cast<std::size_t>(std::stod(row.at("t_cfd"))) - 10;
        EXPECT_EQ(stretch("long_gate"), std::make_pair(start, start + 199)) << record;
        EXPECT_EQ(stretch("short_gate"), std::make_pair(start, start + 19)) << record;
    }
    const std::string gallery = read_file(dir.file("plots/records-ex.gp"));
    EXPECT_NE(gallery.find("set object rectangle from first "), std::string::npos);
    EXPECT_NE(gallery.find("title 'long gate'"), std::string::npos);
}

namespace {

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    return text.replace(text.find(what), what.size(), with);
}

}  // namespace

TEST(plot_summary, refuses_a_processing_or_calibration_that_is_not_finite_naming_channel_and_key) {
    scratch_dir dir;
    const std::string processing =
        R"({"method": "trapezoid", "baseline_samples": "quarter", "decay": "estimated", "rise_time": 50, "flat_top": 30,
            "long_gate": 200, "short_gate": 20, "gate_lead": 10, "threshold": "5 baseline rms", "cfd_fraction": 0.2,
            "pileup_window": 4})";
    const std::string calibration = R"({"coefficients": [1, 2, 0], "resolution": {"a": 1, "b": 0, "c": 0},
                                       "lines": [{"position": 1, "energy": 3, "fwhm": 1}]})";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"("channels": {"A": {"processing": )" + replaced(processing, "\"rise_time\": 50", "\"rise_time\": 0") + "}}",
         "channel \"A\": processing rise_time 0"},
        {R"("channels": {"A": {"processing": )" + replaced(processing, "\"estimated\"", "-1") + "}}",
         "channel \"A\": processing decay -1"},
        {R"("channels": {"A": {"processing": )" + replaced(processing, "\"trapezoid\"", "\"x\"") + "}}",
         "processing method 'x'"},
        {R"("line_calibration": {"channels": {"A": )" + replaced(calibration, "\"b\": 0", "\"b\": \"x\"") + "}}",
         "channel \"A\": line calibration resolution b: \"x\", not a finite number"},
        {R"("line_calibration": {"channels": {"A": )" + replaced(calibration, "\"energy\": 3", "\"energy\": null") + "}}",
         "line 0 energy: null, not a finite number"},
    };
    for (const auto& [fields, message] : cases) {
        write_text(dir.file("summary.json"), "{" + fields + "}");
        try {
            murel::plot::analysis_summary::read(dir.file("summary.json"));
            ADD_FAILURE() << fields;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    write_text(dir.file("summary.json"), R"({"channels": {"A": {"processing": )" + processing + R"(, "estimated_decay": 80}},
        "line_calibration": {"channels": {"A": )" + calibration + "}}}");
    const murel::plot::analysis_summary summary = murel::plot::analysis_summary::read(dir.file("summary.json"));
    ASSERT_TRUE(summary.channels.front().processing.has_value());
    EXPECT_EQ(summary.channels.front().processing->decay, 80.0);
    EXPECT_EQ(summary.channels.front().calibration->energy(1), 3.0);
}
