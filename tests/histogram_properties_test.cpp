// Invariants of the library over random inputs, and every writer against output that fails.
#include "histogram.h"
#include "test_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <system_error>

using test_support::read_file;
using test_support::scratch_dir;

namespace {

// Values that probe every branch of the bin rule: edges, neighbours, far outside, specials.
double probe_value(std::mt19937_64& random, double min, double max) {
    const double specials[] = {min, max, std::nextafter(min, -1e300), std::nextafter(max, 1e300), (min + max) / 2,
                               1e300, -1e300, std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), std::nan("")};
    if (random() % 3 == 0) return specials[random() % std::size(specials)];
    return std::uniform_real_distribution<double>(min - 2, max + 2)(random);
}

double column_total(const histogram2D& h, int k) {
    double total = 0;
    for (int i = 0; i < h.nBinsX; ++i)
        for (int j = 0; j < h.nBinsY; ++j) total += h.data[i][j][k];
    return total;
}

std::vector<double> column_sums_of_table(const std::string& text, int columns, bool skip_edge_rows) {
    const auto rows = test_support::lines(text);
    std::vector<double> sums(static_cast<std::size_t>(columns), 0.0);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (skip_edge_rows && (r == 0 || r + 1 == rows.size())) continue;
        const char* field = rows[r].c_str();
        char* end = nullptr;
        std::strtod(field, &end);  // the bin centre
        for (int k = 0; k < columns; ++k, field = end) sums[k] += std::strtod(end, &end);
    }
    return sums;
}

histogram2D random_histogram(std::mt19937_64& random) {
    histogram2D h(static_cast<int>(random() % 6) + 3, static_cast<int>(random() % 6) + 3,
                  static_cast<int>(random() % 4) + 1, -1, 2, 0, 5);
    for (int n = 0; n < 400; ++n) {
        const int column = static_cast<int>(random() % static_cast<unsigned>(h.nColumns));
        try {
            const double x = probe_value(random, h.minX, h.maxX), y = probe_value(random, h.minY, h.maxY);
            const double before = column_total(h, column);
            h.add(x, y, column);
            EXPECT_EQ(column_total(h, column), before + 1);
        } catch (const std::invalid_argument&) {
        }
    }
    return h;
}

using writer = std::function<void(const std::string&)>;

// Every library writer, writing the given name; images take it as their first file's name.
std::vector<std::pair<std::string, writer>> all_writers(const histogram1D& one, const histogram2D& two) {
    return {
        {"write", [&](const std::string& p) { one.write(p.c_str()); }},
        {"writeText", [&](const std::string& p) { two.writeText(p.c_str()); }},
        {"writeConstXCut", [&](const std::string& p) { two.writeConstXCut(p.c_str(), 1, true); }},
        {"writeConstYCut", [&](const std::string& p) { two.writeConstYCut(p.c_str(), 1, false); }},
        {"writeConstXCutWide", [&](const std::string& p) { two.writeConstXCutWide(p.c_str(), 1, 1, true); }},
        {"writeConstYCutWide", [&](const std::string& p) { two.writeConstYCutWide(p.c_str(), 1, 1, false); }},
        {"writeImage", [&](const std::string& p) { two.writeImage(p.substr(0, p.size() - 5).c_str(), true); }},
    };
}

// The errno of the std::system_error that `write` throws for `path`, or -1 if it throws
// none or one that does not name the path.
int failure_errno(const writer& write, const std::string& path) {
    try {
        write(path);
    } catch (const std::system_error& e) {
        return std::string(e.what()).find(path) == std::string::npos ? -1 : e.code().value();
    }
    return -1;
}

}  // namespace

TEST(properties, every_add_that_returns_counts_exactly_once) {
    std::mt19937_64 random(11);
    for (int round = 0; round < 20; ++round) {
        random_histogram(random);  // checks each two-dimensional add as it fills
        histogram1D line(static_cast<int>(random() % 9) + 1, 2, -3, 3);
        const auto total = [&line] {
            double sum = 0;
            for (int i = 0; i < line.nBins; ++i) sum += line.data[i][1];
            return sum;
        };
        for (int n = 0; n < 200; ++n) {
            const double before = total();
            try {
                line.add(probe_value(random, -3, 3), 1);
                EXPECT_EQ(total(), before + 1);
            } catch (const std::invalid_argument&) {
                EXPECT_EQ(total(), before);
            }
        }
    }
}

