// analysis.h5: histograms in the layout of Python's histogram libraries, tables in LH5's.
#include "hdf5_output.h"

#include "hdf5_support.h"
#include "uhi_hdf5.h"

#include <cerrno>
#include <cmath>
#include <limits>
#include <type_traits>

namespace murel::analysis {

using nlohmann::json;
using hdf5::handle;
using hdf5::written;
using hdf5::written_status;

static_assert(std::is_same_v<hid_t, std::int64_t>, "hdf5_output keeps its file as a 64-bit hid_t");

namespace {

const std::string file_name = "analysis.h5";
constexpr hsize_t chunk_rows = 1 << 14;
const double not_a_number = std::numeric_limits<double>::quiet_NaN();

handle text_type() {
    handle type(written(H5Tcopy(H5T_C_S1), file_name, "string type"), H5Tclose);
    written_status(H5Tset_size(type.get(), H5T_VARIABLE), file_name, "string type");
    written_status(H5Tset_cset(type.get(), H5T_CSET_UTF8), file_name, "string type");
    return type;
}

// One column of an LH5 table; text columns hold variable-length UTF-8 strings.
struct column {
    std::string name;
    std::vector<double> reals;
    std::vector<std::int64_t> integers;
    std::vector<std::string> texts;
    enum { real, integer, text } kind = real;
    const char* units = nullptr;

    hid_t file_type(const handle& text) const {
        return kind == real ? H5T_IEEE_F64LE : kind == integer ? H5T_STD_I64LE : text.get();
    }
    hid_t memory_type(const handle& text) const {
        return kind == real ? H5T_NATIVE_DOUBLE : kind == integer ? H5T_NATIVE_INT64 : text.get();
    }
    hsize_t size() const { return kind == real ? reals.size() : kind == integer ? integers.size() : texts.size(); }
};

column real_column(std::string name, const char* units = nullptr) { return {std::move(name), {}, {}, {}, column::real, units}; }
column integer_column(std::string name) { return {std::move(name), {}, {}, {}, column::integer, nullptr}; }
column text_column(std::string name) { return {std::move(name), {}, {}, {}, column::text, nullptr}; }

// Creates the datasets of a table group, extendable when `extendable`, and writes `columns`.
struct table_writer {
    handle group;
    std::vector<handle> datasets;
    hsize_t rows = 0;

    table_writer(hid_t parent, const std::string& name, const std::vector<column>& columns, bool extendable) {
        group = hdf5::create_group(parent, name, file_name);
        std::string names;
        for (const column& c : columns) names += (names.empty() ? "" : ",") + c.name;
        hdf5::write_string_attribute(group.get(), "datatype", "table{" + names + "}", file_name);
        const handle text = text_type();
        for (const column& c : columns) {
            const hsize_t unlimited = H5S_UNLIMITED, initial = extendable ? 0 : c.size();
            handle space(written(H5Screate_simple(1, &initial, extendable ? &unlimited : nullptr), file_name, c.name), H5Sclose);
            const handle creation = hdf5::untimed_creation(H5P_DATASET_CREATE, file_name, c.name);
            if (extendable) written_status(H5Pset_chunk(creation.get(), 1, &chunk_rows), file_name, c.name);
            datasets.emplace_back(written(H5Dcreate2(group.get(), c.name.c_str(), c.file_type(text), space.get(), H5P_DEFAULT,
                                                     creation.get(), H5P_DEFAULT),
                                          file_name, name + "/" + c.name),
                                  H5Dclose);
            hdf5::write_string_attribute(datasets.back().get(), "datatype", c.kind == column::text ? "array<1>{string}" : "array<1>{real}",
                                         file_name);
            if (c.units != nullptr) hdf5::write_string_attribute(datasets.back().get(), "units", c.units, file_name);
        }
        if (!extendable) {
            for (std::size_t i = 0; i < columns.size(); ++i) write_rows(i, columns[i], 0);
            rows = columns.empty() ? 0 : columns[0].size();
        }
    }

