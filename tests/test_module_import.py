"""What an importer sees of the two extension modules: namespace, function
objects, re-import and reload, and how an import fails."""

import importlib
import inspect
import shutil
import subprocess
import sys

import numpy
import pytest

from conftest import DIFFERENCE, STRUCTURE, run_python

SSIM_PLANE_SUMS_DOC = "\n".join(
    [
        "",
        "    Reduce the SSIM component maps of aligned image planes to per-plane sums.",
        "",
        "    For every plane pair the five local moments are estimated under the",
        '    separable window ``kernel x kernel`` in "valid" mode, the luminance and',
        "    contrast-structure values are formed per output pixel, and their products",
        "    and the contrast-structure values are summed over the whole map. Dividing",
        "    the sums by ``(H - k + 1) * (W - k + 1)`` yields the map means used by",
        "    SSIM (``luminance * contrast_structure``) and MS-SSIM",
        "    (``contrast_structure`` at intermediate scales).",
        "",
        "    :param planes1: ``(N, H, W)`` C-contiguous ``float32`` image planes.",
        "    :param planes2: ``(N, H, W)`` planes aligned with ``planes1``.",
        "    :param kernel: One-dimensional, symmetric window kernel of length ``k``.",
        "    :param c1: Luminance stabilization constant ``(k1 * L) ** 2``.",
        "    :param c2: Contrast stabilization constant ``(k2 * L) ** 2``.",
        "    :return: A ``(sum_l_cs, sum_cs)`` tuple of ``(N,)`` ``float64`` arrays",
        "        holding the map sums of ``luminance * contrast_structure`` and of",
        "        ``contrast_structure``.",
        "    :raises ValueError: If the plane batches differ in shape or a plane is",
        "        smaller than the window.",
        "    ",
    ]
)

SSD_MATRIX_DOC = "\n".join(
    [
        "",
        "    Compute the pairwise summed-squared-difference matrix of two batches.",
        "",
        "    :param flat1: First batch flattened to a C-contiguous ``(N, P)``",
        "        ``uint8`` array.",
        "    :param flat2: Second batch flattened to a C-contiguous ``(M, P)``",
        "        ``uint8`` array.",
        "    :param num_threads: OpenMP team size used for the block loop.",
        "    :return: The ``(N, M)`` ``int64`` matrix of summed squared pixel",
        "        differences.",
        "    :raises ValueError: If the batches differ in pixel count or",
        "        ``num_threads`` is not positive.",
        "    ",
    ]
)


class Identity:
    def __init__(self, full_name, doc, function, parameters, doc_of_function, numpy_line):
        self.full_name = full_name
        self.short_name = full_name.rpartition(".")[2]
        self.package = full_name.rpartition(".")[0]
        self.doc = doc
        self.function = function
        self.parameters = parameters
        self.doc_of_function = doc_of_function
        self.source_path = full_name.replace(".", "/") + ".cpp"
        self.numpy_line = numpy_line

    def __repr__(self):
        return self.short_name


STRUCTURE_IDENTITY = Identity(
    STRUCTURE,
    "Compiled kernels for the structural similarity metrics.",
    "ssim_plane_sums",
    ("planes1", "planes2", "kernel", "c1", "c2", "num_threads"),
    SSIM_PLANE_SUMS_DOC,
    numpy_line=9,
)
DIFFERENCE_IDENTITY = Identity(
    DIFFERENCE,
    "\nCompiled kernel for the pixel-wise PSNR metric.",
    "ssd_matrix",
    ("flat1", "flat2", "num_threads"),
    SSD_MATRIX_DOC,
    numpy_line=10,
)
IDENTITIES = [STRUCTURE_IDENTITY, DIFFERENCE_IDENTITY]

# Loads an extension module straight from its library, under any spec name,
# without going through the packages above it.
LOAD_BY_LOCATION = """
import importlib.util

def load_by_location(name, path, **spec_options):
    spec = importlib.util.spec_from_file_location(name, path, **spec_options)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
"""


