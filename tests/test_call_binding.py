"""Calls of both functions: binding of positional and keyword arguments,
conversion of the scalar arguments, and what a failing call reports (one
traceback entry naming the failing step) and gives back (every reference and
every array view it took)."""

import ctypes
import itertools
import math
import struct
import sys
import warnings

import numpy as np
import pytest

from conftest import compiled_entries

# The routine and source path of each function's traceback entries.
ENTRIES = {
    "ssim_plane_sums": (
        "morvane.structural._kernel._structure_kernels.ssim_plane_sums",
        "morvane/structural/_kernel/_structure_kernels.cpp",
    ),
    "ssd_matrix": (
        "morvane.pixelwise._kernel._difference_kernel.ssd_matrix",
        "morvane/pixelwise/_kernel/_difference_kernel.cpp",
    ),
}

# Lines of the binding and conversion steps.
SSIM_LINES = {"binding": 14, "planes1": 15, "planes2": 16, "kernel": 17, "c1": 18, "c2": 19,
              "num_threads": 20}
SSD_LINES = {"binding": 22, "flat1": 23, "flat2": 24, "num_threads": 25}
LINES = {"ssim_plane_sums": SSIM_LINES, "ssd_matrix": SSD_LINES}

NOT_A_BUFFER = [1.0]  # refused by every array parameter: "a bytes-like object is required"


def ssim_arguments():
    """Valid arguments of ssim_plane_sums, by parameter name, in parameter order."""
    rng = np.random.default_rng(11)
    return {
        "planes1": rng.random((2, 5, 6), dtype=np.float32),
        "planes2": rng.random((2, 5, 6), dtype=np.float32),
        "kernel": np.array([0.25, 0.5, 0.25], np.float32),
        "c1": 0.01,
        "c2": 0.03,
        "num_threads": 1,
    }


def ssd_arguments():
    """Valid arguments of ssd_matrix, by parameter name; N != M, so that a
    swap of the batches shows in the result."""
    rng = np.random.default_rng(12)
    return {
        "flat1": rng.integers(0, 256, (2, 7), dtype=np.uint8),
        "flat2": rng.integers(0, 256, (3, 7), dtype=np.uint8),
        "num_threads": 1,
    }


ARGUMENTS = {"ssim_plane_sums": ssim_arguments, "ssd_matrix": ssd_arguments}


@pytest.fixture
def functions(structure_module, difference_module):
    return {
        "ssim_plane_sums": structure_module.ssim_plane_sums,
        "ssd_matrix": difference_module.ssd_matrix,
    }


def call_failure(function, /, *args, **kwargs):
    """The exception of a call that must fail. (`function` is positional-only:
    keyword names of any kind pass through to the call untouched.)"""
    try:
        function(*args, **kwargs)
    except Exception as error:
        return error
    pytest.fail(f"{function.__name__} accepted the call")


PY_VECTORCALL_ARGUMENTS_OFFSET = 1 << (8 * ctypes.sizeof(ctypes.c_size_t) - 1)
_vectorcall_method = ctypes.pythonapi.PyObject_VectorcallMethod
_vectorcall_method.restype = ctypes.py_object
_vectorcall_method.argtypes = [
    ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object,
]
_classic_call = ctypes.pythonapi.PyObject_Call
_classic_call.restype = ctypes.py_object
_classic_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_void_p]


def vector_call(function, positional, keyword_names=(), keyword_values=(), offset_flag=False):
    """Calls `function` through the vector call protocol with a names tuple made
    by hand, which may hold objects no Python call can pass."""
    module = sys.modules[function.__module__]
    # Method call on the module: args[0] is the module, the rest go unchanged
    # to the function with the names tuple.
    values = [module, *positional, *keyword_values]
    array = (ctypes.py_object * len(values))(*values)
    count = (1 + len(positional)) | (PY_VECTORCALL_ARGUMENTS_OFFSET if offset_flag else 0)
    return _vectorcall_method(function.__name__, array, count, tuple(keyword_names))


def classic_call(function, positional, keywords):
    """Calls `function` through its type's call slot; `keywords` None passes no dict."""
    return _classic_call(function, tuple(positional), None if keywords is None else id(keywords))


