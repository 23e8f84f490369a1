"""The tarna-mesh command end to end: every input format in, every output format read back with
trimesh and compared with Mesher.get() under the same settings; the summary; the errors."""

import json
import os
import subprocess
import sys

import h5py
import numpy as np
import pytest
import tifffile
import trimesh
import zarr
from tarna_mesh import Mesher, demo
from tarna_mesh import io as mesh_io
from tarna_mesh.cli import main
from tarna_mesh.measure import is_closed, measure


@pytest.fixture(scope="module")
def volume():
    """A ball of touching objects, plus label 99 on the array's side (open without --close)."""
    labels = demo.sample_volume(18, 10)
    labels[0, 2:6, 3:8] = 99
    return labels


def write_inputs(folder, labels):
    """{format: (source argument, voxel size the file records or None)}, one file per format."""
    inputs = {}
    np.save(folder / "seg.npy", labels.astype(np.int32))
    inputs["npy"] = (str(folder / "seg.npy"), None)
    np.savez(folder / "two.npz", raw=np.zeros(3), seg=labels.astype(np.uint16))
    inputs["npz"] = (f"{folder / 'two.npz'}:seg", None)
    tifffile.imwrite(
        folder / "seg.tif",
        labels.astype(np.uint16),
        imagej=True,
        resolution=(1 / 0.5, 1 / 0.25),
        metadata={"spacing": 2.0, "unit": "um", "axes": "ZYX"},
    )
    inputs["tiff"] = (str(folder / "seg.tif"), (2.0, 0.25, 0.5))  # (z, y, x)
    with h5py.File(folder / "seg.h5", "w") as file:
        file["raw"] = np.zeros((2, 2, 2))
        file.create_dataset("/volumes/labels", data=labels.astype(np.int64), chunks=(4, 18, 18))
        file["/volumes/labels"].attrs["resolution"] = [4.0, 3.0, 2.0]
    inputs["hdf5"] = (f"{folder / 'seg.h5'}:/volumes/labels", (4.0, 3.0, 2.0))
    array = zarr.create_array(
        store=str(folder / "v2.zarr"), shape=labels.shape, chunks=(5, 18, 18), dtype=labels.dtype, zarr_format=2
    )
    array[...] = labels
    inputs["zarr v2"] = (str(folder / "v2.zarr"), None)
    # OME-Zarr (format 0.5, zarr v3): an image with a channel axis of extent 1 and two levels
    group = zarr.open_group(str(folder / "ome.zarr"), mode="w", zarr_format=3)
    image = group.create_group("labels/cells")
    coarse = labels[:, ::2, ::2]
    for path, data in (("0", labels), ("1", coarse)):
        level = image.create_array(path, shape=(1,) + data.shape, chunks=(1, 6, 9, 9), dtype=np.uint8)
        level[...] = data[None]
    axes = [{"name": "c", "type": "channel"}] + [{"name": n, "type": "space", "unit": "micrometer"} for n in "zyx"]
    image.attrs["ome"] = {
        "version": "0.5",
        "multiscales": [
            {
                "axes": axes,
                "datasets": [
                    {"path": "0", "coordinateTransformations": [{"type": "scale", "scale": [1, 1.5, 1, 1]}]},
                    {"path": "1", "coordinateTransformations": [{"type": "scale", "scale": [1, 1.5, 2, 2]}]},
                ],
                "coordinateTransformations": [{"type": "scale", "scale": [1, 2, 2, 2]}],
            }
        ],
    }
    inputs["ome-zarr"] = (f"{folder / 'ome.zarr'}:labels/cells", (3.0, 2.0, 2.0))
    return inputs


@pytest.fixture(scope="module")
def inputs(tmp_path_factory, volume):
    return write_inputs(tmp_path_factory.mktemp("inputs"), volume)


def library_meshes(labels, mesher_options=None, close=False, **get):
    mesher = Mesher(threads=1, **(mesher_options or {}))
    mesher.mesh(labels, close=close)
    return {label: mesher.get(label, **get) for label in mesher.ids().tolist()}


