"""nivra.qec: detector error models, decoder construction and batch decoding."""

import ast
import hashlib
import inspect
import itertools
import math
import os
import pathlib
import subprocess
import sys
import threading

import numpy as np
import pytest

import nivra
import nivra.qec
from nivra import _native
from nivra.qec import Decoder, DetectorErrorModel, decoder_names

DATA = pathlib.Path(__file__).resolve().parent / "data" / "qec"
NAMES = ["mwpm", "union-find", "union-find-weighted", "bp", "bp-osd", "relay-bp", "relay-bp-osd"]
MATCHING_NAMES = NAMES[:3]


# --- models and sampling written for these tests ---------------------------------


def repetition_dem(distance, rounds, p_data, p_meas):
    """Phenomenological repetition-code memory: data flips between rounds, flipped
    syndrome measurements, a perfect final round. L0 is data qubit 0."""
    checks = distance - 1
    lines = []
    for r in range(rounds + 1):
        for q in range(distance):
            targets = [f"D{r * checks + c}" for c in (q - 1, q) if 0 <= c < checks]
            if q == 0:
                targets.append("L0")
            lines.append(f"error({p_data}) " + " ".join(targets))
        if r < rounds:
            for c in range(checks):
                lines.append(f"error({p_meas}) D{r * checks + c} D{(r + 1) * checks + c}")
    return DetectorErrorModel("\n".join(lines))


def mechanisms(dem):
    """(p, detectors, observables) per mechanism of the flat model, each list the
    targets flipped an odd number of times over the mechanism's components."""
    out = []
    for line in dem.to_dem_string().splitlines():
        if not line.startswith("error("):
            continue
        close = line.index(")")
        dets, obs = set(), set()
        for token in line[close + 1 :].split():
            if token != "^":
                (dets if token[0] == "D" else obs).symmetric_difference_update({int(token[1:])})
        out.append((float(line[6:close]), sorted(dets), sorted(obs)))
    return out


def sample(dem, shots, seed):
    """Independent Bernoulli draws of every mechanism: detector samples
    [shots, D] and observable flips [shots, O], both uint8."""
    rng = np.random.default_rng(seed)
    d, o = dem.num_detectors, dem.num_observables
    det_hits, obs_hits = [], []
    for p, dets, obs in mechanisms(dem):
        k = rng.binomial(shots, p)
        if k == 0:
            continue
        fired = rng.choice(shots, size=k, replace=False)
        if dets:
            det_hits.append((fired[:, None] * d + np.asarray(dets)[None, :]).ravel())
        if obs:
            obs_hits.append((fired[:, None] * o + np.asarray(obs)[None, :]).ravel())

    def parity(hits, width):
        flat = np.concatenate(hits) if hits else np.zeros(0, np.int64)
        counts = np.bincount(flat, minlength=shots * width)
        return (counts % 2).astype(np.uint8).reshape(shots, width)

    return parity(det_hits, d), parity(obs_hits, o)


def pack_rows(bits):
    """b8 rows: flag k is bit k % 8 of byte k // 8."""
    return np.packbits(bits.astype(bool), axis=1, bitorder="little")


def unpack_rows(packed, width):
    return np.unpackbits(packed, axis=1, bitorder="little", count=width).astype(bool)


@pytest.fixture(scope="module")
def rep5():
    return repetition_dem(5, 4, 0.03, 0.02)


@pytest.fixture(scope="module")
def rep5_samples(rep5):
    return sample(rep5, 600, seed=11)


def small_model():
    """D = 4, O = 1: a chain with a boundary at each end."""
    return DetectorErrorModel(
        "error(0.1) D0 L0\nerror(0.1) D0 D1\nerror(0.1) D1 D2\nerror(0.1) D2 D3\nerror(0.1) D3"
    )


# --- the module ----------------------------------------------------------------


def test_submodule_names_order_and_module_names():
    assert nivra.qec.__all__ == ["DetectorErrorModel", "Decoder", "decoder_names"]
    assert decoder_names() == NAMES
    native = _native.qec
    assert native.__name__ == "qec"
    public = [name for name in vars(native) if not name.startswith("_")]
    assert public == ["DetectorErrorModel", "Decoder", "decoder_names"]
    # The submodule is registered after every top-level name.
    assert [name for name in vars(_native) if not name.startswith("_")][-1] == "qec"
    assert DetectorErrorModel is native.DetectorErrorModel and Decoder is native.Decoder
    assert DetectorErrorModel.__module__ == "nivra.qec" and Decoder.__module__ == "nivra.qec"
    assert repr(Decoder) == "<class 'nivra.qec.Decoder'>"
    with pytest.raises(TypeError):

        class Derived(Decoder):  # noqa: F841
            pass