CALLERS = (call_failure.__code__, vector_call.__code__)


def reported_line(error, function):
    """The line of the one traceback entry the failing call added, after checking
    that it names the function and its source, stands directly below the
    caller's line and sees the module namespace as its globals."""
    routine, source = ENTRIES[function.__name__]
    ((entry_routine, entry_source, line),) = compiled_entries(error)
    assert (entry_routine, entry_source) == (routine, source)
    caller = error.__traceback__
    while caller.tb_next.tb_frame.f_code.co_name != routine:
        caller = caller.tb_next
    assert caller.tb_frame.f_code in CALLERS
    assert caller.tb_next.tb_frame.f_globals is vars(sys.modules[function.__module__])
    return line


def assert_same_result(result, expected):
    if isinstance(expected, tuple):
        assert type(result) is tuple and len(result) == len(expected)
        for part, expected_part in zip(result, expected):
            np.testing.assert_array_equal(part, expected_part, strict=True)
    else:
        np.testing.assert_array_equal(result, expected, strict=True)


def positional_message(name, count, given):
    return f"{name}() takes exactly {count} positional arguments ({given} given)"


class Name(str):
    """A keyword name of a str subclass: matched by the interpreter's equality."""


class NeverEqualName(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


class UncomparableName(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("no comparison for this name")


class TestBinding:
    @pytest.mark.parametrize(
        "name, args, kwargs, message",
        [
            # Without keywords the positional count must be exact.
            ("ssd_matrix", (None, None), {}, positional_message("ssd_matrix", 3, 2)),
            ("ssd_matrix", (None,) * 4, {}, positional_message("ssd_matrix", 3, 4)),
            ("ssd_matrix", (), {}, positional_message("ssd_matrix", 3, 0)),
            ("ssim_plane_sums", (None,) * 5, {}, positional_message("ssim_plane_sums", 6, 5)),
            ("ssim_plane_sums", (None,) * 7, {}, positional_message("ssim_plane_sums", 6, 7)),
            # With keywords, too many positional arguments fail before any keyword is seen.
            ("ssd_matrix", (None,) * 4, {"bogus": 1}, positional_message("ssd_matrix", 3, 4)),
            # A parameter left unbound is reported by its position, not by the count given.
            ("ssim_plane_sums", (None,) * 3, {"c1": 1.0, "num_threads": 1},
             positional_message("ssim_plane_sums", 6, 4)),
            ("ssim_plane_sums", (), {"planes2": None}, positional_message("ssim_plane_sums", 6, 0)),
            ("ssim_plane_sums", (None,),
             {"kernel": None, "c1": 1.0, "c2": 1.0, "num_threads": 1},
             positional_message("ssim_plane_sums", 6, 1)),
            ("ssd_matrix", (None,), {"flat2": None}, positional_message("ssd_matrix", 3, 2)),
            ("ssd_matrix", (), {"flat1": None, "num_threads": 1},
             positional_message("ssd_matrix", 3, 1)),
            # Keywords that name a positional argument or no parameter at all.
            ("ssd_matrix", (None, None, 1), {"flat1": None},
             "ssd_matrix() got multiple values for keyword argument 'flat1'"),
            ("ssd_matrix", (None, None), {"threads": 1},
             "ssd_matrix() got an unexpected keyword argument 'threads'"),
            ("ssim_plane_sums", (None,) * 6, {"c2": 1.0},
             "ssim_plane_sums() got multiple values for keyword argument 'c2'"),
            # The first offending keyword decides, and keyword errors come
            # before the check for unbound parameters.
            ("ssd_matrix", (None, None, 1), {"bogus": 1, "flat1": None},
             "ssd_matrix() got an unexpected keyword argument 'bogus'"),
            ("ssd_matrix", (None, None, 1), {"flat1": None, "bogus": 1},
             "ssd_matrix() got multiple values for keyword argument 'flat1'"),
            ("ssd_matrix", (None,), {"flat1": None},
             "ssd_matrix() got multiple values for keyword argument 'flat1'"),
            ("ssd_matrix", (), {"Flat1": None},
             "ssd_matrix() got an unexpected keyword argument 'Flat1'"),
            # A str subclass is compared by its own __eq__, not by its text.
            ("ssd_matrix", (None, None), {NeverEqualName("num_threads"): 1},
             "ssd_matrix() got an unexpected keyword argument 'num_threads'"),
            ("ssd_matrix", (None,), {NeverEqualName("flat1"): 1, "flat2": None, "num_threads": 1},
             "ssd_matrix() got an unexpected keyword argument 'flat1'"),
        ],
    )
    def test_binding_errors(self, functions, name, args, kwargs, message):
        function = functions[name]
        error = call_failure(function, *args, **kwargs)
        assert type(error) is TypeError
        assert str(error) == message
        assert reported_line(error, function) == LINES[name]["binding"]

    @pytest.mark.parametrize(
        "positional, keyword_names, message",
        [
            ((None, None), (5,), "ssd_matrix() keywords must be strings"),
            ((None, None), (b"num_threads",), "ssd_matrix() keywords must be strings"),
            ((None,), ("flat2", 5), "ssd_matrix() keywords must be strings"),
            ((None,), (5, "bogus"), "ssd_matrix() keywords must be strings"),
            ((None,), ("bogus", 5), "ssd_matrix() got an unexpected keyword argument 'bogus'"),
            # An empty names tuple means no keywords.
            ((None, None), (), positional_message("ssd_matrix", 3, 2)),
        ],
    )
    def test_names_tuple_of_a_vector_call(self, difference_module, positional, keyword_names,
                                          message):
        function = difference_module.ssd_matrix
        values = [None] * len(keyword_names)
        error = call_failure(vector_call, function, positional, keyword_names, values)
        assert type(error) is TypeError
        assert str(error) == message
        assert reported_line(error, function) == SSD_LINES["binding"]

    @pytest.mark.parametrize("keywords", [{1: 2}, {"bogus": 1, 1: 2}], ids=["int", "after-str"])
    def test_classic_call_refuses_non_string_keys_before_binding(self, difference_module,
                                                                   keywords):
        error = call_failure(classic_call, difference_module.ssd_matrix, (None, None), keywords)
        assert type(error) is TypeError
        assert str(error) == "keywords must be strings"
        assert compiled_entries(error) == []

    @pytest.mark.parametrize(
        "call",
        [
            pytest.param(lambda f, a: f(a["flat1"], a["flat2"], num_threads=a["num_threads"]),
                         id="last-by-keyword"),
            pytest.param(lambda f, a: f(a["flat1"], flat2=a["flat2"],
                                        num_threads=a["num_threads"]), id="two-by-keyword"),
            pytest.param(lambda f, a: f(a["flat1"], num_threads=a["num_threads"],
                                        flat2=a["flat2"]), id="two-by-keyword-swapped"),
            *(
                pytest.param(lambda f, a, order=order: f(**{name: a[name] for name in order}),
                             id="all-by-keyword-" + "-".join(order))
                for order in itertools.permutations(["flat1", "flat2", "num_threads"])
            ),
            # Names equal in text to the parameter names but not the same objects.
            pytest.param(lambda f, a: f(a["flat1"], a["flat2"],
                                        **{"".join(["num_", "threads"]): a["num_threads"]}),
                         id="str-made-at-run-time"),
            pytest.param(lambda f, a: f(a["flat1"], **{Name("num_threads"): a["num_threads"],
                                                       Name("flat2"): a["flat2"]}),
                         id="str-subclass"),
            pytest.param(lambda f, a: classic_call(f, a.values(), None), id="classic-no-dict"),
            pytest.param(lambda f, a: classic_call(f, a.values(), {}), id="classic-empty-dict"),
            pytest.param(lambda f, a: classic_call(f, [a["flat1"]],
                                                   {"num_threads": a["num_threads"],
                                                    "flat2": a["flat2"]}),
                         id="classic-keywords"),
            pytest.param(lambda f, a: vector_call(f, [a["flat1"], a["flat2"]], ["num_threads"],
                                                  [a["num_threads"]], offset_flag=True),
                         id="vector-call-offset-flag"),
        ],
    )
    def test_every_way_of_binding_gives_the_positional_result(self, difference_module, call):
        function = difference_module.ssd_matrix
        arguments = ssd_arguments()
        expected = function(*arguments.values())
        assert expected.shape == (2, 3)
        assert_same_result(call(function, arguments), expected)

    @pytest.mark.parametrize("parameter", list(SSIM_LINES)[1:])
    def test_each_keyword_reaches_its_own_parameter(self, structure_module, parameter):
        # All six by keyword, in reverse order; the one bad value shows which
        # parameter it was bound to.
        bad = {"c1": "x", "c2": "x", "num_threads": "x"}.get(parameter, NOT_A_BUFFER)
        arguments = {**ssim_arguments(), parameter: bad}
        function = structure_module.ssim_plane_sums
        error = call_failure(function, **dict(reversed(arguments.items())))
        assert type(error) is TypeError
        assert reported_line(error, function) == SSIM_LINES[parameter]

    def test_failing_comparison_of_a_keyword_name_propagates(self, difference_module):
        function = difference_module.ssd_matrix
        error = call_failure(function, None, None, **{UncomparableName("num_threads"): 1})
        assert type(error) is LookupError
        assert str(error) == "no comparison for this name"
        assert reported_line(error, function) == SSD_LINES["binding"]


class Holder:
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r})"


