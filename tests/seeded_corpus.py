"""A corpus of seeded runs whose every bit is fixed, one hash per entry.

State-vector amplitudes and counts, mid-circuit measurements, alias-table
sampling with many shots at 18 to 22 qubits, noisy counts and energies, on
circuits rebuilt here from fixed seeds with the public API alone. The state
vector's amplitudes are sums of individually rounded products in a fixed
order, so every build on every processor, instruction set and thread count
gives these bits; the data file was taken on commit a114325 (the scalar
kernels) and test_seeded_corpus.py recomputes and compares it.

    PYTHONPATH=<site with nivra> python3 tests/seeded_corpus.py > tests/data/seeded-corpus.tsv

Each line is `key<TAB>value`: the value is a sha256 prefix of the result's
bytes (amplitudes as complex128, counts as "key count" lines) with a short
readable summary, or the exact hex form of an energy. Keys name the section
first (sv, mid, sampler, noisy, energy).
"""

import hashlib
import math
import os
import random
import sys
import tempfile

import numpy as np

import nivra

CLIFFORD_T_1Q = ["h", "x", "y", "z", "s", "sdg", "t", "tdg"]
INVERSE_1Q = {"s": "sdg", "sdg": "s", "t": "tdg", "tdg": "t"}
SELF_INVERSE_2Q = ["cx", "cz", "swap"]
ROTATIONS = ["rx", "ry", "rz", "p"]
CONTROLLED_ROTATIONS = ["crx", "cry", "crz", "cp"]
EXACT_ANGLES = [math.pi, -math.pi, math.pi / 2, -math.pi / 2, math.pi / 4]


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()[:16]


def state_value(state) -> str:
    """The amplitudes' hash, how many are exactly zero, and the sequential sum of their norms minus 1."""
    norms = state.real * state.real + state.imag * state.imag
    deviation = float(np.cumsum(norms)[-1]) - 1.0
    return f"{digest(state.tobytes())} zeros={int(np.count_nonzero(state == 0))} norm2-1={deviation:+.1e}"


def counts_value(counts) -> str:
    text = "".join(f"{key} {count}\n" for key, count in counts.items())
    return f"{digest(text.encode())} outcomes={len(counts)}"


# ---- Circuits, as lists of (method, arguments) -------------------------------


def random_ops(rng, n, gates, kind):
    """`gates` random gates: Clifford+T ("cliff_t"), or rotations with some exact angles ("rot")."""
    ops = []
    for _ in range(gates):
        r = rng.random()
        if n >= 3 and r < 0.05:
            ops.append((rng.choice(["ccx", "ccz"]), tuple(rng.sample(range(n), 3))))
        elif n >= 2 and r < 0.35:
            pair = tuple(rng.sample(range(n), 2))
            if kind == "rot" and rng.random() < 0.4:
                ops.append((rng.choice(CONTROLLED_ROTATIONS), (angle(rng),) + pair))
            else:
                ops.append((rng.choice(SELF_INVERSE_2Q + ["iswap"]), pair))
        elif kind == "rot" and r < 0.75:
            q = rng.randrange(n)
            if rng.random() < 0.15:
                ops.append(("u3", (angle(rng), rng.uniform(-3, 3), rng.uniform(-3, 3), q)))
            else:
                ops.append((rng.choice(ROTATIONS), (angle(rng), q)))
        else:
            ops.append((rng.choice(CLIFFORD_T_1Q), (rng.randrange(n),)))
    return ops


def angle(rng):
    return rng.choice(EXACT_ANGLES) if rng.random() < 0.3 else rng.uniform(-4, 4)


def inverse(ops):
    """The gates that undo `ops`, in reverse order."""
    out = []
    for name, args in reversed(ops):
        if name in INVERSE_1Q:
            out.append((INVERSE_1Q[name], args))
        elif name in ROTATIONS or name in CONTROLLED_ROTATIONS:
            out.append((name, (-args[0],) + args[1:]))
        elif name == "u3":
            theta, phi, lam, q = args
            out.append((name, (-theta, -lam, -phi, q)))
        elif name == "iswap":
            out.extend([(name, args)] * 3)
        else:
            out.append((name, args))
    return out


def build(n, ops, num_clbits=None):
    c = nivra.Circuit(n, num_clbits)
    for name, args in ops:
        if name == "barrier":
            c.barrier(list(range(n)))
        else:
            getattr(c, name)(*args)
    return c


