"""Helpers shared by the test modules: surfaces read out of a Mesher and edge bookkeeping."""

import os
import subprocess
import sys
import textwrap
from collections import Counter

import numpy as np
import pytest


def surfaces(mesher, **get):
    """{label: (vertices, faces)} for every stored object."""
    return {label: mesher.get(label, **get)[:2] for label in mesher.ids().tolist()}


def surface_bytes(mesher):
    """{label: (vertex bytes, face bytes)}: what must agree bit for bit between two runs."""
    return {label: (v.tobytes(), f.tobytes()) for label, (v, f) in surfaces(mesher).items()}


def directed_edges(faces):
    """How often each directed edge (a, b) is walked by the triangles."""
    return Counter((int(a), int(b)) for face in np.asarray(faces) for a, b in zip(face, np.roll(face, -1)))


def assert_closed(faces):
    """Every directed edge once and its reverse once: no holes, no flipped or doubled triangles."""
    edges = np.asarray(faces, np.int64)[:, [0, 1, 1, 2, 2, 0]].reshape(-1, 2)
    forward, backward = edges[:, 0] << 32 | edges[:, 1], edges[:, 1] << 32 | edges[:, 0]
    assert len(forward) > 0 and len(np.unique(forward)) == len(forward)
    assert np.array_equal(np.sort(forward), np.sort(backward))


def assert_closed_manifold(faces):
    """Closed, and each vertex's triangles form one fan."""
    assert_closed(faces)
    for vertex in np.unique(faces):
        around = [tuple(int(c) for c in face) for face in faces if vertex in face]
        reached, frontier = {around[0]}, [around[0]]
        while frontier:
            face = frontier.pop()
            for other in around:
                shared = set(face) & set(other)
                if other not in reached and len(shared) == 2:
                    reached.add(other)
                    frontier.append(other)
        assert len(reached) == len(around), f"vertex {vertex} has several fans"


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter, without the shared pool's size variables; a hang fails
    the test instead of stalling the suite."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    try:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, timeout=timeout
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"hung for {timeout} s")