class RealNumber(Holder):
    """Not a float, but convertible to one through __float__."""

    def __float__(self):
        return self.value


class Index(Holder):
    """An integer through __index__ only (no __int__)."""

    def __index__(self):
        return self.value


class Integral(Holder):
    """An integer through __int__, which returns whatever it was given."""

    def __int__(self):
        return self.value


class Raising:
    """Conversion to float and to int fails with an exception of its own."""

    def __float__(self):
        raise ArithmeticError("no number here")

    __int__ = __float__

    def __repr__(self):
        return "Raising()"


def raised_by_conversion(error):
    """Whether `error` comes from Raising, with the traceback it was raised with."""
    innermost = error.__traceback__
    while innermost.tb_next is not None:
        innermost = innermost.tb_next
    return (type(error), str(error), innermost.tb_frame.f_code) == (
        ArithmeticError, "no number here", Raising.__float__.__code__)


class IntSubclass(int):
    pass


class TestFloatConversion:
    @pytest.mark.parametrize(
        "value, same_as",
        [
            (np.float64(0.01), 0.01),  # a float subclass
            (RealNumber(0.01), 0.01),
            (np.float32(0.01), 0.01),
            (Index(2), 2.0),
            (2, 2.0),
            # Beyond the float32 range: an infinity, not an error.
            (1e39, float("inf")),
            (-1e39, float("-inf")),
            # -1.0 is a value like any other.
            (-1.0, -1.0),
            (RealNumber(-1.0), -1.0),
            (-1, -1.0),
        ],
        ids=repr,
    )
    @pytest.mark.parametrize("parameter", ["c1", "c2"])
    def test_accepted_values(self, structure_module, parameter, value, same_as):
        function = structure_module.ssim_plane_sums
        arguments = ssim_arguments()
        expected = function(**{**arguments, parameter: same_as})
        assert_same_result(function(**{**arguments, parameter: value}), expected)

    @pytest.mark.parametrize(
        "value, error_type, message",
        [
            ("0.5", TypeError, "must be real number, not str"),
            (None, TypeError, "must be real number, not NoneType"),
            (10**400, OverflowError, "int too large to convert to float"),
            (RealNumber(1), TypeError, "RealNumber.__float__ returned non-float (type int)"),
        ],
        ids=repr,
    )
    @pytest.mark.parametrize("parameter", ["c1", "c2"])
    def test_refused_values(self, structure_module, parameter, value, error_type, message):
        function = structure_module.ssim_plane_sums
        error = call_failure(function, **{**ssim_arguments(), parameter: value})
        assert type(error) is error_type
        assert str(error) == message
        assert reported_line(error, function) == SSIM_LINES[parameter]

    def test_exception_of_float_conversion_propagates(self, structure_module):
        function = structure_module.ssim_plane_sums
        error = call_failure(function, **{**ssim_arguments(), "c2": Raising()})
        assert raised_by_conversion(error)
        assert reported_line(error, function) == SSIM_LINES["c2"]


