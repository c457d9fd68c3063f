// SLEEF's two-wide functions; SSE2 is part of every x86-64 CPU.
#include "vector_kernels.h"

#include <sleef.h>

namespace murel::vector_math {
namespace {

struct sse2 {
    using vec = __m128d;
    static constexpr int width = 2;
    static vec load(const double* p) { return _mm_loadu_pd(p); }
    static void store(double* p, vec v) { _mm_storeu_pd(p, v); }
    static vec exp(vec v) { return Sleef_expd2_u10sse2(v); }
    static vec log(vec v) { return Sleef_logd2_u10sse2(v); }
    static Sleef___m128d_2 sincos(vec v) { return Sleef_sincosd2_u10sse2(v); }
};

}  // namespace

const kernels sse2_kernels = kernels_of<sse2>();

}  // namespace murel::vector_math
