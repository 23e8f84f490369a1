"""mesh(): argument handling, accepted label arrays, what stays stored after failures, queries."""

import numpy as np
import pytest
from tarna_mesh import Mesher

LABELS_MESSAGE = (
    "labels must be a 3-D numpy array of uint8, uint16, uint32 or uint64. Signed arrays can be "
    "reinterpreted without copying, e.g. labels.view(np.uint32) for an int32 array."
)
NOT_MESHED = "no volume has been meshed yet; call mesh() first"


def three_labels(dtype=np.uint32):
    labels = np.zeros((6, 5, 4), dtype=dtype)
    labels[1, 1, 1] = 7
    labels[3:5, 2:4, 1:3] = 3
    labels[4, 0, 0] = 200
    return labels


def stored(mesher):
    """Everything get() hands out, per label, as comparable bytes."""
    result = {}
    for label in mesher.ids().tolist():
        vertices, faces, _ = mesher.get(label)
        result[label] = (vertices.tobytes(), faces.tobytes())
    return result


@pytest.fixture
def meshed():
    mesher = Mesher(threads=1)
    mesher.mesh(three_labels(), close=True)
    return mesher


def test_queries_before_and_after_meshing(meshed):
    empty = Mesher(threads=1)
    ids = empty.ids()
    assert ids.dtype == np.uint64 and ids.shape == (0,)
    assert not empty.contains(1) and not empty.erase(1) and len(empty) == 0 and not empty
    assert empty.clear() is None
    with pytest.raises(ValueError) as excinfo:
        empty.get(1)
    assert str(excinfo.value) == NOT_MESHED

    assert meshed.ids().tolist() == [3, 7, 200] and meshed.ids().dtype == np.uint64
    assert len(meshed) == 3 and meshed
    assert meshed.contains(7) and meshed.contains(np.uint64(200)) and not meshed.contains(0)
    assert repr(meshed) == "Mesher(voxel_resolution=[1.0, 1.0, 1.0], threads=1, objects=3)"


def test_ids_is_a_fresh_owning_copy(meshed):
    ids = meshed.ids()
    assert ids.flags.writeable and ids.flags.c_contiguous and ids.base is not None
    ids[:] = 0
    assert meshed.ids().tolist() == [3, 7, 200]


def test_erase_and_clear(meshed):
    assert meshed.erase(7) is True
    assert meshed.erase(7) is False
    assert meshed.ids().tolist() == [3, 200] and len(meshed) == 2
    assert meshed.get(7) is None
    assert meshed.erase(label=3) and meshed.erase(200)
    assert meshed.ids().tolist() == [] and len(meshed) == 0
    assert meshed.get(3) is None  # a stored pass with no objects is not "nothing meshed"
    assert meshed.clear() is None
    with pytest.raises(ValueError) as excinfo:
        meshed.get(3)
    assert str(excinfo.value) == NOT_MESHED


@pytest.mark.parametrize(
    "call, error, message, note",
    [
        (lambda m: m.contains(-1), OverflowError, None, "label"),
        (lambda m: m.contains(2**64), OverflowError, None, "label"),
        (lambda m: m.contains(2.0), TypeError, None, "label"),
        (lambda m: m.erase("3"), TypeError, None, "label"),
        (lambda m: m.get(-1), OverflowError, None, "label"),
        (lambda m: m.get(3, normals=1), TypeError, "'int' object is not an instance of 'bool'", "normals"),
        (
            lambda m: m.get(3, reduction_factor=-1),
            OverflowError,
            "out of range integral type conversion attempted",
            "reduction_factor",
        ),
        (
            lambda m: m.get(3, reduction_factor=2**32),
            OverflowError,
            "out of range integral type conversion attempted",
            "reduction_factor",
        ),
        (lambda m: m.get(3, reduction_factor=1.0), TypeError, None, "reduction_factor"),
        (lambda m: m.get(3, max_error="x"), TypeError, None, "max_error"),
    ],
)
def test_query_conversion_errors(meshed, call, error, message, note):
    with pytest.raises(error) as excinfo:
        call(meshed)
    if message is not None:
        assert str(excinfo.value) == message
    assert excinfo.value.__notes__ == [f"while processing '{note}'"]
    assert meshed.ids().tolist() == [3, 7, 200]


