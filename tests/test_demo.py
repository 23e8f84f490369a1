import os

import numpy as np
import pytest
from conftest import assert_closed
from tarna_mesh import Mesher, demo
from tarna_mesh.__main__ import main

PLY_TYPES = {
    "char": "i1",
    "uchar": "u1",
    "short": "<i2",
    "ushort": "<u2",
    "int": "<i4",
    "uint": "<u4",
    "float": "<f4",
    "double": "<f8",
}


def read_ply(path):
    """Minimal binary little-endian PLY reader: vertex properties and a triangle list."""
    with open(path, "rb") as stream:
        data = stream.read()
    header_end = data.index(b"end_header\n") + len(b"end_header\n")
    lines = data[:header_end].decode("ascii").splitlines()
    assert lines[0] == "ply"
    assert lines[1] == "format binary_little_endian 1.0"
    elements = []
    for line in lines[2:]:
        words = line.split()
        if words[0] == "element":
            elements.append((words[1], int(words[2]), []))
        elif words[0] == "property":
            elements[-1][2].append(words[1:])
    assert [name for name, _, _ in elements] == ["vertex", "face"]
    (_, vertex_count, vertex_props), (_, face_count, face_props) = elements

    vertex_dtype = np.dtype([(name, PLY_TYPES[kind]) for kind, name in vertex_props])
    vertices = np.frombuffer(data, vertex_dtype, vertex_count, header_end)
    [(list_word, count_kind, index_kind, name)] = face_props
    assert (list_word, name) == ("list", "vertex_indices")
    face_dtype = np.dtype([("count", PLY_TYPES[count_kind]), ("indices", PLY_TYPES[index_kind], (3,))])
    face_start = header_end + vertex_dtype.itemsize * vertex_count
    faces = np.frombuffer(data, face_dtype, face_count, face_start)
    assert face_start + face_dtype.itemsize * face_count == len(data), "trailing bytes after the faces"
    assert np.all(faces["count"] == 3)
    return vertices, faces["indices"]


def brute_force_voronoi(size, seeds, centre, radius):
    grid = np.stack(np.meshgrid(*[np.arange(size, dtype=np.float32)] * 3, indexing="ij"), axis=-1)
    delta = grid.reshape(-1, 1, 3) - seeds.astype(np.float32)[None]
    dist2 = delta * delta
    nearest = (dist2[..., 0] + dist2[..., 1] + dist2[..., 2]).argmin(axis=1) + 1
    labels = nearest.reshape(size, size, size).astype(np.uint32)
    labels[((grid - centre) ** 2).sum(axis=-1) > radius * radius] = 0
    return labels


@pytest.mark.parametrize("size,objects", [(8, 5), (21, 40), (40, 120)])
def test_sample_matches_brute_force_nearest_seed(size, objects):
    # Sizes off the block grid and blocks with many candidates must still give the exact partition.
    seeds, centre, radius = demo.ball_seeds(size, objects, np.random.default_rng(7))
    labels = demo.nearest_seed(size, seeds, centre, radius)
    assert labels.dtype == np.uint32 and labels.flags.c_contiguous
    np.testing.assert_array_equal(labels, brute_force_voronoi(size, seeds, centre, radius))


def test_sample_is_deterministic_and_has_objects_and_background():
    first = demo.sample_volume(48, 60)
    np.testing.assert_array_equal(first, demo.sample_volume(48, 60))
    present = np.unique(first)
    assert present[0] == 0 and first[0, 0, 0] == 0
    assert len(present) > 50


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    outdir = str(tmp_path_factory.mktemp("demo") / "out")
    summary = demo.run(outdir, size=40, objects=80)
    mesher = Mesher(threads=1)
    mesher.mesh(demo.sample_volume(40, 80), close=True)
    return outdir, summary, mesher


def test_demo_writes_one_ply_per_object_matching_the_mesh(demo_run):
    outdir, summary, mesher = demo_run
    ids = mesher.ids()
    assert sorted(os.listdir(outdir)) == sorted([f"object_{label}.ply" for label in ids] + ["preview.png"])
    assert summary.objects == len(ids) > 50
    vertex_total = face_total = 0
    for label in ids:
        vertices, faces = read_ply(os.path.join(outdir, f"object_{label}.ply"))
        expected_vertices, expected_faces, expected_normals = mesher.get(int(label), normals=True)
        np.testing.assert_array_equal(np.stack([vertices[c] for c in "xyz"], axis=1), expected_vertices)
        np.testing.assert_array_equal(np.stack([vertices[c] for c in ("nx", "ny", "nz")], axis=1), expected_normals)
        np.testing.assert_array_equal(faces, expected_faces)
        vertex_total += len(vertices)
        face_total += len(faces)
    assert (summary.vertices, summary.faces) == (vertex_total, face_total)


def test_demo_objects_are_closed(demo_run):
    outdir, _, mesher = demo_run
    # A few objects: the lowest, the highest and some in between.
    ids = mesher.ids()
    for label in ids[:: max(1, len(ids) // 6)]:
        _, faces = read_ply(os.path.join(outdir, f"object_{label}.ply"))
        assert len(faces) > 0
        assert_closed(faces)


@pytest.mark.parametrize("argv", [[], ["frobnicate"], ["demo", "out", "--size", "1"]])
def test_command_line_rejects_missing_or_unknown_commands(argv, capsys):
    assert main(argv) == 2
    [line] = capsys.readouterr().err.splitlines()
    assert line.startswith("python -m tarna_mesh") and ": error: " in line


def test_command_line_demo_prints_summary(tmp_path, capsys):
    assert main(["demo", str(tmp_path / "out"), "--size", "24"]) == 0
    printed = capsys.readouterr().out
    assert "objects" in printed and "voxels/s" in printed and "total" in printed
    assert any(name.endswith(".ply") for name in os.listdir(tmp_path / "out"))