def undone(rng, n, gates, kind):
    """Random gates, a barrier, their inverse, then a few more: mostly exact cancellations."""
    ops = random_ops(rng, n, gates, kind)
    return ops + [("barrier", ())] + inverse(ops) + random_ops(rng, n, max(2, gates // 8), "cliff_t")


def with_measurements(rng, n, ops, rate):
    out = []
    for op in ops:
        out.append(op)
        if rng.random() < rate:
            q = rng.randrange(n)
            out.append(("measure", (q, q)))
    return out


# ---- Sections ------------------------------------------------------------------


def sv_section():
    """Amplitudes and counts of random circuits on 1 to 20 qubits, some undone across a barrier."""
    rng = random.Random(2201)
    for n in range(1, 21):
        reps = 3 if n <= 12 else 1
        for kind in ("cliff_t", "rot"):
            for rep in range(reps):
                gates = min(8 * n + 12, 120)
                ops = undone(rng, n, gates // 2, kind) if rep == 2 else random_ops(rng, n, gates, kind)
                seed = rng.randrange(2**64)
                result = nivra.run(build(n, ops), shots=1000, backend="sv", seed=seed)
                key = f"sv/{kind}/n{n}/r{rep}"
                yield key + "/state", state_value(result.statevector())
                yield key + "/counts", counts_value(result.counts())


def mid_section():
    """Mid-circuit measurements; in the undone circuits many are certain and must draw nothing."""
    rng = random.Random(2202)
    for n in range(1, 13):
        for rep in range(4):
            kind = "rot" if rep % 2 else "cliff_t"
            gates = 6 * n + 6
            ops = undone(rng, n, gates // 2, kind) if rep >= 2 else random_ops(rng, n, gates, kind)
            ops = with_measurements(rng, n, ops, 0.08)
            seed = rng.randrange(2**64)
            result = nivra.run(build(n, ops), shots=500, backend="sv", seed=seed)
            key = f"mid/{kind}/n{n}/r{rep}"
            yield key + "/state", state_value(result.statevector())
            yield key + "/counts", counts_value(result.counts())
    # Undone H gates, then a measurement whose outcome is certain, then a fair coin.
    for seed in range(8):
        c = build(2, [("h", (0,)), ("barrier", ()), ("h", (0,)), ("measure", (0, 0)), ("h", (1,)), ("measure", (1, 1))])
        yield f"mid/certain/s{seed}", counts_value(nivra.run(c, shots=64, backend="sv", seed=seed).counts())


def layered(rng, n, layers, qubits):
    """Layers of random rotations on `qubits` with a random CX pairing each: a spread distribution there."""
    ops = []
    for _ in range(layers):
        for q in qubits:
            ops.append((rng.choice(["rx", "ry", "rz"]), (rng.uniform(-4, 4), q)))
        order = list(qubits)
        rng.shuffle(order)
        ops.extend(("cx", pair) for pair in zip(order[0::2], order[1::2]))
    return ops


def sampler_section():
    """Many shots at 18 to 22 qubits: spread distributions, and ones with most columns exactly zero."""
    rng = random.Random(2203)
    cases = [
        (18, layered(rng, 18, 6, range(18)), 1 << 23),
        (18, random_ops(rng, 18, 60, "cliff_t"), 1 << 22),
        (20, layered(rng, 20, 5, range(20)), 1 << 22),
        (20, layered(rng, 20, 4, range(6, 18)) + random_ops(rng, 20, 30, "cliff_t"), 1 << 22),
        (21, undone(rng, 21, 40, "rot"), 1 << 20),
        (22, layered(rng, 22, 4, range(22)), 1 << 21),
    ]
    for j, (n, ops, shots) in enumerate(cases):
        seed = rng.randrange(2**64)
        result = nivra.run(build(n, ops), shots=shots, backend="sv", seed=seed)
        key = f"sampler/n{n}/c{j}"
        yield key + "/state", state_value(result.statevector())
        yield key + "/counts", counts_value(result.counts())


def noisy_section():
    rng = random.Random(2204)
    for n in (1, 2, 3, 4, 6, 8):
        for kind in ("cliff_t", "rot"):
            ops = undone(rng, n, 3 * n + 3, kind) if n % 2 else random_ops(rng, n, 6 * n + 4, kind)
            model = nivra.NoiseModel()
            if n >= 2:
                model.add_all_qubit_quantum_error(nivra.depolarizing_error(0.03, 2), ["cx", "cz", "swap"])
            model.add_all_qubit_quantum_error(nivra.amplitude_damping_error(0.05), ["h", "rx", "ry"])
            model.add_all_qubit_quantum_error(nivra.phase_damping_error(0.04), ["rz", "t", "s"])
            model.add_all_qubit_quantum_error(nivra.pauli_error([("X", 0.02), ("Z", 0.03)]), ["x", "y", "tdg"])
            model.add_readout_error([[0.97, 0.03], [0.05, 0.95]], list(range(n)))
            seed = rng.randrange(2**64)
            counts = nivra.run(build(n, ops), shots=400, noise=model, seed=seed).counts()
            yield f"noisy/{kind}/n{n}", counts_value(counts)


def energy_section():
    rng = random.Random(2205)
    for n in (3, 4, 6, 8, 10):
        edges = sorted({tuple(sorted(rng.sample(range(n), 2))) for _ in range(2 * n)})
        layers = 1 + n % 3
        gammas = [rng.uniform(-2, 2) for _ in range(layers)]
        betas = [rng.uniform(-2, 2) for _ in range(layers)]
        yield f"energy/qaoa/n{n}", nivra.qaoa_energy(n, edges, gammas, betas, "sv").hex()
    terms = ["0.5 ZZIZ", "-0.25 XIXI", "0.125 YYZI", "1.5 IZII", "-0.75 XXYY", "0.3 IIIZ"]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "ham.txt")
        with open(path, "w") as f:
            f.write("\n".join(terms) + "\n")
        ham = nivra.PauliSum.load(path, 4)
        for depth in (1, 2, 4):
            thetas = [rng.uniform(-math.pi, math.pi) for _ in range(4 * (depth + 1))]
            yield f"energy/hea/d{depth}", nivra.hea_energy(4, depth, thetas, ham).hex()


SECTIONS = {
    "sv": sv_section,
    "mid": mid_section,
    "sampler": sampler_section,
    "noisy": noisy_section,
    "energy": energy_section,
}


def entries(section):
    return list(SECTIONS[section]())


if __name__ == "__main__":
    for name in SECTIONS:
        for key, value in entries(name):
            sys.stdout.write(f"{key}\t{value}\n")
