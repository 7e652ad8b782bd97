// The kernels of simd.h for one instruction set. Included by one translation
// unit per set after it has included every header it needs (so that nothing
// shared is compiled for the set's target), defined NIVRA_SIMD_NS and
// declared, inside that namespace, `struct Lanes` with
//   T, W                         a vector of W doubles (W base indices)
//   bcast(x), mul(a, b), add(a, b), sub(a, b)  lane-wise, each rounded
//   load(p, re, im), store(p, re, im)          W complex values at p as real
//                                              and imaginary planes (the lane
//                                              order is the set's own, the
//                                              same for load and store)
//   load_gather(q, offset, re, im), store_scatter(q, offset, re, im)
//                                              the same with lane l at
//                                              q[l] + offset
//   load_runs<L>(q, offset, re, im), store_runs<L>(...)
//                                              lanes from W / L runs of L
//                                              values at q[run] + offset
//   load_pairs(p, re0, im0, re1, im1), store_pairs(...)
//                                              2W values at p, even ones
//                                              (column 0) and odd ones
//                                              (column 1) per lane
//   rotate(p, cs)                W complex values times (cs[2j] + i·cs[2j+1])

namespace nivra::sv::kernels::simd::NIVRA_SIMD_NS {

namespace {

using detail::IndexSpace;
using T = Lanes::T;
constexpr std::size_t W = Lanes::W;

// The matrix as the cores read it: entry e's real and imaginary parts, each
// in every lane. Small matrices are broadcast once per call (Broadcast):
// re-broadcasting them on every group of base indices costs a shuffle and,
// with more matrix values than registers, a spill per entry (the compiler
// cannot keep them across the stores into the state, which may alias them).
// Larger ones are broadcast on use from split planes (Planes) or from the
// complex entries themselves (Entries, for matrices too large to copy).
struct Broadcast {
    const T* re_vec;
    const T* im_vec;
    T re(std::size_t e) const { return re_vec[e]; }
    T im(std::size_t e) const { return im_vec[e]; }
};
struct Planes {
    const double* re_plane;
    const double* im_plane;
    T re(std::size_t e) const { return Lanes::bcast(re_plane[e]); }
    T im(std::size_t e) const { return Lanes::bcast(im_plane[e]); }
};
struct Entries {
    const Complex* m;
    T re(std::size_t e) const { return Lanes::bcast(m[e].real()); }
    T im(std::size_t e) const { return Lanes::bcast(m[e].imag()); }
};

// The product m·a of simd.h in every lane, m broadcast as (mr, mi): four
// rounded products, then one rounded difference and one rounded sum.
inline void product(T ar, T ai, T mr, T mi, T& re, T& im) {
    re = Lanes::sub(Lanes::mul(ar, mr), Lanes::mul(ai, mi));
    im = Lanes::add(Lanes::mul(ar, mi), Lanes::mul(ai, mr));
}

// acc + m·a: the row step of simd.h.
inline void accumulate(T ar, T ai, T mr, T mi, T& acc_re, T& acc_im) {
    T re, im;
    product(ar, ai, mr, mi, re, im);
    acc_re = Lanes::add(acc_re, re);
    acc_im = Lanes::add(acc_im, im);
}

// Row `row` of `m` (`dim` entries from row·dim) against the inputs re, im:
// the full row sum in column order.
template <class Matrix>
inline void row_sum(const Matrix& m, std::size_t row, std::size_t dim, const T* re, const T* im, T& acc_re, T& acc_im) {
    std::size_t e = row * dim;
    product(re[0], im[0], m.re(e), m.im(e), acc_re, acc_im);
    for (std::size_t c = 1; c < dim; ++c) {
        ++e;
        accumulate(re[c], im[c], m.re(e), m.im(e), acc_re, acc_im);
    }
}

// The dense row sums on W base indices: load(c, re, im) fetches input
// column c of every lane, store(r, re, im) writes output row r. DIM 0: `dim`
// known only at run time. Every input is loaded before any output is stored.
template <std::size_t DIM, class Matrix, class Load, class Store>
inline void dense_core(const Matrix& m, std::size_t dim, T* re, T* im, const Load& load, const Store& store) {
    if constexpr (DIM != 0) {
        dim = DIM;
    }
    for (std::size_t c = 0; c < dim; ++c) {
        load(c, re[c], im[c]);
    }
    // Rows per pass: eight independent chains of sums hide the latency of
    // the adder; more would not fit in sixteen registers. With thirty-two
    // (AVX-512) wide matrices take eight rows, which halves the reloads of
    // their inputs; at eight columns the inputs themselves would no longer
    // fit beside sixteen accumulators.
    constexpr std::size_t ROWS = W >= 8 && DIM >= 16 ? 8 : 4;
    constexpr std::size_t R = DIM == 0 ? 4 : (DIM < ROWS ? DIM : ROWS);
    for (std::size_t r0 = 0; r0 < dim; r0 += R) {
        T acc_re[R], acc_im[R];
        for (std::size_t r = 0; r < R; ++r) {
            const std::size_t e = (r0 + r) * dim;
            product(re[0], im[0], m.re(e), m.im(e), acc_re[r], acc_im[r]);
        }
        for (std::size_t c = 1; c < dim; ++c) {
            for (std::size_t r = 0; r < R; ++r) {
                const std::size_t e = (r0 + r) * dim + c;
                accumulate(re[c], im[c], m.re(e), m.im(e), acc_re[r], acc_im[r]);
            }
        }
        for (std::size_t r = 0; r < R; ++r) {
            store(r0 + r, acc_re[r], acc_im[r]);
        }
    }
}

// The column h whose offset is 1 (a target on bit 0), when every column c
// without h has its partner c + h right after it (off[c + h] = off[c] + 1);
// else 0.
template <std::size_t DIM>
inline std::size_t pair_column(const std::uint64_t* off) {
    if constexpr (DIM < 2) {
        return 0;
    } else {
        std::size_t h = 0;
        for (std::size_t c = 0; c < DIM; ++c) {
            if (off[c] == 1) h = c;
        }
        if (h == 0 || (h & (h - 1)) != 0) {
            return 0;
        }
        for (std::size_t c = 0; c < DIM; ++c) {
            if ((c & h) == 0 && off[c | h] != off[c] + 1) {
                return 0;
            }
        }
        return h;
    }
}

// The leftover base indices (at task edges, run tails, strided walks), W
// to a group with one complex value per lane; flush() completes a short last
// group by repeating its last index, which computes and stores the same
// values twice.
template <class Body>
struct Leftovers {
    Complex* amps;
    const std::uint64_t* off;
    const Body& body;
    std::uint64_t idx[W] = {};
    std::size_t held = 0;