def read_back(path, fmt):
    loaded = trimesh.load(path, file_type=fmt, process=False)
    return loaded


def assert_same(mesh, vertices, faces, fmt):
    """A mesh read back from a file equals get()'s arrays, to the format's precision."""
    if fmt == "stl":  # a soup: three corners per triangle, in triangle order
        np.testing.assert_array_equal(mesh.vertices[mesh.faces], vertices[faces])
        return
    np.testing.assert_array_equal(mesh.faces, faces)
    if fmt == "obj":  # nine significant digits of the largest coordinate
        np.testing.assert_allclose(mesh.vertices, vertices, rtol=0, atol=1e-8 * np.abs(vertices).max())
    else:
        np.testing.assert_array_equal(mesh.vertices, vertices)


def run(argv, capsys):
    status = main([str(arg) for arg in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


@pytest.mark.parametrize("name", ["npy", "npz", "tiff", "hdf5", "zarr v2", "ome-zarr"])
def test_every_input_format_gives_the_library_meshes(name, inputs, volume, tmp_path, capsys):
    source, recorded = inputs[name]
    status, out, err = run(["mesh", source, tmp_path / "out"], capsys)
    assert (status, err) == (0, "")
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    voxel = recorded or (1.0, 1.0, 1.0)
    assert summary["voxel_size"] == list(voxel)
    assert (recorded is None) == summary["voxel_size_source"].startswith("default")
    expected = library_meshes(volume, {"voxel_resolution": voxel})
    assert [record["label"] for record in summary["objects"]] == list(expected)
    for label, (vertices, faces, _) in expected.items():
        assert_same(read_back(tmp_path / "out" / f"object_{label}.ply", "ply"), vertices, faces, "ply")
    assert f"wrote     {len(expected)} objects" in out


def test_ome_zarr_level_and_voxel_size(inputs, volume, tmp_path, capsys):
    source, _ = inputs["ome-zarr"]
    status, _, err = run(["mesh", source, tmp_path / "out", "--level", "1", "--labels", "1-4"], capsys)
    assert (status, err) == (0, "")
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert summary["voxel_size"] == [3.0, 4.0, 4.0] and summary["unit"] == "micrometer"
    expected = library_meshes(volume[:, ::2, ::2], {"voxel_resolution": (3.0, 4.0, 4.0)})
    assert [record["label"] for record in summary["objects"]] == [label for label in expected if label <= 4]


@pytest.mark.parametrize("fmt", ["ply", "obj", "stl", "glb"])
@pytest.mark.parametrize("normals", [False, True])
def test_every_output_format_reads_back_as_the_library_meshes(fmt, normals, inputs, volume, tmp_path, capsys):
    source, _ = inputs["npy"]
    output = tmp_path / ("scene.glb" if fmt == "glb" else "out")
    argv = ["mesh", source, output, "--format", fmt, "--axis-order", "zxy", "--y-down", "--voxel-size", "2,3,0.5"]
    status, _, err = run(argv + ["--normals"] * normals, capsys)
    assert (status, err) == (0, "")
    expected = library_meshes(
        volume, {"voxel_resolution": (2, 3, 0.5), "axis_order": "zxy", "y_down": True}, normals=normals
    )
    if fmt == "glb":
        scene = trimesh.load(output, file_type="glb", process=False, force="scene")
        assert sorted(scene.geometry) == sorted(f"object_{label}" for label in expected)
        meshes = {label: scene.geometry[f"object_{label}"] for label in expected}
        summary_path = tmp_path / "scene.summary.json"
    else:
        meshes = {label: read_back(output / f"object_{label}.{fmt}", fmt) for label in expected}
        summary_path = output / "summary.json"
    for label, (vertices, faces, vertex_normals) in expected.items():
        assert_same(meshes[label], vertices, faces, fmt)
        if normals and fmt != "stl":
            np.testing.assert_allclose(meshes[label].vertex_normals, vertex_normals, atol=1e-6)
    assert summary_path.exists()


def test_summary_measures_and_the_volume_bias(volume, tmp_path, capsys):
    # Surface nets cut voxel corners and edges: an object's volume comes out a little below its
    # voxel count, by at most a few hundredths of a voxel per unit of area (measured: 0.04 on
    # these objects; a little negative on some larger ones).
    np.save(tmp_path / "seg.npy", volume)
    voxel = np.array([2.0, 1.0, 0.5])
    status, out, _ = run(["mesh", tmp_path / "seg.npy", tmp_path / "out", "--voxel-size", "2,1,0.5"], capsys)
    assert status == 0 and "open      1 objects reach the volume's edge" in out
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    counts = np.bincount(volume.reshape(-1))
    for record in summary["objects"]:
        mesh = read_back(tmp_path / "out" / record["file"], "ply")
        assert record["closed"] == is_closed(mesh.faces) == (record["label"] != 99)
        assert (record["vertices"], record["faces"]) == (len(mesh.vertices), len(mesh.faces))
        assert record["surface_area"] == pytest.approx(mesh.area, rel=1e-6)
        np.testing.assert_allclose(record["bounding_box"]["min"], mesh.bounds[0], rtol=1e-6)
        np.testing.assert_allclose(record["bounding_box"]["max"], mesh.bounds[1], rtol=1e-6)
        if record["closed"]:
            assert record["enclosed_volume"] == pytest.approx(mesh.volume, rel=1e-6)
            shortfall = counts[record["label"]] * voxel.prod() - record["enclosed_volume"]
            assert -0.02 <= shortfall / (record["surface_area"] * voxel.max()) <= 0.06
        else:
            assert record["enclosed_volume"] is None
    assert set(summary["timings"]) == {"read", "mesh", "write", "preview", "total"}


@pytest.mark.parametrize("seed", range(12))
def test_measures_match_a_float64_reference(seed):
    rng = np.random.default_rng(seed)
    count = int(rng.integers(1, 40))
    vertices = (rng.normal(size=(count, 3)) * 10 ** rng.uniform(-2, 3) + rng.uniform(-1e3, 1e3, 3)).astype(np.float32)
    faces = rng.integers(0, count, size=(int(rng.integers(1, 80)), 3), dtype=np.uint32)
    if seed % 2:  # strided views, as callers may pass them
        vertices, faces = np.asfortranarray(vertices), faces[::-1]
    measures = measure(vertices, faces, closed=True)
    p = vertices.astype(np.float64)[faces.astype(np.intp)]
    cross = np.cross(p[:, 1] - p[:, 0], p[:, 2] - p[:, 0])
    assert measures.surface_area == pytest.approx(np.linalg.norm(cross, axis=1).sum() / 2, rel=1e-9, abs=1e-9)
    q = p - vertices[0].astype(np.float64)  # an open surface's "volume" depends on this point
    volume = np.einsum("ij,ij->i", q[:, 0], np.cross(q[:, 1], q[:, 2])).sum() / 6
    scale = np.abs(q).max() ** 3 * len(faces)
    assert measures.enclosed_volume == pytest.approx(volume, abs=1e-12 * scale)
    assert measures.low == tuple(vertices.min(axis=0)) and measures.high == tuple(vertices.max(axis=0))
    faces[-1, 1] = count
    with pytest.raises(ValueError, match=f"face {len(faces) - 1} references a vertex past the end"):
        measure(vertices, faces)


# Smoothing and simplification: the command must hand its options to Mesher unchanged, so the
# meshes are those of Mesher.get() under the same settings.
FEATURES = [
    (["--smooth", "relax", "3", "--relaxation-step", "0.25"], {"relaxation": 3, "relaxation_step": 0.25}, {}),
    (
        ["--smooth", "taubin", "2", "--taubin-lambda", "0.5", "--max-deviation", "0.3"],
        {"taubin": 2, "taubin_lambda": 0.5, "max_deviation": 0.3},
        {},
    ),
    (
        ["--smooth", "fair", "2", "--fairing-taubin", "--no-fairing-junction-rule"],
        {"fairing": 2, "fairing_taubin": True, "fairing_junction_rule": False},
        {},
    ),
    (["--reduce", "3", "--max-error", "1.5"], {}, {"reduction_factor": 3, "max_error": 1.5}),
]


@pytest.mark.parametrize("argv, mesher_options, get_options", FEATURES)
@pytest.mark.parametrize("close", [False, True])
def test_smoothing_and_simplification_options_reach_the_mesher(
    argv, mesher_options, get_options, close, volume, tmp_path, capsys
):
    np.save(tmp_path / "seg.npy", volume)
    expected = library_meshes(volume, mesher_options, close=close, **get_options)
    status, _, err = run(["mesh", tmp_path / "seg.npy", tmp_path / "out"] + argv + ["--close"] * close, capsys)
    assert (status, err) == (0, "")
    for label, (vertices, faces, _) in expected.items():
        assert_same(read_back(tmp_path / "out" / f"object_{label}.ply", "ply"), vertices, faces, "ply")


def triangle_rows(vertices, faces):
    """Every triangle's nine coordinates, rotated to start at its smallest corner, sorted."""
    corners = vertices[faces]
    first = np.lexsort((corners[:, :, 2], corners[:, :, 1], corners[:, :, 0]), axis=-1)[:, 0]
    rotated = corners[np.arange(len(faces))[:, None], (first[:, None] + np.arange(3)) % 3].reshape(-1, 9)
    return rotated[np.lexsort(rotated.T[::-1])]


@pytest.mark.parametrize(
    "name, options",
    [
        ("npy", ["--memory-budget", "1K"]),
        ("hdf5", ["--block-shape", "7,5,6", "--close", "--labels", "2-5,99"]),
        ("ome-zarr", ["--block-shape", "5", "--scheduler", "sync", "--axis-order", "zxy", "--y-down"]),
        ("tiff", ["--scheduler", "threads", "--threads", "2", "--format", "obj"]),
    ],
)
def test_volumes_meshed_in_blocks_give_the_library_meshes(name, options, inputs, volume, tmp_path, capsys):
    """Past the memory budget, or when asked, the command meshes in blocks: the same triangles,
    written by Dask's workers, with the usual summary and how the volume was cut."""
    source, recorded = inputs[name]
    status, out, err = run(["mesh", source, tmp_path / "out", *options], capsys)
    assert (status, err) == (0, "")
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    settings = {"voxel_resolution": recorded or (1.0, 1.0, 1.0)}
    if "--axis-order" in options:
        settings.update(axis_order="zxy", y_down=True)
    expected = library_meshes(volume, settings, close="--close" in options)
    if "--labels" in options:
        expected = {label: arrays for label, arrays in expected.items() if 2 <= label <= 5 or label == 99}
    fmt = "obj" if "--format" in options else "ply"
    assert [record["label"] for record in summary["objects"]] == list(expected)
    for record in summary["objects"]:
        vertices, faces, _ = expected[record["label"]]
        mesh = read_back(tmp_path / "out" / record["file"], fmt)
        assert record["faces"] == len(faces) and record["closed"] == is_closed(faces)
        if fmt == "ply":
            np.testing.assert_array_equal(
                triangle_rows(np.asarray(mesh.vertices, np.float32), mesh.faces), triangle_rows(vertices, faces)
            )
    assert summary["blocks"]["count"] >= 1 and f"wrote     {len(expected)} objects" in out
    assert out.splitlines()[2].startswith(f"blocks    {summary['blocks']['count']} of ")


def test_labels_overwrite_and_info(inputs, tmp_path, capsys):
    source, _ = inputs["hdf5"]
    assert run(["mesh", source, tmp_path / "out", "--close"], capsys)[0] == 0
    (tmp_path / "out" / "notes.txt").write_text("mine")
    status, out, _ = run(["mesh", source, tmp_path / "out", "--labels", "2,5-6,77", "--overwrite", "--preview"], capsys)
    assert status == 0 and "absent    labels not in the volume: 77" in out
    assert sorted(os.listdir(tmp_path / "out")) == [
        "notes.txt",
        "object_2.ply",
        "object_5.ply",
        "object_6.ply",
        "preview.png",
        "summary.json",
    ]
    status, out, err = run(["info", source], capsys)
    assert (status, err) == (0, "")
    assert "shape      18 x 18 x 18, int64 (read as uint64)" in out
    assert "objects    11 (labels 1 to 99)" in out
    assert "voxel size 4, 3, 2 (HDF5 'resolution' attribute)" in out


def test_progress_bars_on_a_terminal_only(inputs, tmp_path, capsys, monkeypatch):
    source, _ = inputs["npy"]
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    assert run(["mesh", source, tmp_path / "quiet", "--quiet"], capsys)[1:] == ("", "")
    _, _, err = run(["mesh", source, tmp_path / "shown"], capsys)
    assert all(stage in err for stage in ("reading", "meshing", "writing"))


def write_bad_inputs(folder, volume):
    np.save(folder / "float.npy", volume.astype(np.float32))
    np.save(folder / "mask.npy", volume > 0)
    np.save(folder / "complex.npy", volume.astype(np.complex64))
    np.save(folder / "flat.npy", volume[0])
    negative = volume.astype(np.int16)
    negative[3, 4, 5] = -7
    np.save(folder / "negative.npy", negative)
    (folder / "broken.tif").write_bytes(b"II*\x00 this is not a TIFF file")
    (folder / "data.raw").write_bytes(b"\x00" * 8)
    (folder / "exists").mkdir()


ERRORS = [
    (["mesh", "{d}/missing.npy", "{d}/o"], "{d}/missing.npy: no such file or directory"),
    (["mesh", "{d}/missing.h5:/labels", "{d}/o"], "{d}/missing.h5: no such file or directory"),
    (["mesh", "{hdf5}:/volumes/nothing", "{d}/o"], "has no dataset '/volumes/nothing'"),
    (["mesh", "{hdf5}:/volumes", "{d}/o"], "'/volumes' in {hdf5} is a group, not a dataset"),
    (["mesh", "{ome}:labels/other", "{d}/o"], "has no array or group 'labels/other'"),
    (["mesh", "{ome}:labels/cells", "{d}/o", "--level", "2"], "has resolution levels 0 to 1"),
    (["mesh", "{d}/broken.tif", "{d}/o"], "{d}/broken.tif: cannot be read as tiff: "),
    (["mesh", "{d}/data.raw", "{d}/o"], "cannot tell the file format from its name; give --format-in"),
    (["mesh", "{d}/float.npy", "{d}/o"], "holds float32 values; a segmentation needs integer labels"),
    (["mesh", "{d}/complex.npy", "{d}/o"], "holds complex64 values; a segmentation needs integer labels"),
    (["mesh", "{d}/mask.npy", "{d}/o"], "holds a bool mask; a segmentation needs integer labels"),
    (["mesh", "{d}/flat.npy", "{d}/o"], "holds a 2-D array (18 x 18); a segmentation is a 3-D volume"),
    (["mesh", "{d}/negative.npy", "{d}/o"], "labels must not be negative; found -7 at index (3, 4, 5)"),
    (["mesh", "{npy}", "{d}/exists"], "output folder {d}/exists exists; give --overwrite to write into it"),
    (["mesh", "{npy}", "{d}/o.ply"], "several objects need a folder"),
    (["mesh", "{npy}", "{d}/o", "--voxel-size", "1,2"], "argument --voxel-size: expected three positive numbers"),
    (["mesh", "{npy}", "{d}/o", "--labels", "9-3"], "argument --labels: '9-3' is not a range of labels"),
    (["mesh", "{npy}", "{d}/o", "--threads", "-1"], "argument --threads: expected a whole number of 0 or more"),
    (["mesh", "{npy}", "{d}/o", "--smooth", "wobble", "3"], "--smooth: METHOD must be relax, taubin or fair"),
    (["mesh", "{npy}", "{d}/o", "--axis-order", "XYW"], "invalid option: axis_order may only contain X, Y and Z"),
    (["mesh", "{npy}", "{d}/o", "--labels", "500"], "none of the labels given by --labels is in the volume"),
    (["mesh", "{npy}", "{d}/o", "--format", "vrml"], "argument --format: invalid choice: 'vrml'"),
    (["info", "{d}/float.npy"], "holds float32 values"),
    (["mesh", "{npy}", "{d}/o.glb", "--block-shape", "8"], "a .glb scene is assembled in memory"),
    (["mesh", "{npy}", "{d}/o", "--preview", "--memory-budget", "1K"], "--preview draws every object at once"),
    (
        ["mesh", "{npy}", "{d}/o", "--block-shape", "8,0,8"],
        "argument --block-shape: expected one or three whole numbers from 1 to 32000, got '8,0,8'",
    ),
    (
        ["mesh", "{npy}", "{d}/o", "--memory-budget", "lots"],
        "argument --memory-budget: expected a size like 512M or 8G",
    ),
]


@pytest.mark.parametrize("argv, message", ERRORS)
def test_errors_are_one_line_with_exit_status_2(argv, message, inputs, volume, tmp_path_factory, capsys):
    folder = tmp_path_factory.getbasetemp() / "bad"
    if not folder.exists():
        folder.mkdir()
        write_bad_inputs(folder, volume)
    names = {
        "d": folder,
        "hdf5": inputs["hdf5"][0].split(":")[0],
        "npy": inputs["npy"][0],
        "ome": inputs["ome-zarr"][0].split(":")[0],
    }
    status, out, err = run([part.format(**names) for part in argv], capsys)
    assert status == 2 and out == ""
    [line] = err.splitlines()
    assert line.startswith("tarna-mesh") and ": error: " in line
    assert message.format(**names) in line
    assert not (folder / "o").exists()


def test_debug_shows_the_exception_and_a_missing_extra_is_named(inputs, tmp_path, capsys, monkeypatch):
    with pytest.raises(mesh_io.InputError):
        main(["mesh", str(tmp_path / "missing.npy"), str(tmp_path / "o"), "--debug"])
    monkeypatch.setitem(sys.modules, "h5py", None)
    status, _, err = run(["mesh", inputs["hdf5"][0], tmp_path / "o"], capsys)
    assert status == 2
    assert (
        err == "tarna-mesh: error: h5py is not installed; it comes with the 'cli' extra: "
        "pip install 'tarna_mesh[cli]'\n"
    )


@pytest.mark.parametrize("fmt", ["ply", "glb"])
def test_an_interrupted_write_leaves_no_incomplete_file_under_a_final_name(
    fmt, inputs, volume, tmp_path, capsys, monkeypatch
):
    written = []
    real_write = mesh_io.ply.write

    def failing_write(stream, *arrays):
        if len(written) == 4:
            stream.write(b"ply\nformat binary_little_endian 1.0\n")  # half a file, then the disk is full
            raise OSError(28, "No space left on device")
        written.append(arrays)
        real_write(stream, *arrays)

    def failing_scene(self, stream, normals):
        stream.write(b"glTF")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(mesh_io.ply, "write", failing_write)
    monkeypatch.setattr(mesh_io.glb.Scene, "write", failing_scene)
    output = tmp_path / ("scene.glb" if fmt == "glb" else "out")
    status, _, err = run(["mesh", inputs["npy"][0], output, "--threads", "1"], capsys)
    assert status == 2 and err == "tarna-mesh: error: No space left on device\n"
    expected = library_meshes(volume)
    finished = sorted(os.listdir(tmp_path if fmt == "glb" else output))
    if fmt == "glb":
        assert finished == []
        return
    assert len(finished) == 4 and "summary.json" not in finished
    for name in finished:
        vertices, faces, _ = expected[int(name[len("object_") : -len(".ply")])]
        assert_same(read_back(output / name, "ply"), vertices, faces, "ply")


def test_console_script_and_module_run_the_same_command(inputs, tmp_path):
    script = os.path.join(os.path.dirname(sys.executable), "tarna-mesh")
    for command in ([script], [sys.executable, "-m", "tarna_mesh"]):
        result = subprocess.run(command + ["info", inputs["tiff"][0]], capture_output=True, text=True)
        assert result.returncode == 0 and result.stderr == ""
        assert "voxel size 2, 0.25, 0.5 um (TIFF resolution tags and ImageJ spacing)" in result.stdout
