"""Worker pools, the shared pool's size, and borrows between real Python threads."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from conftest import surface_bytes as surfaces
from tarna_mesh import Mesher


def run_python(code, **env):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    full_env.update(env)
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=full_env, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, "3"),
        ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, "3"),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, "5"),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "7"}, "7"),
        ({"RAYON_NUM_THREADS": "-2"}, None),
        ({}, None),
    ],
)
def test_shared_pool_size(env, expected):
    out = run_python(
        """
        import os
        from tarna_mesh import Mesher
        m = Mesher()
        print(m.effective_threads, Mesher(threads=6).effective_threads, len(os.sched_getaffinity(0)))
        """,
        **env,
    )
    shared, private, affinity = (int(x) for x in out.split())
    assert private == 6
    if expected is None:
        assert 1 <= shared <= affinity
    else:
        assert shared == int(expected)


def test_pool_that_cannot_start_is_a_value_error():
    out = run_python(
        """
        import resource
        import numpy as np  # loaded before the cap: its own libraries need room to map
        from tarna_mesh import Mesher
        # Thread stacks are mapped memory: a tight address-space cap stops thread creation early.
        usage = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (usage + 256 * 2**20, resource.RLIM_INFINITY))
        try:
            Mesher(threads=100000)
        except ValueError as error:
            print(str(error).startswith("thread pool: "), type(error).__name__)
        m = Mesher(threads=2)
        labels = np.zeros((4, 4, 20), np.uint8)
        labels[1:3, 1:3, 2:18] = 1
        m.mesh(labels)
        print(m.ids().tolist())
        """
    )
    assert out.splitlines() == ["True ValueError", "[1]"]


def random_volume(seed, shape=(12, 10, 40), labels=5):
    rng = np.random.default_rng(seed)
    return rng.integers(0, labels, size=shape, dtype=np.uint16)


LAYOUTS = {
    "C": lambda a: a,
    "F": np.asfortranarray,
    "flipped": lambda a: a[::-1, :, ::-1],
    "axes swapped": lambda a: np.ascontiguousarray(a.transpose(2, 0, 1)).transpose(1, 2, 0),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("value", [0, 7])
@pytest.mark.parametrize("odd_one", [None, (0, 0, 0), (8, 6, 39), (4, 3, 20), (8, 0, 0)])
def test_one_label_volumes_across_threads(layout, value, odd_one):
    """Volumes of one label (found by a read shared among the threads) and volumes where one voxel
    differs somewhere give what a single thread gives."""
    labels = np.full((9, 7, 40), value, np.uint16)
    if odd_one is not None:
        labels[odd_one] = 3
    labels = LAYOUTS[layout](labels)
    for close in (False, True):
        expected = None
        for threads in (1, 2, 3):
            mesher = Mesher(threads=threads)
            mesher.mesh(labels, close=close)
            result = surfaces(mesher)
            if expected is None:
                expected = result
            assert result == expected, (close, threads)


def test_pooled_meshers_created_and_destroyed_in_a_loop():
    labels = random_volume(1)
    expected = None
    for _ in range(40):
        mesher = Mesher(threads=3)
        mesher.mesh(labels, close=True)
        result = surfaces(mesher)
        expected = expected or result
        assert result == expected
        del mesher


def test_meshers_on_the_shared_pool_from_many_threads():
    volumes = [random_volume(seed) for seed in range(6)]
    expected = []
    for labels in volumes:
        single = Mesher(threads=1)
        single.mesh(labels, close=True)
        expected.append(surfaces(single))
    results = [None] * len(volumes)
    errors = []

    def work(index):
        try:
            for _ in range(3):
                mesher = Mesher(threads=0)
                mesher.mesh(volumes[index], close=True)
                results[index] = surfaces(mesher)
        except BaseException as error:  # surfaced below
            errors.append(error)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(len(volumes))]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(60)
    assert not any(worker.is_alive() for worker in workers)
    assert errors == []
    assert results == expected


def big_volume():
    rng = np.random.default_rng(7)
    return rng.integers(0, 50, size=(160, 160, 160), dtype=np.uint32)


def poll_during(busy, probes, seconds=30):
    """Runs `busy` on a thread and `probes` repeatedly meanwhile; returns what the probes saw."""
    started = threading.Event()
    outcome = {}

    def target():
        started.set()
        try:
            busy()
        except BaseException as error:
            outcome["error"] = error

    thread = threading.Thread(target=target)
    thread.start()
    started.wait()
    seen = {}
    deadline = time.monotonic() + seconds
    while thread.is_alive() and time.monotonic() < deadline:
        for name, probe in probes.items():
            try:
                probe()
                seen.setdefault(name, set()).add("ok")
            except RuntimeError as error:
                seen.setdefault(name, set()).add(str(error))
            except Exception as error:  # e.g. get() before the first mesh() has begun
                seen.setdefault(name, set()).add(type(error).__name__)
        time.sleep(0.001)
    thread.join()
    assert "error" not in outcome, outcome
    return seen


def test_borrows_while_mesh_runs():
    mesher = Mesher(threads=2)
    labels = big_volume()
    seen = poll_during(
        lambda: mesher.mesh(labels),
        {
            "repr": lambda: repr(mesher),
            "ids": mesher.ids,
            "len": lambda: len(mesher),
            "threads": lambda: mesher.effective_threads,
            "contains": lambda: mesher.contains(1),
            "get": lambda: mesher.get(1),
            "erase": lambda: mesher.erase(1),
            "clear": mesher.clear,
            "mesh": lambda: mesher.mesh(labels[:2, :2, :2]),
        },
    )
    for name in ["repr", "ids", "len", "threads", "contains", "get"]:
        assert "Already mutably borrowed" in seen[name], name
    for name in ["erase", "clear", "mesh"]:
        assert "Already borrowed" in seen[name], name


def test_borrows_while_get_runs():
    labels = np.zeros((200, 200, 200), np.uint8)
    labels[5:195, 5:195, 5:195] = 1
    labels[50:150, 50:150, 50:150] = 2
    mesher = Mesher(threads=0)
    mesher.mesh(labels)

    def reads():
        for _ in range(10):
            mesher.get(1, normals=True)

    seen = poll_during(
        reads,
        {
            "ids": mesher.ids,
            "contains": lambda: mesher.contains(2),
            "len": lambda: len(mesher),
            "erase": lambda: mesher.erase(99),
        },
    )
    for name in ["ids", "contains", "len"]:
        assert seen[name] == {"ok"}, name
    assert "Already borrowed" in seen["erase"]
    assert mesher.ids().tolist() == [1, 2]
