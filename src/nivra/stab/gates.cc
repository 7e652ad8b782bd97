#include "nivra/stab/gates.h"

#include <utility>

namespace nivra::stab {

// The kernels run on rows of a qubit-major grid; each row has exactly as many
// words as r (ceil((2n + 1) / 64)), so one index walks all three.

void Tableau::apply_h(Qubit q) {
    to_qubit_major();
    Word* __restrict x = x_.row(q).data();
    Word* __restrict z = z_.row(q).data();
    Word* __restrict r = r_.data();
    for (std::size_t w = 0; w < r_.size(); ++w) {
        r[w] ^= x[w] & z[w];
        std::swap(x[w], z[w]);
    }
}

void Tableau::apply_s(Qubit q) {
    to_qubit_major();
    const Word* __restrict x = x_.row(q).data();
    Word* __restrict z = z_.row(q).data();
    Word* __restrict r = r_.data();
    for (std::size_t w = 0; w < r_.size(); ++w) {
        r[w] ^= x[w] & z[w];
        z[w] ^= x[w];
    }
}

void Tableau::apply_sdg(Qubit q) {
    to_qubit_major();
    const Word* __restrict x = x_.row(q).data();
    Word* __restrict z = z_.row(q).data();
    Word* __restrict r = r_.data();
    for (std::size_t w = 0; w < r_.size(); ++w) {
        r[w] ^= x[w] & ~z[w];
        z[w] ^= x[w];
    }
}

void Tableau::apply_cnot(Qubit control, Qubit target) {
    to_qubit_major();
    auto [xt_row, xc_row] = x_.row_pair_mut(target, control);
    auto [zc_row, zt_row] = z_.row_pair_mut(control, target);
    Word* __restrict xt = xt_row.data();
    const Word* __restrict xc = xc_row.data();
    Word* __restrict zc = zc_row.data();
    const Word* __restrict zt = zt_row.data();
    Word* __restrict r = r_.data();
    for (std::size_t w = 0; w < r_.size(); ++w) {
        r[w] ^= xc[w] & zt[w] & ~(xt[w] ^ zc[w]);
        xt[w] ^= xc[w];
        zc[w] ^= zt[w];
    }
}

std::expected<void, StabError> Tableau::h(Qubit q) {
    auto ok = check_qubit(q);
    if (ok) {
        apply_h(q);
    }
    return ok;
}

std::expected<void, StabError> Tableau::s(Qubit q) {
    auto ok = check_qubit(q);
    if (ok) {
        apply_s(q);
    }
    return ok;
}

std::expected<void, StabError> Tableau::sdg(Qubit q) {
    auto ok = check_qubit(q);
    if (ok) {
        apply_sdg(q);
    }
    return ok;
}

std::expected<void, StabError> Tableau::x_gate(Qubit q) {
    auto ok = check_qubit(q);
    if (ok) {
        to_qubit_major();
        const Word* __restrict z = z_.row(q).data();
        Word* __restrict r = r_.data();
        for (std::size_t w = 0; w < r_.size(); ++w) {
            r[w] ^= z[w];
        }
    }
    return ok;
}

std::expected<void, StabError> Tableau::y_gate(Qubit q) {
    auto ok = check_qubit(q);
    if (ok) {
        to_qubit_major();
        const Word* __restrict x = x_.row(q).data();
        const Word* __restrict z = z_.row(q).data();
        Word* __restrict r = r_.data();
        for (std::size_t w = 0; w < r_.size(); ++w) {
            r[w] ^= x[w] ^ z[w];
        }
    }
    return ok;
}

std::expected<void, StabError> Tableau::z_gate(Qubit q) {
    auto ok = check_qubit(q);
    if (ok) {
        to_qubit_major();
        const Word* __restrict x = x_.row(q).data();
        Word* __restrict r = r_.data();
        for (std::size_t w = 0; w < r_.size(); ++w) {
            r[w] ^= x[w];
        }
    }
    return ok;
}

std::expected<void, StabError> Tableau::cnot(Qubit control, Qubit target) {
    auto ok = check_pair(control, target);
    if (ok) {
        apply_cnot(control, target);
    }
    return ok;
}

std::expected<void, StabError> Tableau::iswap(Qubit a, Qubit b) {
    auto ok = check_pair(a, b);
    if (ok) {
        apply_s(a);
        apply_s(b);
        apply_h(a);
        apply_cnot(a, b);
        apply_cnot(b, a);
        apply_h(b);
    }
    return ok;
}

std::expected<void, StabError> Tableau::iswap_dg(Qubit a, Qubit b) {
    auto ok = check_pair(a, b);
    if (ok) {
        apply_h(b);
        apply_cnot(b, a);
        apply_cnot(a, b);
        apply_h(a);
        apply_sdg(b);
        apply_sdg(a);
    }
    return ok;
}

}  // namespace nivra::stab
