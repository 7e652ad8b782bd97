"""Writes the detector error models the QEC tests and benchmarks read.

Rotated surface-code memory experiments (Z basis, rounds = distance) with
circuit-level depolarizing noise of strength p, as generated and written by
stim (a test-only dependency: `pip install stim`).

    python scripts/gen_qec_dems.py                 # tests/data/qec (shipped)
    python scripts/gen_qec_dems.py --bench DIR     # benchmark models, d = 5, 9, 13, 17

The benchmark reads its models from the folder named by NIVRA_QEC_DEM_DIR.
"""

import argparse
import pathlib

import stim


def surface_dem(distance: int, p: float) -> stim.DetectorErrorModel:
    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_z",
        distance=distance,
        rounds=distance,
        after_clifford_depolarization=p,
        before_round_data_depolarization=p,
        before_measure_flip_probability=p,
        after_reset_flip_probability=p,
    )
    return circuit.detector_error_model(decompose_errors=True)


def write(path: pathlib.Path, dem: stim.DetectorErrorModel) -> None:
    path.write_text(str(dem) + "\n")
    print(path, dem.num_detectors, "detectors", dem.num_errors, "errors")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", type=pathlib.Path, help="write the benchmark models into this folder")
    args = parser.parse_args()
    if args.bench:
        args.bench.mkdir(parents=True, exist_ok=True)
        for d in (5, 9, 13, 17):
            for p, tag in ((0.001, "p001"), (0.005, "p005")):
                write(args.bench / f"surface_d{d}_{tag}.dem", surface_dem(d, p))
        return
    out = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "qec"
    out.mkdir(parents=True, exist_ok=True)
    for d in (3, 5, 7):
        write(out / f"surface_d{d}_p003.dem", surface_dem(d, 0.003))
    # The same model unrolled by stim itself: reading both must give one model.
    write(out / "surface_d7_p003_flat.dem", surface_dem(7, 0.003).flattened())


if __name__ == "__main__":
    main()
