"""dice(): cutting meshes into grid cells through the module, its argument checks and layouts."""

from collections import Counter

import numpy as np
import pytest
from conftest import run_python
from dice_reference import dice_reference
from hypothesis import given, settings
from hypothesis import strategies as st
from tarna_mesh import Mesher, dice

# y
# 0.9  C
#      | \         x = 1 cuts AB at (1, 0.5) and BC at (1, 0.7)
# 0.5  A---+---B
#     0.5  1  1.5
TRIANGLE = np.array([[0.5, 0.5, 0.5], [1.5, 0.5, 0.5], [0.5, 0.9, 0.5]], np.float32)
ONE_FACE = np.array([[0, 1, 2]], np.uint32)
F = np.float32


@pytest.mark.parametrize(
    "bits, expected",
    [
        (
            None,
            {
                (0, 0, 0): (
                    [[0.5, 0.5, 0.5], [1, 0.5, 0.5], [1, F(0.7), 0.5], [0.5, F(0.9), 0.5]],
                    [[0, 1, 2], [0, 2, 3]],
                ),
                (1, 0, 0): ([[1, 0.5, 0.5], [1.5, 0.5, 0.5], [1, F(0.7), 0.5]], [[0, 1, 2]]),
            },
        ),
        (
            3,
            {
                (0, 0, 0): ([[4, 4, 4], [7, 4, 4], [7, 5, 4], [4, 6, 4]], [[0, 1, 2], [0, 2, 3]]),
                (1, 0, 0): ([[0, 4, 4], [4, 4, 4], [0, 5, 4]], [[0, 1, 2]]),
            },
        ),
        (2, {(0, 0, 0): ([[2, 2, 2], [3, 2, 2], [2, 3, 2]], [[0, 1, 2]])}),
    ],
)
def test_worked_example(bits, expected):
    cells = dice(TRIANGLE, ONE_FACE, (1, 1, 1), (0, 0, 0), (2, 1, 1), quantization_bits=bits)
    assert list(cells) == list(expected)
    for key, (vertices, faces) in cells.items():
        assert all(type(i) is int for i in key)
        assert vertices.dtype == np.float32 and faces.dtype == np.uint32
        np.testing.assert_array_equal(vertices, np.array(expected[key][0], np.float32))
        np.testing.assert_array_equal(faces, np.array(expected[key][1], np.uint32))
    if bits is None:
        # The cut point is one value in both cells, bit for bit.
        assert cells[(0, 0, 0)][0][2].tobytes() == cells[(1, 0, 0)][0][2].tobytes()


GOOD = dict(vertices=TRIANGLE, faces=ONE_FACE, chunk_shape=(1, 1, 1), grid_origin=(0, 0, 0), grid_size=(2, 1, 1))
BAD_FACE = np.array([[0, 1, 2], [0, 3, 1]], np.uint32)
BITS_MESSAGE = "quantization_bits must be between 1 and 24; above that the integers stop being exact in float32"


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(vertices=np.zeros((3, 4), np.float32), quantization_bits=0), "vertices must be (N, 3), got [3, 4]"),
        (
            dict(vertices=np.zeros((3, 2), np.float32), faces=np.zeros((1, 2), np.uint32)),
            "vertices must be (N, 3), got [3, 2]",
        ),
        (dict(faces=np.zeros((0, 4), np.uint32), chunk_shape=(0, 1, 1)), "faces must be (M, 3), got [0, 4]"),
        (dict(chunk_shape=(1, float("nan"), 1)), "chunk_shape must be positive on every axis"),
        (dict(chunk_shape=(1, 0, 1), grid_size=(0, 1, 1)), "grid_size must be at least 1 on every axis"),
        (dict(chunk_shape=(1, 1, -1), grid_size=(1, 0, 1)), "grid_size must be at least 1 on every axis"),
        (
            dict(chunk_shape=(1, 1, 0), faces=BAD_FACE, quantization_bits=0),
            "chunk_shape must be positive on every axis",
        ),
        (dict(faces=BAD_FACE, quantization_bits=25), "face 1 references a vertex past the end of the array"),
        (dict(quantization_bits=0), BITS_MESSAGE),
        (dict(quantization_bits=25), BITS_MESSAGE),
    ],
)
def test_validation_order_and_messages(changes, message):
    with pytest.raises(ValueError) as excinfo:
        dice(**{**GOOD, **changes})
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "changes, kind, message, parameter",
    [
        (dict(chunk_shape=(1, 1)), ValueError, "expected a sequence of length 3 (got 2)", "chunk_shape"),
        (dict(grid_size=(1, 1, 1, 1)), ValueError, "expected a sequence of length 3 (got 4)", "grid_size"),
        (dict(vertices=TRIANGLE.astype(np.float64)), TypeError, None, "vertices"),
        (dict(faces=ONE_FACE.ravel()), TypeError, None, "faces"),
        (dict(grid_size=(1.5, 1, 1)), TypeError, None, "grid_size"),
    ],
)
def test_conversion_errors_name_the_parameter(changes, kind, message, parameter):
    with pytest.raises(kind) as excinfo:
        dice(**{**GOOD, **changes})
    if message is not None:
        assert str(excinfo.value) == message
    assert excinfo.value.__notes__ == [f"while processing '{parameter}'"]


