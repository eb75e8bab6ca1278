#!/usr/bin/env bash
# Builds both extension modules with the address and undefined-behaviour
# sanitizers into a virtual environment of their own (build/sanitize/) and
# runs the whole test suite against them.
#
# Every report is fatal: the sanitized code is built not to recover, and the
# runtimes abort the process that hit the report, so a report in pytest ends
# the run and one in a child interpreter fails the test that checks its exit
# status. Exits non-zero on any report and on any failing test.
#
# Usage: scripts/sanitize.sh [PYTEST ARGUMENTS...]
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work_dir="$repo_root/build/sanitize"
venv="$work_dir/venv"

if [ ! -x "$venv/bin/python" ]; then
    python3.10 -m venv "$venv"
fi
# Config settings (-C) need a newer pip than the interpreter bundles.
"$venv/bin/pip" install --quiet --upgrade pip
"$venv/bin/pip" install --quiet meson-python meson ninja numpy
# Optimised as usual, with debug information for readable reports and the
# standard library's own checks on. The sanitizer runtimes are in the
# interpreter process (LD_PRELOAD below), so the modules may leave symbols
# undefined.
PATH="$venv/bin:$PATH" "$venv/bin/pip" install --quiet --no-build-isolation \
    -Cbuild-dir="$work_dir/meson" \
    -Csetup-args=-Dbuildtype=debugoptimized \
    -Csetup-args=-Db_sanitize=address,undefined \
    -Csetup-args=-Db_lundef=false \
    "-Csetup-args=-Dcpp_args=-fno-sanitize-recover=all -fno-omit-frame-pointer" \
    "$repo_root[test]"

# The interpreter is not instrumented: the address sanitizer's runtime must be
# loaded before anything else, and objects must come from malloc rather than
# the interpreter's own pools for their bounds to be checked. Leaks are not
# looked for (the interpreter keeps much alive until exit by design), and a
# huge request fails as NumPy's MemoryError, as it does without the sanitizer,
# instead of ending the process. Reports go straight to the process's standard
# error, which pytest leaves alone when it captures at the level of sys.stderr
# only, so the report that ends a run is shown.
sanitizer_runtime="$("${CXX:-g++}" -print-file-name=libasan.so)"
cd "$repo_root"
LD_PRELOAD="$sanitizer_runtime" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1" \
UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1" \
PYTHONMALLOC=malloc \
    exec "$venv/bin/pytest" -q -p no:cacheprovider --capture=sys "$@"
