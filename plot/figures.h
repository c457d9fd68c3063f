// The gnuplot scripts of the pictures, one builder per kind of input.
#pragma once

#include "records.h"
#include "summary.h"
#include "table.h"

#include <string>
#include <vector>

namespace murel::plot {

/// A data file as the scripts name it: its absolute path, and the path that titles show.
struct source {
    std::string path, shown;
};

/// One picture: its name (the stem of NAME.gp and NAME.png), size in pixels, the body of its
/// gnuplot script (everything after the terminal and output are set), and data files written
/// beside the script, as (name, content) pairs.
struct figure {
    std::string name;
    int width = 1200, height = 720;
    std::string body;
    std::vector<std::pair<std::string, std::string>> data;
};

/// The self-test table of murel_gen ("centre uniform normal"): the uniform counts, and the
/// normal counts under the Gaussian curve that their total and bin width predict.
std::vector<figure> self_test_figures(const source& file, const table& counts);

/// murel_gen's example pulse pair ("index A B"): both channels against the sample index.
figure example_figure(const source& file);

/// The channel's spectrum (`column` 1 for A, 2 for B of "centre A B"), linear and log-y,
/// with the summary's lines marked and labelled; none for a table without that column.
std::vector<figure> spectrum_figures(const source& file, const table& spectrum, std::size_t column,
                                     const std::string& channel, const channel_summary& found, const std::string& unit);

/// The A-against-B map ("x y count") with a logarithmic colour bar.
figure map_figure(const source& file, const table& map, const std::string& unit);

/// The B spectrum of one gate (" y count").
figure gate_figure(const source& file, const table& counts, const gate& band, const std::string& unit);

/// The residuals table ("centre A B"): both channels, with their bias and RMS when known.
figure residual_figure(const source& file, const table& residuals, const analysis_summary& summary);

/// One chosen record of a gallery, with the caption of its panel.
struct chosen_record {
    std::uint64_t event = 0;
    std::string caption;
};

/// Galleries of the chosen records of a .cdb-layout file, both channels per panel, at most
/// twelve panels per picture; `name` is the stem of the first picture and `data_dir` the
/// absolute directory the copies of the plotted samples go to.  Throws as read_record does.
std::vector<figure> gallery_figures(const source& file, const record_layout& layout,
                                    const std::vector<chosen_record>& records, const std::string& name,
                                    const std::string& heading, const std::string& data_dir);

}  // namespace murel::plot
