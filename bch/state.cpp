// The BCH module state with its storage, and the parameter check that guards every operation
// that reads it.
#include "bch/bch.h"
#include "bch/bch_internal.h"

#include <cstdio>  // std::snprintf

int mm = 0;
int nn = 0;
int kk = 0;
int rr = 0;
int tt = 0;
int Parallel = 0;
int Verbose = 0;

int p[kBchMaxDegree + 1] = {};
int alpha_to[kBchFieldSize] = {};
int index_of[kBchFieldSize] = {};
int gg[kBchMatrixSize] = {};
int T_G[kBchMatrixSize][kBchMatrixSize] = {};
int T_G_R[kBchMatrixSize][kBchMatrixSize] = {};
int T_G_R_Temp[kBchMatrixSize][kBchMatrixSize] = {};

namespace {

// Holds the message of the last failed check; the caller reads it before checking again.
char g_message[160];

// The part of check_params on mm and nn.
const char* field_params_error() {
  if (mm < kBchMinDegree || mm > kBchMaxDegree) {
    std::snprintf(g_message, sizeof g_message, "field degree m = %d is outside %d ... %d", mm,
                  kBchMinDegree, kBchMaxDegree);
    return g_message;
  }
  if (nn != (1 << mm) - 1) {
    std::snprintf(g_message, sizeof g_message, "code length n = %d is not 2^m - 1 = %d", nn,
                  (1 << mm) - 1);
    return g_message;
  }
  return nullptr;
}

}  // namespace

const char* check_params() {
  if (const char* message = field_params_error()) {
    return message;
  }
  if (tt < 1) {
    std::snprintf(g_message, sizeof g_message, "error count t = %d is below 1", tt);
    return g_message;
  }
  // 64-bit so that no tt overflows; from 2t = n on, the root alpha^0 = 1 would join the set.
  if (2LL * tt >= nn) {
    std::snprintf(g_message, sizeof g_message, "error count t = %d needs 2t < n = %d", tt, nn);
    return g_message;
  }
  // Every alpha^1 ... alpha^(2t) is a root, so rr >= 2t: the cheap test bounds the count first.
  if (2LL * tt > kBchMaxParity || collect_roots(nullptr) > kBchMaxParity) {
    std::snprintf(g_message, sizeof g_message, "error count t = %d needs more than %d parity bits",
                  tt, kBchMaxParity);
    return g_message;
  }
  return nullptr;
}
