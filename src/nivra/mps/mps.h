#pragma once
// MpsState: an n-qubit pure state as a chain of n site tensors (tensor.h),
// with the qubits held in any order along the chain.
//
//     chain position   0      1      2      3
//     site_to_qubit   [2]    [0]    [3]    [1]        qubit_to_site = [1, 3, 0, 2]
//     bonds         1 ─ A0 ─ A1 ─ A2 ─ A3 ─ 1
//
// Canonical form: sites left of `center` are left-canonical (left view with
// orthonormal columns), sites right of it right-canonical (right view with
// orthonormal rows). The state's norm is then the norm of the centre site,
// and weights read at the centre are global probabilities.
//
// Two-qubit gates on qubits whose sites are not neighbours are routed by
// swap updates that move one qubit along the chain; the new order stays.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "nivra/core/complex.h"
#include "nivra/core/gate.h"
#include "nivra/mps/tensor.h"

namespace nivra::mps {

using Matrix2 = std::array<Complex, 4>;   // row-major 2×2
using Matrix4 = std::array<Complex, 16>;  // row-major 4×4, basis index 2·x_first + x_second

// Which bond dimension a two-site update keeps, given the numerical rank
// R >= 1 and the tail weights tail[i] = Σ_{j >= i} s_j² (tail[K] = 0):
//   Fixed   χ = min(max(max_bond, 1), R)
//   Cutoff  cap = min(max(max_bond, 1), R); χ = the smallest k in 1..cap with
//           tail[k] <= threshold (a NaN tail counts as above it), else cap
struct TruncationPolicy {
    enum class Kind : std::uint8_t { Fixed = 0, Cutoff = 1 };

    Kind kind = Kind::Fixed;
    double threshold = 0.0;  // Cutoff only
    std::size_t max_bond = 1;

    static TruncationPolicy fixed(std::size_t max_bond) { return {Kind::Fixed, 0.0, max_bond}; }
    static TruncationPolicy cutoff(double threshold, std::size_t max_bond) {
        return {Kind::Cutoff, threshold, max_bond};
    }

    // χ by the rule above. `tail` must hold at least R + 1 entries (else InvariantError).
    std::size_t kept_dimension(std::size_t rank, std::span<const double> tail) const;

    friend bool operator==(const TruncationPolicy&, const TruncationPolicy&) = default;
};

// The error value of the MPS operations; backend.h maps it onto BackendError.
struct MpsError {
    enum class Kind : std::uint8_t {
        QubitOutOfRange = 0,        // qubit, num_qubits
        UnsupportedGate = 1,        // name
        NonAdjacent = 2,            // site_a, site_b
        ControlledGate = 3,         // name
        NonFiniteMatrix = 4,        // name
        DegenerateMeasurement = 5,  // qubit, probability
        SvdFailed = 6,              // -
    };

    Kind kind = Kind::SvdFailed;
    std::uint32_t qubit = 0;
    std::uint32_t num_qubits = 0;
    std::uint32_t site_a = 0;
    std::uint32_t site_b = 0;
    double probability = 0.0;
    std::string_view name;  // a static gate kind name

    static MpsError qubit_out_of_range(std::uint32_t qubit, std::uint32_t num_qubits) {
        return {Kind::QubitOutOfRange, qubit, num_qubits, 0, 0, 0.0, {}};
    }
    static MpsError unsupported_gate(std::string_view name) { return {Kind::UnsupportedGate, 0, 0, 0, 0, 0.0, name}; }
    static MpsError non_adjacent(std::uint32_t a, std::uint32_t b) { return {Kind::NonAdjacent, 0, 0, a, b, 0.0, {}}; }
    static MpsError controlled_gate(std::string_view name) { return {Kind::ControlledGate, 0, 0, 0, 0, 0.0, name}; }
    static MpsError non_finite_matrix(std::string_view name) { return {Kind::NonFiniteMatrix, 0, 0, 0, 0, 0.0, name}; }
    static MpsError degenerate_measurement(std::uint32_t qubit, double probability) {
        return {Kind::DegenerateMeasurement, qubit, 0, 0, 0, probability, {}};
    }
    static MpsError svd_failed() { return {Kind::SvdFailed, 0, 0, 0, 0, 0.0, {}}; }

