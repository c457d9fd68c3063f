// Runs the murel_gen program itself, as a user would, in scratch directories.
#include "program_runner.h"
#include "test_support.h"
#include "vector_math.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using test_support::listing;
using test_support::read_file;
using test_support::run;
using test_support::run_options;
using test_support::run_result;
using test_support::scratch_dir;

namespace {

const char* const output_files[] = {"murel_gen_test.txt", "murel_gen_example.txt", "synth-1.cdb", "synth-1.sgl"};

constexpr const char* console = "Testing random number generator...\nGenerating synthetic data:\nsynth-1.cdb, synth-1.sgl\n";

}  // namespace

TEST(murel_gen, writes_all_four_files_and_reproduces_them) {
    scratch_dir first, second;
    const run_result result = run(MUREL_GEN_PATH, {}, first.path().string());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, console);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(listing(first.path().string()),
              (std::vector<std::string>{"murel_gen_example.txt", "murel_gen_test.txt", "synth-1.cdb", "synth-1.sgl"}));

    const std::string cdb = read_file(first.file("synth-1.cdb"));
    EXPECT_EQ(cdb.size(), 12U + 40000000U);
    EXPECT_EQ(cdb.substr(0, 12), std::string(12, '\0'));
    EXPECT_TRUE(cdb == read_file(first.file("synth-1.sgl")));

    std::istringstream table(read_file(first.file("murel_gen_test.txt")));
    double centre, uniform, normal, sums[2] = {0, 0};
    int row = 0;
    for (; table >> centre >> uniform >> normal; ++row) {
        if (row < 800 || row > 900) {
            EXPECT_EQ(uniform, 0.0) << row;
        }
        sums[0] += uniform;
        sums[1] += normal;
    }
    EXPECT_EQ(row, 1601);
    EXPECT_EQ(sums[0], 1e6);
    EXPECT_EQ(sums[1], 1e6);

    const std::string example = read_file(first.file("murel_gen_example.txt"));
    EXPECT_EQ(example.substr(0, 2), "0 ");
    EXPECT_NE(example.find("\n999 "), std::string::npos);

    // Every file gets the permissions that open(..., 0666) would give, the self-test's table too,
    // although a library writer replaces the program's own temporary with it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    for (const char* name : output_files) {
        struct stat status;
        ASSERT_EQ(::stat(first.file(name).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask) << name;
    }

    ASSERT_EQ(run(MUREL_GEN_PATH, {}, second.path().string()).status, 0);
    for (const char* name : output_files) EXPECT_TRUE(read_file(first.file(name)) == read_file(second.file(name))) << name;
}

TEST(murel_gen, matches_the_straightforward_generator_byte_for_byte) {
    scratch_dir fast, plain;
    ASSERT_EQ(run(MUREL_GEN_PATH, {}, fast.path().string()).status, 0);
    const run_result baseline = run(MUREL_GEN_BASELINE_PATH, {}, plain.path().string());
    ASSERT_EQ(baseline.status, 0);
    EXPECT_EQ(baseline.out, console);
    for (const char* name : output_files) EXPECT_TRUE(read_file(fast.file(name)) == read_file(plain.file(name))) << name;
}

TEST(murel_gen, reports_a_directory_it_cannot_write) {
    // A copy of the program where an unprivileged user can surely run it.
    scratch_dir bin, dir;
    ::chmod(bin.path().c_str(), 0755);
    std::filesystem::copy_file(MUREL_GEN_PATH, bin.file("murel_gen"));
    ::chmod(dir.path().c_str(), 0555);
    const run_result result = run(bin.file("murel_gen"), {}, dir.path().string(), {RLIM_INFINITY, true});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("murel_gen: cannot create murel_gen_test.txt: Permission denied\n"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("murel_gen: cannot create murel_gen_example.txt: Permission denied\n"), std::string::npos);
    EXPECT_TRUE(listing(dir.path().string()).empty());
}

TEST(murel_gen, a_write_failing_part_way_leaves_no_truncated_file) {
    // Limits that cut off, in turn, every file, only the binary files, and only the last ones.
    const struct {
        rlim_t limit;
        std::vector<std::string> failed;
    } cases[] = {
        {4000, {"murel_gen_test.txt", "murel_gen_example.txt"}},
        {30000, {"murel_gen_test.txt", "synth-1.cdb"}},
        {50000, {"synth-1.cdb"}},
        {40000011, {"synth-1.cdb"}},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        const run_result result = run(MUREL_GEN_PATH, {}, dir.path().string(), {c.limit, false});
        EXPECT_EQ(result.status, 1) << c.limit;
        for (const std::string& name : c.failed)
            EXPECT_NE(result.err.find("murel_gen: cannot write " + name + ": File too large\n"), std::string::npos)
                << c.limit << ": " << result.err;
        for (const std::string& name : listing(dir.path().string())) {
            EXPECT_EQ(std::find(c.failed.begin(), c.failed.end(), name), c.failed.end()) << name;
            EXPECT_NE(name[0], '.') << "temporary left behind: " << name;
        }
    }
}

