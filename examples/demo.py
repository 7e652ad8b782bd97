"""A tour of nivra: build a circuit, run it on each backend, decode a syndrome batch."""

import pathlib
import tempfile
import time

import numpy as np

import nivra
from nivra.qec import Decoder, DetectorErrorModel, decoder_names

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data"

print("nivra", nivra.__version__)


# --- Simulation: one circuit on every backend, OpenQASM input, noise, energies ---------

QASM = """OPENQASM 3.0;
include "stdgates.inc";
qubit[3] q;
h q[0];
cx q[0], q[1];
cx q[1], q[2];
"""


def simulate_demo():
    ghz = nivra.Circuit(3)
    ghz.h(0)
    ghz.cx(0, 1)
    ghz.cx(1, 2)

    result = nivra.run(ghz, backend="sv", shots=1000, seed=1)
    print("sv   ", result.counts())
    print("      amplitudes", np.round(result.statevector(), 3))
    print("stab ", nivra.run(ghz, backend="stab", shots=1000, seed=1).counts())
    print("mps  ", nivra.run(ghz, backend="mps", shots=1000, seed=1).counts())
    # "auto" sends a Clifford circuit to the stabilizer tableau, a wide shallow chain to the MPS.
    print("auto ", nivra.run(ghz, shots=1000, seed=1).counts())

    # The same state from OpenQASM. (A measurement inside a circuit collapses the state once;
    # the shots then all resample that collapsed state.)
    print("qasm ", nivra.run(nivra.Circuit.from_qasm(QASM), shots=1000, seed=2).counts())

    # A 40-qubit GHZ chain is out of reach of the state vector, not of the MPS.
    chain = nivra.Circuit(40)
    chain.h(0)
    for q in range(39):
        chain.cx(q, q + 1)
    chain.t(0)
    counts = nivra.run(chain, backend="mps", shots=1000, seed=3).counts()
    print("mps, 40 qubits", {key[:4] + ".." + key[-4:]: n for key, n in counts.items()})

    # Noisy trajectories: depolarizing noise after every CNOT, readout errors on every qubit.
    noise = nivra.NoiseModel()
    noise.add_all_qubit_quantum_error(nivra.depolarizing_error(0.05, 2), "cx")
    noise.add_readout_error([[0.98, 0.02], [0.05, 0.95]], [0, 1, 2])
    print("noisy", nivra.run(ghz, noise=noise, shots=1000, seed=4).counts())

    # Energies: QAOA Max-Cut on a 6-ring and a hardware-efficient ansatz under a Hamiltonian file.
    ring = [(q, (q + 1) % 6) for q in range(6)]
    for backend in ("sv", "mps"):
        print(f"QAOA Max-Cut energy ({backend})", round(nivra.qaoa_energy(6, ring, [0.4], [0.3], backend), 6))
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "h2.txt"
        path.write_text("# two-qubit Hamiltonian\n-1.05 II\n0.39 ZI\n0.39 IZ\n-0.01 ZZ\n0.18 XX\n")
        ham = nivra.PauliSum.load(str(path), 2)
        print("HEA energy", round(nivra.hea_energy(2, 1, [0.1, 0.2, 0.3, 0.4], ham), 6), f"({ham.num_terms()} terms)")


simulate_demo()


# --- Decoding: a distance-5 surface-code memory experiment -------------------------


def sample_detectors(dem, shots, seed):
    """Fires every error mechanism of `dem` independently with its probability;
    returns detector samples [shots, D] and observable flips [shots, O] (uint8)."""
    rng = np.random.default_rng(seed)
    dets = np.zeros((shots, dem.num_detectors), np.uint8)
    obs = np.zeros((shots, dem.num_observables), np.uint8)
    for line in dem.to_dem_string().splitlines():
        if not line.startswith("error("):
            continue
        close = line.index(")")
        fired = (rng.random(shots) < float(line[6:close])).view(np.uint8)
        for target in line[close + 1 :].split():
            if target != "^":
                flips = dets if target[0] == "D" else obs
                flips[:, int(target[1:])] ^= fired
    return dets, obs


def decode_demo():
    dem = DetectorErrorModel.from_file(DATA / "qec" / "surface_d5_p003.dem")
    print(dem)
    dets, obs = sample_detectors(dem, 20000, seed=7)
    print(f"{len(dets)} shots sampled, {dets.sum(axis=1).mean():.2f} detectors fired per shot")
    for name in decoder_names():
        decoder = Decoder(dem, name)
        # The belief-propagation family runs up to 100 iterations per shot: fewer shots.
        shots = 20000 if name in ("mwpm", "union-find", "union-find-weighted") else 2000
        start = time.perf_counter()
        predicted = decoder.decode_batch(dets[:shots])
        elapsed = time.perf_counter() - start
        failures = np.any(predicted != obs[:shots].astype(bool), axis=1)
        print(f"{name:<20} logical error rate {failures.mean():.4f}   {shots / elapsed:>10,.0f} shots/s")


decode_demo()
