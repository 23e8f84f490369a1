"""Block-wise meshing against the reference: the same volume meshed whole by one Mesher."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from tarna_mesh import Mesher, demo
from tarna_mesh.blockwise import AMBIGUOUS, PATCH, mesh_blockwise
from tarna_mesh.measure import is_closed

dask = pytest.importorskip("dask")


def triangle_rows(vertices, faces):
    """Every triangle as nine coordinates, rotated to start at its smallest corner (keeping its
    winding), sorted: a surface independent of vertex numbering."""
    corners = vertices[faces]
    first = np.lexsort((corners[:, :, 2], corners[:, :, 1], corners[:, :, 0]), axis=-1)[:, 0]
    rotated = corners[np.arange(len(faces))[:, None], (first[:, None] + np.arange(3)) % 3].reshape(-1, 9)
    return rotated[np.lexsort(rotated.T[::-1])]


def assert_closed_manifold(faces):
    """Every directed edge once with its reverse once, and the triangles around each vertex one
    cycle: stepping across the edge (v, next) to the triangle that walks it back returns to v's
    first triangle only after visiting all of them. (conftest's check, for large meshes.)"""
    assert is_closed(faces)
    faces = faces.astype(np.int64)
    count = int(faces.max()) + 1
    starts, ends = faces.reshape(-1), faces[:, [1, 2, 0]].reshape(-1)
    edge = starts * count + ends
    order = np.argsort(edge)
    back = order[np.searchsorted(edge[order], ends * count + starts)]
    following = back - back % 3 + (back % 3 + 1) % 3  # the corner at v in the triangle across
    cycle, step = np.arange(len(edge)), following
    for _ in range(int(np.ceil(np.log2(len(edge) + 1))) + 1):
        cycle, step = np.minimum(cycle, cycle[step]), step[step]
    per_vertex = np.bincount(np.unique(np.stack([starts, cycle], axis=1), axis=0)[:, 0])
    assert per_vertex.max() == 1, f"{np.count_nonzero(per_vertex > 1)} vertices have several fans"


def assert_like_whole(labels, block_shape, close=False, whole_settings=None, same_vertices=True, **options):
    """Every object of the block-wise result has the whole volume's triangles, bit for bit, and
    is closed and manifold where the whole-volume one is closed; with `same_vertices`, it also
    has as many vertices (which tiny blocks may miss by a copy: see the module's notes)."""
    settings = dict(whole_settings or {})
    whole = Mesher(threads=1, **settings)
    whole.mesh(labels, close=close)
    expected = {label: whole.get(label) for label in whole.ids().tolist()}
    expected = {label: arrays for label, arrays in expected.items() if len(arrays[1])}
    result = mesh_blockwise(labels, block_shape=block_shape, close=close, **settings, **options)
    assert list(result) == sorted(expected)
    for label, (vertices, faces, _) in result.items():
        want_vertices, want_faces, _ = expected[label]
        np.testing.assert_array_equal(triangle_rows(vertices, faces), triangle_rows(want_vertices, want_faces))
        assert not same_vertices or len(vertices) == len(want_vertices), label
        if is_closed(want_faces):
            assert_closed_manifold(faces)
    return result


def watershed_like(shape, count, seed):
    """Irregular regions: coarse random labels, blurred by random swaps with neighbours, with
    single stray voxels touching others only along edges and at corners."""
    rng = np.random.default_rng(seed)
    coarse = rng.integers(0, count, size=tuple(-(-s // 4) for s in shape)).astype(np.uint16)
    labels = coarse.repeat(4, 0).repeat(4, 1).repeat(4, 2)[: shape[0], : shape[1], : shape[2]].copy()
    for axis in range(3):
        swap = rng.random(shape) < 0.3
        labels[swap] = np.roll(labels, 1, axis=axis)[swap]
    labels[rng.random(shape) < 0.01] = count
    return labels


def dense(size, objects, seed=0):
    labels = demo.sample_volume(size, objects).astype(np.uint32)
    rng = np.random.default_rng(seed)
    labels[rng.random(labels.shape) < 0.01] = objects + 1
    return labels


VOLUMES = {"dense": dense(40, 200), "watershed": watershed_like((35, 31, 37), 150, 1)}


@pytest.mark.parametrize("volume", sorted(VOLUMES))
@pytest.mark.parametrize("close", [False, True])
@pytest.mark.parametrize("block_shape", [(16, 16, 16), (13, 10, 7), (64, 64, 64)])
def test_blocks_give_the_whole_volumes_surfaces(volume, close, block_shape):
    assert_like_whole(VOLUMES[volume], block_shape, close, scheduler="sync")


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    seed=st.integers(0, 2**32 - 1),
    shape=st.tuples(*[st.integers(1, 12)] * 3),
    block=st.tuples(*[st.integers(1, 7)] * 3),
    count=st.integers(1, 6),
    close=st.booleans(),
)
def test_random_volumes_and_blocks(seed, shape, block, count, close):
    """Few labels in small volumes: many diagonal contacts, objects sealed or cut by every side."""
    labels = np.random.default_rng(seed).integers(0, count + 1, size=shape).astype(np.uint8)
    assert_like_whole(labels, block, close, same_vertices=False, scheduler="sync")


def test_output_frame_and_coordinates_far_from_the_origin():
    """Voxel size, axis order and mirroring as `get` applies them, and positions beyond the
    range where float32 holds 1/256 of a voxel, rounded exactly as the whole volume's."""
    labels = np.zeros((70_003, 6, 5), dtype=np.uint8)
    labels[69_990:69_995, 1:4, 1:3] = 3
    labels[69_994:70_000, 2:5, 2:4] = 4
    labels[69_997, 1, 1] = 3
    labels[2:4, 2:4, 1:3] = 5
    frame = {"voxel_resolution": (0.5, 3.0, 1.25), "axis_order": "ZXY", "y_down": True}
    assert_like_whole(labels, (20_000, 4, 3), close=True, whole_settings=frame, scheduler="sync")


@pytest.fixture(scope="module")
def cluster_client():
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0", silence_logs=40
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.mark.parametrize("close, shuffle", [(False, "tasks"), (True, "disk")])
def test_on_a_local_cluster(cluster_client, close, shuffle):
    assert_like_whole(VOLUMES["watershed"], (13, 10, 7), close, client=cluster_client, shuffle=shuffle)


@pytest.mark.parametrize("kind", ["numpy", "dask", "zarr", "hdf5"])
def test_stores_and_default_blocks(tmp_path, kind):
    """Chunked stores are read a window at a time, on the threaded scheduler; blocks default to
    their chunks grown to 128 cells, here clipped to the volume."""
    labels = VOLUMES["dense"]
    if kind == "dask":
        volume = pytest.importorskip("dask.array").from_array(labels, chunks=(20, 17, 48))
    elif kind == "zarr":
        zarr = pytest.importorskip("zarr")
        volume = zarr.create_array(tmp_path / "v.zarr", shape=labels.shape, chunks=(16, 16, 16), dtype=labels.dtype)
        volume[...] = labels
    elif kind == "hdf5":
        h5py = pytest.importorskip("h5py")
        volume = h5py.File(tmp_path / "v.h5", "w").create_dataset("v", data=labels, chunks=(16, 16, 16))
    else:
        volume = labels
    whole = Mesher(threads=1)
    whole.mesh(labels)
    result = mesh_blockwise(volume, block_shape=None if kind != "numpy" else (16, 20, 24))
    assert sorted(result) == [label for label in whole.ids().tolist() if len(whole.get(label)[1])]
    for label in (1, 150, 201):
        np.testing.assert_array_equal(triangle_rows(*result[label][:2]), triangle_rows(*whole.get(label)[:2]))


def test_folder_output_and_normals(tmp_path):
    """Files written by the workers hold what the in-memory result holds; normals as `get`
    computes them, on the joined mesh."""
    labels = VOLUMES["watershed"]
    kept = [5, 17, 150]
    memory = mesh_blockwise(labels, block_shape=(13, 10, 7), labels=kept, normals=True, close=True)
    records = mesh_blockwise(
        labels,
        tmp_path / "out",
        block_shape=(13, 10, 7),
        labels=kept.__contains__,
        normals=True,
        close=True,
        format="ply",
        progress=True,
    )
    assert [record["label"] for record in records] == kept == list(memory)
    whole = Mesher(threads=1)
    whole.mesh(labels, close=True)
    trimesh = pytest.importorskip("trimesh")
    for record in records:
        vertices, faces, normals = memory[record["label"]]
        assert record["closed"] and record["faces"] == len(faces) == len(whole.get(record["label"])[1])
        stored = trimesh.load(tmp_path / "out" / record["file"], process=False)
        np.testing.assert_array_equal(stored.vertices, vertices)
        np.testing.assert_array_equal(stored.faces, faces)
        assert record["enclosed_volume"] == pytest.approx(stored.volume, rel=1e-5)
        # the whole volume's normals, up to the order in which face normals are summed
        want_vertices, _, want_normals = whole.get(record["label"], normals=True)
        rows, counts = np.unique(want_vertices, axis=0, return_counts=True)
        single = {row.tobytes() for row in rows[counts == 1]}
        lookup = {row.tobytes(): normal for row, normal in zip(want_vertices, want_normals) if row.tobytes() in single}
        pairs = [(normal, lookup[row.tobytes()]) for row, normal in zip(vertices, normals) if row.tobytes() in single]
        assert len(pairs) > 0.8 * len(vertices)
        np.testing.assert_allclose(*map(np.array, zip(*pairs)), atol=1e-6)


@pytest.mark.parametrize(
    "smoothing, close", [({"relaxation": 4}, False), ({"taubin": 3}, True), ({"fairing": 4}, False), ({}, True)]
)
def test_smoothing_and_simplification_keep_seams_closed(smoothing, close):
    """Per block, seam vertices stay where extraction put them, so the joined objects are
    closed wherever the whole volume's are; simplification still reduces them."""
    labels = VOLUMES["dense"][:32, :32, :32]
    whole = Mesher(threads=1, **smoothing)
    whole.mesh(labels, close=close)
    plain = mesh_blockwise(labels, block_shape=(16, 13, 11), close=close, scheduler="sync", **smoothing)
    reduced = mesh_blockwise(
        labels, block_shape=(16, 13, 11), close=close, scheduler="sync", reduction_factor=4, **smoothing
    )
    assert list(plain) == list(reduced)
    for label in plain:
        if is_closed(whole.get(label)[1]):
            assert_closed_manifold(plain[label][1])
            assert_closed_manifold(reduced[label][1])
        if smoothing:
            assert len(plain[label][0]) == len(whole.get(label)[0])
    assert sum(len(faces) for _, faces, _ in reduced.values()) < 0.6 * sum(len(faces) for _, faces, _ in plain.values())


def test_patch_tables_follow_their_rule():
    counts = np.array([len(np.unique(PATCH[s][PATCH[s] != 255])) for s in range(1, 255)])
    assert np.bincount(counts).tolist() == [0, 162, 82, 8, 2]
    assert np.count_nonzero(AMBIGUOUS) == 120
    assert PATCH[0x69].tolist() == [0, 0, 0, 1, 2, 1, 3, 1, 2, 3, 2, 3]
    assert PATCH[0x3C].tolist() == [255, 0, 1, 0, 1, 255, 0, 0, 255, 1, 1, 255]


@pytest.mark.parametrize(
    "volume, options, message",
    [
        (np.zeros((4, 4), np.uint8), {}, "volume must be 3-D, got shape (4, 4)"),
        (
            np.zeros((4, 4, 4), np.uint8),
            {"block_shape": (4, 0, 4)},
            "block_shape must be three integers from 1 to 32000, got (4, 0, 4)",
        ),
        (
            np.zeros((4, 4, 4), np.uint8),
            {"block_shape": (4, 40000, 4)},
            "block_shape must be three integers from 1 to 32000, got (4, 40000, 4)",
        ),
    ],
)
def test_argument_errors(volume, options, message):
    with pytest.raises(ValueError) as excinfo:
        mesh_blockwise(volume, **options)
    assert str(excinfo.value) == message


def test_settings_are_checked_before_any_block():
    with pytest.raises(ValueError) as excinfo:
        mesh_blockwise(np.zeros((4, 4, 4), np.uint8), relaxation=2, taubin=2)
    with pytest.raises(ValueError) as native:
        Mesher(relaxation=2, taubin=2)
    assert str(excinfo.value) == str(native.value)
