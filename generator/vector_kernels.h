// The loops that feed arrays through one instruction set's vector functions. Each
// instruction set's file includes this with its own compiler flags; everything here has
// internal linkage, so no code built for a wider unit can stand in for a narrower one.
#pragma once

namespace murel::vector_math {

/// One instruction set's batch functions, with the meanings of exp, log and sincos in vector_math.h.
struct kernels {
    void (*exp)(double* values, int count);
    void (*log)(double* values, int count);
    void (*sincos)(const double* in, double* sine, double* cosine, int count);
};

extern const kernels sse2_kernels;
extern const kernels avx2_kernels;
extern const kernels avx512_kernels;

namespace {

// `isa` gives the vector type `vec`, its `width` in doubles, unaligned `load` and `store`, and
// the vector functions.  A partial last vector is padded with 1.0, a harmless argument of all
// three functions.
template <typename isa, typename function>
void each_vector(const double* in, int count, function apply) {
    int i = 0;
    for (; i + isa::width <= count; i += isa::width) apply(isa::load(in + i), i, isa::width);
    if (i < count) {
        double lane[isa::width];
        for (int k = 0; k < isa::width; ++k) lane[k] = i + k < count ? in[i + k] : 1.0;
        apply(isa::load(lane), i, count - i);
    }
}

template <typename isa>
void store_first(double* out, typename isa::vec v, int used) {
    if (used == isa::width) {
        isa::store(out, v);
        return;
    }
    double lane[isa::width];
    isa::store(lane, v);
    for (int k = 0; k < used; ++k) out[k] = lane[k];
}

template <typename isa>
void batch_exp(double* values, int count) {
    each_vector<isa>(values, count, [values](typename isa::vec v, int at, int used) { store_first<isa>(values + at, isa::exp(v), used); });
}

template <typename isa>
void batch_log(double* values, int count) {
    each_vector<isa>(values, count, [values](typename isa::vec v, int at, int used) { store_first<isa>(values + at, isa::log(v), used); });
}

template <typename isa>
void batch_sincos(const double* in, double* sine, double* cosine, int count) {
    each_vector<isa>(in, count, [sine, cosine](typename isa::vec v, int at, int used) {
        const auto both = isa::sincos(v);
        store_first<isa>(sine + at, both.x, used);
        store_first<isa>(cosine + at, both.y, used);
    });
}

template <typename isa>
constexpr kernels kernels_of() {
    return {batch_exp<isa>, batch_log<isa>, batch_sincos<isa>};
}

}  // namespace
}  // namespace murel::vector_math
