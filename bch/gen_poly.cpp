// Generator polynomial of the binary BCH code: the roots alpha^1 ... alpha^(2t) with their
// conjugates, multiplied out over GF(2^m); then the transition matrices are built from it.
#include "bch/bch.h"
#include "bch/bch_internal.h"

#include <algorithm>  // std::sort
#include <cstdio>     // std::fprintf, std::fputs, stderr

int collect_roots(int zero[]) {
  int count = 0;
  for (int i = 1; i <= 2 * tt; ++i) {
    // The conjugates of alpha^i are alpha^(i * 2^j mod nn). i opens a new class exactly when it
    // is the least member: a smaller member lies in 1 ... 2tt and has been taken already.
    // Doubling modulo nn stays exact for every degree, where i * 2^j would overflow past 15.
    bool least = true;
    int size = 0;
    int e = i;
    do {
      if (e < i) {
        least = false;
        break;
      }
      ++size;
      e = 2 * e % nn;
    } while (e != i);
    if (!least) {
      continue;
    }
    if (count + size > kBchMaxParity) {
      return kBchMaxParity + 1;
    }
    for (int j = 0; j < size; ++j) {
      ++count;
      if (zero != nullptr) {
        zero[count] = e;
      }
      e = 2 * e % nn;
    }
  }
  if (zero != nullptr) {
    std::sort(zero + 1, zero + count + 1);
  }
  return count;
}

void gen_poly() {
  if (check_params() != nullptr) {
    return;
  }
  // The root list holds at most kBchMaxParity exponents, whatever the field size.
  int zero[kBchMaxParity + 1];
  rr = collect_roots(zero);
  kk = nn - rr;

  // Start from (x + alpha) and multiply in (x + alpha^zero[i]) in place, highest term first,
  // so each coefficient is read before it is overwritten.
  gg[0] = 2;
  gg[1] = 1;
  for (int i = 2; i <= rr; ++i) {
    gg[i] = 1;
    for (int j = i - 1; j > 0; --j) {
      if (gg[j] != 0) {
        gg[j] = gg[j - 1] ^ alpha_to[(index_of[gg[j]] + zero[i]) % nn];
      } else {
        gg[j] = gg[j - 1];
      }
    }
    gg[0] = alpha_to[(index_of[gg[0]] + zero[i]) % nn];
  }
  if (Verbose) {
    std::fputs("# The Generator Polynomial is:\n", stderr);
    for (int i = 0; i <= rr; ++i) {
      std::fprintf(stderr, " %d", gg[i]);
    }
    std::fputs("\n\n", stderr);
  }
  build_transition_matrix();
}
