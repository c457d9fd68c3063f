// SLEEF's eight-wide functions for AVX-512F; built with those instructions enabled and
// called only on CPUs that have them.
#include "vector_kernels.h"

#include <sleef.h>

namespace murel::vector_math {
namespace {

struct avx512 {
    using vec = __m512d;
    static constexpr int width = 8;
    static vec load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, vec v) { _mm512_storeu_pd(p, v); }
    static vec exp(vec v) { return Sleef_expd8_u10avx512f(v); }
    static vec log(vec v) { return Sleef_logd8_u10avx512f(v); }
    static Sleef___m512d_2 sincos(vec v) { return Sleef_sincosd8_u10avx512f(v); }
};

}  // namespace

const kernels avx512_kernels = kernels_of<avx512>();

}  // namespace murel::vector_math
