"""murel from Python: the generator, the file formats, the analysis and the histogram library.

For Debian's own interpreter (/usr/bin/python3) with python3-numpy; see docs/python.md.
"""
import numpy as _np

from ._core import Histogram1D, Histogram2D, analyse, generate, read

__all__ = ["Histogram1D", "Histogram2D", "analyse", "generate", "read", "Axis"]


class _Traits:
    """What the plotting protocol asks of an axis: neither circular nor discrete."""

    circular = False
    discrete = False


class Axis:
    """One regular axis of a histogram, as plotting code of the Python histogram libraries reads it."""

    def __init__(self, edges, label=""):
        self.edges = _np.asarray(edges, dtype=float)
        self.edges.setflags(write=False)
        self.label = label
        self.traits = _Traits()

    def __len__(self):
        return len(self.edges) - 1

    def __getitem__(self, index):
        if not -len(self) <= index < len(self):
            raise IndexError(f"bin {index} of an axis of {len(self)} bins")
        index %= len(self)
        return (self.edges[index], self.edges[index + 1])

    def __iter__(self):
        return (self[i] for i in range(len(self)))

    def __eq__(self, other):
        return isinstance(other, Axis) and _np.array_equal(self.edges, other.edges)

    def __repr__(self):
        return f"Axis({len(self)} bins from {self.edges[0]:g} to {self.edges[-1]:g}, label={self.label!r})"


def _one_column(h):
    if h.columns != 1:
        raise ValueError(f"a histogram of {h.columns} columns: pick one with .column(c) first")


def _values1(self):
    _one_column(self)
    return self.data[:, 0]


def _values2(self):
    _one_column(self)
    return self.data[:, :, 0]


def _column1(self, column):
    if not 0 <= column < self.columns:
        raise IndexError(f"column {column} of a histogram of {self.columns} columns")
    h = Histogram1D(self.bins, self.min, self.max)
    h.data[:, 0] = self.data[:, column]
    h.label = getattr(self, "label", "")
    return h


def _column2(self, column):
    if not 0 <= column < self.columns:
        raise IndexError(f"column {column} of a histogram of {self.columns} columns")
    h = Histogram2D(self.x_bins, self.x_min, self.x_max, self.y_bins, self.y_min, self.y_max)
    h.data[:, :, 0] = self.data[:, :, column]
    h.labels = getattr(self, "labels", ("", ""))
    return h


# The plotting protocol: counts without weights, whose variances are the counts themselves.
for _cls, _values, _column in ((Histogram1D, _values1, _column1), (Histogram2D, _values2, _column2)):
    _cls.kind = property(lambda self: "COUNT", doc="the plotting protocol's kind: plain counts")
    _cls.values = _values
    _cls.counts = _values
    _cls.variances = lambda self: self.values().copy()
    _cls.column = _column
Histogram1D.axes = property(lambda self: (Axis(self.edges, getattr(self, "label", "")),),
                            doc="the axis, as the plotting protocol reads it")
Histogram2D.axes = property(lambda self: (Axis(self.x_edges, getattr(self, "labels", ("", ""))[0]),
                                          Axis(self.y_edges, getattr(self, "labels", ("", ""))[1])),
                            doc="the two axes, as the plotting protocol reads them")
