// The pseudo-terminal pairs and the module simulator's runner of the serial
// tests, compiled into the benchmark program as well.
#include "tests/support/pty_pair.cpp"
#include "tests/support/simulator.cpp"