def test_package_attribute_is_the_submodule_in_either_import_order():
    check = (
        "import sys, nivra, nivra._native; m = sys.modules['nivra.qec']; "
        "assert nivra.qec is m and m.__name__ == 'nivra.qec', nivra.qec; "
        "assert m.Decoder is nivra._native.qec.Decoder and m.decoder_names is nivra._native.qec.decoder_names"
    )
    orders = ["import nivra", "import nivra.qec", "from nivra.qec import Decoder", "import nivra.qec; import nivra"]
    for imports in orders:
        subprocess.run([sys.executable, "-c", f"{imports}; {check}"], check=True, timeout=60)


def test_docstrings_and_text_signatures():
    expected = {
        DetectorErrorModel: (
            "(model)",
            "A stim-format Detector Error Model (`repeat`/`shift_detectors`/`^` supported).",
        ),
        Decoder: ("(dem, name, **params)", "A decoder built once for a DEM and reused across shots."),
        DetectorErrorModel.from_file: ("(path)", "Read and parse a `.dem` file."),
        DetectorErrorModel.to_dem_string: ("($self)", "The flat model as DEM text (`repeat` blocks unrolled)."),
        Decoder.decode: (
            "($self, dets)",
            "Decode one shot: `[num_detectors]` bool/uint8 -> `[num_observables]` bool.",
        ),
        Decoder.decode_batch: (
            "($self, dets)",
            "Decode `[shots, num_detectors]` bool/uint8 -> `[shots, num_observables]` bool (GIL released).",
        ),
        Decoder.decode_batch_bit_packed: (
            "($self, packed)",
            "stim b8 rows `[shots, ceil(D/8)]` uint8 -> packed predictions `[shots, ceil(O/8)]` uint8.",
        ),
        decoder_names: ("()", "Names accepted by `Decoder(dem, name)`."),
    }
    for obj, (signature, doc) in expected.items():
        assert obj.__text_signature__ == signature, obj
        assert obj.__doc__ == doc, obj
    assert str(inspect.signature(Decoder)) == "(dem, name, **params)"
    assert str(inspect.signature(DetectorErrorModel)) == "(model)"
    for name in ("num_errors", "num_detectors", "num_observables"):
        assert isinstance(vars(DetectorErrorModel)[name], property)
    assert isinstance(vars(Decoder)["name"], property)
    assert isinstance(vars(DetectorErrorModel)["from_file"], staticmethod)


def test_stub_matches_runtime():
    stub = ast.parse((pathlib.Path(nivra.__file__).parent / "qec.pyi").read_text())
    runtime = _native.qec

    def params(fn):
        args = fn.args
        names = [a.arg for a in args.posonlyargs + args.args]
        names += ["*" + args.vararg.arg] if args.vararg else []
        names += [a.arg for a in args.kwonlyargs]
        names += ["**" + args.kwarg.arg] if args.kwarg else []
        return names

    def runtime_params(text_signature):
        inner = text_signature[1:-1]
        return [p.strip().replace("$self", "self") for p in inner.split(",")] if inner else []

    seen = set()
    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            seen.add(node.name)
            assert params(node) == runtime_params(getattr(runtime, node.name).__text_signature__)
        elif isinstance(node, ast.ClassDef):
            seen.add(node.name)
            cls = getattr(runtime, node.name)
            assert ast.get_docstring(node) == cls.__doc__
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members[item.name] = item
            assert set(members) - {"__new__"} == {n for n in vars(cls) if not n.startswith("_")}
            assert params(members["__new__"])[1:] == runtime_params(cls.__text_signature__)
            for name, fn in members.items():
                if name == "__new__":
                    continue
                decorators = {d.id for d in fn.decorator_list if isinstance(d, ast.Name)}
                attr = vars(cls)[name]
                if "property" in decorators:
                    assert isinstance(attr, property), name
                    continue
                assert ("staticmethod" in decorators) == isinstance(attr, staticmethod), name
                method = getattr(cls, name)
                assert params(fn) == runtime_params(method.__text_signature__), name
                assert ast.get_docstring(fn) == method.__doc__, name
    assert seen == {"DetectorErrorModel", "Decoder", "decoder_names"}


# --- DetectorErrorModel --------------------------------------------------------


