// Runs `murel generate` as a user would and checks its files against murel_gen and against a
// plain one-draw-at-a-time computation of the data set.
#include "file_digest.h"
#include "murel_gen.h"
#include "program_runner.h"
#include "pulse_model.h"
#include "test_support.h"

#include <cmath>
#include <cstdio>
#include <fstream>

using namespace murel;
using test_support::listing;
using test_support::read_file;
using test_support::run;
using test_support::run_result;
using test_support::scratch_dir;

namespace {

run_result generate(const std::vector<std::string>& arguments, const std::string& dir,
                    const test_support::run_options& options = {}) {
    std::vector<std::string> all{"generate"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return run(MUREL_PATH, all, dir, options);
}

// The data set written out by hand: every phase of the run seeds with `seed`, and every value
// comes from one scalar draw after the other.
class reference_data_set {
public:
    reference_data_set(std::int32_t seed, pulse_model model, int samples) : model_(std::move(model)), samples_(samples) {
        // The self-test leaves the normal cache empty; the example phase's draws decide what it
        // holds when the synthetic phase reseeds.
        g_.generator_state = seed;
        pulse_params p;
        draw(p);
        draw(p);
        for (int i = 0; i < 2 * samples; ++i) g_.normal();
        g_.generator_state = seed;
    }

    // Appends the next event's samples to `bytes` and its truth rows to `truth`, or only draws it.
    void next_event(std::uint64_t event, std::string* bytes, std::string* truth) {
        pulse_params p[2];
        const int component[2] = {draw(p[0]), draw(p[1])};
        for (int j = 0; j < samples_; ++j)
            for (const pulse_params& channel : p) {
                const double v = g_.normal() * model_.noise_sigma + f(j, channel);
                const auto bits = static_cast<std::uint16_t>(static_cast<std::int32_t>(v) & 0xFFFF);
                if (bytes) *bytes += {static_cast<char>(bits & 0xFF), static_cast<char>(bits >> 8)};
            }
        for (int c = 0; truth && c < 2; ++c) {
            char row[256];
            std::snprintf(row, sizeof row, "%llu,%c,%d,%.17g,%.17g,%.17g,%.17g\n", static_cast<unsigned long long>(event),
                          "AB"[c], component[c], p[c][0], p[c][1], p[c][2], p[c][3]);
            *truth += row;
        }
    }

private:
    int draw(pulse_params& p) {
        const double u = g_.uniform();
        double cumulative = 0.0;
        int component = -1;
        for (std::size_t k = 0; k < model_.lines.size(); ++k) {
            cumulative += model_.lines[k].probability;
            if (u < cumulative) {
                p[0] = (g_.normal() * model_.lines[k].relative_sigma + 1.0) * model_.lines[k].position;
                component = static_cast<int>(k);
                break;
            }
        }
        if (component < 0) p[0] = g_.uniform() * (model_.continuum_max - model_.continuum_min) + model_.continuum_min;
        p[1] = (g_.normal() * model_.centre.relative_sigma + 1.0) * model_.centre.value;
        p[2] = (g_.normal() * model_.width.relative_sigma + 1.0) * model_.width.value;
        p[3] = (g_.normal() * model_.offset.relative_sigma + 1.0) * model_.offset.value;
        return component;
    }

    generator g_;
    pulse_model model_;
    int samples_;
};

}  // namespace

TEST(murel_generate, defaults_write_murel_gen_data_on_any_number_of_threads_with_a_sidecar) {
    scratch_dir gen, dir;
    ASSERT_EQ(run(MUREL_GEN_PATH, {}, gen.path().string()).status, 0);
    const std::string expected = read_file(gen.file("synth-1.cdb"));
    for (const char* threads : {"1", "3"}) {
        const run_result result = generate({"out.cdb", "--threads", threads}, dir.path().string());
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out + result.err, "");
        EXPECT_TRUE(read_file(dir.file("out.cdb")) == expected) << threads << " threads";
    }
    EXPECT_EQ(listing(dir.path().string()), (std::vector<std::string>{"out.cdb", "out.cdb.model"}));
    EXPECT_EQ(read_file(dir.file("out.cdb.model")),
              "# written by murel generate; murel generate OUTPUT --model THIS-FILE makes it again\n"
              "version = " MUREL_VERSION "\nseed = 1\nfirst-event = 0\nevents = 10000\nsamples = 1000\n"
              "line = 12775,0.003,0.3\nline = 31863,0.0015,0.2\ncontinuum = 10000,35000\ncentre = 600,0.005\n"
              "width = 175,0.0005\noffset = -28000,0.05\nnoise = 20\n"
              "# the files written with this sidecar: bytes and XXH3-64 hash\n"
              "data-file = 40000012 " + murel::digest_of(dir.file("out.cdb")).hash_text() + "\n");
}

