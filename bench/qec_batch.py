"""Throughput of nivra.qec batch decoding: shots per second of decode_batch and
decode_batch_bit_packed, on one thread against the whole pool, and of
decode_batch on all-zero detector rows (the quiet shots of a low-noise run).

    python bench/qec_batch.py                          # d = 5, 7, 9; mwpm, union-find, bp-osd
    python bench/qec_batch.py --distances 9 --decoders mwpm bp-osd --seconds 3
    python bench/qec_batch.py --decoders bp bp-osd relay-bp relay-bp-osd --dem-files tests/data/qec/surface_d5_p003.dem
    python bench/qec_batch.py --distances 5 9 13 --p 0.001 --decoders union-find union-find-weighted mwpm \
        --threads 1 --sites OLD_SITE NEW_SITE --rounds 5

The models are rotated surface-code memory experiments (rounds = distance)
with circuit-level depolarizing noise p (default 0.003), written by stim when
it is installed, else phenomenological repetition-code memories generated here.
The pool size is fixed per process (RAYON_NUM_THREADS is read once), so every
thread count runs in a child process of its own. Detector samples come from an
independent Bernoulli simulation of the model's mechanisms with NumPy. With
--sites the builds alternate, one fresh interpreter per build, round and thread
count (bench/sites.py), each decoding the same --shots rows, and the table gives
each build's best rate (shots per second, higher is better).
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

import sites


def surface_dem_text(distance, p):
    import stim

    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_z",
        distance=distance,
        rounds=distance,
        after_clifford_depolarization=p,
        before_round_data_depolarization=p,
        before_measure_flip_probability=p,
        after_reset_flip_probability=p,
    )
    return str(circuit.detector_error_model(decompose_errors=True))


def repetition_dem_text(distance, p):
    checks = distance - 1
    lines = []
    for r in range(distance + 1):
        for q in range(distance):
            targets = [f"D{r * checks + c}" for c in (q - 1, q) if 0 <= c < checks]
            lines.append(f"error({p}) " + " ".join(targets + (["L0"] if q == 0 else [])))
        if r < distance:
            lines += [f"error({p}) D{r * checks + c} D{(r + 1) * checks + c}" for c in range(checks)]
    return "\n".join(lines)


def model_text(distance, p):
    try:
        return "surface", surface_dem_text(distance, p)
    except ImportError:
        return "repetition", repetition_dem_text(distance, 10 * p)


def sample(dem, shots, seed):
    """Detector samples [shots, D] (uint8): each mechanism fires independently."""
    rng = np.random.default_rng(seed)
    d = dem.num_detectors
    hits = []
    for line in dem.to_dem_string().splitlines():
        if not line.startswith("error("):
            continue
        close = line.index(")")
        dets = set()
        for token in line[close + 1 :].split():
            if token.startswith("D"):
                dets.symmetric_difference_update({int(token[1:])})
        k = rng.binomial(shots, float(line[6:close]))
        if k and dets:
            fired = rng.choice(shots, size=k, replace=False)
            hits.append((fired[:, None] * d + np.array(sorted(dets))[None, :]).ravel())
    counts = np.bincount(np.concatenate(hits), minlength=shots * d)
    return (counts % 2).astype(np.uint8).reshape(shots, d)


def best_rate(run, shots, seconds):
    """Shots per second of run(), the best of repeated timings within ~seconds."""
    rates = []
    deadline = time.perf_counter() + seconds
    while len(rates) < 3 or time.perf_counter() < deadline:
        start = time.perf_counter()
        run()
        rates.append(shots / (time.perf_counter() - start))
        if len(rates) >= 20:
            break
    return max(rates)


def child(args):
    from nivra import _native
    from nivra.qec import Decoder, DetectorErrorModel

    models = [
        (f"{kind} d={distance}", text) for distance in args.distances for kind, text in [model_text(distance, args.p)]
    ]
    models += [(os.path.basename(path), open(path).read()) for path in args.dem_files]
    one_line = {}
    for label, text in models:
        dem = DetectorErrorModel(text)
        for name in args.decoders:
            decoder = Decoder(dem, name)
            # Size the batch so that one call takes about a tenth of the budget.
            probe = sample(dem, 64, seed=1)
            start = time.perf_counter()
            decoder.decode_batch(probe)
            per_shot = max((time.perf_counter() - start) / 64, 1e-7)
            shots = args.shots or int(min(max(args.seconds / 10 / per_shot, 256), args.max_shots))
            dets = sample(dem, shots, seed=2)
            packed = np.packbits(dets.astype(bool), axis=1, bitorder="little")
            decoder.decode_batch(dets[: min(shots, 1024)])  # warm the per-thread scratch
            dense = best_rate(lambda: decoder.decode_batch(dets), shots, args.seconds)
            bits = best_rate(lambda: decoder.decode_batch_bit_packed(packed), shots, args.seconds / 2)
            quiet = np.zeros((64, dem.num_detectors), dtype=np.uint8)
            start = time.perf_counter()
            decoder.decode_batch(quiet)
            per_shot = max((time.perf_counter() - start) / 64, 1e-8)
            zero_shots = int(min(max(args.seconds / 10 / per_shot, 256), args.max_shots * 10))
            quiet = np.zeros((zero_shots, dem.num_detectors), dtype=np.uint8)
            zero = best_rate(lambda: decoder.decode_batch(quiet), zero_shots, args.seconds / 2)
            if args.one_line:
                for kind, rate in (("dense", dense), ("packed", bits), ("zero", zero)):
                    one_line[f"{label} {name} {kind}"] = rate
                continue
            print(
                json.dumps(
                    dict(
                        model=label,
                        detectors=dem.num_detectors,
                        errors=dem.num_errors,
                        decoder=name,
                        shots=shots,
                        dense=dense,
                        packed=bits,
                        zero=zero,
                        version=_native.__version__,
                    )
                ),
                flush=True,
            )
    if args.one_line:
        print(json.dumps(one_line))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--distances", type=int, nargs="*", default=[5, 7, 9])
    parser.add_argument("--decoders", nargs="+", default=["mwpm", "union-find", "bp-osd"])
    parser.add_argument("--dem-files", nargs="*", default=[], help="more models, read from .dem files")
    parser.add_argument("--threads", nargs="+", default=["1", "all"], help="pool sizes; 'all' = every CPU")
    parser.add_argument("--seconds", type=float, default=2.0, help="timing budget per measurement")
    parser.add_argument("--max-shots", type=int, default=200000)
    parser.add_argument("--p", type=float, default=0.003, help="noise strength of the generated models")
    parser.add_argument("--shots", type=int, default=0, help="rows per decode_batch call (0: sized by timing)")
    parser.add_argument("--one-line", action="store_true", help=argparse.SUPPRESS)
    sites.add_arguments(parser)
    args = parser.parse_args()
    if args.child:
        child(args)
        return
    if args.sites:
        for threads in args.threads:
            env = dict(os.environ)
            env["RAYON_NUM_THREADS"] = str(os.cpu_count() or 1) if threads == "all" else threads
            print(f"RAYON_NUM_THREADS={env['RAYON_NUM_THREADS']} p={args.p}")
            # The same rows for every build: a fixed count, not one sized by each build's speed.
            command = [sys.executable, os.path.abspath(__file__), "--child", "--one-line", "--seconds",
                       str(args.seconds), "--shots", str(args.shots or 20000), "--p", str(args.p), "--distances",
                       *map(str, args.distances), "--decoders", *args.decoders, "--dem-files", *args.dem_files]
            sites.compare(command, args.sites, args.rounds, "/s", lower_is_better=False, env=env)
        return

    results = {}
    for threads in args.threads:
        env = dict(os.environ)
        env["RAYON_NUM_THREADS"] = str(os.cpu_count() or 1) if threads == "all" else threads
        command = [sys.executable, __file__, "--child", "--seconds", str(args.seconds), "--max-shots",
                   str(args.max_shots), "--shots", str(args.shots), "--p", str(args.p), "--distances",
                   *map(str, args.distances), "--decoders", *args.decoders, "--dem-files", *args.dem_files]
        out = subprocess.run(command, env=env, capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            row = json.loads(line)
            results[(row["model"], row["decoder"], env["RAYON_NUM_THREADS"])] = row

    sizes = [str(os.cpu_count() or 1) if t == "all" else t for t in args.threads]
    header = f"{'model':<20} {'D':>5} {'errors':>7} {'decoder':<12}"
    for size in sizes:
        header += f" {'dense ' + size + 't':>14} {'packed ' + size + 't':>14} {'zero ' + size + 't':>14}"
    if len(sizes) > 1:
        header += f" {'speedup':>8}"
    print(header)
    seen = []
    for key in results:
        if key[:2] not in seen:
            seen.append(key[:2])
    for model, name in seen:
        first = results[(model, name, sizes[0])]
        line = f"{model:<20} {first['detectors']:>5} {first['errors']:>7} {name:<12}"
        for size in sizes:
            row = results[(model, name, size)]
            line += f" {row['dense']:>14,.0f} {row['packed']:>14,.0f} {row['zero']:>14,.0f}"
        if len(sizes) > 1:
            line += f" {results[(model, name, sizes[-1])]['dense'] / first['dense']:>7.2f}x"
        print(line)
    print("(shots per second, best of repeated decode_batch / decode_batch_bit_packed calls; zero: all-zero rows)")


if __name__ == "__main__":
    main()
