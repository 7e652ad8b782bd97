"""nivra's state vector against qiskit-aer and qsim on the same circuits.

Environment (the peers are benchmark dependencies only, never the package's):

    python3 -m venv --system-site-packages peers && . peers/bin/activate
    pip install qiskit qiskit-aer qsimcirq cirq-core
    pip install <path to the nivra checkout>      # or have nivra importable

Usage:

    python bench/sv_peers.py                        # 20, 24, 26 qubits and QFT-24; 1 thread and all threads
    python bench/sv_peers.py --sizes 20 24          # fewer sizes
    python bench/sv_peers.py --big                  # 28 qubits only (4 GiB nivra, 4 GiB aer, 2 GiB qsim)

Each circuit is built once as an abstract gate list and translated to the
three libraries (translation not timed). What is timed, per library, is one
call that simulates the final state from the library's circuit object:

    nivra   nivra.run(circuit, shots=0, backend="sv")  (optimising passes, the
            simulation and the final-state validation; the state stays in the
            RunResult, complex128)
    aer     AerSimulator(method="statevector", max_parallel_threads=T) .run(qc).result(),
            qc ending in save_statevector (default fusion; complex128)
    qsim    QSimSimulator(QSimOptions(cpu_threads=T)).simulate(circuit)
            (default fusion; complex64, so half the memory traffic)

Every configuration (1 thread, all threads) runs in its own subprocess, since
nivra reads RAYON_NUM_THREADS once per process; inside it the three
simulators alternate within each repetition (nivra, aer, qsim, nivra, ...)
and the best of the repetitions is kept. A warm-up call of each simulator on
a small circuit comes first. Before timing, the three final states of a
10-qubit copy of each circuit family are compared (overlap within 1e-5) so
that the translations are known to agree. The table prints the times, the
ratios nivra/aer and nivra/qsim (below 1: nivra faster) and the load average
before and after each configuration.

Circuits: "random" is `depth` layers of a random rotation (H, Rx, Ry or Rz
with a random angle) on every qubit followed by CNOT or CZ on a random
pairing of all qubits, seeded by the qubit count; "qft" is the textbook QFT
(H, controlled phases, final swaps) on |0...0> after a layer of Rx.
"""

import argparse
import gc
import json
import math
import os
import random
import subprocess
import sys
import time

# ---------------------------------------------------------------- circuits


def random_circuit(n, depth):
    rng = random.Random(n)
    gates = []
    for _ in range(depth):
        for q in range(n):
            kind = rng.choice(["h", "rx", "ry", "rz"])
            gates.append((kind, (q,), () if kind == "h" else (rng.uniform(0, 2 * math.pi),)))
        order = list(range(n))
        rng.shuffle(order)
        for a, b in zip(order[0::2], order[1::2]):
            gates.append((rng.choice(["cx", "cz"]), (a, b), ()))
    return gates