def test_get_arguments(meshed):
    assert meshed.get(99, max_error=-1.0) is None  # the label test comes first
    with pytest.raises(ValueError) as excinfo:
        meshed.get(3, max_error=-1.0)
    assert str(excinfo.value) == "max_error must be non-negative"
    full = meshed.get(3)
    for kwargs in (
        {"max_error": -0.0},
        {"max_error": float("nan")},
        {"reduction_factor": 0},
        {"reduction_factor": 1},
        {"max_error": 2},
        {"normals": np.False_},
    ):
        same = meshed.get(3, **kwargs)
        assert same[0].tobytes() == full[0].tobytes() and same[1].tobytes() == full[1].tobytes()
        assert same[2] is None
    # Simplification within the default bound (one voxel) halves the 2x2x2 block's faces.
    vertices, faces, normals = meshed.get(3, normals=True, reduction_factor=2)
    assert len(faces) in (len(full[1]) // 2, len(full[1]) // 2 - 1) and normals.shape == vertices.shape
    # A zero bound allows no move on it.
    same = meshed.get(3, reduction_factor=2, max_error=0)
    assert same[0].tobytes() == full[0].tobytes() and same[1].tobytes() == full[1].tobytes()


@pytest.mark.parametrize(
    "kwargs, error, message, note",
    [
        ({"owned_shape": "abc"}, TypeError, "Can't extract `str` to `Vec`", "owned_shape"),
        ({"owned_shape": 5}, TypeError, "'int' object cannot be converted to 'Sequence'", "owned_shape"),
        ({"owned_shape": (1, -1, 1)}, OverflowError, None, "owned_shape"),
        ({"owned_shape": (1, 1.5, 1)}, TypeError, None, "owned_shape"),
        ({"close": None}, TypeError, "'NoneType' object is not an instance of 'bool'", "close"),
        ({"close": 1}, TypeError, "'int' object is not an instance of 'bool'", "close"),
    ],
)
def test_conversion_failures_keep_stored_objects(meshed, kwargs, error, message, note):
    before = stored(meshed)
    with pytest.raises(error) as excinfo:
        meshed.mesh(np.zeros((2, 2, 2), np.uint8), **kwargs)
    if message is not None:
        assert str(excinfo.value) == message
    assert excinfo.value.__notes__ == [f"while processing '{note}'"]
    assert stored(meshed) == before


LABEL_REFUSED = [
    np.zeros((4, 4), np.uint8),
    np.zeros((2, 2, 2, 2), np.uint8),
    [[[1, 2], [3, 4]], [[5, 6], [7, 8]]],
    np.zeros((3, 3, 3), np.int32),
    np.zeros((3, 3, 3), np.float32),
    np.zeros((3, 3, 3), np.bool_),
    np.zeros((3, 3, 3), ">u2"),
    np.zeros((3, 3, 3), ">u8"),
    memoryview(np.zeros((3, 3, 3), np.uint8)),
    np.uint8(3),
]


@pytest.mark.parametrize("labels", LABEL_REFUSED, ids=range(len(LABEL_REFUSED)))
def test_refused_label_arrays_leave_nothing_stored(meshed, labels):
    with pytest.raises(TypeError) as excinfo:
        meshed.mesh(labels)
    assert str(excinfo.value) == LABELS_MESSAGE
    assert not hasattr(excinfo.value, "__notes__")
    assert meshed.ids().tolist() == [] and len(meshed) == 0
    with pytest.raises(ValueError):
        meshed.get(3)


def test_owned_shape_length_leaves_nothing_stored(meshed):
    with pytest.raises(ValueError) as excinfo:
        meshed.mesh(three_labels(), owned_shape=(4, 4))
    assert str(excinfo.value) == "owned_shape must have 3 entries, got 2"
    assert meshed.ids().tolist() == [] and len(meshed) == 0
    with pytest.raises(ValueError) as excinfo:
        meshed.get(3)
    assert str(excinfo.value) == NOT_MESHED


class LabelArray(np.ndarray):
    pass


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a.astype(np.uint8),
        lambda a: a.astype(np.uint16),
        lambda a: a.astype(np.uint64),
        lambda a: a.astype(np.ulonglong),
        lambda a: a.astype(np.uint32).view(np.int32).view(np.uint32),
        lambda a: np.asfortranarray(a),
        lambda a: a[::-1].copy()[::-1],
        lambda a: np.ascontiguousarray(a[:, :, ::-1])[:, :, ::-1],
        lambda a: np.pad(a, ((0, 0), (0, 0), (0, 3)))[:, :, :4],
        lambda a: np.repeat(a, 2, axis=1)[:, ::2, :],
        lambda a: a.view(LabelArray),
        lambda a: np.ascontiguousarray(a.transpose(2, 1, 0)).transpose(2, 1, 0),
    ],
)
def test_accepted_label_arrays_give_identical_surfaces(make):
    labels = three_labels()
    reference = Mesher(threads=1)
    reference.mesh(labels, close=True)
    other = Mesher(threads=1)
    variant = make(labels)
    assert variant.shape == labels.shape
    assert other.mesh(variant, close=True) is None
    assert stored(other) == stored(reference)


