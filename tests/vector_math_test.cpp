#include "vector_math.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using murel::vector_math::variant;
namespace vm = murel::vector_math;

namespace {

constexpr double guard = 12345.0;  // stays in place after the last value of a batch

// Within two units in the last place of the C library's result: each side is within one of
// the exact value.
void expect_close(double actual, double reference) {
    EXPECT_NEAR(actual, reference, 2 * std::numeric_limits<double>::epsilon() * std::abs(reference) + 1e-300)
        << "reference " << reference;
}

// The first `count` arguments of `table`, repeated as needed, with two guard values behind.
std::vector<double> arguments(const std::vector<double>& table, int count) {
    std::vector<double> values;
    for (int i = 0; i < count; ++i) values.push_back(table[static_cast<std::size_t>(i) % table.size()]);
    values.push_back(guard);
    values.push_back(guard);
    return values;
}

const int batch_lengths[] = {0, 1, 2, 3, 7, 8, 9, 15, 17, 1000};

}  // namespace

TEST(vector_math, every_variant_matches_the_c_library_and_stops_at_the_count) {
    // Arguments the generator meets (Gaussian exponents, uniform deviates, angles up to 2 pi)
    // and the ends of the ranges.
    const std::vector<double> exponents = {0.0, -1e-9, -0.5, -1.0, -11.75, -300.0, 1.0, 700.0, -745.0, 1e-300};
    const std::vector<double> uniforms = {1.0, 4.656612875245797e-10, 0.5, 0.9999999995343387, 3.2420e-5, 1e-300, 2.0, 1e300};
    const std::vector<double> angles = {0.0, 1e-9, 1.5707963267948966, 3.141592653589793, 4.0, 6.283185307179586, 6.2831853, 100.0};
    const variant initial = vm::active();
    for (variant v : vm::available()) {
        vm::use(v);
        for (int count : batch_lengths) {
            SCOPED_TRACE(vm::name(v) + ", " + std::to_string(count) + " values");
            std::vector<double> values = arguments(exponents, count);
            vm::exp(values.data(), count);
            for (int i = 0; i < count; ++i) expect_close(values[i], std::exp(exponents[i % exponents.size()]));
            EXPECT_EQ(values[count], guard);

            values = arguments(uniforms, count);
            vm::log(values.data(), count);
            for (int i = 0; i < count; ++i) expect_close(values[i], std::log(uniforms[i % uniforms.size()]));
            EXPECT_EQ(values[count], guard);

            const std::vector<double> in = arguments(angles, count);
            std::vector<double> sine(in.size(), guard), cosine(in.size(), guard);
            vm::sincos(in.data(), sine.data(), cosine.data(), count);
            for (int i = 0; i < count; ++i) {
                const double angle = angles[i % angles.size()];
                expect_close(sine[i], std::sin(angle));
                expect_close(cosine[i], std::cos(angle));
            }
            EXPECT_EQ(sine[count], guard);
            EXPECT_EQ(cosine[count], guard);
        }
    }
    vm::use(initial);
}

TEST(vector_math, offers_the_c_library_everywhere_and_refuses_what_cannot_run) {
    const std::vector<variant> here = vm::available();
    ASSERT_FALSE(here.empty());
    EXPECT_EQ(here.front(), variant::libm);
    if (std::getenv("MUREL_MATH") == nullptr) {
        EXPECT_EQ(vm::active(), here.back());
    }
    for (variant v : {variant::libm, variant::sse2, variant::avx2, variant::avx512}) {
        if (std::find(here.begin(), here.end(), v) != here.end()) continue;
        try {
            vm::use(v);
            ADD_FAILURE() << vm::name(v) << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()).rfind("maths variant " + vm::name(v) + " cannot run here (available: libm", 0), 0U)
                << e.what();
        }
    }
}
