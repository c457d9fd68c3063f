// Data-set identities end to end: what murel generate names, and what murel analyse and murel
// merge refuse because of it; merging in a tree against merging all pieces at once.
#include "file_digest.h"
#include "program_runner.h"
#include "pulse_model.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

using nlohmann::json;
using test_support::read_file;
using test_support::run_result;
using test_support::scratch_dir;

namespace {

class identity_dir {
public:
    run_result murel(const std::vector<std::string>& arguments) const {
        return test_support::run(MUREL_PATH, arguments, dir_.path().string());
    }
    // Events FIRST to FIRST + EVENTS - 1 of the data set of the given settings, as NAME.cdb with
    // NAME.csv, analysed into NAME/.
    void piece(const std::string& name, int first, int events, const std::vector<std::string>& settings = {"--seed", "5"},
               const std::vector<std::string>& analyse = {}) const {
        // Pulses inside the short records, so that the fits succeed.
        std::vector<std::string> generate{"generate", name + ".cdb", "--truth", name + ".csv", "--samples", "200",
                                          "--centre", "120,0.005", "--width", "35,0.001", "--first-event", std::to_string(first), "--events", std::to_string(events)};
        generate.insert(generate.end(), settings.begin(), settings.end());
        const run_result made = murel(generate);
        ASSERT_EQ(made.status, 0) << made.err;
        std::vector<std::string> arguments{"analyse", name + ".cdb", "--samples", "200", "--truth", name + ".csv", "-o", name};
        arguments.insert(arguments.end(), analyse.begin(), analyse.end());
        const run_result analysed = murel(arguments);
        ASSERT_EQ(analysed.status, 0) << analysed.err;
    }
    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string text(const std::string& name) const { return read_file(dir_.file(name)); }
    bool exists(const std::string& name) const { return std::filesystem::exists(dir_.file(name)); }

private:
    scratch_dir dir_;
};

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n') + 1); }

std::string sidecar_hash(const std::string& sidecar) {
    const std::size_t at = sidecar.find("\ndata-set = ");
    return at == std::string::npos ? "" : sidecar.substr(at + 12, 16);
}

}  // namespace

TEST(data_set_identity, pieces_of_one_data_set_share_it_and_every_setting_but_the_range_changes_it) {
    identity_dir d;
    const auto made = [&d](const std::string& name, std::vector<std::string> settings) {
        if (std::find(settings.begin(), settings.end(), "--samples") == settings.end()) settings.insert(settings.end(), {"--samples", "50"});
        settings.insert(settings.begin(), {"generate", name, "--events", "3", "--truth", name + ".csv"});
        const run_result r = d.murel(settings);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string hash = sidecar_hash(d.text(name + ".model"));
        // The truth table names the same data set and the range.
        const std::optional<murel::data_set_identity> table = murel::read_identity_comment(first_line(d.text(name + ".csv")));
        EXPECT_TRUE(table && table->hash == hash && table->events == 3) << name;
        return hash;
    };
    const std::string plain = made("plain", {});
    EXPECT_EQ(plain.size(), 16U);
    EXPECT_EQ(made("later", {"--first-event", "1000"}), plain);
    EXPECT_EQ(made("threads", {"--threads", "3"}), plain);
    EXPECT_EQ(made("compass", {"--format", "compass", "--rate", "50"}), plain);
    const std::vector<std::vector<std::string>> others = {
        {"--seed", "2"},         {"--samples", "51"},          {"--shape", "preamp"}, {"--noise", "21"},
        {"--line", "none"},      {"--polarity", "negative"},   {"--bits", "14"},
        {"--pileup", "0.1,5,9"}, {"--baseline-slope", "0.25"},
    };
    std::vector<std::string> seen{plain};
    for (std::size_t i = 0; i < others.size(); ++i) {
        const std::string hash = made("other" + std::to_string(i), others[i]);
        EXPECT_EQ(std::find(seen.begin(), seen.end(), hash), seen.end()) << others[i][0];
        seen.push_back(hash);
    }
}

