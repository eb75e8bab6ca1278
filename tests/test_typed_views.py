"""Typed views of the array arguments of both functions.

ssd_matrix's flat1/flat2 carry "const unsigned char" views of rank 2,
ssim_plane_sums' planes1/planes2 (rank 3) and kernel (rank 1) "const float"
views. Exporters: NumPy arrays, memoryviews over bytearrays, `_testbuffer`
ndarrays with chosen layouts, and a scripted exporter that describes any
layout it is told to, however inconsistent, which no conforming exporter does.
"""

import ctypes
import gc
import sys

import numpy as np
import pytest

from conftest import DIFFERENCE, STRUCTURE, compiled_entries
from _testbuffer import ND_FORTRAN, ND_GETBUF_FAIL, ND_PIL, ND_WRITABLE, ndarray

SSD = (DIFFERENCE + ".ssd_matrix", "morvane/pixelwise/_kernel/_difference_kernel.cpp")
SSIM = (STRUCTURE + ".ssim_plane_sums", "morvane/structural/_kernel/_structure_kernels.cpp")

# parameter: (function entry, argument position, traceback line when its view fails)
ARRAY_PARAMETERS = {
    "flat1": (SSD, 0, 23),
    "flat2": (SSD, 1, 24),
    "planes1": (SSIM, 0, 15),
    "planes2": (SSIM, 1, 16),
    "kernel": (SSIM, 2, 17),
}
READ_ONLY_REQUEST = 60  # PyBUF_C_CONTIGUOUS | PyBUF_FORMAT
PyBUF_STRIDES = 0x18


BYTE = "const unsigned char"


def dtype_mismatch(element, got):
    return f"Buffer dtype mismatch, expected '{element}' but got {got}"


def wrong_rank(expected, got):
    return f"Buffer has wrong number of dimensions (expected {expected}, got {got})"


BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"
NOT_SAME_DIMENSION = "Buffer and memoryview are not contiguous in the same dimension."
NOT_C_CONTIGUOUS = "Buffer not C contiguous."


@pytest.fixture
def offer(difference_module, structure_module):
    """offer(parameter, obj) calls the parameter's function with obj in its
    place and None for every other array; later arguments are valid."""

    def call(parameter, obj):
        (routine, _), position, _ = ARRAY_PARAMETERS[parameter]
        if routine.endswith("ssd_matrix"):
            args = [None, None, 1]
            function = difference_module.ssd_matrix
        else:
            args = [None, None, None, 0.01, 0.03, 1]
            function = structure_module.ssim_plane_sums
        args[position] = obj
        return function(*args)

    return call


@pytest.fixture
def view_error(offer):
    """view_error(parameter, obj): the exception of offering obj, after checking
    that it carries the one traceback entry of that parameter's view."""

    def refuse(parameter, obj):
        (routine, source), _, line = ARRAY_PARAMETERS[parameter]
        with pytest.raises(Exception) as info:
            offer(parameter, obj)
        assert compiled_entries(info.value) == [(routine, source, line)]
        return info.value

    return refuse


def planes(seed, shape=(2, 6, 7)):
    return np.random.default_rng(seed).random(shape, dtype=np.float32)


WINDOW = np.array([0.25, 0.5, 0.25], dtype=np.float32)


def ssim_sums(structure_module, planes1, planes2, kernel):
    return structure_module.ssim_plane_sums(planes1, planes2, kernel, 0.01, 0.03, 1)


def assert_same_sums(got, expected):
    for got_sums, expected_sums in zip(got, expected, strict=True):
        np.testing.assert_array_equal(got_sums, expected_sums)


def u8(rows):
    return np.array(rows, dtype=np.uint8)


def expected_ssd(flat1, flat2):
    first = np.asarray(flat1, dtype=np.int64)[:, None, :]
    second = np.asarray(flat2, dtype=np.int64)[None, :, :]
    return ((first - second) ** 2).sum(axis=2)


# --- None and read-only buffers ------------------------------------------------