TEST(murel_gen, reports_console_output_it_cannot_write) {
    scratch_dir dir;
    const run_result result = run(MUREL_GEN_PATH, {}, dir.path().string(), {RLIM_INFINITY, false, "/dev/full"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "murel_gen: cannot write standard output: No space left on device\n");
}

TEST(murel_gen, an_interrupted_run_leaves_no_temporary_and_dies_by_the_signal) {
    struct row {
        int signal;
        run_options options;
    };
    run_options file_size_limit;
    file_size_limit.file_size_limit = 1000000;
    file_size_limit.ignored = 0;
    std::vector<row> rows = {{SIGXFSZ, file_size_limit}};
    // At the first temporary (the self-test's, beside the library's), and in the synthetic phase.
    for (const char* at : {".", ".synth-1.sgl."})
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) {
            run_options interrupted;
            interrupted.interrupt = signal;
            interrupted.interrupt_at = at;
            interrupted.ignored = 0;
            rows.push_back({signal, interrupted});
        }
    for (const row& r : rows) {
        scratch_dir dir;
        const run_result result = run(MUREL_GEN_PATH, {}, dir.path().string(), r.options);
        EXPECT_EQ(result.status, 128 + r.signal) << r.signal << " at " << r.options.interrupt_at << ": " << result.err;
        for (const std::string& name : listing(dir.path().string()))
            EXPECT_NE(name[0], '.') << "signal " << r.signal << " left " << name;
    }
}

TEST(murel_gen, a_signal_inherited_as_ignored_stays_ignored) {
    scratch_dir dir;
    run_options options;
    options.interrupt = SIGHUP;
    options.ignored = SIGHUP;
    const run_result result = run(MUREL_GEN_PATH, {}, dir.path().string(), options);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(listing(dir.path().string()),
              (std::vector<std::string>{"murel_gen_example.txt", "murel_gen_test.txt", "synth-1.cdb", "synth-1.sgl"}));
}

TEST(scripts, run_generator_shows_why_the_build_failed) {
    scratch_dir bin, out, capture;
    {
        std::ofstream fake(bin.file("cmake"));
        fake << "#!/bin/sh\necho 'histogram.cpp:7:1: error: expected unqualified-id' >&2\nexit 1\n";
    }
    ::chmod(bin.file("cmake").c_str(), 0755);
    const std::string command = "PATH='" + bin.path().string() + "':\"$PATH\" bash '" MUREL_SOURCE_DIR
                                "/scripts/run-generator.sh' '" + out.path().string() + "' >'" + capture.file("out") +
                                "' 2>'" + capture.file("err") + "'";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string err = read_file(capture.file("err"));
    EXPECT_NE(err.find("histogram.cpp:7:1: error: expected unqualified-id\n"), std::string::npos) << err;
    EXPECT_NE(err.find("run-generator.sh: the build failed\n"), std::string::npos) << err;
    EXPECT_TRUE(listing(out.path().string()).empty());
}

TEST(murel_gen, every_maths_variant_writes_the_same_files) {
    using murel::vector_math::variant;
    scratch_dir reference;
    ASSERT_EQ(run(MUREL_GEN_PATH, {}, reference.path().string()).status, 0);
    const std::vector<variant> here = murel::vector_math::available();
    std::string available;
    for (variant v : here) available += (available.empty() ? "" : ", ") + murel::vector_math::name(v);
    for (variant v : {variant::libm, variant::sse2, variant::avx2, variant::avx512}) {
        const std::string name = murel::vector_math::name(v);
        scratch_dir dir;
        run_options options;
        options.maths = name.c_str();
        const run_result result = run(MUREL_GEN_PATH, {}, dir.path().string(), options);
        if (std::find(here.begin(), here.end(), v) == here.end()) {
            EXPECT_EQ(result.status, 2) << name;
            EXPECT_EQ(result.err, "murel_gen: MUREL_MATH=" + name + " cannot run here (available: " + available + ")\n");
            EXPECT_TRUE(listing(dir.path().string()).empty()) << name;
            continue;
        }
        ASSERT_EQ(result.status, 0) << name << ": " << result.err;
        EXPECT_EQ(result.out, console) << name;
        for (const char* file : output_files)
            EXPECT_TRUE(read_file(dir.file(file)) == read_file(reference.file(file))) << name << ": " << file;
    }
}

TEST(murel_gen, refuses_an_unknown_maths_variant_before_writing) {
    for (const char* wanted : {"avx", "LIBM", "sse2 "}) {
        scratch_dir dir;
        run_options options;
        options.maths = wanted;
        const run_result result = run(MUREL_GEN_PATH, {}, dir.path().string(), options);
        EXPECT_EQ(result.status, 2) << wanted;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, std::string("murel_gen: MUREL_MATH=") + wanted + " is unknown (use libm, sse2, avx2 or avx512)\n");
        EXPECT_TRUE(listing(dir.path().string()).empty()) << wanted;
    }
}
