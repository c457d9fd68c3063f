// Feeds arbitrary bytes to one format's reader (FUZZ_FORMAT): the first byte chooses a record
// length (or none) and strictness, the rest is the file.  A reader may refuse the file, but
// only with its own errors, and what it returns must agree with what it said of the file.
#include "format.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    murel::formats::reader_options options;
    if (data[0] & 0x80) options.samples = 1 + (data[0] & 0x3F);
    options.strict = data[0] & 0x40;
    data += 1, size -= 1;

    const murel::formats::format& format = murel::formats::find(FUZZ_FORMAT);
    format.probe("fuzz", std::string(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 4096)));
    const int fd = ::memfd_create("formats_fuzz", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return 0;
    }
    try {
        const auto reader = format.open("/proc/self/fd/" + std::to_string(fd), options);
        const murel::formats::file_info& info = reader->info();
        murel::formats::record_batch batch;
        std::uint64_t records = 0;
        while (reader->next(batch, 7)) {
            if (batch.size() > 7 || batch.ends.size() != batch.size() || batch.ends.back() != batch.samples.size()) std::abort();
            for (std::size_t i = 0; i < batch.size(); ++i) {
                if (batch.headers[i].channel >= info.channels.size()) std::abort();
                if (info.samples && batch.length_of(i) != *info.samples) std::abort();
                if (info.channels[batch.headers[i].channel].unsigned_samples && format.name != "wavedump-ascii")
                    for (std::size_t j = 0; j < batch.length_of(i); ++j)
                        if (batch.samples_of(i)[j] < 0 || batch.samples_of(i)[j] > 65535) std::abort();
            }
            records += batch.size();
        }
        if (info.records && records != *info.records) std::abort();
        if (reader->trailing_bytes() > size || (options.strict && reader->trailing_bytes() > 0)) std::abort();
    } catch (const std::runtime_error&) {
        // A corrupt or cut-off file, named with the byte where it goes wrong.
    } catch (const std::invalid_argument&) {
        // Options the format does not take, or a file with no headers and no record length.
    }
    ::close(fd);
    return 0;
}