@pytest.fixture(params=IDENTITIES, ids=repr)
def identity(request):
    return request.param


@pytest.fixture
def module(identity):
    return importlib.import_module(identity.full_name)


@pytest.fixture
def restore_module_table(identity):
    """Puts the module's sys.modules entry back after a test that takes it out."""
    saved = sys.modules[identity.full_name]
    yield
    sys.modules[identity.full_name] = saved


class TestNamespace:
    def test_module_docstring(self, identity, module):
        assert module.__doc__ == identity.doc

    def test_entries_come_from_the_import_spec(self, identity, module):
        spec = module.__spec__
        assert spec.name == identity.full_name
        assert module.__name__ == spec.name
        assert module.__loader__ is spec.loader
        assert module.__file__ == spec.origin
        assert module.__package__ == spec.parent == identity.package
        assert not hasattr(module, "__path__")

    def test_np_is_the_numpy_already_imported(self, module):
        assert module.np is sys.modules["numpy"] is numpy

    @pytest.mark.parametrize(
        "identity, expected",
        [(STRUCTURE_IDENTITY, None), (DIFFERENCE_IDENTITY, ["ssd_matrix"])],
        ids=repr,
    )
    def test_all_on_the_difference_kernel_only(self, module, expected):
        all_names = getattr(module, "__all__", None)
        assert all_names == expected
        assert type(all_names) is type(expected)

    @pytest.mark.parametrize(
        "identity, names",
        [(STRUCTURE_IDENTITY, {"np", "ssim_plane_sums"}), (DIFFERENCE_IDENTITY, {"ssd_matrix"})],
        ids=repr,
    )
    def test_star_import(self, identity, module, names):
        namespace = {}
        exec(f"from {identity.full_name} import *", namespace)
        del namespace["__builtins__"]
        assert set(namespace) == names
        assert all(namespace[name] is getattr(module, name) for name in names)


class TestFunctionObject:
    def test_attributes(self, identity, module):
        function = getattr(module, identity.function)
        assert function.__name__ == identity.function
        assert function.__qualname__ == identity.function
        assert function.__module__ == identity.full_name
        assert function.__doc__ == identity.doc_of_function

    def test_signature(self, identity, module):
        signature = inspect.signature(getattr(module, identity.function))
        assert tuple(signature.parameters) == identity.parameters
        for parameter in signature.parameters.values():
            assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
            assert parameter.default is inspect.Parameter.empty
            assert parameter.annotation is inspect.Parameter.empty
        assert signature.return_annotation is inspect.Signature.empty


class TestImportAgain:
    def test_after_removal_from_the_module_table(self, identity, module, restore_module_table):
        function, np_binding = getattr(module, identity.function), module.np
        del sys.modules[identity.full_name]
        again = importlib.import_module(identity.full_name)
        assert again is module
        assert getattr(again, identity.function) is function
        assert again.np is np_binding

    def test_reload_keeps_what_the_execute_step_bound(self, identity, module):
        bound = {name: getattr(module, name) for name in ("np", identity.function)}
        all_names = getattr(module, "__all__", None)
        assert importlib.reload(module) is module
        # Identity, not equality: running the execute step again would make
        # a new function object and a new __all__ list.
        assert all(getattr(module, name) is value for name, value in bound.items())
        assert getattr(module, "__all__", None) is all_names


@pytest.mark.parametrize(
    "identity, spec_options, package, path_entry",
    [
        (DIFFERENCE_IDENTITY, {}, "elsewhere", None),
        # A spec with search locations describes a package: its own parent.
        (
            STRUCTURE_IDENTITY,
            {"submodule_search_locations": ["somewhere"]},
            "elsewhere._structure_kernels",
            ["somewhere"],
        ),
    ],
    ids=repr,
)
def test_loaded_under_a_spec_of_another_package(
    identity, module, spec_options, package, path_entry
):
    # The short name must stay: the interpreter finds the init symbol by it.
    report = run_python(
        LOAD_BY_LOCATION
        + f"""
import sys
module = load_by_location(
    "elsewhere.{identity.short_name}", {module.__file__!r}, **{spec_options!r}
)
function = getattr(module, {identity.function!r})
print(repr((module.__name__, module.__package__, module.__file__,
            getattr(module, "__path__", None), function.__module__,
            sys.modules[{identity.full_name!r}] is module)))
"""
    )
    assert eval(report) == (
        f"elsewhere.{identity.short_name}",
        package,
        module.__file__,
        path_entry,
        identity.full_name,
        True,
    )