class RecordingNumpy:
    """Stands in for a module's `np` and notes the shape of every `empty` call."""

    def __init__(self):
        self.empty_shapes = []

    def __getattr__(self, name):
        return getattr(np, name)

    def empty(self, shape, **keywords):
        self.empty_shapes.append(shape)
        return np.empty(shape, **keywords)


class TestIntegerConversion:
    @pytest.mark.parametrize(
        "value, converted",
        [
            (-1, -1),
            (False, 0),
            (-2.9, -2),
            (IntSubclass(-3), -3),
            (np.int64(-7), -7),
            (Integral(-5), -5),
            (Integral(-1), -1),
            (-(2**31), -(2**31)),
        ],
        ids=repr,
    )
    def test_value_read_back_from_the_team_size_check(self, difference_module, value,
                                                     converted):
        # ssd_matrix refuses a team size below 1 and names the converted value.
        function = difference_module.ssd_matrix
        error = call_failure(function, None, None, value)
        assert type(error) is ValueError
        assert str(error) == f"num_threads must be positive, got {converted}."
        assert reported_line(error, function) == 49

    @pytest.mark.parametrize("value, converted", [(2.9, 2), (True, 1), (Integral(3), 3)],
                             ids=repr)
    def test_value_read_back_from_the_scratch_shape(self, structure_module, monkeypatch, value,
                                                    converted):
        # The per-thread scratch rows are allocated with num_threads as their first extent.
        recorder = RecordingNumpy()
        monkeypatch.setattr(structure_module, "np", recorder)
        structure_module.ssim_plane_sums(**{**ssim_arguments(), "num_threads": value})
        prod_shape, vrow_shape = recorder.empty_shapes[3:5]
        assert (prod_shape[0], vrow_shape[0]) == (converted, converted)

    def test_largest_team_size_is_accepted(self, difference_module):
        # The empty problem returns before any thread team is made.
        result = difference_module.ssd_matrix(None, None, 2**31 - 1)
        assert result.shape == (0, 0)

    @pytest.mark.parametrize(
        "value, error_type, message",
        [
            ("4", TypeError, "an integer is required"),
            (None, TypeError, "an integer is required"),
            (Index(3), TypeError, "an integer is required"),
            (2**31, OverflowError, "value too large to convert to int"),
            (-(2**31) - 1, OverflowError, "value too large to convert to int"),
            (Integral(2**40), OverflowError, "value too large to convert to int"),
            (2**63, OverflowError, "Python int too large to convert to C long"),
            (2**70, OverflowError, "Python int too large to convert to C long"),
            (-(2**70), OverflowError, "Python int too large to convert to C long"),
            (float("inf"), OverflowError, "cannot convert float infinity to integer"),
            (float("nan"), ValueError, "cannot convert float NaN to integer"),
            (Integral(2.5), TypeError, "__int__ returned non-int (type float)"),
            (Integral("3"), TypeError, "__int__ returned non-int (type str)"),
        ],
        ids=repr,
    )
    @pytest.mark.parametrize("name", ["ssim_plane_sums", "ssd_matrix"])
    def test_refused_values(self, functions, name, value, error_type, message):
        function = functions[name]
        error = call_failure(function, **{**ARGUMENTS[name](), "num_threads": value})
        assert type(error) is error_type
        assert str(error) == message
        assert reported_line(error, function) == LINES[name]["num_threads"]

    @pytest.mark.parametrize("name", ["ssim_plane_sums", "ssd_matrix"])
    def test_exception_of_int_conversion_propagates(self, functions, name):
        function = functions[name]
        error = call_failure(function, **{**ARGUMENTS[name](), "num_threads": Raising()})
        assert raised_by_conversion(error)
        assert reported_line(error, function) == LINES[name]["num_threads"]

    STRICT_SUBCLASS_WARNING = (
        "__int__ returned non-int (type IntSubclass).  The ability to return an instance of "
        "a strict subclass of int is deprecated, and may be removed in a future version of "
        "Python."
    )

    def test_strict_int_subclass_from_int_warns_and_is_used(self, difference_module):
        function = difference_module.ssd_matrix
        with pytest.warns(DeprecationWarning) as caught:
            error = call_failure(function, None, None, Integral(IntSubclass(-4)))
        assert [str(warning.message) for warning in caught] == [self.STRICT_SUBCLASS_WARNING]
        assert str(error) == "num_threads must be positive, got -4."

    @pytest.mark.parametrize("name", ["ssim_plane_sums", "ssd_matrix"])
    def test_strict_int_subclass_from_int_fails_when_warnings_are_errors(self, functions, name):
        function = functions[name]
        arguments = {**ARGUMENTS[name](), "num_threads": Integral(IntSubclass(1))}
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            error = call_failure(function, **arguments)
        assert type(error) is DeprecationWarning
        assert str(error) == self.STRICT_SUBCLASS_WARNING
        assert reported_line(error, function) == LINES[name]["num_threads"]