def test_model_properties_repr_and_round_trip():
    # The shifts accumulate over the repetitions and also move the later `detector`.
    dem = DetectorErrorModel("repeat 3 {\n error(0.1) D0 D1 L0\n shift_detectors 2\n}\ndetector D9\n")
    assert (dem.num_errors, dem.num_detectors, dem.num_observables) == (3, 16, 1)
    assert repr(dem) == "DetectorErrorModel(detectors=16, observables=1, errors=3)"
    text = dem.to_dem_string()
    assert text == "error(0.1) D0 D1 L0\nerror(0.1) D2 D3 L0\nerror(0.1) D4 D5 L0\ndetector D15\n"
    assert DetectorErrorModel(text).to_dem_string() == text
    assert repr(DetectorErrorModel("")) == "DetectorErrorModel(detectors=0, observables=0, errors=0)"


def test_model_errors():
    with pytest.raises(ValueError) as info:
        DetectorErrorModel("error(0.1) D0\n\nfoo")
    assert str(info.value) == "DEM parse error at line 3: unknown instruction: `foo`"
    with pytest.raises(ValueError, match=r"^DEM parse error at line 1: probability must be finite"):
        DetectorErrorModel("error(1.5) D0")
    with pytest.raises(TypeError) as info:
        DetectorErrorModel(5)
    assert str(info.value) == "argument 'model': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError):
        DetectorErrorModel()
    with pytest.raises(TypeError):
        DetectorErrorModel("", "")


def test_models_that_unroll_too_far_are_refused_at_once():
    # Every target and every `^` counts towards the bound, whichever line it is
    # on; the bound is checked on the block tree before anything is unrolled.
    child = r"""
import resource, sys, time
from nivra.qec import DetectorErrorModel
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.RLIM_INFINITY))
texts = [
    "repeat 268435456 {\ndetector " + " ".join(f"D{i}" for i in range(1000)) + "\n}\n",
    "repeat 1000000 {\nlogical_observable " + " ".join(f"L{i}" for i in range(1000)) + "\n}\n",
    "repeat 33554432 {\nerror(0.1) " + " ".join(["^"] * 1000) + "\n}",
]
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for text in texts:
    start = time.perf_counter()
    try:
        DetectorErrorModel(text)
        print("accepted")
    except ValueError as error:
        print(error)
    print(time.perf_counter() - start)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base)
"""
    out = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, check=True, timeout=60)
    lines = out.stdout.splitlines()
    limit = (
        "DEM parse error at line 1: model too large: `repeat` blocks unroll past 268435456 units "
        "(each target or `^` counts 1, plus 8 per `error` and 1 per other instruction)"
    )
    assert lines[0::2][:3] == [limit] * 3
    assert all(float(seconds) < 1.0 for seconds in lines[1::2][:3])
    assert int(lines[-1]) < 64 << 10  # KiB


def test_from_file(tmp_path):
    path = tmp_path / "m.dem"
    path.write_text("error(0.25) D0 ^ D1 L0\n")
    for arg in (path, str(path)):
        dem = DetectorErrorModel.from_file(arg)
        assert dem.to_dem_string() == "error(0.25) D0 ^ D1 L0\n"
    flat = DetectorErrorModel.from_file(DATA / "surface_d7_p003_flat.dem")
    rolled = DetectorErrorModel.from_file(DATA / "surface_d7_p003.dem")
    assert flat.to_dem_string() == rolled.to_dem_string()

    missing = tmp_path / "missing.dem"
    with pytest.raises(OSError) as info:
        DetectorErrorModel.from_file(missing)
    assert str(info.value).startswith(f"read {missing}: No such file or directory")
    with pytest.raises(OSError, match=r"^read .*: Is a directory"):
        DetectorErrorModel.from_file(tmp_path)
    (tmp_path / "latin1.dem").write_bytes(b"# caf\xe9\nerror(0.1) D0\n")
    with pytest.raises(OSError, match=r"^read .*latin1\.dem: stream did not contain valid UTF-8$"):
        DetectorErrorModel.from_file(tmp_path / "latin1.dem")
    # A NUL byte would silently name another file if passed on to the system.
    with pytest.raises(OSError, match="unexpected NUL byte"):
        DetectorErrorModel.from_file(str(path) + "\0.txt")
    (tmp_path / "bad.dem").write_text("error(0.1) X0\n")
    with pytest.raises(ValueError, match=r"^DEM parse error at line 1: unexpected target `X0`"):
        DetectorErrorModel.from_file(tmp_path / "bad.dem")
    with pytest.raises(TypeError, match=r"^argument 'path': expected str, bytes or os.PathLike object, not int$"):
        DetectorErrorModel.from_file(5)


