"""The process-wide thread pool: its size follows the CPUs the process may use,
and a child forked while the parent keeps the pool busy still gets its work
done, with the same results."""

import hashlib
import os
import subprocess
import sys

import numpy as np
import pytest

import nivra
from nivra.qec import Decoder, DetectorErrorModel
from test_qec import DATA, sample

THREADS_SCRIPT = r"""
import os, sys
if sys.argv[1]:
    os.sched_setaffinity(0, {int(cpu) for cpu in sys.argv[1].split(",")})
import nivra
before = len(os.listdir("/proc/self/task"))
c = nivra.Circuit(20)  # 2^20 amplitudes: every gate runs on the pool
for q in range(20):
    c.h(q)
nivra.run(c, shots=10, seed=1, backend="sv")
# The pool's threads: the calling thread and the workers it started.
print(len(os.listdir("/proc/self/task")) - before + 1)
"""


def pool_threads(cpus, **env):
    done = subprocess.run(
        [sys.executable, "-c", THREADS_SCRIPT, ",".join(map(str, cpus))],
        env={k: v for k, v in dict(os.environ, **env).items() if v is not None},
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return int(done.stdout)


def test_pool_size_follows_the_affinity_unless_rayon_num_threads_is_set():
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        pytest.skip("needs two CPUs")
    assert pool_threads(cpus[:1], RAYON_NUM_THREADS=None) == 1
    assert pool_threads(cpus[:2], RAYON_NUM_THREADS=None) <= 2
    # RAYON_NUM_THREADS wins, beyond the affinity too.
    assert pool_threads(cpus[:2], RAYON_NUM_THREADS="3") == 3


FORK_SCRIPT = r"""
import hashlib, os, sys, threading, time
import numpy as np
import nivra
from nivra.qec import Decoder, DetectorErrorModel

busy, then = sys.argv[1], sys.argv[2]
decoder = Decoder(DetectorErrorModel.from_file(sys.argv[3]), "bp-osd")
dets = np.load(sys.argv[4])

def work(kind):
    if kind == "decode":
        return decoder.decode_batch(dets[:500]).tobytes()
    c = nivra.Circuit(22)
    for q in range(22):
        c.h(q)
    for q in range(21):
        c.cx(q, q + 1)
    return repr(sorted(nivra.run(c, shots=200, seed=5, backend="sv").counts().items())).encode()

stop = threading.Event()
def keep_busy():
    while not stop.is_set():
        work(busy)
thread = threading.Thread(target=keep_busy)
thread.start()
time.sleep(0.5)
child = os.fork()
if child == 0:
    os.write(1, (hashlib.sha256(work(then)).hexdigest() + "\n").encode())
    os._exit(0)
stop.set()
# Long enough for the child's work on one thread on a loaded machine; a child
# whose pool waits for the parent's threads never ends.
deadline = time.monotonic() + 90
while (done := os.waitpid(child, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
    time.sleep(0.05)
if done[0] == 0:
    os.kill(child, 9)
    os.waitpid(child, 0)
    print("child hung")
thread.join()
print(hashlib.sha256(work(then)).hexdigest())
"""


@pytest.fixture(scope="module")
def fork_inputs(tmp_path_factory):
    dem_path = DATA / "surface_d7_p003.dem"
    dets, _ = sample(DetectorErrorModel.from_file(dem_path), 2000, seed=3)
    path = tmp_path_factory.mktemp("fork") / "dets.npy"
    np.save(path, dets)
    return dem_path, path, dets


@pytest.mark.parametrize("busy, then", [("decode", "decode"), ("decode", "run"), ("run", "decode")])
def test_child_forked_while_the_pool_is_busy_finishes_with_the_same_result(fork_inputs, busy, then):
    dem_path, dets_path, dets = fork_inputs
    done = subprocess.run(
        [sys.executable, "-W", "ignore", "-c", FORK_SCRIPT, busy, then, str(dem_path), str(dets_path)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert "child hung" not in done.stdout
    child, parent = done.stdout.split()
    if then == "decode":
        expected = Decoder(DetectorErrorModel.from_file(dem_path), "bp-osd").decode_batch(dets[:500]).tobytes()
    else:
        c = nivra.Circuit(22)
        for q in range(22):
            c.h(q)
        for q in range(21):
            c.cx(q, q + 1)
        expected = repr(sorted(nivra.run(c, shots=200, seed=5, backend="sv").counts().items())).encode()
    # The child on one thread and the parent on its pool compute the same.
    assert child == parent == hashlib.sha256(expected).hexdigest()
