// Decodes its input into a sequence of library calls on small histograms, with any sizes,
// values, indices and window lengths.  The only outcomes allowed are normal returns and the
// documented std::invalid_argument and std::out_of_range; every call must keep the
// invariants checked below, and the sanitizers catch any access outside storage.
#include "histogram.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

[[noreturn]] void violated(const char* invariant) {
    std::fprintf(stderr, "invariant violated: %s\n", invariant);
    std::abort();
}

void require(bool holds, const char* invariant) {
    if (!holds) violated(invariant);
}

const std::string& scratch_dir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/histogram-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) violated("a scratch directory can be made");
        return std::string(pattern);
    }();
    return dir;
}

double any_double(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return in.ConsumeBool() ? HUGE_VAL : -HUGE_VAL;
    case 2: return in.ConsumeIntegralInRange(-12, 12);
    case 3: return in.ConsumeIntegralInRange(-48, 48) * 0.25;
    case 4: return in.ConsumeBool() ? 1e300 : -1e300;
    case 5: return in.ConsumeBool() ? 5e-324 : -0.0;
    case 6: return in.ConsumeFloatingPointInRange(-20.0, 20.0);
    default: return in.ConsumeFloatingPoint<double>();
    }
}

int any_int(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: return INT_MIN;
    case 1: return INT_MAX;
    case 2: return in.ConsumeIntegral<int>();
    default: return in.ConsumeIntegralInRange(-3, 12);
    }
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

template <class Array>
std::vector<double> snapshot(const Array& data) {
    return std::vector<double>(data.data(), data.data() + data.num_elements());
}

template <class Array>
bool unchanged(const Array& data, const std::vector<double>& before) {
    return before.empty() || std::memcmp(data.data(), before.data(), before.size() * sizeof(double)) == 0;
}

// After an add that returned: exactly one count became 1 + its old value, unless some count is
// so large or so undefined that adding 1 leaves it as it was.
template <class Array>
void check_one_count_added(const Array& data, const std::vector<double>& before) {
    int changed = 0;
    bool absorbing = false;
    for (std::size_t i = 0; i < before.size(); ++i) {
        const double now = data.data()[i];
        absorbing = absorbing || same_bits(1.0 + before[i], before[i]) || std::isnan(before[i]);
        if (same_bits(now, before[i])) continue;
        ++changed;
        require(same_bits(now, 1.0 + before[i]) || (std::isnan(now) && std::isnan(before[i])), "add adds exactly 1");
    }
    require(changed == 1 || (changed == 0 && absorbing), "add changes exactly one count");
}

void fuzz_1d(FuzzedDataProvider& in, histogram1D& h) {
    const std::string path = scratch_dir() + "/table.txt";
    const std::vector<double> before = snapshot(h.data);
    switch (in.ConsumeIntegralInRange(0, 6)) {
    case 0: {
        const double x = any_double(in);
        h.add(x, any_int(in));
        check_one_count_added(h.data, before);
        break;
    }
    case 1:
        h.clearData();
        for (double count : snapshot(h.data)) require(count == 0.0 && !std::signbit(count), "clearData zeroes");
        break;
    case 2: {
        const double min = h.minValue, max = h.maxValue;
        try {
            h.calibrate(any_double(in), any_double(in));
        } catch (const std::invalid_argument&) {
            require(same_bits(min, h.minValue) && same_bits(max, h.maxValue), "a refused calibrate changes nothing");
            throw;
        }
        require(unchanged(h.data, before), "calibrate keeps the counts");
        break;
    }
    case 3:
        h.fwhm(any_double(in), any_int(in));
        require(unchanged(h.data, before), "fwhm changes nothing");
        break;
    case 4: {
        std::vector<double> shape_values(static_cast<std::size_t>(in.ConsumeIntegralInRange(1, 6)));
        for (double& value : shape_values) value = any_double(in);
        const int length = in.ConsumeIntegralInRange(-3, 45);
        int calls = 0;
        Window window([&](int i, int n) {
            require(i == calls++ && n == length, "the shape is called with 0 to length - 1");
            return shape_values[static_cast<std::size_t>(i) % shape_values.size()];
        }, length);
        require(calls == length, "the shape is called length times");
        for (int i = 0; i < length; ++i) require(std::isfinite(window.weights[i]), "a window holds finite weights");
        if (in.ConsumeBool()) {
            window.length = any_int(in);
            if (window.length != length) {
                bool refused = false;
                try {
                    h.smooth(window);
                } catch (const std::invalid_argument&) {
                    refused = true;
                }
                require(refused && unchanged(h.data, before), "smooth refuses a window whose length was changed");
                break;
            }
        }
        h.smooth(window);
        if (h.nBins >= 1) {
            for (int j = 0; j < h.nColumns; ++j) {
                require(same_bits(h.data[0][j], before[static_cast<std::size_t>(j)]), "smooth keeps bin 0");
                const std::size_t last = static_cast<std::size_t>(h.nBins - 1) * h.nColumns + j;
                require(same_bits(h.data[h.nBins - 1][j], before[last]), "smooth keeps the last bin");
            }
        }
        break;
    }
    default:
        h.write(path.c_str());
        require(unchanged(h.data, before), "write changes nothing");
        break;
    }
}

