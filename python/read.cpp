// murel.read: the records of any readable file as numpy arrays; cdb files as a view of the
// memory-mapped file.
#include "module.h"

#include "format.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <optional>
#include <system_error>
#include <vector>

namespace murel::python {
namespace {

constexpr std::uint64_t cdb_default_header = 12;
constexpr std::size_t batch_records = 4096;

formats::reader_options reading(std::optional<std::size_t> samples, std::optional<std::uint64_t> header) {
    formats::reader_options options;
    options.samples = samples;
    options.header_bytes = header;
    return options;
}

py::list channel_names(const formats::file_info& info) {
    py::list names;
    for (const formats::channel_info& c : info.channels) names.append(c.name);
    return names;
}

// The interleaved sample pairs of a cdb file as (events, 2, samples): a view of the mapped file,
// or, copied, one read of the whole data into memory.
py::object read_cdb(const std::string& path, const formats::file_info& info, std::uint64_t header, bool mapped) {
    const std::size_t samples = *info.samples;
    const std::uint64_t events = *info.records / 2;
    const py::ssize_t event_stride = static_cast<py::ssize_t>(4 * samples);
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(events), 2, static_cast<py::ssize_t>(samples)};
    const std::vector<py::ssize_t> strides{event_stride, 2, 4};
    const std::size_t bytes = static_cast<std::size_t>(events) * 4 * samples;
    py::array view;
    if (mapped && bytes > 0) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
        void* base = ::mmap(nullptr, header + bytes, PROT_READ, MAP_SHARED, fd, 0);
        const int error = errno;
        ::close(fd);
        if (base == MAP_FAILED) throw std::system_error(error, std::generic_category(), "cannot map " + path);
        const std::size_t length = header + bytes;
        auto* mapping = new std::pair<void*, std::size_t>(base, length);
        py::capsule unmap(mapping, [](void* p) {
            auto* m = static_cast<std::pair<void*, std::size_t>*>(p);
            ::munmap(m->first, m->second);
            delete m;
        });
        view = py::array(py::dtype::of<std::int16_t>(), shape, strides,
                         reinterpret_cast<const std::int16_t*>(static_cast<const char*>(base) + header), unmap);
        // A view of a file opened for reading.
        view.attr("setflags")(py::arg("write") = false);
    } else {
        py::array_t<std::int16_t> pairs({static_cast<py::ssize_t>(events), static_cast<py::ssize_t>(samples), py::ssize_t{2}});
        char* out = reinterpret_cast<char*>(pairs.mutable_data());
        {
            py::gil_scoped_release released;
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
            std::size_t done = 0;
            while (done < bytes) {
                const ssize_t got = ::pread(fd, out + done, bytes - done, static_cast<off_t>(header + done));
                if (got <= 0) {
                    const int error = got < 0 ? errno : EIO;
                    ::close(fd);
                    throw std::system_error(error, std::generic_category(), "cannot read " + path);
                }
                done += static_cast<std::size_t>(got);
            }
            ::close(fd);
        }
        view = pairs.attr("transpose")(0, 2, 1);
    }
    py::dict d;
    d["samples"] = view;
    d["channels"] = channel_names(info);
    d["format"] = info.format;
    d["event"] = py::module_::import("numpy").attr("arange")(events, py::arg("dtype") = "uint64");
    d["timestamp"] = py::none();
    d["daq_energy"] = py::none();
    d["tick_seconds"] = py::list();
    d["path"] = path;
    return result(d);
}

