"""Mesher construction: conversion and validation order, messages, repr and the type itself."""

import inspect
import math

import numpy as np
import pytest
import tarna_mesh
from tarna_mesh import Mesher, _tarna_mesh


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


def test_module_surface():
    assert _tarna_mesh.__version__ == "0.2.0"
    assert tarna_mesh.__version__ == "0.2.0"
    assert _tarna_mesh.__doc__ == ""
    assert Mesher.__module__ == "tarna_mesh._tarna_mesh"
    assert Mesher.__doc__ == "Extracts every object's surface from a labelled volume in a single pass."
    assert Mesher.__text_signature__ == (
        '(voxel_resolution=..., axis_order="XYZ", y_down=False, relaxation=0, max_deviation=0.5, '
        "relaxation_step=0.5, taubin=0, taubin_pass_band=0.1, taubin_lambda=0.63, fairing=0, "
        "fairing_step=0.5, fairing_junction_rule=True, fairing_taubin=False, fairing_pass_band=0.1, "
        "fairing_lambda=0.63, threads=0)"
    )
    assert list(inspect.signature(Mesher).parameters)[-1] == "threads"
    assert Mesher.effective_threads.__doc__ == "Threads actually used: the configured count, or every core when 0."
    assert not hasattr(_tarna_mesh, "PanicException")
    public = {name for name in dir(Mesher) if not name.startswith("_")}
    assert public == {"mesh", "ids", "contains", "erase", "clear", "get", "effective_threads"}


def test_method_docstrings():
    assert Mesher.mesh.__text_signature__ == "($self, labels, close=False, owned_shape=None)"
    assert Mesher.mesh.__doc__.splitlines() == [
        "Mesh a 3-D array of unsigned integer labels.",
        "",
        "With `close`, the volume is treated as if surrounded by background, so",
        "objects reaching the array edge come back sealed. This costs nothing:",
        "the border is virtual, not a padded copy of the input.",
    ]
    assert Mesher.ids.__doc__ == "Label ids present in the volume, ascending. Background (0) is excluded."
    assert Mesher.contains.__text_signature__ == "($self, label)"
    assert Mesher.erase.__doc__ == "Drop one object's surface, freeing its memory."
    assert Mesher.clear.__doc__ == "Drop every stored surface."
    assert Mesher.get.__text_signature__ == "($self, label, normals=False, reduction_factor=0, max_error=None)"
    assert Mesher.get.__doc__.splitlines() == [
        "Arrays for one object, or `None` if the label is absent.",
        "",
        "`reduction_factor` asks for that many times fewer faces;",
        "`max_error` caps how far simplification may move any vertex.",
    ]


def test_type_is_closed():
    with pytest.raises(TypeError):
        type("Sub", (Mesher,), {})
    mesher = Mesher(threads=1)
    with pytest.raises(AttributeError):
        mesher.anything = 1
    with pytest.raises(AttributeError):
        mesher.effective_threads = 3
    assert not hasattr(mesher, "__dict__")


def test_defaults():
    mesher = Mesher(threads=1)
    assert repr(mesher) == "Mesher(voxel_resolution=[1.0, 1.0, 1.0], threads=1, objects=0)"
    assert len(mesher) == 0 and not mesher
    default = Mesher()
    assert default.effective_threads >= 1
    assert repr(default) == f"Mesher(voxel_resolution=[1.0, 1.0, 1.0], threads={default.effective_threads}, objects=0)"


@pytest.mark.parametrize(
    "voxel, text",
    [
        ((0.5, 0.5, 2.0), "[0.5, 0.5, 2.0]"),
        ((0.00001, 1e16, 0.1), "[1e-5, 1e16, 0.1]"),
        ((1.5e-7, 2.5e17, 123456.789), "[1.5e-7, 2.5e17, 123456.789]"),
        ((0.0001, 9999999999999998.0, 1e300), "[0.0001, 9999999999999998.0, 1e300]"),
        ((5e-324, 1, 3), "[5e-324, 1.0, 3.0]"),
        (np.array([0.3, 0.25, 7.0]), "[0.3, 0.25, 7.0]"),
        ([1, 2, 3], "[1.0, 2.0, 3.0]"),
    ],
)
def test_repr_numbers(voxel, text):
    mesher = Mesher(voxel_resolution=voxel, threads=4)
    assert repr(mesher) == f"Mesher(voxel_resolution={text}, threads=4, objects=0)"
    assert mesher.effective_threads == 4


