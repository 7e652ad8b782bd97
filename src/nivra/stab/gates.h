#pragma once
// Clifford gate updates of the tableau, word-parallel over the generators in
// qubit-major layout (the members Tableau::h ... Tableau::iswap_dg are defined
// in gates.cc). With xq, zq the qubit's X and Z rows and r the sign words:
//
//     H       r ^= xq & zq;  swap(xq, zq)
//     S       r ^= xq & zq;  zq ^= xq
//     Sdg     r ^= xq & ~zq; zq ^= xq          (S three times, in one pass)
//     X       r ^= zq
//     Y       r ^= xq ^ zq
//     Z       r ^= xq
//     CNOT    r ^= xc & zt & ~(xt ^ zc);  xt ^= xc;  zc ^= zt

#include "nivra/stab/tableau.h"
