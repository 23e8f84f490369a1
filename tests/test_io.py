"""tarna_mesh.io at the library level: writing a Mesher's objects, the converters, atomic files."""

import numpy as np
import pytest
import trimesh
from conftest import assert_closed
from tarna_mesh import Mesher, io

# Two voxels of one label that touch only along an edge:
#   axis 1 ^  . 1
#          |  1 .
#          +-----> axis 0
# get() gives the two cubes their own copies of the two shared vertices, so each stays closed.
EDGE_PAIR = np.zeros((2, 2, 1), np.uint8)
EDGE_PAIR[0, 0, 0] = EDGE_PAIR[1, 1, 0] = 1


def test_to_trimesh_keeps_split_vertices_so_the_surface_stays_watertight():
    mesher = Mesher(threads=1)
    mesher.mesh(EDGE_PAIR, close=True)
    vertices, faces, normals = mesher.get(1, normals=True)
    assert_closed(faces)
    kept = io.to_trimesh(vertices, faces, normals)
    assert kept.is_watertight and len(kept.vertices) == len(vertices)
    np.testing.assert_array_equal(kept.faces, faces)
    merged = trimesh.Trimesh(vertices, faces)  # the default merges the copies
    assert len(merged.vertices) < len(vertices) and not merged.is_watertight
    polydata = io.to_pyvista(vertices, faces)
    np.testing.assert_array_equal(polydata.points, vertices)
    np.testing.assert_array_equal(polydata.regular_faces, faces)


@pytest.mark.parametrize("fmt", ["ply", "obj", "stl", "glb"])
def test_write_objects_and_write_mesh(fmt, tmp_path):
    labels = np.zeros((6, 5, 4), np.uint16)
    labels[1:3, 1:4, 1:3] = 7
    labels[3:5, 1:4, 1:3] = 300
    mesher = Mesher(voxel_resolution=(0.5, 1, 2), threads=1)
    mesher.mesh(labels, close=True)
    destination = tmp_path / ("all.glb" if fmt == "glb" else "all")
    written = io.write_objects(mesher, destination, format=fmt, labels=[300, 8, 7])
    assert written == {
        300: f"object_300{'' if fmt == 'glb' else '.' + fmt}",
        7: f"object_7{'' if fmt == 'glb' else '.' + fmt}",
    }
    vertices, faces, _ = mesher.get(300)
    io.write_mesh(tmp_path / f"one.{fmt}", vertices, faces)
    loaded = trimesh.load(tmp_path / f"one.{fmt}", process=False, force="mesh")
    np.testing.assert_allclose(loaded.vertices[loaded.faces], vertices[faces], rtol=1e-7)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([destination.name, f"one.{fmt}"])


def test_atomic_file_removes_its_temporary_file_on_failure(tmp_path):
    with pytest.raises(RuntimeError), io.atomic_file(tmp_path / "mesh.ply") as stream:
        stream.write(b"partial")
        raise RuntimeError("stop")
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(ValueError, match="unknown mesh format 'vrml'"):
        io.write_mesh(tmp_path / "mesh.vrml", np.zeros((0, 3), np.float32), np.zeros((0, 3), np.uint32))


@pytest.mark.parametrize("fmt", ["ply", "obj", "stl"])
def test_folder_writer_encode_then_put_writes_what_write_mesh_writes(fmt, tmp_path):
    """The command encodes on worker threads and writes from its own: the bytes must be those of
    write_mesh, and a failure inside put must leave neither the file nor its temporary name."""
    rng = np.random.default_rng(3)
    labels = rng.integers(0, 3, (9, 8, 7), dtype=np.uint8)
    mesher = Mesher(threads=1)
    mesher.mesh(labels, close=True)
    writer = io.FolderWriter(tmp_path, fmt)
    for label in mesher.ids().tolist():
        arrays = mesher.get(label, normals=True)
        name = writer.put(*writer.encode(label, *arrays))
        io.write_mesh(tmp_path / f"plain.{fmt}", *arrays)
        assert (tmp_path / name).read_bytes() == (tmp_path / f"plain.{fmt}").read_bytes()
    name, parts = writer.encode(1, *mesher.get(1))
    with pytest.raises(TypeError):
        writer.put("broken." + fmt, parts + [object()])
    assert not [p.name for p in tmp_path.iterdir() if "broken" in p.name]
