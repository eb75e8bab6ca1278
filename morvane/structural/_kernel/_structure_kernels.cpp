// The structure-kernels module: `ssim_plane_sums`, per-plane sums of the SSIM
// luminance x contrast-structure and contrast-structure maps.
//
// This file is the interpreter boundary of the module: argument binding and
// checks, NumPy allocation, the plane loop with the interpreter lock released
// and the module's identity. The parallel passes are in window_passes.cpp,
// the row kernels in kernels/.

#include <Python.h>

#include <algorithm>
#include <cstdint>

#include "../../extension_frame/interpreter/call_binding.hpp"
#include "../../extension_frame/interpreter/conversions.hpp"
#include "../../extension_frame/interpreter/module_definition.hpp"
#include "../../extension_frame/interpreter/numpy_calls.hpp"
#include "../../extension_frame/interpreter/object_ref.hpp"
#include "../../extension_frame/interpreter/typed_view.hpp"
#include "../../extension_frame/interpreter/value_error.hpp"
#include "../../extension_frame/parallel/interpreter_lock.hpp"
#include "../../extension_frame/parallel/team_size.hpp"
#include "kernels/window_rows.hpp"
#include "window_passes.hpp"

namespace morvane::structural {
namespace {

// Source lines that traceback entries name, one per failing step.
enum source_line : int {
    line_numpy_import = 9,
    line_binding = 14,
    line_planes1 = 15,
    line_planes2 = 16,
    line_kernel = 17,
    line_c1 = 18,
    line_c2 = 19,
    line_num_threads = 20,
    line_shape_check = 53,
    line_shape_message = 54,
    line_window_check = 59,
    line_window_message = 60,
    line_sum_l_cs_arr = 66,
    line_sum_cs_arr = 67,
    line_hsum_arr = 71,
    line_prod_arr = 72,
    line_vrow_arr = 73,
    line_row_l_cs_arr = 74,
    line_row_cs_arr = 75,
    line_sum_l_cs = 77,
    line_sum_cs = 78,
    line_hsum = 79,
    line_prod = 80,
    line_vrow = 81,
    line_row_l_cs = 82,
    line_row_cs = 83,
    line_result = 168,
};

interned_name planes1_name("planes1");
interned_name planes2_name("planes2");
interned_name kernel_name("kernel");
interned_name c1_name("c1");
interned_name c2_name("c2");
interned_name num_threads_name("num_threads");
interned_name* const parameters[] = {&planes1_name, &planes2_name, &kernel_name,
                                     &c1_name,      &c2_name,      &num_threads_name};

struct ssim_plane_sums_arguments {
    bound_arguments<6> bound;
    typed_view planes1;
    typed_view planes2;
    typed_view kernel;
    float c1 = 0.0f;
    float c2 = 0.0f;
    std::int32_t num_threads = 0;

    ~ssim_plane_sums_arguments() { release(); }

    int bind_and_convert(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

    void release() noexcept {
        bound.clear();
        planes1.release();
        planes2.release();
        kernel.release();
    }
};

PyObject* ssim_plane_sums(const ssim_plane_sums_arguments& arguments) noexcept;

constexpr char docstring[] =
    "ssim_plane_sums(planes1, planes2, kernel, c1, c2, num_threads)\n--\n\n"
    "\n"
    "    Reduce the SSIM component maps of aligned image planes to per-plane sums.\n"
    "\n"
    "    For every plane pair the five local moments are estimated under the\n"
    "    separable window ``kernel x kernel`` in \"valid\" mode, the luminance and\n"
    "    contrast-structure values are formed per output pixel, and their products\n"
    "    and the contrast-structure values are summed over the whole map. Dividing\n"
    "    the sums by ``(H - k + 1) * (W - k + 1)`` yields the map means used by\n"
    "    SSIM (``luminance * contrast_structure``) and MS-SSIM\n"
    "    (``contrast_structure`` at intermediate scales).\n"
    "\n"
    "    :param planes1: ``(N, H, W)`` C-contiguous ``float32`` image planes.\n"
    "    :param planes2: ``(N, H, W)`` planes aligned with ``planes1``.\n"
    "    :param kernel: One-dimensional, symmetric window kernel of length ``k``.\n"
    "    :param c1: Luminance stabilization constant ``(k1 * L) ** 2``.\n"
    "    :param c2: Contrast stabilization constant ``(k2 * L) ** 2``.\n"
    "    :return: A ``(sum_l_cs, sum_cs)`` tuple of ``(N,)`` ``float64`` arrays\n"
    "        holding the map sums of ``luminance * contrast_structure`` and of\n"
    "        ``contrast_structure``.\n"
    "    :raises ValueError: If the plane batches differ in shape or a plane is\n"
    "        smaller than the window.\n"
    "    ";

const module_identity identity{
    "morvane.structural._kernel._structure_kernels",
    "_structure_kernels",
    "Compiled kernels for the structural similarity metrics.",
    "morvane/structural/_kernel/_structure_kernels.cpp",
    line_numpy_import,
    0,  // no __all__
    function_identity{"ssim_plane_sums", docstring,
                      vector_call_entry<ssim_plane_sums_arguments, ssim_plane_sums>,
                      parameters, 6, line_binding},
    parameters,
    6,
};

int ssim_plane_sums_arguments::bind_and_convert(PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames) noexcept {
    if (bind_arguments(identity.function, args, nargs, kwnames, bound.slots()) < 0) {
        return line_binding;
    }
    if (planes1.acquire(bound[0], const_float_element, 3, view_access::read_only) < 0) {
        return line_planes1;
    }
    if (planes2.acquire(bound[1], const_float_element, 3, view_access::read_only) < 0) {
        return line_planes2;
    }
    if (kernel.acquire(bound[2], const_float_element, 1, view_access::read_only) < 0) {
        return line_kernel;
    }
    if (convert_float32(bound[3], c1) < 0) {
        return line_c1;
    }
    if (convert_float32(bound[4], c2) < 0) {
        return line_c2;
    }
    if (convert_int32(bound[5], num_threads) < 0) {
        return line_num_threads;
    }
    return 0;
}

// The arrays a call makes and their views. On every exit the array
// references are dropped first, then the views released, each in the order
// the arrays were made.
struct call_arrays {
    object_ref sum_l_cs_arr, sum_cs_arr, hsum_arr, prod_arr, vrow_arr, row_l_cs_arr,
        row_cs_arr;
    typed_view sum_l_cs, sum_cs, hsum, prod, vrow, row_l_cs, row_cs;

