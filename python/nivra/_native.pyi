"""The native core of nivra: circuits, simulation, noise, energies and (in `qec`) decoding."""

from typing import Sequence, final

import numpy as np
import numpy.typing as npt

from nivra import qec as qec

__version__: str

def version() -> str:
    """The package version."""

@final
class Circuit:
    """A quantum circuit under construction."""

    def __new__(cls, num_qubits: int, num_clbits: int | None = None) -> Circuit: ...
    def h(self, q: int) -> None:
        """Apply Hadamard to qubit `q`."""

    def x(self, q: int) -> None:
        """Apply Pauli-X to qubit `q`."""

    def y(self, q: int) -> None:
        """Apply Pauli-Y to qubit `q`."""

    def z(self, q: int) -> None:
        """Apply Pauli-Z to qubit `q`."""

    def s(self, q: int) -> None:
        """Apply S (square root of Z) to qubit `q`."""

    def sdg(self, q: int) -> None:
        """Apply S-dagger to qubit `q`."""

    def t(self, q: int) -> None:
        """Apply T (fourth root of Z) to qubit `q`."""

    def tdg(self, q: int) -> None:
        """Apply T-dagger to qubit `q`."""

    def rx(self, theta: float, q: int) -> None:
        """Apply Rx(`theta`) to qubit `q`."""

    def ry(self, theta: float, q: int) -> None:
        """Apply Ry(`theta`) to qubit `q`."""

    def rz(self, theta: float, q: int) -> None:
        """Apply Rz(`theta`) to qubit `q`."""

    def p(self, theta: float, q: int) -> None:
        """Apply the phase gate P(`theta`) to qubit `q`."""

    def u3(self, theta: float, phi: float, lam: float, q: int) -> None:
        """Apply U3(`theta`, `phi`, `lam`) to qubit `q`."""

    def cx(self, control: int, target: int) -> None:
        """Apply CNOT with `control` and `target`."""

    def cz(self, q0: int, q1: int) -> None:
        """Apply CZ to qubits `q0` and `q1`."""

    def swap(self, q0: int, q1: int) -> None:
        """Apply SWAP to qubits `q0` and `q1`."""

    def iswap(self, q0: int, q1: int) -> None:
        """Apply iSWAP to qubits `q0` and `q1`."""

    def crx(self, theta: float, control: int, target: int) -> None:
        """Apply controlled-Rx(`theta`) with `control` and `target`."""

    def cry(self, theta: float, control: int, target: int) -> None:
        """Apply controlled-Ry(`theta`) with `control` and `target`."""

    def crz(self, theta: float, control: int, target: int) -> None:
        """Apply controlled-Rz(`theta`) with `control` and `target`."""

    def cp(self, theta: float, control: int, target: int) -> None:
        """Apply controlled-phase P(`theta`) with `control` and `target`."""

    def ccx(self, c0: int, c1: int, target: int) -> None:
        """Apply Toffoli with controls `c0`, `c1` and `target`."""

    def ccz(self, q0: int, q1: int, q2: int) -> None:
        """Apply CCZ to qubits `q0`, `q1` and `q2`."""

    def measure(self, qubit: int, clbit: int) -> None:
        """Measure qubit `qubit` into classical bit `clbit`."""

    def barrier(self, qubits: Sequence[int]) -> None:
        """Add a barrier over `qubits` (a list of qubit indices)."""

    @property
    def num_qubits(self) -> int:
        """Number of qubits."""

    @property
    def num_clbits(self) -> int:
        """Number of classical bits."""

    @property
    def num_gates(self) -> int:
        """Number of gate instructions (measurements, resets and barriers excluded)."""

    @staticmethod
    def from_qasm(source: str) -> Circuit:
        """Parse an OpenQASM 3.0 program into a new circuit."""

    @staticmethod
    def from_qasm_file(path: str) -> Circuit:
        """Read an OpenQASM 3.0 file and parse it into a new circuit."""

@final
class PauliSum:
    """A weighted sum of Pauli strings (load it with `PauliSum.load`)."""

    @staticmethod
    def load(path: str, n_qubits: int) -> PauliSum:
        """Read a Pauli-sum file (`<coeff> <pauli>` per line, `#` comments) for `n_qubits` qubits."""

    def num_terms(self) -> int:
        """The number of terms."""