class TestFailureOrder:
    BAD = {"c1": "x", "c2": 10**400, "num_threads": None}

    @pytest.mark.parametrize(
        "name, bad_parameters, reported",
        [
            ("ssim_plane_sums", ["planes1", "c1"], "planes1"),
            ("ssim_plane_sums", ["planes2", "kernel", "num_threads"], "planes2"),
            ("ssim_plane_sums", ["kernel", "c2"], "kernel"),
            ("ssim_plane_sums", ["c1", "c2", "num_threads"], "c1"),
            ("ssim_plane_sums", ["c2", "num_threads"], "c2"),
            ("ssd_matrix", ["flat1", "flat2", "num_threads"], "flat1"),
            ("ssd_matrix", ["flat2", "num_threads"], "flat2"),
        ],
    )
    def test_earliest_parameter_is_reported(self, functions, name, bad_parameters, reported):
        function = functions[name]
        arguments = ARGUMENTS[name]()
        for parameter in bad_parameters:
            arguments[parameter] = self.BAD.get(parameter, NOT_A_BUFFER)
        # Given by keyword in reverse order: conversion follows the parameters.
        error = call_failure(function, **dict(reversed(arguments.items())))
        assert reported_line(error, function) == LINES[name][reported]
        expected = call_failure(function, **{**ARGUMENTS[name](),
                                             reported: arguments[reported]})
        assert (type(error), str(error)) == (type(expected), str(expected))

    def test_binding_comes_before_conversion(self, structure_module):
        function = structure_module.ssim_plane_sums
        error = call_failure(function, NOT_A_BUFFER, None, None, "x", "x")
        assert str(error) == positional_message("ssim_plane_sums", 6, 5)
        assert reported_line(error, function) == SSIM_LINES["binding"]

    def test_conversion_comes_before_the_body_checks(self, difference_module):
        function = difference_module.ssd_matrix
        error = call_failure(function, np.zeros((2, 3), np.uint8), np.zeros((2, 4), np.uint8), "x")
        assert reported_line(error, function) == SSD_LINES["num_threads"]
        error = call_failure(function, np.zeros((2, 3), np.uint8), np.zeros((2, 4), np.uint8), 1)
        assert type(error) is ValueError
        assert str(error) == "Batches must share the pixel count, got 3 and 4."
        assert reported_line(error, function) == 44


