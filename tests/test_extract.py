"""Extraction seen through get(): closed, consistently wound surfaces, faces shared between
touching objects with opposite winding, and results that do not depend on the thread count."""

from collections import Counter

import numpy as np
import pytest
from conftest import directed_edges, surfaces
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays
from tarna_mesh import Mesher


def blocky_volumes(max_extent=7, max_label=4):
    """Small volumes of a few labels, blocky enough to hold uniform cells and diagonal contacts."""
    shapes = st.tuples(*[st.integers(1, max_extent)] * 3)
    return shapes.flatmap(lambda shape: arrays(np.uint8, shape, elements=st.integers(0, max_label)))


def position_triangles(vertices, faces):
    """Triangles as position triples, rotated to start at their smallest corner."""
    triangles = []
    for corners in vertices[faces].tolist():
        corners = [tuple(point) for point in corners]
        first = corners.index(min(corners))
        triangles.append(tuple(corners[first:] + corners[:first]))
    return triangles


@settings(max_examples=60, deadline=None)
@given(labels=blocky_volumes())
def test_closed_objects_are_closed_and_consistently_wound(labels):
    mesher = Mesher(threads=1)
    mesher.mesh(labels, close=True)
    present = sorted(set(np.unique(labels).tolist()) - {0})
    assert mesher.ids().tolist() == present
    for label, (vertices, faces) in surfaces(mesher).items():
        assert len(faces) > 0
        edges = directed_edges(faces)
        # Every edge is walked as often backwards as forwards: no holes, no flipped triangles.
        for (a, b), count in edges.items():
            assert edges[(b, a)] == count, (label, a, b)


@settings(max_examples=60, deadline=None)
@given(labels=blocky_volumes(max_extent=6, max_label=3))
def test_touching_objects_share_faces_wound_oppositely(labels):
    mesher = Mesher(threads=1)
    mesher.mesh(labels, close=True)
    triangles = {label: Counter(position_triangles(*surface)) for label, surface in surfaces(mesher).items()}
    for a in triangles:
        for b in triangles:
            if a >= b:
                continue
            for triangle in triangles[a]:
                assert triangle not in triangles[b], (a, b)  # never the same winding twice
    # Where two labels touch along a face of the voxel grid, the shared faces exist in both.
    pairs = set()
    for axis in range(3):
        low = np.moveaxis(labels, axis, 0)[:-1]
        high = np.moveaxis(labels, axis, 0)[1:]
        touching = (low != high) & (low != 0) & (high != 0)
        pairs.update(zip(low[touching].tolist(), high[touching].tolist()))
    for a, b in pairs:
        reversed_b = {(t[0], t[2], t[1]) for t in triangles[b]}  # still starts at its smallest corner
        assert any(t in reversed_b for t in triangles[a]), (a, b)


def test_two_touching_labels_meet_in_one_face():
    #  [3][4] along axis 0, closed: the middle face is in both meshes, wound oppositely
    labels = np.array([3, 4], dtype=np.uint8).reshape(2, 1, 1)
    mesher = Mesher(threads=1)
    mesher.mesh(labels, close=True)
    three = Counter(position_triangles(*mesher.get(3)[:2]))
    four = Counter(position_triangles(*mesher.get(4)[:2]))
    shared = [t for t in three if (t[0], t[2], t[1]) in four]
    assert len(shared) == 2  # one quad, two triangles
    assert len(three) == len(four) == 12


@pytest.mark.parametrize("close", [False, True])
@pytest.mark.parametrize("order", ["C", "F"])
def test_thread_counts_give_identical_surfaces(close, order):
    rng = np.random.default_rng(17)
    coarse = rng.integers(0, 6, size=(4, 4, 12), dtype=np.uint16)
    labels = np.kron(coarse, np.ones((3, 2, 4), dtype=np.uint16))[:11, :7, :45]
    labels[rng.random(labels.shape) < 0.05] = 9
    labels = np.asarray(labels, order=order)
    results = []
    for threads in (1, 2, 3, 0):
        mesher = Mesher(threads=threads)
        mesher.mesh(labels, close=close)
        results.append({label: (v.tobytes(), f.tobytes()) for label, (v, f) in surfaces(mesher).items()})
    assert all(result == results[0] for result in results[1:])
    assert len(results[0]) == 6


@settings(max_examples=25, deadline=None)
@given(
    labels=st.tuples(st.integers(2, 6), st.integers(2, 6), st.integers(17, 40)).flatmap(
        lambda shape: arrays(np.uint32, shape, elements=st.sampled_from([0, 1, 2, 70000, 2**32 - 1]))
    ),
    close=st.booleans(),
)
def test_bands_do_not_change_the_surfaces(labels, close):
    one, many = Mesher(threads=1), Mesher(threads=3)
    one.mesh(labels, close=close)
    many.mesh(labels, close=close)
    assert one.ids().tolist() == many.ids().tolist()
    for label in one.ids().tolist():
        for a, b in zip(one.get(label)[:2], many.get(label)[:2]):
            assert np.array_equal(a, b)


@settings(max_examples=25, deadline=None)
@given(
    volumes=st.lists(blocky_volumes(max_extent=20, max_label=6), min_size=2, max_size=4),
    threads=st.sampled_from([1, 2]),
    smoothing=st.sampled_from([{}, {"relaxation": 2}, {"taubin": 2}, {"fairing": 2}]),
)
def test_repeated_passes_on_one_mesher_match_fresh_ones(volumes, threads, smoothing):
    """A pass stores what a fresh Mesher would, whatever the same Mesher meshed before it."""
    reused = Mesher(threads=threads, **smoothing)
    for labels in volumes + volumes[:1]:
        reused.mesh(labels, close=True)
        fresh = Mesher(threads=1, **smoothing)
        fresh.mesh(labels, close=True)
        got, expected = surfaces(reused), surfaces(fresh)
        assert got.keys() == expected.keys()
        for label, (vertices, faces) in expected.items():
            assert got[label][0].tobytes() == vertices.tobytes() and got[label][1].tobytes() == faces.tobytes()
