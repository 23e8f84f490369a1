"""Every argument of Mesher(), mesh(), get(), the queries and dice(), fuzzed: wrong types, hostile
__len__, __index__ and __float__, every dtype and byte order, 0 to 5 dimensions, odd strides,
read-only, broadcast and unaligned views. A call may only raise an ordinary exception (never the
fault exception, never SystemError), must fail when an argument object raises, and when it is
accepted gives exactly what the plain call gives: plain Python values, C-ordered arrays, one
thread.

TARNA_FUZZ_EXAMPLES sets the cases per test: a bounded number with the suite, many with
`make fuzz`."""

import os
import sys

import numpy as np
from conftest import surface_bytes
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from tarna_mesh import Mesher, dice

FUZZ = settings(
    max_examples=int(os.environ.get("TARNA_FUZZ_EXAMPLES", "120")),
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)


class Boom(Exception):
    """Raised by a hostile object; must reach the caller unchanged."""


def answer(value):
    if value is Boom:
        raise Boom("hostile")
    return value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return answer(self.value)


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return answer(self.value)


class Sequence:
    """A sequence that reports `length` items and holds `items`."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        return answer(self.length)

    def __getitem__(self, index):
        if index >= len(self.items):
            raise IndexError(index)
        return answer(self.items[index])


FAIL = object()  # the plain equivalent of an argument that must make the call fail
UNKNOWN = object()  # no plain equivalent to compare with


def plain(value):
    """The plain Python value the module must treat `value` as, FAIL or UNKNOWN."""
    if value is Boom:
        return FAIL
    if isinstance(value, Index):
        inner = plain(value.value)
        return inner if inner is FAIL or type(inner) is int else FAIL
    if isinstance(value, Float):
        inner = plain(value.value)
        return inner if inner is FAIL or type(inner) is float else FAIL
    if isinstance(value, Sequence):
        length = plain(value.length)
        if length is FAIL or type(length) is not int or not 0 <= length <= len(value.items):
            return FAIL
        return [plain(item) for item in value.items[:length]]
    if isinstance(value, (np.generic, np.ndarray)):
        if np.ndim(value) == 0:
            return value.item()
        # A one-item array converts to a number as well as to a sequence: no single plain value.
        return UNKNOWN if value.size == 1 else [plain(item) for item in value]
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    return value


def flattened(value):
    if isinstance(value, list):
        for item in value:
            yield from flattened(item)
    else:
        yield value


def holds(plains, marker):
    return any(value is marker for value in flattened(list(plains.values())))


def call(function, *args, **kwargs):
    """("ok", result) or ("error", exception); anything but an ordinary exception propagates."""
    try:
        result = function(*args, **kwargs)
    except Exception as error:
        assert not isinstance(error, SystemError), error
        event(type(error).__name__)
        return "error", error
    event("accepted")
    return "ok", result


def check_against_plain(run, odd, same):
    """Runs `run(**odd)`; with an argument that raises it must fail, and otherwise it must agree
    with `run` on the plain arguments: both fail, or both give results that `same` accepts."""
    outcome = call(run, **odd)
    plains = {name: plain(value) for name, value in odd.items()}
    if holds(plains, FAIL):
        assert outcome[0] == "error", odd
    elif not holds(plains, UNKNOWN):
        expected = call(run, **plains)
        assert outcome[0] == expected[0], (odd, outcome, expected)
        if outcome[0] == "ok":
            same(outcome[1], expected[1])
    return outcome


JUNK = st.sampled_from(
    [
        None,
        "",
        "7",
        b"1",
        1j,
        object(),
        {},
        [],
        (),
        [[1.0]],
        np.array([1, 2]),
        np.array([1.5]),
        Boom,
        float("nan"),
        np.float64(0.5),
    ]
)
HOSTILE_LENGTHS = [sys.maxsize, 2**62, sys.maxsize, -1, 2**64, 2**100, Boom, 1.0, "3"]
NUMPY_INTS = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]


def mixed(valid, forms, invalid, rare=False):
    """Mostly plain valid values, often the same values in other forms, now and then (`rare`ly,
    for items of sequences) invalid ones: a call has several arguments, and many calls should get
    past them all."""
    # A drawn pick, not one_of: one_of would flatten the invalid alternatives into its own list.
    share = 3 if rare else 1
    picks = st.sampled_from(["valid"] * 4 * share + ["forms"] * 3 * share + ["invalid"])
    return picks.flatmap(lambda pick: {"valid": valid, "forms": valid.flatmap(forms), "invalid": invalid}[pick])


def int_forms(value):
    forms = [Index(value), np.array(value)]
    forms += [kind(value) for kind in NUMPY_INTS if np.iinfo(kind).min <= value <= np.iinfo(kind).max]
    return st.sampled_from(forms)


def integers(low, high, extra=(), rare=False):
    """Integer arguments: plain, numpy scalars of every width, 0-d arrays, __index__ objects;
    out of range, floats, hostile or junk."""
    invalid = st.one_of(
        st.sampled_from([-1, -(2**63), 2**64, 2**100, *extra]),
        st.floats(),
        st.sampled_from([Boom, "1", 1.0, 2**64]).map(Index),
        JUNK,
    )
    return mixed(st.integers(low, high), int_forms, invalid, rare)


def numpy_float(kind, value):
    with np.errstate(all="ignore"):
        return kind(value)


def float_forms(value):
    forms = [
        Float(value),
        numpy_float(np.float64, value),
        numpy_float(np.float32, value),
        numpy_float(np.float16, value),
        np.array(value),
    ]
    if value == value and abs(value) < 2**62 and value == int(value):
        forms += [int(value), Index(int(value))]
    return st.sampled_from(forms)


def floats(low, high, rare=False):
    """Float arguments in [low, high]: plain, numpy, __float__ and __index__ objects; any other
    float, hostile or junk."""
    invalid = st.one_of(st.floats(), st.sampled_from([Boom, 1, "1.5"]).map(Float), JUNK)
    return mixed(st.floats(low, high), float_forms, invalid, rare)


def booleans():
    return mixed(st.booleans(), lambda value: st.just(np.bool_(value)), st.one_of(st.sampled_from([0, 1, 1.0]), JUNK))


def sequence_forms(items):
    forms = [
        tuple(items),
        as_array(items, "f8"),
        as_array(items, "O"),
        as_array(items, "i8"),
        Sequence(len(items), items),
        Sequence(Index(len(items)), items + [Boom]),
    ]
    return st.sampled_from(forms)


def sequences(items, size=3):
    """Sequence arguments: lists of `size` items (those themselves in odd forms), tuples, arrays,
    objects with __len__ and __getitem__; other lengths, str, hostile lengths, junk."""
    hostile = st.tuples(st.sampled_from(HOSTILE_LENGTHS), st.lists(items, max_size=4)).map(lambda pair: Sequence(*pair))
    invalid = st.one_of(hostile, hostile, st.lists(items, max_size=5), st.sampled_from(["XYZ", "abc"]), JUNK)
    return mixed(st.lists(items, min_size=size, max_size=size), sequence_forms, invalid)


def as_array(items, dtype):
    """The items as an array of `dtype` (objects where they do not fit); wrappers become 1."""
    values = [plain(x) if isinstance(x, (int, float)) and not isinstance(x, bool) else 1 for x in items]
    try:
        with np.errstate(all="ignore"):
            return np.array(values, dtype)
    except (OverflowError, ValueError, TypeError):
        return np.array(values, object)


DTYPES = [
    "u1",
    "u2",
    "u4",
    "u8",
    "i1",
    "i2",
    "i4",
    "i8",
    ">u2",
    ">u4",
    ">u8",
    "<u4",
    "=u8",
    "f2",
    "f4",
    "f8",
    ">f4",
    "c8",
    "?",
    "O",
    "S2",
    "V4",
    "M8[s]",
    [("a", "u4")],
]


@st.composite
def odd_arrays(draw, usual_dtypes, usual_ndim, values, extent=5, last=None):
    """Mostly an array of one of `usual_dtypes` with `usual_ndim` dimensions (the last extent
    mostly `last`), otherwise of any dtype with 0 to 5; viewed in an odd way: a slice with steps
    reversed, Fortran-ordered, transposed, unaligned, broadcast, read-only. Values come from
    `values(rng, shape)`."""
    often = st.sampled_from([True] * 7 + [False])
    dtype = np.dtype(draw(st.sampled_from(usual_dtypes if draw(often) else DTYPES)))
    ndim = usual_ndim if draw(often) else draw(st.integers(0, 5))
    shape = draw(st.lists(st.integers(0, extent - 1), min_size=ndim, max_size=ndim))
    if last is not None and ndim and draw(often):
        shape[-1] = last
    shape = tuple(shape)
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if dtype.kind in "OSVM" or dtype.names:
        array = np.zeros(shape, dtype)
    else:
        with np.errstate(all="ignore"):
            array = values(rng, shape).astype(dtype)
    layout = draw(st.integers(0, 6))
    if layout == 1 and ndim:
        view = np.zeros(tuple(2 * n for n in shape), dtype)[tuple(slice(None, None, 2) for _ in shape)]
        view[...] = array
        array = view[::-1]
    elif layout == 2:
        array = np.asfortranarray(array)
    elif layout == 3:
        array = array.T
    elif layout == 4 and dtype.itemsize > 1 and dtype.kind not in "OV":
        raw = np.zeros(array.nbytes + dtype.itemsize, np.uint8)
        view = raw[1 : 1 + array.nbytes].view(dtype).reshape(shape)
        view[...] = array
        array = view
    elif layout == 5 and ndim and shape[0] > 0:
        array = np.broadcast_to(array[:1], shape)
    if draw(st.booleans()) and array.flags.writeable:
        array.flags.writeable = False
    return array


def small_labels(rng, shape):
    return rng.integers(0, 3, shape)


def same_surfaces(a, b):
    assert surface_bytes(a) == surface_bytes(b)


CUBES = np.zeros((5, 4, 6), np.uint8)
CUBES[1:3, 1:3, 1:4] = 1
CUBES[3:, 2:, 2:] = 2

PARAMETERS = {
    "voxel_resolution": sequences(floats(0.01, 4, rare=True)),
    "axis_order": mixed(
        st.permutations("XYZ").map("".join),
        lambda text: st.sampled_from([text.lower(), text.title()]),
        st.one_of(st.sampled_from(["XY", "XYX", "XYW", "", "\u00e9YZ", "XYZ\0"]), st.text(max_size=4), JUNK),
    ),
    "y_down": booleans(),
    "relaxation": integers(0, 3, [2**32 - 1]),
    "max_deviation": floats(0, 2),
    "relaxation_step": floats(0.05, 1),
    "taubin": integers(0, 3),
    "taubin_pass_band": floats(0.05, 0.2),
    "taubin_lambda": floats(0.4, 0.63),
    "fairing": integers(0, 3),
    "fairing_step": floats(0.05, 1),
    "fairing_junction_rule": booleans(),
    "fairing_taubin": booleans(),
    "fairing_pass_band": floats(0.05, 0.2),
    "fairing_lambda": floats(0.4, 0.63),
    "threads": integers(0, 3),
}


@FUZZ
@given(st.fixed_dictionaries({}, optional=PARAMETERS))
def test_mesher_arguments(odd):
    def same(made, expected):
        assert repr(made) == repr(expected) and made.effective_threads == expected.effective_threads
        iterations = [plain(odd.get(name, 0)) for name in ("relaxation", "taubin", "fairing")]
        if all(isinstance(n, int) and n <= 3 for n in iterations):
            outcomes = [call(m.mesh, CUBES, close=True) for m in (made, expected)]
            assert outcomes[0][0] == outcomes[1][0]
            if outcomes[0][0] == "ok":
                same_surfaces(made, expected)

    check_against_plain(lambda **kwargs: Mesher(**kwargs), odd, same)


@FUZZ
@given(
    odd_arrays(["u1", "u2", "u4", "u8"], 3, small_labels),
    booleans(),
    st.one_of(st.none(), sequences(integers(0, 9, rare=True))),
    integers(0, 3),
)
def test_mesh_arguments(labels, close, owned_shape, threads):

    def run(labels, close, owned_shape, threads):
        mesher = Mesher(threads=threads)
        mesher.mesh(labels, close=close, owned_shape=owned_shape)
        return mesher

    odd = dict(labels=labels, close=close, owned_shape=owned_shape, threads=threads)
    outcome = call(run, **odd)
    plains = {name: plain(value) for name, value in odd.items() if name != "labels"}
    if outcome[0] == "ok":
        assert not holds(plains, FAIL) and not holds(plains, UNKNOWN)
        expected = run(np.ascontiguousarray(labels), plains["close"], plains["owned_shape"], 1)
        same_surfaces(outcome[1], expected)
    elif labels.ndim == 3 and labels.dtype in (np.uint8, np.uint16, np.uint32, np.uint64):
        # A label array the module reads: the call fails exactly when the plain one does.
        if not holds(plains, FAIL) and not holds(plains, UNKNOWN):
            assert call(run, np.ascontiguousarray(labels), **plains)[0] == "error"


QUERY = st.tuples(
    st.sampled_from(["get"] * 4 + ["contains", "erase", "ids", "len", "repr", "clear"]),
    integers(0, 3),
    booleans(),
    integers(0, 4, [2**32 - 1]),
    st.one_of(st.none(), floats(0, 3)),
)


@FUZZ
def meshed_twins():
    meshers = [Mesher(threads=1), Mesher(threads=1)]
    for mesher in meshers:
        mesher.mesh(CUBES)
    return meshers


@FUZZ
@given(st.lists(QUERY, min_size=1, max_size=6))
def test_queries(queries):
    """Two meshers of one volume take the same queries, one with the odd arguments, the other
    with their plain values."""
    meshers = meshed_twins()

    def query(mesher, name, label, normals, reduction_factor, max_error):
        if name == "get":
            mesh = mesher.get(label, normals=normals, reduction_factor=reduction_factor, max_error=max_error)
            return None if mesh is None else tuple(None if a is None else a.tobytes() for a in mesh)
        if name in ("contains", "erase"):
            return getattr(mesher, name)(label)
        if name == "ids":
            return mesher.ids().tolist()
        if name == "clear":
            return mesher.clear()
        return len(mesher) if name == "len" else repr(mesher)

    for name, label, normals, reduction_factor, max_error in queries:
        odd = dict(label=label, normals=normals, reduction_factor=reduction_factor, max_error=max_error)
        plains = {key: plain(value) for key, value in odd.items()}
        outcome = call(query, meshers[0], name, **odd)
        if holds(plains, UNKNOWN):
            meshers = meshed_twins()  # no plain twin for this call: start both afresh
            continue
        expected = call(query, meshers[1], name, **plains)
        assert outcome[0] == expected[0], (name, odd, outcome, expected)
        if outcome[0] == "ok":
            assert outcome[1] == expected[1]


def small_coordinates(rng, shape):
    values = rng.uniform(-4, 8, shape)
    mask = rng.random(shape) < 0.05
    values[mask] = rng.choice([np.nan, np.inf, -np.inf, -0.0, 0.5], int(mask.sum()))
    return values


# Chunk sizes stay at a quarter or more: finite vertices within a few units then span a few dozen
# cells at most, so no accepted call is asked for an astronomical number of pieces.
CHUNK = mixed(
    st.floats(0.25, 4),
    float_forms,
    st.one_of(st.sampled_from([0.0, -1.0, float("nan"), float("inf"), Float(Boom)]), JUNK),
    rare=True,
)


@FUZZ
@given(
    odd_arrays(["f4"], 2, small_coordinates, extent=10, last=3),
    st.data(),
    sequences(CHUNK),
    sequences(floats(-3, 3, rare=True)),
    sequences(integers(1, 6, [2**62, 2**63 - 1], rare=True)),
    st.one_of(st.none(), integers(1, 24, [0, 25])),
)
def test_dice_arguments(vertices, data, chunk_shape, grid_origin, grid_size, quantization_bits):
    rows = len(vertices) if vertices.ndim else 0
    indices = lambda rng, shape: rng.integers(0, max(1, rows + (rng.random() < 0.1)), shape)  # noqa: E731
    faces = data.draw(odd_arrays(["u4"], 2, indices, extent=7, last=3))

    def run(vertices, faces, chunk_shape, grid_origin, grid_size, quantization_bits):
        cells = dice(vertices, faces, chunk_shape, grid_origin, grid_size, quantization_bits)
        return {key: (v.tobytes(), f.tobytes()) for key, (v, f) in cells.items()}

    def same(cells, expected):
        assert list(cells) == list(expected) and cells == expected

    odd = dict(
        chunk_shape=chunk_shape, grid_origin=grid_origin, grid_size=grid_size, quantization_bits=quantization_bits
    )
    outcome = check_against_plain(lambda **kwargs: run(vertices, faces, **kwargs), odd, same)
    if outcome[0] == "ok":
        plains = {name: plain(value) for name, value in odd.items()}
        same(outcome[1], run(np.ascontiguousarray(vertices), np.ascontiguousarray(faces), **plains))