def test_none_gives_views_of_extent_zero(difference_module, structure_module):
    result = difference_module.ssd_matrix(None, None, 1)
    assert result.dtype == np.int64 and result.shape == (0, 0)
    with pytest.raises(ValueError, match=r"^Batches must share the pixel count, got 0 and 3\.$"):
        difference_module.ssd_matrix(None, u8([[1, 2, 3]]), 1)
    with pytest.raises(ValueError, match=r"^Batches must share the pixel count, got 3 and 0\.$"):
        difference_module.ssd_matrix(u8([[1, 2, 3]]), None, 1)
    # All three views accepted: the call gets as far as converting c1.
    with pytest.raises(TypeError) as info:
        structure_module.ssim_plane_sums(None, None, None, "c1", 0.03, 1)
    assert compiled_entries(info.value)[0][2] == 18


def read_only(array):
    array = array.copy()
    array.setflags(write=False)
    return array


def test_read_only_buffers_are_accepted(difference_module, structure_module):
    flat1, flat2 = u8([[0, 7, 255], [3, 4, 5]]), u8([[255, 0, 1]])
    expected = expected_ssd(flat1, flat2)
    for exporters in [
        (read_only(flat1), read_only(flat2)),
        (memoryview(bytes(flat1)).cast("B", (2, 3)), memoryview(bytes(flat2)).cast("B", (1, 3))),
        (ndarray(list(bytes(flat1)), shape=[2, 3]), ndarray(list(bytes(flat2)), shape=[1, 3])),
    ]:
        assert memoryview(exporters[0]).readonly
        np.testing.assert_array_equal(difference_module.ssd_matrix(*exporters, 1), expected)

    planes1, planes2 = planes(1), planes(2)
    expected = ssim_sums(structure_module, planes1, planes2, WINDOW)
    got = ssim_sums(structure_module, read_only(planes1), read_only(planes2), read_only(WINDOW))
    assert_same_sums(got, expected)


# --- rank, format and item size of NumPy arrays --------------------------------

@pytest.mark.parametrize(
    "parameter, array, message",
    [
        ("flat1", np.zeros((2, 3, 4), np.int8), wrong_rank(2, 3)),  # rank before format
        ("flat2", np.zeros(6, np.uint8), wrong_rank(2, 1)),
        ("planes1", np.zeros((4, 5), np.float64), wrong_rank(3, 2)),  # rank before format
        ("planes2", np.zeros((1, 2, 3, 4), np.float32), wrong_rank(3, 4)),
        ("kernel", np.zeros((1, 3), np.float32), wrong_rank(1, 2)),
        ("kernel", np.float32(1.0), wrong_rank(1, 0)),
        # NumPy spreads a sub-array dtype over extra axes.
        ("kernel", np.zeros(3, dtype=("f4", (2,))), wrong_rank(1, 2)),
        ("flat1", np.zeros((2, 3), np.int8), dtype_mismatch(BYTE, "'signed char'")),
        ("flat2", np.zeros((2, 3), np.uint16), dtype_mismatch(BYTE, "'unsigned short'")),
        ("flat1", np.zeros((2, 3), np.int64), dtype_mismatch(BYTE, "'long'")),
        ("flat1", np.zeros((2, 3), np.float32), dtype_mismatch(BYTE, "'float'")),
        ("flat2", np.zeros((2, 3), "S1"), dtype_mismatch(BYTE, "a string")),
        ("flat2", np.zeros((2, 3), object), dtype_mismatch(BYTE, "Python object")),
        ("planes1", np.zeros((1, 2, 3), np.float64), dtype_mismatch("const float", "'double'")),
        ("kernel", np.zeros(3, np.int32), dtype_mismatch("const float", "'int'")),
        ("kernel", np.zeros(3, np.complex64), dtype_mismatch("const float", "'complex float'")),
        ("planes2", np.zeros((1, 2, 3), ">f4"), BIG_ENDIAN),
        ("kernel", np.zeros(3, np.float16),
         "Does not understand character buffer dtype format string ('e')"),
        ("kernel", np.zeros(3, [("a", "f4"), ("b", "f8")]),
         "Buffer dtype mismatch, expected end but got 'double'"),
        ("planes1", np.zeros((1, 2, 3), [("a", "f4", (2,))]), "Expected 0 dimension(s), got 1"),
        ("kernel", np.zeros(3, {"names": ["a"], "formats": ["f4"], "itemsize": 8}),
         "Item size of buffer (8 bytes) does not match size of 'const float' (4 bytes)"),
    ],
)
def test_numpy_arrays_refused(view_error, parameter, array, message):
    error = view_error(parameter, array)
    assert type(error) is ValueError
    assert str(error) == message


