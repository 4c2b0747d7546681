#!/usr/bin/env bash
# Regenerates tests/codec/custom_polynomials.txt, the known answers that the engine's tests hold
# its own field and generator against for primitive polynomials other than the tabled ones, with
# PARI/GP (Debian's pari-gp) as the independent algebra system. It also lists polynomials that
# are not primitive, with the order PARI/GP finds for x. Usage: scripts/gen_codec_known_answers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v gp >/dev/null || scripts/ensure-packages.sh pari-gp
out=tests/codec/custom_polynomials.txt
{
  echo "# Binary BCH codes on chosen primitive polynomials, one case a line: m p t r g."
  echo "# m field degree, p the primitive polynomial in hex (bit i = coefficient of x^i), t"
  echo "# correctable errors, r = degree of g, g in hex. g is the lcm of the minimal polynomials"
  echo "# over GF(2) of a^1 ... a^(2t), a a root of p; PARI/GP checked p irreducible and a of"
  echo "# order 2^m - 1. Lines 'bad m p order' name polynomials that are not primitive: order 0"
  echo "# when p is reducible, else the order of x modulo p. Made by"
  echo "# scripts/gen_codec_known_answers.sh; do not edit by hand, rerun the script."
  gp -q /dev/stdin <<'GP'
\\ Controller polynomials and others, each primitive, with the t to tabulate.
codes = [[13, 0x201B, [1, 4, 8]], [14, 0x4443, [8, 24, 40]], [15, 0x8011, [8, 60]], \
         [16, 0x1100B, [8, 32]], [8, 0x11D, [4, 16]], [5, 0x29, [1, 3, 7]]];
\\ Polynomials of degree m that are not primitive: reducible, or irreducible with x of lower order.
bad = [[5, 0x21], [6, 0x49], [8, 0x11B], [13, 0x2001], [14, 0x4003], [15, 0x806F], [16, 0x10001]];

field(m, p) =
{
  my(P = Mod(1, 2) * Pol(binary(p)));
  if (poldegree(P) != m, error("degree of ", p, " is not ", m));
  P;
}

order(m, p) =
{
  my(P = field(m, p));
  if (!polisirreducible(P), return(0));
  fforder(ffgen(P, 'a));
}

{
  for (k = 1, #codes,
    my(m = codes[k][1], p = codes[k][2], P = field(m, p));
    if (!polisirreducible(P) || order(m, p) != 2^m - 1, error(p, " is not primitive"));
    my(a = ffgen(P, 'a));
    foreach (codes[k][3], t,
      my(g = Mod(1, 2));
      for (i = 1, 2 * t, g = lcm(g, minpoly(a^i, 'x)));
      printf("%d %X %d %d %X\n", m, p, t, poldegree(g), subst(lift(g), 'x, 2))));
  for (k = 1, #bad,
    my(m = bad[k][1], p = bad[k][2], o = order(m, p));
    if (o == 2^m - 1, error(p, " is primitive"));
    printf("bad %d %X %d\n", m, p, o));
}
GP
} >"$out.tmp"
mv "$out.tmp" "$out"
echo "wrote $out ($(grep -vc '^#' "$out") lines)"