TEST(murel_generate, ranges_of_any_split_rebuild_the_whole_data_set) {
    scratch_dir dir;
    const std::vector<std::string> common{"--seed", "424242", "--samples", "100", "--line", "5000,0.01,0.7"};
    const auto with = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), common.begin(), common.end());
        return arguments;
    };
    ASSERT_EQ(generate(with({"whole", "--events", "50"}), dir.path().string()).status, 0);
    const std::string whole = read_file(dir.file("whole"));
    ASSERT_EQ(whole.size(), 12U + 50 * 400);
    const std::vector<std::vector<int>> splits{{0, 50}, {0, 1, 2, 50}, {0, 17, 17, 33, 49, 50}};
    for (const std::vector<int>& bounds : splits) {
        std::string joined(12, '\0');
        for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
            const std::string name = "piece-" + std::to_string(k);
            const run_result result = generate(with({name, "--first-event", std::to_string(bounds[k]), "--events",
                                                     std::to_string(bounds[k + 1] - bounds[k]), "--threads",
                                                     std::to_string(1 + k % 2)}),
                                               dir.path().string());
            ASSERT_EQ(result.status, 0) << result.err;
            const std::string piece = read_file(dir.file(name));
            ASSERT_EQ(piece.substr(0, 12), std::string(12, '\0'));
            joined += piece.substr(12);
        }
        EXPECT_TRUE(joined == whole) << "split of " << bounds.size() - 1;
    }
    // An empty range passes over nothing, wherever it starts.
    const run_result empty =
        generate(with({"empty", "--first-event", "9223372036854775807", "--events", "0"}), dir.path().string());
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(read_file(dir.file("empty")), std::string(12, '\0'));
}

TEST(murel_generate, files_and_truth_agree_with_a_plain_computation) {
    pulse_model three_lines;
    three_lines.lines = {{2000, 0.01, 0.25}, {-9000, 0.002, 0.125}, {31000, 0.0, 0.5}};
    three_lines.continuum_min = 100;
    three_lines.continuum_max = 60000;  // baselines below -32768 and peaks above 32767 wrap
    three_lines.centre = {12.5, 0.1};
    three_lines.width = {3.25, 0.02};
    three_lines.offset = {-30000, 0.1};
    three_lines.noise_sigma = 7.5;
    pulse_model continuum_only;
    continuum_only.lines.clear();
    pulse_model lines_only;
    lines_only.lines = {{100, 0.5, 0.5}, {200, 0.5, 0.5}};
    const struct {
        std::int32_t seed;
        pulse_model model;
        int samples;
        std::uint64_t first, events;
    } cases[] = {
        {1, pulse_model{}, 1000, 9995, 5},       // murel_gen's own data set near its end
        {987654321, three_lines, 37, 5, 20},
        {2147483646, continuum_only, 1, 0, 9},  // one sample: the noise jump has nothing to leave out
        {77, lines_only, 2, 3, 4},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        {
            std::ofstream model(dir.file("model"));
            model << format_model(c.model);
        }
        const run_result result = generate({"out", "--truth", "truth.csv", "--model", "model", "--seed",
                                            std::to_string(c.seed), "--samples", std::to_string(c.samples),
                                            "--first-event", std::to_string(c.first), "--events",
                                            std::to_string(c.events)},
                                           dir.path().string());
        ASSERT_EQ(result.status, 0) << result.err;
        reference_data_set reference(c.seed, c.model, c.samples);
        std::string bytes(12, '\0'), truth = "event,channel,component,amplitude,centre,width,offset\n";
        for (std::uint64_t e = 0; e < c.first; ++e) reference.next_event(e, nullptr, nullptr);
        for (std::uint64_t e = c.first; e < c.first + c.events; ++e) reference.next_event(e, &bytes, &truth);
        EXPECT_TRUE(read_file(dir.file("out")) == bytes) << "seed " << c.seed;
        EXPECT_EQ(read_file(dir.file("truth.csv")), truth) << "seed " << c.seed;
    }
}