    void write_rows(std::size_t i, const column& c, hsize_t first) {
        const hsize_t count = c.size();
        if (count == 0) return;
        const handle text = text_type();
        handle file_space(written(H5Dget_space(datasets[i].get()), file_name, c.name), H5Sclose);
        written_status(H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, &first, nullptr, &count, nullptr), file_name, c.name);
        handle memory_space(written(H5Screate_simple(1, &count, nullptr), file_name, c.name), H5Sclose);
        std::vector<const char*> pointers;
        const void* data = c.kind == column::real ? static_cast<const void*>(c.reals.data()) : static_cast<const void*>(c.integers.data());
        if (c.kind == column::text) {
            for (const std::string& s : c.texts) pointers.push_back(s.c_str());
            data = pointers.data();
        }
        written_status(H5Dwrite(datasets[i].get(), c.memory_type(text), memory_space.get(), file_space.get(), H5P_DEFAULT, data),
                       file_name, c.name);
    }

    void append(const std::vector<column>& columns) {
        const hsize_t count = columns.empty() ? 0 : columns[0].size(), total = rows + count;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            written_status(H5Dset_extent(datasets[i].get(), &total), file_name, columns[i].name);
            write_rows(i, columns[i], rows);
        }
        rows = total;
    }
};

double number_or_nan(const json& value) { return value.is_number() ? value.get<double>() : not_a_number; }

std::string channel_label(const std::string& channel) { return channel + " amplitude"; }

}  // namespace

struct hdf5_output::record_table {
    std::vector<column> columns{text_column("file"),       integer_column("event"), text_column("channel"),
                                real_column("baseline"),   real_column("amplitude"), real_column("centre"),
                                real_column("width"),      text_column("flag"),     real_column("timestamp", "s"),
                                real_column("daq_energy")};
    record_table() {
        for (const char* name : record_measures::names) columns.push_back(real_column(name));
    }
    std::optional<table_writer> writer;
};

hdf5_output::hdf5_output(const std::string& dir) : staged_(std::make_unique<staged_file>(dir, file_name)) {
    hdf5::silence_errors();
    errno = 0;
    handle access(written(H5Pcreate(H5P_FILE_ACCESS), file_name, "create"), H5Pclose);
    H5Pset_file_locking(access.get(), false, true);
    file_ = written(H5Fcreate(staged_->temp_path().c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access.get()), file_name, "create");
}

hdf5_output::~hdf5_output() {
    records_.reset();
    if (file_ >= 0) H5Fclose(file_);
}

void hdf5_output::add_records(const std::vector<record_result>& results, const std::vector<std::string>& channels,
                              const std::vector<std::optional<double>>& tick_seconds) {
    if (!records_) {
        records_ = std::make_unique<record_table>();
        records_->writer.emplace(file_, "records", records_->columns, true);
    }
    std::vector<column>& c = records_->columns;
    for (column& each : c) each.reals.clear(), each.integers.clear(), each.texts.clear();
    for (const record_result& r : results) {
        c[0].texts.push_back(*r.file);
        c[1].integers.push_back(static_cast<std::int64_t>(r.event));
        c[2].texts.push_back(channels[r.channel]);
        c[3].reals.push_back(r.estimate.baseline);
        c[4].reals.push_back(r.estimate.amplitude);
        c[5].reals.push_back(r.estimate.centre);
        c[6].reals.push_back(r.how == method::fit ? r.estimate.width : not_a_number);
        c[7].texts.push_back(flag_name(r.estimate.flag));
        const std::optional<double>& tick = tick_seconds[r.channel];
        c[8].reals.push_back(r.timestamp && tick ? static_cast<double>(*r.timestamp) * *tick : not_a_number);
        c[9].reals.push_back(r.daq_energy.value_or(not_a_number));
        std::size_t next = 10;
        for (const std::optional<double>* value : r.measures.values()) c[next++].reals.push_back(value->value_or(not_a_number));
    }
    errno = 0;
    records_->writer->append(c);
}

