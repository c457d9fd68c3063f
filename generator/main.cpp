#include "murel_gen.h"

// murel_gen takes no arguments and writes its files into the current directory.
int main() { return murel::run_program("."); }
