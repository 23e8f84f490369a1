"""get(): triangle meshes in output coordinates, their facing, fan splitting and fresh arrays."""

import numpy as np
import pytest
from conftest import assert_closed_manifold
from tarna_mesh import Mesher

H = np.float32(43 / 256)  # the single-voxel cube's half side, in voxels


def components(faces):
    """Groups of faces connected through shared vertices."""
    parent = list(range(int(faces.max()) + 1))

    def find(x):
        while parent[x] != x:
            x = parent[x]
        return x

    for a, b, c in faces.tolist():
        parent[find(b)] = find(a)
        parent[find(c)] = find(a)
    groups = {}
    for index, face in enumerate(faces.tolist()):
        groups.setdefault(find(face[0]), []).append(index)
    return [faces[group] for group in groups.values()]


def signed_volume(vertices, faces):
    corners = vertices.astype(np.float64)[faces]
    return np.einsum("ij,ij->i", corners[:, 0], np.cross(corners[:, 1], corners[:, 2])).sum() / 6


def assert_outward(vertices, faces, normals, convex=True):
    """Each closed piece encloses positive volume; on a convex piece every vertex normal leaves
    its centre."""
    for piece in components(faces):
        assert signed_volume(vertices, piece) > 0
        if not convex:
            continue
        used = np.unique(piece)
        centre = vertices[used].astype(np.float64).mean(axis=0)
        assert np.all(np.einsum("ij,ij->i", normals[used], vertices[used] - centre) > 0)
    lengths = np.linalg.norm(normals.astype(np.float64), axis=1)
    assert np.allclose(lengths, 1.0, atol=1e-6)


def test_single_voxel_worked_example():
    # Corners numbered by first use: 0 (-,-,-), 1 (-,+,-), 2 (+,+,-), 3 (+,-,-),
    # 4 (+,-,+), 5 (-,-,+), 6 (-,+,+), 7 (+,+,+). Every square side is cut by its tie-break.
    mesher = Mesher()
    mesher.mesh(np.full((1, 1, 1), 5, dtype=np.uint8), close=True)
    vertices, faces, normals = mesher.get(5, normals=True)
    signs = [(-1, -1, -1), (-1, 1, -1), (1, 1, -1), (1, -1, -1), (1, -1, 1), (-1, -1, 1), (-1, 1, 1), (1, 1, 1)]
    assert vertices.dtype == np.float32 and faces.dtype == np.uint32 and normals.dtype == np.float32
    np.testing.assert_array_equal(vertices, np.array(signs, dtype=np.float32) * H)
    np.testing.assert_array_equal(
        faces,
        [
            [0, 1, 2],
            [0, 2, 3],
            [0, 3, 4],
            [0, 4, 5],
            [0, 5, 6],
            [0, 6, 1],
            [7, 4, 3],
            [7, 3, 2],
            [7, 2, 1],
            [7, 1, 6],
            [7, 6, 5],
            [7, 5, 4],
        ],
    )
    # Vertex 1 holds one triangle of the bottom and of the x = -h side, two of the y = +h side.
    np.testing.assert_allclose(normals[1], np.array([-1, 2, -1]) / np.sqrt(6), atol=1e-6)
    np.testing.assert_allclose(normals[0], -np.ones(3) / np.sqrt(3), atol=1e-6)
    assert_closed_manifold(faces)
    assert_outward(vertices, faces, normals)


def test_diagonal_pair_comes_out_as_two_closed_cubes():
    # z = 0:  1 .
    #         . 1   two voxels touching along one edge; the cells on that edge hold both.
    labels = np.zeros((2, 2, 1), dtype=np.uint16)
    labels[0, 0, 0] = labels[1, 1, 0] = 1
    mesher = Mesher(threads=1)
    mesher.mesh(labels, close=True)
    vertices, faces, normals = mesher.get(1, normals=True)
    assert vertices.shape == (16, 3) and faces.shape == (24, 3)
    assert_closed_manifold(faces)
    assert len(components(faces)) == 2
    assert_outward(vertices, faces, normals)
    # The two cells on the shared edge give each cube its own vertex at one position.
    _, counts = np.unique(vertices, axis=0, return_counts=True)
    assert sorted(counts.tolist()) == [1] * 12 + [2, 2]


