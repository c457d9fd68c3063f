// Feeds arbitrary names and summary.json strings through the making of murel plot's gnuplot
// scripts, of every kind of picture and of trace over a record.  The first six bytes give the
// lengths of the analysis directory's name, the records
// file's name, the output directory's name and a flagged record's channel, then how the unit
// and the flag are chosen (odd: the length of a string to take; even: which known one); the
// bytes after them are those strings.  Read as gnuplot
// reads it, every script must keep each string inside quotes where nothing runs or expands,
// and have the same code outside its strings as the scripts of plain names.
#include "draw.h"
#include "gnuplot.h"
#include "summary.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct strings {
    std::string dir, records, output, channel, unit, flag;
};

[[noreturn]] void fail(const std::string& why, const std::string& script) {
    std::fprintf(stderr, "%s in the script:\n%s\n", why.c_str(), script.c_str());
    std::abort();
}

// The script's code outside strings and comments, each chain of strings joined by '.' shown as
// one S; aborts where a string spills over a line end, or text would run or expand.
std::string code_of(const std::string& script) {
    std::string code;
    const auto string_token = [&code] {
        if (code.size() >= 2 && code.compare(code.size() - 2, 2, "S.") == 0)
            code.pop_back();
        else
            code += 'S';
    };
    for (std::size_t i = 0; i < script.size(); ++i) {
        const char c = script[i];
        if (c == '\'') {
            std::size_t end = i + 1;
            if (end < script.size() && script[end] == '\'') {  // the empty string
                i = end;
                string_token();
                continue;
            }
            for (;; ++end) {
                if (end >= script.size() || script[end] == '\n') fail("a single-quoted string left open", script);
                if (script[end] != '\'') continue;
                if (end + 1 < script.size() && script[end + 1] == '\'') {
                    ++end;
                    continue;
                }
                break;
            }
            i = end;
            string_token();
        } else if (c == '"') {
            std::size_t end = i + 1;
            for (;; ++end) {
                if (end >= script.size() || script[end] == '\n') fail("a double-quoted string left open", script);
                if (script[end] == '`') fail("a backtick in a double-quoted string", script);
                if (script[end] == '\\') {
                    ++end;
                    if (end >= script.size() || script[end] == '\n') fail("a double-quoted string left open", script);
                } else if (script[end] == '"') {
                    break;
                }
            }
            i = end;
            string_token();
        } else if (c == '#') {
            const std::size_t end = script.find('\n', i);
            const std::string comment = script.substr(i, end == std::string::npos ? std::string::npos : end - i);
            if (comment.find('`') != std::string::npos || (!comment.empty() && comment.back() == '\\'))
                fail("a comment that runs or goes on", script);
            if (end == std::string::npos) break;
            i = end - 1;
        } else if (c == '`' || c == '@') {
            fail(std::string("a bare ") + c, script);
        } else {
            code += c;
        }
    }
    return code;
}

