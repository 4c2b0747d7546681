// Operations shared between the sources of the BCH module and not part of its interface: the
// root set of the code and the matrix stage of gen_poly.
#ifndef PAGOLINTH_BCH_BCH_INTERNAL_H_
#define PAGOLINTH_BCH_BCH_INTERNAL_H_

// Counts the roots of the generator polynomial for tt: the exponents e in 0 ... nn - 1 with
// alpha^e conjugate to one of alpha^1 ... alpha^(2*tt). When zero is not null, also stores them
// in ascending order in zero[1] ... zero[count]. Returns count, or kBchMaxParity + 1 as soon as
// the count would exceed kBchMaxParity (zero is then partly written).
// REQUIRES: mm in 2 ... 20, nn = 2^mm - 1, 1 <= tt, 2 * tt < nn; zero, when not null, has
// kBchMaxParity + 1 elements.
int collect_roots(int zero[]);

// Second stage of gen_poly: lowers Parallel to rr when larger, then builds T_G, T_G_R and
// T_G_R_Temp from gg and rr.
// REQUIRES: 2 <= rr <= kBchMaxParity and gg[0 ... rr] set.
void build_transition_matrix();

#endif  // PAGOLINTH_BCH_BCH_INTERNAL_H_
