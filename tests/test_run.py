"""run() and RunResult on the state-vector, stabilizer and MPS backends."""

import math
import random
import threading

import numpy as np
import pytest

import nivra
from nivra import Circuit, run
from numpy_reference import CLIFFORD_GATES, build, chi_square_ok, probabilities, random_ops, simulate

BACKENDS = ["sv", "stab", "mps"]
NO_STATE = (
    'statevector is only available on the "sv", "metal", and in-core "cuda"/"cuda-f32" backends'
)
METAL = (
    'the "metal" backend is not available in this build; build the wheel with `--features python,metal` '
    "on macOS (Apple Silicon)"
)
CUDA = (
    'the "cuda" / "cuda-f32" backend is not available in this build; build the wheel with '
    "`--features python,cuda` on a Linux + NVIDIA host"
)


def bell(n=2):
    c = Circuit(n)
    c.h(0)
    for q in range(n - 1):
        c.cx(q, q + 1)
    return c


class TestStateVector:
    def test_random_circuits_match_the_numpy_reference(self):
        rng = random.Random(11)
        for trial in range(25):
            n = rng.randint(1, 6)
            ops = random_ops(rng, n, rng.randint(1, 40))
            result = run(build(Circuit(n), ops), backend="sv", shots=0, seed=trial)
            state = result.statevector()
            assert state.dtype == np.complex128 and state.shape == (2**n,)
            np.testing.assert_allclose(state, simulate(n, ops), atol=1e-10)

    def test_qubit_zero_is_the_least_significant_bit(self):
        c = Circuit(3)
        c.x(0)
        result = run(c, backend="sv", shots=10, seed=1)
        assert result.counts() == {"001": 10}
        state = result.statevector()
        assert state[1] == 1 and np.count_nonzero(state) == 1

    def test_statevector_is_a_fresh_copy(self):
        result = run(bell(), backend="sv", shots=1, seed=1)
        first = result.statevector()
        first[:] = 0
        second = result.statevector()
        np.testing.assert_allclose(second, [1 / math.sqrt(2), 0, 0, 1 / math.sqrt(2)], atol=1e-15)
        assert second.flags.c_contiguous and second.flags.owndata is False
        assert result.statevector() is not second

    def test_repeated_runs_do_not_see_each_others_rewrites(self):
        c = Circuit(3)
        c.h(0)
        c.h(0)
        c.cx(0, 2)
        c.t(2)
        first = run(c, backend="sv", seed=3).statevector()
        c.x(1)
        second = run(c, backend="sv", seed=3).statevector()
        np.testing.assert_allclose(first, simulate(3, [("h", [], [0]), ("h", [], [0]), ("cx", [], [0, 2]),
                                                       ("t", [], [2])]), atol=1e-12)
        assert abs(second[2]) == pytest.approx(1.0)
        assert c.num_gates == 5

    def test_measurement_collapses_once(self):
        c = Circuit(2)
        c.h(0)
        c.measure(0, 0)
        c.cx(0, 1)
        for backend in BACKENDS:
            for seed in range(6):
                counts = run(c, backend=backend, shots=200, seed=seed).counts()
                assert len(counts) == 1 and list(counts.values()) == [200]
                assert next(iter(counts)) in ("00", "11")

    def test_limit(self):
        with pytest.raises(ValueError, match=r"^run sv: requested 29 qubits exceeds backend limit of 28$"):
            run(Circuit(29), backend="sv")
        with pytest.raises(ValueError, match=r"^run sv: requested 65535 qubits exceeds backend limit of 28$"):
            run(Circuit(65535), backend="sv")

    def test_non_finite_angle(self):
        c = Circuit(1)
        c.rx(float("nan"), 0)
        with pytest.raises(ValueError, match=r"^run sv: gate `Rx` has a non-finite \(NaN or infinite\) parameter$"):
            run(c, backend="sv")


class TestHistogram:
    def test_shots_zero_gives_an_empty_histogram(self):
        for backend in BACKENDS:
            assert run(bell(), backend=backend, shots=0, seed=1).counts() == {}

    def test_keys_are_ordered_and_padded(self):
        c = Circuit(5)
        for q in range(5):
            c.h(q)
        counts = run(c, backend="sv", shots=4000, seed=2).counts()
        assert list(counts) == sorted(counts)
        assert all(len(k) == 5 and set(k) <= {"0", "1"} for k in counts)
        assert sum(counts.values()) == 4000

    def test_zero_qubit_circuit_key(self):
        # A 0-qubit circuit with no instructions cannot run; each path says so.
        for backend, prefix in [("sv", "run sv"), ("stab", "run stab"), ("mps", "run mps")]:
            with pytest.raises(ValueError, match=rf"^{prefix}: cannot run an empty circuit$"):
                run(Circuit(0), backend=backend)

    def test_wide_keys(self):
        c = Circuit(64)
        c.x(63)
        c.x(0)
        for backend in ["stab", "mps"]:
            assert run(c, backend=backend, shots=3, seed=1).counts() == {"1" + "0" * 62 + "1": 3}

    def test_counts_is_a_new_dict_each_time(self):
        result = run(bell(), shots=100, seed=5)
        counts = result.counts()
        counts.clear()
        assert sum(result.counts().values()) == 100