    friend bool operator==(const MpsError&, const MpsError&) = default;
};

// The scratch matrices of gates and sweeps (defined in mps.cc). Not part of a
// state's value: a copy starts without one.
struct Workspace;

class MpsState {
public:
    // |0…0⟩ on n qubits: every site [1, 0] with bonds 1, identity tables,
    // centre 0, no statistics, no workspace. n = 0 gives an empty chain.
    static MpsState with_policy(std::size_t n, const TruncationPolicy& policy);

    // Deep copies of the tensors, tables, centre, policy and statistics; the
    // copy gets an empty workspace, so it is as small as its tensors.
    MpsState(const MpsState& other);
    MpsState& operator=(const MpsState& other);
    MpsState(MpsState&&) noexcept;
    MpsState& operator=(MpsState&&) noexcept;
    ~MpsState();

    std::size_t num_qubits() const { return sites_.size(); }
    const TruncationPolicy& policy() const { return policy_; }
    const std::vector<Site>& sites() const { return sites_; }
    // Site at chain position k; throws InvariantError when k >= n.
    const Site& site(std::size_t k) const;
    const std::vector<Qubit>& site_to_qubit() const { return site_to_qubit_; }
    const std::vector<std::size_t>& qubit_to_site() const { return qubit_to_site_; }
    std::size_t center() const { return center_; }
    // Σ of the squared singular values dropped by every two-site update.
    double discarded_weight() const { return discarded_weight_; }
    // Largest bond kept by any two-site update; 1 before the first.
    std::size_t max_bond_reached() const { return max_bond_reached_; }
    // Routing swaps carried out as tensor updates.
    std::uint64_t swap_count() const { return swap_count_; }
    // Swap gates carried out by relabelling alone.
    std::uint64_t free_swap_count() const { return free_swap_count_; }
    // Entries held by the workspace's scratch matrices (0 without one).
    std::size_t workspace_entries() const;

    // Moves the orthogonality centre to chain position `target` by QR sweeps;
    // the state's value is unchanged up to rounding and no bond grows.
    // Throws InvariantError when target >= n.
    void move_center_to(std::size_t target);

    // u (row-major) on the physical index of `qubit`'s site. Bonds and centre
    // stay. Throws InvariantError when qubit >= n.
    void apply_1q(std::size_t qubit, const Matrix2& u);

    // The two-site update of g on chain positions a (first qubit of g) and b
    // (second), which must be neighbours (else NonAdjacent, nothing changed):
    // centre to min(a, b), block, gate, parts of the block below
    // NEGLIGIBLE_PART_RATIO of its largest set to zero (linalg.h), SVD
    // truncated by the policy and renormalised, centre to min(a, b) + 1.
    // SvdFailed (a block that is not finite, or no SVD that passes
    // verification) leaves the state as it was after the centre moved.
    // Throws InvariantError when a or b >= n.
    std::expected<void, MpsError> apply_2q_adjacent(std::size_t a, std::size_t b, const Matrix4& g);

    // g on qubits (q0 = first, q1 = second): when their sites are not
    // neighbours, routing swaps move q1's or q0's site (whichever lies
    // higher) down next to the other, each a full two-site update counted in
    // swap_count; the chain order is kept afterwards. An error during routing
    // leaves the swaps already done. Requires q0 != q1, both below n (else
    // InvariantError).
    std::expected<void, MpsError> apply_2q_routed(Qubit q0, Qubit q1, const Matrix4& g);

    // A Swap gate by relabelling: the two qubits exchange chain positions in
    // the tables, free_swap_count grows, no tensor changes. Requires both
    // below n (else InvariantError).
    void swap_by_relabel(Qubit q0, Qubit q1);

    // Renames qubits: afterwards qubit q is what qubit perm[q] was. `perm`
    // must be a permutation of 0..n-1 (else InvariantError, nothing changed).
    void relabel(std::span<const Qubit> perm);

private:
    friend class MpsBackend;

    MpsState() = default;
    Workspace& workspace();
    void step_right(Workspace& ws);
    void step_left(Workspace& ws);

    TruncationPolicy policy_;
    std::vector<Site> sites_;
    std::vector<Qubit> site_to_qubit_;
    std::vector<std::size_t> qubit_to_site_;
    std::unique_ptr<Workspace> workspace_;
    std::size_t center_ = 0;
    double discarded_weight_ = 0.0;
    std::size_t max_bond_reached_ = 1;
    std::uint64_t swap_count_ = 0;
    std::uint64_t free_swap_count_ = 0;
};

}  // namespace nivra::mps
