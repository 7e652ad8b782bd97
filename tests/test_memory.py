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


STATE_SCRIPT = r"""
import json, resource, sys
import nivra

def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

n = 24
c = nivra.Circuit(n)
for q in range(n):
    c.h(q)
    c.t(q)
# The pool's threads and their heaps exist before the cap is taken.
nivra.run(c, shots=1, seed=1, backend="sv")
room = {"tables": 14, "copy": 8}[sys.argv[1]]
# Room for the state (16 bytes an amplitude) and `room` bytes an amplitude more.
cap = vm_size() + ((16 + room) << n)
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

def outcome(call):
    try:
        value = call()
    except MemoryError as e:
        return {"error": str(e)}
    return {"value": value}

if sys.argv[1] == "tables":
    print(json.dumps(outcome(lambda: sum(nivra.run(c, shots=1000, seed=1, backend="sv").counts().values()))))
else:
    result = nivra.run(c, shots=0, seed=1, backend="sv")
    print(json.dumps(outcome(lambda: len(result.statevector()))))
"""


def capped_state_run(mode):
    done = subprocess.run([sys.executable, "-c", STATE_SCRIPT, mode], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_sampling_a_state_needs_twelve_bytes_an_amplitude_beside_it():
    # 14 bytes an amplitude are left beside the 24-qubit state: the alias
    # table's thresholds and aliases fit, with no work lists beside them.
    assert capped_state_run("tables") == {"value": 1000}


def test_statevector_copy_is_checked_against_the_limit():
    # The run fits; a second 256 MiB copy of its state does not.
    out = capped_state_run("copy")
    assert re.fullmatch(
        rf"cannot allocate 256\.0 MiB for the returned copy of a 24-qubit state vector \({SIZE} available\)",
        out["error"],
    ), out
