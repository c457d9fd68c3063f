#include "vector_math.h"

#include "vector_kernels.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace murel::vector_math {

namespace {

void libm_exp(double* values, int count) {
    for (int i = 0; i < count; ++i) values[i] = std::exp(values[i]);
}

void libm_log(double* values, int count) {
    for (int i = 0; i < count; ++i) values[i] = std::log(values[i]);
}

void libm_sincos(const double* in, double* sine, double* cosine, int count) {
    for (int i = 0; i < count; ++i) ::sincos(in[i], &sine[i], &cosine[i]);
}

constexpr kernels libm_kernels = {libm_exp, libm_log, libm_sincos};

constexpr variant all_variants[] = {variant::libm, variant::sse2, variant::avx2, variant::avx512};

bool runs_here(variant v) {
#ifdef MUREL_USE_SLEEF
    switch (v) {
        case variant::libm:
        case variant::sse2:
            return true;
        case variant::avx2:
            // SLEEF's AVX2 functions use fused multiply-adds as well.
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case variant::avx512:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
#else
    return v == variant::libm;
#endif
}

const kernels& kernels_for(variant v) {
    switch (v) {
#ifdef MUREL_USE_SLEEF
        case variant::sse2:
            return sse2_kernels;
        case variant::avx2:
            return avx2_kernels;
        case variant::avx512:
            return avx512_kernels;
#endif
        default:
            return libm_kernels;
    }
}

std::string available_names() {
    std::string names;
    for (variant v : available()) names += (names.empty() ? "" : ", ") + name(v);
    return names;
}

variant checked(variant v, const std::string& asked_as) {
    if (!runs_here(v)) throw std::invalid_argument(asked_as + " cannot run here (available: " + available_names() + ")");
    return v;
}

variant from_environment() {
    const char* wanted = std::getenv("MUREL_MATH");
    if (wanted == nullptr || *wanted == '\0') return available().back();
    for (variant v : all_variants)
        if (name(v) == wanted) return checked(v, "MUREL_MATH=" + name(v));
    throw std::invalid_argument(std::string("MUREL_MATH=") + wanted + " is unknown (use libm, sse2, avx2 or avx512)");
}

constexpr int unchosen = -1;
std::atomic<int> current{unchosen};

variant chosen() {
    int now = current.load(std::memory_order_relaxed);
    if (now == unchosen) {
        // Threads that get here together pick the same variant; the first one to store wins.
        current.compare_exchange_strong(now, static_cast<int>(from_environment()), std::memory_order_relaxed);
        now = current.load(std::memory_order_relaxed);
    }
    return static_cast<variant>(now);
}

}  // namespace

std::string name(variant v) {
    switch (v) {
        case variant::libm:
            return "libm";
        case variant::sse2:
            return "sse2";
        case variant::avx2:
            return "avx2";
        case variant::avx512:
            return "avx512";
    }
    return "unknown";
}

std::vector<variant> available() {
    std::vector<variant> found;
    for (variant v : all_variants)
        if (runs_here(v)) found.push_back(v);
    return found;
}

variant active() { return chosen(); }

void use(variant v) { current.store(static_cast<int>(checked(v, "maths variant " + name(v))), std::memory_order_relaxed); }

void exp(double* values, int count) { kernels_for(chosen()).exp(values, count); }

void log(double* values, int count) { kernels_for(chosen()).log(values, count); }

void sincos(const double* in, double* sine, double* cosine, int count) {
    kernels_for(chosen()).sincos(in, sine, cosine, count);
}

}  // namespace murel::vector_math
