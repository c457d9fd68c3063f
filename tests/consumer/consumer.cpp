// Uses every inline part of the public header, so that strict warnings see all of it.
#include <murel/histogram.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    histogram1D line(5, 2, 0, 4);
    line.add(2, 1);
    line.smooth(Window([](int i, int) { return 1.0f + static_cast<float>(i); }, 3));
    histogram2D grid(3, 3, 1, 0, 2, 0, 2);
    grid.add(1, 1, 0);
    grid.writeText(argv[1]);
    const bool ok = line.data[2][1] > 0.0 && grid.data[1][1][0] == 1.0;
    std::puts(ok ? "consumer ok" : "consumer failed");
    return ok ? 0 : 1;
}
