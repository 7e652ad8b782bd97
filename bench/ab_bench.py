"""Google Benchmark binaries of several builds, alternated in one run.

Each round runs every binary once (the order reversed every other round) with
the same arguments; the table gives per benchmark each binary's best time per
iteration over the rounds, its ratio to the first binary's best (below 1 is
faster) and the spread of its rounds ((worst - best) / best), with the load
average before and after:

    NIVRA_QEC_DEM_DIR=/tmp/dems python bench/ab_bench.py \\
        OLD_BUILD/bench/qec_bench NEW_BUILD/bench/qec_bench \\
        --rounds 5 -- --benchmark_filter='^uf_(weighted_)?decode/surface_d(5|9|13)_p001' --benchmark_min_time=0.5

Arguments after "--" go to every binary. The CPU time of the process is
compared by default (less disturbed by other processes than the wall time);
--real compares the wall time.
"""

import argparse
import json
import os
import subprocess
import sys

import sites


def run_once(binary, extra, field):
    out = subprocess.run([binary, "--benchmark_format=json", *extra], check=True, capture_output=True, text=True)
    report = json.loads(out.stdout)
    return {b["name"]: b[field] for b in report["benchmarks"] if b.get("run_type", "iteration") == "iteration"}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("binaries", nargs="+", help="one benchmark binary per build; the first is the reference")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--real", action="store_true", help="compare wall time instead of CPU time")
    argv = sys.argv[1:]
    split = argv.index("--") if "--" in argv else len(argv)
    args = parser.parse_args(argv[:split])
    extra = argv[split + 1 :]  # for every binary
    field = "real_time" if args.real else "cpu_time"
    before = os.getloadavg()
    results = {binary: [] for binary in args.binaries}
    for r in range(args.rounds):
        for binary in args.binaries if r % 2 == 0 else list(reversed(args.binaries)):
            results[binary].append(run_once(binary, extra, field))
    after = os.getloadavg()
    print(f"{args.rounds} rounds per build, alternating; {field}; load average {before[0]:.2f} before, "
          f"{after[0]:.2f} after ({os.cpu_count()} CPUs)")
    print("best of the rounds per iteration (the binaries' time unit), x = best / first build's best, "
          "± = (worst - best) / best")
    # A build's binaries share their names; the build folder above bench/ tells them apart.
    label = {b: os.path.basename(os.path.dirname(os.path.dirname(os.path.abspath(b)))) for b in args.binaries}
    sites.report({label[b]: rounds for b, rounds in results.items()}, "")


if __name__ == "__main__":
    main()