@pytest.mark.parametrize(
    "kwargs, error, message, note",
    [
        ({"voxel_resolution": "abc"}, TypeError, "Can't extract `str` to `Vec`", "voxel_resolution"),
        ({"voxel_resolution": 3}, TypeError, "'int' object cannot be converted to 'Sequence'", "voxel_resolution"),
        ({"voxel_resolution": (1, "x", 1)}, TypeError, None, "voxel_resolution"),
        ({"axis_order": 3}, TypeError, None, "axis_order"),
        ({"y_down": 1}, TypeError, "'int' object is not an instance of 'bool'", "y_down"),
        ({"relaxation": -1}, OverflowError, "out of range integral type conversion attempted", "relaxation"),
        ({"relaxation": 2**32}, OverflowError, "out of range integral type conversion attempted", "relaxation"),
        ({"relaxation": 1.5}, TypeError, None, "relaxation"),
        ({"taubin": 2**64}, OverflowError, None, "taubin"),
        ({"max_deviation": "x"}, TypeError, None, "max_deviation"),
        (
            {"fairing_junction_rule": None},
            TypeError,
            "'NoneType' object is not an instance of 'bool'",
            "fairing_junction_rule",
        ),
        ({"threads": -1}, OverflowError, None, "threads"),
        ({"threads": 2**64}, OverflowError, None, "threads"),
        ({"threads": 2.0}, TypeError, None, "threads"),
    ],
)
def test_conversion_failures(kwargs, error, message, note):
    with pytest.raises(error) as excinfo:
        Mesher(**kwargs)
    if message is not None:
        assert str(excinfo.value) == message
    assert notes(excinfo) == [f"while processing '{note}'"]


def test_conversion_runs_in_parameter_order():
    # Both threads and y_down are bad; y_down comes first.
    with pytest.raises(TypeError) as excinfo:
        Mesher(threads="x", y_down=1)
    assert notes(excinfo) == ["while processing 'y_down'"]
    # A conversion error beats any validation error of an earlier parameter.
    with pytest.raises(OverflowError):
        Mesher(voxel_resolution=(1, 1), relaxation=-1)


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_accepted_conversions():
    assert Mesher(relaxation=0, threads=Indexable(3)).effective_threads == 3
    Mesher(y_down=np.bool_(True), fairing_taubin=np.True_, threads=1)
    Mesher(max_deviation=1, relaxation_step=Indexable(1), threads=np.uint64(1))
    Mesher(voxel_resolution=np.array([1, 2, 3], dtype=np.float32), threads=1)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"voxel_resolution": (1, 1)}, "voxel_resolution must have 3 entries, got 2"),
        ({"voxel_resolution": []}, "voxel_resolution must have 3 entries, got 0"),
        ({"voxel_resolution": (1, 0, 1)}, "voxel_resolution entries must be finite and positive"),
        ({"voxel_resolution": (1, -0.0, 1)}, "voxel_resolution entries must be finite and positive"),
        ({"voxel_resolution": (1, math.inf, 1)}, "voxel_resolution entries must be finite and positive"),
        ({"voxel_resolution": (math.nan, 1, 1)}, "voxel_resolution entries must be finite and positive"),
        ({"axis_order": ""}, "axis_order must name exactly 3 axes, got 0"),
        ({"axis_order": "XY"}, "axis_order must name exactly 3 axes, got 2"),
        ({"axis_order": "XYZW"}, "axis_order must name exactly 3 axes, got 4"),
        ({"axis_order": "XYW"}, "axis_order may only contain X, Y and Z, got 'W'"),
        ({"axis_order": "xyw"}, "axis_order may only contain X, Y and Z, got 'W'"),
        ({"axis_order": "XYX"}, "axis_order repeats the axis 'X'"),
        ({"axis_order": "XxY"}, "axis_order repeats the axis 'X'"),
        ({"axis_order": "XWX"}, "axis_order may only contain X, Y and Z, got 'W'"),
        ({"axis_order": "X'Y"}, "axis_order may only contain X, Y and Z, got '\\''"),
        ({"axis_order": "X\\Y"}, "axis_order may only contain X, Y and Z, got '\\\\'"),
        ({"axis_order": "X\nY"}, "axis_order may only contain X, Y and Z, got '\\n'"),
        ({"axis_order": "XY\x7f"}, "axis_order may only contain X, Y and Z, got '\\u{7f}'"),
        ({"axis_order": "XYé"}, "axis_order may only contain X, Y and Z, got 'é'"),
        ({"max_deviation": math.nan}, "max_deviation must be finite and non-negative"),
        ({"max_deviation": -1e-300}, "max_deviation must be finite and non-negative"),
        ({"max_deviation": math.inf}, "max_deviation must be finite and non-negative"),
        ({"relaxation_step": 0}, "relaxation_step must lie in (0, 1]"),
        ({"relaxation_step": 1.0000001}, "relaxation_step must lie in (0, 1]"),
        ({"relaxation_step": math.nan}, "relaxation_step must lie in (0, 1]"),
        ({"relaxation": 3, "taubin": 2}, "set only one of relaxation, taubin or fairing"),
        ({"taubin": 1, "fairing": 1}, "set only one of relaxation, taubin or fairing"),
        ({"fairing": 1, "fairing_step": 0}, "fairing_step must lie in (0, 1]"),
        # Validation order: an early failing check wins over later ones.
        ({"voxel_resolution": (1, 1), "axis_order": "Q"}, "voxel_resolution must have 3 entries, got 2"),
        ({"axis_order": "Q", "max_deviation": -1}, "axis_order must name exactly 3 axes, got 1"),
        ({"relaxation_step": 0, "relaxation": 1, "taubin": 1}, "relaxation_step must lie in (0, 1]"),
        ({"relaxation": 1, "fairing": 1, "fairing_step": 2}, "set only one of relaxation, taubin or fairing"),
    ],
)
def test_validation_failures(kwargs, message):
    with pytest.raises(ValueError) as excinfo:
        Mesher(threads=1, **kwargs)
    assert str(excinfo.value) == message
    assert notes(excinfo) == []


