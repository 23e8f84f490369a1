"""What a long-lived service does to the module: exit or fork with calls in flight, hostile
argument objects, unbounded cuts, label arrays changed while they are read."""

import json
import sys
import threading

import numpy as np
import pytest
from conftest import assert_closed, run_python
from tarna_mesh import Mesher, dice


@pytest.mark.parametrize("threads", [0, 1, 3])
def test_exit_with_calls_in_flight(threads):
    """Daemon threads inside mesh(), get(), dice() and a failing call while the interpreter exits:
    finalization ends them by forced unwind, which must pass through every frame of the module."""
    result = run_python(
        f"""
        import threading, time
        import numpy as np
        from tarna_mesh import Mesher, dice
        labels = np.random.default_rng(0).integers(0, 5, (24, 24, 24), dtype=np.uint32)
        odd = np.zeros(labels.nbytes + 1, np.uint8)[1:].view(np.uint32).reshape(labels.shape)
        odd[...] = labels  # misaligned: meshed from a copy

        def forever(call):
            def loop():
                while True:
                    try:
                        call()
                    except ValueError:
                        pass
            threading.Thread(target=loop, daemon=True).start()

        meshed = Mesher(threads={threads})
        meshed.mesh(labels)
        vertices, faces, _ = meshed.get(1)
        for array in (labels, odd):
            forever(lambda m=Mesher(threads={threads}), a=array: m.mesh(a))
        forever(lambda: meshed.get(1, normals=True, reduction_factor=2))
        forever(lambda: dice(vertices, faces, (3.0, 3.0, 3.0), (0.0, 0.0, 0.0), (10, 10, 10)))
        forever(lambda m=Mesher(threads={threads}): m.get(1))  # ValueError: nothing meshed yet
        time.sleep(0.3)
        """
    )
    assert (result.returncode, result.stderr) == (0, "")


