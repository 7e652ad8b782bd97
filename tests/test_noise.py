"""NoiseModel, QuantumError, the error factories and noisy runs."""

import math
import os
import subprocess
import sys
import threading

import pytest

import nivra
from nivra import (
    Circuit,
    NoiseModel,
    QuantumError,
    amplitude_damping_error,
    bit_flip_error,
    depolarizing_error,
    pauli_error,
    phase_damping_error,
    phase_flip_error,
    run,
)

SUPPORTED = (
    "supported: h,x,y,z,s,sdg,t,tdg,rx,ry,rz,p/phase,u/u3,cx/cnot,cz,swap,iswap,crx,cry,crz,ccx/toffoli,ccz "
    "(nivra has no 'id'/idle gate)"
)
SHOTS = 40000


def within(count, p, shots=SHOTS, z=5.0):
    """The count is within z standard deviations of shots * p."""
    return abs(count - shots * p) <= z * math.sqrt(shots * p * (1 - p)) + 1


def ones(counts, qubit):
    """Shots whose bit `qubit` (rightmost = 0) is 1."""
    return sum(v for k, v in counts.items() if k[len(k) - 1 - qubit] == "1")


class TestFactories:
    def test_range_messages(self):
        cases = [
            (bit_flip_error, "bit_flip p must be in [0,1], got "),
            (phase_flip_error, "phase_flip p must be in [0,1], got "),
            (amplitude_damping_error, "gamma must be in [0,1], got "),
            (phase_damping_error, "lambda must be in [0,1], got "),
            (depolarizing_error, "depolarizing p must be in [0,1], got "),
        ]
        for factory, message in cases:
            for bad, shown in [(1.5, "1.5"), (-0.25, "-0.25"), (2, "2"), (float("nan"), "NaN"), (1e21, "1000000000000000000000")]:
                with pytest.raises(ValueError) as err:
                    factory(bad)
                assert str(err.value) == message + shown
            for good in [0, 0.0, 1, 0.3, True]:
                assert isinstance(factory(good), QuantumError)

    def test_depolarizing_arguments(self):
        with pytest.raises(ValueError, match=r"^depolarizing num_qubits must be 1 or 2, got 3$"):
            depolarizing_error(0.5, 3)
        with pytest.raises(ValueError, match=r"^depolarizing num_qubits must be 1 or 2, got 0$"):
            depolarizing_error(0.5, num_qubits=0)
        # The probability is checked before the qubit count, after both conversions.
        with pytest.raises(ValueError, match=r"^depolarizing p must be in \[0,1\], got 2$"):
            depolarizing_error(2, 3)
        with pytest.raises(OverflowError):
            depolarizing_error(2, 300)
        with pytest.raises(OverflowError):
            depolarizing_error(0.1, -1)
        with pytest.raises(TypeError, match="argument 'num_qubits'"):
            depolarizing_error(0.1, 1.0)
        with pytest.raises(TypeError, match="argument 'p'"):
            depolarizing_error("0.1")
        with pytest.raises(TypeError, match="argument 'gamma'"):
            amplitude_damping_error(None)
        with pytest.raises(TypeError, match="argument 'lam'"):
            phase_damping_error([0.1])

    def test_arity(self):
        assert depolarizing_error(0.1, 2).arity == 2
        assert depolarizing_error(0.1).arity == 1
        assert amplitude_damping_error(0.2).arity == 1
        assert phase_damping_error(0.2).arity == 1
        assert bit_flip_error(0.2).arity == 1
        assert pauli_error([("X", 1)]).arity == 1

    def test_pauli_error_checks(self):
        with pytest.raises(ValueError, match=r"^pauli_error needs at least one term$"):
            pauli_error([])
        with pytest.raises(ValueError) as err:
            pauli_error([("I", 0.5), ("x", 0.5)])
        assert str(err.value) == (
            'pauli_error label "x" must be one of I,X,Y,Z (1q only); use depolarizing_error(p, 2) for 2-qubit noise'
        )
        with pytest.raises(ValueError, match=r'^pauli_error label "XX" must be one of'):
            pauli_error([("XX", 1.0)])
        with pytest.raises(ValueError) as err:
            pauli_error([("X", -1)])
        assert str(err.value) == 'pauli_error weight for "X" must be finite and >= 0, got -1'
        with pytest.raises(ValueError, match=r'^pauli_error weight for "Z" must be finite and >= 0, got inf$'):
            pauli_error([("Z", float("inf"))])
        with pytest.raises(ValueError, match=r'^pauli_error weight for "Y" must be finite and >= 0, got NaN$'):
            pauli_error([("Y", float("nan"))])
        # Labels are checked term by term, each before its weight.
        with pytest.raises(ValueError, match=r'^pauli_error label "Q"'):
            pauli_error([("X", -1), ("Q", 1)][::-1])
        with pytest.raises(ValueError, match=r"^pauli_error weights must sum to > 0$"):
            pauli_error([("I", 0), ("X", -0.0)])
        with pytest.raises(ValueError, match=r"^pauli_error weights overflow to non-finite; use normalized values$"):
            pauli_error([("X", 1e308), ("Z", 1e308)])

    def test_pauli_error_conversion(self):
        for bad in ["XI", [["X", 1.0]], [("X", 1.0, 2)], [("X",)], [(1, 1.0)], [("X", "1")], 5]:
            with pytest.raises(TypeError, match="argument 'terms'"):
                pauli_error(bad)
        assert pauli_error((("X", 1), ("I", 3))).arity == 1

    def test_quantum_error_is_opaque(self):
        with pytest.raises(TypeError):
            QuantumError()
        assert QuantumError.__doc__ == "Opaque CPTP error channel (the result of an error factory)."
        assert QuantumError.arity.__doc__ == "Number of qubits this channel acts on (1 or 2)."
        with pytest.raises(AttributeError):
            bit_flip_error(0.1).arity = 2