# The format and shape of a buffer each array parameter accepts.
EXPORTED = {
    "planes1": ("f", (1, 3, 3)),
    "planes2": ("f", (1, 3, 3)),
    "kernel": ("f", (3,)),
    "flat1": ("B", (2, 3)),
    "flat2": ("B", (2, 3)),
}


def exporter(parameter):
    """A buffer for `parameter` that can be released only while nobody holds a view of it."""
    format, shape = EXPORTED[parameter]
    size = struct.calcsize(format) * math.prod(shape)
    return memoryview(bytearray(size)).cast(format, shape)


def fresh_arguments(name):
    """Valid arguments whose scalars are objects of their own, so that nothing
    but the call under test moves their reference counts."""
    arguments = ARGUMENTS[name]()
    for parameter in ("c1", "c2", "num_threads"):
        if parameter in arguments:
            arguments[parameter] = float(str(arguments[parameter]))
    return arguments


def bind_as(arguments, binding):
    """(args, kwargs) passing `arguments` in the way `binding` names."""
    names, values = list(arguments), list(arguments.values())
    return {
        "positional": (values, {}),
        "keywords": (values[:-2], dict(zip(names[-2:], values[-2:]))),
        "missing": (values[:-2], {names[-1]: values[-1]}),
        "unexpected": (values, {"bogus": values[0]}),
        "repeated": (values, {names[0]: values[0]}),
        "uncomparable": (values[:-1], {UncomparableName(names[-1]): values[-1]}),
    }[binding]


