#include "murel_gen.h"
#include "vector_math.h"

#include <cstdio>
#include <stdexcept>

// murel_gen takes no arguments and writes its files into the current directory.
int main() {
    try {
        // A maths variant forced through the environment is checked before any file is begun.
        murel::vector_math::active();
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "murel_gen: %s\n", e.what());
        return 2;
    }
    return murel::run_program(".");
}