def test_numpy_arrays_of_equivalent_dtypes_are_read_alike(difference_module, structure_module):
    flat1, flat2 = u8([[0, 1, 1], [1, 0, 1]]), u8([[1, 1, 0]])
    expected = expected_ssd(flat1, flat2)
    for dtype in [np.bool_, [("a", "u1")], "=u1", "<u1", ">u1"]:
        converted = (flat1.astype(dtype), flat2.astype(dtype))
        np.testing.assert_array_equal(difference_module.ssd_matrix(*converted, 1), expected,
                                      err_msg=str(dtype))

    planes1, planes2 = planes(3), planes(4)
    expected = ssim_sums(structure_module, planes1, planes2, WINDOW)
    for dtype in [[("a", "f4")], "<f4", "=f4"]:
        got = ssim_sums(structure_module, planes1.astype(dtype), planes2.astype(dtype),
                        WINDOW.astype(dtype))
        assert_same_sums(got, expected)


@pytest.mark.parametrize(
    "parameter, array, error, message",
    [
        ("flat1", np.zeros((2, 6), np.uint8)[:, ::2], ValueError, "ndarray is not C-contiguous"),
        ("flat2", np.zeros((3, 2), np.uint8).T, ValueError, "ndarray is not C-contiguous"),
        ("planes2", np.zeros((1, 2, 3), np.float32)[:, ::-1], ValueError,
         "ndarray is not C-contiguous"),
        ("kernel", np.zeros(6, np.float32)[::2], ValueError, "ndarray is not C-contiguous"),
        ("planes1", np.zeros((1, 2, 3), "M8[s]"), ValueError,
         "cannot include dtype 'M' in a buffer"),
    ],
    ids=["strided columns", "transposed", "reversed rows", "strided kernel", "datetime"],
)
def test_numpy_refusals_pass_unchanged(view_error, parameter, array, error, message):
    refusal = view_error(parameter, array)
    assert type(refusal) is error
    assert str(refusal) == message


# --- objects without the buffer protocol ---------------------------------------

@pytest.mark.parametrize(
    "parameter, obj",
    [("flat1", 7), ("flat2", "pixels"), ("planes1", [[[1.0]]]), ("planes2", {}),
     ("kernel", object())],
)
def test_objects_without_buffers_raise_the_interpreters_type_error(view_error, parameter, obj):
    error = view_error(parameter, obj)
    assert type(error) is TypeError
    assert str(error) == f"a bytes-like object is required, not '{type(obj).__name__}'"


# --- _testbuffer exporters -----------------------------------------------------

def byte_array(shape, **options):
    """A _testbuffer ndarray of the bytes 0, 1, 2, ... laid out as told."""
    return ndarray(list(range(6)), shape=shape, format="B", **options)


def float_array(shape, **options):
    return ndarray([float(value) for value in range(6)], shape=shape, format="f", **options)


def assert_no_exports(exporter):
    """An ndarray refuses to change its structure while it has exports.

    A re-exporter (an ndarray over another exporter) never changes its
    structure, so there is nothing to probe.
    """
    if exporter.obj is None:
        exporter.push([0], shape=[1])
        exporter.pop()


TESTBUFFER_NOT_C = (BufferError, "ndarray is not C-contiguous")


