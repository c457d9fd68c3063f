// Numeric text tables as the histogram writers and murel_gen write them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace murel::plot {

/// A table of numbers: rows of equal width, stored row after row.
class table {
public:
    /// Reads the table at `path`: one row per line that is neither blank nor a '#'
    /// comment, fields separated by blanks;
    /// throws std::system_error when the file cannot be read and std::invalid_argument,
    /// naming the path and line, for a field that is not a number or a row of another width.
    static table read(const std::string& path);

    std::size_t rows() const { return columns_ == 0 ? 0 : values_.size() / columns_; }
    std::size_t columns() const { return columns_; }
    /// The value in `row` and `column`; throws std::out_of_range outside the table.
    double at(std::size_t row, std::size_t column) const;
    /// The distance between the first two values of column 0 (a histogram's bin width), 0
    /// when the table has fewer than two rows.
    double step() const;
    /// The largest value of `column`, 0 for a table without rows; throws std::out_of_range
    /// for a column outside the table (any column of an empty table).
    double largest(std::size_t column) const;
    /// The smallest and largest value of `coordinate` over the rows whose `column` is above 0,
    /// nothing when there is no such row; throws std::out_of_range for a column outside the table.
    std::optional<std::pair<double, double>> span_where_positive(std::size_t column, std::size_t coordinate) const;
    /// The sum of `column`; throws std::out_of_range for a column outside the table.
    double sum(std::size_t column) const;

private:
    void check_column(std::size_t column) const;

    std::size_t columns_ = 0;
    std::vector<double> values_;
};

}  // namespace murel::plot
