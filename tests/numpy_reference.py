"""A tiny dense reference simulator in NumPy, written from the textbook gate
definitions, used to check nivra's results independently of its own code.

Basis index i holds qubit q in bit q (qubit 0 least significant). A gate on
targets (a, b, ...) uses the matrix whose row/column index has the first
target as its most significant bit.
"""

import cmath
import math
import random

import numpy as np

I2 = np.eye(2, dtype=complex)
X = np.array([[0, 1], [1, 0]], dtype=complex)
Y = np.array([[0, -1j], [1j, 0]], dtype=complex)
Z = np.array([[1, 0], [0, -1]], dtype=complex)
H = np.array([[1, 1], [1, -1]], dtype=complex) / math.sqrt(2)
S = np.diag([1, 1j])
T = np.diag([1, cmath.exp(1j * math.pi / 4)])


def rx(t):
    c, s = math.cos(t / 2), math.sin(t / 2)
    return np.array([[c, -1j * s], [-1j * s, c]])


def ry(t):
    c, s = math.cos(t / 2), math.sin(t / 2)
    return np.array([[c, -s], [s, c]], dtype=complex)


def rz(t):
    return np.diag([cmath.exp(-1j * t / 2), cmath.exp(1j * t / 2)])


def phase(t):
    return np.diag([1, cmath.exp(1j * t)])


def u3(t, p, l):
    c, s = math.cos(t / 2), math.sin(t / 2)
    return np.array([[c, -cmath.exp(1j * l) * s], [cmath.exp(1j * p) * s, cmath.exp(1j * (p + l)) * c]])


def controlled(u):
    """|0><0| ⊗ I + |1><1| ⊗ u, the control being the first (most significant) target."""
    k = u.shape[0]
    m = np.eye(2 * k, dtype=complex)
    m[k:, k:] = u
    return m


SWAP = np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]], dtype=complex)
ISWAP = np.array([[1, 0, 0, 0], [0, 0, 1j, 0], [0, 1j, 0, 0], [0, 0, 0, 1]], dtype=complex)
CCZ = np.diag([1, 1, 1, 1, 1, 1, 1, -1]).astype(complex)

# name -> (number of angles, number of qubits, matrix builder over the angles).
# `cp` is Phase on the target under the control, i.e. controlled(phase) on (control, target).
GATES = {
    "h": (0, 1, lambda: H),
    "x": (0, 1, lambda: X),
    "y": (0, 1, lambda: Y),
    "z": (0, 1, lambda: Z),
    "s": (0, 1, lambda: S),
    "sdg": (0, 1, lambda: S.conj().T),
    "t": (0, 1, lambda: T),
    "tdg": (0, 1, lambda: T.conj().T),
    "rx": (1, 1, rx),
    "ry": (1, 1, ry),
    "rz": (1, 1, rz),
    "p": (1, 1, phase),
    "u3": (3, 1, u3),
    "cx": (0, 2, lambda: controlled(X)),
    "cz": (0, 2, lambda: controlled(Z)),
    "swap": (0, 2, lambda: SWAP),
    "iswap": (0, 2, lambda: ISWAP),
    "crx": (1, 2, lambda t: controlled(rx(t))),
    "cry": (1, 2, lambda t: controlled(ry(t))),
    "crz": (1, 2, lambda t: controlled(rz(t))),
    "cp": (1, 2, lambda t: controlled(phase(t))),
    "ccx": (0, 3, lambda: controlled(controlled(X))),
    "ccz": (0, 3, lambda: CCZ),
}

CLIFFORD_GATES = ["h", "x", "y", "z", "s", "sdg", "cx", "cz", "swap", "iswap"]


def zero_state(n):
    psi = np.zeros(2**n, dtype=complex)
    psi[0] = 1
    return psi


def apply(psi, n, matrix, targets):
    """Applies `matrix` to `targets` (first target = most significant matrix bit)."""
    k = len(targets)
    tensor = psi.reshape([2] * n)
    # Axis a of the C-ordered reshape is qubit n - 1 - a.
    axes = [n - 1 - q for q in targets]
    gate = matrix.reshape([2] * (2 * k))
    moved = np.tensordot(gate, tensor, axes=(list(range(k, 2 * k)), axes))
    return np.moveaxis(moved, list(range(k)), axes).reshape(-1)


def simulate(n, ops):
    """The state after `ops`, a list of (name, angles, qubits)."""
    psi = zero_state(n)
    for name, angles, qubits in ops:
        psi = apply(psi, n, GATES[name][2](*angles), qubits)
    return psi


def pauli_matrix_expectation(psi, n, term):
    """<psi| coeff * P |psi> for term = (coeff, pauli text), character i acting on qubit i."""
    coeff, text = term
    phi = psi
    for q, c in enumerate(text):
        if c != "I":
            phi = apply(phi, n, {"X": X, "Y": Y, "Z": Z}[c], [q])
    return coeff * float(np.vdot(psi, phi).real)


def random_ops(rng: random.Random, n, count, names=None):
    """`count` random gates over `n` qubits drawn from `names` (default: every builder that fits)."""
    names = [g for g in (names or GATES) if GATES[g][1] <= n]
    ops = []
    for _ in range(count):
        name = rng.choice(names)
        n_angles, n_qubits, _ = GATES[name]
        angles = [rng.uniform(-math.pi, math.pi) for _ in range(n_angles)]
        qubits = rng.sample(range(n), n_qubits)
        ops.append((name, angles, qubits))
    return ops


def build(circuit, ops):
    """Appends `ops` to a nivra Circuit through its builders."""
    for name, angles, qubits in ops:
        getattr(circuit, name)(*angles, *qubits)
    return circuit


def probabilities(psi):
    return np.abs(psi) ** 2


def key(index, n):
    return format(index, "b").zfill(n)


def chi_square_ok(counts, probs, n, shots, z=6.0):
    """True when the histogram is compatible with the exact distribution: every
    outcome's count within z standard deviations of its mean, and no outcome of
    zero probability observed."""
    for index, p in enumerate(probs):
        observed = counts.get(key(index, n), 0)
        mean = shots * p
        sigma = math.sqrt(shots * p * (1 - p))
        if p < 1e-12:
            if observed != 0:
                return False
        elif abs(observed - mean) > z * sigma + 1:
            return False
    return sum(counts.values()) == shots
