// Feeds arbitrary bytes to the file reader and the per-record fit: the first two bytes choose
// the header length and the samples per event, the rest is the file.  Every estimate must be
// finite and every accepted amplitude must go into a histogram.
#include "event_file.h"
#include "histogram.h"
#include "record_fit.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
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
    if (size < 2) return 0;
    const std::uint64_t header = data[0] % 32;
    const int samples = 1 + data[1] % 200;
    data += 2, size -= 2;
    histogram1D spectrum(100, 1, 0.0, 65535.0);
    murel::analysis::record_fitter fitter;

    // The samples as one record of any length, straight into the fit.
    std::vector<std::int16_t> record(size / 2);
    for (std::size_t j = 0; j < record.size(); ++j)
        record[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(data[2 * j] | data[2 * j + 1] << 8));
    check(fitter.fit(record.data(), static_cast<int>(record.size())), static_cast<int>(record.size()), spectrum);

    // The same bytes as a file, through the reader.
    const int fd = ::memfd_create("analysis_fuzz", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return 0;
    }
    try {
        const murel::analysis::event_file file("/proc/self/fd/" + std::to_string(fd), header, samples);
        std::vector<unsigned char> event(file.event_bytes());
        std::vector<std::int16_t> a(static_cast<std::size_t>(samples)), b(static_cast<std::size_t>(samples));
        for (std::uint64_t e = 0; e < file.events(); ++e) {
            file.read(e, 1, event.data());
            murel::analysis::split_channels(event.data(), samples, a.data(), b.data());
            check(fitter.fit(a.data(), samples), samples, spectrum);
            check(fitter.fit(b.data(), samples), samples, spectrum);
        }
    } catch (const std::invalid_argument&) {
        // A size that is not header plus whole events is refused, as it must be.
    }
    ::close(fd);
    return 0;
}
