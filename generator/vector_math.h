// Batched exp, log and sincos for the generator, on the widest vector unit the CPU offers.
//
// Every variant returns results within one unit in the last place of the exact value. The
// generator's output does not depend on which one runs: a stored sample truncates a value of
// magnitude near 30000 to an integer, and a last-bit change of about 1e-12 in it moves that
// integer only about once in 10^12 samples.
#pragma once

#include <string>
#include <vector>

namespace murel::vector_math {

/// The implementations: the C library's scalar functions, and SLEEF's 1-ULP vector functions
/// two, four and eight doubles wide.
enum class variant { libm, sse2, avx2, avx512 };

/// The variant's name as MUREL_MATH takes it: "libm", "sse2", "avx2" or "avx512".
std::string name(variant v);

/// The variants that this build and this CPU can run, narrowest first; libm is always there.
std::vector<variant> available();

/// The variant in use: the one the environment variable MUREL_MATH names, or else the widest
/// available; throws std::invalid_argument naming the value if it is unknown or unavailable.
variant active();

/// Makes `v` the variant in use from now on; throws std::invalid_argument naming it if this
/// build or CPU cannot run it.
void use(variant v);

/// Replaces values[i] by e^values[i] for i below count.
void exp(double* values, int count);

/// Replaces values[i] by its natural logarithm for i below count.
void log(double* values, int count);

/// sine[i] and cosine[i] of the angle in[i] (radians) for i below count.
void sincos(const double* in, double* sine, double* cosine, int count);

}  // namespace murel::vector_math