TEST(murel_generate, model_file_settings_yield_to_the_command_line_and_the_sidecar_remakes_the_file) {
    scratch_dir dir;
    {
        std::ofstream model(dir.file("model.txt"));
        model << "# two lines\n\nline = 3000, 0.01, 0.4\nline=4000,0.02,0.1   # the second\n"
                 "noise = 3\nwidth = 20,0\nsamples = 64\nevents = 12\n";
    }
    const run_result printed = generate({"--model", "model.txt", "--print-model", "--noise", "0.125", "--offset=-1000,0"},
                                        dir.path().string());
    ASSERT_EQ(printed.status, 0) << printed.err;
    EXPECT_EQ(printed.out,
              "line = 3000,0.01,0.4\nline = 4000,0.02,0.1\ncontinuum = 10000,35000\ncentre = 600,0.005\n"
              "width = 20,0\noffset = -1000,0\nnoise = 0.125\n");
    const run_result replaced = generate({"--model", "model.txt", "--print-model", "--line", "none"}, dir.path().string());
    EXPECT_EQ(test_support::lines(replaced.out).at(0), "line = none");

    ASSERT_EQ(generate({"first", "--model", "model.txt", "--seed", "99", "--first-event", "3"}, dir.path().string()).status, 0);
    EXPECT_EQ(read_file(dir.file("first")).size(), 12U + 12 * 64 * 4);
    ASSERT_EQ(generate({"again", "--model", "first.model"}, dir.path().string()).status, 0);
    EXPECT_TRUE(read_file(dir.file("again")) == read_file(dir.file("first")));
    EXPECT_EQ(read_file(dir.file("again.model")), read_file(dir.file("first.model")));
}