class TestArguments:
    def test_defaults_and_auto(self):
        c = bell(3)
        result = run(c, seed=9)
        assert sum(result.counts().values()) == 1024
        # A Clifford circuit goes to the stabilizer path: no state vector.
        with pytest.raises(ValueError) as err:
            result.statevector()
        assert str(err.value) == NO_STATE
        assert run(c, backend="sv", seed=9).statevector().shape == (8,)
        # A non-Clifford circuit under "auto" gets the state vector.
        c.t(0)
        assert run(c, seed=9).statevector().shape == (8,)

    def test_backend_names(self):
        c = bell()
        for name in ["auto", "statevector", "sv", "stabilizer", "stab", "mps"]:
            assert set(run(c, backend=name, shots=50, seed=1).counts()) <= {"00", "11"}
        for name in ["gpu", "metal"]:
            with pytest.raises(ValueError) as err:
                run(c, backend=name)
            assert str(err.value) == METAL
        for name in ["cuda", "cuda-f64", "cuda-f32", "cuda-fp32"]:
            with pytest.raises(ValueError) as err:
                run(c, backend=name)
            assert str(err.value) == CUDA
        with pytest.raises(ValueError, match=r'^unknown backend "SV"; expected one of: auto, statevector \(sv\)'):
            run(c, backend="SV")

    def test_precision(self):
        c = bell()
        for p in ["auto", "f64", "double", "fp64", "f32", "single", "fp32"]:
            run(c, precision=p, shots=1, seed=1)
        with pytest.raises(ValueError) as err:
            run(c, precision="F64")
        assert str(err.value) == 'unknown precision "F64"; expected one of: auto, f64, f32'
        with pytest.raises(ValueError, match=r'^unknown precision "a\\"b\\n"'):
            run(c, precision='a"b\n')

    def test_order_of_checks(self):
        c = bell()
        noise = nivra.NoiseModel()
        # Backend name first, then precision, then the noise restriction.
        with pytest.raises(ValueError, match="^unknown backend"):
            run(c, backend="nope", precision="nope", noise=noise)
        with pytest.raises(ValueError, match="^unknown precision"):
            run(c, backend="mps", precision="nope", noise=noise)
        with pytest.raises(ValueError, match="^noise is only supported"):
            run(c, backend="mps", precision="f32", noise=noise)
        # The GPU refusal comes after precision.
        with pytest.raises(ValueError, match="^unknown precision"):
            run(c, backend="gpu", precision="x")

    def test_conversion_errors(self):
        c = bell()
        with pytest.raises(TypeError, match="argument 'circuit'"):
            run("circuit")
        with pytest.raises(TypeError, match="argument 'shots'"):
            run(c, shots=10.0)
        with pytest.raises(TypeError, match="argument 'shots'"):
            run(c, shots=None)
        with pytest.raises(OverflowError):
            run(c, shots=-1)
        with pytest.raises(OverflowError):
            run(c, shots=2**32)
        with pytest.raises(TypeError, match="argument 'backend'"):
            run(c, backend=None)
        with pytest.raises(TypeError, match="argument 'precision'"):
            run(c, precision=64)
        with pytest.raises(TypeError, match="argument 'seed'"):
            run(c, seed=1.5)
        with pytest.raises(OverflowError):
            run(c, seed=-1)
        with pytest.raises(OverflowError):
            run(c, seed=2**64)
        with pytest.raises(TypeError, match="argument 'noise'"):
            run(c, noise=object())
        with pytest.raises(TypeError):
            run(c, 100)  # keyword-only
        with pytest.raises(TypeError):
            run()
        with pytest.raises(TypeError, match="unexpected keyword argument 'shot'"):
            run(c, shot=1)
        assert run(circuit=c, seed=2**64 - 1, shots=np.int32(5)).counts().keys() <= {"00", "11"}

    def test_run_result_cannot_be_made_from_python(self):
        with pytest.raises(TypeError):
            nivra.RunResult()
        assert nivra.RunResult.__module__ == "builtins"