// Every record through the format's reader, in file order.
py::object read_records(const std::string& path, const std::string& format, const formats::reader_options& options) {
    std::unique_ptr<formats::reader> reader;
    formats::record_batch all, batch;
    {
        py::gil_scoped_release released;
        reader = formats::open(path, format, options);
        while (reader->next(batch, batch_records)) {
            all.headers.insert(all.headers.end(), batch.headers.begin(), batch.headers.end());
            const std::size_t before = all.samples.size();
            all.samples.insert(all.samples.end(), batch.samples.begin(), batch.samples.end());
            for (std::size_t e : batch.ends) all.ends.push_back(before + e);
        }
    }
    const formats::file_info& info = reader->info();
    const std::size_t records = all.size(), channels = info.channels.size();
    bool equal_lengths = true;
    for (std::size_t i = 1; i < records; ++i) equal_lengths = equal_lengths && all.length_of(i) == all.length_of(0);
    // The channels share events when the records come event by event, every channel once.
    bool shared = equal_lengths && channels > 0 && records % channels == 0;
    for (std::size_t i = 0; shared && i < records; ++i)
        shared = all.headers[i].channel == i % channels && all.headers[i].event == all.headers[i - i % channels].event;
    const std::size_t length = records > 0 ? all.length_of(0) : info.samples.value_or(0);

    bool any_unsigned = false, any_signed = false, wide = false;
    for (const formats::channel_info& c : info.channels) {
        (c.unsigned_samples ? any_unsigned : any_signed) = true;
        wide = wide || c.bits.value_or(16) > 16;
    }
    const py::dtype type = wide || (any_signed && any_unsigned) ? py::dtype::of<std::int32_t>()
                           : any_unsigned                      ? py::dtype::of<std::uint16_t>()
                                                               : py::dtype::of<std::int16_t>();
    py::dict d;
    py::module_ np = py::module_::import("numpy");
    if (equal_lengths) {
        py::array wide_samples = owned_array(std::move(all.samples));
        std::vector<py::ssize_t> shape;
        if (shared) shape = {static_cast<py::ssize_t>(records / channels), static_cast<py::ssize_t>(channels)};
        else shape = {static_cast<py::ssize_t>(records)};
        shape.push_back(static_cast<py::ssize_t>(length));
        d["samples"] = wide_samples.attr("astype")(type).attr("reshape")(shape);
    } else {
        py::list pieces;
        for (std::size_t i = 0; i < records; ++i) {
            py::array_t<std::int32_t> one(static_cast<py::ssize_t>(all.length_of(i)), all.samples_of(i));
            pieces.append(one.attr("astype")(type));
        }
        d["samples"] = pieces;
    }
    const std::size_t rows = shared ? records / channels : records;
    std::vector<std::uint64_t> events(rows), timestamps;
    std::vector<std::uint32_t> channel_of;
    std::vector<double> energies;
    bool has_time = false, has_energy = false;
    for (const formats::record_header& h : all.headers) has_time = has_time || h.timestamp, has_energy = has_energy || h.daq_energy;
    if (has_time) timestamps.resize(records);
    if (has_energy) energies.resize(records);
    for (std::size_t i = 0; i < records; ++i) {
        const formats::record_header& h = all.headers[i];
        if (!shared) events[i] = h.event;
        else if (i % channels == 0) events[i / channels] = h.event;
        if (!shared) channel_of.push_back(static_cast<std::uint32_t>(h.channel));
        if (has_time) timestamps[i] = h.timestamp.value_or(0);
        if (has_energy) energies[i] = h.daq_energy.value_or(std::numeric_limits<double>::quiet_NaN());
    }
    const auto per_record = [&](py::array values) -> py::object {
        return shared ? py::object(values.attr("reshape")(static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(channels)))
                      : py::object(values);
    };
    d["channels"] = channel_names(info);
    d["format"] = info.format;
    d["event"] = owned_array(std::move(events));
    if (!shared) d["channel"] = owned_array(std::move(channel_of));
    d["timestamp"] = has_time ? per_record(owned_array(std::move(timestamps))) : py::object(py::none());
    d["daq_energy"] = has_energy ? per_record(owned_array(std::move(energies))) : py::object(py::none());
    py::list ticks;
    for (const formats::channel_info& c : info.channels)
        ticks.append(c.tick_seconds ? py::object(py::float_(*c.tick_seconds)) : py::object(py::none()));
    d["tick_seconds"] = ticks;
    d["path"] = path;
    if (reader->trailing_bytes() > 0) d["trailing_bytes"] = reader->trailing_bytes();
    return result(d);
}

py::object read(const py::object& path_given, std::optional<std::string> format, std::optional<std::size_t> samples,
                std::optional<std::uint64_t> header, bool mmap) {
    const std::string path = path_text(path_given);
    const formats::reader_options options = reading(samples, header);
    std::unique_ptr<formats::reader> probe;
    {
        py::gil_scoped_release released;
        probe = formats::open(path, format.value_or(""), options);
    }
    const formats::file_info info = probe->info();
    probe.reset();
    py::object records = info.format == "cdb" ? read_cdb(path, info, header.value_or(cdb_default_header), mmap)
                                              : read_records(path, info.format, options);
    // How the file was read, for murel.analyse to read it the same way.
    py::dict how;
    how["format"] = info.format;
    how["samples"] = samples ? py::object(py::int_(*samples)) : py::object(py::none());
    how["header"] = header ? py::object(py::int_(*header)) : py::object(py::none());
    records.attr("read_as") = how;
    return records;
}

}  // namespace

void add_read(py::module_& m) {
    m.def("read", &read, py::arg("path"), py::arg("format") = py::none(), py::kw_only(), py::arg("samples") = py::none(),
          py::arg("header") = py::none(), py::arg("mmap") = true,
          "The records of the file at `path` (format recognised unless named): a namespace of numpy arrays. `samples` is "
          "(events, channels, samples) when the channels share events, else (records, samples) with a `channel` index "
          "array; for cdb it is a read-only view of the memory-mapped file (mmap=False: read into memory). `samples` and "
          "`header` give a cdb file's record length and header bytes. Raises OSError or ValueError naming the path.");
}

}  // namespace murel::python