class TestNoiseModel:
    def test_construction(self):
        assert NoiseModel.__text_signature__ == "()"
        with pytest.raises(TypeError):
            NoiseModel(1)
        with pytest.raises(TypeError):
            NoiseModel(x=1)

    def test_mnemonics_are_case_insensitive(self):
        m = NoiseModel()
        m.add_all_qubit_quantum_error(bit_flip_error(1.0), "CX")
        c = Circuit(2)
        c.cx(0, 1)
        # The channel on Cnot flips qubit 0 (its first target) every time.
        assert run(c, noise=m, shots=50, seed=1).counts() == {"01": 50}

    def test_unknown_names(self):
        m = NoiseModel()
        with pytest.raises(ValueError) as err:
            m.add_all_qubit_quantum_error(bit_flip_error(0.1), "id")
        assert str(err.value) == 'unknown gate name "id"; ' + SUPPORTED
        with pytest.raises(ValueError, match=r'^unknown gate name "Bogus\\t"; supported'):
            m.add_quantum_error(bit_flip_error(0.1), ["h", "Bogus\t"], [0])

    def test_failed_attach_changes_nothing(self):
        m = NoiseModel()
        with pytest.raises(ValueError, match="unknown gate name"):
            m.add_quantum_error(bit_flip_error(1.0), ["h", "bogus"], (0,))
        with pytest.raises(ValueError, match="unknown gate name"):
            m.add_all_qubit_quantum_error(bit_flip_error(1.0), ["x", "bogus"])
        c = Circuit(1)
        c.h(0)
        c.h(0)
        c.x(0)
        # Had either attached, the bit would be flipped at least once.
        assert run(c, noise=m, shots=100, seed=3).counts() == {"1": 100}

    def test_gates_and_qubits_arguments(self):
        m = NoiseModel()
        err = bit_flip_error(0.1)
        for bad in [1, b"h", [1], ["h", None], None, "\ud800", ["h", "\ud800"]]:
            with pytest.raises(ValueError, match=r"^gates must be a str or list\[str\]$"):
                m.add_all_qubit_quantum_error(err, bad)
        with pytest.raises(TypeError, match="argument 'qubits'"):
            m.add_quantum_error(err, "h", 0)
        with pytest.raises(TypeError, match="argument 'qubits'"):
            m.add_quantum_error(err, "h", "0")
        with pytest.raises(OverflowError):
            m.add_quantum_error(err, "h", [-1])
        with pytest.raises(TypeError, match="argument 'err'"):
            m.add_quantum_error(0.1, "h", [0])
        with pytest.raises(TypeError, match="argument 'err'"):
            m.add_all_qubit_quantum_error(NoiseModel(), "h")
        # Order: err, then qubits, then gates.
        with pytest.raises(TypeError, match="argument 'err'"):
            m.add_quantum_error(None, 5, 0)
        with pytest.raises(TypeError, match="argument 'qubits'"):
            m.add_quantum_error(err, 5, 0)
        m.add_quantum_error(err, ("h", "x"), (0,))

    def test_readout_checks(self):
        m = NoiseModel()
        with pytest.raises(ValueError) as err:
            m.add_readout_error([[0.9, 0.1], [0.25, 0.5]], 0)
        assert str(err.value) == "readout row 1 must sum to 1, got 0.75"
        two_by_two = "readout probs must be a 2x2 matrix [[P(0|0),P(1|0)],[P(0|1),P(1|1)]]"
        for bad in [[[0.9, 0.1]], [[1, 0], [0, 1], [1, 0]], [[1, 0, 0], [0, 1]], [[1], [0, 1]], []]:
            with pytest.raises(ValueError) as err:
                m.add_readout_error(bad, 0)
            assert str(err.value) == two_by_two
        with pytest.raises(ValueError, match=r"^readout probability 1.5 \(row 0\) must be in \[0,1\]$"):
            m.add_readout_error([[1.5, -0.5], [0, 1]], 0)
        with pytest.raises(ValueError, match=r"^readout probability NaN \(row 1\) must be in \[0,1\]$"):
            m.add_readout_error([[1, 0], [0.5, float("nan")]], 0)
        # Each row's entries are checked before its sum, row 0 before row 1.
        with pytest.raises(ValueError, match=r"^readout row 0 must sum to 1, got 0.5$"):
            m.add_readout_error([[0.25, 0.25], [2, 0]], 0)
        with pytest.raises(TypeError, match="argument 'probs'"):
            m.add_readout_error("ab", 0)
        with pytest.raises(TypeError, match="argument 'probs'"):
            m.add_readout_error([[1, "0"], [0, 1]], 0)
        for bad in [-1, "0", [0, -1], 1.0, None, 2**32]:
            with pytest.raises(ValueError, match=r"^qubit must be an int or list\[int\]$"):
                m.add_readout_error([[1, 0], [0, 1]], bad)
        # The matrix is checked before the qubit.
        with pytest.raises(ValueError, match="2x2"):
            m.add_readout_error([[1, 0]], "bad")
        m.add_readout_error([[1, 0], [0, 1]], 0)
        m.add_readout_error([[1, 0], [0, 1]], [0, 1, 2])
        m.add_readout_error([[1, 0], [0, 1]], [])
        m.add_readout_error([[1 - 1e-10, 1e-10], [0, 1]], (1,))


