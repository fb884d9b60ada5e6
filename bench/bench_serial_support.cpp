// The pseudo-terminal pairs of the serial tests, compiled into the benchmark
// program as well.
#include "tests/support/pty_pair.cpp"
