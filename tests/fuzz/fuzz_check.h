#pragma once
// A promise of the code under fuzzing that the sanitizers cannot see: a
// broken one aborts, which libFuzzer records as a finding.
#include <cstdio>
#include <cstdlib>

inline void Require(bool condition, const char* promise = "a checked outcome") {
  if (!condition) {
    std::fprintf(stderr, "broken promise: %s\n", promise);
    std::abort();
  }
}