@pytest.mark.parametrize(
    "parameter, make, error, message",
    [
        ("flat1", lambda: byte_array([2, 3], flags=ND_FORTRAN), *TESTBUFFER_NOT_C),
        ("flat2", lambda: byte_array([2, 3], flags=ND_PIL), *TESTBUFFER_NOT_C),
        ("flat1", lambda: byte_array([2, 3], strides=[-3, 1], offset=3), *TESTBUFFER_NOT_C),
        ("planes1", lambda: float_array([1, 3, 2], flags=ND_FORTRAN), *TESTBUFFER_NOT_C),
        ("kernel", lambda: float_array([6], flags=ND_PIL), *TESTBUFFER_NOT_C),
        ("planes2", lambda: float_array([1, 2, 3], flags=ND_GETBUF_FAIL),
         BufferError, "ND_GETBUF_FAIL: forced test exception"),
        ("flat1", lambda: ndarray(list(range(6)), shape=[1, 2, 3], format="b"),
         ValueError, wrong_rank(2, 3)),
        ("flat2", lambda: ndarray(list(range(6)), shape=[2, 3], format="b"),
         ValueError, dtype_mismatch(BYTE, "'signed char'")),
        ("flat1", lambda: ndarray(list(range(6)), shape=[2, 3], format="!B"),
         ValueError, BIG_ENDIAN),
        ("planes1", lambda: ndarray([1.0] * 6, shape=[1, 2, 3], format=">f"),
         ValueError, BIG_ENDIAN),
        ("flat1", lambda: ndarray(list(range(6)), shape=[2, 3], format="Bx"), ValueError,
         "Item size of buffer (2 bytes) does not match size of 'const unsigned char' (1 byte)"),
        ("kernel", lambda: ndarray([1.0, 2.0, 3.0], shape=[3], format="f4x"), ValueError,
         "Item size of buffer (8 bytes) does not match size of 'const float' (4 bytes)"),
        # A re-exporter that was given no format describes its float32 items as "B".
        ("flat2", lambda: ndarray(np.zeros((2, 3), np.float32), getbuf=PyBUF_STRIDES),
         ValueError,
         "Item size of buffer (4 bytes) does not match size of 'const unsigned char' (1 byte)"),
    ],
    ids=["fortran", "PIL", "negative row stride", "fortran planes", "PIL kernel",
         "exporter failure", "rank", "signed bytes", "big-endian bytes", "big-endian floats",
         "B with item size 2", "f with item size 8", "format dropped"],
)
def test_testbuffer_exporters_refused(view_error, parameter, make, error, message):
    exporter = make()
    refusal = view_error(parameter, exporter)
    assert type(refusal) is error
    assert str(refusal) == message
    assert_no_exports(exporter)


@pytest.mark.parametrize(
    "make, partner, rows",
    [
        (lambda: byte_array([2, 3], flags=ND_WRITABLE), [[1, 1, 1]], [[0, 1, 2], [3, 4, 5]]),
        (lambda: byte_array([1, 6], flags=ND_FORTRAN), [[0] * 6], [list(range(6))]),
        (lambda: byte_array([6, 1], flags=ND_FORTRAN), [[2]], [[value] for value in range(6)]),
        # The stride of an axis of extent 1 is never used.
        (lambda: ndarray(list(range(3)), shape=[1, 3], strides=[100, 1], format="B"),
         [[2, 2, 2]], [[0, 1, 2]]),
        (lambda: ndarray(list(range(3)), shape=[3, 1], strides=[1, -50], format="B"),
         [[1]], [[0], [1], [2]]),
        (lambda: ndarray(list(range(3)), shape=[3, 1], format="?"), [[1]], [[0], [1], [1]]),
        (lambda: ndarray(list(range(3)), shape=[1, 3], format="<B"), [[0, 0, 0]], [[0, 1, 2]]),
        # No bytes: no layout rule applies.
        (lambda: ndarray([1], shape=[0, 3], strides=[-7, 5], format="B"), [[1, 1, 1]],
         np.zeros((0, 3))),
        (lambda: ndarray([1], shape=[2, 0], strides=[3, 9], format="B"), np.zeros((1, 0)),
         [[], []]),
    ],
    ids=["writable", "fortran row", "fortran column", "row of any stride",
         "column of any stride", "bool", "little-endian", "no rows", "no pixels"],
)
def test_testbuffer_exporters_accepted(difference_module, make, partner, rows):
    exporter = make()
    partner = u8(partner)
    result = difference_module.ssd_matrix(exporter, partner, 1)
    np.testing.assert_array_equal(result, expected_ssd(rows, partner))
    assert_no_exports(exporter)


