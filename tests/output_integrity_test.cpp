// Sets of outputs as murel's programs leave them: claimed by one run at a time, complete or
// refused, ended cleanly by a signal, free of scratch litter, with their permissions kept.
#include "directory_lock.h"

#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>

using murel::directory_lock;
using test_support::read_file;
using test_support::run_result;
using test_support::scratch_dir;

namespace {

namespace fs = std::filesystem;

run_result run_murel(const std::vector<std::string>& arguments, const scratch_dir& dir) {
    return test_support::run(MUREL_PATH, arguments, dir.path().string());
}

// Short events keep the runs quick.
const std::vector<std::string> small{"--events", "300"};

void generate(const scratch_dir& dir, const std::string& name, const std::string& seed, bool truth = false) {
    std::vector<std::string> arguments{"generate", name, "--seed", seed};
    arguments.insert(arguments.end(), small.begin(), small.end());
    if (truth) arguments.insert(arguments.end(), {"--truth", name + ".csv"});
    const run_result r = run_murel(arguments, dir);
    ASSERT_EQ(r.status, 0) << r.err;
}

run_result analyse(const scratch_dir& dir, const std::string& data, const std::string& output,
                   std::vector<std::string> more = {}) {
    std::vector<std::string> arguments{"analyse", data, "-o", output};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return run_murel(arguments, dir);
}

std::vector<std::string> hidden_entries(const std::string& dir) {
    std::vector<std::string> hidden;
    for (const std::string& name : test_support::listing(dir))
        if (name[0] == '.') hidden.push_back(name);
    return hidden;
}

mode_t mode_of(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

}  // namespace

TEST(output_lock, a_directory_being_written_is_refused_at_once_to_writers_and_readers) {
    scratch_dir dir;
    generate(dir, "data.cdb", "1");
    ASSERT_EQ(analyse(dir, "data.cdb", "res").status, 0);
    const std::string res = dir.file("res");
    const struct {
        directory_lock::access held;
        std::vector<std::string> arguments;
        std::string message;  // empty: the run goes ahead
    } cases[] = {
        {directory_lock::access::write, {"analyse", "data.cdb", "-o", res}, " is being written"},
        {directory_lock::access::write, {"merge", res, "-o", "sum"}, " is being written"},
        {directory_lock::access::write, {"plot", res, "-o", "pictures"}, " is being written"},
        {directory_lock::access::write, {"merge", "sum", "-o", res}, " is being written"},
        {directory_lock::access::read, {"analyse", "data.cdb", "-o", res}, " is being read"},
        {directory_lock::access::read, {"merge", res, "-o", "sum"}, ""},
        {directory_lock::access::read, {"plot", res, "-o", "pictures"}, ""},
    };
    for (const auto& c : cases) {
        const std::string before = read_file(res + "/summary.json");
        const directory_lock other_run(res, c.held);
        const run_result r = run_murel(c.arguments, dir);
        if (c.message.empty()) {
            EXPECT_EQ(r.status, 0) << c.arguments[0] << ": " << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 1) << c.arguments[0];
        EXPECT_EQ(r.err, "murel: " + res + c.message + " by another murel run\n") << c.arguments[0];
        EXPECT_EQ(read_file(res + "/summary.json"), before);
    }
    // An input that is also the output is no conflict.
    const run_result in_place = run_murel({"merge", res, "-o", res}, dir);
    EXPECT_EQ(in_place.status, 0) << in_place.err;
}

TEST(output_sets, merge_and_plot_refuse_an_analysis_mixed_with_another_naming_the_file) {
    scratch_dir dir;
    generate(dir, "one.cdb", "1");
    generate(dir, "two.cdb", "2");
    ASSERT_EQ(analyse(dir, "one.cdb", "one").status, 0);
    ASSERT_EQ(analyse(dir, "two.cdb", "two").status, 0);
    ASSERT_EQ(run_murel({"merge", "one", "-o", "sum"}, dir).status, 0);
    const std::string summary = dir.file("one/summary.json");
    const std::string kept = read_file(summary);
    nlohmann::json renamed = nlohmann::json::parse(kept);
    renamed["outputs"]["../two/spectrum.txt"] = renamed["outputs"]["spectrum.txt"];
    const struct {
        std::string from;     // copied over one/<file>, or a replacement summary
        std::string file;
        std::string message;  // expected in the error
    } cases[] = {
        {"two/spectrum.txt", "spectrum.txt", "one/spectrum.txt does not belong with " + summary},
        {"two/map.txt", "map.txt", "one/map.txt does not belong with " + summary},
        {"two/map1.ppm", "map1.ppm", "one/map1.ppm does not belong with " + summary},
        {"", "summary.json", summary + ": output \"../two/spectrum.txt\" is not a plain file name"},
    };
    for (const auto& c : cases) {
        const std::string target = dir.file("one/" + c.file);
        const std::string original = read_file(target);
        if (c.from.empty()) std::ofstream(target) << renamed.dump();
        else fs::copy_file(dir.file(c.from), target, fs::copy_options::overwrite_existing);
        for (const std::vector<std::string>& arguments :
             {std::vector<std::string>{"merge", dir.file("one"), "-o", "sum"}, {"plot", dir.file("one"), "-o", "pictures"}}) {
            const run_result r = run_murel(arguments, dir);
            EXPECT_EQ(r.status, 1) << arguments[0] << " " << c.file;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << arguments[0] << ": " << r.err;
        }
        std::ofstream(target, std::ios::binary) << original;
    }
    EXPECT_EQ(run_murel({"merge", "one", "-o", "sum"}, dir).status, 0);
}

TEST(output_sets, analyse_truth_refuses_data_and_truth_of_different_runs) {
    scratch_dir dir;
    generate(dir, "one.cdb", "1", true);
    generate(dir, "two.cdb", "2", true);
    generate(dir, "plain.cdb", "1");
    const struct {
        std::string from, to;  // a file of one run copied over one of the other; empty: none
        std::string data, truth, message;
    } cases[] = {
        {"", "", "one.cdb", "one.cdb.csv", ""},
        {"two.cdb.csv", "one.cdb.csv", "one.cdb", "one.cdb.csv", "one.cdb.csv does not belong with one.cdb.model ("},
        {"two.cdb", "one.cdb", "one.cdb", "one.cdb.csv", "one.cdb does not belong with one.cdb.model (other content)"},
        {"two.cdb", "one.cdb", "one.cdb", "", "one.cdb does not belong with one.cdb.model (other content)"},
        {"two.cdb.model", "one.cdb.model", "one.cdb", "one.cdb.csv", "one.cdb does not belong with one.cdb.model"},
        {"", "", "plain.cdb", "one.cdb.csv", "plain.cdb.model lists no truth table"},
    };
    for (const auto& c : cases) {
        scratch_dir run;
        for (const char* name : {"one.cdb", "one.cdb.csv", "one.cdb.model", "plain.cdb", "plain.cdb.model"})
            fs::copy_file(dir.file(name), run.file(name));
        if (!c.from.empty()) fs::copy_file(dir.file(c.from), run.file(c.to), fs::copy_options::overwrite_existing);
        const run_result r = analyse(run, c.data, "res", c.truth.empty() ? std::vector<std::string>{} : std::vector<std::string>{"--truth", c.truth});
        EXPECT_EQ(r.status, c.message.empty() ? 0 : 1) << c.from << ": " << r.err;
        if (!c.message.empty()) {
            EXPECT_EQ(r.err.rfind("murel: " + c.message, 0), 0U) << r.err;
            EXPECT_FALSE(fs::exists(run.file("res/summary.json")));
        }
    }
    // A sidecar whose events do not add up to the file's size would put other events in the summary.
    scratch_dir run;
    fs::copy_file(dir.file("one.cdb"), run.file("one.cdb"));
    std::string model = read_file(dir.file("one.cdb.model"));
    const std::size_t events = model.find("\nevents = ");
    ASSERT_NE(events, std::string::npos);
    model.insert(events + 10, "1");
    std::ofstream(run.file("one.cdb.model")) << model;
    const run_result r = analyse(run, "one.cdb", "res");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("one.cdb.model describes 1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("it does not belong with it"), std::string::npos) << r.err;
}

// Each writer below meets a pipe where one of its outputs goes, so that it is certainly in its
// write phase when the signal comes.
TEST(interrupted_writes, end_by_the_signal_after_the_write_phase_and_leave_no_scratch) {
    scratch_dir dir;
    generate(dir, "data.cdb", "1");
    ASSERT_EQ(analyse(dir, "data.cdb", "one").status, 0);
    const struct {
        std::vector<std::string> arguments;
        std::string output;
    } cases[] = {
        {{"analyse", "data.cdb", "-o", "res"}, "res"},
        {{"merge", "one", "-o", "sum"}, "sum"},
    };
    for (const auto& c : cases) {
        fs::create_directory(dir.file(c.output));
        // The map is written beside the scratch directory of the image.
        const std::string pipe = dir.file(c.output + "/map.txt");
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        // Held open for both ends, so that the writer neither waits to open it nor meets its end.
        const int reader = ::open(pipe.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        std::vector<char*> argv{const_cast<char*>(MUREL_PATH)};
        for (const std::string& argument : c.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            if (::chdir(dir.path().c_str()) != 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0) ::_exit(126);
            ::execv(MUREL_PATH, argv.data());
            ::_exit(127);
        }
        int status = 0;
        pollfd ready{reader, POLLIN, 0};
        bool signalled = false, reaped = false;
        char buffer[1 << 16];
        while (!reaped) {
            if (::poll(&ready, 1, 50) > 0 && !signalled) {
                ::kill(child, SIGTERM);  // the map is being written
                signalled = true;
            }
            if (signalled)
                while (::read(reader, buffer, sizeof buffer) > 0) {
                }
            reaped = ::waitpid(child, &status, WNOHANG) == child;
        }
        ::close(reader);
        EXPECT_TRUE(signalled) << c.arguments[0];
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << c.arguments[0] << ": status " << status;
        EXPECT_EQ(hidden_entries(dir.file(c.output)), std::vector<std::string>{}) << c.arguments[0];
        EXPECT_FALSE(fs::exists(dir.file(c.output + "/summary.json"))) << c.arguments[0];
    }
}

TEST(interrupted_writes, scratch_and_temporaries_of_killed_runs_go_with_the_next_run_and_nothing_else) {
    scratch_dir dir;
    generate(dir, "data.cdb", "1");
    ASSERT_EQ(analyse(dir, "data.cdb", "one").status, 0);
    // Fresh, and of names this run does not write: the write lock tells they are a killed run's.
    const std::vector<std::string> killed{".records.csv.AbC123", "..spectrum.txt.AbC123.XyZ789", ".residuals.txt.Q1w2E3",
                                          ".gate-7.txt.zzzzzz", ".summary.json.A1B2C3", ".spectrum-A.png.abcdef",
                                          ".spectrum-A.gp.abcdef"};
    // Not murel's: no known kind, a suffix of another shape, a directory, another program's kind.
    const std::vector<std::string> kept{".bashrc.backup", ".notes.AbC123", ".spectrum.txt.AbC12", ".spectrum.txt.AbC-23",
                                        ".x.cdb.AbC123", ".txt.AbC123"};
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"analyse", "data.cdb", "-o", "res"}, {"merge", "one", "-o", "res"}, {"plot", "one", "-o", "res"}}) {
        fs::create_directories(dir.file("res/.murel-Kil1ed"));
        std::ofstream(dir.file("res/.murel-Kil1ed/.map1.ppm.AbC123")) << "P3\n";
        fs::create_directories(dir.file("res/.records.csv.D1rect"));
        for (const std::string& name : killed) std::ofstream(dir.file("res/" + name)) << "part\n";
        for (const std::string& name : kept) std::ofstream(dir.file("res/" + name)) << "mine\n";
        const run_result r = run_murel(arguments, dir);
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::string> expected = kept;
        expected.push_back(".records.csv.D1rect");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(hidden_entries(dir.file("res")), expected) << arguments[0];
        fs::remove(dir.file("res/.records.csv.D1rect"));
    }
}

