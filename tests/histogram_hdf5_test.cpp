// The histogram library's HDF5 component: what it writes reads back exactly, in the layout
// Python's histogram libraries read, and a group of another kind is refused by name.
#include "histogram.h"
#include "hdf5_support.h"
#include "uhi_hdf5.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;

class scratch : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("histogram_hdf5_" + std::to_string(::getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

using histogram_hdf5 = scratch;

TEST_F(histogram_hdf5, columns_and_axes_read_back_exactly) {
    // Axes whose edges are not exact in binary: the centres still come back bit for bit.
    histogram1D line(7, 3, 0.1, 0.7);
    for (int i = 0; i < 40; ++i) line.add(0.1 + 0.017 * i, i % 3);
    line.add(-5, 2);  // beyond the axis: counts in the first bin
    line.writeHDF5(path("h.h5").c_str(), "spectra/line");
    histogram2D grid(4, 5, 2, -1.3, 2.9, 10, 11);
    grid.add(0.2, 10.4, 1);
    grid.add(9, 9, 0);
    grid.writeHDF5(path("h.h5").c_str(), "map");  // added to the same file

    const histogram1D line_back = histogram1D::readHDF5(path("h.h5").c_str(), "spectra/line");
    EXPECT_EQ(line_back.nBins, 7);
    EXPECT_EQ(line_back.nColumns, 3);
    EXPECT_EQ(line_back.minValue, 0.1);
    EXPECT_EQ(line_back.maxValue, 0.7);
    EXPECT_TRUE(line_back.data == line.data);
    const histogram2D grid_back = histogram2D::readHDF5(path("h.h5").c_str(), "map");
    EXPECT_EQ(grid_back.minX, -1.3);
    EXPECT_EQ(grid_back.maxY, 11);
    EXPECT_TRUE(grid_back.data == grid.data);
    // One column alone is a histogram of its own.
    const histogram1D column = histogram1D::readHDF5(path("h.h5").c_str(), "spectra/line/2");
    EXPECT_EQ(column.nColumns, 1);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(column.data[i][0], line.data[i][2]) << i;
}

TEST_F(histogram_hdf5, stored_layout_has_edges_and_flow_bins) {
    histogram1D line(3, 1, 10, 30);
    line.writeHDF5(path("h.h5").c_str(), "g");
    const murel::hdf5::handle file(H5Fopen(path("h.h5").c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    const murel::hdf5::handle group(H5Oopen(file.get(), "g/0", H5P_DEFAULT), H5Oclose);
    const murel::uhi::stored_histogram stored = murel::uhi::read(group.get(), "h.h5", "g/0");
    ASSERT_EQ(stored.axes.size(), 1u);
    EXPECT_EQ(stored.values.size(), 5u);
    EXPECT_EQ(murel::uhi::outer_edges(stored.axes[0]), std::make_pair(5.0, 35.0));
    EXPECT_EQ(stored.about.name, "g/0");
}

TEST_F(histogram_hdf5, flow_bins_of_other_writers_join_the_edge_bins) {
    {
        const murel::hdf5::handle file(H5Fcreate(path("flow.h5").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose);
        murel::uhi::stored_histogram h;
        h.axes = {{2, 0.5, 1.5, "x"}, {1, 0, 0, "y"}};
        h.values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // 4 x 3 with flow bins
        murel::uhi::write(file.get(), "h", h, "flow.h5");
    }
    const histogram2D back = histogram2D::readHDF5(path("flow.h5").c_str(), "h");
    EXPECT_EQ(back.data[0][0][0], 1 + 2 + 3 + 4 + 5 + 6);
    EXPECT_EQ(back.data[1][0][0], 7 + 8 + 9 + 10 + 11 + 12);
}

TEST_F(histogram_hdf5, refuses_what_is_not_a_histogram_by_name) {
    histogram1D line(3, 1, 0, 2);
    line.writeHDF5(path("h.h5").c_str(), "g");
    EXPECT_THROW(line.writeHDF5(path("h.h5").c_str(), "g"), std::invalid_argument);
    const auto message_of = [&](const char* group) {
        try {
            histogram1D::readHDF5(path("h.h5").c_str(), group);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("no exception");
    };
    {
        const murel::hdf5::handle file(H5Fopen(path("h.h5").c_str(), H5F_ACC_RDWR, H5P_DEFAULT), H5Fclose);
        murel::hdf5::create_group(file.get(), "empty", "h.h5");
        H5Ldelete(file.get(), "g/0/storage/values", H5P_DEFAULT);
    }
    EXPECT_EQ(message_of("missing"), path("h.h5") + ": no group missing");
    EXPECT_NE(message_of("empty").find("empty: not a histogram of the UHI layout: no attribute uhi_schema"), std::string::npos);
    EXPECT_NE(message_of("g").find("g/0: not a histogram of the UHI layout: no values"), std::string::npos);
    histogram2D grid(2, 2, 1, 0, 1, 0, 1);
    grid.writeHDF5(path("h.h5").c_str(), "grid");
    EXPECT_NE(message_of("grid").find("a histogram of 2 axes, not 1"), std::string::npos);
    try {
        histogram1D::readHDF5(path("absent.h5").c_str(), "g");
        FAIL();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_NE(std::string(e.what()).find(path("absent.h5")), std::string::npos);
    }
}

}  // namespace
