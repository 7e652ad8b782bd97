"""The pool in a process confined to a few CPUs: a state-vector run and a
surface-code decode_batch with the pool at its default size and with
RAYON_NUM_THREADS set to the CPU count, for one or more builds side by side.
Also the peak resident memory of a run whose gates sit on the top qubits (the
optimiser renumbers them, and the final state is mapped back).

    python3 bench/pool_cpus.py --sites OLD_SITE NEW_SITE --cpus 0,1 --dem d9.dem   # site: a pip --target folder
    python3 bench/pool_cpus.py --sites ... --peak 24 28          # peak memory only

Every case runs in a child process of its own (the pool's size is fixed per
process, its affinity set before nivra is imported); the cases are interleaved
across builds and settings, repeated --repeats times, and the best time of
each is kept. A d=9 model: `python scripts/gen_qec_dems.py --bench DIR`.
"""

import argparse
import os
import subprocess
import sys
import time

import sites

CHILD = r"""
import json, os, sys, time
cpus, qubits, dem_path, decoder_name, shots = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5])
if cpus:
    os.sched_setaffinity(0, {int(c) for c in cpus.split(",")})
import numpy as np
import nivra
from nivra.qec import Decoder, DetectorErrorModel
sys.path.insert(0, sys.argv[6])
from qec_batch import sample

# NumPy's BLAS may have started threads of its own at import.
threads_before = len(os.listdir("/proc/self/task"))

def layers(n, depth):
    c = nivra.Circuit(n)
    for layer in range(depth):
        for q in range(n):
            c.ry(0.1 + 0.01 * (q + layer), q)
        for q in range(layer % 2, n - 1, 2):
            c.cx(q, q + 1)
    return c

out = {}
circuit = layers(qubits, 8)
start = time.perf_counter()
nivra.run(circuit, shots=1000, seed=1, backend="sv")
out["run_s"] = time.perf_counter() - start
dem = DetectorErrorModel.from_file(dem_path)
decoder = Decoder(dem, decoder_name)
dets = sample(dem, shots, seed=2)
decoder.decode_batch(dets[:256])
start = time.perf_counter()
decoder.decode_batch(dets)
out["decode_s"] = time.perf_counter() - start
# The pool's threads: the calling thread and the workers it started.
out["threads"] = len(os.listdir("/proc/self/task")) - threads_before + 1
print(json.dumps(out))
"""

PEAK_CHILD = r"""
import resource, sys
import nivra
n, first, shots = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
c = nivra.Circuit(n)
for q in range(first, first + 8):
    c.h(q)
for q in range(first, first + 7):
    c.cx(q, q + 1)
nivra.run(c, shots=shots, seed=3, backend="sv")
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def run_child(site, env_extra, args):
    env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    env.update(env_extra)
    here = os.path.dirname(os.path.abspath(__file__))
    command = [sys.executable, "-c", CHILD, args.cpus, str(args.qubits), args.dem, args.decoder, str(args.shots), here]
    return sites.run_child(command, site, env)


def timings(args):
    cpus = len(args.cpus.split(",")) if args.cpus else os.cpu_count()
    settings = [("default", {}), (f"RAYON_NUM_THREADS={cpus}", {"RAYON_NUM_THREADS": str(cpus)})]
    best = {}
    for _ in range(args.repeats):
        for site in args.sites:
            for label, env in settings:
                row = run_child(site, env, args)
                key = (site, label)
                prev = best.get(key)
                best[key] = row if prev is None else {
                    "run_s": min(prev["run_s"], row["run_s"]),
                    "decode_s": min(prev["decode_s"], row["decode_s"]),
                    "threads": row["threads"],
                }
    print(f"cpus {args.cpus or 'all'}; {args.qubits}-qubit run (8 layers, 1000 shots); "
          f"{os.path.basename(args.dem)} {args.decoder} decode_batch of {args.shots} shots; best of {args.repeats}")
    print(f"{'site':<28} {'setting':<22} {'run s':>8} {'decode s':>9} {'pool threads':>13}")
    for (site, label), row in best.items():
        print(f"{site:<28} {label:<22} {row['run_s']:>8.3f} {row['decode_s']:>9.3f} {row['threads']:>13}")


def peaks(args):
    print(f"{'site':<28} {'qubits':>6} {'gates on':>9} {'shots':>6} {'peak MiB':>9}")
    for n in args.peak:
        for site in args.sites:
            for first in (0, n - 8):
                env = dict(os.environ, PYTHONPATH=site)
                out = subprocess.run([sys.executable, "-c", PEAK_CHILD, str(n), str(first), str(args.peak_shots)],
                                     env=env, capture_output=True, text=True, check=True).stdout
                print(f"{site:<28} {n:>6} {f'{first}..{first + 7}':>9} {args.peak_shots:>6} {int(out) / 1024:>9.0f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sites", nargs="+", required=True, help="folders that hold a built nivra")
    parser.add_argument("--cpus", default="0,1", help="the CPUs the children may use ('' for all)")
    parser.add_argument("--qubits", type=int, default=23)
    parser.add_argument("--dem", help="the model to decode (.dem)")
    parser.add_argument("--decoder", default="mwpm")
    parser.add_argument("--shots", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--peak", type=int, nargs="*", help="qubit counts whose peak memory to report instead")
    parser.add_argument("--peak-shots", type=int, default=0)
    args = parser.parse_args()
    start = time.perf_counter()
    if args.peak:
        peaks(args)
    else:
        if not args.dem:
            parser.error("--dem is required for the timings")
        timings(args)
    print(f"({time.perf_counter() - start:.0f} s; load {os.getloadavg()[0]:.1f})")


if __name__ == "__main__":
    main()