TEST(interrupted_writes, generate_removes_stale_temporaries_of_its_output_and_sidecar) {
    scratch_dir dir;
    generate(dir, "data.cdb", "1", true);
    const std::vector<std::string> stale{".data.cdb.AbC123", ".data.cdb.model.AbC123", ".data.cdb.csv.AbC123"};
    for (const std::string& name : stale) {
        std::ofstream(dir.file(name)) << "part\n";
        const timespec hours_ago[2] = {{::time(nullptr) - 3 * 3600, 0}, {::time(nullptr) - 3 * 3600, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.file(name).c_str(), hours_ago, 0), 0);
    }
    std::ofstream(dir.file(".data.cdb.Fresh1")) << "a live run's\n";
    generate(dir, "data.cdb", "1");
    // The truth table's name is free: its temporaries go only when it is named again.
    EXPECT_EQ(hidden_entries(dir.path().string()), (std::vector<std::string>{".data.cdb.Fresh1", ".data.cdb.csv.AbC123"}));
    generate(dir, "data.cdb", "1", true);
    EXPECT_EQ(hidden_entries(dir.path().string()), std::vector<std::string>{".data.cdb.Fresh1"});
}

TEST(output_modes, reruns_keep_the_permissions_of_the_files_they_replace) {
    scratch_dir dir;
    generate(dir, "data.cdb", "1", true);
    ASSERT_EQ(analyse(dir, "data.cdb", "res", {"--records"}).status, 0);
    std::vector<std::string> files{"data.cdb", "data.cdb.model", "data.cdb.csv"};
    for (const std::string& name : test_support::listing(dir.file("res"))) files.push_back("res/" + name);
    ASSERT_GE(files.size(), 9U);
    for (const std::string& file : files) ASSERT_EQ(::chmod(dir.file(file).c_str(), 0600), 0) << file;
    generate(dir, "data.cdb", "1", true);
    ASSERT_EQ(analyse(dir, "data.cdb", "res", {"--records"}).status, 0);
    for (const std::string& file : files) EXPECT_EQ(mode_of(dir.file(file)), 0600U) << file;
}
