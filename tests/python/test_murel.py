"""The murel module against the command line and the files it writes."""
import copy
import csv
import json

import h5py
import numpy as np
import pytest

import murel


def text_table(path):
    return np.loadtxt(path, ndmin=2)


def histogram_group(group):
    """A histogram of the UHI layout, read with h5py alone: edges per axis and the values with flow bins."""
    assert group.attrs["uhi_schema"] == 1
    edges = []
    for reference in group["axes"][()]:
        axis = group[reference]
        assert axis.attrs["type"] == "regular" and axis.attrs["underflow"] and axis.attrs["overflow"]
        edges.append(np.linspace(axis.attrs["lower"], axis.attrs["upper"], int(axis.attrs["bins"]) + 1))
    assert group["storage"].attrs["type"] == "double"
    return edges, group["storage/values"][()]


# ---------------------------------------------------------------------------------------------
# murel.generate is murel generate

@pytest.mark.parametrize("settings", [
    dict(events=40, seed=3),
    dict(events=25, seed=9, first_event=1000, samples=300),
    dict(events=30, seed=4, shape="exponential", rise=(8, 0.1), decay=90, polarity="negative",
         pileup=(0.5, 20, 80), bits=14, saturate=True),
    dict(events=20, line=[(5000, 0.01, 0.5)], continuum=(100, 200), noise=3.5, baseline_slope=0.25),
])
def test_generate_equals_the_command_line_bytes_and_truth(tmp_path, cli, settings):
    generated = murel.generate(threads=3, **settings)
    args = []
    for key, value in settings.items():
        values = value if key == "line" else [value]
        for v in values:
            if v is True:
                args.append("--" + key.replace("_", "-"))
            else:
                text = ",".join(map(str, v)) if isinstance(v, tuple) else str(v)
                args += ["--" + key.replace("_", "-"), text]
    cli("generate", *args, tmp_path / "d.cdb", "--truth", tmp_path / "t.csv")
    data = (tmp_path / "d.cdb").read_bytes()
    assert np.ascontiguousarray(generated.samples.transpose(0, 2, 1)).tobytes() == data[12:]
    with open(tmp_path / "t.csv") as f:
        rows = list(csv.DictReader(line for line in f if not line.startswith("#")))
    truth = generated.truth
    assert len(rows) == len(truth.event)
    for i, row in enumerate(rows):
        assert int(row["event"]) == truth.event[i] and row["channel"] == truth.channel[i]
        assert (row["component"] == "pileup") == truth.pileup[i]
        if row["component"] != "pileup":
            assert int(row["component"]) == truth.component[i]
        for name in ("amplitude", "centre", "offset"):
            assert float(row[name]) == getattr(truth, name)[i]


def test_generate_settings_errors_are_the_command_lines():
    with pytest.raises(ValueError, match="--width 0: "):
        murel.generate(events=1, width=0)
    with pytest.raises(ValueError, match="--seed 0"):
        murel.generate(events=1, seed=0)
    with pytest.raises(ValueError, match="unknown"):
        murel.generate(events=1, colour="red")


# ---------------------------------------------------------------------------------------------
# murel.read

def test_read_cdb_is_numpy_fromfile_mapped_or_copied(tmp_path, cli):
    cli("generate", "--events", 64, "--samples", 200, tmp_path / "d.cdb")
    expected = np.fromfile(tmp_path / "d.cdb", dtype="<i2", offset=12).reshape(64, 200, 2).transpose(0, 2, 1)
    mapped = murel.read(tmp_path / "d.cdb", samples=200)
    copied = murel.read(str(tmp_path / "d.cdb"), "cdb", samples=200, mmap=False)
    for records in (mapped, copied):
        assert records.samples.shape == (64, 2, 200) and records.samples.dtype == np.int16
        assert np.array_equal(records.samples, expected)
        assert records.channels == ["A", "B"] and np.array_equal(records.event, np.arange(64))
    assert not mapped.samples.flags.writeable and mapped.samples.base is not None
    assert not mapped.samples.flags.owndata