# --- Decoder construction ------------------------------------------------------


def test_every_name_builds_with_its_parameters():
    dem = small_model()
    for name in NAMES:
        decoder = Decoder(dem, name)
        assert decoder.name == name
    Decoder(dem, "bp", alpha=0.5, max_iter=3)
    Decoder(dem, "bp", alpha=1)  # an int where a float is expected
    Decoder(dem, "bp-osd", max_iter=10, alpha=0.5, osd_order=3)
    Decoder(dem, "relay-bp", legs=0, alpha=2.0, gamma_min=0.1, gamma_max=0.1, seed=2**64 - 1)
    Decoder(dem, "relay-bp-osd", legs=2, alpha=0.5, gamma_min=-1, gamma_max=1, seed=0, osd_order=2)
    assert repr(Decoder(dem, "mwpm")) == 'Decoder("mwpm", detectors=4, observables=1)'
    assert repr(Decoder(dem, "relay-bp")) == 'Decoder("relay-bp", detectors=4, observables=1)'


def value_error(*args, **kwargs):
    with pytest.raises(ValueError) as info:
        Decoder(*args, **kwargs)
    return str(info.value)


def test_parameter_errors_and_their_order():
    dem = small_model()
    assert (
        value_error(dem, "bp", osd_order=1)
        == "unknown parameter `osd_order` for decoder `bp`; valid: [max_iter, alpha]"
    )
    assert value_error(dem, "nope", legs=1) == "unknown parameter `legs` for decoder `nope`; valid: []"
    assert value_error(dem, "mwpm", alpha=1.0) == "unknown parameter `alpha` for decoder `mwpm`; valid: []"
    assert (
        value_error(dem, "relay-bp-osd", max_iter=1)
        == "unknown parameter `max_iter` for decoder `relay-bp-osd`; "
        "valid: [legs, alpha, gamma_min, gamma_max, seed, osd_order]"
    )
    assert value_error(dem, "nope") == (
        "unknown decoder `nope`; valid: mwpm, union-find, union-find-weighted, bp, bp-osd, relay-bp, relay-bp-osd"
    )
    assert value_error(dem, "MWPM").startswith("unknown decoder `MWPM`")
    assert value_error(dem, "a\0b").startswith("unknown decoder `a\0b`; valid: mwpm")  # kept whole past the NUL
    assert value_error(dem, "relay-bp", gamma_min=0.5, gamma_max=0.2) == "gamma_min (0.5) must be <= gamma_max (0.2)"
    assert value_error(dem, "relay-bp", alpha=math.inf) == "parameter `alpha` must be finite, got inf"
    assert value_error(dem, "relay-bp", gamma_min=-math.inf) == "parameter `gamma_min` must be finite, got -inf"
    assert value_error(dem, "relay-bp-osd", gamma_max=math.nan) == "parameter `gamma_max` must be finite, got NaN"
    assert value_error(dem, "bp", alpha=math.nan) == "parameter `alpha` must be finite, got NaN"
    assert value_error(dem, "bp-osd", alpha=-math.inf) == "parameter `alpha` must be finite, got -inf"
    # alpha is checked before the gamma order.
    assert value_error(dem, "relay-bp", alpha=math.inf, gamma_min=1.0, gamma_max=0.0).startswith("parameter `alpha`")
    assert value_error(dem, "relay-bp", gamma_min=2, gamma_max=1) == "gamma_min (2) must be <= gamma_max (1)"
    assert value_error(dem, "relay-bp", legs=2**32) == "parameter `legs` must be below 2^32, got 4294967296"

    # Keywords are checked and converted one by one in dictionary order.
    with pytest.raises(OverflowError):
        Decoder(dem, "bp", max_iter=-1, foo=1)
    assert value_error(dem, "bp", foo=1, max_iter=-1).startswith("unknown parameter `foo`")
    with pytest.raises(ValueError, match="unknown parameter `foo`"):
        Decoder(dem, "bp", **{"foo": 1, "max_iter": "x"})