void hdf5_output::write_results(const histogram1D& spectrum, const histogram2D* map, const histogram1D* residuals,
                                const json& summary) {
    errno = 0;
    const std::string unit = summary.at("unit").get<std::string>();
    const std::vector<std::string> names = summary.at("channel_names").get<std::vector<std::string>>();
    // The tables list the channels in the histograms' order, that of channel_names.
    std::vector<std::string> shown;
    for (const std::string& name : names)
        if (summary.at("channels").contains(name)) shown.push_back(name);
    if (shown.size() != names.size()) {
        shown.clear();
        for (const auto& item : summary.at("channels").items()) shown.push_back(item.key());
    }
    const auto write_column = [&](hid_t group, const histogram1D& h, int c, const std::string& name, const std::string& kind,
                                  const std::string& axis_label, const std::string& units) {
        uhi::stored_histogram stored = uhi::from_column(h, c, axis_label);
        stored.about = {kind + " of channel " + name, axis_label, units};
        uhi::write(group, name, stored, file_name);
    };
    {
        const handle group = hdf5::create_group(file_, "spectrum", file_name);
        for (std::size_t c = 0; c < names.size(); ++c)
            write_column(group.get(), spectrum, static_cast<int>(c), names[c], "amplitude spectrum", "amplitude", unit);
    }
    if (map != nullptr) {
        const json& pair = summary.at("pair").at("channels");
        const std::string x = pair[0].get<std::string>(), y = pair[1].get<std::string>();
        uhi::stored_histogram stored = uhi::from_column(*map, 0, channel_label(x), channel_label(y));
        stored.about = {"amplitude of " + y + " against " + x, channel_label(x), unit};
        uhi::write(file_, "map", stored, file_name);
        // Each gate's spectrum of y: the map summed over the gate's band of x bins, as gate-<k>.txt holds it.
        const handle gates = hdf5::create_group(file_, "gates", file_name);
        for (const json& gate : summary.at("gates")) {
            const int centre = gate.at("x_bin").get<int>(), half = gate.at("half_width").get<int>();
            histogram1D gated(map->nBinsY, 1, map->minY, map->maxY);
            for (int j = 1; j + 1 < map->nBinsY; ++j)
                for (int i = centre - half; i <= centre + half; ++i) gated.data[j][0] += map->data[i][j][0];
            uhi::stored_histogram g = uhi::from_column(gated, 0, channel_label(y));
            g.about = {"amplitude of " + y + " gated on line " + std::to_string(gate.at("line").get<int>()) + " of " + x,
                       channel_label(y), unit};
            uhi::write(gates.get(), std::to_string(gate.at("line").get<int>()), g, file_name);
        }
    }
    if (residuals != nullptr) {
        const handle group = hdf5::create_group(file_, "residuals", file_name);
        for (std::size_t c = 0; c < names.size(); ++c)
            write_column(group.get(), *residuals, static_cast<int>(c), names[c], "truth residual", "amplitude - true amplitude", "ADC");
    }

    // The tables of the summary.
    std::vector<column> lines{text_column("channel"),     integer_column("line"),   real_column("position"),
                              real_column("position_error"), real_column("fwhm"), real_column("fwhm_error"),
                              real_column("fwhm_halfmax"), real_column("counts"),   real_column("counts_error"),
                              real_column("background"),  real_column("significance"), real_column("chi2_per_dof"),
                              integer_column("rebin")};
    std::vector<column> channels{text_column("channel"),   integer_column("records"), integer_column("clipped"),
                                 integer_column("no_pulse"), integer_column("fit_failed"), integer_column("poor_fit"),
                                 text_column("polarity"), real_column("tick_seconds", "s")};
    std::vector<column> truth{text_column("channel"), integer_column("line"), integer_column("records"), real_column("bias", "ADC"),
                              real_column("rms", "ADC")};
    bool with_truth = false;
    for (const std::string& name : shown) {
        const json& channel = summary.at("channels").at(name);
        channels[0].texts.push_back(name);
        for (std::size_t k = 1; k <= 5; ++k) channels[k].integers.push_back(channel.at(channels[k].name).get<std::int64_t>());
        channels[6].texts.push_back(channel.at("polarity").get<std::string>());
        channels[7].reals.push_back(channel.contains("tick_seconds") ? channel.at("tick_seconds").get<double>() : not_a_number);
        const json& found = channel.at("lines");
        for (std::size_t k = 0; k < found.size(); ++k) {
            const json& line = found[k];
            lines[0].texts.push_back(name);
            lines[1].integers.push_back(static_cast<std::int64_t>(k));
            for (std::size_t field = 2; field <= 11; ++field) lines[field].reals.push_back(number_or_nan(line.at(lines[field].name)));
            lines[12].integers.push_back(line.at("rebin").get<std::int64_t>());
            if (line.contains("residual_records")) {
                with_truth = true;
                truth[0].texts.push_back(name);
                truth[1].integers.push_back(static_cast<std::int64_t>(k));
                truth[2].integers.push_back(line.at("residual_records").get<std::int64_t>());
                truth[3].reals.push_back(number_or_nan(line.at("residual_bias")));
                truth[4].reals.push_back(number_or_nan(line.at("residual_rms")));
            }
        }
        if (channel.contains("residual_records")) {
            with_truth = true;
            truth[0].texts.push_back(name);
            truth[1].integers.push_back(-1);  // every unflagged record
            truth[2].integers.push_back(channel.at("residual_records").get<std::int64_t>());
            truth[3].reals.push_back(number_or_nan(channel.at("residual_bias")));
            truth[4].reals.push_back(number_or_nan(channel.at("residual_rms")));
        }
    }
    table_writer(file_, "lines", lines, false);
    table_writer(file_, "channels", channels, false);
    if (with_truth) table_writer(file_, "truth_residuals", truth, false);
    std::vector<column> gates{integer_column("line"), real_column("band_low"), real_column("band_high"), integer_column("x_bin"),
                              integer_column("half_width")};
    for (const json& gate : summary.at("gates")) {
        gates[0].integers.push_back(gate.at("line").get<std::int64_t>());
        gates[1].reals.push_back(gate.at("band").at(0).get<double>());
        gates[2].reals.push_back(gate.at("band").at(1).get<double>());
        gates[3].integers.push_back(gate.at("x_bin").get<std::int64_t>());
        gates[4].integers.push_back(gate.at("half_width").get<std::int64_t>());
    }
    table_writer(file_, "gate_bands", gates, false);
    std::vector<column> flagged{text_column("file"), integer_column("event"), text_column("channel"), text_column("flag")};
    for (const json& r : summary.at("flagged")) {
        flagged[0].texts.push_back(r.contains("file") ? r.at("file").get<std::string>() : std::string());
        flagged[1].integers.push_back(r.at("event").get<std::int64_t>());
        flagged[2].texts.push_back(r.at("channel").get<std::string>());
        flagged[3].texts.push_back(r.at("flag").get<std::string>());
    }
    table_writer(file_, "flagged", flagged, false);

    // Everything else as attributes; the whole summary, outputs aside, as its JSON text.
    hdf5::write_string_attribute(file_, "format", summary.at("format").get<std::string>(), file_name);
    hdf5::write_string_attribute(file_, "unit", unit, file_name);
    const std::int64_t samples = summary.at("samples").is_null() ? 0 : summary.at("samples").get<std::int64_t>();
    hdf5::write_scalar_attribute(file_, "samples", H5T_STD_I64LE, H5T_NATIVE_INT64, &samples, file_name);
    json rest = summary;
    rest.erase("outputs");
    hdf5::write_string_attribute(file_, "summary", rest.dump(), file_name);
    records_.reset();
    const hid_t closing = file_;
    file_ = -1;
    errno = 0;
    if (H5Fclose(closing) < 0) hdf5::write_failed(file_name, "close");
}

}  // namespace murel::analysis