@pytest.mark.parametrize("fmt, name", [("wavedump", "wd"), ("wavedump-ascii", "wa"), ("compass", "c.bin"), ("lh5", "d.lh5")])
def test_read_other_formats_equals_their_cdb(tmp_path, cli, fmt, name):
    cli("generate", "--events", 12, "--samples", 64, "--seed", 7, tmp_path / "d.cdb")
    cli("generate", "--events", 12, "--samples", 64, "--seed", 7, "--format", fmt, tmp_path / name)
    reference = murel.read(tmp_path / "d.cdb", samples=64).samples
    path = tmp_path / name
    if fmt.startswith("wavedump"):
        path = sorted(path.iterdir())[0]
    records = murel.read(path)
    assert records.format == fmt
    samples = records.samples.astype(np.int64)
    # A WaveDump file holds one channel; unsigned formats shift every sample by the same offset.
    expected = reference[:, : samples.shape[1]]
    shift = samples.flat[0] - expected.flat[0]
    assert samples.shape == expected.shape and np.array_equal(samples - shift, expected)
    assert np.array_equal(records.event, np.arange(12))


@pytest.mark.parametrize("make, error, text", [
    (lambda p: p / "absent.cdb", OSError, "absent.cdb"),
    (lambda p: (p / "noise.xyz").write_bytes(b"\x01\x02\x03") and p / "noise.xyz", ValueError, "noise.xyz"),
    (lambda p: (p / "short.cdb").write_bytes(bytes(15)) and p / "short.cdb", ValueError, "short.cdb"),
])
def test_read_bad_input_names_the_path(tmp_path, make, error, text):
    with pytest.raises(error, match=text):
        murel.read(make(tmp_path))
    with pytest.raises(ValueError, match="unknown format 'nope'"):
        murel.read(tmp_path, "nope")


def test_read_random_bytes_never_crashes(tmp_path):
    rng = np.random.default_rng(1)
    for i in range(40):
        head = [b"", b"\xca\xed", b"\x89HDF\r\n\x1a\n", b"Record Length: 4\n"][i % 4]
        path = tmp_path / f"f{i}{['.cdb', '.BIN', '.lh5', '.txt'][i % 4]}"
        path.write_bytes(head + rng.integers(0, 256, rng.integers(0, 300), dtype=np.uint8).tobytes())
        try:
            murel.read(path)
        except (ValueError, OSError):
            pass


# ---------------------------------------------------------------------------------------------
# analysis.h5, and murel.analyse

@pytest.fixture(scope="module")
def analysed(tmp_path_factory):
    import subprocess, os
    directory = tmp_path_factory.mktemp("analysis")
    program = os.environ["MUREL"]
    run = lambda *a: subprocess.run([program, *map(str, a)], check=True, capture_output=True)
    for k, first in enumerate((0, 1500)):
        run("generate", "--events", 1500, "--first-event", first, directory / f"p{k}.cdb", "--truth", directory / f"t{k}.csv")
        run("analyse", directory / f"p{k}.cdb", "--truth", directory / f"t{k}.csv", "--records", "-o", directory / f"a{k}")
    run("generate", "--events", 3000, directory / "all.cdb", "--truth", directory / "all.csv")
    run("analyse", directory / "all.cdb", "--truth", directory / "all.csv", "-o", directory / "whole")
    run("merge", directory / "a0", directory / "a1", "-o", directory / "merged")
    return directory


def test_analysis_h5_equals_the_text_files_bin_for_bin(analysed):
    spectrum = text_table(analysed / "a0/spectrum.txt")
    map_text = text_table(analysed / "a0/map.txt")
    with h5py.File(analysed / "a0/analysis.h5") as f:
        for c, channel in enumerate(["A", "B"]):
            edges, values = histogram_group(f["spectrum"][channel])
            assert values[0] == 0 and values[-1] == 0  # the edge bins hold what lies beyond the axis
            assert np.array_equal(values[1:-1], spectrum[:, c + 1])
            assert np.allclose(0.5 * (edges[0][1:] + edges[0][:-1]), spectrum[:, 0], atol=1e-6)
            assert f["spectrum"][channel]["metadata"].attrs["units"] == "ADC"
        edges, values = histogram_group(f["map"])
        nx, ny = len(edges[0]) - 1, len(edges[1]) - 1
        assert values.shape == (nx + 2, ny + 2)
        assert np.array_equal(values[1:-1, 1:-1].ravel(), map_text[:, 2])
        assert not values[0].any() and not values[-1].any() and not values[:, 0].any() and not values[:, -1].any()
        gate = text_table(analysed / "a0/gate-0.txt")
        assert np.array_equal(histogram_group(f["gates/0"])[1][1:-1], gate[:, -1])
        residuals = text_table(analysed / "a0/residuals.txt")
        assert np.array_equal(histogram_group(f["residuals/B"])[1][1:-1], residuals[:, 2])
        summary = json.loads((analysed / "a0/summary.json").read_text())
        assert [l["position"] for l in summary["channels"]["A"]["lines"]] == list(f["lines/position"][f["lines/channel"][()] == b"A"])
        assert f["records"].attrs["datatype"] == ("table{file,event,channel,baseline,amplitude,centre,width,flag,timestamp,daq_energy,baseline_rms,baseline_slope,"
                                                "trap_energy,trap_max,charge,charge_short,psd,t_leading,t_cfd,rise_time,chi2}")
        with open(analysed / "a0/records.csv") as rows:
            table = list(csv.DictReader(rows))
        assert len(f["records/amplitude"]) == len(table)
        assert all(float(r["amplitude"]) == pytest.approx(a, rel=1e-9) for r, a in zip(table, f["records/amplitude"][()]))
        assert [r["flag"] for r in table] == [x.decode() for x in f["records/flag"][()]]
        assert set(f["truth_residuals/line"][()]) >= {-1, 0}
        assert json.loads(f.attrs["summary"])["channels"] == summary["channels"]
    assert "analysis.h5" in summary["outputs"]


