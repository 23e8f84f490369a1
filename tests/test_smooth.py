"""Smoothing seen through get(): relaxation, Taubin smoothing and fairing against a slow reference.

How the comparison works. get() with unit voxels and the default axis order returns every stored
position divided by 256 exactly, so `vertices * 256` is the stored fixed-point position, bit for
bit. Triangles 2i and 2i+1 come from stored quad i and share its cut diagonal, so the pair
(a, b, c), (a, c, d) gives back the quad's corner cycle (a, b, c, d) up to rotation, whichever
diagonal was cut and however vertices were renumbered or split. An object's surface is then the
multiset of its quads as position cycles. The reference (reference_smoothing.py) rebuilds the
store from the volume alone, smooths it in float32 scalars, and must give the same multiset; the
unsmoothed store is compared first, so a mismatch there blames the reference extraction, not the
smoothing. Near the origin a float32 sum taken in another order mostly rounds to the same stored
integer; some volumes therefore sit far along axis 0, where positions approach 2^24 and every
float32 rounding reaches the stored integers.
"""

from collections import Counter

import numpy as np
import pytest
import reference_smoothing as ref
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays
from tarna_mesh import Mesher


def cycles(positions, quads):
    """Quads as position cycles, each rotated to start at its smallest corner."""
    found = Counter()
    for quad in quads:
        corners = [tuple(positions[v]) for v in quad]
        first = min(range(4), key=lambda r: corners[r:] + corners[:r])
        found[tuple(corners[first:] + corners[:first])] += 1
    return found


def stored_cycles(mesher, label):
    vertices, faces, _ = mesher.get(label)
    fixed = vertices.astype(np.float64) * 256
    assert (fixed == np.round(fixed)).all()
    pairs = faces.reshape(-1, 2, 3)
    quads = np.column_stack([pairs[:, 0, 0], pairs[:, 0, 1], pairs[:, 0, 2], pairs[:, 1, 2]])
    return cycles(fixed.astype(np.int64).tolist(), quads.tolist())


def stored(mesher):
    return {label: mesher.get(label)[:2] for label in mesher.ids().tolist()}


def same_arrays(a, b):
    return a.keys() == b.keys() and all(x.tobytes() == y.tobytes() for label in a for x, y in zip(a[label], b[label]))


@st.composite
def blocky_volumes(draw, far=False):
    """A few labels in blocks of one or two voxels: flat walls, junctions and diagonal contacts.

    With `far`, the blocks may sit at the far end of a long axis 0, where positions approach 2^24
    and a float32 step is a whole position unit: there a sum taken in another order, or one
    rounding too many or too few, changes the stored integers instead of vanishing in them.
    """
    shape = st.tuples(*[st.integers(2, 4)] * 3)
    base = draw(arrays(np.uint8, shape, elements=st.integers(0, 3), fill=st.nothing()))
    for axis in range(3):
        base = np.repeat(base, draw(st.integers(1, 2)), axis=axis)
    base = base[:6, :6, :6]
    offset = draw(st.sampled_from([0, 0, 32761, 65528])) if far else 0
    labels = np.zeros((offset + base.shape[0],) + base.shape[1:], np.uint8)
    labels[offset:] = base
    return labels


owned_shapes = st.tuples(st.sampled_from([3, 32763, 65530, 70000]), st.integers(0, 6), st.integers(0, 6))
max_deviations = st.sampled_from([0.0, 0.05, 0.3, 0.5, 1.2, 1e39])  # 1e39 * 256 overflows to an infinite box
taubin_pairs = st.sampled_from([(0.1, 0.63), (0.05, 0.5), (0.3, 0.6), (0.01, 0.95)])
# Fairing takes its pair unchecked: 2.0 with 0.5 makes mu infinite, (5, -3) a positive mu.
fairing_pairs = st.sampled_from([(0.1, 0.63), (0.05, 0.5), (0.3, 0.6), (2.0, 0.5), (5.0, -3.0), (0.9, 0.9)])


@st.composite
def smoothings(draw):
    method = draw(st.sampled_from(["relaxation", "taubin", "fairing"]))
    iterations = draw(st.integers(1, 3))
    config = {method: iterations, "max_deviation": draw(max_deviations)}
    if method == "relaxation":
        config["relaxation_step"] = draw(st.sampled_from([0.5, 1.0, 0.3, 0.77]))
    elif method == "taubin":
        config["taubin_pass_band"], config["taubin_lambda"] = draw(taubin_pairs)
    else:
        config["fairing_step"] = draw(st.sampled_from([0.5, 1.0, 0.21]))
        config["fairing_junction_rule"] = draw(st.booleans())
        config["fairing_taubin"] = draw(st.booleans())
        config["fairing_pass_band"], config["fairing_lambda"] = draw(fairing_pairs)
    return config