def test_testbuffer_float_views_of_any_extent_one_stride(structure_module):
    values = planes(5, (1, 3, 6))
    kernel = [0.5, 0.5]
    expected = ssim_sums(structure_module, values, np.ones_like(values),
                         np.array(kernel, np.float32))
    odd = ndarray(values.ravel().tolist(), shape=[1, 3, 6], strides=[-400, 24, 4], format="f")
    got = ssim_sums(structure_module, odd, np.ones_like(values),
                    ndarray(kernel, shape=[2], format="=f"))
    assert_same_sums(got, expected)
    assert_no_exports(odd)


# --- a scripted exporter: layouts no conforming exporter offers ----------------

class _Buffer(ctypes.Structure):
    """The interpreter's Py_buffer."""

    _fields_ = [
        ("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
        ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)), ("internal", ctypes.c_void_p),
    ]


class _TypeSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]


class _TypeTemplate(ctypes.Structure):
    """What PyType_FromSpec makes a type from."""


    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int),
                ("itemsize", ctypes.c_int), ("flags", ctypes.c_uint),
                ("slots", ctypes.POINTER(_TypeSlot))]


@ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(_Buffer), ctypes.c_int)
def _get_buffer(exporter, view, flags):
    exporter.describe(view.contents, flags)
    return 0


def _scripted_base():
    """A type whose buffer slot lets the instance describe its buffer.

    It has no release slot: a release only drops the reference that the view
    holds to the exporter, so the exporter's reference count shows exports.
    """
    bf_getbuffer, tpflags_default, tpflags_basetype = 1, 1 << 18, 1 << 10
    slots = (_TypeSlot * 2)((bf_getbuffer, ctypes.cast(_get_buffer, ctypes.c_void_p)), (0, None))
    template = _TypeTemplate(b"test_typed_views.ScriptedBase", object.__basicsize__, 0,
                             tpflags_default | tpflags_basetype, slots)
    make_type = ctypes.pythonapi.PyType_FromSpec
    make_type.restype = ctypes.py_object
    make_type.argtypes = [ctypes.POINTER(_TypeTemplate)]
    base = make_type(ctypes.byref(template))
    base.template = template  # the type keeps pointing at the template's name
    return base


def _ssize_array(values):
    return None if values is None else (ctypes.c_ssize_t * len(values))(*values)


class ScriptedExporter(_scripted_base()):
    """Exports bytes 0, 1, 2, ... with exactly the description it is given.

    `length` defaults to the item size times the product of the extents.
    """

    def __init__(self, shape, strides=None, suboffsets=None, format="B", itemsize=1,
                 length=None):
        self.data = ctypes.create_string_buffer(bytes(range(64)))
        self.shape, self.strides, self.suboffsets = map(_ssize_array, (shape, strides, suboffsets))
        self.format = None if format is None else format.encode()
        self.itemsize = itemsize
        self.ndim = len(shape)
        self.length = itemsize * int(np.prod(shape)) if length is None else length
        self.requests = []

    def describe(self, view, flags):
        self.requests.append(flags)
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(self))
        view.obj = id(self)
        view.buf = ctypes.addressof(self.data)
        view.len, view.itemsize, view.readonly = self.length, self.itemsize, 1
        view.format, view.ndim = self.format, self.ndim
        view.shape, view.strides, view.suboffsets = self.shape, self.strides, self.suboffsets

    def rows(self):
        """The bytes the C-contiguous reading of the buffer gives."""
        shape = list(self.shape)
        return np.arange(int(np.prod(shape)), dtype=np.uint8).reshape(shape)