def test_merging_keeps_analysis_h5_exact(analysed):
    with h5py.File(analysed / "merged/analysis.h5") as merged, h5py.File(analysed / "whole/analysis.h5") as whole:
        for name in ("spectrum/A", "spectrum/B", "map", "residuals/A", "gates/0"):
            assert np.array_equal(merged[name]["storage/values"][()], whole[name]["storage/values"][()]), name
        assert np.array_equal(merged["lines/position"][()], whole["lines/position"][()])
        assert "records" not in merged


def test_no_hdf5_skips_it_and_removes_an_old_one(analysed, cli):
    cli("analyse", analysed / "p0.cdb", "--no-hdf5", "-o", analysed / "a0")
    assert not (analysed / "a0/analysis.h5").exists()
    assert "analysis.h5" not in json.loads((analysed / "a0/summary.json").read_text())["outputs"]


def test_analyse_from_python_equals_the_command_line(analysed):
    result = murel.analyse(analysed / "a1/../p1.cdb", truth=analysed / "t1.csv")
    with open(analysed / "a1/records.csv") as rows:
        table = list(csv.DictReader(rows))
    assert len(result.records.amplitude) == len(table)
    assert all(float(r["amplitude"]) == pytest.approx(a, rel=1e-9) for r, a in zip(table, result.records.amplitude))
    assert [result.channels[c] for c in result.records.channel[:4]] == [r["channel"] for r in table[:4]]
    summary = json.loads((analysed / "a1/summary.json").read_text())
    for channel in ("A", "B"):
        assert [l.position for l in result.lines[channel]] == [l["position"] for l in summary["channels"][channel]["lines"]]
    spectrum = text_table(analysed / "a1/spectrum.txt")
    assert np.array_equal(result.spectrum.data, spectrum[:, 1:])
    # Records in memory are analysed like their file.
    in_memory = murel.analyse(murel.generate(events=1500, first_event=1500))
    assert np.array_equal(in_memory.records.amplitude, murel.analyse(analysed / "p1.cdb").records.amplitude)
    with pytest.raises(ValueError, match="at least 16 bins"):
        murel.analyse(analysed / "p1.cdb", bins=3)
    with pytest.raises(OSError, match="absent.cdb"):
        murel.analyse(analysed / "absent.cdb")


def test_analyse_reads_records_as_read_and_takes_the_processing_options(tmp_path, cli):
    cli("generate", tmp_path / "g.lh5", "--format", "lh5", "--events", "300")
    cli("generate", tmp_path / "short.cdb", "--samples", "200", "--centre", "120,0.005", "--width", "35,0.001", "--events", "300")
    assert len(murel.analyse(murel.read(tmp_path / "g.lh5")).records.amplitude) == 600
    assert len(murel.analyse(murel.read(tmp_path / "short.cdb", samples=200, mmap=False)).records.amplitude) == 600
    # Every flag has its name, those of the trapezoid and charge included.
    slow = murel.analyse(murel.generate(events=300, seed=2, shape="preamp", decay=2000), method="trapezoid", rise_time="20")
    assert set(slow.records.flag) <= {"ok", "clipped", "no_pulse", "fit_failed", "poor_fit", "saturated", "pileup"}
    assert np.isfinite(slow.records.trap_energy).any() and np.isnan(slow.records.width).all()
    assert sum(slow.counts["A"][k] for k in ("saturated", "pileup")) == np.isin(slow.records.flag[slow.records.channel == 0], ["saturated", "pileup"]).sum()
    with pytest.raises(ValueError, match="--method bogus"):
        murel.analyse(tmp_path / "short.cdb", method="bogus")