    call_arrays() noexcept = default;
    call_arrays(const call_arrays&) = delete;
    call_arrays& operator=(const call_arrays&) = delete;
    ~call_arrays() {
        for (object_ref* array : {&sum_l_cs_arr, &sum_cs_arr, &hsum_arr, &prod_arr, &vrow_arr,
                                  &row_l_cs_arr, &row_cs_arr}) {
            array->reset();
        }
        for (typed_view* view : {&sum_l_cs, &sum_cs, &hsum, &prod, &vrow, &row_l_cs, &row_cs}) {
            view->release();
        }
    }
};

// np.empty((extent,), ...) for a Python int shape, or of a tuple of three.
int allocate(object_ref& array, numpy::dtype type, std::int64_t extent) noexcept {
    object_ref shape(PyLong_FromLongLong(extent));
    array.reset(shape ? numpy::empty(shape.get(), type) : nullptr);
    return array ? 0 : -1;
}

int allocate(object_ref& array, numpy::dtype type, std::int64_t extent0, std::int64_t extent1,
             std::int64_t extent2) noexcept {
    object_ref shape(Py_BuildValue("(LLL)", static_cast<long long>(extent0),
                                   static_cast<long long>(extent1),
                                   static_cast<long long>(extent2)));
    array.reset(shape ? numpy::empty(shape.get(), type) : nullptr);
    return array ? 0 : -1;
}

int take_view(typed_view& view, const object_ref& array, const element_type& element,
              std::initializer_list<std::int64_t> extents) noexcept {
    if (view.acquire(array.get(), element, static_cast<int>(extents.size()),
                     view_access::writable) < 0) {
        return -1;
    }
    return check_allocated_extents(view, extents);
}

PyObject* raise_shape_mismatch(const typed_view& planes1, const typed_view& planes2) noexcept {
    object_ref message(PyUnicode_FromFormat(
        "planes1 and planes2 must have the same shape, got (%lld, %lld, %lld) vs "
        "(%lld, %lld, %lld).",
        static_cast<long long>(planes1.shape[0]), static_cast<long long>(planes1.shape[1]),
        static_cast<long long>(planes1.shape[2]), static_cast<long long>(planes2.shape[0]),
        static_cast<long long>(planes2.shape[1]), static_cast<long long>(planes2.shape[2])));
    if (!message) {
        return function_failure(line_shape_message);
    }
    raise_value_error(message.get());
    return function_failure(line_shape_check);
}

PyObject* raise_window_too_large(std::int64_t height, std::int64_t width,
                                 std::int64_t taps) noexcept {
    object_ref message(PyUnicode_FromFormat(
        "Planes of size %lldx%lld are smaller than the %lldx%lld window.",
        static_cast<long long>(height), static_cast<long long>(width),
        static_cast<long long>(taps), static_cast<long long>(taps)));
    if (!message) {
        return function_failure(line_window_message);
    }
    raise_value_error(message.get());
    return function_failure(line_window_check);
}

// The team for a loop of `count` rows, never more threads than scratch rows
// (even should the runtime's default team have grown since they were made).
int team_size(std::int32_t num_threads, std::int64_t count, int scratch_rows) noexcept {
    return std::min(loop_team_size(num_threads, count), scratch_rows);
}

PyObject* ssim_plane_sums(const ssim_plane_sums_arguments& arguments) noexcept {
    const float two = 2.0f;
    const typed_view& planes1 = arguments.planes1;
    const typed_view& planes2 = arguments.planes2;
    const typed_view& kernel = arguments.kernel;
    const std::int32_t num_threads = arguments.num_threads;

    const std::int64_t n_planes = planes1.shape[0];
    const std::int64_t height = planes1.shape[1];
    const std::int64_t width = planes1.shape[2];
    const std::int64_t taps = kernel.shape[0];
    if (planes2.shape[0] != n_planes || planes2.shape[1] != height ||
        planes2.shape[2] != width) {
        return raise_shape_mismatch(planes1, planes2);
    }
    if (taps < 1 || height < taps || width < taps) {
        return raise_window_too_large(height, width, taps);
    }

    // A request of 0 asks for the runtime's default team; the per-thread
    // scratch then has a row for every thread that team can have.
    const std::int64_t scratch_rows = num_threads != 0 ? num_threads : max_team_size(0);
    call_arrays a;
    const std::int64_t out_w = width + 1 - taps;
    const std::int64_t out_h = height + 1 - taps;
    using numpy::dtype;
    if (allocate(a.sum_l_cs_arr, dtype::float64, n_planes) < 0) {
        return function_failure(line_sum_l_cs_arr);
    }
    if (allocate(a.sum_cs_arr, dtype::float64, n_planes) < 0) {
        return function_failure(line_sum_cs_arr);
    }
    if (allocate(a.hsum_arr, dtype::float32, height, 5, out_w) < 0) {
        return function_failure(line_hsum_arr);
    }
    if (allocate(a.prod_arr, dtype::float32, scratch_rows, 3, width) < 0) {
        return function_failure(line_prod_arr);
    }
    // Every call makes a per-thread row of the five moments too; the vertical
    // kernels keep a row's moments in registers and leave it untouched.
    if (allocate(a.vrow_arr, dtype::float32, scratch_rows, 5, out_w) < 0) {
        return function_failure(line_vrow_arr);
    }
    if (allocate(a.row_l_cs_arr, dtype::float64, out_h) < 0) {
        return function_failure(line_row_l_cs_arr);
    }
    if (allocate(a.row_cs_arr, dtype::float64, out_h) < 0) {
        return function_failure(line_row_cs_arr);
    }
    if (take_view(a.sum_l_cs, a.sum_l_cs_arr, double_element, {n_planes}) < 0) {
        return function_failure(line_sum_l_cs);
    }
    if (take_view(a.sum_cs, a.sum_cs_arr, double_element, {n_planes}) < 0) {
        return function_failure(line_sum_cs);
    }
    if (take_view(a.hsum, a.hsum_arr, float_element, {height, 5, out_w}) < 0) {
        return function_failure(line_hsum);
    }
    if (take_view(a.prod, a.prod_arr, float_element, {scratch_rows, 3, width}) < 0) {
        return function_failure(line_prod);
    }
    if (take_view(a.vrow, a.vrow_arr, float_element, {scratch_rows, 5, out_w}) < 0) {
        return function_failure(line_vrow);
    }
    if (take_view(a.row_l_cs, a.row_l_cs_arr, double_element, {out_h}) < 0) {
        return function_failure(line_row_l_cs);
    }
    if (take_view(a.row_cs, a.row_cs_arr, double_element, {out_h}) < 0) {
        return function_failure(line_row_cs);
    }

    {
        interpreter_lock_released unlocked;
        const window_pass_record record{planes1, planes2, kernel, a.hsum, a.prod,
                                        a.row_l_cs, a.row_cs, width, height, taps, out_w,
                                        out_h, arguments.c1, arguments.c2, two};
        const int scratch_team = static_cast<int>(scratch_rows);
        double* sum_l_cs = a.sum_l_cs.elements<double>();
        double* sum_cs = a.sum_cs.elements<double>();
        const double* row_l_cs = a.row_l_cs.elements<const double>();
        const double* row_cs = a.row_cs.elements<const double>();
        for (std::int64_t n = 0; n < n_planes; ++n) {
            window_passes(record, n, team_size(num_threads, height, scratch_team));
            double total_l_cs = 0.0;
            double total_cs = 0.0;
            for (std::int64_t r = 0; r < out_h; ++r) {
                total_l_cs = total_l_cs + row_l_cs[r];
                total_cs = total_cs + row_cs[r];
            }
            sum_l_cs[n] = total_l_cs;
            sum_cs[n] = total_cs;
        }
    }

    PyObject* result = PyTuple_Pack(2, a.sum_l_cs_arr.get(), a.sum_cs_arr.get());
    return result != nullptr ? result : function_failure(line_result);
}

}  // namespace
}  // namespace morvane::structural

PyMODINIT_FUNC PyInit__structure_kernels() {
    return morvane::module_init(morvane::structural::identity);
}
