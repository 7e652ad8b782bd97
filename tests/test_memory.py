"""Allocations beyond the memory the process may use fail with a MemoryError
that names what was being allocated and its size, instead of an empty message
or the process being killed."""

import json
import re
import subprocess
import sys

CAPPED_SCRIPT = r"""
import json, resource
import nivra, nivra.qec

def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

# One GiB of address space beyond what the interpreter already maps.
cap = vm_size() + (1 << 30)
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

def message(call):
    try:
        call()
    except MemoryError as e:
        return str(e)
    return None

def circuit(n):
    c = nivra.Circuit(n)
    for q in range(n):
        c.h(q)
    return c

noise = nivra.NoiseModel()
noise.add_all_qubit_quantum_error(nivra.depolarizing_error(0.01), "h")
dem = nivra.qec.DetectorErrorModel("error(0.1) D0 D1 L0\nerror(0.2) D1\n")
print(json.dumps({
    "small": sum(nivra.run(circuit(20), shots=3, seed=1, backend="sv").counts().values()),
    "state": message(lambda: nivra.run(circuit(28), shots=1, seed=1, backend="sv")),
    "noisy": message(lambda: nivra.run(circuit(28), shots=1, seed=1, noise=noise)),
    "legs": message(lambda: nivra.qec.Decoder(dem, "relay-bp", legs=2**32 - 1)),
    "endless": message(lambda: nivra.qec.DetectorErrorModel.from_file("/dev/zero")),
}))
"""

SIZE = r"\d+\.\d (B|KiB|MiB|GiB|TiB)"


def test_memory_errors_under_an_address_space_cap_say_what_and_how_much():
    done = subprocess.run([sys.executable, "-c", CAPPED_SCRIPT], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    # Work that fits still runs under the cap.
    assert out["small"] == 3
    assert re.fullmatch(rf"cannot allocate 4\.0 GiB for a 28-qubit state vector \({SIZE} available\)", out["state"])
    assert re.fullmatch(
        rf"cannot allocate 2\.0 GiB for the outcome counters of a 28-qubit noisy run \({SIZE} available\)",
        out["noisy"],
    )
    assert re.fullmatch(
        rf"cannot allocate 64\.0 GiB for the relay-BP memory strengths of 4294967295 legs and 2 mechanisms "
        rf"\({SIZE} available\)",
        out["legs"],
    )
    assert re.fullmatch(rf"cannot allocate more than {SIZE} for the text of /dev/zero", out["endless"])


PEAK_SCRIPT = r"""
import resource, sys
import nivra

def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def entangle(n, first):
    c = nivra.Circuit(n)
    for q in range(first, first + 8):
        c.h(q)
    for q in range(first, first + 7):
        c.cx(q, q + 1)
    return c

n, first, capped = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "capped"
# A small relabelled run first, so that the pool's threads and their heaps
# exist before the address space is measured.
nivra.run(entangle(20, 12), shots=0, seed=3, backend="sv")
if capped:
    # The address space in use, one state and a margin well below a second state.
    cap = vm_size() + (16 << n) + (96 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
try:
    nivra.run(entangle(n, first), shots=0, seed=3, backend="sv")
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
except MemoryError as e:
    print(e)
"""


def peak_of_run(n, first, capped):
    done = subprocess.run(
        [sys.executable, "-c", PEAK_SCRIPT, str(n), str(first), "capped" if capped else "free"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_a_relabelled_run_holds_one_state():
    # Gates on the top qubits make the optimiser renumber them to the bottom;
    # mapping the final state back must not need a second state.
    low, high = int(peak_of_run(24, 0, False)), int(peak_of_run(24, 16, False))
    assert high <= 1.1 * low
    assert peak_of_run(24, 0, True).isdigit()
    assert peak_of_run(24, 16, True).isdigit()
