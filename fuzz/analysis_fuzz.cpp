// Feeds arbitrary bytes to the per-record fit as 16-bit samples, as stored and negated (the way
// a channel whose pulses go down is measured).  Every estimate must be finite and every accepted
// amplitude must go into a histogram.  The file readers have fuzz targets of their own.
#include "histogram.h"
#include "record_fit.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void check(const murel::analysis::pulse_estimate& e, int samples, histogram1D& spectrum) {
    if (!std::isfinite(e.baseline) || !std::isfinite(e.amplitude) || !std::isfinite(e.centre) || !std::isfinite(e.width))
        std::abort();
    if (e.flag == murel::analysis::record_flag::ok) {
        if (!(e.amplitude > 0.0) || e.centre < 0.0 || e.centre > samples - 1.0) std::abort();
        spectrum.add(e.amplitude, 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    histogram1D spectrum(100, 1, 0.0, 65535.0);
    murel::analysis::record_fitter fitter;
    std::vector<std::int32_t> record(size / 2), negated(size / 2);
    for (std::size_t j = 0; j < record.size(); ++j) {
        record[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(data[2 * j] | data[2 * j + 1] << 8));
        negated[j] = -record[j];
    }
    const int count = static_cast<int>(record.size());
    check(fitter.fit(record.data(), count), count, spectrum);
    check(fitter.fit(negated.data(), count), count, spectrum);
    return 0;
}