TEST(properties, normalised_cuts_sum_to_one_million) {
    std::mt19937_64 random(5);
    scratch_dir dir;
    const std::string path = dir.file("cut.txt");
    for (int round = 0; round < 30; ++round) {
        const histogram2D h = random_histogram(random);
        const int x = static_cast<int>(random() % static_cast<unsigned>(h.nBinsX - 2)) + 1;
        const int y = static_cast<int>(random() % static_cast<unsigned>(h.nBinsY - 2)) + 1;
        struct cut {
            std::function<void()> write;
            double total;
            bool skip_edges;
        };
        const cut cuts[] = {
            {[&] { h.writeConstXCut(path.c_str(), x, true); }, 0, false},
            {[&] { h.writeConstYCut(path.c_str(), y, true); }, 0, false},
            {[&] { h.writeConstXCutWide(path.c_str(), x, 1, true); }, 0, true},
            {[&] { h.writeConstYCutWide(path.c_str(), y, 1, true); }, 0, false},
        };
        for (const cut& c : cuts) {
            c.write();
            const std::string text = read_file(path);
            for (double sum : column_sums_of_table(text, h.nColumns, c.skip_edges)) {
                if (std::isnan(sum)) continue;  // a column with nothing in the cut
                EXPECT_NEAR(sum, 1e6, 1e-5) << text;
            }
        }
    }
}

TEST(properties, smooth_keeps_edges_and_interpolate_stays_in_the_table) {
    std::mt19937_64 random(3);
    for (int round = 0; round < 50; ++round) {
        histogram1D h(static_cast<int>(random() % 12) + 1, 2, 0, 10);
        for (int n = 0; n < 100; ++n) h.add(std::uniform_real_distribution<double>(-2, 12)(random), n % 2);
        const double first = h.data[0][1], last = h.data[h.nBins - 1][1];
        const int length = static_cast<int>(random() % 5) * 2 + 1;
        testing::internal::CaptureStdout();
        h.smooth(Window([&](int, int) { return std::uniform_real_distribution<double>(0.1, 2)(random); }, length));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(h.data[0][1], first);
        EXPECT_EQ(h.data[h.nBins - 1][1], last);

        color table[5];
        int low[3] = {255, 255, 255}, high[3] = {0, 0, 0};
        for (color& entry : table) {
            entry = {static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random())};
            const int parts[3] = {entry.red, entry.green, entry.blue};
            for (int c = 0; c < 3; ++c) low[c] = std::min(low[c], parts[c]), high[c] = std::max(high[c], parts[c]);
        }
        for (int n = 0; n < 100; ++n) {
            int rgb[3];
            interpolate(probe_value(random, 0, 1), &rgb[0], &rgb[1], &rgb[2], table, 5);
            for (int c = 0; c < 3; ++c) {
                EXPECT_GE(rgb[c], low[c] - 1);
                EXPECT_LE(rgb[c], high[c]);
            }
        }
    }
}

