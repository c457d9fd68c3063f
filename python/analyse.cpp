// murel.analyse: the analysis of files or of records in memory, with per-record results as
// numpy arrays and the spectra, map and lines as objects.
#include "module.h"

#include "lines.h"
#include "run.h"
#include "staged_file.h"
#include "totals.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <limits>

namespace murel::python {
namespace {

struct record_columns {
    std::vector<std::uint32_t> file, channel;
    std::vector<std::uint64_t> event;
    std::vector<double> baseline, amplitude, centre, width, timestamp, daq_energy;
    std::vector<std::uint8_t> flag;
    // The measures of the other processors, NaN where not computed.
    std::vector<double> measures[analysis::record_measures::names.size()];

    void add_measures(const analysis::record_measures& m) {
        std::size_t next = 0;
        for (const std::optional<double>* value : m.values())
            measures[next++].push_back(value->value_or(std::numeric_limits<double>::quiet_NaN()));
    }
};

// Records from murel.generate or murel.read: their file when they have one, else a temporary
// cdb file of their (events, 2, samples) int16 samples.
class records_file {
public:
    explicit records_file(const py::object& records) {
        if (py::hasattr(records, "path")) {
            path_ = path_text(records.attr("path"));
            if (py::hasattr(records, "read_as")) read_as_ = records.attr("read_as").cast<py::dict>();
            return;
        }
        const py::array samples = py::array::ensure(records.attr("samples"));
        if (!samples || samples.ndim() != 3 || samples.shape(1) != 2 || samples.dtype().kind() != 'i' || samples.itemsize() != 2)
            throw std::invalid_argument("analyse: records in memory must be int16 samples shaped (events, 2, samples)");
        // The pairs as the cdb layout interleaves them.
        const py::array pairs = py::module_::import("numpy").attr("ascontiguousarray")(samples.attr("transpose")(0, 2, 1));
        const std::string dir = std::filesystem::temp_directory_path().string();
        file_ = std::make_unique<staged_file>(dir, "murel-records-" + std::to_string(::getpid()) + ".cdb");
        const unsigned char header[12] = {};
        file_->write_at(header, sizeof header, 0);
        file_->write_at(pairs.data(), static_cast<std::size_t>(pairs.nbytes()), sizeof header);
        path_ = file_->temp_path();
        samples_ = static_cast<std::size_t>(samples.shape(2));
    }
    const std::string& path() const { return path_; }
    std::optional<std::size_t> samples() const { return samples_; }
    /// How murel.read read the file (format, samples, header), or an empty dict.
    const py::dict& read_as() const { return read_as_; }

private:
    py::dict read_as_;
    std::unique_ptr<staged_file> file_;  // never committed: removed with this object
    std::string path_;
    std::optional<std::size_t> samples_;
};

template <class T>
T option(const py::kwargs& options, const char* name, T fallback) {
    return options.contains(name) ? options[name].cast<T>() : fallback;
}

py::object line_list(const std::vector<analysis::line_measurement>& lines) {
    py::list out;
    for (const analysis::line_measurement& l : lines) {
        py::dict d;
        d["position"] = l.position;
        d["position_error"] = l.position_error;
        d["fwhm"] = l.fwhm;
        d["fwhm_error"] = l.fwhm_error;
        d["fwhm_halfmax"] = l.fwhm_halfmax;
        d["counts"] = l.counts;
        d["counts_error"] = l.counts_error;
        d["background"] = l.background;
        d["significance"] = l.significance;
        d["chi2_per_dof"] = l.chi2_per_dof;
        out.append(result(d));
    }
    return out;
}

py::object analyse(const py::object& input, const py::kwargs& options) {
    static const std::vector<std::string> known{"format", "samples", "header", "polarity", "pair", "coincidence", "bins", "range",
                                                "map_bins", "map_range", "calibrate", "truth", "threads", "strict", "method", "chain",
                                                "pretrigger", "decay", "rise_time", "flat_top", "gates", "cfd_fraction"};
    for (const auto& item : options)
        if (std::find(known.begin(), known.end(), item.first.cast<std::string>()) == known.end())
            throw std::invalid_argument("analyse: unknown option " + item.first.cast<std::string>());
    std::vector<std::string> paths;
    std::unique_ptr<records_file> in_memory;
    if (py::isinstance<py::str>(input) || py::hasattr(input, "__fspath__")) {
        paths.push_back(path_text(input));
    } else if (py::isinstance<py::list>(input) || py::isinstance<py::tuple>(input)) {
        for (const py::handle& p : input) paths.push_back(path_text(py::reinterpret_borrow<py::object>(p)));
    } else {
        in_memory = std::make_unique<records_file>(input);
        paths.push_back(in_memory->path());
    }
    analysis::binning bins;
    bins.spectrum_bins = option(options, "bins", bins.spectrum_bins);
    if (options.contains("range")) std::tie(bins.spectrum_min, bins.spectrum_max) = options["range"].cast<std::pair<double, double>>();
    bins.map_bins = option(options, "map_bins", bins.map_bins);
    if (options.contains("map_range")) std::tie(bins.map_min, bins.map_max) = options["map_range"].cast<std::pair<double, double>>();
    if (options.contains("calibrate")) {
        bins.calibrated = true;
        std::tie(bins.factor, bins.offset) = options["calibrate"].cast<std::pair<double, double>>();
    }
    analysis::analysis_options o;
    // Records of murel.read are read again as it read them, unless the options say otherwise.
    const py::dict read_as = in_memory ? in_memory->read_as() : py::dict();
    const auto given = [&](const char* name) -> py::object {
        if (options.contains(name)) return options[name];
        if (read_as.contains(name)) return read_as[name];
        return py::none();
    };
    o.format = in_memory && !read_as.contains("format") ? "cdb" : "";
    if (!given("format").is_none()) o.format = given("format").cast<std::string>();
    if (!given("samples").is_none()) o.reading.samples = given("samples").cast<std::size_t>();
    else if (in_memory) o.reading.samples = in_memory->samples();
    if (!given("header").is_none()) o.reading.header_bytes = given("header").cast<std::uint64_t>();
    analysis::processing_options processing;
    processing.method = option<std::string>(options, "method", processing.method);
    if (options.contains("chain")) processing.chain_file = path_text(options["chain"]);
    processing.pretrigger = option<std::string>(options, "pretrigger", "");
    processing.decay = option<std::string>(options, "decay", "");
    processing.rise_time = option<std::string>(options, "rise_time", "");
    processing.flat_top = option<std::string>(options, "flat_top", "");
    processing.gates = option<std::string>(options, "gates", "");
    processing.cfd_fraction = option(options, "cfd_fraction", processing.cfd_fraction);
    o.processing = analysis::chain_of(processing);
    o.reading.strict = option(options, "strict", false);
    o.polarity = analysis::polarity_named(option<std::string>(options, "polarity", "auto"));
    if (options.contains("pair")) o.pair = options["pair"].cast<std::vector<std::string>>();
    o.coincidence_ns = option(options, "coincidence", o.coincidence_ns);
    if (options.contains("truth")) o.truth_path = path_text(options["truth"]);
    o.threads = option(options, "threads", 0U);

    record_columns columns;
    std::vector<std::string> files;
    std::optional<analysis::totals> totals;
    analysis::analysis_plan plan;
    {
        py::gil_scoped_release released;
        bins.check();
        plan = analysis::plan_analysis(paths, o);
        const std::string* last = nullptr;
        const analysis::record_sink sink = [&](const std::vector<analysis::record_result>& results) {
            for (const analysis::record_result& r : results) {
                if (r.file != last) {
                    last = r.file;
                    const auto found = std::find(files.begin(), files.end(), *r.file);
                    if (found == files.end()) files.push_back(*r.file);
                }
                columns.file.push_back(static_cast<std::uint32_t>(std::find(files.begin(), files.end(), *r.file) - files.begin()));
                columns.event.push_back(r.event);
                columns.channel.push_back(static_cast<std::uint32_t>(r.channel));
                columns.baseline.push_back(r.estimate.baseline);
                columns.amplitude.push_back(r.estimate.amplitude);
                columns.centre.push_back(r.estimate.centre);
                columns.width.push_back(r.how == analysis::method::fit ? r.estimate.width : std::numeric_limits<double>::quiet_NaN());
                columns.add_measures(r.measures);
                columns.flag.push_back(static_cast<std::uint8_t>(r.estimate.flag));
                columns.timestamp.push_back(r.timestamp ? static_cast<double>(*r.timestamp) : std::numeric_limits<double>::quiet_NaN());
                columns.daq_energy.push_back(r.daq_energy.value_or(std::numeric_limits<double>::quiet_NaN()));
            }
        };
        totals.emplace(analysis::analyse(plan, bins, o, sink));
    }
    histogram1D spectrum = totals->spectrum();
    if (bins.calibrated) spectrum.calibrate(bins.factor, bins.offset);
    const std::string unit = bins.calibrated ? "calibrated" : "ADC";
    py::dict lines;
    for (std::size_t c = 0; c < totals->channel_names.size(); ++c)
        lines[py::str(totals->channel_names[c])] = line_list(analysis::find_lines(spectrum, static_cast<int>(c)));

    py::module_ np = py::module_::import("numpy");
    py::list flag_names;
    for (int f = 0; f <= static_cast<int>(analysis::record_flag::pileup); ++f)
        flag_names.append(analysis::flag_name(static_cast<analysis::record_flag>(f)));
    py::dict r;
    r["file"] = owned_array(std::move(columns.file));
    r["event"] = owned_array(std::move(columns.event));
    r["channel"] = owned_array(std::move(columns.channel));
    r["baseline"] = owned_array(std::move(columns.baseline));
    r["amplitude"] = owned_array(std::move(columns.amplitude));
    r["centre"] = owned_array(std::move(columns.centre));
    r["width"] = owned_array(std::move(columns.width));
    r["flag"] = np.attr("array")(flag_names)[owned_array(std::move(columns.flag))];
    r["timestamp"] = owned_array(std::move(columns.timestamp));
    r["daq_energy"] = owned_array(std::move(columns.daq_energy));
    for (std::size_t m = 0; m < analysis::record_measures::names.size(); ++m)
        r[analysis::record_measures::names[m]] = owned_array(std::move(columns.measures[m]));

    py::object spectrum_object = py::cast(std::move(spectrum));
    spectrum_object.attr("label") = "amplitude (" + unit + ")";
    py::dict d;
    d["records"] = result(r);
    d["files"] = in_memory ? py::list() : py::cast(files);
    d["channels"] = py::cast(totals->channel_names);
    d["lines"] = lines;
    d["spectrum"] = spectrum_object;
    d["unit"] = unit;
    if (totals->pair()) {
        py::object map = py::cast(totals->map());
        map.attr("labels") = py::make_tuple(totals->channel_names[totals->pair()->x] + " amplitude (" + unit + ")",
                                            totals->channel_names[totals->pair()->y] + " amplitude (" + unit + ")");
        d["map"] = map;
    } else {
        d["map"] = py::none();
    }
    py::dict counts;
    for (std::size_t c = 0; c < totals->channel_names.size(); ++c) {
        py::dict one;
        one["records"] = totals->records[c];
        one["clipped"] = totals->clipped[c];
        one["no_pulse"] = totals->no_pulse[c];
        one["fit_failed"] = totals->fit_failed[c];
        one["poor_fit"] = totals->poor_fit[c];
        one["saturated"] = totals->saturated[c];
        one["pileup"] = totals->pileup[c];
        one["polarity"] = totals->polarities[c];
        counts[py::str(totals->channel_names[c])] = one;
    }
    d["counts"] = counts;
    return result(d);
}

}  // namespace

void add_analyse(py::module_& m) {
    m.def("analyse", &analyse, py::arg("input"),
          "Analyses a path, a list of paths, or the records of murel.read or murel.generate, like `murel analyse` (options "
          "format, samples, header, polarity, pair=[X, Y], coincidence, bins, range=(MIN, MAX), map_bins, map_range, "
          "calibrate=(FACTOR, OFFSET), truth, threads, strict, method, chain, pretrigger, decay, rise_time, flat_top, gates, "
          "cfd_fraction; records of murel.read are read as it read them). Returns `records` (numpy columns; `channel` and `file` "
          "index `channels` and `files`), `lines` per channel, `spectrum` (a Histogram1D, a column per channel, on the "
          "calibrated axis), `map` (a Histogram2D of the pair, or None) and `counts`. Raises ValueError or OSError with "
          "the command line's messages.");
}

}  // namespace murel::python
