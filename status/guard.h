// The last line of defence of every program's main: what escapes the program's body (nothing is
// meant to) ends the run with one line naming the program and a failure status, rather than
// an abort without a word.
#pragma once

#include <cstdio>     // std::fprintf, stderr
#include <exception>  // std::exception
#include <new>        // std::bad_alloc
#include <utility>    // std::forward

// Returns what `body()` returns; when it throws, writes "PROGRAM: out of memory" or
// "PROGRAM: unexpected failure: WHAT" to standard error and returns `failure`.
template <typename Body>
int run_guarded(const char* program, int failure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: out of memory\n", program);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: unexpected failure: %s\n", program, e.what());
  } catch (...) {
    std::fprintf(stderr, "%s: unexpected failure\n", program);
  }
  return failure;
}