def reference_smoothed(labels, close, owned, config):
    """The reference store of a volume and, per label, its positions after the Mesher's smoothing."""
    cells, shape, meshes = ref.extract(labels, close, owned, track=not close or owned is not None)
    config = {
        "max_deviation": 0.5,
        "fairing_step": 0.5,
        "fairing_junction_rule": True,
        "fairing_taubin": False,
        "fairing_pass_band": 0.1,
        "fairing_lambda": 0.63,
        **config,
    }  # the Mesher's defaults
    deviation = config["max_deviation"]
    if "fairing" in config:
        faired = ref.fair(
            cells,
            shape,
            config["fairing"],
            config["fairing_step"],
            config["fairing_junction_rule"],
            config["fairing_taubin"],
            config["fairing_pass_band"],
            config["fairing_lambda"],
            deviation,
        )
        for cell, position in zip(cells, faired):
            # A faired vertex never leaves its cell.
            assert all(c <= p <= c + 256 for c, p in zip(cell.corner, position))
        smoothed = {label: [faired[c] for c in mesh.cells] for label, mesh in meshes.items()}
    else:
        if "taubin" in config:
            lam, band = config["taubin_lambda"], config["taubin_pass_band"]
            iterations, weights = config["taubin"], [lam, 1.0 / (band - 1.0 / lam)]
        else:
            iterations, weights = config["relaxation"], [config["relaxation_step"]]
        smoothed = {label: ref.relax(mesh, iterations, weights, deviation) for label, mesh in meshes.items()}
    for label, mesh in meshes.items():
        for before, after, pinned in zip(mesh.positions, smoothed[label], mesh.boundary):
            # Vertices of the outermost cell layer stay put whenever boundaries are tracked.
            assert after == before or not pinned
            assert all(abs(a - b) <= deviation * 256 + 0.5 for a, b in zip(after, before))
    return meshes, smoothed


@settings(max_examples=150, deadline=None)
@given(
    labels=blocky_volumes(far=True),
    close=st.booleans(),
    owned=st.none() | owned_shapes,
    config=smoothings(),
    threads=st.sampled_from([1, 2, 0]),
)
def test_smoothing_matches_reference(labels, close, owned, config, threads):
    assert_matches_reference(labels, close, owned, config, threads)


def test_fairing_in_several_chunks_matches_reference():
    # 91,276 surface cells: the second chunk of 65,536 holds interior cells whose neighbours below
    # lie in the first, found by that chunk's own cursors.
    labels = np.random.default_rng(5).integers(0, 4, size=(64, 64, 24)).astype(np.uint8)
    assert_matches_reference(labels, False, None, {"fairing": 2, "fairing_taubin": True}, threads=2)


def assert_matches_reference(labels, close, owned, config, threads):
    plain, smoothed = Mesher(threads=threads), Mesher(threads=threads, **config)
    plain.mesh(labels, close=close, owned_shape=owned)
    smoothed.mesh(labels, close=close, owned_shape=owned)
    meshes, positions = reference_smoothed(labels, close, owned, config)
    assert smoothed.ids().tolist() == sorted(meshes)
    for label, mesh in meshes.items():
        assert stored_cycles(plain, label) == cycles(mesh.positions, mesh.quads)
        assert stored_cycles(smoothed, label) == cycles(positions[label], mesh.quads)


@pytest.mark.parametrize(
    "config",
    [
        {"relaxation": 3, "relaxation_step": 0.77, "max_deviation": 1.2},
        {"taubin": 3, "taubin_pass_band": 0.05, "taubin_lambda": 0.5, "max_deviation": 1.2},
        {"fairing": 3, "fairing_step": 0.77},
        {"fairing": 2, "fairing_taubin": True, "fairing_junction_rule": False},
        # mu = 1 / (2 - 1 / 0.5) is infinite: a vertex already at its neighbours' mean steps by inf * 0.
        {"fairing": 1, "fairing_taubin": True, "fairing_pass_band": 2.0, "fairing_lambda": 0.5},
    ],
)
@pytest.mark.parametrize("seed", range(3))
def test_far_from_the_origin_every_rounding_shows(config, seed):
    # Positions near 2^24, where a float32 step is a whole position unit, on random blocks of four
    # labels: summing in any other order than the intended one changes stored integers here.
    rng = np.random.default_rng(seed)
    blocks = rng.integers(0, 4, size=(4, 4, 4), dtype=np.uint8).repeat(2, 0).repeat(2, 1).repeat(2, 2)[:7, :7, :7]
    labels = np.zeros((65521 + 7, 7, 7), np.uint8)
    labels[65521:] = blocks
    mesher = Mesher(threads=2, **config)
    mesher.mesh(labels, close=True)
    meshes, positions = reference_smoothed(labels, True, None, config)
    for label, mesh in meshes.items():
        assert stored_cycles(mesher, label) == cycles(positions[label], mesh.quads)


