#include "window_passes.hpp"

#include "../../extension_frame/parallel/parallel_loop.hpp"
#include "kernels/window_rows.hpp"

namespace morvane::structural {
namespace {

// Distance in floats between neighbours along an outer axis of a float32 view.
std::int64_t float_stride(const view_layout& view, int axis) noexcept {
    return view.strides[axis] / static_cast<std::int64_t>(sizeof(float));
}

}  // namespace

void horizontal_window_pass(std::int64_t n, const view_layout& planes1,
                            const view_layout& planes2, const view_layout& kernel,
                            std::int64_t width, std::int64_t taps, const view_layout& hsum,
                            const view_layout& prod, std::int64_t first_row,
                            std::int64_t end_row, int threads) noexcept {
    const auto filter_row = window_row_kernels_for(active_simd_path()).horizontal;
    const auto* taps_data = kernel.elements<const float>();
    parallel_ranges(end_row - first_row, threads, [&](std::int64_t begin, std::int64_t end, int t) {
        for (std::int64_t h = first_row + begin; h < first_row + end; ++h) {
            filter_row(planes1.row<const float>(n, h), planes2.row<const float>(n, h),
                       taps_data, taps, width, prod.row<float>(t), float_stride(prod, 1),
                       hsum.row<float>(h), float_stride(hsum, 1));
        }
    });
}

void vertical_window_pass(const view_layout& kernel, std::int64_t taps, std::int64_t out_w,
                          const view_layout& hsum, const view_layout& vrow,
                          const view_layout& row_l_cs, const view_layout& row_cs, float c1,
                          float c2, float two, std::int64_t first_row, std::int64_t end_row,
                          int threads) noexcept {
    const auto filter_rows = window_row_kernels_for(active_simd_path()).vertical;
    const auto* taps_data = kernel.elements<const float>();
    parallel_ranges(end_row - first_row, threads, [&](std::int64_t begin, std::int64_t end, int t) {
        begin += first_row;
        end += first_row;
        filter_rows(hsum.row<const float>(begin), float_stride(hsum, 0), float_stride(hsum, 1),
                    taps_data, taps, out_w, end - begin, vrow.row<float>(t),
                    float_stride(vrow, 1), c1, c2, two, row_l_cs.elements<double>() + begin,
                    row_cs.elements<double>() + begin);
    });
}

}  // namespace morvane::structural
