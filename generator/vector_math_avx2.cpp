// SLEEF's four-wide functions for AVX2 with FMA; built with those instructions enabled and
// called only on CPUs that have them.
#include "vector_kernels.h"

#include <sleef.h>

namespace murel::vector_math {
namespace {

struct avx2 {
    using vec = __m256d;
    static constexpr int width = 4;
    static vec load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, vec v) { _mm256_storeu_pd(p, v); }
    static vec exp(vec v) { return Sleef_expd4_u10avx2(v); }
    static vec log(vec v) { return Sleef_logd4_u10avx2(v); }
    static Sleef___m256d_2 sincos(vec v) { return Sleef_sincosd4_u10avx2(v); }
};

}  // namespace

const kernels avx2_kernels = kernels_of<avx2>();

}  // namespace murel::vector_math