@pytest.mark.parametrize(
    "layout, message",
    [
        (dict(shape=[2, 3], strides=[3, 2]), NOT_SAME_DIMENSION),
        (dict(shape=[2, 3], strides=[0, 1]), NOT_SAME_DIMENSION),
        (dict(shape=[2, 3], strides=[4, 2]), NOT_SAME_DIMENSION),  # before C-contiguity
        (dict(shape=[2, 3], strides=[-3, 1]), NOT_C_CONTIGUOUS),
        (dict(shape=[2, 3], strides=[4, 1]), NOT_C_CONTIGUOUS),
        (dict(shape=[2, 3], suboffsets=[-1, -1]), "Buffer exposes suboffsets but no strides"),
        (dict(shape=[2, 3], strides=[3, 1], suboffsets=[-1, 0]),
         "Buffer not compatible with direct access in dimension 1."),
        (dict(shape=[1, 3], strides=[3, 1], suboffsets=[0, -1]),  # whatever the extent
         "Buffer not compatible with direct access in dimension 0."),
        (dict(shape=[2, 3], strides=[3, 2], suboffsets=[5, -1]),  # axis 0 before axis 1
         "Buffer not compatible with direct access in dimension 0."),
        (dict(shape=[6], format="d"), wrong_rank(2, 1)),  # rank before format
        (dict(shape=[2, 3], format="d", itemsize=1),  # format before item size
         dtype_mismatch(BYTE, "'double'")),
        (dict(shape=[2, 3], format=None, itemsize=4),
         "Item size of buffer (4 bytes) does not match size of 'const unsigned char' (1 byte)"),
        (dict(shape=[2, 3], itemsize=0, length=6),
         "Item size of buffer (0 byte) does not match size of 'const unsigned char' (1 byte)"),
        (dict(parameter="kernel", shape=[3], format="f", itemsize=8),
         "Item size of buffer (8 bytes) does not match size of 'const float' (4 bytes)"),
        (dict(parameter="planes2", shape=[1, 2, 3], strides=[24, 12, 8], format="f", itemsize=4),
         NOT_SAME_DIMENSION),
    ],
    ids=["inner stride", "outer stride below item", "inner before C", "negative rows",
         "padded rows", "suboffsets without strides", "indirect dimension 1",
         "indirect extent 1", "indirect first", "rank first", "format first", "no format",
         "item size 0", "f with item size 8", "float inner stride"],
)
def test_scripted_layouts_refused(view_error, layout, message):
    """Offered as flat1 unless the layout names another parameter."""
    layout = dict(layout)
    parameter = layout.pop("parameter", "flat1")
    exporter = ScriptedExporter(**layout)
    references = sys.getrefcount(exporter)
    error = view_error(parameter, exporter)
    assert type(error) is ValueError
    assert str(error) == message
    assert exporter.requests == [READ_ONLY_REQUEST]
    del error
    gc.collect()  # the traceback's frames and the exception refer to each other
    assert sys.getrefcount(exporter) == references


def test_scripted_buffer_without_shape_is_refused(view_error):
    exporter = ScriptedExporter(shape=[2, 3])
    exporter.shape = None  # still described as rank 2
    error = view_error("flat1", exporter)
    assert type(error) is ValueError


@pytest.mark.parametrize(
    "layout",
    [
        dict(shape=[2, 3]),  # no strides: the view works them out
        dict(shape=[2, 3], strides=[3, 1]),
        dict(shape=[2, 3], strides=[3, 1], suboffsets=[-1, -1]),
        dict(shape=[2, 3], format=None),
        dict(shape=[1, 3], strides=[-1000, 1]),
        dict(shape=[3, 1], strides=[1, 0]),
        dict(shape=[0, 3], strides=[3, 2], suboffsets=[0, 0]),
        dict(shape=[3, 0], strides=[-5, 7]),
    ],
    ids=["no strides", "C strides", "negative suboffsets", "no format", "row of any stride",
         "column of any stride", "no rows, any layout", "no pixels, any layout"],
)
def test_scripted_layouts_accepted(difference_module, layout):
    exporter = ScriptedExporter(**layout)
    references = sys.getrefcount(exporter)
    rows = exporter.rows()
    partner = np.full((2, rows.shape[1]), 3, dtype=np.uint8)
    result = difference_module.ssd_matrix(exporter, partner, 1)
    np.testing.assert_array_equal(result, expected_ssd(rows, partner))
    assert exporter.requests == [READ_ONLY_REQUEST]
    assert sys.getrefcount(exporter) == references


