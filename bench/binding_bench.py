"""Per-call cost of the binding layer: argument parsing and conversion, as a Python caller sees it.

    python3 bench/binding_bench.py [--quick]
    python3 bench/binding_bench.py --sites OLD_SITE NEW_SITE [--rounds 5]

Each case repeats one cheap call many times (the work behind it is small, so the
time is mostly the parsing, the conversions and the result); the median of
several rounds is printed in nanoseconds per call. The gate builders are timed
one by one, one case per shape of arguments (no angle, one, three; one, two and
three qubits; cp's external control). With --sites the builds alternate in
fresh interpreters (bench/sites.py) and the table gives each build's best.
"""

import argparse
import json
import os
import statistics
import sys
import time

import numpy as np

import sites


def per_call(fn, calls, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn(calls)
        times.append((time.perf_counter() - start) / calls * 1e9)
    return statistics.median(times)


def cases():
    import nivra
    from nivra import qec

    def builders(n):
        c = nivra.Circuit(2)
        h, rx, cx = c.h, c.rx, c.cx
        for _ in range(n // 3):
            h(0)
            rx(0.5, 1)
            cx(0, 1)

    def builders_by_keyword(n):
        c = nivra.Circuit(2)
        for _ in range(n):
            c.crz(theta=0.5, control=0, target=1)

    def properties(n):
        c = nivra.Circuit(3)
        for _ in range(n):
            c.num_qubits

    def factory(n):
        f = nivra.depolarizing_error
        for _ in range(n):
            f(0.01, num_qubits=2)

    def bad_argument(n):
        c = nivra.Circuit(1)
        for _ in range(n):
            try:
                c.h(-1)
            except OverflowError:
                pass

    small = nivra.Circuit(1)
    small.h(0)

    def run_small(n):
        for _ in range(n):
            nivra.run(small, shots=1, backend="sv", seed=1)

    dem = qec.DetectorErrorModel("error(0.1) D0 L0\nerror(0.1) D0 D1\nerror(0.1) D1\n")
    decoder = qec.Decoder(dem, "mwpm")
    dets = np.zeros(2, dtype=bool)

    def decode_one(n):
        for _ in range(n):
            decoder.decode(dets)

    # One builder per case, called through a bound method, 1000 gates per fresh
    # 3-qubit circuit: the instruction list stays small and its memory warm, so
    # the time is the call's, not the list's growth.
    def one_builder(name, *args):
        def bench(n):
            for _ in range(n // 1000):
                f = getattr(nivra.Circuit(3), name)
                for _ in range(1000):
                    f(*args)

        return bench

    builder_calls = [
        ("h", 0), ("t", 1), ("rx", 0.5, 0), ("u3", 0.1, 0.2, 0.3, 2), ("cx", 0, 1), ("crz", 0.5, 1, 2),
        ("ccx", 0, 1, 2), ("cp", 0.75, 2, 0), ("measure", 0, 1),
    ]
    one_by_one = [(f"builder {call[0]}", one_builder(*call), 200_000) for call in builder_calls]
    return one_by_one + [
        ("h/rx/cx builders", builders, 300_000),
        ("crz by keyword", builders_by_keyword, 100_000),
        ("num_qubits property", properties, 300_000),
        ("depolarizing_error(p, num_qubits=)", factory, 100_000),
        ("h(-1) OverflowError", bad_argument, 100_000),
        ("run 1 qubit, 1 shot", run_small, 20_000),
        ("Decoder.decode one shot", decode_one, 50_000),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls, for a smoke test")
    sites.add_arguments(parser)
    args = parser.parse_args()
    if args.sites:
        command = [sys.executable, os.path.abspath(__file__), "--child"] + (["--quick"] if args.quick else [])
        sites.compare(command, args.sites, args.rounds, "ns")
        return
    timings = {}
    for name, fn, calls in cases():
        if args.quick:
            calls //= 20
        timings[name] = per_call(fn, calls, 3 if args.quick else 7)
        if not args.child:
            print(f"{name:40s} {timings[name]:9.1f} ns/call")
    if args.child:
        print(json.dumps(timings))


if __name__ == "__main__":
    main()