def test_empty_and_extreme_bits():
    assert dice(TRIANGLE, np.zeros((0, 3), np.uint32), (1, 1, 1), (0, 0, 0), (2, 1, 1)) == {}
    assert dice(TRIANGLE, np.array([[0, 0, 1]], np.uint32), (1, 1, 1), (0, 0, 0), (2, 1, 1)) == {}
    for bits, top in [(1, 1), (24, 2**24 - 1)]:
        cells = dice(TRIANGLE, ONE_FACE, (2, 1, 1), (0, 0, 0), (1, 1, 1), quantization_bits=bits)
        for vertices, _ in cells.values():
            assert vertices.min() >= 0 and vertices.max() <= top


def test_any_strides_and_ascending_keys():
    # Faces listed from the far corner inwards, so cells first receive triangles in descending order.
    rng = np.random.default_rng(3)
    vertices = rng.uniform(0, 4, (60, 3)).astype(np.float32)
    faces = rng.integers(0, 60, (40, 3)).astype(np.uint32)
    faces = faces[np.argsort(-vertices[faces].min(axis=1).sum(axis=1))]
    expected = dice(vertices, faces, (1, 1, 1), (0, 0, 0), (4, 4, 4))
    assert list(expected) == sorted(expected)
    layouts = [
        (np.asfortranarray(vertices), np.asfortranarray(faces)),
        (np.repeat(vertices, 2, axis=0)[::2], np.repeat(faces, 3, axis=1)[:, ::3]),
        (vertices[::-1][::-1], faces[:, ::-1][:, ::-1]),
    ]
    for layout_vertices, layout_faces in layouts:
        cells = dice(layout_vertices, layout_faces, (1, 1, 1), (0, 0, 0), (4, 4, 4))
        assert list(cells) == list(expected)
        for key, (cell_vertices, cell_faces) in cells.items():
            np.testing.assert_array_equal(cell_vertices, expected[key][0])
            np.testing.assert_array_equal(cell_faces, expected[key][1])


def two_touching_objects():
    labels = np.zeros((20, 18, 16), np.uint32)
    z, y, x = np.mgrid[:20, :18, :16]
    labels[(z - 9) ** 2 + (y - 8) ** 2 + (x - 7) ** 2 < 40] = 7
    labels[(labels == 7) & (z > 10)] = 9
    mesher = Mesher(voxel_resolution=(1.0, 1.0, 1.0), threads=1)
    mesher.mesh(labels)
    return [mesher.get(label)[:2] for label in (7, 9)]


