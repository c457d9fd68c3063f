// Analysing data files on every core: each record fitted, everything counted in totals.
#pragma once

#include "event_file.h"
#include "record_fit.h"
#include "totals.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace murel::analysis {

/// Receives the estimates of consecutive events of one file, A then B for each event, in the
/// order of the events (one call at a time).
using record_sink = std::function<void(const event_file& file, std::uint64_t first_event,
                                       const std::vector<pulse_estimate>& estimates)>;
/// Receives the number of events just finished, from any thread.
using progress_sink = std::function<void(std::uint64_t events)>;

/// Fits every record of `files`, in order, on `threads` threads (0: one per core) and returns the
/// totals; threads share their histograms where copies for each would take more than 64 MiB.  With a non-empty `truth_path`, its rows give the true amplitudes, one A and one B row
/// per event of the files taken in order.  Throws std::system_error naming a file that cannot
/// be read and std::invalid_argument naming a truth row that does not fit.
totals analyse_files(const std::vector<event_file>& files, const binning& bins, const std::string& truth_path,
                     unsigned threads, const record_sink& records = {}, const progress_sink& progress = {});

}  // namespace murel::analysis