class TestNoisyRuns:
    def test_backend_restriction(self):
        c = Circuit(1)
        c.h(0)
        m = NoiseModel()
        for name in ["mps", "gpu", "stab", "stabilizer", "cuda"]:
            with pytest.raises(ValueError) as err:
                run(c, noise=m, backend=name)
            assert str(err.value) == f'noise is only supported on the "sv" backend, got "{name}"'
        for name in ["auto", "sv", "statevector"]:
            assert sum(run(c, noise=m, backend=name, shots=10, seed=1).counts().values()) == 10

    def test_noisy_runs_have_no_state_and_repeat_with_a_seed(self):
        c = Circuit(3)
        c.h(0)
        c.cx(0, 1)
        c.cx(1, 2)
        m = NoiseModel()
        m.add_all_qubit_quantum_error(depolarizing_error(0.2), ["h"])
        m.add_all_qubit_quantum_error(depolarizing_error(0.1, 2), ["cx"])
        first = run(c, noise=m, shots=3000, seed=77)
        assert run(c, noise=m, shots=3000, seed=77).counts() == first.counts()
        assert run(c, noise=m, shots=3000, seed=78).counts() != first.counts()
        assert list(first.counts()) == sorted(first.counts())
        with pytest.raises(ValueError, match=r'^statevector is only available on the "sv"'):
            first.statevector()
        assert run(c, noise=m, shots=0, seed=1).counts() == {}
        # A 0-qubit circuit has the one outcome 0, written "0".
        assert run(Circuit(0), noise=NoiseModel(), shots=5, seed=1).counts() == {"0": 5}

    def test_mid_circuit_measure(self):
        c = Circuit(1)
        c.h(0)
        c.measure(0, 0)
        with pytest.raises(ValueError) as err:
            run(c, noise=NoiseModel(), seed=1)
        assert str(err.value) == (
            "run noisy: mid-circuit measure is not supported under noise in v1 (terminal measurement only)"
        )

    def test_channel_arity_and_backend_errors(self):
        c = Circuit(2)
        c.h(0)
        m = NoiseModel()
        m.add_all_qubit_quantum_error(depolarizing_error(0.1, 2), "h")
        with pytest.raises(ValueError, match=r"^run noisy: noise channel acts on 2 qubits but gate `H` has 1 target$"):
            run(c, noise=m)
        with pytest.raises(ValueError, match=r"^run noisy: requested 29 qubits exceeds backend limit of 28$"):
            run(Circuit(29), noise=NoiseModel())

    def test_bit_flip_statistics(self):
        c = Circuit(1)
        c.x(0)
        m = NoiseModel()
        m.add_all_qubit_quantum_error(bit_flip_error(0.3), "x")
        counts = run(c, noise=m, shots=SHOTS, seed=5).counts()
        assert within(counts.get("0", 0), 0.3)

    def test_depolarizing_statistics(self):
        # After X: X and Y terms (p/4 each) flip |1> back to |0>.
        c = Circuit(1)
        c.x(0)
        m = NoiseModel()
        m.add_all_qubit_quantum_error(depolarizing_error(0.4), "x")
        counts = run(c, noise=m, shots=SHOTS, seed=6).counts()
        assert within(counts.get("0", 0), 0.2)

    def test_two_qubit_depolarizing_statistics(self):
        # 16 terms: the identity 1 - 15p/16, the others p/16. Outcome 00 needs
        # both factors in {I, Z}; qubit 0 flips with an X or Y on target 0.
        p = 0.4
        c = Circuit(2)
        c.cx(0, 1)
        m = NoiseModel()
        m.add_quantum_error(depolarizing_error(p, 2), "cx", [0, 1])
        counts = run(c, noise=m, shots=SHOTS, seed=7).counts()
        assert within(counts.get("00", 0), 1 - 3 * p / 4)
        assert within(ones(counts, 0), p / 2)
        assert within(ones(counts, 1), p / 2)
        # Attached to the reversed qubit pair, it never fires on cx(0, 1).
        other = NoiseModel()
        other.add_quantum_error(depolarizing_error(p, 2), "cx", [1, 0])
        assert run(c, noise=other, shots=1000, seed=7).counts() == {"00": 1000}

    def test_damping_statistics(self):
        gamma, lam = 0.35, 0.6
        c = Circuit(1)
        c.x(0)
        m = NoiseModel()
        m.add_all_qubit_quantum_error(amplitude_damping_error(gamma), "x")
        assert within(run(c, noise=m, shots=SHOTS, seed=8).counts().get("0", 0), gamma)
        # Dephasing between two H gates: P(1) = (1 - sqrt(1 - lam)) / 2.
        c = Circuit(1)
        c.h(0)
        c.h(0)
        m = NoiseModel()
        m.add_quantum_error(phase_damping_error(lam), "h", [0])
        # The channel follows both H gates; the second acts on a basis state and changes nothing.
        assert within(run(c, noise=m, shots=SHOTS, seed=9).counts().get("1", 0), (1 - math.sqrt(1 - lam)) / 2)

    def test_phase_flip_and_pauli_statistics(self):
        c = Circuit(1)
        c.h(0)
        c.z(0)
        c.h(0)
        m = NoiseModel()
        m.add_all_qubit_quantum_error(phase_flip_error(0.25), "z")
        # Z . Z = I flips |1> to |0> with probability 0.25.
        assert within(run(c, noise=m, shots=SHOTS, seed=10).counts().get("0", 0), 0.25)
        c = Circuit(1)
        c.x(0)
        m = NoiseModel()
        m.add_all_qubit_quantum_error(pauli_error([("I", 2), ("X", 1), ("Y", 1), ("Z", 4)]), "X")
        assert within(run(c, noise=m, shots=SHOTS, seed=11).counts().get("0", 0), 0.25)

    def test_readout_statistics(self):
        c = Circuit(2)
        c.x(0)
        m = NoiseModel()
        m.add_readout_error([[0.9, 0.1], [0.2, 0.8]], [0, 1])
        counts = run(c, noise=m, shots=SHOTS, seed=12).counts()
        assert within(SHOTS - ones(counts, 0), 0.2)
        assert within(ones(counts, 1), 0.1)
        # A later readout error for the same qubit replaces the earlier one.
        m.add_readout_error([[1, 0], [0, 1]], 0)
        m.add_readout_error([[1, 0], [0, 1]], 1)
        assert run(c, noise=m, shots=100, seed=12).counts() == {"01": 100}

    def test_controlled_phase_matches_phase_channels(self):
        c = Circuit(2)
        c.cp(0.3, 0, 1)
        m = NoiseModel()
        m.add_quantum_error(bit_flip_error(1.0), "phase", [1])
        assert run(c, noise=m, shots=20, seed=1).counts() == {"10": 20}

    def test_seed_is_independent_of_thread_count(self):
        script = (
            "import nivra\n"
            "c = nivra.Circuit(6)\n"
            "for q in range(6): c.h(q); c.rx(0.3 * q, q)\n"
            "for q in range(5): c.cx(q, q + 1)\n"
            "m = nivra.NoiseModel()\n"
            "m.add_all_qubit_quantum_error(nivra.depolarizing_error(0.05), ['h', 'rx'])\n"
            "m.add_all_qubit_quantum_error(nivra.amplitude_damping_error(0.05), 'rx')\n"
            "m.add_all_qubit_quantum_error(nivra.depolarizing_error(0.1, 2), 'cx')\n"
            "m.add_readout_error([[0.97, 0.03], [0.05, 0.95]], list(range(6)))\n"
            "print(sorted(nivra.run(c, noise=m, shots=5000, seed=2024).counts().items()))\n"
        )
        outputs = []
        for threads in ["1", None]:
            env = dict(os.environ)
            env.pop("RAYON_NUM_THREADS", None)
            if threads is not None:
                env["RAYON_NUM_THREADS"] = threads
            done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
            assert done.stderr == ""
            outputs.append(done.stdout)
        assert outputs[0] == outputs[1] and outputs[0].startswith("[(")

    def test_model_is_borrowed_during_a_noisy_run(self):
        c = Circuit(14)
        for q in range(14):
            c.h(q)
            c.rx(0.1, q)
        m = NoiseModel()
        m.add_all_qubit_quantum_error(depolarizing_error(0.01), "rx")
        stop = threading.Event()
        seen = []
        failures = []

        def mutator():
            while not stop.is_set():
                try:
                    m.add_readout_error([[1, 0], [0, 1]], 0)
                except RuntimeError as e:
                    seen.append(str(e))

        thread = threading.Thread(target=mutator)
        thread.start()
        try:
            for i in range(10):
                counts = run(c, noise=m, shots=200, seed=i).counts()
                if sum(counts.values()) != 200:
                    failures.append(counts)
        finally:
            stop.set()
            thread.join()
        assert not failures
        assert seen and set(seen) == {"Already borrowed"}


def test_exports():
    for name in ["NoiseModel", "QuantumError", "depolarizing_error", "pauli_error"]:
        assert getattr(nivra, name) is getattr(nivra._native, name)
