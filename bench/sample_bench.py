"""What sampling and reading the state cost a state-vector run, as a Python caller sees them.

    python3 bench/sample_bench.py [--qubits 24 26] [--sites SITE ...] [--repeat 3] [--peak]

For each width: run(shots=1000) against run(shots=0) of one random depth-20 circuit on the whole
pool (their ratio is what sampling adds to a run), and RunResult.statevector() against
numpy.ndarray.copy of an array of the same size in the same process (up to 26 qubits: it holds
three states at once). With --peak, the peak resident memory of one run(shots=1000) in a fresh
process. Each measurement runs in its own
process; with several --sites (directories holding a built nivra) the sites alternate, so
that load on a shared machine falls on all of them alike. Times are the best of --repeat.
28 qubits needs 4 GiB for the state and 3 GiB more while sampling.
"""

import argparse
import os
import sys

import sites

CHILD = r"""
import json, random, resource, sys, time
import numpy as np
import nivra

n, repeat, mode = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
rng = random.Random(1)
c = nivra.Circuit(n)
for layer in range(20):
    for q in range(n):
        getattr(c, rng.choice(["rx", "ry", "rz"]))(rng.uniform(-3, 3), q)
    for q in range(layer % 2, n - 1, 2):
        (c.cx if rng.random() < 0.5 else c.cz)(q, q + 1)

def best(fn):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)

out = {}
if mode == "peak":
    nivra.run(c, backend="sv", shots=1000, seed=1)
    out["peak_gib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
else:
    times = {0: [], 1000: []}
    for _ in range(repeat):
        for shots in (0, 1000):
            t0 = time.perf_counter()
            r = nivra.run(c, backend="sv", shots=shots, seed=1)
            times[shots].append(time.perf_counter() - t0)
            del r
    out["shots0"] = min(times[0])
    out["shots1000"] = min(times[1000])
    if n <= 26:  # three states at once beyond that
        r = nivra.run(c, backend="sv", shots=0, seed=1)
        a = r.statevector()
        out["statevector"] = best(r.statevector)
        out["numpy_copy"] = best(a.copy)
print(json.dumps(out))
"""


def measure(site, n, repeat, mode):
    return sites.run_child([sys.executable, "-c", CHILD, str(n), str(repeat), mode], site)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qubits", type=int, nargs="+", default=[20, 24])
    parser.add_argument("--sites", nargs="+", default=[p for p in sys.path if p][:1])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--peak", action="store_true", help="also the peak memory of one run(shots=1000)")
    args = parser.parse_args()
    print(f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f}, {os.cpu_count()} CPUs, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS')}")
    for n in args.qubits:
        for site in args.sites:
            t = measure(site, n, args.repeat, "time")
            line = (f"{n:2d} qubits {site:<28} shots=0 {t['shots0']:8.3f} s  shots=1000 {t['shots1000']:8.3f} s  "
                    f"ratio {t['shots1000'] / t['shots0']:5.2f}")
            if "statevector" in t:
                line += (f"  statevector() {t['statevector'] * 1e3:8.1f} ms  numpy copy {t['numpy_copy'] * 1e3:8.1f} ms  "
                         f"ratio {t['statevector'] / t['numpy_copy']:5.2f}")
            if args.peak:
                line += f"  peak {measure(site, n, 1, 'peak')['peak_gib']:6.2f} GiB"
            print(line, flush=True)
        print(f"   load now {os.getloadavg()[0]:.2f}", flush=True)


if __name__ == "__main__":
    main()