def tall_volume(seed, shape):
    """Blocks of five labels, tall along axis 2 so that every thread count cuts its own bands."""
    rng = np.random.default_rng(seed)
    blocks = rng.integers(0, 5, size=[(extent + 2) // 3 for extent in shape], dtype=np.uint16)
    labels = blocks.repeat(3, 0).repeat(3, 1).repeat(3, 2)[: shape[0], : shape[1], : shape[2]]
    noise = rng.random(shape) < 0.05
    labels[noise] = rng.integers(0, 5, size=int(noise.sum()))
    return labels


METHODS = [
    {"relaxation": 4, "max_deviation": 0.8},
    {"taubin": 3, "taubin_pass_band": 0.05, "taubin_lambda": 0.5},
    {"fairing": 3},
    {"fairing": 2, "fairing_junction_rule": False, "fairing_taubin": True},
]


@pytest.mark.parametrize("config", METHODS)
@pytest.mark.parametrize("shape, close", [((9, 11, 70), False), ((47, 47, 47), True)])
def test_threads_and_bands_do_not_change_results(config, shape, close):
    # The tall volume gives 1, 2 and 3 bands for 1, 2 and 3 threads; the cube holds more than
    # 65536 surface cells, so fairing splits every pass into several chunks.
    labels = tall_volume(7, shape)
    results = []
    for threads in (1, 2, 3, 0):
        mesher = Mesher(threads=threads, **config)
        mesher.mesh(labels, close=close)
        results.append(stored(mesher))
    plain = Mesher(threads=1)
    plain.mesh(labels, close=close)
    assert not same_arrays(results[0], stored(plain))
    for other in results[1:]:
        assert same_arrays(results[0], other)


@pytest.mark.parametrize("config", METHODS)
def test_zero_deviation_moves_nothing(config):
    labels = tall_volume(3, (8, 9, 10))
    plain, smoothed = Mesher(threads=2), Mesher(threads=2, **{**config, "max_deviation": 0.0})
    plain.mesh(labels, close=True)
    smoothed.mesh(labels, close=True)
    assert same_arrays(stored(plain), stored(smoothed))


@settings(max_examples=30, deadline=None)
@given(labels=blocky_volumes(), close=st.booleans(), junction_rule=st.booleans())
def test_fairing_keeps_touching_objects_sealed(labels, close, junction_rule):
    # A face two objects share is a quad in each over the same four positions (found before
    # fairing); after fairing the two quads still match, both objects taking their vertices from
    # the same cells.
    plain, faired = Mesher(threads=1), Mesher(threads=1, fairing=3, fairing_junction_rule=junction_rule)
    quads = {}
    for mesher in (plain, faired):
        mesher.mesh(labels, close=close)
        for label in mesher.ids().tolist():
            vertices, triangles, _ = mesher.get(label)
            corners = vertices[triangles.reshape(-1, 2, 3)].reshape(-1, 6, 3).tolist()
            quads.setdefault(label, []).append([frozenset(map(tuple, quad)) for quad in corners])
    owner = {}
    for label, (before, after) in quads.items():
        for face, moved in zip(before, after):
            owner.setdefault(face, []).append(moved)
    shared = [moved for moved in owner.values() if len(moved) == 2]
    assume(shared)
    assert all(a == b for a, b in shared)


def enclosed_volume(vertices, faces):
    corners = vertices.astype(np.float64)[faces]
    return np.einsum("ij,ij->i", corners[:, 0], np.cross(corners[:, 1], corners[:, 2])).sum() / 6


def test_taubin_keeps_a_sphere_from_shrinking():
    grid = np.indices((28, 28, 28)) - 13.5
    ball = ((grid**2).sum(axis=0) <= 11.0**2).astype(np.uint8)
    volumes = {}
    for name, config in [
        ("plain", {}),
        ("relaxation", {"relaxation": 10, "relaxation_step": 0.63}),
        ("taubin", {"taubin": 10, "taubin_lambda": 0.63, "taubin_pass_band": 0.1}),
    ]:
        mesher = Mesher(threads=1, max_deviation=3.0, **config)
        mesher.mesh(ball, close=True)
        volumes[name] = enclosed_volume(*mesher.get(1)[:2])
    assert volumes["relaxation"] < 0.96 * volumes["plain"]
    assert abs(volumes["taubin"] - volumes["plain"]) < 0.01 * volumes["plain"]
