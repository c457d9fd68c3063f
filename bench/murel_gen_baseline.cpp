// The straightforward generator: one thread, the phases one after the other, and every
// sample written with its own two-byte fwrite.  It is the reference that the timing script
// and the end-to-end test compare murel_gen against, byte for byte.  Its maths is the C
// library's scalar exp, log and sincos, one call per value.
#include "histogram.h"
#include "murel_gen.h"

#include <cstdio>

using namespace murel;

namespace {

void write_sample(std::int16_t value, std::FILE* file) {
    const auto bits = static_cast<std::uint16_t>(value);
    const unsigned char bytes[2] = {static_cast<unsigned char>(bits & 0xFF), static_cast<unsigned char>(bits >> 8)};
    std::fwrite(bytes, 1, 2, file);
}

}  // namespace

int main() {
    generator g;

    g.generator_state = 1;
    std::puts("Testing random number generator...");
    histogram1D hist(1601, 2, -8.0, 8.0);
    for (int i = 0; i < self_test_draws; ++i) {
        hist.add(g.uniform(), 0);
        hist.add(g.normal(), 1);
    }
    hist.write("murel_gen_test.txt");

    g.generator_state = 1;
    std::FILE* examplefile = std::fopen("murel_gen_example.txt", "w");
    pulse_params p, q;
    generate_params(g, p);
    generate_params(g, q);
    for (int i = 0; i < samples_per_event; ++i) {
        const int a = sample_value(g, i, p);
        const int b = sample_value(g, i, q);
        std::fprintf(examplefile, "%d %d %d\n", i, a, b);
    }
    std::fclose(examplefile);

    g.generator_state = 1;
    std::puts("Generating synthetic data:");
    std::printf("%s, ", "synth-1.cdb");
    std::puts("synth-1.sgl");
    std::FILE* cdbfile = std::fopen("synth-1.cdb", "wb");
    std::FILE* sglfile = std::fopen("synth-1.sgl", "wb");
    for (std::size_t i = 0; i < header_bytes; ++i) {
        std::fputc(0, cdbfile);
        std::fputc(0, sglfile);
    }
    for (int e = 0; e < synthetic_events; ++e) {
        generate_params(g, p);
        generate_params(g, q);
        for (int j = 0; j < samples_per_event; ++j) {
            const std::int16_t a = sample_value(g, j, p);
            const std::int16_t b = sample_value(g, j, q);
            write_sample(a, cdbfile);
            write_sample(b, cdbfile);
            write_sample(a, sglfile);
            write_sample(b, sglfile);
        }
    }
    std::fclose(cdbfile);
    std::fclose(sglfile);
    return 0;
}