def test_second_interpreter_is_refused(identity, module):
    report = run_python(
        f"""
import os
import _xxsubinterpreters as interpreters
import {identity.full_name} as module

# The subinterpreter loads the library by its location, so that no package
# __init__ runs there, and writes what it saw into a pipe.
reader, writer = os.pipe()
interpreter = interpreters.create()
interpreters.run_string(interpreter, '''
import importlib.util, os
spec = importlib.util.spec_from_file_location(name, path)
try:
    importlib.util.module_from_spec(spec)
    seen = "imported"
except BaseException as error:
    seen = type(error).__name__ + ": " + str(error)
os.write(writer, seen.encode())
os.close(writer)
''', shared={{"name": module.__name__, "path": module.__file__, "writer": writer}})
interpreters.destroy(interpreter)
print(os.read(reader, 1000).decode())
import importlib
print(importlib.import_module({identity.full_name!r}) is module)
"""
    )
    assert report.splitlines() == [
        "ImportError: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process.",
        "True",
    ]


def test_failed_execute_step_and_the_next_import(identity, module):
    report = run_python(
        LOAD_BY_LOCATION
        + f"""
import importlib, sys
from conftest import compiled_entries

sys.modules["numpy"] = None
try:
    load_by_location({identity.full_name!r}, {module.__file__!r})
except ImportError as error:
    print(repr((type(error).__name__, str(error), compiled_entries(error))))
print({identity.full_name!r} in sys.modules)

del sys.modules["numpy"]
import numpy
module = importlib.import_module({identity.full_name!r})
print(module.np is numpy, hasattr(module, {identity.function!r}))
"""
    )
    failure, left_in_table, retry = report.splitlines()
    assert eval(failure) == (
        "ModuleNotFoundError",
        "import of numpy halted; None in sys.modules",
        [(f"init {identity.full_name}", identity.source_path, identity.numpy_line)],
    )
    assert left_in_table == "False"
    assert retry == "True True"


def test_execute_step_of_a_second_module_object(identity, module):
    # Two module objects created before either is executed: the first to run
    # its execute step becomes the module; the other one is refused and
    # leaves the module table alone.
    report = run_python(
        f"""
import importlib.util, sys
from conftest import compiled_entries

spec = importlib.util.spec_from_file_location({identity.full_name!r}, {module.__file__!r})
first = importlib.util.module_from_spec(spec)
second = importlib.util.module_from_spec(spec)
spec.loader.exec_module(first)
try:
    spec.loader.exec_module(second)
except RuntimeError as error:
    print(repr((str(error), compiled_entries(error))))
print(sys.modules[{identity.full_name!r}] is first, hasattr(second, "np"))
"""
    )
    refusal, table = report.splitlines()
    assert eval(refusal) == (
        f"Module '{identity.short_name}' has already been imported. "
        "Re-initialisation is not supported.",
        [],
    )
    assert table == "True False"


@pytest.mark.parametrize("module_name", [STRUCTURE, DIFFERENCE])
def test_library_exports_its_init_function_only(module_name):
    # Both libraries carry their own copy of the frame's process-wide state;
    # an exported symbol could bind one library's references to the other's.
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    path = importlib.import_module(module_name).__file__
    listing = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True,
                             text=True, check=True).stdout
    exported = [line.split()[-1] for line in listing.splitlines()]
    assert exported == ["PyInit_" + module_name.rsplit(".", 1)[1]]