def test_unaligned_strides_are_read_correctly():
    labels = three_labels(np.uint16)
    raw = np.zeros(labels.size * 2 + 1, np.uint8)
    odd = np.ndarray(labels.shape, np.uint16, buffer=raw.data, offset=1)  # misaligned data pointer
    odd[...] = labels
    reference, other = Mesher(threads=1), Mesher(threads=1)
    reference.mesh(labels, close=True)
    other.mesh(odd, close=True)
    assert stored(other) == stored(reference)


def test_zero_extent_and_replacement():
    mesher = Mesher(threads=1)
    mesher.mesh(three_labels(), close=True)
    for shape in [(0, 4, 4), (4, 0, 4), (4, 4, 0)]:
        mesher.mesh(np.zeros(shape, np.uint8), close=True)
        assert mesher.ids().tolist() == []
    first = np.zeros((4, 4, 4), np.uint8)
    first[1, 1, 1] = 9
    second = np.zeros((4, 4, 4), np.uint8)
    second[2, 2, 2] = 4
    mesher.mesh(first, close=True)
    mesher.mesh(second, close=True)
    assert mesher.ids().tolist() == [4] and mesher.get(9) is None


def test_extent_limit_is_refused_before_any_work():
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), shape=(2**23, 1, 1), strides=(0, 0, 0))
    mesher = Mesher(threads=1)
    with pytest.raises(ValueError) as excinfo:
        mesher.mesh(huge)
    assert "8388607" in str(excinfo.value)


@pytest.mark.parametrize("kwargs", [{"relaxation": 2}, {"taubin": 1}, {"fairing": 3}])
def test_smoothing_is_applied_not_skipped(kwargs):
    # Every object moves; none gains or loses a face.
    plain, smoothed = Mesher(threads=1), Mesher(threads=1, **kwargs)
    plain.mesh(three_labels(), close=True)
    smoothed.mesh(three_labels(), close=True)
    assert smoothed.ids().tolist() == plain.ids().tolist() == [3, 7, 200]
    for label in (3, 7, 200):
        (before, before_faces, _), (after, after_faces, _) = plain.get(label), smoothed.get(label)
        assert after_faces.shape == before_faces.shape
        assert not np.array_equal(after, before)


@pytest.mark.parametrize("extent", [2**63 - 1, 2**63, 2**64 - 1])
def test_huge_owned_extents_own_everything(extent):
    labels = three_labels()
    reference, owned = Mesher(threads=1), Mesher(threads=1)
    reference.mesh(labels, close=True)
    owned.mesh(labels, close=True, owned_shape=(extent, extent, extent))
    assert stored(owned) == stored(reference)


def test_owned_region_keeps_only_its_faces():
    labels = np.zeros((8, 8, 8), np.uint8)
    labels[1:7, 1:7, 1:7] = 1
    whole, part = Mesher(threads=1), Mesher(threads=1)
    whole.mesh(labels)
    part.mesh(labels, owned_shape=(4, 8, 8))
    assert part.ids().tolist() == [1]
    vertices, faces, _ = part.get(1)
    assert 0 < len(faces) < len(whole.get(1)[1])
    # Faces of the lower half only: every triangle touches x < 4.5.
    assert (vertices[faces].min(axis=1)[:, 0] < 4.5).all()
