"""Timings of nivra.run() on its hot paths, as a Python caller sees them.

    python3 bench/run_bench.py [--quick]
    python3 bench/run_bench.py --small [--sites OLD_SITE NEW_SITE --rounds 5]

Each case is built once and run a few times; the median wall time is printed.
The stabilizer path samples at most 64 qubits, so a 1000-qubit Clifford
circuit is refused before simulating (its time is that of the refusal); the
stabilizer cases that run use 64 qubits.

--small times small runs instead, where the fixed costs of a run show: the
stabilizer and the state vector at 2 to 10 qubits, 1000 shots, a brickwork of
depth 4 (Clifford for the stabilizer), the best per-run time of repeated runs.
With --sites the builds alternate in fresh interpreters (bench/sites.py).
"""

import argparse
import json
import os
import random
import statistics
import sys
import time

import sites

try:
    import nivra
except ImportError:  # a --sites parent needs no build of its own
    nivra = None


def random_circuit(n, depth, rng):
    """`depth` layers of random one-qubit rotations followed by a brickwork of CNOTs and CZs."""
    c = nivra.Circuit(n)
    for layer in range(depth):
        for q in range(n):
            getattr(c, rng.choice(["rx", "ry", "rz"]))(rng.uniform(-3, 3), q)
        for q in range(layer % 2, n - 1, 2):
            (c.cx if rng.random() < 0.5 else c.cz)(q, q + 1)
    return c


def random_long_range_circuit(n, gates, rng):
    c = nivra.Circuit(n)
    for _ in range(gates):
        r = rng.random()
        if r < 0.2:
            getattr(c, rng.choice(["h", "t"]))(rng.randrange(n))
        elif r < 0.5:
            getattr(c, rng.choice(["rx", "ry", "rz"]))(rng.uniform(-3, 3), rng.randrange(n))
        else:
            a, b = rng.sample(range(n), 2)
            c.cx(a, b)
    return c


def clifford_circuit(n, gates, rng):
    c = nivra.Circuit(n)
    for _ in range(gates):
        name = rng.choice(["h", "s", "x", "cx", "cz", "swap"])
        if name in ("cx", "cz", "swap"):
            a, b = rng.sample(range(n), 2)
            getattr(c, name)(a, b)
        else:
            getattr(c, name)(rng.randrange(n))
    return c


def build_with_builders(n, rounds):
    """`rounds` passes of every gate builder shape: no angle, one, three; one, two and three qubits."""
    c = nivra.Circuit(n)
    for r in range(rounds):
        q = r % (n - 2)
        c.h(q)
        c.t(q + 1)
        c.rx(0.25, q)
        c.u3(0.1, 0.2, 0.3, q + 2)
        c.cx(q, q + 1)
        c.crz(0.5, q + 1, q + 2)
        c.ccx(q, q + 1, q + 2)
        c.cp(0.75, q + 2, q)
    return c


def timed(label, fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    print(f"{label:<62} {statistics.median(times) * 1e3:10.1f} ms  (median of {repeat})")
    return result


def refused(fn):
    try:
        fn()
    except ValueError as e:
        return str(e)
    raise AssertionError("expected a refusal")


def small_circuit(n, clifford):
    """H on every qubit, then 4 layers of CNOT brickwork and one-qubit gates (S, or RZ and RY)."""
    c = nivra.Circuit(n)
    for q in range(n):
        c.h(q)
    for layer in range(4):
        for q in range(layer % 2, n - 1, 2):
            c.cx(q, q + 1)
        for q in range(n):
            if clifford:
                c.s(q)
            else:
                c.rz(0.1 * (q + layer + 1), q)
                c.ry(0.2 * (q + 1), q)
    return c


def small_runs(quick):
    """{case: best microseconds per run}."""
    out = {}
    runs = 50 if quick else 400
    for backend in ("stab", "sv"):
        for n in (2, 4, 6, 8, 10):
            c = small_circuit(n, backend == "stab")
            for _ in range(20):
                nivra.run(c, shots=1000, backend=backend, seed=1)
            best = float("inf")
            for _ in range(5):
                start = time.perf_counter()
                for _ in range(runs // 5):
                    nivra.run(c, shots=1000, backend=backend, seed=1)
                best = min(best, (time.perf_counter() - start) / (runs // 5))
            out[f"{backend} {n} qubits, 1000 shots"] = 1e6 * best
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, one repetition")
    parser.add_argument("--small", action="store_true", help="time small runs (2-10 qubits) only")
    sites.add_arguments(parser)
    args = parser.parse_args()
    if args.small:
        if args.sites:
            command = [sys.executable, os.path.abspath(__file__), "--small", "--child"] + (
                ["--quick"] if args.quick else [])
            sites.compare(command, args.sites, args.rounds, "us")
        elif args.child:
            print(json.dumps(small_runs(args.quick)))
        else:
            for case, us in small_runs(args.quick).items():
                print(f"{case:<40} {us:10.1f} us per run (best)")
        return
    rng = random.Random(1)
    repeat = 1 if args.quick else 3
    sv_sizes = [16] if args.quick else [20, 22, 24]
    print(f"nivra {nivra.__version__}, {os.cpu_count()} CPUs, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS')}")

    rounds = 10**4 if args.quick else 10**5
    timed(f"build: {8 * rounds} gates through the Circuit builders", lambda: build_with_builders(16, rounds), repeat)

    for n in sv_sizes:
        c = random_long_range_circuit(n, 20 * n, rng)
        timed(f"sv: {n} qubits, {c.num_gates} random gates, 1024 shots",
              lambda: nivra.run(c, backend="sv", seed=1), repeat)
        c = random_circuit(n, 10, rng)
        timed(f"sv: {n} qubits, brickwork depth 10 ({c.num_gates} gates)",
              lambda: nivra.run(c, backend="sv", seed=1), repeat)

    big = clifford_circuit(1000, 20000, rng)
    message = timed("stab: 1000 qubits, 20000 Clifford gates (refused: >64 to sample)",
                    lambda: refused(lambda: nivra.run(big, backend="stab")), repeat)
    print(f"    -> {message}")
    c = clifford_circuit(64, 20000, rng)
    timed(f"stab: 64 qubits, {c.num_gates} Clifford gates, 1024 shots",
          lambda: nivra.run(c, backend="stab", seed=1), repeat)

    c = random_circuit(50, 4 if not args.quick else 2, rng)
    timed(f"mps: 50 qubits, brickwork depth 4 ({c.num_gates} gates), 1024 shots",
          lambda: nivra.run(c, backend="mps", seed=1), repeat)

    shots = 10**5 if args.quick else 10**6
    c = nivra.Circuit(20)
    for q in range(20):
        c.ry(0.3 + 0.1 * q, q)
    timed(f"sample: sv 20 qubits, {shots} shots",
          lambda: nivra.run(c, backend="sv", shots=shots, seed=1), repeat)
    g = nivra.Circuit(64)
    for q in range(0, 64, 2):
        g.h(q)
        g.cx(q, q + 1)
    timed(f"sample: stab 64 qubits, {shots} shots", lambda: nivra.run(g, backend="stab", shots=shots, seed=1), repeat)
    m = random_circuit(50, 2, rng)
    timed(f"sample: mps 50 qubits, {shots} shots", lambda: nivra.run(m, backend="mps", shots=shots, seed=1), repeat)
    r = nivra.run(c, backend="sv", shots=shots, seed=1)
    timed(f"RunResult.counts(): {len(r.counts())} keys", r.counts, repeat)
    timed("RunResult.statevector(): 2^20 amplitudes", r.statevector, repeat)


if __name__ == "__main__":
    main()
