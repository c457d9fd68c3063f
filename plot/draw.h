// murel plot: the pictures of murel_gen outputs, analysis directories and .cdb-layout files.
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

/// A plot run: inputs (directories, or .cdb-layout files), the output directory, the events
/// to show of every file, the file layout and the gnuplot program.
struct request {
    std::vector<std::string> inputs;
    std::string output_dir;
    std::vector<std::uint64_t> records;
    record_layout layout;
    std::string gnuplot = "gnuplot";
    std::function<void(std::size_t pictures)> on_start;  // once the number of pictures is known
    std::function<void()> on_picture;                    // after each picture
};

/// Throws std::invalid_argument naming what the user must change: an input that does not
/// exist or holds nothing to draw, a file with no records to show, records without a file,
/// or a record beyond the end of a file.
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
/// image found.  Each file appears under its final name only when complete.  Throws
/// std::invalid_argument as check_request does, std::runtime_error when gnuplot is missing,
/// fails, murel::interruption when the run is interrupted, and std::system_error when a file cannot be read or
/// written.
outcome draw(const request& run);

}  // namespace murel::plot