def qft_circuit(n):
    gates = [("rx", (q,), (0.1 * (q + 1),)) for q in range(n)]
    for j in reversed(range(n)):
        gates.append(("h", (j,), ()))
        for k in reversed(range(j)):
            gates.append(("cp", (k, j), (math.pi / 2 ** (j - k),)))
    for q in range(n // 2):
        gates.append(("swap", (q, n - 1 - q), ()))
    return gates


def build(family, n, depth):
    return random_circuit(n, depth) if family == "random" else qft_circuit(n)


# ------------------------------------------------------------ translations


def to_nivra(n, gates):
    import nivra

    c = nivra.Circuit(n)
    for kind, qs, ps in gates:
        getattr(c, kind)(*ps, *qs)
    return c


def to_qiskit(n, gates):
    from qiskit import QuantumCircuit

    qc = QuantumCircuit(n)
    for kind, qs, ps in gates:
        getattr(qc, kind)(*ps, *qs)
    qc.save_statevector()
    return qc


def to_cirq(n, gates):
    import cirq

    q = cirq.LineQubit.range(n)
    ops = []
    for kind, qs, ps in gates:
        if kind == "h":
            ops.append(cirq.H(q[qs[0]]))
        elif kind in ("rx", "ry", "rz"):
            ops.append(getattr(cirq, kind)(ps[0])(q[qs[0]]))
        elif kind == "cx":
            ops.append(cirq.CNOT(q[qs[0]], q[qs[1]]))
        elif kind == "cz":
            ops.append(cirq.CZ(q[qs[0]], q[qs[1]]))
        elif kind == "cp":
            ops.append(cirq.CZPowGate(exponent=ps[0] / math.pi)(q[qs[0]], q[qs[1]]))
        elif kind == "swap":
            ops.append(cirq.SWAP(q[qs[0]], q[qs[1]]))
        else:
            raise ValueError(kind)
    # One moment per operation keeps the gate order exactly as listed.
    return cirq.Circuit(ops, strategy=cirq.InsertStrategy.EARLIEST)


# --------------------------------------------------------------- runners


class Runners:
    def __init__(self, threads):
        import qsimcirq
        from qiskit_aer import AerSimulator

        import nivra

        self.nivra = nivra
        self.aer = AerSimulator(method="statevector", max_parallel_threads=threads)
        self.qsim = qsimcirq.QSimSimulator(qsim_options=qsimcirq.QSimOptions(cpu_threads=threads))

    def run_nivra(self, c):
        return self.nivra.run(c, shots=0, backend="sv")

    def run_aer(self, qc):
        return self.aer.run(qc).result()

    def run_qsim(self, c):
        return self.qsim.simulate(c)

    # Final states as little-endian complex128 arrays, for the agreement check.
    def states(self, n, gates):
        import numpy as np

        a = self.run_nivra(to_nivra(n, gates)).statevector()
        b = np.asarray(self.run_aer(to_qiskit(n, gates)).get_statevector(), dtype=np.complex128)
        c = np.asarray(self.run_qsim(to_cirq(n, gates)).final_state_vector, dtype=np.complex128)
        # cirq's first qubit is the most significant bit.
        c = c.reshape([2] * n).transpose(list(reversed(range(n)))).reshape(-1)
        return a, b, c


def check_agreement(runners, depth):
    import numpy as np

    for family in ("random", "qft"):
        a, b, c = runners.states(10, build(family, 10, depth))
        for name, other in (("aer", b), ("qsim", c)):
            overlap = abs(np.vdot(a, other))
            if abs(overlap - 1) > 1e-5:
                raise SystemExit(f"{family}: nivra and {name} disagree (overlap {overlap})")


def child(args):
    runners = Runners(args.threads)
    check_agreement(runners, args.depth)
    warm = build("random", 12, 4)
    runners.run_nivra(to_nivra(12, warm))
    runners.run_aer(to_qiskit(12, warm))
    runners.run_qsim(to_cirq(12, warm))
    for case in args.cases:
        family, n = case.split(":")
        n = int(n)
        gates = build(family, n, args.depth)
        circuits = {"nivra": to_nivra(n, gates), "aer": to_qiskit(n, gates), "qsim": to_cirq(n, gates)}
        run = {"nivra": runners.run_nivra, "aer": runners.run_aer, "qsim": runners.run_qsim}
        best = {name: math.inf for name in circuits}
        for _ in range(args.repeats):
            for name in ("nivra", "aer", "qsim"):
                gc.collect()
                t0 = time.perf_counter()
                result = run[name](circuits[name])
                best[name] = min(best[name], time.perf_counter() - t0)
                del result
        print(json.dumps({"case": case, "gates": len(gates), "threads": args.threads, **best}), flush=True)
        del circuits
        gc.collect()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", type=int, nargs="*", default=[20, 24, 26], help="random-circuit qubit counts")
    ap.add_argument("--qft", type=int, nargs="*", default=[24], help="QFT qubit counts")
    ap.add_argument("--big", action="store_true", help="28 qubits only (random), one configuration at a time")
    ap.add_argument("--depth", type=int, default=20)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--threads", type=int, nargs="*", default=None, help="thread counts (default: 1 and all)")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--cases", nargs="*", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        args.threads = args.threads[0]
        child(args)
        return

    cpus = os.cpu_count() or 1
    thread_counts = args.threads or [1, cpus]
    if args.big:
        cases = ["random:28"]
    else:
        cases = [f"random:{n}" for n in args.sizes] + [f"qft:{n}" for n in args.qft]

    print(f"depth {args.depth}, best of {args.repeats}, {cpus} CPUs; times in seconds")
    print(f"{'circuit':<11} {'thr':>3} {'gates':>6} {'nivra':>9} {'aer':>9} {'qsim':>9} "
          f"{'nivra/aer':>9} {'nivra/qsim':>10}  load before -> after")
    for threads in thread_counts:
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        load_before = os.getloadavg()[0]
        cmd = [sys.executable, __file__, "--child", "--threads", str(threads), "--depth", str(args.depth),
               "--repeats", str(args.repeats), "--cases", *cases]
        proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, text=True)
        for line in proc.stdout:
            r = json.loads(line)
            load_after = os.getloadavg()[0]
            print(f"{r['case']:<11} {threads:>3} {r['gates']:>6} {r['nivra']:>9.4f} {r['aer']:>9.4f} "
                  f"{r['qsim']:>9.4f} {r['nivra'] / r['aer']:>9.2f} {r['nivra'] / r['qsim']:>10.2f}  "
                  f"{load_before:.1f} -> {load_after:.1f}", flush=True)
            load_before = load_after
        if proc.wait() != 0:
            raise SystemExit(f"the {threads}-thread configuration failed")


if __name__ == "__main__":
    main()