def test_keyword_conversions_raise_the_interpreters_errors():
    dem = small_model()
    for kwargs in (dict(max_iter=-1), dict(max_iter=2**32)):
        with pytest.raises(OverflowError):
            Decoder(dem, "bp", **kwargs)
    for name, key in (("bp-osd", "osd_order"), ("relay-bp", "legs"), ("relay-bp", "seed")):
        for value in (-1, 2**64):
            with pytest.raises(OverflowError):
                Decoder(dem, name, **{key: value})
    with pytest.raises(TypeError) as info:
        Decoder(dem, "bp", max_iter=1.5)
    assert str(info.value) == "'float' object cannot be interpreted as an integer"
    with pytest.raises(TypeError):
        Decoder(dem, "bp", alpha="0.5")
    with pytest.raises(TypeError) as info:
        Decoder("error(0.1) D0", "mwpm")
    assert str(info.value) == "argument 'dem': 'str' object cannot be converted to 'DetectorErrorModel'"
    with pytest.raises(TypeError) as info:
        Decoder(dem, 3)
    assert str(info.value) == "argument 'name': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError):
        Decoder(dem)
    with pytest.raises(TypeError):
        Decoder(dem, "bp", 100)
    with pytest.raises(TypeError):
        Decoder(dem, "bp", name="bp")


def test_more_than_64_observables_fails_for_every_name():
    wide = DetectorErrorModel("error(0.1) D0 L64")
    for name in NAMES + ["nope"]:
        assert value_error(wide, name) == "nivra decoders support at most 64 logical observables, got 65"
    # With keywords, the keyword check comes first.
    assert value_error(wide, "nope", legs=1).startswith("unknown parameter")
    at_limit = DetectorErrorModel("error(0.1) D0 L63")
    for name in NAMES:
        assert Decoder(at_limit, name).decode(np.ones(1, bool)).shape == (64,)


def test_construction_errors_of_the_decoders():
    hyperedge = DetectorErrorModel("error(0.1) D0 D1 D2 L0")
    message = "non-graphlike DEM: an error mechanism flips 3 detectors (>2); matching needs a graph-like DEM"
    for name in MATCHING_NAMES:
        assert value_error(hyperedge, name) == message
    for name in NAMES[3:]:
        Decoder(hyperedge, name)  # the BP family takes any model
    assert value_error(DetectorErrorModel("error(0.1) D0"), "relay-bp", gamma_min=-1e308, gamma_max=1e308) == (
        "gamma_max - gamma_min must be finite, got inf"
    )


# --- array conversion ----------------------------------------------------------


def test_dtype_and_type_errors_name_the_method():
    decoder = Decoder(small_model(), "mwpm")
    not_accepted = [
        [0, 1, 0, 0],
        (0, 1, 0, 0),
        np.zeros(4, np.int8),
        np.zeros(4, np.int64),
        np.zeros(4, np.float64),
        np.zeros(4, np.uint16),
        np.zeros(4, "V1"),
        np.uint8(1),
        None,
        memoryview(bytes(4)),
    ]
    for value in not_accepted:
        for method, label in ((decoder.decode, "decode"), (decoder.decode_batch, "decode_batch")):
            with pytest.raises(ValueError) as info:
                method(value)
            assert str(info.value) == f"{label}: expected a numpy bool or uint8 array"
        with pytest.raises(ValueError) as info:
            decoder.decode_batch_bit_packed(value)
        assert str(info.value) == "decode_batch_bit_packed: expected a numpy uint8 array"
    with pytest.raises(ValueError, match=r"^decode_batch_bit_packed: expected a numpy uint8 array$"):
        decoder.decode_batch_bit_packed(np.zeros((2, 1), bool))
    with pytest.raises(TypeError):
        decoder.decode()
    with pytest.raises(TypeError):
        decoder.decode_batch(np.zeros((1, 4), bool), np.zeros((1, 4), bool))


def test_shape_errors():
    decoder = Decoder(small_model(), "mwpm")  # D = 4
    cases = [
        (decoder.decode, np.zeros(5, bool), "decode: expected 1-D array with last dimension 4, got shape [5]"),
        (decoder.decode, np.zeros((1, 4), bool), "decode: expected 1-D array with last dimension 4, got shape [1, 4]"),
        (decoder.decode, np.zeros((), bool), "decode: expected 1-D array with last dimension 4, got shape []"),
        (
            decoder.decode_batch,
            np.zeros((5, 5), np.uint8),
            "decode_batch: expected 2-D array with last dimension 4, got shape [5, 5]",
        ),
        (
            decoder.decode_batch,
            np.zeros(4, bool),
            "decode_batch: expected 2-D array with last dimension 4, got shape [4]",
        ),
        (
            decoder.decode_batch,
            np.zeros((2, 3, 4), bool),
            "decode_batch: expected 2-D array with last dimension 4, got shape [2, 3, 4]",
        ),
        (
            decoder.decode_batch_bit_packed,
            np.zeros((3, 2), np.uint8),
            "decode_batch_bit_packed: expected 2-D array with last dimension 1, got shape [3, 2]",
        ),
        (
            decoder.decode_batch_bit_packed,
            np.zeros(1, np.uint8),
            "decode_batch_bit_packed: expected 2-D array with last dimension 1, got shape [1]",
        ),
    ]
    for method, value, message in cases:
        with pytest.raises(ValueError) as info:
            method(value)
        assert str(info.value) == message
    # A huge first dimension is checked before anything is copied.
    with pytest.raises(ValueError, match=r"got shape \[1125899906842624, 5\]"):
        decoder.decode_batch(np.broadcast_to(np.zeros(5, bool), (2**50, 5)))


