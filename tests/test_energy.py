"""PauliSum and the energy functions, checked against NumPy's <psi|H|psi>."""

import random

import numpy as np
import pytest

import nivra
from nivra import PauliSum, hea_energy, qaoa_energy
from numpy_reference import Z, apply, pauli_matrix_expectation, simulate


def hea_ops(n, depth, thetas):
    ops = []
    for layer in range(depth):
        ops += [("ry", [thetas[layer * n + q]], [q]) for q in range(n)]
        ops += [("cx", [], [q, q + 1]) for q in range(n - 1)]
    ops += [("ry", [thetas[depth * n + q]], [q]) for q in range(n)]
    return ops


def qaoa_state(n, edges, gammas, betas):
    ops = [("h", [], [q]) for q in range(n)]
    for gamma, beta in zip(gammas, betas):
        for a, b in edges:
            ops += [("cx", [], [a, b]), ("rz", [2 * gamma], [b]), ("cx", [], [a, b])]
        ops += [("rx", [2 * beta], [q]) for q in range(n)]
    return simulate(n, ops)


def maxcut_expectation(psi, n, edges):
    """<psi| m/2 - 1/2 sum Z_a Z_b |psi>."""
    total = len(edges) * 0.5
    for a, b in edges:
        phi = apply(apply(psi, n, Z, [a]), n, Z, [b])
        total -= 0.5 * float(np.vdot(psi, phi).real)
    return total


def write_sum(tmp_path, terms, name="ham.txt"):
    path = tmp_path / name
    path.write_text("# a Hamiltonian\n" + "".join(f"{c!r}\t{p}\n" for c, p in terms))
    return str(path)


class TestPauliSum:
    def test_load(self, tmp_path):
        path = write_sum(tmp_path, [(1.5, "IXYZ"), (-0.25, "IIII")])
        ham = PauliSum.load(path, 4)
        assert ham.num_terms() == 2
        assert PauliSum.load(write_sum(tmp_path, [], "empty.txt"), 4).num_terms() == 0
        assert PauliSum.__module__ == "builtins"
        with pytest.raises(TypeError):
            PauliSum()
        with pytest.raises(TypeError):
            ham.num_terms(1)

    def test_read_and_parse_failures_are_value_errors(self, tmp_path):
        missing = str(tmp_path / "missing.txt")
        with pytest.raises(ValueError) as err:
            PauliSum.load(missing, 2)
        assert str(err.value) == f"read {missing}: No such file or directory (os error 2)"
        bad = tmp_path / "bad.txt"
        bad.write_text("# header\n\n1.0 XzZ\n")
        with pytest.raises(ValueError) as err:
            PauliSum.load(str(bad), 3)
        assert str(err.value) == f"parse {bad}: line 3: 'z' is not one of I,X,Y,Z"
        with pytest.raises(ValueError, match=r"^parse .*: line 2: pauli string has 2 chars, expected 3$"):
            PauliSum.load(write_sum(tmp_path, [(1.0, "XX")], "short.txt"), 3)
        binary = tmp_path / "latin1.txt"
        binary.write_bytes(b"1.0 X\xe9\n")
        with pytest.raises(ValueError, match=r"^read .*: stream did not contain valid UTF-8$"):
            PauliSum.load(str(binary), 2)

    def test_conversions(self, tmp_path):
        path = write_sum(tmp_path, [(1.0, "Z")])
        with pytest.raises(TypeError, match="argument 'path'"):
            PauliSum.load(tmp_path / "ham.txt", 1)
        with pytest.raises(OverflowError):
            PauliSum.load(path, -1)
        with pytest.raises(TypeError, match="argument 'n_qubits'"):
            PauliSum.load(path, "1")


class TestHeaEnergy:
    def test_matches_numpy(self, tmp_path):
        rng = random.Random(3)
        for trial in range(10):
            n = rng.randint(1, 6)
            depth = rng.randint(0, 3)
            thetas = [rng.uniform(-3, 3) for _ in range(n * (depth + 1))]
            terms = [(round(rng.uniform(-2, 2), 3), "".join(rng.choice("IXYZ") for _ in range(n))) for _ in range(6)]
            ham = PauliSum.load(write_sum(tmp_path, terms, f"h{trial}.txt"), n)
            psi = simulate(n, hea_ops(n, depth, thetas))
            expected = sum(pauli_matrix_expectation(psi, n, t) for t in terms)
            assert hea_energy(n, depth, thetas, ham) == pytest.approx(expected, abs=1e-10)

    def test_errors(self, tmp_path):
        empty = PauliSum.load(write_sum(tmp_path, [], "empty.txt"), 2)
        assert hea_energy(2, 1, [0.1] * 4, empty) == 0.0
        with pytest.raises(ValueError) as err:
            hea_energy(2, 1, [0.1] * 3, empty)
        assert str(err.value) == "build_hea: expected 4 params (n_qubits*(depth+1)), got 3"
        with pytest.raises(ValueError) as err:
            hea_energy(29, 0, [0.0] * 29, empty)
        assert str(err.value) == "run: TooManyQubits { requested: 29, limit: 28 }"
        # The Hamiltonian's qubit count is not compared: a term beyond the state fails when evaluated.
        wide = PauliSum.load(write_sum(tmp_path, [(1.0, "IIIZ")], "wide.txt"), 4)
        with pytest.raises(ValueError, match=r"^energy: QubitOutOfRange \{ qubit: 3, num_qubits: 2 \}$"):
            hea_energy(2, 0, [0.0, 0.0], wide)

    def test_conversions(self, tmp_path):
        ham = PauliSum.load(write_sum(tmp_path, [(1.0, "Z")]), 1)
        with pytest.raises(TypeError, match="argument 'thetas'"):
            hea_energy(1, 0, "0", ham)
        with pytest.raises(TypeError, match="argument 'thetas'"):
            hea_energy(1, 0, [None], ham)
        with pytest.raises(TypeError, match="argument 'ham'"):
            hea_energy(1, 0, [0.0], "ham")
        with pytest.raises(OverflowError):
            hea_energy(1, -1, [0.0], ham)
        assert hea_energy(1, 0, np.array([np.pi]), ham) == pytest.approx(-1.0)
        assert hea_energy(1, 0, (0,), ham) == pytest.approx(1.0)