def test_fork_child_meshes():
    """After pools ran in the parent, a forked child meshes on the shared pool, on a Mesher made
    in the parent and on a new private pool, with the parent's results."""
    result = run_python(
        """
        import multiprocessing, os, time
        import numpy as np
        from tarna_mesh import Mesher
        labels = np.random.default_rng(0).integers(0, 5, (24, 24, 40), dtype=np.uint32)

        def surfaces(mesher, threads):
            mesher.mesh(labels)
            return {label: mesher.get(label)[0].tobytes() for label in mesher.ids().tolist()}

        expected = surfaces(Mesher(threads=1), 1)
        surfaces(Mesher(threads=0), 0)
        inherited = Mesher(threads=3)
        surfaces(inherited, 3)

        def child(_=None):
            meshers = [Mesher(threads=0), inherited, Mesher(threads=2)]
            return all(surfaces(m, m.effective_threads) == expected for m in meshers)

        pid = os.fork()
        if pid == 0:
            os._exit(0 if child() else 3)
        for _ in range(300):  # a hung child is killed, not left behind
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                print(os.waitstatus_to_exitcode(status))
                break
            time.sleep(0.1)
        else:
            os.kill(pid, 9)
            print("hung")
        with multiprocessing.get_context("fork").Pool(2) as pool:  # leaving terminates the workers
            print(pool.map_async(child, range(4)).get(30))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["0", "[True, True, True, True]"]


class HostileLength:
    """A sequence whose length no container can hold."""

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        return 1.0


@pytest.mark.parametrize(
    "call, parameter",
    [
        (lambda: Mesher(voxel_resolution=HostileLength()), "voxel_resolution"),
        (lambda: Mesher(threads=1).mesh(np.zeros((2, 2, 2), np.uint8), owned_shape=HostileLength()), "owned_shape"),
        (
            lambda: dice(
                np.zeros((0, 3), np.float32), np.zeros((0, 3), np.uint32), HostileLength(), (0, 0, 0), (1, 1, 1)
            ),
            "chunk_shape",
        ),
    ],
)
def test_hostile_length_is_a_memory_error(call, parameter):
    with pytest.raises(MemoryError) as excinfo:
        call()
    assert excinfo.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize("threads, order", [(1, "C"), (3, "C"), (3, "F")])
def test_labels_changed_during_mesh(threads, order):
    """Another thread flips labels while mesh() reads them: each call either stores closed
    surfaces (those of some label field, if not the caller's) or raises RuntimeError and stores
    nothing; never a fault, never a store get() cannot read."""
    labels = np.asarray(np.random.default_rng(5).integers(0, 4, (12, 12, 140), dtype=np.uint32), order=order)
    mesher = Mesher(threads=threads)
    for _ in range(12):
        stop = threading.Event()

        def flip():
            while not stop.is_set():
                labels[...] ^= 1

        writer = threading.Thread(target=flip)
        writer.start()
        try:
            mesher.mesh(labels, close=True)
        except RuntimeError as error:
            assert str(error) == "labels changed while mesh() was reading them"
            assert len(mesher) == 0
        finally:
            stop.set()
            writer.join()
        for label in mesher.ids().tolist():
            assert_closed(mesher.get(label)[1])


def test_eight_threads_on_shared_and_own_meshers():
    """Eight threads for three seconds, four on one Mesher (meshing, reading, erasing, clearing)
    and four on their own: only the borrow errors, every result one thread would give, and no
    deadlock (the subprocess's timeout is the watchdog)."""
    result = run_python(
        """
        import collections, json, threading, time
        import numpy as np
        from tarna_mesh import Mesher

        def surfaces(mesher):
            return {label: tuple(a.tobytes() for a in mesher.get(label)[:2]) for label in mesher.ids().tolist()}

        volumes = [np.random.default_rng(seed).integers(0, 6, (14, 12, 30), dtype=np.uint16) for seed in range(4)]
        expected = []
        for labels in volumes:
            single = Mesher(threads=1)
            single.mesh(labels)
            expected.append(surfaces(single))
        shared = Mesher(threads=2)
        allowed = {"Already borrowed", "Already mutably borrowed", "no volume has been meshed yet; call mesh() first"}
        seen, wrong = collections.Counter(), []
        deadline = time.monotonic() + 3

        def on_shared(seed):
            rng = np.random.default_rng(seed)
            while time.monotonic() < deadline:
                try:
                    action = rng.integers(6)
                    if action == 0:
                        shared.mesh(volumes[0])
                    elif action == 1:
                        label = int(rng.integers(1, 6))
                        mesh = shared.get(label)
                        if mesh is not None and tuple(a.tobytes() for a in mesh[:2]) != expected[0][label]:
                            wrong.append(("get", label))
                    elif action == 2:
                        if not set(shared.ids().tolist()) <= set(expected[0]):
                            wrong.append("ids")
                    elif action == 3:
                        shared.erase(int(rng.integers(1, 6)))
                    elif action == 4:
                        shared.clear()
                    else:
                        repr(shared), len(shared), shared.contains(1), shared.effective_threads
                    seen["ok"] += 1
                except (RuntimeError, ValueError) as error:
                    seen[str(error)] += 1

        def on_own(seed):
            rng = np.random.default_rng(seed)
            while time.monotonic() < deadline:
                index = int(rng.integers(len(volumes)))
                mesher = Mesher(threads=int(rng.integers(4)))
                mesher.mesh(volumes[index])
                if surfaces(mesher) != expected[index]:
                    wrong.append(("own", index))
                seen["own"] += 1

        threads = [threading.Thread(target=on_shared if k < 4 else on_own, args=(k,)) for k in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(json.dumps({"wrong": wrong, "unexpected": sorted(set(seen) - allowed - {"ok", "own"}),
                          "borrow_errors": seen["Already borrowed"] + seen["Already mutably borrowed"],
                          "own": seen["own"]}))
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["wrong"] == [] and report["unexpected"] == []
    assert report["borrow_errors"] > 0 and report["own"] > 0
