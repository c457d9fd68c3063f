// The records of chosen events, read through the format layer from one acquisition: a file, or
// the channel files of one WaveDump acquisition.
#pragma once

#include "format.h"

#include <cstdint>
#include <string>
#include <vector>

namespace murel::plot {

/// Files read as one acquisition, and how to read them.
struct acquisition_source {
    std::vector<std::string> paths;
    std::string format;  // empty: each file's detected one
    formats::reader_options reading;
};

/// Groups `paths` into acquisitions as the analysis does (WaveDump channel files given one after
/// another are one), each read with `format` (empty: detected) and `reading`; throws
/// std::invalid_argument naming a file that the options do not fit, std::runtime_error naming a
/// file no reader recognises and std::system_error naming a file that cannot be read.
std::vector<acquisition_source> group_acquisitions(const std::vector<std::string>& paths, const std::string& format,
                                                   const formats::reader_options& reading);

/// One channel's record of an event.
struct channel_record {
    std::size_t index = 0;  // of the channel among the acquisition's
    formats::channel_info channel;
    std::vector<std::int32_t> samples;
};

/// Every record of one event, in the order the files hold them.
struct event_records {
    std::uint64_t event = 0;
    std::vector<channel_record> records;
};

/// The records of `events` (event numbers as the files count them, from 0 in files without
/// counters), in the order asked; throws std::out_of_range naming the first event the files do
/// not hold and what they hold, and what formats::acquisition throws.
std::vector<event_records> read_events(const acquisition_source& source, const std::vector<std::uint64_t>& events);

}  // namespace murel::plot