class TestQaoaEnergy:
    @pytest.mark.parametrize("backend", ["sv", "mps"])
    def test_matches_numpy(self, backend):
        rng = random.Random(4)
        for _ in range(8):
            n = rng.randint(2, 7)
            edges = [tuple(rng.sample(range(n), 2)) for _ in range(rng.randint(1, 8))]
            p = rng.randint(1, 3)
            gammas = [rng.uniform(-2, 2) for _ in range(p)]
            betas = [rng.uniform(-2, 2) for _ in range(p)]
            expected = maxcut_expectation(qaoa_state(n, edges, gammas, betas), n, edges)
            assert qaoa_energy(n, edges, gammas, betas, backend) == pytest.approx(expected, abs=1e-9)

    def test_sv_and_mps_agree_on_chains_and_rings(self):
        rng = random.Random(6)
        for n in [2, 5, 12, 16]:
            chain = [(q, q + 1) for q in range(n - 1)]
            for edges in [chain, chain + [(n - 1, 0)] if n > 2 else chain]:
                gammas = [rng.uniform(-1, 1) for _ in range(2)]
                betas = [rng.uniform(-1, 1) for _ in range(2)]
                sv = qaoa_energy(n, edges, gammas, betas, "sv")
                mps = qaoa_energy(n, edges, gammas, betas, "mps")
                assert mps == pytest.approx(sv, abs=1e-9)

    def test_mps_beyond_the_state_vector_limit(self):
        n = 40
        edges = [(q, q + 1) for q in range(n - 1)]
        # One layer at beta = 0 leaves every Z basis weight at 1/2: each edge cuts half the time.
        assert qaoa_energy(n, edges, [0.7], [0.0], "mps") == pytest.approx(len(edges) / 2, abs=1e-9)
        with pytest.raises(ValueError, match=r"^run sv: TooManyQubits \{ requested: 40, limit: 28 \}$"):
            qaoa_energy(n, edges, [0.7], [0.0], "sv")

    def test_errors_in_order(self):
        with pytest.raises(ValueError) as err:
            qaoa_energy(2, [(0, 1)], [0.1], [0.2], "gpu")
        assert str(err.value) == 'unknown backend "gpu" (expected "sv" or "mps")'
        with pytest.raises(ValueError, match=r'^unknown backend "SV"'):
            qaoa_energy(2, [(0, 1)], [0.1], [0.2], "SV")
        with pytest.raises(ValueError, match=r"^build_qaoa: qubit 5 out of range \(circuit has 2 qubits\)$"):
            qaoa_energy(2, [(0, 5)], [0.1], [0.2], "gpu")
        with pytest.raises(ValueError) as err:
            qaoa_energy(2, [(0, 1)], [0.1], [0.2, 0.3], "gpu")
        assert str(err.value) == "build_qaoa: gammas has 1 angles but betas has 2 (must match = QAOA depth p)"
        assert qaoa_energy(3, [], [], [], "sv") == 0.0

    def test_edge_conversion(self):
        for bad in ["01", [[0, 1]], [(0, 1, 2)], [(0,)], [(0, "1")], 5]:
            with pytest.raises(TypeError, match="argument 'edges'"):
                qaoa_energy(2, bad, [0.1], [0.1], "sv")
        with pytest.raises(OverflowError):
            qaoa_energy(2, [(0, -1)], [0.1], [0.1], "sv")
        with pytest.raises(TypeError, match="argument 'backend'"):
            qaoa_energy(2, [(0, 1)], [0.1], [0.1], None)
        with pytest.raises(TypeError, match="argument 'gammas'"):
            qaoa_energy(2, [(0, 1)], 0.1, [0.1], "sv")
        assert qaoa_energy(2, ((0, 1),), (0.1,), (0.2,), "sv") == pytest.approx(
            maxcut_expectation(qaoa_state(2, [(0, 1)], [0.1], [0.2]), 2, [(0, 1)]), abs=1e-12
        )


def test_exports():
    assert nivra.hea_energy is nivra._native.hea_energy
    assert nivra.PauliSum is nivra._native.PauliSum
