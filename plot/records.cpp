#include "records.h"

#include "convert.h"
#include "run.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace murel::plot {

std::vector<acquisition_source> group_acquisitions(const std::vector<std::string>& paths, const std::string& format,
                                                   const formats::reader_options& reading) {
    analysis::analysis_options options;
    options.format = format;
    options.reading = reading;
    std::vector<acquisition_source> result;
    for (const analysis::acquisition& a : analysis::plan_analysis(paths, options).acquisitions)
        result.push_back({a.paths, a.format, reading});
    return result;
}

std::vector<event_records> read_events(const acquisition_source& source, const std::vector<std::uint64_t>& events) {
    formats::acquisition files(source.paths, source.format, source.reading);
    std::map<std::uint64_t, event_records> found;
    for (const std::uint64_t event : events) found[event].event = event;
    const std::uint64_t last_wanted = found.empty() ? 0 : found.rbegin()->first;
    std::uint64_t lowest = UINT64_MAX, highest = 0;
    // In files whose events only go up, reading stops past the last event wanted.
    bool ascending = true, past = false;
    formats::record_batch batch;
    while (!past && !found.empty() && files.next(batch, 256)) {
        for (std::size_t i = 0; i < batch.size() && !past; ++i) {
            const formats::record_header& header = batch.headers[i];
            ascending = ascending && (lowest > highest || header.event >= highest);
            lowest = std::min(lowest, header.event);
            highest = std::max(highest, header.event);
            past = ascending && header.event > last_wanted;
            const auto wanted = found.find(header.event);
            if (wanted == found.end()) continue;
            wanted->second.records.push_back(
                {header.channel, files.info().channels.at(header.channel),
                 std::vector<std::int32_t>(batch.samples_of(i), batch.samples_of(i) + batch.length_of(i))});
        }
    }
    std::vector<event_records> result;
    for (const std::uint64_t event : events) {
        const event_records& records = found[event];
        if (records.records.empty())
            throw std::out_of_range(
                "no event " + std::to_string(event) + " in " + source.paths.front() +
                (source.paths.size() > 1 ? " and the files read with it" : "") +
                (lowest > highest ? ", which holds no record"
                 : past           ? ", which skips it"
                                  : ", whose events run from " + std::to_string(lowest) + " to " + std::to_string(highest)));
        result.push_back(records);
    }
    return result;
}

}  // namespace murel::plot