    void push(std::uint64_t i) {
        idx[held++] = i;
        if (held == W) {
            Complex* q[W];
            for (std::size_t l = 0; l < W; ++l) {
                q[l] = amps + idx[l];
            }
            const std::uint64_t* o = off;
            body([&q, o](std::size_t c, T& re, T& im) { Lanes::load_gather(q, o[c], re, im); },
                 [&q, o](std::size_t c, T re, T im) { Lanes::store_scatter(q, o[c], re, im); });
            held = 0;
        }
    }
    void flush() {
        if constexpr (W > 1) {
            // One lane never holds a partial group.
            if (held != 0) {
                const std::uint64_t last = idx[held - 1];
                while (held != 0) {
                    push(last);
                }
            }
        }
    }
};

// For each run of base numbers in [begin, end), whose indices are
// base + stride·j: vec(amps + base + stride·j) for every W of them, the rest
// to `left`.
template <class Vec, class Left>
inline void walk_vectors(const IndexSpace& space, Complex* amps, std::size_t begin, std::size_t end,
                         std::size_t stride, const Vec& vec, Left& left) {
    const std::size_t run_mask = space.run_mask();
    for (std::size_t k = begin; k < end;) {
        const std::size_t run_end = std::min(end, (k | run_mask) + 1);
        const std::uint64_t base = space.deposit(k);
        const std::size_t count = run_end - k;
        std::size_t j = 0;
        for (; j + W <= count; j += W) {
            vec(amps + base + stride * j);
        }
        for (; j < count; ++j) {
            left.push(base + stride * j);
        }
        k = run_end;
    }
}

// Runs of exactly L consecutive base indices, W / L of them per vector; a
// run cut short by the task edge, and the runs left over, go to `left`.
template <std::size_t L, class Body, class Left>
inline void walk_short_runs(const IndexSpace& space, Complex* amps, const std::uint64_t* off, std::size_t begin,
                            std::size_t end, const Body& body, Left& left) {
    const std::size_t run_mask = space.run_mask();
    Complex* starts[W / L];
    std::size_t runs = 0;
    for (std::size_t k = begin; k < end;) {
        const std::size_t run_end = std::min(end, (k | run_mask) + 1);
        const std::uint64_t base = space.deposit(k);
        if (run_end - k == L) {
            starts[runs++] = amps + base;
            if (runs == W / L) {
                auto load = [&starts, off](std::size_t c, T& re, T& im) {
                    Lanes::template load_runs<L>(starts, off[c], re, im);
                };
                auto store = [&starts, off](std::size_t c, T re, T im) {
                    Lanes::template store_runs<L>(starts, off[c], re, im);
                };
                body(load, store);
                runs = 0;
            }
        } else {
            for (std::size_t j = 0; j < run_end - k; ++j) {
                left.push(base + j);
            }
        }
        k = run_end;
    }
    for (std::size_t r = 0; r < runs; ++r) {
        for (std::size_t j = 0; j < L; ++j) {
            left.push(static_cast<std::uint64_t>(starts[r] - amps) + j);
        }
    }
}

// A target on bit 0 (column h, offset 1): columns c and c + h of a base
// index are neighbours, so for W base indices (two apart, from p) each such
// pair of columns is 2W consecutive values, loaded whole and sorted into the
// two columns' planes.
template <std::size_t DIM, class Body>
inline void pair_columns(Complex* p, const std::uint64_t* off, std::size_t h, const Body& body) {
    T re[DIM], im[DIM];
    for (std::size_t c = 0; c < DIM; ++c) {
        if ((c & h) == 0) {
            Lanes::load_pairs(p + off[c], re[c], im[c], re[c | h], im[c | h]);
        }
    }
    body(
        [&re, &im](std::size_t c, T& r, T& i) {
            r = re[c];
            i = im[c];
        },
        [&re, &im](std::size_t c, T r, T i) {
            re[c] = r;
            im[c] = i;
        });
    for (std::size_t c = 0; c < DIM; ++c) {
        if ((c & h) == 0) {
            Lanes::store_pairs(p + off[c], re[c], im[c], re[c | h], im[c | h]);
        }
    }
}

// Runs body(load, store) over the base numbers [begin, end) of a DIM-wide
// gate (0: wider than 32), W base indices at a time, with accessors for
// input column / output row c at offset off[c]: straight vector loads where
// a run holds W consecutive base indices, 2W values per pair of columns for
// a target on bit 0, whole runs per load where runs of 2 or 4 are shorter
// than a vector, otherwise one complex value per lane.
template <std::size_t DIM, class Body>
inline void walk_range(const IndexSpace& space, Complex* amps, const std::uint64_t* off, std::size_t begin,
                       std::size_t end, const Body& body) {
    Leftovers<Body> left{amps, off, body};
    const std::size_t run_mask = space.run_mask();
    const unsigned shift = space.stride_shift();
    if (shift == 0 && run_mask >= W - 1) {
        auto contiguous = [&](Complex* p) {
            body([p, off](std::size_t c, T& re, T& im) { Lanes::load(p + off[c], re, im); },
                 [p, off](std::size_t c, T re, T im) { Lanes::store(p + off[c], re, im); });
        };
        walk_vectors(space, amps, begin, end, 1, contiguous, left);
    } else if (W >= 4 && DIM >= 2 && shift == 1 && run_mask >= W - 1 && pair_column<DIM>(off) != 0) {
        if constexpr (W >= 4 && DIM >= 2) {
            const std::size_t h = pair_column<DIM>(off);
            walk_vectors(
                space, amps, begin, end, 2, [&](Complex* p) { pair_columns<DIM>(p, off, h, body); }, left);
        }
    } else if (W >= 4 && shift == 0 && run_mask == 1) {
        if constexpr (W >= 4) {
            walk_short_runs<2>(space, amps, off, begin, end, body, left);
        }
    } else if (W >= 8 && shift == 0 && run_mask == 3) {
        if constexpr (W >= 8) {
            walk_short_runs<4>(space, amps, off, begin, end, body, left);
        }
    } else {
        for (std::size_t k = begin; k < end;) {
            const std::size_t run_end = std::min(end, (k | run_mask) + 1);
            const std::uint64_t base = space.deposit(k);
            for (std::size_t j = 0; j < run_end - k; ++j) {
                left.push(base + (j << shift));
            }
            k = run_end;
        }
    }
    left.flush();
}

// The matrix split once per call into the planes the cores broadcast from.
inline void fill_planes(const Complex* matrix, std::size_t entries, double* re, double* im) {
    for (std::size_t e = 0; e < entries; ++e) {
        re[e] = matrix[e].real();
        im[e] = matrix[e].imag();
    }
}

// Rows of a matrix with exact zeros, taken R at a time in an order that puts
// rows with the same nonzero columns together; each group visits only the
// columns where one of its rows is nonzero.
template <std::size_t DIM, std::size_t R>
struct SparseRows {
    std::array<std::uint8_t, DIM> rows{};
    std::array<std::uint8_t, DIM> cols[DIM / R]{};
    std::size_t count[DIM / R]{};
    // The visited entries in visiting order (group, column, row): real part,
    // imaginary part.
    std::array<double, 2 * DIM * DIM> coef{};
};

// The plan for `m`, or nothing when it would skip under a quarter of the
// products (or a group would have no column at all).
template <std::size_t DIM, std::size_t R>
std::optional<SparseRows<DIM, R>> plan_sparse(const Complex* m) {
    static_assert(DIM <= 32 && DIM % R == 0);
    std::array<std::uint32_t, DIM> nonzero{};
    for (std::size_t r = 0; r < DIM; ++r) {
        for (std::size_t c = 0; c < DIM; ++c) {
            if (m[r * DIM + c] != Complex(0.0, 0.0)) {
                nonzero[r] |= std::uint32_t{1} << c;
            }
        }
    }
    SparseRows<DIM, R> plan;
    for (std::size_t r = 0; r < DIM; ++r) {
        plan.rows[r] = static_cast<std::uint8_t>(r);
    }
    std::stable_sort(plan.rows.begin(), plan.rows.end(),
                     [&](std::uint8_t a, std::uint8_t b) { return nonzero[a] < nonzero[b]; });
    std::size_t products = 0;
    for (std::size_t g = 0; g < DIM / R; ++g) {
        std::uint32_t used = 0;
        for (std::size_t r = 0; r < R; ++r) {
            used |= nonzero[plan.rows[g * R + r]];
        }
        if (used == 0) {
            return std::nullopt;
        }
        for (std::size_t c = 0; c < DIM; ++c) {
            if ((used >> c) & 1) {
                plan.cols[g][plan.count[g]++] = static_cast<std::uint8_t>(c);
            }
        }
        products += R * plan.count[g];
    }
    if (4 * products > 3 * DIM * DIM) {
        return std::nullopt;
    }
    double* out = plan.coef.data();
    for (std::size_t g = 0; g < DIM / R; ++g) {
        for (std::size_t j = 0; j < plan.count[g]; ++j) {
            for (std::size_t r = 0; r < R; ++r) {
                const Complex v = m[plan.rows[g * R + r] * DIM + plan.cols[g][j]];
                *out++ = v.real();
                *out++ = v.imag();
            }
        }
    }
    return plan;
}

// dense_core with the zero products left out, which gives the same bits
// wherever the row sum is not zero: for finite a, (±0)·a is a complex zero,
// adding it leaves a nonzero partial sum unchanged and turns a zero one into
// a zero, and a zero partial sum plus a nonzero product is that product
// whatever the zero's sign. So the sums with and without the zero products
// agree up to the sign of a zero result. A group whose inputs are not all
// finite (∞·0 is NaN), or whose sums hold a zero (or underflow in the product
// that tests for one), is summed again in full.
template <std::size_t DIM, std::size_t R, class Matrix, class Load, class Store>
inline void sparse_core(const Matrix& m, const SparseRows<DIM, R>& plan, T* re, T* im, const Load& load,
                        const Store& store) {
    // 1 + x·0 in four independent chains: 1 for finite inputs, else NaN.
    const T zero = Lanes::bcast(0.0);
    T chains[4] = {Lanes::bcast(1.0), Lanes::bcast(1.0), Lanes::bcast(1.0), Lanes::bcast(1.0)};
    for (std::size_t c = 0; c < DIM; ++c) {
        load(c, re[c], im[c]);
        chains[c % 4] = Lanes::add(chains[c % 4], Lanes::add(Lanes::mul(re[c], zero), Lanes::mul(im[c], zero)));
    }
    const T finite = Lanes::mul(Lanes::mul(chains[0], chains[1]), Lanes::mul(chains[2], chains[3]));
    const double* coef = plan.coef.data();
    for (std::size_t g = 0; g < DIM / R; ++g) {
        const std::uint8_t* rows = plan.rows.data() + g * R;
        const std::uint8_t* cols = plan.cols[g].data();
        T acc_re[R], acc_im[R];
        {
            const T xr = re[cols[0]], xi = im[cols[0]];
            for (std::size_t r = 0; r < R; ++r) {
                const double* k = coef + 2 * r;
                product(xr, xi, Lanes::bcast(k[0]), Lanes::bcast(k[1]), acc_re[r], acc_im[r]);
            }
            coef += 2 * R;
        }
        for (std::size_t j = 1; j < plan.count[g]; ++j) {
            const T xr = re[cols[j]], xi = im[cols[j]];
            for (std::size_t r = 0; r < R; ++r) {
                const double* k = coef + 2 * r;
                accumulate(xr, xi, Lanes::bcast(k[0]), Lanes::bcast(k[1]), acc_re[r], acc_im[r]);
            }
            coef += 2 * R;
        }
        T prod[R];
        for (std::size_t r = 0; r < R; ++r) {
            prod[r] = Lanes::mul(acc_re[r], acc_im[r]);
        }
        for (std::size_t half = R / 2; half >= 1; half /= 2) {
            for (std::size_t r = 0; r < half; ++r) {
                prod[r] = Lanes::mul(prod[r], prod[r + half]);
            }
        }
        const T test = Lanes::mul(finite, prod[0]);
        double lanes[W];
        std::memcpy(lanes, &test, sizeof lanes);
        bool full = false;
        for (std::size_t l = 0; l < W; ++l) {
            full |= !(std::fabs(lanes[l]) > 0.0);
        }
        if (full) {
            for (std::size_t r = 0; r < R; ++r) {
                row_sum(m, rows[r], DIM, re, im, acc_re[r], acc_im[r]);
            }
        }
        for (std::size_t r = 0; r < R; ++r) {
            store(rows[r], acc_re[r], acc_im[r]);
        }
    }
}

// The dense kernel (or, for a matrix with enough exact zeros, the
// zero-skipping one) over every base index, the matrix read through `m`.
template <std::size_t DIM, class Matrix>
void dense_with(Complex* amps, const IndexSpace& space, const std::uint64_t* off, const Complex* matrix,
                const Matrix& m, const ParPolicy& policy) {
    // Fused blocks of controlled gates are often half zeros or more.
    constexpr std::size_t R = W >= 8 && DIM >= 16 ? 8 : 4;
    if constexpr (DIM >= 8) {
        if (const auto sparse = plan_sparse<DIM, R>(matrix)) {
            detail::par_ranges(space, policy, W, [&](std::size_t begin, std::size_t end) {
                walk_range<DIM>(space, amps, off, begin, end, [&](const auto& load, const auto& store) {
                    T re[DIM], im[DIM];
                    sparse_core<DIM, R>(m, *sparse, re, im, load, store);
                });
            });
            return;
        }
    }
    detail::par_ranges(space, policy, W, [&](std::size_t begin, std::size_t end) {
        walk_range<DIM>(space, amps, off, begin, end, [&](const auto& load, const auto& store) {
            // Inputs per group, so that narrow matrices keep them in registers.
            T re[DIM], im[DIM];
            dense_core<DIM>(m, DIM, re, im, load, store);
        });
    });
}

template <std::size_t DIM>
void dense_fixed(Complex* amps, const IndexSpace& space, const std::uint64_t* offsets, const Complex* matrix,
                 const ParPolicy& policy) {
    std::array<double, 2 * DIM * DIM> planes;
    fill_planes(matrix, DIM * DIM, planes.data(), planes.data() + DIM * DIM);
    std::array<std::uint64_t, DIM> off;
    std::copy_n(offsets, DIM, off.begin());
    if constexpr (DIM <= 8) {
        // At most 128 vectors: 4 KiB (AVX2), 8 KiB (AVX-512).
        T vectors[2 * DIM * DIM];
        for (std::size_t e = 0; e < 2 * DIM * DIM; ++e) {
            vectors[e] = Lanes::bcast(planes[e]);
        }
        dense_with<DIM>(amps, space, off.data(), matrix, Broadcast{vectors, vectors + DIM * DIM}, policy);
    } else {
        dense_with<DIM>(amps, space, off.data(), matrix, Planes{planes.data(), planes.data() + DIM * DIM}, policy);
    }
}

void dense_runtime(Complex* amps, const IndexSpace& space, const std::uint64_t* offsets, std::size_t dim,
                   const Complex* matrix, const ParPolicy& policy) {
    const Entries entries{matrix};
    detail::par_ranges(space, policy, W, [&](std::size_t begin, std::size_t end) {
        // Per task: the inputs of the current group.
        struct alignas(T) Slot {
            double lanes[W];
        };
        std::vector<Slot> inputs(2 * dim);
        T* re = reinterpret_cast<T*>(inputs.data());
        T* im = re + dim;
        walk_range<0>(space, amps, offsets, begin, end, [&](const auto& load, const auto& store) {
            dense_core<0>(entries, dim, re, im, load, store);
        });
    });
}

void dense_entry(Complex* amps, const IndexSpace& space, const std::uint64_t* offsets, std::size_t dim,
                 const Complex* matrix, const ParPolicy& policy) {
    switch (dim) {
        case 1:
            return dense_fixed<1>(amps, space, offsets, matrix, policy);
        case 2:
            return dense_fixed<2>(amps, space, offsets, matrix, policy);
        case 4:
            return dense_fixed<4>(amps, space, offsets, matrix, policy);
        case 8:
            return dense_fixed<8>(amps, space, offsets, matrix, policy);
        case 16:
            return dense_fixed<16>(amps, space, offsets, matrix, policy);
        case 32:
            return dense_fixed<32>(amps, space, offsets, matrix, policy);
        default:
            return dense_runtime(amps, space, offsets, dim, matrix, policy);
    }
}

template <std::size_t DIM>
void monomial_fixed(Complex* amps, const IndexSpace& space, const std::uint64_t* offsets, const std::uint8_t* source,
                    const Complex* coef, const ParPolicy& policy) {
    T re_c[DIM], im_c[DIM];
    for (std::size_t r = 0; r < DIM; ++r) {
        re_c[r] = Lanes::bcast(coef[r].real());
        im_c[r] = Lanes::bcast(coef[r].imag());
    }
    std::array<std::uint8_t, DIM> src;
    std::array<std::uint64_t, DIM> off;
    for (std::size_t c = 0; c < DIM; ++c) {
        check_invariant(source[c] < DIM, "monomial kernel: source column out of range");
        src[c] = source[c];
        off[c] = offsets[c];
    }
    detail::par_ranges(space, policy, W, [&](std::size_t begin, std::size_t end) {
        walk_range<DIM>(space, amps, off.data(), begin, end, [&](const auto& load, const auto& store) {
            T re[DIM], im[DIM];
            for (std::size_t c = 0; c < DIM; ++c) {
                load(c, re[c], im[c]);
            }
            for (std::size_t r = 0; r < DIM; ++r) {
                T out_re, out_im;
                product(re[src[r]], im[src[r]], re_c[r], im_c[r], out_re, out_im);
                store(r, out_re, out_im);
            }
        });
    });
}

void monomial_entry(Complex* amps, const IndexSpace& space, const std::uint64_t* offsets, std::size_t dim,
                    const std::uint8_t* source, const Complex* coef, const ParPolicy& policy) {
    switch (dim) {
        case 1:
            return monomial_fixed<1>(amps, space, offsets, source, coef, policy);
        case 2:
            return monomial_fixed<2>(amps, space, offsets, source, coef, policy);
        case 4:
            return monomial_fixed<4>(amps, space, offsets, source, coef, policy);
        default:
            check_invariant(false, "monomial kernel: width other than 1, 2 or 4");
    }
}

void rotate_entry(Complex* amps, const double* cs, std::size_t count) {
    std::size_t j = 0;
    for (; j + W <= count; j += W) {
        Lanes::rotate(amps + j, cs + 2 * j);
    }
    for (; j < count; ++j) {
        amps[j] = rounded_product(Complex(cs[2 * j], cs[2 * j + 1]), amps[j]);
    }
}

}  // namespace

const Table TABLE{&dense_entry, &monomial_entry, &rotate_entry};

}  // namespace nivra::sv::kernels::simd::NIVRA_SIMD_NS
