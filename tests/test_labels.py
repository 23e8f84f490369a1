"""as_labels: what users hold becomes what Mesher.mesh reads, with every label value kept."""

import numpy as np
import pytest
from conftest import surface_bytes
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays
from tarna_mesh import Mesher, as_labels

DTYPES = ["u1", "u2", "u4", "u8", "i1", "i2", "i4", "i8", ">u2", ">i4", "<i8", "?"]


@settings(max_examples=40, deadline=None)
@given(st.sampled_from(DTYPES), st.data())
def test_accepted_arrays_keep_every_value_and_mesh_like_uint64(dtype, data):
    dtype = np.dtype(dtype)
    high = 1 if dtype.kind == "b" else min(np.iinfo(dtype).max, 5)
    volume = data.draw(arrays(dtype, st.tuples(*[st.integers(0, 5)] * 3), elements=st.integers(0, high)))
    volume = volume[:: data.draw(st.sampled_from([1, -1]))]  # negative strides too
    labels = as_labels(volume)
    assert labels.dtype.kind == "u" and labels.dtype.isnative and labels.dtype.itemsize == volume.dtype.itemsize
    np.testing.assert_array_equal(labels.astype(np.uint64), volume.astype(np.uint64))
    if dtype.isnative and dtype.kind != "b" and volume.size:
        assert np.shares_memory(labels, volume)  # a view, not a copy
    expected, actual = Mesher(threads=1), Mesher(threads=1)
    expected.mesh(volume.astype(np.uint64), close=True)
    actual.mesh(labels, close=True)
    assert surface_bytes(actual) == surface_bytes(expected)


@pytest.mark.parametrize(
    "volume, error, message",
    [
        (
            np.zeros((2, 2, 2), np.float32),
            TypeError,
            "labels must be integers or booleans (0 is background), got dtype float32 "
            "(convert whole-number values with .astype(np.uint32))",
        ),
        (
            np.zeros((2, 2, 2), np.complex128),
            TypeError,
            "labels must be integers or booleans (0 is background), got dtype complex128",
        ),
        (np.array([[["a"]]]), TypeError, "labels must be integers or booleans (0 is background), got dtype <U1"),
        (np.zeros((4, 5), np.int32), ValueError, "labels must be a 3-D array, got 2-D with shape (4, 5)"),
        (
            np.array([[[1, 2], [-3, -4]]], np.int64),
            ValueError,
            "labels must not be negative; found -3 at index (0, 1, 0)",
        ),
        (
            np.asfortranarray(np.array([[[0, -2]], [[-1, 0]]], ">i2")),
            ValueError,
            "labels must not be negative; found -2 at index (0, 0, 1)",
        ),
    ],
)
def test_refused_arrays_name_what_was_received(volume, error, message):
    with pytest.raises(error) as excinfo:
        as_labels(volume)
    assert str(excinfo.value) == message
