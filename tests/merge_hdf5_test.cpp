// murel merge reads each piece's counts from its analysis.h5: they must be those of the text
// tables, bin for bin, and a file that disagrees with its set is refused.
#include "file_digest.h"
#include "program_runner.h"
#include "uhi_hdf5.h"

#include <hdf5.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>

using nlohmann::json;
using test_support::read_file;
using test_support::run_result;
using test_support::scratch_dir;

namespace {

class pieces_dir {
public:
    run_result murel(const std::vector<std::string>& arguments) const {
        return test_support::run(MUREL_PATH, arguments, dir_.path().string());
    }
    // Events FIRST to FIRST + EVENTS - 1, with their truth, analysed into NAME/.
    void piece(const std::string& name, int first, int events) const {
        const run_result made = murel({"generate", name + ".cdb", "--truth", name + ".csv", "--samples", "200", "--centre", "120,0.005",
                                       "--width", "35,0.001", "--seed", "7", "--first-event", std::to_string(first), "--events",
                                       std::to_string(events)});
        ASSERT_EQ(made.status, 0) << made.err;
        const run_result analysed = murel({"analyse", name + ".cdb", "--samples", "200", "--truth", name + ".csv", "-o", name});
        ASSERT_EQ(analysed.status, 0) << analysed.err;
    }
    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    scratch_dir dir_;
};

json summary_of(const std::string& dir) { return json::parse(read_file(dir + "/summary.json")); }

void set_summary(const std::string& dir, const std::function<void(json&)>& change) {
    json summary = summary_of(dir);
    change(summary);
    std::ofstream(dir + "/summary.json", std::ios::trunc) << summary.dump(1);
}

// Lists analysis.h5 in the summary as it now is, as a forger would.
void relist_hdf5(const std::string& dir) {
    const murel::file_digest digest = murel::digest_of(dir + "/analysis.h5");
    set_summary(dir, [&](json& s) { s["outputs"]["analysis.h5"] = {{"bytes", digest.bytes}, {"xxh3", digest.hash_text()}}; });
}

// Column `column` of the whitespace-separated table `name` of `dir`, row after row.
std::vector<double> text_column(const std::string& dir, const std::string& name, std::size_t column) {
    std::vector<double> values;
    for (const std::string& row : test_support::lines(read_file(dir + "/" + name))) {
        std::istringstream fields(row);
        double v = 0.0;
        for (std::size_t k = 0; k <= column; ++k) fields >> v;
        values.push_back(v);
    }
    return values;
}

// The histogram `where` of `dir`/analysis.h5 as stored, flow bins included.
murel::uhi::stored_histogram stored(const std::string& dir, const std::string& where) {
    const std::string path = dir + "/analysis.h5";
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t group = H5Oopen(file, where.c_str(), H5P_DEFAULT);
    murel::uhi::stored_histogram h = murel::uhi::read(group, path, where);
    H5Oclose(group);
    H5Fclose(file);
    return h;
}

// Changes the stored counts, flow bins included, of the histogram `where` of `dir`/analysis.h5.
void change_stored(const std::string& dir, const std::string& where, const std::function<void(std::vector<double>&)>& change) {
    const std::string path = dir + "/analysis.h5";
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    const hid_t data = H5Dopen2(file, (where + "/storage/values").c_str(), H5P_DEFAULT);
    const hid_t space = H5Dget_space(data);
    std::vector<double> values(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
    EXPECT_GE(H5Dread(data, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0) << path << " " << where;
    change(values);
    EXPECT_GE(H5Dwrite(data, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0) << path << " " << where;
    H5Sclose(space);
    H5Dclose(data);
    H5Fclose(file);
}

}  // namespace

TEST(merge_hdf5, analysis_h5_holds_the_counts_of_the_text_tables_bin_for_bin_with_empty_flow_bins) {
    pieces_dir d;
    d.piece("a", 0, 60);
    d.piece("b", 60, 60);
    ASSERT_EQ(d.murel({"merge", "a", "b", "-o", "sum"}).status, 0);
    for (const std::string& dir : {d.file("a"), d.file("sum")}) {
        SCOPED_TRACE(dir);
        const std::vector<std::string> channels = summary_of(dir)["channel_names"].get<std::vector<std::string>>();
        const auto compare = [&](const murel::uhi::stored_histogram& h, const std::vector<double>& text) {
            ASSERT_EQ(h.values.size(), text.size() + 2);
            EXPECT_EQ(h.values.front(), 0.0);
            EXPECT_EQ(h.values.back(), 0.0);
            for (std::size_t i = 0; i < text.size(); ++i) ASSERT_EQ(h.values[i + 1], text[i]) << "bin " << i;
        };
        for (std::size_t c = 0; c < channels.size(); ++c) {
            compare(stored(dir, "spectrum/" + channels[c]), text_column(dir, "spectrum.txt", c + 1));
            compare(stored(dir, "residuals/" + channels[c]), text_column(dir, "residuals.txt", c + 1));
        }
        const murel::uhi::stored_histogram map = stored(dir, "map");
        const std::vector<double> text = text_column(dir, "map.txt", 2);
        const std::size_t rows = static_cast<std::size_t>(map.axes.at(1).bins) + 2;
        ASSERT_EQ(map.values.size(), (static_cast<std::size_t>(map.axes.at(0).bins) + 2) * rows);
        std::size_t next = 0;
        for (std::size_t i = 0; i < map.values.size(); ++i) {
            const bool flow = i < rows || i >= map.values.size() - rows || i % rows == 0 || i % rows == rows - 1;
            ASSERT_EQ(map.values[i], flow ? 0.0 : text.at(next++)) << "value " << i;
        }
        EXPECT_EQ(next, text.size());
    }
}

TEST(merge_hdf5, merging_from_analysis_h5_gives_the_bytes_of_merging_from_the_text_tables) {
    pieces_dir d;
    d.piece("a", 0, 60);
    d.piece("b", 60, 60);
    // Pieces whose list lacks analysis.h5 are read from their text tables.
    for (const std::string piece : {"a", "b"}) {
        std::filesystem::copy(d.file(piece), d.file(piece + "-text"));
        std::filesystem::remove(d.file(piece + "-text/analysis.h5"));
        set_summary(d.file(piece + "-text"), [](json& s) { s["outputs"].erase("analysis.h5"); });
    }
    ASSERT_EQ(d.murel({"merge", "a", "b", "-o", "from-hdf5"}).status, 0);
    ASSERT_EQ(d.murel({"merge", "a-text", "b-text", "-o", "from-text"}).status, 0);
    const std::vector<std::string> files = test_support::listing(d.file("from-hdf5"));
    EXPECT_EQ(test_support::listing(d.file("from-text")), files);
    for (const std::string& name : files)
        EXPECT_TRUE(read_file(d.file("from-hdf5/" + name)) == read_file(d.file("from-text/" + name))) << name;
}

TEST(merge_hdf5, refuses_an_analysis_h5_that_disagrees_with_its_set_naming_the_piece_and_the_file) {
    pieces_dir d;
    d.piece("a", 0, 60);
    d.piece("b", 60, 60);
    const std::string bad = d.file("bad"), file = bad + "/analysis.h5";
    const auto set_value = [&](const std::string& where, std::size_t index, double value, bool relisted) {
        return [=] {
            change_stored(bad, where, [&](std::vector<double>& v) { v.at(index) = value; });
            if (relisted) relist_hdf5(bad);
        };
    };
    const auto spectrum_bin = [&](std::size_t bin) { return stored(d.file("b"), "spectrum/A").values.at(bin + 1); };
    std::size_t busy = 0;  // a spectrum bin that counts something
    while (spectrum_bin(busy) == 0.0) ++busy;
    const struct {
        std::string name;
        std::function<void()> tamper;
        std::string message;
    } cases[] = {
        {"a count changed", set_value("spectrum/A", busy + 1, spectrum_bin(busy) + 1, false),
         file + " does not belong with " + bad + "/summary.json (other content)"},
        {"a count changed and listed anew", set_value("spectrum/A", busy + 1, spectrum_bin(busy) + 1, true),
         bad + "/summary.json: channel A has 60 records, "},
        {"an underflow bin filled", set_value("spectrum/B", 0, 3, true), file + ": spectrum/B: a flow bin holds \"3\", where an analysis counts nothing"},
        {"a map overflow bin filled", set_value("map", 258 * 258 - 1, 1, true), file + ": map: a flow bin holds \"1\""},
        {"a fractional count", set_value("map", 259, 0.5, true), file + ": map: \"0.5\" is not a count of entries"},
        {"a negative count", set_value("residuals/A", 7, -1, true), file + ": residuals/A: \"-1\" is not a count of entries"},
        {"a count that is not a number", set_value("spectrum/A", 9, std::numeric_limits<double>::quiet_NaN(), true),
         file + ": spectrum/A: \"nan\" is not a count of entries"},
        {"a count beyond 2^53", set_value("spectrum/A", 9, 1e300, true), file + ": spectrum/A: \"1.0000000000000001e+300\" is not a count"},
        {"the first whole number past 2^53", set_value("map", 300, 9007199254740994.0, true), file + ": map: \"9007199254740994\" is not a count"},
        {"a half just below 2^52", set_value("map", 300, 4503599627370495.5, true), file + ": map: \"4503599627370495.5\" is not a count"},
        {"counts that add up past 2^53",
         [&] {
             // 1 + 1 + 2^53 added as doubles in another order would give 2^53, the records claimed.
             change_stored(bad, "spectrum/A", [](std::vector<double>& v) {
                 std::fill(v.begin(), v.end(), 0.0);
                 v.at(1) = v.at(2) = 1;
                 v.at(5) = 9007199254740992.0;
             });
             set_summary(bad, [](json& s) {
                 for (const char* flag : {"clipped", "no_pulse", "fit_failed", "poor_fit", "saturated", "pileup"}) s["channels"]["A"][flag] = 0;
                 s["channels"]["A"]["records"] = 9007199254740992;
             });
             relist_hdf5(bad);
         },
         bad + "/summary.json: channel A has 9007199254740992 records, 0 of them flagged, but " + file + " holds 9007199254740994 entries"},
        {"a histogram missing",
         [&] {
             const hid_t h5 = H5Fopen(file.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
             EXPECT_GE(H5Ldelete(h5, "residuals/B", H5P_DEFAULT), 0);
             H5Fclose(h5);
             relist_hdf5(bad);
         },
         file + ": no histogram residuals/B"},
        {"a histogram linked from another file",
         [&] {
             const hid_t h5 = H5Fopen(file.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
             EXPECT_GE(H5Ldelete(h5, "map/storage/values", H5P_DEFAULT), 0);
             EXPECT_GE(H5Lcreate_external((d.file("a") + "/analysis.h5").c_str(), "map/storage/values", h5, "map/storage/values",
                                          H5P_DEFAULT, H5P_DEFAULT), 0);
             H5Fclose(h5);
             relist_hdf5(bad);
         },
         file + ": map links to another file"},
        {"counts kept in a raw file beside it",
         [&] {
             const std::vector<double> values = stored(bad, "spectrum/A").values;
             const hid_t h5 = H5Fopen(file.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
             EXPECT_GE(H5Ldelete(h5, "spectrum/A/storage/values", H5P_DEFAULT), 0);
             const hsize_t n = values.size();
             const hid_t space = H5Screate_simple(1, &n, nullptr), creation = H5Pcreate(H5P_DATASET_CREATE);
             EXPECT_GE(H5Pset_external(creation, (bad + "/raw.bin").c_str(), 0, n * sizeof(double)), 0);
             const hid_t data = H5Dcreate2(h5, "spectrum/A/storage/values", H5T_NATIVE_DOUBLE, space, H5P_DEFAULT, creation, H5P_DEFAULT);
             EXPECT_GE(H5Dwrite(data, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
             H5Dclose(data), H5Pclose(creation), H5Sclose(space), H5Fclose(h5);
             relist_hdf5(bad);
         },
         file + ": spectrum/A keeps its counts outside the file"},
        {"a file that is not HDF5",
         [&] {
             std::filesystem::resize_file(file, 100);
             relist_hdf5(bad);
         },
         file + ": not an HDF5 file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(bad);
        std::filesystem::copy(d.file("b"), bad);
        c.tamper();
        const run_result r = d.murel({"merge", "a", bad, "-o", "sum"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("murel: " + c.message, 0), 0u) << r.err;
        EXPECT_TRUE(!std::filesystem::exists(d.file("sum")) || test_support::listing(d.file("sum")).empty());
    }
}

// Pieces are read ahead on other threads: whichever is read first, the refusal names the first
// piece at fault in the order given, and nothing is written.
TEST(merge_hdf5, of_several_faulty_pieces_the_first_given_is_named) {
    pieces_dir d;
    for (int k = 0; k < 5; ++k) d.piece("p" + std::to_string(k), 30 * k, 30);
    std::ofstream(d.file("p2/summary.json"), std::ios::app) << "}";
    const auto bytes = std::filesystem::file_size(d.file("p3/analysis.h5"));
    std::ofstream(d.file("p3/analysis.h5"), std::ios::app) << "more";
    std::filesystem::remove(d.file("p4/summary.json"));
    const std::string h5_refused = "p3/analysis.h5 does not belong with p3/summary.json (" + std::to_string(bytes + 4) +
                                   " bytes, not " + std::to_string(bytes) + ")";
    const struct {
        std::vector<std::string> order;
        std::string message;
    } cases[] = {
        {{"p0", "p1", "p2", "p3", "p4"}, "p2/summary.json: [json.exception.parse_error"},
        {{"p0", "p1", "p3", "p2", "p4"}, h5_refused},
        {{"p3", "p0", "p1"}, h5_refused},
        {{"p0", "p1", "p4", "p2"}, "cannot read p4/summary.json"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> arguments{"merge"};
        arguments.insert(arguments.end(), c.order.begin(), c.order.end());
        arguments.insert(arguments.end(), {"-o", "sum"});
        const run_result r = d.murel(arguments);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("murel: " + c.message, 0), 0u) << r.err;
        EXPECT_TRUE(!std::filesystem::exists(d.file("sum")) || test_support::listing(d.file("sum")).empty());
    }
}
