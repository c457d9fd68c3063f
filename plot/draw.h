// murel plot: the pictures of murel_gen outputs, analysis directories and data files.
#pragma once

#include "records.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace murel::plot {

/// What a directory holds that can be drawn.
struct directory_survey {
    bool generator_outputs = false;   // murel_gen_test.txt or murel_gen_example.txt
    bool analysis = false;            // summary.json or any table of murel analyse / merge
    std::vector<std::string> images;  // the names of its *.ppm files, sorted

    bool empty() const { return !generator_outputs && !analysis && images.empty(); }
};

/// Looks at the names in `dir`; throws std::system_error when it cannot be listed.
directory_survey survey(const std::string& dir);

/// A plot run: inputs (directories, or data files of any format), the output directory, the
/// events to show of the data files and how to read them, the bins per bin of a log spectrum,
/// whether to copy PPM images, and the gnuplot program.
struct request {
    std::vector<std::string> inputs;
    std::string output_dir;
    std::vector<std::uint64_t> records;
    std::string format;                // of the data files; empty: recognised per file
    formats::reader_options reading;   // record length and header where the format needs them
    std::size_t rebin = 1;
    bool images = false;
    std::string gnuplot = "gnuplot";
    std::function<void(std::size_t pictures)> on_start;  // once the number of pictures is known
    std::function<void()> on_picture;                    // after each picture
};

/// Throws std::invalid_argument naming what the user must change: an input that does not
/// exist or holds nothing to draw, a file with no records to show, records without a file,
/// a rebinning of 0, or a file that the format or reading options do not fit.
void check_request(const request& run);

/// What a run drew: the PNG files in the order written, and notes for the user (gnuplot's
/// warnings, flagged records whose file could not be found).
struct outcome {
    std::vector<std::string> pictures, notes;
};

/// A gnuplot script of a run: the name of its picture and the script's text.
struct script {
    std::string name, text;
};

/// The scripts that draw would save for `run`, made without running gnuplot or writing any
/// file; throws as draw does.
std::vector<script> scripts(const request& run);

/// Checks for gnuplot, then draws every picture of every input into the output directory
/// (created if missing) as NAME.png beside its script NAME.gp, and a PNG copy of every PPM
/// image found when asked.  Each file appears under its final name only when complete.  Throws
/// std::invalid_argument as check_request does, std::out_of_range naming an event that a file
/// does not hold (before anything is written), std::runtime_error when gnuplot is missing or
/// fails, murel::interruption when the run is interrupted, and std::system_error when a file cannot be read or
/// written.
outcome draw(const request& run);

}  // namespace murel::plot
