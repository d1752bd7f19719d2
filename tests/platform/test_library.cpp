// A library for the loader tests: one export of its own, and a call into the C
// library so that the C library is among its dependencies.
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int PlatformTestAnswer() { return 42; }

extern "C" __attribute__((visibility("default"))) int PlatformTestAbsolute(int value) { return std::abs(value); }
