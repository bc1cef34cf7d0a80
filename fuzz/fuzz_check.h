// What every fuzz target does when an invariant breaks: say which, and abort so libFuzzer keeps
// the input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace quillnest::fuzz {

inline void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace quillnest::fuzz