TEST(data_set_identity, read_identity_comment_takes_nothing_but_its_own_line) {
    const murel::data_set_identity id{"0123456789abcdef", 7, 42};
    EXPECT_EQ(murel::identity_comment(id), "# data-set = 0123456789abcdef; first-event = 7; events = 42\n");
    EXPECT_TRUE(murel::read_identity_comment(murel::identity_comment(id)) == id);
    for (const char* line : {"event,channel,component,amplitude", "# data-set = 0123456789ABCDEF; first-event = 7; events = 42",
                             "# data-set = 0123456789abcde; first-event = 7; events = 42",
                             "# data-set = 0123456789abcdef; first-event = -7; events = 42",
                             "# data-set = 0123456789abcdef; first-event = 7; events = 42 ",
                             "# data-set = 0123456789abcdef; events = 42; first-event = 7",
                             "# data-set = 0123456789abcdef; first-event = 7; events = 18446744073709551616", ""})
        EXPECT_FALSE(murel::read_identity_comment(line)) << line;
}

TEST(data_set_identity, merge_refuses_pieces_that_are_not_one_whole_and_names_the_difference) {
    identity_dir d;
    d.piece("first", 0, 40);
    d.piece("second", 40, 40);
    d.piece("seed6", 40, 40, {"--seed", "6"});
    d.piece("overlapping", 30, 40);
    d.piece("coarse", 40, 40, {"--seed", "5"}, {"--bins", "3000"});
    d.piece("calibrated", 40, 40, {"--seed", "5"}, {"--calibrate", "2", "0"});
    d.piece("forced", 40, 40, {"--seed", "5"}, {"--polarity", "positive"});
    ASSERT_EQ(d.murel({"analyse", "second.cdb", "--samples", "200", "--truth", "second.csv", "-o", "again"}).status, 0);
    // The same events without a sidecar: files without an identity.
    std::filesystem::copy_file(d.file("first.cdb"), d.file("bare.cdb"));
    std::filesystem::copy_file(d.file("first.csv"), d.file("bare.csv"));
    ASSERT_EQ(d.murel({"analyse", "bare.cdb", "--samples", "200", "--truth", "bare.csv", "-o", "bare"}).status, 0);
    const std::string set = sidecar_hash(d.text("first.cdb.model"));
    const struct {
        std::string second, message;
    } cases[] = {
        {"seed6", "first analysed data set " + set + ", seed6 data set " + sidecar_hash(d.text("seed6.cdb.model"))},
        {"overlapping", "first and overlapping: first.cdb holds events 0 to 39 of data set " + set +
                            ", overlapping.cdb events 30 to 69: they overlap"},
        {"coarse", "first and coarse have different binnings: spectrum.bins: 6555 and 3000"},
        {"calibrated", "first and calibrated have different binnings: calibration: null and {\"factor\":2.0,\"offset\":0.0,\"unit\":\"calibrated\"}"},
        {"forced", "first and forced have different options: polarity: \"auto\" and \"positive\""},
        {"bare", "first analysed data set " + set + ", bare data set files without an identity"},
    };
    for (const auto& c : cases) {
        const run_result r = d.murel({"merge", "first", c.second, "-o", "sum"});
        EXPECT_EQ(r.status, 1) << c.second;
        EXPECT_EQ(r.err, "murel: " + c.message + "\n");
        EXPECT_FALSE(d.exists("sum"));
    }
    // The same piece analysed twice, into two directories.
    const run_result twice = d.murel({"merge", "first", "second", "again", "-o", "sum"});
    EXPECT_EQ(twice.status, 1);
    EXPECT_EQ(twice.err, "murel: second and again: second.cdb and second.cdb hold the same content (32012 bytes, hash " +
                             murel::digest_of(d.file("second.cdb")).hash_text() + ")\n");
    EXPECT_EQ(d.murel({"merge", "first", "second", "-o", "sum"}).status, 0);
}

