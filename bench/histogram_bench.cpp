// Library benchmarks, each beside the naive or reference way of doing the same work.
// Before timing, main() checks that both ways give the same result; after timing, it prints
// how many times faster each operation ran than its baseline.
#include "histogram.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <boost/histogram.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int bins = 1601;
constexpr double lo = -8.0, hi = 8.0;

const std::vector<double>& normal_values() {
    static const std::vector<double> values = [] {
        std::mt19937_64 random(42);
        std::normal_distribution<double> normal(0.0, 2.5);
        std::vector<double> v(1 << 20);
        for (double& x : v) x = normal(random);
        return v;
    }();
    return values;
}

// The same bins as histogram1D(bins, 1, lo, hi): edges half a step beyond the end centres.
auto boost_histogram() {
    const double half_step = (hi - lo) / (bins - 1) / 2;
    return boost::histogram::make_histogram(boost::histogram::axis::regular<>(bins, lo - half_step, hi + half_step));
}

const histogram2D& large_2d() {
    static const histogram2D h = [] {
        histogram2D table(1000, 1000, 2, 0.0, 10.0, -5.0, 5.0);
        std::mt19937_64 random(3);
        std::normal_distribution<double> x(5.0, 2.0), y(0.0, 1.5);
        for (int i = 0; i < 4000000; ++i) table.add(x(random), y(random), i % 2);
        return table;
    }();
    return h;
}

void write_text_with_fprintf(const histogram2D& h, const char* path) {
    std::FILE* file = std::fopen(path, "w");
    for (int i = 0; i < h.nBinsX; ++i)
        for (int j = 0; j < h.nBinsY; ++j) {
            std::fprintf(file, "%f", static_cast<double>(i) / static_cast<double>(h.nBinsX - 1) * (h.maxX - h.minX) + h.minX);
            std::fprintf(file, " %f", static_cast<double>(j) / static_cast<double>(h.nBinsY - 1) * (h.maxY - h.minY) + h.minY);
            for (int k = 0; k < h.nColumns; ++k) std::fprintf(file, " %f", h.data[i][j][k]);
            std::fputc('\n', file);
        }
    std::fclose(file);
}

std::string scratch_file(const char* name) { return std::string(P_tmpdir) + "/murel_bench_" + name; }

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void BM_histogram1D_add(benchmark::State& state) {
    histogram1D h(bins, 1, lo, hi);
    for (auto _ : state) {
        for (double x : normal_values()) h.add(x, 0);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(normal_values().size()));
}
BENCHMARK(BM_histogram1D_add);

void BM_boost_histogram_fill(benchmark::State& state) {
    auto h = boost_histogram();
    for (auto _ : state) {
        for (double x : normal_values()) h(x);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(normal_values().size()));
}
BENCHMARK(BM_boost_histogram_fill);

void BM_histogram2D_add(benchmark::State& state) {
    histogram2D h(1000, 1000, 2, -8.0, 8.0, -8.0, 8.0);
    const std::vector<double>& v = normal_values();
    for (auto _ : state) {
        for (std::size_t i = 0; i + 1 < v.size(); i += 2) h.add(v[i], v[i + 1], 1);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(v.size() / 2));
}
BENCHMARK(BM_histogram2D_add);

void BM_writeText_1000x1000x2(benchmark::State& state) {
    const std::string path = scratch_file("fast.txt");
    for (auto _ : state) large_2d().writeText(path.c_str());
}
BENCHMARK(BM_writeText_1000x1000x2)->Unit(benchmark::kMillisecond);

void BM_writeText_1000x1000x2_fprintf(benchmark::State& state) {
    const std::string path = scratch_file("naive.txt");
    for (auto _ : state) write_text_with_fprintf(large_2d(), path.c_str());
}
BENCHMARK(BM_writeText_1000x1000x2_fprintf)->Unit(benchmark::kMillisecond);

void BM_writeImage_1000x1000x2_log(benchmark::State& state) {
    const std::string prefix = scratch_file("image");
    // The per-image console line goes to /dev/null while timing, not into the report.
    std::fflush(stdout);
    const int console = ::dup(1), sink = ::open("/dev/null", O_WRONLY);
    ::dup2(sink, 1);
    for (auto _ : state) large_2d().writeImage(prefix.c_str(), true);
    std::fflush(stdout);
    ::dup2(console, 1);
    ::close(console);
    ::close(sink);
}
BENCHMARK(BM_writeImage_1000x1000x2_log)->Unit(benchmark::kMillisecond);

void BM_smooth_1601_bins_window_21(benchmark::State& state) {
    histogram1D h(bins, 2, lo, hi);
    for (double x : normal_values()) h.add(x, 0);
    const Window window([](int i, int length) { return 1.0 + i * (length - 1 - i); }, 21);
    for (auto _ : state) h.smooth(window);
}
BENCHMARK(BM_smooth_1601_bins_window_21);

bool same_results() {
    histogram1D ours(bins, 1, lo, hi);
    auto theirs = boost_histogram();
    for (double x : normal_values()) {
        ours.add(x, 0);
        theirs(x);
    }
    // Boost keeps out-of-range values in its flow bins; ours clamps them into the edge bins.
    bool same = ours.data[0][0] == theirs.at(-1) + theirs.at(0) && ours.data[bins - 1][0] == theirs.at(bins - 1) + theirs.at(bins);
    for (int i = 1; i + 1 < bins; ++i) same = same && ours.data[i][0] == theirs.at(i);
    if (!same) std::fprintf(stderr, "histogram1D::add and Boost.Histogram disagree\n");

    const std::string fast = scratch_file("fast.txt"), naive = scratch_file("naive.txt");
    large_2d().writeText(fast.c_str());
    write_text_with_fprintf(large_2d(), naive.c_str());
    const bool same_text = read(fast) == read(naive);
    if (!same_text) std::fprintf(stderr, "writeText and fprintf disagree\n");
    return same && same_text;
}

// The console report, which also keeps each benchmark's real time per iteration in seconds:
// the median over repetitions when there are several, else the one run.
class timing_reporter : public benchmark::ConsoleReporter {
public:
    timing_reporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            const std::string name = run.run_name.str();
            if (median || from_median_.count(name) == 0)
                seconds_[name] = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (median) from_median_.insert(name);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    /// Prints, for each pair that ran, how many times faster ours ran than its baseline.
    void print_ratios() const {
        const struct {
            const char *ours, *baseline, *what;
        } pairs[] = {
            {"BM_histogram1D_add", "BM_boost_histogram_fill", "histogram1D::add against Boost.Histogram's regular axis"},
            {"BM_writeText_1000x1000x2", "BM_writeText_1000x1000x2_fprintf", "histogram2D::writeText against per-field fprintf"},
        };
        bool first = true;
        for (const auto& pair : pairs) {
            const auto ours = seconds_.find(pair.ours), baseline = seconds_.find(pair.baseline);
            if (ours == seconds_.end() || baseline == seconds_.end()) continue;
            if (first) std::printf("\nSpeed-up against each baseline (its time / ours, same data; above 1 means ours is faster):\n");
            first = false;
            std::printf("  %-58s %.2fx\n", pair.what, baseline->second / ours->second);
        }
    }

private:
    std::map<std::string, double> seconds_;
    std::set<std::string> from_median_;
};

}  // namespace

int main(int argc, char** argv) {
    if (!same_results()) return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    timing_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    for (const char* name : {"fast.txt", "naive.txt", "image1.ppm", "image2.ppm"}) std::remove(scratch_file(name).c_str());
    return 0;
}