TAUBIN_PREFIX = (
    "taubin_pass_band and taubin_lambda must lie in (0, 1) and give a negative mu larger in magnitude than lambda; "
)


@pytest.mark.parametrize(
    "pass_band, lam, tail",
    [
        (0.5, 0.9, "got pass_band=0.5, lambda=0.9, mu=-1.6363636363636362"),
        (1, 0.5, "got pass_band=1, lambda=0.5, mu=-1"),
        (0, 0.5, "got pass_band=0, lambda=0.5, mu=-0.5"),
        (math.nan, 0.5, "got pass_band=NaN, lambda=0.5, mu=NaN"),
        (0.1, math.inf, "got pass_band=0.1, lambda=inf, mu=10"),
        (-math.inf, 0.5, "got pass_band=-inf, lambda=0.5, mu=-0"),
        (1e-7, 2, "got pass_band=0.0000001, lambda=2, mu=-2.00000040000008"),
        (0.1, 1e20, "got pass_band=0.1, lambda=100000000000000000000, mu=10"),
    ],
)
def test_taubin_message(pass_band, lam, tail):
    with pytest.raises(ValueError) as excinfo:
        Mesher(taubin=1, taubin_pass_band=pass_band, taubin_lambda=lam, threads=1)
    assert str(excinfo.value) == TAUBIN_PREFIX + tail


def test_taubin_checked_only_when_selected():
    Mesher(taubin=2, threads=1)  # defaults give mu = -0.672358591248666
    Mesher(taubin=0, taubin_pass_band=0.5, taubin_lambda=0.9, threads=1)
    Mesher(fairing=1, fairing_pass_band=5, fairing_lambda=-3, threads=1)  # fairing's pair is unchecked
    Mesher(relaxation_step=1, max_deviation=0, threads=1)
    Mesher(max_deviation=-0.0, relaxation_step=5e-324, threads=1)


def test_binding_errors():
    with pytest.raises(TypeError) as excinfo:
        Mesher(*([None] * 17))
    assert str(excinfo.value) == "Mesher.__new__() takes from 0 to 16 positional arguments but 17 were given"
    with pytest.raises(TypeError) as excinfo:
        Mesher(smoothing=1)
    assert str(excinfo.value) == "Mesher.__new__() got an unexpected keyword argument 'smoothing'"
    with pytest.raises(TypeError) as excinfo:
        Mesher((1, 1, 1), voxel_resolution=(1, 1, 1))
    assert str(excinfo.value) == "Mesher.__new__() got multiple values for argument 'voxel_resolution'"
    mesher = Mesher(threads=1)
    with pytest.raises(TypeError) as excinfo:
        mesher.mesh()
    assert str(excinfo.value) == "Mesher.mesh() missing 1 required positional argument: 'labels'"
    with pytest.raises(TypeError) as excinfo:
        mesher.get(1, False, 0, None, 5)
    assert str(excinfo.value) == "Mesher.get() takes from 1 to 4 positional arguments but 5 were given"
    with pytest.raises(TypeError) as excinfo:
        mesher.contains(1, 2)
    assert str(excinfo.value) == "Mesher.contains() takes 1 positional argument but 2 were given"
    with pytest.raises(TypeError):
        mesher.ids(1)


def test_positional_constructor():
    mesher = Mesher((2, 3, 4), "zyx", True, 0, 0.5, 0.5, 0, 0.1, 0.63, 0, 0.5, True, False, 0.1, 0.63, 2)
    assert repr(mesher) == "Mesher(voxel_resolution=[2.0, 3.0, 4.0], threads=2, objects=0)"