void fuzz_2d(FuzzedDataProvider& in, histogram2D& table) {
    histogram2D* const h = &table;
    const std::string path = scratch_dir() + "/cut.txt";
    const std::vector<double> before = snapshot(h->data);
    switch (in.ConsumeIntegralInRange(0, 8)) {
    case 0:
    case 1: {
        const double x = any_double(in), y = any_double(in);
        h->add(x, y, any_int(in));
        check_one_count_added(h->data, before);
        return;
    }
    case 2: h->writeText(path.c_str()); break;
    case 3: h->writeConstXCut(path.c_str(), any_int(in), in.ConsumeBool()); break;
    case 4: h->writeConstYCut(path.c_str(), any_int(in), in.ConsumeBool()); break;
    case 5: {
        const int bin = any_int(in), half_width = any_int(in);
        if (in.ConsumeBool())
            h->writeConstXCutWide(path.c_str(), bin, half_width, in.ConsumeBool());
        else
            h->writeConstYCutWide(path.c_str(), bin, half_width, in.ConsumeBool());
        break;
    }
    case 6: {
        const int bin = any_int(in);
        const double y = any_double(in);
        const int half_width = any_int(in);
        h->fwhmConstXCutWide(bin, y, half_width, any_int(in));
        break;
    }
    default: h->writeImage((scratch_dir() + "/img").c_str(), in.ConsumeBool()); break;
    }
    require(unchanged(h->data, before), "no writer or measurement changes the histogram");
}

// Copy, move and self-assignment between histograms of any shapes give the source's value.
template <class Histogram>
void fuzz_assignment(FuzzedDataProvider& in, std::unique_ptr<Histogram> (&slots)[2]) {
    const int from = in.ConsumeIntegralInRange(0, 1), to = in.ConsumeIntegralInRange(0, 1);
    if (!slots[from]) return;
    const Histogram expected = *slots[from];
    if (!slots[to]) slots[to] = std::make_unique<Histogram>(*slots[from]);
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: *slots[to] = *slots[from]; break;
    case 1: {
        Histogram spent = *slots[from];
        *slots[to] = std::move(spent);
        break;
    }
    default: *slots[to] = std::move(*slots[from]); break;  // the source keeps a valid value
    }
    const Histogram& got = *slots[to];
    require(got.nColumns == expected.nColumns && got.data.num_elements() == expected.data.num_elements() &&
                std::equal(got.data.shape(), got.data.shape() + got.data.num_dimensions(), expected.data.shape()) &&
                (expected.data.num_elements() == 0 ||
                 std::memcmp(got.data.data(), expected.data.data(), expected.data.num_elements() * sizeof(double)) == 0),
            "assignment copies shape and counts");
}

void fuzz_interpolate(FuzzedDataProvider& in) {
    const int n = in.ConsumeIntegralInRange(-1, 16);
    std::vector<color> table(static_cast<std::size_t>(std::max(n, 0)));
    int lowest[3] = {255, 255, 255}, highest[3] = {0, 0, 0};
    for (color& entry : table) {
        entry = {in.ConsumeIntegral<std::uint8_t>(), in.ConsumeIntegral<std::uint8_t>(), in.ConsumeIntegral<std::uint8_t>()};
        const int parts[3] = {entry.red, entry.green, entry.blue};
        for (int c = 0; c < 3; ++c) lowest[c] = std::min(lowest[c], parts[c]), highest[c] = std::max(highest[c], parts[c]);
    }
    int rgb[3] = {-1, -1, -1};
    interpolate(any_double(in), &rgb[0], &rgb[1], &rgb[2], table.data(), n);
    // A blend can round one below its lowest entry, never further, and never above the highest.
    for (int c = 0; c < 3; ++c) require(rgb[c] >= lowest[c] - 1 && rgb[c] <= highest[c], "interpolate stays within the table");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The library's console lines (smoothing refusals, image scales) would drown the fuzzer's.
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    // Two of each, so that assignments meet histograms of other shapes.
    std::unique_ptr<histogram1D> h1[2];
    std::unique_ptr<histogram2D> h2[2];
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        try {
            const int slot = in.ConsumeIntegralInRange(0, 1);
            switch (in.ConsumeIntegralInRange(0, 6)) {
            case 0: {
                const int bins = in.ConsumeIntegralInRange(-2, 40), columns = in.ConsumeIntegralInRange(-1, 4);
                const double min = any_double(in), max = any_double(in);
                h1[slot] = std::make_unique<histogram1D>(bins, columns, min, max);
                break;
            }
            case 1: {
                const int x_bins = in.ConsumeIntegralInRange(-1, 20), y_bins = in.ConsumeIntegralInRange(-1, 20);
                const int columns = in.ConsumeIntegralInRange(-1, 4);
                const double min_x = any_double(in), max_x = any_double(in), min_y = any_double(in), max_y = any_double(in);
                h2[slot] = std::make_unique<histogram2D>(x_bins, y_bins, columns, min_x, max_x, min_y, max_y);
                break;
            }
            case 2:
                if (h1[slot]) fuzz_1d(in, *h1[slot]);
                break;
            case 3:
                if (h2[slot]) fuzz_2d(in, *h2[slot]);
                break;
            case 4:
                if (slot == 0) fuzz_assignment(in, h1);
                else fuzz_assignment(in, h2);
                break;
            default: fuzz_interpolate(in); break;
            }
        } catch (const std::invalid_argument&) {
        } catch (const std::out_of_range&) {
        }
    }
    return 0;
}