def test_every_argument_view_requests_a_read_only_c_contiguous_buffer(
        difference_module, structure_module):
    flats = [ScriptedExporter(shape=[2, 3]) for _ in range(2)]
    difference_module.ssd_matrix(*flats, 1)
    float_views = [ScriptedExporter(shape=[1, 3, 4], format="f", itemsize=4),
                   ScriptedExporter(shape=[1, 3, 4], format="f", itemsize=4),
                   ScriptedExporter(shape=[2], format="f", itemsize=4)]
    structure_module.ssim_plane_sums(*float_views, 0.01, 0.03, 1)
    for exporter in flats + float_views:
        assert exporter.requests == [READ_ONLY_REQUEST]


# --- no export outlives a call --------------------------------------------------

class ResizableExporter:
    """A memoryview over a bytearray: the bytearray can be resized only once
    the memoryview is released, and that only once nobody holds its buffer."""

    def __init__(self, array):
        self.storage = bytearray(array.tobytes())
        self.view = memoryview(self.storage).cast(array.dtype.char, array.shape)

    def assert_released(self):
        self.view.release()  # BufferError while an export is outstanding
        self.storage.append(0)


def flat_exporter(dtype=np.uint8):
    return ResizableExporter(np.arange(6, dtype=dtype).reshape(2, 3))


def planes_exporter(dtype=np.float32, shape=(1, 4, 4)):
    return ResizableExporter(np.arange(np.prod(shape), dtype=dtype).reshape(shape))


# scenario: (function, arguments with ResizableExporter where an array goes,
# the exception expected or None)
RELEASE_SCENARIOS = {
    "ssd success": ("ssd_matrix", lambda: [flat_exporter(), flat_exporter(), 2], None),
    "flat1 refused": ("ssd_matrix", lambda: [flat_exporter(np.int8), flat_exporter(), 1],
                      ValueError),
    "flat2 refused": ("ssd_matrix", lambda: [flat_exporter(), flat_exporter(np.int8), 1],
                      ValueError),
    "num_threads refused": ("ssd_matrix", lambda: [flat_exporter(), flat_exporter(), "two"],
                            TypeError),
    "num_threads not positive": ("ssd_matrix", lambda: [flat_exporter(), flat_exporter(), 0],
                                 ValueError),
    "pixel counts differ": ("ssd_matrix", lambda: [
        flat_exporter(), ResizableExporter(np.zeros((1, 4), np.uint8)), 1], ValueError),
    "ssim success": ("ssim_plane_sums", lambda: [
        planes_exporter(), planes_exporter(), planes_exporter(shape=(3,)), 0.01, 0.03, 2], None),
    "planes2 refused": ("ssim_plane_sums", lambda: [
        planes_exporter(), planes_exporter(np.float64), planes_exporter(shape=(3,)),
        0.01, 0.03, 1], ValueError),
    "kernel refused": ("ssim_plane_sums", lambda: [
        planes_exporter(), planes_exporter(), planes_exporter(shape=(1, 3)), 0.01, 0.03, 1],
        ValueError),
    "c1 refused": ("ssim_plane_sums", lambda: [
        planes_exporter(), planes_exporter(), planes_exporter(shape=(3,)), "c1", 0.03, 1],
        TypeError),
    "window too large": ("ssim_plane_sums", lambda: [
        planes_exporter(), planes_exporter(), planes_exporter(shape=(5,)), 0.01, 0.03, 1],
        ValueError),
}


@pytest.mark.parametrize("scenario", RELEASE_SCENARIOS)
def test_no_export_outlives_a_call(difference_module, structure_module, scenario):
    name, make_arguments, error = RELEASE_SCENARIOS[scenario]
    function = getattr(difference_module if name == "ssd_matrix" else structure_module, name)
    arguments = make_arguments()
    exporters = [argument for argument in arguments if isinstance(argument, ResizableExporter)]
    values = [argument.view if isinstance(argument, ResizableExporter) else argument
              for argument in arguments]
    if error is None:
        function(*values)
    else:
        with pytest.raises(error):
            function(*values)
    for exporter in exporters:
        exporter.assert_released()
