#!/usr/bin/env bash
# Regenerates tests/bch/generator_polynomials.txt, the known generator polynomials that the BCH
# tests compare against, with PARI/GP (Debian's pari-gp) as the independent algebra system.
# Usage: scripts/gen_bch_known_answers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v gp >/dev/null || scripts/ensure-packages.sh pari-gp
out=tests/bch/generator_polynomials.txt
{
  echo "# Generator polynomials of binary BCH codes, one case a line: m t r g."
  echo "# m field degree, t correctable errors, r = degree of g, g in hex (bit i = coefficient"
  echo "# of x^i). Made by scripts/gen_bch_known_answers.sh with PARI/GP: g is the lcm of the"
  echo "# minimal polynomials over GF(2) of a^1 ... a^(2t), a a root of the primitive polynomial"
  echo "# that bch/ tables for m. Do not edit by hand; rerun the script."
  gp -q -f scripts/gen_bch_known_answers.gp </dev/null
} >"$out.tmp"
mv "$out.tmp" "$out"
echo "wrote $out ($(grep -vc '^#' "$out") cases)"
