// murel.generate: events of a data set and their truth, made by the generator's engine.
#include "module.h"

#include "murel_gen.h"
#include "pulse_model.h"

#include <algorithm>
#include <fstream>
#include <thread>
#include <vector>

namespace murel::python {
namespace {

// A keyword's value as the setting text the command line would take.
std::string setting_text(const py::handle& value) {
    if (py::isinstance<py::bool_>(value)) return value.cast<bool>() ? "yes" : "no";
    if (py::isinstance<py::str>(value)) return value.cast<std::string>();
    if (py::isinstance<py::int_>(value)) return py::str(value).cast<std::string>();
    if (py::isinstance<py::float_>(value)) return py::repr(value).cast<std::string>();  // the shortest exact form
    if (py::isinstance<py::sequence>(value)) {
        std::string text;
        for (const py::handle& item : value.cast<py::sequence>()) text += (text.empty() ? "" : ",") + setting_text(item);
        return text;
    }
    throw std::invalid_argument("cannot take " + py::repr(value).cast<std::string>() + " as a setting");
}

struct truth_columns {
    std::vector<std::uint64_t> event;
    std::vector<std::uint8_t> channel;
    std::vector<std::int32_t> component;
    std::vector<std::uint8_t> pileup;
    std::vector<double> amplitude, centre, width, offset, rise, decay;
    std::vector<std::int8_t> polarity;

    void add(std::uint64_t e, std::uint8_t c, const drawn_pulse& p, bool second, int sign, bool gaussian) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        event.push_back(e);
        channel.push_back(c);
        component.push_back(second ? -1 : p.component);
        pileup.push_back(second);
        amplitude.push_back(second ? p.pileup_amplitude : p.params[0]);
        centre.push_back(second ? p.pileup_centre : p.params[1]);
        width.push_back(gaussian ? p.params[2] : nan);
        offset.push_back(p.params[3]);
        rise.push_back(gaussian ? nan : p.rise);
        decay.push_back(gaussian ? nan : p.decay);
        polarity.push_back(static_cast<std::int8_t>(sign));
    }
};

py::object generate(py::kwargs options) {
    data_set set;
    unsigned threads = std::max(std::thread::hardware_concurrency(), 1U);
    std::vector<setting> given;
    for (const auto& [key_handle, value] : options) {
        std::string key = key_handle.cast<std::string>();
        std::replace(key.begin(), key.end(), '_', '-');
        const std::string source = "--" + key;
        if (key == "threads") {
            const long long t = value.cast<long long>();
            if (t < 1 || t > 1024) throw std::invalid_argument("--threads " + std::to_string(t) + ": not 1 to 1024");
            threads = static_cast<unsigned>(t);
        } else if (key == "model") {
            const std::string path = value.cast<std::string>();
            std::ifstream in(path);
            if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
            apply_settings(set, read_settings(in, path));
        } else if (key == "line" && py::isinstance<py::sequence>(value) && !py::isinstance<py::str>(value)) {
            const py::sequence lines = value.cast<py::sequence>();
            if (lines.size() == 0) given.push_back({"line", "none", source});
            for (const py::handle& line : lines) given.push_back({"line", setting_text(line), source});
        } else {
            given.push_back({key, setting_text(value), source});
        }
    }
    // Settings given as keywords override the model file, whatever their order.
    apply_settings(set, given);

    const std::size_t samples = static_cast<std::size_t>(set.samples);
    py::array_t<std::int16_t> pairs({static_cast<py::ssize_t>(set.events), static_cast<py::ssize_t>(samples), py::ssize_t{2}});
    auto* out = reinterpret_cast<unsigned char*>(pairs.mutable_data());
    truth_columns truth;
    const bool gaussian = set.model.shape == pulse_shape::gaussian;
    const int sign = set.model.negative ? -1 : 1;
    {
        py::gil_scoped_release released;
        generator g = synthetic_start(set.seed, set.model, set.samples);
        skip_events(g, set.model, set.samples, set.first_event);
        const event_sink write = [out](const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
            std::copy(bytes, bytes + size, out + offset);
        };
        const params_sink record = [&](std::uint64_t event, const drawn_pulse& a, const drawn_pulse& b) {
            const std::uint64_t e = set.first_event + event;
            for (const auto& [c, p] : {std::pair<std::uint8_t, const drawn_pulse&>{0, a}, {1, b}}) {
                truth.add(e, c, p, false, sign, gaussian);
                if (p.piled_up) truth.add(e, c, p, true, sign, gaussian);
            }
        };
        generate_events(g, set.model, set.samples, set.events, write, threads, record);
    }
    py::module_ np = py::module_::import("numpy");
    py::dict columns;
    columns["event"] = owned_array(std::move(truth.event));
    columns["channel"] = np.attr("array")(py::list(py::make_tuple("A", "B")))[owned_array(std::move(truth.channel))];
    columns["component"] = owned_array(std::move(truth.component));
    columns["pileup"] = owned_array(std::move(truth.pileup)).attr("view")("bool");
    columns["amplitude"] = owned_array(std::move(truth.amplitude));
    columns["centre"] = owned_array(std::move(truth.centre));
    columns["width"] = owned_array(std::move(truth.width));
    columns["offset"] = owned_array(std::move(truth.offset));
    columns["rise"] = owned_array(std::move(truth.rise));
    columns["decay"] = owned_array(std::move(truth.decay));
    columns["polarity"] = owned_array(std::move(truth.polarity));
    py::dict d;
    d["samples"] = pairs.attr("transpose")(0, 2, 1);
    d["channels"] = py::list(py::make_tuple("A", "B"));
    d["event"] = np.attr("arange")(set.first_event, set.first_event + set.events, py::arg("dtype") = "uint64");
    d["timestamp"] = py::none();
    d["daq_energy"] = py::none();
    d["truth"] = result(columns);
    d["model"] = format_data_set(set, MUREL_VERSION);
    return result(d);
}

}  // namespace

void add_generate(py::module_& m) {
    m.def("generate", &generate,
          "Events of a data set and their true pulses, byte for byte those of `murel generate` with the same settings: "
          "keywords as its options (events, seed, first_event, samples, line=[(position, relsigma, probability), ...], "
          "continuum, centre, width, offset, noise, shape, rise, decay, polarity, pileup, baseline_slope, bits, saturate, "
          "model=FILE, threads). Returns `samples` (events, 2, samples) int16, a view of the pairs as the cdb file holds "
          "them, and `truth`, one row per pulse. Raises ValueError with the command line's message for a bad setting.");
}

}  // namespace murel::python
