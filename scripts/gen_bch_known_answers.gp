\\ Generator polynomials of binary BCH codes, computed with PARI/GP's own finite-field arithmetic:
\\ g(x) = lcm of the minimal polynomials over GF(2) of a^1 ... a^(2t), where a is a root of the
\\ primitive polynomial that bch/ tables for the field degree m. Prints "m t r hex" per case.

\\ Primitive polynomial of each degree 2 ... 20 as a binary number (bit i = coefficient of x^i).
prim = [0, 0x7, 0xB, 0x13, 0x25, 0x43, 0x83, 0x171, 0x211, 0x409, 0x805, 0x1099, 0x25AF, \
        0x41D5, 0x8003, 0x1002D, 0x20009, 0x40081, 0x80063, 0x100009];

\\ The (m, t) pairs: every degree, small and large t, the edge 2t = n - 1, and codes near the
\\ parity limit of 999 bits.
cases = [[2,1], [3,1], [3,2], [3,3], [4,1], [4,2], [4,3], [4,5], [4,7], [5,1], [5,3], [5,7], \
         [5,15], [6,1], [6,4], [6,10], [7,1], [7,5], [8,1], [8,4], [8,8], [9,1], [9,4], \
         [10,1], [10,6], [11,1], [11,5], [12,1], [12,4], [13,1], [13,4], [13,8], [13,16], \
         [14,3], [14,8], [15,1], [15,8], [15,66], [16,1], [16,5], [17,1], [17,4], [18,1], \
         [18,3], [19,1], [19,3], [20,1], [20,3], [20,49]];

bch_generator(m, t) =
{
  my(a = ffgen(Mod(1, 2) * Pol(binary(prim[m])), 'a), g = Mod(1, 2));
  if (fforder(a) != 2^m - 1, error("not primitive for m = ", m));
  for (i = 1, 2 * t, g = lcm(g, minpoly(a^i, 'x)));
  g;
}

{
  for (k = 1, #cases,
    my(m = cases[k][1], t = cases[k][2], g = bch_generator(m, t));
    printf("%d %d %d %X\n", m, t, poldegree(g), subst(lift(g), 'x, 2)));
}
