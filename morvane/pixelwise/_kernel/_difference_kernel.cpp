// The difference-kernel module: `ssd_matrix`, the exact N x M matrix of
// summed squared differences between two batches of 8-bit images.
//
// This file is the interpreter boundary of the module: argument binding and
// checks, NumPy allocation and the module's identity. The parallel loop is in
// block_loop.cpp, the pixel kernels in kernels/.

#include <Python.h>

#include <cstdint>

#include "../../extension_frame/interpreter/call_binding.hpp"
#include "../../extension_frame/interpreter/conversions.hpp"
#include "../../extension_frame/interpreter/module_definition.hpp"
#include "../../extension_frame/interpreter/numpy_calls.hpp"
#include "../../extension_frame/interpreter/object_ref.hpp"
#include "../../extension_frame/interpreter/typed_view.hpp"
#include "../../extension_frame/interpreter/value_error.hpp"
#include "../../extension_frame/parallel/interpreter_lock.hpp"
#include "block_loop.hpp"
#include "kernels/block_ssd.hpp"

namespace morvane::pixelwise {
namespace {

// Source lines that traceback entries name, one per failing step.
enum source_line : int {
    line_all = 14,
    line_numpy_import = 10,
    line_binding = 22,
    line_flat1 = 23,
    line_flat2 = 24,
    line_num_threads = 25,
    line_pixel_count_check = 44,
    line_pixel_count_message = 45,
    line_team_size_check = 49,
    line_empty_problem = 51,
    line_partials_allocation = 55,
    line_partials_view = 56,
    line_reduction = 76,
};

interned_name flat1_name("flat1");
interned_name flat2_name("flat2");
interned_name num_threads_name("num_threads");
interned_name* const parameters[] = {&flat1_name, &flat2_name, &num_threads_name};

struct ssd_matrix_arguments {
    bound_arguments<3> bound;
    typed_view flat1;
    typed_view flat2;
    std::int32_t num_threads = 0;

    ~ssd_matrix_arguments() { release(); }