def test_layouts_give_the_row_major_result(rep5, rep5_samples):
    dets, _ = rep5_samples
    decoder = Decoder(rep5, "mwpm")
    reference = decoder.decode_batch(np.ascontiguousarray(dets))
    assert reference.dtype == np.bool_ and reference.shape == (len(dets), 1)
    assert reference.flags.c_contiguous and reference.flags.writeable

    fortran = np.asfortranarray(dets)
    assert np.array_equal(decoder.decode_batch(fortran), reference)
    assert np.array_equal(decoder.decode_batch(fortran.astype(bool)), reference)
    readonly = dets.copy()
    readonly.flags.writeable = False
    assert np.array_equal(decoder.decode_batch(readonly), reference)
    assert np.array_equal(decoder.decode_batch(dets[::-1])[::-1], reference)
    wide = np.zeros((2 * len(dets), 3 * dets.shape[1]), np.uint8)
    wide[::2, 1::3] = dets
    assert np.array_equal(decoder.decode_batch(wide[::2, 1::3]), reference)
    reversed_columns = np.ascontiguousarray(dets[:, ::-1])[:, ::-1]
    assert np.array_equal(decoder.decode_batch(reversed_columns), reference)
    broadcast = np.broadcast_to(dets[7], (5, dets.shape[1]))
    assert np.array_equal(decoder.decode_batch(broadcast), np.repeat(reference[7:8], 5, axis=0))
    # Any non-zero byte is a fired detector, also under a bool view.
    twos = dets * np.uint8(2)
    assert np.array_equal(decoder.decode_batch(twos), reference)
    assert np.array_equal(decoder.decode_batch(twos.view(bool)), reference)
    # One row through decode, strided.
    for i in (0, 3, 7):
        assert np.array_equal(decoder.decode(wide[2 * i, 1::3]), reference[i])
        assert np.array_equal(decoder.decode(dets[i].astype(bool)), reference[i])


def test_zero_sized_inputs_and_models():
    dem = small_model()
    decoder = Decoder(dem, "mwpm")
    empty = decoder.decode_batch(np.zeros((0, 4), bool))
    assert empty.shape == (0, 1) and empty.dtype == np.bool_
    packed = decoder.decode_batch_bit_packed(np.zeros((0, 1), np.uint8))
    assert packed.shape == (0, 1) and packed.dtype == np.uint8

    # No observables: empty prediction rows, and no decoder call needed.
    no_obs = DetectorErrorModel("error(0.1) D0 D1\nerror(0.1) D1")
    for name in NAMES:
        d = Decoder(no_obs, name)
        assert d.decode(np.array([1, 0], np.uint8)).shape == (0,)
        assert d.decode_batch(np.ones((3, 2), bool)).shape == (3, 0)
        assert d.decode_batch_bit_packed(np.full((3, 1), 255, np.uint8)).shape == (3, 0)

    # No detectors: every row decodes from an empty syndrome.
    no_dets = DetectorErrorModel("logical_observable L1")
    for name in NAMES:
        d = Decoder(no_dets, name)
        assert np.array_equal(d.decode(np.zeros(0, bool)), [False, False])
        assert np.array_equal(d.decode_batch(np.zeros((2, 0), np.uint8)), np.zeros((2, 2), bool))
        assert np.array_equal(d.decode_batch_bit_packed(np.zeros((2, 0), np.uint8)), np.zeros((2, 1), np.uint8))
    # Output too large for memory: an error, not a crash.
    with pytest.raises(MemoryError, match="^cannot allocate "):
        Decoder(no_dets, "mwpm").decode_batch(np.zeros((2**50, 0), bool))