// A fresh directory for one input, removed with everything in it.
class scratch {
public:
    scratch() {
        std::string pattern = (fs::temp_directory_path() / "plot_fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;
    ~scratch() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string file_name(std::string name) {
    for (char& c : name)
        if (c == '/' || c == '\0') c = '_';
    return name.empty() || name == "." || name == ".." ? "n" + name : name;
}

// `text` as it comes back from JSON, which replaces bytes that are not UTF-8.
std::string through_json(const std::string& text) {
    return json::parse(json(text).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
}

// The scripts of an analysis directory and a records file named by `s`, set up under `root`.
std::vector<murel::plot::script> scripts_of(const strings& s, const fs::path& root) {
    fs::create_directories(root);
    // summary.json names the records file, so its name must survive JSON.
    const std::string records_name = file_name(through_json(s.records)) + ".cdb";
    const std::string records = (root / records_name).string();
    std::string dir_name = file_name(s.dir);
    if (dir_name == records_name) dir_name += "d";
    const std::string dir = (root / dir_name).string();
    fs::create_directory(dir);
    std::ofstream(records, std::ios::binary) << std::string(12 + 2 * 200, '\x01');
    std::ofstream(dir + "/spectrum.txt") << "0 1 2\n10 5 3\n20 2 1\n";
    const json line = {{"position", 10}, {"fwhm", 5}, {"counts", 20}, {"background", 1}, {"background_slope", 0.5},
                       {"background_reference", 10}, {"fit_range", {2, 18}}};
    // The channel's records measured by charge, B's by trapezoid, and the channel calibrated by lines.
    const auto processing = [](const char* method) {
        return json{{"method", method}, {"baseline_samples", "quarter"}, {"decay", "estimated"}, {"rise_time", 5},
                    {"flat_top", 3}, {"long_gate", 20}, {"short_gate", 4}, {"gate_lead", 2},
                    {"threshold", "5 baseline rms"}, {"cfd_fraction", 0.2}, {"pileup_window", 4}};
    };
    const json calibration = {{"coefficients", {1, 2, 0}}, {"resolution", {{"a", 1}, {"b", 0.1}, {"c", 0}}},
                              {"lines", {{{"position", 10}, {"energy", 21}, {"fwhm", 3}}}}};
    std::string quoted_channel = "\"";
    for (const char c : s.channel) quoted_channel += c == '"' ? std::string("\"\"") : std::string(1, c);
    std::ofstream(dir + "/records.csv", std::ios::binary)
        << "file,event,channel,baseline,amplitude,flag,psd\nx,0," << quoted_channel << "\",0,10,ok,0.5\n";
    const json summary = {
        {"unit", s.unit},
        {"channel_names", {s.channel, "B"}},
        {"channels", {{s.channel, {{"lines", {line}}, {"processing", processing("charge")}}},
                      {"B", {{"processing", processing("trapezoid")}}}}},
        {"line_calibration", {{"energies", {21}}, {"channels", {{s.channel, calibration}}}}},
        {"flagged", {{{"file", records}, {"event", 1}, {"channel", s.channel}, {"flag", s.flag}}}}};
    std::ofstream(dir + "/summary.json") << summary.dump(-1, ' ', false, json::error_handler_t::replace);

    murel::plot::request run;
    run.inputs = {dir, records};
    run.records = {0};
    run.reading.samples = 50;
    run.output_dir = (root / file_name(s.output)).string();
    std::vector<murel::plot::script> result = murel::plot::scripts(run);
    result.push_back({"", "output = " + murel::plot::quoted_path(run.output_dir + "/x.png") + "\n"});
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    std::size_t at = 6;
    const auto take = [&](std::size_t length) {
        length = std::min<std::size_t>(length % 64, size - at);
        const std::string result(reinterpret_cast<const char*>(data) + at, length);
        at += length;
        return result;
    };
    strings fuzzed;
    fuzzed.dir = take(data[0]);
    fuzzed.records = take(data[1]);
    fuzzed.output = take(data[2]);
    fuzzed.channel = take(data[3]);
    const auto& units = murel::plot::known_units();
    const auto& flags = murel::plot::known_flags();
    fuzzed.unit = data[4] & 1 ? take(data[4] >> 1) : units[(data[4] >> 1) % units.size()].name;
    fuzzed.flag = data[5] & 1 ? take(data[5] >> 1) : flags[(data[5] >> 1) % flags.size()];
    strings plain = fuzzed;
    plain.dir = plain.records = plain.output = plain.channel = "x";

    const scratch work;
    std::vector<murel::plot::script> scripts;
    try {
        scripts = scripts_of(fuzzed, work.path() / "fuzzed");
    } catch (const std::invalid_argument&) {
        return 0;  // an unknown unit or flag, or a NUL byte, refused
    }
    const std::vector<murel::plot::script> expected = scripts_of(plain, work.path() / "plain");
    if (scripts.size() != expected.size()) std::abort();
    for (std::size_t k = 0; k < scripts.size(); ++k)
        if (code_of(scripts[k].text) != code_of(expected[k].text))
            fail("code that differs from a plain name's (" + code_of(expected[k].text) + ")", scripts[k].text);
    return 0;
}
