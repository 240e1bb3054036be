// A check that stays on in every build: a fuzz target reports a wrong result
// by aborting, so libFuzzer keeps the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);      \
      std::abort();                                                                            \
    }                                                                                          \
  } while (0)