# --- decoding ------------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
def test_single_batch_and_packed_paths_agree(name, rep5, rep5_samples):
    dets, _ = rep5_samples
    decoder = Decoder(rep5, name)
    batch = decoder.decode_batch(dets)
    rows = np.array([decoder.decode(row) for row in dets])
    assert np.array_equal(rows, batch)
    packed = decoder.decode_batch_bit_packed(pack_rows(dets))
    assert packed.shape == (len(dets), 1) and packed.dtype == np.uint8
    assert np.array_equal(unpack_rows(packed, 1), batch)
    assert not np.any(packed & 0xFE)  # bits at positions >= O stay 0


def test_uint8_value_two_is_fired():
    decoder = Decoder(small_model(), "mwpm")
    assert np.array_equal(decoder.decode(np.array([2, 0, 0, 0], np.uint8)), [True])
    assert np.array_equal(decoder.decode(np.array([0, 0, 0, 255], np.uint8)), [False])


def test_bit_packed_ignores_bits_beyond_the_detectors():
    # D = 10 (2 bytes per row), O = 3 (1 byte per output row).
    dem = DetectorErrorModel(
        "error(0.1) D0 L0\nerror(0.1) D0 D1\nerror(0.1) D1 L1\nerror(0.1) D9 L2\nerror(0.1) D8 D9\nerror(0.1) D8\n"
        "error(0.1) D2 D3\nerror(0.1) D3 D4\nerror(0.1) D4 D5\nerror(0.1) D5 D6\nerror(0.1) D6 D7\nerror(0.1) D7\n"
        "error(0.1) D2"
    )
    assert (dem.num_detectors, dem.num_observables) == (10, 3)
    dets, _ = sample(dem, 300, seed=5)
    for name in NAMES:
        decoder = Decoder(dem, name)
        packed = pack_rows(dets)
        assert packed.shape == (300, 2)
        noisy = packed.copy()
        noisy[:, 1] |= np.uint8(0b11111100)  # bits 10 to 15
        out = decoder.decode_batch_bit_packed(noisy)
        assert out.shape == (300, 1)
        assert np.array_equal(out, decoder.decode_batch_bit_packed(packed))
        assert not np.any(out & 0b11111000)
        assert np.array_equal(unpack_rows(out, 3), decoder.decode_batch(dets))
        # Strided packed input.
        spread = np.zeros((600, 4), np.uint8)
        spread[::2, ::2] = noisy
        assert np.array_equal(decoder.decode_batch_bit_packed(spread[::2, ::2]), out)


def brute_force_min_weight(dem):
    """For each syndrome of a small graph-like model, the observable flips of a
    lowest-weight set of mechanisms producing it (None where none does)."""
    mechs = mechanisms(dem)
    d = dem.num_detectors
    best = {}
    for subset in itertools.product((0, 1), repeat=len(mechs)):
        syndrome = [0] * d
        obs = 0
        weight = 0.0
        for on, (p, dets, observables) in zip(subset, mechs):
            if on:
                weight += math.log((1 - p) / p)
                for x in dets:
                    syndrome[x] ^= 1
                for x in observables:
                    obs ^= 1 << x
        key = tuple(syndrome)
        if key not in best or weight < best[key][0]:
            best[key] = (weight, obs)
    return best


def test_mwpm_finds_the_lowest_weight_correction():
    # Distinct probabilities (no ties), each edge key once, two observables.
    rng = np.random.default_rng(3)
    edges = [(0, None, [0]), (0, 1, []), (1, 2, [1]), (2, 3, []), (3, None, []), (0, 2, []), (1, 3, [0]),
             (2, None, [1]), (4, 5, []), (4, None, [0]), (5, 3, []), (1, 4, [1])]
    lines = []
    for (u, v, obs), p in zip(edges, rng.uniform(0.02, 0.3, len(edges))):
        targets = [f"D{u}"] + ([f"D{v}"] if v is not None else []) + [f"L{k}" for k in obs]
        lines.append(f"error({float(p)!r}) " + " ".join(targets))
    dem = DetectorErrorModel("\n".join(lines))
    best = brute_force_min_weight(dem)
    syndromes = np.array(sorted(best), dtype=np.uint8)
    predicted = Decoder(dem, "mwpm").decode_batch(syndromes)
    expected = np.array([[(best[tuple(s)][1] >> k) & 1 for k in range(2)] for s in syndromes], bool)
    assert np.array_equal(predicted, expected)


def test_every_decoder_corrects_single_errors():
    dem = repetition_dem(5, 2, 0.01, 0.01)
    for p, dets, obs in mechanisms(dem):
        row = np.zeros(dem.num_detectors, np.uint8)
        row[dets] = 1
        want = np.zeros(1, bool)
        want[obs] = True
        for name in NAMES:
            assert np.array_equal(Decoder(dem, name).decode(row), want), (name, dets)