# ---------------------------------------------------------------------------------------------
# Histograms

def test_plotting_protocol_attribute_by_attribute():
    h = murel.Histogram1D(4, 10, 40)
    h.fill(np.array([10, 20, 20, 99.0]))
    assert h.kind == "COUNT"
    assert np.array_equal(h.values(), [1, 2, 0, 1]) and np.array_equal(h.counts(), h.values())
    assert np.array_equal(h.variances(), h.values())
    (axis,) = h.axes
    assert np.array_equal(axis.edges, [5, 15, 25, 35, 45])
    assert len(axis) == 4 and axis[1] == (15, 25) and list(axis)[-1] == (35, 45)
    assert axis.traits.circular is False and axis.traits.discrete is False
    assert axis.label == "" and axis == murel.Axis([5, 15, 25, 35, 45])
    h.values()[0] = 7  # a view of the counts
    assert h.data[0, 0] == 7
    g = murel.Histogram2D(2, 0, 1, 3, 0, 2)
    g.fill([0, 1, 1], np.array([0, 2, 2], dtype=np.float32))
    assert g.values().shape == (2, 3) and g.values()[1, 2] == 2
    assert [len(a) for a in g.axes] == [2, 3] and np.array_equal(g.axes[1].edges, [-0.5, 0.5, 1.5, 2.5])
    many = murel.Histogram1D(3, 0, 2, columns=2)
    with pytest.raises(ValueError, match="pick one"):
        many.values()
    assert many.column(1).values().shape == (3,)
    assert copy.deepcopy(h).values()[0] == 7


@pytest.mark.parametrize("x", [np.array(["a"]), np.zeros((2, 2)), np.array([1j]), np.array([np.nan]), np.array([1.0, np.nan, 2.0])])
def test_fill_refuses_wrong_dtypes_shapes_and_nan_and_counts_nothing(x):
    h = murel.Histogram1D(3, 0, 2)
    with pytest.raises(ValueError):
        h.fill(x)
    assert h.values().sum() == 0


def test_fill_random_arrays_counts_every_value():
    rng = np.random.default_rng(5)
    for _ in range(30):
        bins = int(rng.integers(1, 50))
        low = float(rng.normal(0, 100))
        h = murel.Histogram1D(bins, low, low + float(rng.uniform(0.1, 1000)) if bins > 1 else low)
        values = rng.normal(low, 500, int(rng.integers(0, 2000)))
        values[rng.random(values.size) < 0.01] = np.inf
        h.fill(values)
        assert h.values().sum() == values.size
        g = murel.Histogram2D(bins, -1, 1, 3, 0, 5)
        g.fill(values, values[::-1])
        assert g.values().sum() == values.size
    with pytest.raises(ValueError, match="x has 2 values, y 1"):
        murel.Histogram2D(2, 0, 1, 2, 0, 1).fill([1, 2], [1])


def test_histograms_round_trip_through_hdf5_and_h5py(tmp_path):
    h = murel.Histogram1D(5, 0.1, 0.5, columns=2)
    h.fill(np.linspace(0, 0.6, 33), 1)
    h.write_hdf5(tmp_path / "h.h5", "spectra")
    back = murel.Histogram1D.read_hdf5(tmp_path / "h.h5", "spectra")
    assert (back.bins, back.min, back.max, back.columns) == (5, 0.1, 0.5, 2)
    assert np.array_equal(back.data, h.data)
    with h5py.File(tmp_path / "h.h5") as f:
        edges, values = histogram_group(f["spectra/1"])
        assert np.array_equal(values[1:-1], h.data[:, 1]) and len(edges[0]) == 6
    g = murel.Histogram2D(3, 0, 2, 2, 5, 6)
    g.fill([0, 2], [5, 6])
    g.write_hdf5(tmp_path / "h.h5", "map")
    assert np.array_equal(murel.Histogram2D.read_hdf5(tmp_path / "h.h5", "map").data, g.data)
    with h5py.File(tmp_path / "h.h5", "a") as f:
        f.create_group("plain")
        del f["map/0/storage"]
    with pytest.raises(ValueError, match="plain: not a histogram of the UHI layout: no attribute uhi_schema"):
        murel.Histogram1D.read_hdf5(tmp_path / "h.h5", "plain")
    with pytest.raises(ValueError, match="map/0: not a histogram of the UHI layout: no storage"):
        murel.Histogram2D.read_hdf5(tmp_path / "h.h5", "map")
    with pytest.raises(OSError, match="absent.h5"):
        murel.Histogram1D.read_hdf5(tmp_path / "absent.h5", "g")