    int bind_and_convert(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

    void release() noexcept {
        bound.clear();
        flat1.release();
        flat2.release();
    }
};

PyObject* ssd_matrix(const ssd_matrix_arguments& arguments) noexcept;

constexpr char docstring[] =
    "ssd_matrix(flat1, flat2, num_threads)\n--\n\n"
    "\n"
    "    Compute the pairwise summed-squared-difference matrix of two batches.\n"
    "\n"
    "    :param flat1: First batch flattened to a C-contiguous ``(N, P)``\n"
    "        ``uint8`` array.\n"
    "    :param flat2: Second batch flattened to a C-contiguous ``(M, P)``\n"
    "        ``uint8`` array.\n"
    "    :param num_threads: OpenMP team size used for the block loop.\n"
    "    :return: The ``(N, M)`` ``int64`` matrix of summed squared pixel\n"
    "        differences.\n"
    "    :raises ValueError: If the batches differ in pixel count or\n"
    "        ``num_threads`` is not positive.\n"
    "    ";

const module_identity identity{
    "morvane.pixelwise._kernel._difference_kernel",
    "_difference_kernel",
    "\nCompiled kernel for the pixel-wise PSNR metric.",
    "morvane/pixelwise/_kernel/_difference_kernel.cpp",
    line_numpy_import,
    line_all,
    function_identity{"ssd_matrix", docstring,
                      vector_call_entry<ssd_matrix_arguments, ssd_matrix>, parameters, 3,
                      line_binding},
    parameters,
    3,
};

int ssd_matrix_arguments::bind_and_convert(PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) noexcept {
    if (bind_arguments(identity.function, args, nargs, kwnames, bound.slots()) < 0) {
        return line_binding;
    }
    if (flat1.acquire(bound[0], const_unsigned_char_element, 2, view_access::read_only) < 0) {
        return line_flat1;
    }
    if (flat2.acquire(bound[1], const_unsigned_char_element, 2, view_access::read_only) < 0) {
        return line_flat2;
    }
    if (convert_int32(bound[2], num_threads) < 0) {
        return line_num_threads;
    }
    return 0;
}

// The partial sums number N * M * blocks; an overflowing count would make an
// undersized array that the loop writes past.
bool work_count_fits(std::int64_t count1, std::int64_t count2, std::int64_t blocks) noexcept {
    std::int64_t pairs, work_count;
    return !__builtin_mul_overflow(count1, count2, &pairs) &&
           !__builtin_mul_overflow(pairs, blocks, &work_count);
}

PyObject* ssd_matrix(const ssd_matrix_arguments& arguments) noexcept {
    const typed_view& flat1 = arguments.flat1;
    const typed_view& flat2 = arguments.flat2;
    const std::int32_t num_threads = arguments.num_threads;

    if (flat1.shape[1] != flat2.shape[1]) {
        object_ref message(
            PyUnicode_FromFormat("Batches must share the pixel count, got %lld and %lld.",
                                 static_cast<long long>(flat1.shape[1]),
                                 static_cast<long long>(flat2.shape[1])));
        if (!message) {
            return function_failure(line_pixel_count_message);
        }
        raise_value_error(message.get());
        return function_failure(line_pixel_count_check);
    }
    if (num_threads < 1) {
        object_ref message(
            PyUnicode_FromFormat("num_threads must be positive, got %d.", num_threads));
        if (message) {
            raise_value_error(message.get());
        }
        return function_failure(line_team_size_check);
    }
    const std::int64_t count1 = flat1.shape[0];
    const std::int64_t count2 = flat2.shape[0];
    const std::int64_t pixels = flat1.shape[1];

    if (count1 == 0 || count2 == 0 || pixels == 0) {
        object_ref shape(Py_BuildValue("(LL)", static_cast<long long>(count1),
                                       static_cast<long long>(count2)));
        PyObject* zeros = shape ? numpy::zeros(shape.get(), numpy::dtype::int64) : nullptr;
        return zeros != nullptr ? zeros : function_failure(line_empty_problem);
    }

    const std::int64_t blocks = (pixels + block_pixels - 1) / block_pixels;
    if (!work_count_fits(count1, count2, blocks)) {
        PyErr_Format(PyExc_OverflowError,
                     "The difference matrix of %lld x %lld images of %lld pixels is too "
                     "large: %lld x %lld x %lld block sums overflow a 64-bit count.",
                     static_cast<long long>(count1), static_cast<long long>(count2),
                     static_cast<long long>(pixels), static_cast<long long>(count1),
                     static_cast<long long>(count2), static_cast<long long>(blocks));
        return function_failure(line_partials_allocation);
    }
    const std::int64_t work_items = count1 * count2;

    // Released in this order on every exit: the array reference, then its view.
    typed_view partials;
    object_ref partials_arr;
    {
        object_ref shape(Py_BuildValue("(LL)", static_cast<long long>(work_items),
                                       static_cast<long long>(blocks)));
        if (!shape) {
            return function_failure(line_partials_allocation);
        }
        partials_arr.reset(numpy::empty(shape.get(), numpy::dtype::int64));
        if (!partials_arr) {
            return function_failure(line_partials_allocation);
        }
    }
    if (partials.acquire(partials_arr.get(), long_long_element, 2, view_access::writable) < 0 ||
        check_allocated_extents(partials, {work_items, blocks}) < 0) {
        return function_failure(line_partials_view);
    }

    {
        interpreter_lock_released unlocked;
        const block_loop_inputs inputs{flat1, flat2, count1, count2, pixels, blocks, partials};
        run_block_loop(inputs, num_threads);
    }

    PyObject* matrix = numpy::sum_and_reshape(partials_arr.get(), 1, count1, count2);
    return matrix != nullptr ? matrix : function_failure(line_reduction);
}

}  // namespace
}  // namespace morvane::pixelwise

PyMODINIT_FUNC PyInit__difference_kernel() {
    return morvane::module_init(morvane::pixelwise::identity);
}
