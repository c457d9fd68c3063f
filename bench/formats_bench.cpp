// Reads a file of about the same size (default 400 MB) in each format, written from the same
// fixed-seed samples by the format writers, and prints each reader's time, MB/s and its ratio
// to the cdb reader's, in processor time; a naive cdb reader checks that the cdb reader's sums are right.
// Usage: formats_bench [MEGABYTES [DIR]]
#include "format.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fmt = murel::formats;

namespace {

constexpr std::size_t samples = 1000;

struct result {
    double seconds;
    std::int64_t sum;
};

template <typename Read>
result best_of(int repeats, Read read) {
    result best{1e300, 0};
    for (int i = 0; i < repeats; ++i) {
        // Processor time, so that other work on a shared machine does not count.
        const std::clock_t start = std::clock();
        const std::int64_t sum = read();
        const double took = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        if (took < best.seconds) best = {took, sum};
    }
    return best;
}

std::int64_t read_all(const std::string& path, const fmt::reader_options& options = {}) {
    const auto in = fmt::open(path, "", options);
    fmt::record_batch batch;
    std::int64_t sum = 0;
    while (in->next(batch, 256))
        for (std::int32_t s : batch.samples) sum += s;
    return sum;
}

std::int64_t naive_cdb(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    in.ignore(12);
    std::int64_t sum = 0;
    unsigned char pair[2];
    while (in.read(reinterpret_cast<char*>(pair), 2)) sum += static_cast<std::int16_t>(pair[0] | pair[1] << 8);
    return sum;
}

// `events` events of `channels` channels with values 0 .. 16383, written by `format`.
void write(const std::string& format, const std::string& path, std::size_t channels, std::size_t events) {
    fmt::writer_options options;
    for (std::size_t c = 0; c < channels; ++c) options.channels.push_back({std::to_string(c), {}, 14, true, 1e-12});
    options.samples = samples;
    const auto out = fmt::find(format).create(path, options);
    std::mt19937 random(42);
    fmt::record_batch batch;
    std::vector<std::int32_t> record(samples);
    for (std::size_t e = 0; e < events; ++e) {
        batch.clear();
        for (std::size_t c = 0; c < channels; ++c) {
            for (auto& s : record) s = static_cast<std::int32_t>(random() & 0x3FFF);
            batch.append({c, e, e * 1000, {}}, record.data(), samples);
        }
        out->write(batch);
    }
    out->commit();
}

}  // namespace

int main(int argc, char** argv) {
    const double megabytes = argc > 1 ? std::atof(argv[1]) : 400;
    const std::filesystem::path dir = argc > 2 ? argv[2] : std::filesystem::temp_directory_path() / "murel-formats-bench";
    std::filesystem::create_directories(dir);
    const double bytes = megabytes * 1e6;
    const auto count = [&](double per_event) { return static_cast<std::size_t>(bytes / per_event); };

    const std::string cdb = (dir / "data.cdb").string();
    write("cdb", cdb, 2, count(4.0 * samples));
    write("wavedump", (dir / "wavedump").string(), 1, count(24 + 2.0 * samples));
    write("wavedump-ascii", (dir / "ascii").string(), 1, count(6.0 * samples));
    write("compass", (dir / "data.bin").string(), 2, count(2 * (25 + 2.0 * samples)));
    write("lh5", (dir / "data.lh5").string(), 2, count(2 * (2.0 * samples + 4 + 8 + 8 + 8)));
    const std::vector<std::pair<std::string, std::string>> files = {
        {"cdb", cdb},
        {"wavedump", (dir / "wavedump/wave0.dat").string()},
        {"wavedump-ascii", (dir / "ascii/wave0.txt").string()},
        {"compass", (dir / "data.bin").string()},
        {"lh5", (dir / "data.lh5").string()},
    };

    const result naive = best_of(1, [&] { return naive_cdb(cdb); });
    result reference{};
    for (const auto& [format, path] : files) {
        const result r = best_of(3, [&] { return read_all(path); });
        if (format == "cdb") {
            reference = r;
            if (r.sum != naive.sum) {
                std::fprintf(stderr, "the cdb reader's sum %lld differs from the naive reader's %lld\n",
                             static_cast<long long>(r.sum), static_cast<long long>(naive.sum));
                return 1;
            }
        }
        const double size = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
        std::printf("%-15s %8.1f MB %8.1f ms %8.0f MB/s  ratio to cdb %.2f\n", format.c_str(), size, r.seconds * 1e3,
                    size / r.seconds, r.seconds / reference.seconds * (std::filesystem::file_size(cdb) / 1e6) / size);
    }
    std::printf("%-15s %8.1f ms (naive cdb reader, same sums)\n", "naive", naive.seconds * 1e3);
    std::filesystem::remove_all(dir);
    return 0;
}