# C++ test figures for the same models (20000 shots each): logical error rates
# at d = 3, 5, 7.
CPP_RATES = {
    "mwpm": (0.0061, 0.00345, 0.0015),
    "union-find": (0.0081, 0.00515, 0.0035),
    "union-find-weighted": (0.00625, 0.00375, 0.0017),
}


def test_surface_code_logical_error_rates_match_the_native_tests():
    shots = 20000
    models = [DetectorErrorModel.from_file(DATA / f"surface_d{d}_p003.dem") for d in (3, 5, 7)]
    samples = [sample(dem, shots, seed=100 + i) for i, dem in enumerate(models)]
    for name, figures in CPP_RATES.items():
        rates = []
        for dem, (dets, obs) in zip(models, samples):
            predicted = Decoder(dem, name).decode_batch_bit_packed(pack_rows(dets))
            rates.append(np.mean(np.any(unpack_rows(predicted, dem.num_observables) != obs.astype(bool), axis=1)))
        for rate, figure in zip(rates, figures):
            sigma = math.sqrt(2 * figure * (1 - figure) / shots)
            assert abs(rate - figure) < 5 * sigma, (name, rates, figures)
        assert rates[0] > rates[1] > rates[2], (name, rates)


def test_bp_family_beats_no_correction():
    dem = repetition_dem(7, 6, 0.02, 0.02)
    dets, obs = sample(dem, 4000, seed=9)
    unencoded = np.mean(obs[:, 0])
    for name in NAMES:
        predicted = Decoder(dem, name).decode_batch(dets)
        rate = np.mean(predicted[:, 0] != obs[:, 0].astype(bool))
        assert rate < unencoded / 3, (name, rate, unencoded)


# --- threads -------------------------------------------------------------------


def test_concurrent_calls_on_one_decoder_match_one_thread():
    dem = DetectorErrorModel.from_file(DATA / "surface_d5_p003.dem")
    all_dets, _ = sample(dem, 3000, seed=21)
    # Per-thread scratch: blossom (mwpm), clusters (union-find), messages (BP family).
    for name, shots in (("mwpm", 3000), ("union-find-weighted", 3000), ("bp-osd", 150), ("relay-bp", 60)):
        dets = all_dets[:shots]
        packed = pack_rows(dets)
        decoder = Decoder(dem, name)
        reference = decoder.decode_batch(dets)
        reference_packed = decoder.decode_batch_bit_packed(packed)
        results = {}
        errors = []

        def work(i):
            try:
                for _ in range(2):
                    if i % 2 == 0:
                        results[i] = decoder.decode_batch(dets)
                    else:
                        results[i] = decoder.decode_batch_bit_packed(packed)
            except Exception as exc:  # pragma: no cover - reported below
                errors.append(exc)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors
        for i, result in results.items():
            assert np.array_equal(result, reference if i % 2 == 0 else reference_packed), (name, i)


THREAD_SCRIPT = """
import hashlib, sys
import numpy as np
from nivra.qec import Decoder, DetectorErrorModel
dem = DetectorErrorModel.from_file(sys.argv[1])
dets = np.load(sys.argv[2])
digest = hashlib.sha256()
for name, shots in (("mwpm", 2000), ("union-find", 2000), ("bp-osd", 200), ("relay-bp-osd", 100)):
    digest.update(Decoder(dem, name).decode_batch(dets[:shots]).tobytes())
print(digest.hexdigest())
"""


def test_results_do_not_depend_on_the_thread_count(tmp_path):
    dem_path = DATA / "surface_d5_p003.dem"
    dets, _ = sample(DetectorErrorModel.from_file(dem_path), 2000, seed=33)
    np.save(tmp_path / "dets.npy", dets)
    digests = set()
    for threads in ("1", "3", str(os.cpu_count() or 4)):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        run = subprocess.run(
            [sys.executable, "-c", THREAD_SCRIPT, str(dem_path), str(tmp_path / "dets.npy")],
            env=env,
            capture_output=True,
            text=True,
            check=True,
        )
        digests.add(run.stdout.strip())
    assert len(digests) == 1
    expected = hashlib.sha256()
    for name, shots in (("mwpm", 2000), ("union-find", 2000), ("bp-osd", 200), ("relay-bp-osd", 100)):
        expected.update(Decoder(DetectorErrorModel.from_file(dem_path), name).decode_batch(dets[:shots]).tobytes())
    assert digests == {expected.hexdigest()}
