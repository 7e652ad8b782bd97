"""First call against later calls of nivra.run in fresh processes.

Each trial starts a new interpreter, imports nivra (not timed), then times
three runs of the same 20-qubit circuit back to back, shots=1 with a fixed
seed: the first carries whatever starts lazily (pool threads, the state
buffer's first page faults, tuning reads), the later ones only the
simulation. The table gives the median over the trials of each call (wall
time, minor page faults and system CPU time of the process during the call)
and of first - second.

    python bench/first_call.py                  # 20 qubits, 7 trials, all threads
    python bench/first_call.py --threads 1      # RAYON_NUM_THREADS=1
    python bench/first_call.py --qubits 24 --trials 5
    python bench/first_call.py --qubits 3 --sites OLD_SITE NEW_SITE --rounds 21

With --sites the builds alternate, one fresh interpreter per build and round
(bench/sites.py), and the table gives each build's best import, first, second
and third call, and the fewest page faults of the first call.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

import sites

CHILD = r"""
import json, resource, sys, time
t0 = time.perf_counter()
import nivra
t_import = time.perf_counter() - t0
n = int(sys.argv[1])
c = nivra.Circuit(n)
for q in range(n):
    c.h(q)
for layer in range(4):
    for q in range(layer % 2, n - 1, 2):
        c.cx(q, q + 1)
    for q in range(n):
        if sys.argv[2] in ("stab", "stabilizer"):
            c.s(q)  # the stabilizer runs Clifford gates only
        else:
            c.rz(0.1 * (q + layer + 1), q)
times, faults, sys_ms = [], [], []
for _ in range(3):
    r0 = resource.getrusage(resource.RUSAGE_SELF)
    t = time.perf_counter()
    nivra.run(c, shots=1, backend=sys.argv[2], seed=5)
    times.append(time.perf_counter() - t)
    r1 = resource.getrusage(resource.RUSAGE_SELF)
    faults.append(r1.ru_minflt - r0.ru_minflt)
    sys_ms.append(1e3 * (r1.ru_stime - r0.ru_stime))
print(json.dumps({"import": t_import, "calls": times, "faults": faults, "sys": sys_ms}))
"""


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--qubits", type=int, default=20)
    ap.add_argument("--trials", type=int, default=7)
    ap.add_argument("--threads", type=int, default=0, help="RAYON_NUM_THREADS; 0 leaves it unset")
    ap.add_argument("--backend", default="sv", help="backend of the timed runs; with stab, S takes the place of RZ")
    sites.add_arguments(ap)
    args = ap.parse_args()

    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if args.threads > 0:
        env["RAYON_NUM_THREADS"] = str(args.threads)
    command = [sys.executable, "-c", CHILD, str(args.qubits), args.backend]
    if args.sites:
        results = sites.run_rounds(command, args.sites, args.rounds, env)
        flat = {
            site: [
                {"import ms": 1e3 * r["import"], "first ms": 1e3 * r["calls"][0], "second ms": 1e3 * r["calls"][1],
                 "third ms": 1e3 * r["calls"][2], "first faults": r["faults"][0]}
                for r in rows
            ]
            for site, rows in results.items()
        }
        load = os.getloadavg()
        print(f"qubits={args.qubits} backend={args.backend} threads={args.threads or 'all'} rounds={args.rounds} "
              f"load={load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
        sites.report(flat, "")
        return
    rows = []
    for _ in range(args.trials):
        out = subprocess.run(command, env=env, check=True, capture_output=True, text=True)
        rows.append(json.loads(out.stdout))

    def med(values):
        return 1e3 * statistics.median(values)

    first = [r["calls"][0] for r in rows]
    second = [r["calls"][1] for r in rows]
    third = [r["calls"][2] for r in rows]
    extra = [a - b for a, b in zip(first, second)]
    load = os.getloadavg()
    threads = args.threads or "all"
    print(f"qubits={args.qubits} threads={threads} trials={args.trials} "
          f"load={load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    print(f"  import  {med([r['import'] for r in rows]):8.2f} ms")
    for i, (name, calls) in enumerate((("first", first), ("second", second), ("third", third))):
        faults = statistics.median(r["faults"][i] for r in rows)
        sys_ms = statistics.median(r["sys"][i] for r in rows)
        print(f"  {name:<7} {med(calls):8.2f} ms   page faults {faults:7.0f}   system time {sys_ms:6.1f} ms")
    print(f"  extra   {med(extra):8.2f} ms  (first - second; min {1e3 * min(extra):.2f}, "
          f"max {1e3 * max(extra):.2f})")


if __name__ == "__main__":
    main()
