// The gnuplot scripts of the pictures, one builder per kind of input.
#pragma once

#include "overlay.h"
#include "psd.h"
#include "records.h"
#include "summary.h"
#include "table.h"

#include <map>
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

/// The spectrum of `channel` (in `column` of the table, 1 for the first channel), linear and
/// log-y, with each line's fitted curve and background drawn where the summary gives them and
/// each line marked and labelled; the log spectrum sums `rebin` bins into one.  Then one picture
/// per line with a fitted curve: the line close up, its pulls under it.  None for a table
/// without that column.  `data_name` names the data in the titles.
std::vector<figure> spectrum_figures(const source& file, const table& spectrum, std::size_t column,
                                     const channel_summary& channel, const std::string& unit,
                                     const std::string& data_name, std::size_t rebin);

/// The map of the pair's first channel against its second ("x y count") with a logarithmic
/// colour bar.
figure map_figure(const source& file, const table& map, const std::pair<std::string, std::string>& pair,
                  const std::string& unit, const std::string& data_name);

/// The spectrum of the pair's second channel in one gate (" y count").
figure gate_figure(const source& file, const table& counts, const gate& band,
                   const std::pair<std::string, std::string>& pair, const std::string& unit,
                   const std::string& data_name);

/// The residuals table ("centre" and a column per channel): each channel with counts, with its
/// bias and RMS when known.
figure residual_figure(const source& file, const table& residuals, const analysis_summary& summary,
                       const std::string& data_name);

/// The calibration of `channel` by its lines: each line's energy against its measured position,
/// the fitted E(x) through them, and under it each line's residual E(x) - E; `unit` that of the
/// energies.
figure calibration_figure(const std::string& channel, const analysis::line_calibration& calibration,
                          const std::string& unit, const std::string& data_name);

/// The resolution of `channel`: each calibration line's FWHM against its energy, with the fitted
/// sqrt(a + b E + c E^2) drawn where a + b E + c E^2 is not negative.
figure resolution_figure(const std::string& channel, const analysis::line_calibration& calibration,
                         const std::string& unit, const std::string& data_name);

/// The map of `channel`'s pulse-shape values against energy with a logarithmic colour bar, its
/// cells copied to NAME.txt in `data_dir` (absolute), drawn over the cells that hold records.
figure psd_figure(const std::string& name, const psd_map& map, const std::string& channel, const std::string& unit,
                  const std::string& data_name, const std::string& data_dir);

/// One event of a gallery, with the caption of its panel.
struct gallery_panel {
    event_records event;
    std::string caption;
};

/// Galleries of events, every channel of an event in its panel with each overlay's traces over
/// it, at most twelve panels per picture; `name` is the stem of the first picture, `data_dir`
/// the absolute directory the copies of the plotted samples go to, and `polarities` the way
/// each channel's pulses go, by channel name, where known.
std::vector<figure> gallery_figures(const std::vector<gallery_panel>& panels, const std::vector<record_overlay>& overlays,
                                    const std::map<std::string, int>& polarities, const std::string& name,
                                    const std::string& title, const std::string& data_dir);

}  // namespace murel::plot