TEST(murel_generate, usage_errors_name_the_option_and_value_and_write_nothing) {
    const struct {
        std::vector<std::string> arguments;
        std::string message, model = {};  // the model file's text, if there is one
    } cases[] = {
        {{"out", "--colour", "red"}, "--colour"},
        {{"out", "--events", "12x"}, "murel: --events 12x: not a whole number\n"},
        {{"out", "--seed", "0"}, "murel: --seed 0: must be 1 to 2147483646\n"},
        {{"out", "--seed", "2147483647"}, "murel: --seed 2147483647: must be 1 to 2147483646\n"},
        {{"out", "--events", "-1"}, "murel: --events -1: must not be negative\n"},
        {{"out", "--first-event", "-40"}, "murel: --first-event -40: must not be negative\n"},
        {{"out", "--samples", "0"}, "murel: --samples 0: must be 1 to 1073741823\n"},
        {{"out", "--line", "100,0,0.6", "--line", "200,0,0.5"},
         "murel: --line 200,0,0.5: the line probabilities add up to 1.1, more than 1\n"},
        {{"out", "--line", "100,0,1.5"}, "murel: --line 100,0,1.5: the probability must be 0 to 1\n"},
        {{"out", "--line", "100,0.1"}, "murel: --line 100,0.1: expected POSITION,RELSIGMA,PROBABILITY\n"},
        {{"out", "--line", "100,-0.1,0.2"}, "murel: --line 100,-0.1,0.2: the relative sigma must not be negative\n"},
        {{"out", "--noise", "inf"}, "murel: --noise inf: 'inf' is not a finite number\n"},
        {{"out", "--noise", "nan"}, "murel: --noise nan: 'nan' is not a finite number\n"},
        {{"out", "--centre", "1e400,0"}, "murel: --centre 1e400,0: '1e400' is not a finite number\n"},
        {{"out", "--width", "0,0.1"}, "murel: --width 0,0.1: the width must not be 0\n"},
        {{"out", "--offset", "5,-1"}, "murel: --offset 5,-1: the relative sigma of the offset must not be negative\n"},
        {{"out", "--continuum", "5,1"}, "murel: --continuum 5,1: the maximum is below the minimum\n"},
        {{"out", "--events", "4611686018427387904"},
         "murel: --events 4611686018427387904: the event range is too large for a file\n"},
        {{"out", "--threads", "0"}, "--threads: Value 0"},
        {{"out", "--model", "missing.txt"}, "--model: File does not exist: missing.txt"},
        {{"out", "--truth", "out.model"}, "murel: --truth out.model: the same file as OUTPUT or its sidecar\n"},
        {{"out", "--truth", "./out"}, "murel: --truth ./out: the same file as OUTPUT or its sidecar\n"},
        {{}, "murel: generate: OUTPUT is required unless --print-model is given\n"},
        {{"dir/"}, "murel: OUTPUT dir/: not a file name\n"},
        {{"out", "--model", "model"}, "murel: model:2: expected 'key = value', not 'width 3'\n", "noise = 1\nwidth 3\n"},
        {{"out", "--model", "model", "--seed", "5"}, "murel: model:3: seed = 0: must be 1 to 2147483646\n",
         "\n# the seed\nseed = 0 # none\n"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        if (!c.model.empty()) std::ofstream(dir.file("model")) << c.model;
        const run_result result = generate(c.arguments, dir.path().string());
        EXPECT_EQ(result.status, 2) << c.message;
        EXPECT_EQ(result.err.rfind("murel: ", 0), 0U) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(listing(dir.path().string()).size(), c.model.empty() ? 0U : 1U) << c.message;
    }
}

TEST(murel_generate, a_failed_write_leaves_no_output_sidecar_or_truth) {
    const struct {
        std::vector<std::string> arguments;
        rlim_t file_size_limit;
        std::string message;
    } cases[] = {
        {{"out", "--events", "10", "--truth", "truth.csv"}, 20000, "murel: cannot write out: File too large\n"},
        {{"out", "--events", "2000", "--samples", "1", "--truth", "truth.csv"}, 10000,
         "murel: cannot write truth.csv: File too large\n"},
        {{"missing/out"}, RLIM_INFINITY, "murel: cannot create missing/out: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        const run_result result = generate(c.arguments, dir.path().string(), {c.file_size_limit});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.message);
        EXPECT_TRUE(listing(dir.path().string()).empty()) << c.message;
    }
}

TEST(murel_generate, links_are_followed_and_devices_written_in_place) {
    scratch_dir dir;
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink("sub/target.cdb", dir.file("link.cdb"));
    std::filesystem::create_symlink("/dev/null", dir.file("null.csv"));
    std::filesystem::create_symlink("/proc/self/fd/1", dir.file("console.csv"));
    scratch_dir console;
    const std::string shown = console.file("shown");
    for (const char* truth : {"null.csv", "console.csv"}) {
        const run_result result = generate({"link.cdb", "--events", "1", "--truth", truth}, dir.path().string(),
                                           {RLIM_INFINITY, false, shown.c_str()});
        EXPECT_EQ(result.status, 0) << result.err;
    }
    for (const char* link : {"link.cdb", "null.csv", "console.csv"})
        EXPECT_TRUE(std::filesystem::is_symlink(dir.file(link))) << link;
    EXPECT_EQ(std::filesystem::file_size(dir.file("sub/target.cdb")), 12U + 4000U);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    EXPECT_EQ(read_file(shown).rfind("event,channel,component,", 0), 0U);
    EXPECT_EQ(listing(dir.path().string()),
              (std::vector<std::string>{"console.csv", "link.cdb", "link.cdb.model", "null.csv", "sub"}));
}

TEST(murel_generate, help_lists_every_option_with_its_default) {
    scratch_dir dir;
    const run_result help = run(MUREL_PATH, {"generate", "--help"}, dir.path().string());
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--seed S=1", "--events N=10000", "--first-event K=0", "--samples N=1000",
                               "--line POSITION,RELSIGMA,PROBABILITY=12775,0.003,0.3 31863,0.0015,0.2",
                               "--continuum MIN,MAX=10000,35000", "--centre VALUE,RELSIGMA=600,0.005",
                               "--width VALUE,RELSIGMA=175,0.0005", "--offset VALUE,RELSIGMA=-28000,0.05",
                               "--noise SIGMA=20", "--threads T=", "--truth FILE", "--model FILE", "--print-model"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_EQ(run(MUREL_PATH, {"--version"}, dir.path().string()).out, MUREL_VERSION "\n");
}