TEST(data_set_identity, analyse_refuses_a_file_twice_and_a_truth_table_of_other_events) {
    identity_dir d;
    d.piece("a", 0, 30);
    d.piece("b", 30, 30);
    d.piece("whole", 0, 60);
    d.piece("longer", 0, 90);
    d.piece("seed6", 0, 60, {"--seed", "6"});
    std::filesystem::copy_file(d.file("a.cdb"), d.file("copy.cdb"));
    {
        // The whole truth without its identity: only its shape is checked.
        const std::string whole = d.text("whole.csv");
        std::ofstream(d.file("plain.csv")) << whole.substr(whole.find('\n') + 1);
    }
    const std::string set = sidecar_hash(d.text("a.cdb.model"));
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    } cases[] = {
        {{"a.cdb", "b.cdb", "--truth", "whole.csv"}, 0, ""},
        {{"a.cdb", "b.cdb", "--truth", "plain.csv"}, 0, ""},
        {{"a.cdb", "b.cdb", "--truth", "longer.csv"}, 1,
         "longer.csv holds the truth of events 0 to 89 of data set " + set + ", the data events 0 to 59"},
        {{"a.cdb", "b.cdb", "--truth", "seed6.csv"}, 1,
         "seed6.csv is the truth of data set " + sidecar_hash(d.text("seed6.cdb.model")) + ", a.cdb holds data set " + set},
        {{"b.cdb", "a.cdb", "--truth", "whole.csv"}, 1,
         "a.cdb holds events 0 to 29, not the events that follow the file before it: one truth table cannot cover them"},
        {{"a.cdb", "./a.cdb"}, 2, "a.cdb and ./a.cdb are the same file"},
        {{"a.cdb", "copy.cdb"}, 1, "a.cdb and copy.cdb hold the same content"},
        {{"a.cdb", "whole.cdb"}, 1, "a.cdb holds events 0 to 29 of data set " + set + ", whole.cdb events 0 to 59: they overlap"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"analyse", "--samples", "200", "-o", "out"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const run_result r = d.murel(arguments);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status == 0)  // a piece this small has too few counts for lines
            EXPECT_EQ(r.err.find("murel: warning: channel A: no line found"), 0U) << r.err;
        else
            EXPECT_EQ(r.err.rfind("murel: " + c.message, 0), 0U) << c.message << "\n" << r.err;
        EXPECT_EQ(d.exists("out"), c.status == 0);
        std::filesystem::remove_all(d.file("out"));
    }
    // The inputs go into the summary with their sizes, hashes and ranges.
    ASSERT_EQ(d.murel({"analyse", "--samples", "200", "-o", "out", "a.cdb", "b.cdb"}).status, 0);
    const json inputs = json::parse(d.text("out/summary.json"))["inputs"];
    ASSERT_EQ(inputs.size(), 2U);
    EXPECT_EQ(inputs[1], json({{"file", "b.cdb"}, {"bytes", 12 + 30 * 800}, {"xxh3", murel::digest_of(d.file("b.cdb")).hash_text()},
                               {"data_set", set}, {"first_event", 30}, {"events", 30}}));
}

TEST(merge_tree, merging_merged_outputs_gives_the_bytes_of_merging_every_piece_at_once) {
    identity_dir d;
    std::vector<std::string> flat{"merge"};
    for (int k = 0; k < 6; ++k) {
        d.piece("p" + std::to_string(k), 25 * k, 25);
        flat.push_back("p" + std::to_string(k));
    }
    flat.insert(flat.end(), {"-o", "flat"});
    ASSERT_EQ(d.murel(flat).status, 0);
    // Each shape: the merges in order, each "OUTPUT INPUT...", the last one being the whole.
    const std::vector<std::vector<std::vector<std::string>>> shapes = {
        {{"a", "p0", "p1"}, {"b", "p2", "p3"}, {"c", "p4", "p5"}, {"top", "a", "b", "c"}},
        {{"a", "p0", "p1"}, {"b", "a", "p2"}, {"c", "p4", "p5"}, {"e", "p3", "c"}, {"top", "b", "e"}},
        {{"a", "p0", "p1", "p2", "p3", "p4"}, {"top", "a", "p5"}},
        {{"a", "p1", "p2"}, {"b", "a", "p3", "p4"}, {"top", "p0", "b", "p5"}},
    };
    for (std::size_t s = 0; s < shapes.size(); ++s) {
        const std::string prefix = "shape" + std::to_string(s) + "-";
        for (const auto& merge : shapes[s]) {
            std::vector<std::string> arguments{"merge"};
            for (std::size_t i = 1; i < merge.size(); ++i) arguments.push_back(merge[i][0] == 'p' ? merge[i] : prefix + merge[i]);
            arguments.insert(arguments.end(), {"-o", prefix + merge[0]});
            const run_result r = d.murel(arguments);
            ASSERT_EQ(r.status, 0) << r.err;
        }
        const std::vector<std::string> files = test_support::listing(d.file("flat"));
        EXPECT_EQ(test_support::listing(d.file(prefix + "top")), files);
        for (const std::string& name : files)
            EXPECT_TRUE(d.text("flat/" + name) == d.text(prefix + "top/" + name)) << "shape " << s << ": " << name;
    }
    EXPECT_EQ(json::parse(d.text("flat/summary.json"))["inputs"].size(), 6U);
}