def test_touching_sheets_are_split_into_fans():
    # 2 x 2 x 3 block with the middle layer's off-diagonal voxels removed:
    # z = 1:  1 .
    #         . 1   the cells above and below that face each hold one patch, so the
    # pair of their vertices bounds four quads until each fan gets its own vertex.
    labels = np.full((2, 2, 3), 4, dtype=np.uint8)
    labels[1, 0, 1] = labels[0, 1, 1] = 0
    mesher = Mesher(threads=1)
    mesher.mesh(labels, close=True)
    vertices, faces, normals = mesher.get(4, normals=True)
    assert_closed_manifold(faces)
    assert_outward(vertices, faces, normals, convex=False)


def mapping(axis_order, y_down, resolution, shape):
    """Output = matrix @ array coordinates + offset."""
    matrix, offset = np.zeros((3, 3)), np.zeros(3)
    for k, letter in enumerate(axis_order.upper()):
        axis = "XYZ".index(letter)
        sign = -1.0 if y_down and axis == 1 else 1.0
        matrix[axis, k] = sign * resolution[k]
        if sign < 0:
            offset[axis] = (shape[k] - 1) * resolution[k]
    return matrix, offset


@pytest.mark.parametrize(
    "axis_order, y_down",
    [("XYZ", False), ("XYZ", True), ("ZYX", False), ("zyx", True), ("YXZ", False), ("ZXY", True), ("YZX", True)],
)
def test_frame_maps_positions_and_keeps_facing(axis_order, y_down):
    # A convex bar of two voxels, off-centre in its array so that every axis's mirror shows.
    labels = np.zeros((3, 4, 5), dtype=np.uint32)
    labels[1, 1, 3] = labels[2, 1, 3] = 6
    resolution = (2.0, 3.0, 0.5)
    reference = Mesher()
    reference.mesh(labels, close=True)
    ref_vertices, ref_faces, _ = reference.get(6)

    mesher = Mesher(voxel_resolution=resolution, axis_order=axis_order, y_down=y_down)
    mesher.mesh(labels, close=True)
    vertices, faces, normals = mesher.get(6, normals=True)

    matrix, offset = mapping(axis_order, y_down, resolution, labels.shape)
    expected = (ref_vertices.astype(np.float64) @ matrix.T + offset).astype(np.float32)
    np.testing.assert_array_equal(vertices, expected)
    mirrored = np.linalg.det(matrix) < 0
    np.testing.assert_array_equal(faces, ref_faces[:, [0, 2, 1]] if mirrored else ref_faces)
    assert_closed_manifold(faces)
    assert_outward(vertices, faces, normals)


def test_arrays_are_fresh_and_owned():
    labels = np.zeros((3, 3, 3), dtype=np.uint8)
    labels[1, 1, 1] = 2
    mesher = Mesher()
    mesher.mesh(labels)
    first = mesher.get(2, normals=True)
    kept = [array.copy() for array in first]
    for array in first:
        assert array.flags.c_contiguous and array.flags.writeable
        assert array.base is not None or array.flags.owndata
        array[...] = 0
    second = mesher.get(2, normals=True)
    for array, old, new in zip(kept, first, second):
        np.testing.assert_array_equal(new, array)
        assert not np.shares_memory(old, new)
    assert mesher.get(2)[2] is None


def test_object_without_faces_is_empty_even_with_normals():
    # An owned region of nothing keeps the label listed but drops all its faces.
    labels = np.zeros((3, 3, 3), dtype=np.uint8)
    labels[1, 1, 1] = 2
    mesher = Mesher()
    mesher.mesh(labels, owned_shape=(0, 0, 0))
    vertices, faces, normals = mesher.get(2, normals=True)
    assert vertices.shape == (0, 3) and vertices.dtype == np.float32
    assert faces.shape == (0, 3) and faces.dtype == np.uint32
    assert normals is None