TEST(properties, every_writer_reports_output_that_fails) {
    scratch_dir dir;
    histogram1D one(5, 2, 0, 4);
    histogram2D two(4, 4, 2, 0, 3, 0, 3);
    ::chmod(dir.path().c_str(), 0755);
    std::filesystem::create_directory(dir.file("locked"));
    ::chmod(dir.file("locked").c_str(), 0555);
    for (const auto& [name, write] : all_writers(one, two)) {
        const std::string full = dir.file(name + "1.ppm");
        std::filesystem::create_symlink("/dev/full", full);
        testing::internal::CaptureStdout();
        EXPECT_EQ(failure_errno(write, full), ENOSPC) << name;
        testing::internal::GetCapturedStdout();
        const std::string missing = dir.file("missing/" + name + "1.ppm");
        EXPECT_EQ(failure_errno(write, missing), ENOENT) << name;

        // Root ignores directory permissions, so the locked directory is tried as nobody.
        const pid_t child = ::fork();
        if (child == 0) {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
            ::_exit(failure_errno(write, dir.file("locked/" + name + "1.ppm")) == EACCES ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name;
    }
}

using test_support::in_child;
using test_support::listing;

namespace {

mode_t file_mode(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

}  // namespace

TEST(properties, every_writer_keeps_the_old_file_when_it_fails) {
    histogram1D one(5, 2, 0, 4);
    histogram2D two(4, 4, 2, 0, 3, 0, 3);
    for (const auto& [name, write] : all_writers(one, two)) {
        scratch_dir dir;
        const std::string path = dir.file(name + "1.ppm");
        { std::ofstream(path) << "previous table\n"; }
        // A file-size limit fails the write part way, as a full disk would.
        const int status = in_child([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{20, 20};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
            testing::internal::CaptureStdout();
            return failure_errno(write, path) == EFBIG ? 0 : 1;
        });
        EXPECT_EQ(status, 0) << name;
        EXPECT_EQ(read_file(path), "previous table\n") << name;
        EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{name + "1.ppm"})) << name;
    }
}

TEST(properties, every_writer_replaces_whole_files_through_links_with_their_mode) {
    histogram1D one(5, 2, 0, 4);
    histogram2D two(4, 4, 2, 0, 3, 0, 3);
    one.add(1, 1);
    two.add(1, 2, 1);
    const mode_t old_mask = ::umask(027);
    for (const auto& [name, write] : all_writers(one, two)) {
        scratch_dir dir;
        const auto file = [&](const std::string& stem) { return dir.file(stem + "1.ppm"); };
        testing::internal::CaptureStdout();
        write(file("fresh"));
        const std::string expected = read_file(file("fresh"));
        EXPECT_EQ(file_mode(file("fresh")), 0640U) << name;

        std::filesystem::create_directory(dir.file("sub"));
        { std::ofstream(file("sub/kept")) << "old"; }
        ::chmod(file("sub/kept").c_str(), 0604);
        std::filesystem::create_symlink("sub/kept1.ppm", file("link"));
        std::filesystem::create_symlink("link1.ppm", file("chain"));
        std::filesystem::create_symlink("sub/new1.ppm", file("dangling"));
        for (const char* stem : {"fresh", "chain", "dangling"}) write(file(stem));
        testing::internal::GetCapturedStdout();

        EXPECT_EQ(read_file(file("fresh")), expected) << name;
        EXPECT_EQ(read_file(file("sub/kept")), expected) << name;
        EXPECT_EQ(file_mode(file("sub/kept")), 0604U) << name;  // as open and truncate would leave it
        EXPECT_EQ(read_file(file("sub/new")), expected) << name;
        EXPECT_EQ(file_mode(file("sub/new")), 0640U) << name;
        for (const char* stem : {"link", "chain", "dangling"})
            EXPECT_TRUE(std::filesystem::is_symlink(file(stem))) << name << " " << stem;
        for (const auto& where : {dir.path(), dir.path() / "sub"})
            for (const std::string& entry : listing(where)) EXPECT_NE(entry[0], '.') << name << ": " << entry << " left";
    }
    ::umask(old_mask);
}

TEST(properties, every_writer_writes_pipes_in_place) {
    histogram1D one(5, 2, 0, 4);
    histogram2D two(4, 4, 2, 0, 3, 0, 3);
    for (const auto& [name, write] : all_writers(one, two)) {
        scratch_dir dir;
        const std::string fresh = dir.file("fresh1.ppm"), pipe = dir.file("pipe1.ppm");
        testing::internal::CaptureStdout();
        write(fresh);
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        write(pipe);
        // A pipe that no path names, reached as a shell's /dev/stdout would be.
        int unnamed[2];
        ASSERT_EQ(::pipe2(unnamed, O_NONBLOCK), 0);
        const std::string link = dir.file("unnamed1.ppm");
        std::filesystem::create_symlink("/proc/self/fd/" + std::to_string(unnamed[1]), link);
        write(link);
        ::close(unnamed[1]);
        testing::internal::GetCapturedStdout();
        for (const int from : {reader, unnamed[0]}) {
            std::string text(1 << 16, '\0');
            const ssize_t size = ::read(from, text.data(), text.size());
            ::close(from);
            text.resize(static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
            EXPECT_EQ(text, read_file(fresh)) << name;
        }
        struct stat status;
        EXPECT_TRUE(::lstat(pipe.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) << name;
        EXPECT_TRUE(std::filesystem::is_symlink(link)) << name;
    }
}

TEST(properties, a_writer_holds_back_termination_until_its_file_is_in_place) {
    // The parent signals the writing child as soon as the temporary shows; the signal acts
    // only after the rename, which leaves the complete table and no temporary.
    scratch_dir dir;
    const pid_t child = ::fork();
    if (child == 0) {
        histogram2D big(1000, 500, 2, 0, 1, 0, 1);
        big.writeText(dir.file("big.txt").c_str());
        ::_exit(0);
    }
    const auto [seen, status] = test_support::signal_when_present(child, dir.path(), ".big.txt.", SIGTERM);
    EXPECT_TRUE(seen);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"big.txt"}));
    EXPECT_EQ(std::filesystem::file_size(dir.file("big.txt")), 1000U * 500U * std::string("0.000000 0.000000 0.000000 0.000000\n").size());
}
