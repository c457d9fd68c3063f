#include "table.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace murel::plot {

table table::read(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    table result;
    std::string line;
    std::vector<double> fields;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        fields.clear();
        const char* next = line.c_str();
        while (*next == ' ' || *next == '\t') ++next;
        if (*next == '#') continue;
        for (;;) {
            while (*next == ' ' || *next == '\t' || *next == '\r') ++next;
            if (*next == '\0') break;
            char* end = nullptr;
            const double value = std::strtod(next, &end);
            if (end == next || (*end != '\0' && *end != ' ' && *end != '\t' && *end != '\r'))
                throw std::invalid_argument(path + ":" + std::to_string(number) + ": not a number: " + line);
            fields.push_back(value);
            next = end;
        }
        if (fields.empty()) continue;
        if (result.columns_ == 0) result.columns_ = fields.size();
        if (fields.size() != result.columns_)
            throw std::invalid_argument(path + ":" + std::to_string(number) + ": " + std::to_string(fields.size()) +
                                        " fields where the first row has " + std::to_string(result.columns_));
        result.values_.insert(result.values_.end(), fields.begin(), fields.end());
    }
    if (in.bad()) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    return result;
}

double table::at(std::size_t row, std::size_t column) const {
    if (row >= rows() || column >= columns_)
        throw std::out_of_range("no row " + std::to_string(row) + ", column " + std::to_string(column) +
                                " in a table of " + std::to_string(rows()) + " x " + std::to_string(columns_));
    return values_[row * columns_ + column];
}

double table::step() const { return rows() < 2 ? 0.0 : at(1, 0) - at(0, 0); }

void table::check_column(std::size_t column) const {
    if (column >= columns_)
        throw std::out_of_range("no column " + std::to_string(column) + " in a table of " + std::to_string(columns_));
}

double table::largest(std::size_t column) const {
    check_column(column);
    double result = rows() == 0 ? 0.0 : at(0, column);
    for (std::size_t row = 1; row < rows(); ++row) result = std::max(result, at(row, column));
    return result;
}

std::optional<std::pair<double, double>> table::span_where_positive(std::size_t column, std::size_t coordinate) const {
    check_column(column);
    check_column(coordinate);
    std::optional<std::pair<double, double>> span;
    for (std::size_t row = 0; row < rows(); ++row) {
        if (!(at(row, column) > 0)) continue;
        const double x = at(row, coordinate);
        span = span ? std::make_pair(std::min(span->first, x), std::max(span->second, x)) : std::make_pair(x, x);
    }
    return span;
}

double table::sum(std::size_t column) const {
    check_column(column);
    double result = 0.0;
    for (std::size_t row = 0; row < rows(); ++row) result += at(row, column);
    return result;
}

}  // namespace murel::plot