class TestSeeds:
    @pytest.mark.parametrize("backend", BACKENDS)
    def test_same_seed_same_histogram(self, backend):
        c = Circuit(4)
        for q in range(4):
            c.h(q)
        c.cx(0, 1)
        c.s(2)
        first = run(c, backend=backend, seed=1234).counts()
        assert run(c, backend=backend, seed=1234).counts() == first
        assert run(c, backend=backend, seed=1235).counts() != first
        # Without a seed, fresh randomness: 16 equally likely outcomes over 1024 shots.
        assert run(c, backend=backend).counts() != run(c, backend=backend).counts()


class TestMeasurement:
    def test_a_certain_measurement_draws_nothing(self):
        # H, barrier, H returns qubit 0 to |0> with an exact zero beside it, so
        # measuring it is certain and takes no draw: seed for seed, the coin
        # on qubit 1 falls as it does without those gates.
        undone = Circuit(2)
        undone.h(0)
        undone.barrier([0])
        undone.h(0)
        plain = Circuit(2)
        for c in (undone, plain):
            c.measure(0, 0)
            c.h(1)
            c.measure(1, 1)
        outcomes = set()
        for seed in range(40):
            counts = run(undone, backend="sv", shots=4, seed=seed).counts()
            assert counts == run(plain, backend="sv", shots=4, seed=seed).counts(), seed
            outcomes.update(counts)
        assert outcomes == {"00", "10"}


class TestStabilizerAndMps:
    def test_clifford_circuits_agree_with_exact_probabilities(self):
        rng = random.Random(5)
        shots = 20000
        for trial in range(12):
            n = rng.randint(1, 5)
            ops = random_ops(rng, n, rng.randint(1, 30), CLIFFORD_GATES)
            probs = probabilities(simulate(n, ops))
            c = build(Circuit(n), ops)
            for backend in BACKENDS:
                counts = run(c, backend=backend, shots=shots, seed=trial).counts()
                assert chi_square_ok(counts, probs, n, shots), (backend, ops, counts)

    def test_mps_matches_exact_probabilities_on_general_circuits(self):
        rng = random.Random(8)
        two_qubit = ["cx", "cz", "swap", "iswap", "crx", "cry", "crz"]
        one_qubit = ["h", "x", "y", "z", "s", "sdg", "t", "tdg", "rx", "ry", "rz", "p", "u3"]
        shots = 20000
        for trial in range(8):
            n = rng.randint(2, 6)
            ops = random_ops(rng, n, 30, one_qubit + two_qubit)
            probs = probabilities(simulate(n, ops))
            counts = run(build(Circuit(n), ops), backend="mps", shots=shots, seed=trial).counts()
            assert chi_square_ok(counts, probs, n, shots), (ops, counts)

    def test_mps_runs_exact_angle_circuits_whose_blocks_span_hundreds_of_orders(self):
        # Products of rounding residues (cos(pi/2) = 6e-17) give the last cx a
        # two-site block with entries from 0.5 down to 1e-209.
        ops = [("ry", [-1.3271055340252818], [6]), ("cx", [], [5, 7]), ("cx", [], [8, 9]), ("h", [], [6]),
               ("x", [], [4]), ("ry", [math.pi], [4]), ("cx", [], [6, 3]), ("cx", [], [0, 8]),
               ("swap", [], [1, 6]), ("x", [], [8]), ("swap", [], [9, 8]), ("t", [], [1]), ("x", [], [2]),
               ("cx", [], [3, 2]), ("h", [], [3]), ("cx", [], [1, 9]), ("x", [], [2]), ("h", [], [1]),
               ("h", [], [6]), ("swap", [], [1, 6]), ("t", [], [1]), ("cx", [], [0, 1]), ("h", [], [3]),
               ("h", [], [9]), ("cx", [], [4, 0])]
        n, shots = 10, 20000
        probs = probabilities(simulate(n, ops))
        counts = run(build(Circuit(n), ops), backend="mps", shots=shots, seed=1).counts()
        assert chi_square_ok(counts, probs, n, shots), counts

    def test_stabilizer_refusals(self):
        c = Circuit(2)
        c.h(0)
        c.t(1)
        with pytest.raises(ValueError, match=r"^run stab: gate `T` is not supported by this backend$"):
            run(c, backend="stab")
        c = Circuit(2)
        c.cp(math.pi, 0, 1)
        with pytest.raises(ValueError, match=r"^run stab: gate `Phase` is not supported by this backend$"):
            run(c, backend="stab")
        reset = Circuit.from_qasm("OPENQASM 3.0;\nqubit[1] q;\nh q[0];\nreset q[0];\n")
        with pytest.raises(ValueError, match=r"^run stab: IR instruction `reset` is not supported by this backend$"):
            run(reset, backend="stab")
        with pytest.raises(ValueError, match=r"^run mps: IR instruction `reset` is not supported by this backend$"):
            run(reset, backend="mps")
        with pytest.raises(ValueError, match=r"^run sv: IR instruction `reset` is not supported by this backend$"):
            run(reset, backend="sv")

    def test_mps_refusals(self):
        c = Circuit(3)
        c.ccx(0, 1, 2)
        with pytest.raises(ValueError, match=r"^run mps: gate `Toffoli` is not supported by this backend$"):
            run(c, backend="mps")
        with pytest.raises(ValueError, match=r"^run mps: requested 1025 qubits exceeds backend limit of 1024$"):
            run(Circuit(1025), backend="mps")

    def test_more_than_64_qubits_fail_at_sampling_before_simulating(self):
        c = Circuit(65535)
        for q in range(0, 65534, 2):
            c.h(q)
            c.cx(q, q + 1)
        with pytest.raises(ValueError, match=r"^sample: requested 65535 qubits exceeds backend limit of 64$"):
            run(c, backend="stab", shots=1)
        c = Circuit(65)
        c.h(0)
        with pytest.raises(ValueError, match=r"^sample: requested 65 qubits exceeds backend limit of 64$"):
            run(c, backend="mps", shots=0)
        with pytest.raises(ValueError, match=r"^sample: requested 65 qubits exceeds backend limit of 64$"):
            run(c, backend="stab", shots=0)

    def test_large_clifford_run_under_auto(self):
        c = Circuit(60)
        c.h(0)
        for q in range(59):
            c.cx(q, q + 1)
        counts = run(c, shots=1000, seed=4).counts()
        assert set(counts) == {"0" * 60, "1" * 60}

    def test_chain_circuit_on_mps_and_sv(self):
        n = 10
        c = Circuit(n)
        ops = []
        rng = random.Random(2)
        for layer in range(3):
            for q in range(n):
                ops.append(("ry", [rng.uniform(0, 3)], [q]))
            for q in range(layer % 2, n - 1, 2):
                ops.append(("cx", [], [q, q + 1]))
        build(c, ops)
        probs = probabilities(simulate(n, ops))
        for backend in ["sv", "mps"]:
            counts = run(c, backend=backend, shots=50000, seed=3).counts()
            assert chi_square_ok(counts, probs, n, 50000), backend