def hea_energy(n_qubits: int, depth: int, thetas: Sequence[float], ham: PauliSum) -> float:
    """<psi|ham|psi> for the hardware-efficient ansatz: `depth` layers of Ry(`thetas`) and a CNOT chain, then a
    final Ry layer (n_qubits*(depth+1) angles), on the state vector."""

def qaoa_energy(
    n_qubits: int, edges: Sequence[tuple[int, int]], gammas: Sequence[float], betas: Sequence[float], backend: str
) -> float:
    """The Max-Cut energy <psi|C|psi> of the QAOA circuit for the graph `edges` (a list of (a, b) tuples),
    one layer per (gamma, beta) pair, on `backend` "sv" or "mps"."""

@final
class RunResult:
    """The histogram of a run and, on the "sv" path, its final state."""

    def counts(self) -> dict[str, int]:
        """The histogram as a dict from bit string (qubit 0 rightmost) to shot count."""

    def statevector(self) -> npt.NDArray[np.complex128]:
        """The final amplitudes as a complex128 array of length 2**num_qubits (amplitude i has qubit q equal to bit q of i)."""

def run(
    circuit: Circuit,
    *,
    shots: int = 1024,
    backend: str = "auto",
    precision: str = "auto",
    seed: int | None = None,
    noise: NoiseModel | None = None,
) -> RunResult:
    """Run `circuit` once on one backend and sample the final state `shots` times.

    `backend` is "auto", "statevector"/"sv", "stabilizer"/"stab" or "mps"; a `seed` makes the run
    reproducible. With a `noise` model each shot is a noisy state-vector trajectory. The interpreter lock is
    released while the run executes; a Ctrl-C meanwhile is raised when the run returns."""

@final
class NoiseModel:
    """Attaches error channels to gates/qubits; pass it to `run(noise=)` for noisy state-vector trajectories."""

    def __new__(cls) -> NoiseModel: ...
    def add_quantum_error(self, err: QuantumError, gates: str | Sequence[str], qubits: Sequence[int]) -> None:
        """Attach `err` to `gates` (str or list[str]) acting on exactly the `qubits` tuple, in order. Gate names are
        mnemonics (h, cx, rz, ...), case-insensitive, translated to gate kinds."""

    def add_all_qubit_quantum_error(self, err: QuantumError, gates: str | Sequence[str]) -> None:
        """Attach `err` to `gates` (str or list[str]) on whichever qubits each gate acts on."""

    def add_readout_error(self, probs: Sequence[Sequence[float]], qubit: int | Sequence[int]) -> None:
        """Attach a per-qubit readout error. `probs` is the 2×2 confusion matrix
        `[[P(0|0), P(1|0)], [P(0|1), P(1|1)]]`; `qubit` is an int or list[int]."""

@final
class QuantumError:
    """Opaque CPTP error channel (the result of an error factory)."""

    @property
    def arity(self) -> int:
        """Number of qubits this channel acts on (1 or 2)."""

def depolarizing_error(p: float, num_qubits: int = 1) -> QuantumError:
    """Depolarizing channel on `num_qubits` (1 or 2) with total error prob `p`."""

def amplitude_damping_error(gamma: float) -> QuantumError:
    """Amplitude damping channel with decay `gamma` (0..=1)."""

def phase_damping_error(lam: float) -> QuantumError:
    """Phase damping (dephasing) channel with `lam` (0..=1)."""

def bit_flip_error(p: float) -> QuantumError:
    """Bit-flip channel: X with probability `p`, identity otherwise."""

def phase_flip_error(p: float) -> QuantumError:
    """Phase-flip channel: Z with probability `p`, identity otherwise."""

def pauli_error(terms: Sequence[tuple[str, float]]) -> QuantumError:
    """Single-qubit Pauli channel from `[(label, prob), ...]`; labels are
    "I"/"X"/"Y"/"Z". Weights are renormalized. 1q only — for 2-qubit Pauli
    noise use `depolarizing_error(p, 2)`."""
