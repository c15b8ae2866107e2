"""Plain-Python reference implementation of CoordinationState, shared by the
tests (as their oracle) and the benchmarks (as the peer). Not shipped."""