class TestBorrowRule:
    def test_builders_during_runs_fail_cleanly(self):
        """One thread runs a circuit while another keeps appending X gates.

        Every run must see some whole prefix of the appended gates: X gates on
        |0...0> give one basis state, so each histogram has exactly one key.
        A builder call either appends or raises "Already borrowed".
        """
        n = 18
        c = Circuit(n)
        for backend in ["sv", "stab", "mps"]:
            stop = threading.Event()
            refused = []
            appended = [0]
            failures = []

            def builder():
                rng = random.Random(1)
                while not stop.is_set():
                    try:
                        c.x(rng.randrange(n))
                        appended[0] += 1
                    except RuntimeError as e:
                        if str(e) != "Already borrowed":
                            failures.append(repr(e))
                        refused.append(1)

            thread = threading.Thread(target=builder)
            thread.start()
            try:
                for i in range(40):
                    counts = run(c, backend=backend, shots=16, seed=i).counts()
                    if len(counts) != 1 or list(counts.values()) != [16]:
                        failures.append(counts)
                    # Counts only read the circuit: allowed at any time.
                    assert c.num_gates >= 0
            finally:
                stop.set()
                thread.join()
            assert not failures
            assert appended[0] > 0
        assert refused, "no builder call ever met a running run"

    def test_no_borrow_remains_after_a_failed_run(self):
        c = Circuit(29)
        with pytest.raises(ValueError):
            run(c, backend="sv")
        c.h(0)
        with pytest.raises(TypeError):
            run(c, seed="x")
        c.h(1)
        assert c.num_gates == 2

    def test_concurrent_runs_share_the_circuit(self):
        c = Circuit(16)
        for q in range(16):
            c.h(q)
            c.t(q)
        results = []

        def worker(seed):
            results.append(run(c, backend="sv", shots=100, seed=seed).counts())

        threads = [threading.Thread(target=worker, args=(7,)) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(results) == 4 and all(r == results[0] for r in results)


def test_module_contents_in_order():
    names = [n for n in vars(nivra._native) if not n.startswith("__") or n == "__version__"]
    assert names == [
        "__version__", "version", "Circuit", "PauliSum", "hea_energy", "qaoa_energy", "RunResult", "run",
        "NoiseModel", "QuantumError", "depolarizing_error", "amplitude_damping_error", "phase_damping_error",
        "bit_flip_error", "phase_flip_error", "pauli_error", "qec",
    ]
    for cls in [nivra.Circuit, nivra.PauliSum, nivra.RunResult, nivra.NoiseModel, nivra.QuantumError]:
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__