@pytest.mark.parametrize("bits", [None, 6])
def test_meshes_from_get_stay_closed_across_cells(bits):
    """Each object's cells, glued back together by exact value, leave no directed edge unmatched:
    every point two cells share was computed identically in both."""
    chunk, origin, size = (3.3, 2.7, 4.1), (-0.45, 0.35, -0.2), (8, 8, 6)
    for vertices, faces in two_touching_objects():
        cells = dice(vertices, faces, chunk, origin, size, quantization_bits=bits)
        assert len(cells) > 4
        edges = Counter()
        for key, (cell_vertices, cell_faces) in cells.items():
            if bits is None:
                glued = [tuple(point) for point in cell_vertices.view(np.uint32)]
            else:
                assert not np.signbit(cell_vertices).any()
                glued = [tuple(point) for point in cell_vertices.astype(np.int64) + np.array(key) * (2**bits - 1)]
            for face in cell_faces:
                for a, b in zip(face, np.roll(face, -1)):
                    edges[glued[a], glued[b]] += 1
        assert all(edges[b, a] == count for (a, b), count in edges.items())


@settings(max_examples=150, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_matches_plane_by_plane_reference(seed):
    """Small meshes spanning many cells, with corners on planes, signed zeros, NaN and infinities:
    bit for bit what cutting every piece at every plane in turn gives."""
    rng = np.random.default_rng(seed)
    count = int(rng.integers(3, 9))
    vertices = rng.uniform(-3, 25, (count, 3))
    if rng.random() < 0.4:
        vertices = np.round(vertices * 2) / 2
    vertices = vertices.astype(np.float32)
    # NaN as the processor's default NaN: an operation on two NaNs returns one of them, which one
    # depends on operand order the compiler may swap, so one NaN pattern keeps the bits comparable.
    for _ in range(int(rng.integers(0, 3))):
        vertices[rng.integers(count), rng.integers(3)] = rng.choice([-np.nan, np.inf, -np.inf, -0.0])
    faces = rng.integers(0, count, (int(rng.integers(1, 6)), 3)).astype(np.uint32)
    chunk = tuple(float(c) for c in rng.choice([0.5, 1.0, 2.5, 3.3], 3))
    origin = tuple(float(c) for c in rng.uniform(-2, 2, 3))
    size = tuple(int(s) for s in rng.choice([1, 3, 40, 2**62], 3))
    bits = [None, None, 2, 10][int(rng.integers(4))]
    cells = dice(vertices, faces, chunk, origin, size, quantization_bits=bits)
    expected = dice_reference(vertices, faces, chunk, origin, size, bits)
    assert list(cells) == list(expected)
    for key, (cell_vertices, cell_faces) in cells.items():
        assert cell_vertices.tobytes() == expected[key][0].tobytes()
        np.testing.assert_array_equal(cell_faces, expected[key][1])


def test_long_and_infinite_triangles_cut_in_bounded_time():
    """A triangle across 2 * 10^5 cells is cut into exactly that many pieces covering it (plane by
    plane over the whole piece list that took minutes), and one reaching infinity on a grid of
    2^62 cells is passed over where it is not finite instead of being cut without end."""
    result = run_python(
        """
        import numpy as np
        from tarna_mesh import dice
        one = np.array([[0, 1, 2]], np.uint32)
        cells = dice(np.array([[0, 0, 0], [2e5, 0, 0], [0, 1, 0]], np.float32), one, (1, 1, 1), (0, 0, 0),
                     (2**62, 1, 1))
        corners = np.concatenate([vertices[faces] for vertices, faces in cells.values()]).astype(np.float64)
        a, b, c = corners[:, 0], corners[:, 1], corners[:, 2]
        print(len(cells), round(np.linalg.norm(np.cross(b - a, c - a), axis=1).sum() / 2))
        for far in ([np.inf, 0, 0], [-np.inf, 0, 0], [np.inf, np.nan, -np.inf]):
            cells = dice(np.array([[0, 0, 0], far, [0, 1, 0]], np.float32), one, (1, 1, 1), (0, 0, 0),
                         (2**62, 2**62, 2**62))
            print(list(cells))
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["200000 100000", "[(0, 0, 0)]", "[(0, 0, 0)]", "[(0, 0, 0)]"]