class TestFailingCallGivesBack:
    @pytest.mark.parametrize(
        "name, failing, bad",
        [
            ("ssim_plane_sums", "planes2", NOT_A_BUFFER),
            ("ssim_plane_sums", "kernel", NOT_A_BUFFER),
            ("ssim_plane_sums", "c1", "x"),
            ("ssim_plane_sums", "c2", "x"),
            ("ssim_plane_sums", "num_threads", "x"),
            ("ssd_matrix", "flat2", NOT_A_BUFFER),
            ("ssd_matrix", "num_threads", 2**31),
        ],
    )
    def test_views_taken_before_a_failing_conversion_are_released(self, functions, name,
                                                                  failing, bad):
        function = functions[name]
        arguments = {**ARGUMENTS[name](), failing: bad}
        order = list(arguments)
        exporters = {parameter: exporter(parameter)
                     for parameter in order[: order.index(failing)] if parameter in EXPORTED}
        arguments.update(exporters)
        error = call_failure(function, *arguments.values())
        assert reported_line(error, function) == LINES[name][failing]
        for view in exporters.values():
            view.release()  # BufferError while a view of it is still held

    @pytest.mark.parametrize(
        "name, changes, binding",
        [
            ("ssim_plane_sums", {}, "positional"),
            ("ssim_plane_sums", {}, "keywords"),
            ("ssim_plane_sums", {}, "missing"),
            ("ssim_plane_sums", {}, "unexpected"),
            ("ssim_plane_sums", {}, "repeated"),
            ("ssim_plane_sums", {}, "uncomparable"),
            ("ssim_plane_sums", {"planes2": NOT_A_BUFFER}, "positional"),
            ("ssim_plane_sums", {"kernel": np.ones(3, np.float64)}, "keywords"),
            ("ssim_plane_sums", {"c1": "x"}, "positional"),
            ("ssim_plane_sums", {"c2": Raising()}, "keywords"),
            ("ssim_plane_sums", {"num_threads": Integral(2.5)}, "positional"),
            ("ssim_plane_sums", {"num_threads": Raising()}, "keywords"),
            ("ssim_plane_sums", {"num_threads": int(str(2**31))}, "positional"),
            ("ssim_plane_sums", {"kernel": np.ones(9, np.float32)}, "positional"),  # window check
            ("ssd_matrix", {}, "positional"),
            ("ssd_matrix", {}, "keywords"),
            ("ssd_matrix", {}, "unexpected"),
            ("ssd_matrix", {"flat2": np.zeros((3, 5), np.uint8)}, "keywords"),  # pixel count
            ("ssd_matrix", {"num_threads": float(str(0.0))}, "positional"),  # team size
            ("ssd_matrix", {"num_threads": "x"}, "keywords"),
        ],
    )
    def test_arguments_keep_their_reference_counts(self, functions, name, changes, binding):
        function = functions[name]
        args, kwargs = bind_as({**fresh_arguments(name), **changes}, binding)
        tracked = [*args, *kwargs.values(), *(key for key in kwargs if type(key) is not str)]
        before = [sys.getrefcount(value) for value in tracked]
        for _ in range(2000):
            try:
                function(*args, **kwargs)
            except Exception:
                pass
        assert [sys.getrefcount(value) for value in tracked] == before
