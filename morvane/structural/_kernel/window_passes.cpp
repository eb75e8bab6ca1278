#include "window_passes.hpp"

#include <algorithm>

#include "../../extension_frame/parallel/parallel_loop.hpp"
#include "kernels/window_rows.hpp"

namespace morvane::structural {
namespace {

// Distance in floats between neighbours along an outer axis of a float32 view.
std::int64_t float_stride(const view_layout& view, int axis) noexcept {
    return view.strides[axis] / static_cast<std::int64_t>(sizeof(float));
}

// Rows of hsum that a thread filters per band: few enough that the band is
// still in the thread's caches (about the size of a core's L2) when the
// vertical pass reads it back.
std::int64_t band_rows(std::int64_t out_w) noexcept {
    constexpr std::int64_t band_bytes = std::int64_t{1} << 20;
    const std::int64_t row_bytes = moment_components * out_w * std::int64_t{sizeof(float)};
    return std::max<std::int64_t>(1, band_bytes / row_bytes);
}

// The input rows first_row <= h < end_row of plane n, by thread t: the
// products into prod[t], the rows filtered along the row into hsum[h].
void horizontal_window_pass(const window_pass_record& record, std::int64_t n,
                            std::int64_t first_row, std::int64_t end_row, int t) noexcept {
    const view_layout& hsum = record.hsum;
    const view_layout& prod = record.prod;
    window_row_kernels_for(active_simd_path())
        .horizontal(record.planes1.row<const float>(n, first_row), float_stride(record.planes1, 1),
                    record.planes2.row<const float>(n, first_row), float_stride(record.planes2, 1),
                    end_row - first_row, record.kernel.elements<const float>(), record.taps,
                    record.width, prod.row<float>(t), float_stride(prod, 1),
                    hsum.row<float>(first_row), float_stride(hsum, 0), float_stride(hsum, 1));
}

// The output rows first_row <= ho < end_row, once every hsum
// row of their windows is filtered: the window completed down the columns
// of hsum, the terms per pixel and their row sums.
void vertical_window_pass(const window_pass_record& record, std::int64_t first_row,
                          std::int64_t end_row) noexcept {
    const view_layout& hsum = record.hsum;
    window_row_kernels_for(active_simd_path())
        .vertical(hsum.row<const float>(first_row), float_stride(hsum, 0), float_stride(hsum, 1),
                  record.kernel.elements<const float>(), record.taps, record.out_w,
                  end_row - first_row, record.c1, record.c2, record.two,
                  record.row_l_cs.elements<double>() + first_row,
                  record.row_cs.elements<double>() + first_row);
}

// Thread t's share of plane n: the input rows begin <= h < end, and the
// output rows among them. The thread walks its rows band by band, filtering
// a band and then summing the output rows whose windows it has just
// completed, while their hsum rows are still in its caches. The windows of
// its last taps - 1 output rows reach into the next thread's rows: those
// are summed once the whole team has filtered its rows.
void thread_window_passes(const window_pass_record& record, std::int64_t n, std::int64_t begin,
                          std::int64_t end, int t) noexcept {
    const std::int64_t outputs_end = std::min(end, record.out_h);
    const std::int64_t own_windows_end = std::min(outputs_end, end + 1 - record.taps);
    const std::int64_t rows_per_band = band_rows(record.out_w);
    std::int64_t filtered = begin;
    std::int64_t summed = begin;
    while (filtered < end) {
        const std::int64_t band_end = std::min(end, filtered + rows_per_band);
        horizontal_window_pass(record, n, filtered, band_end, t);
        filtered = band_end;
        const std::int64_t complete = std::min(own_windows_end, filtered + 1 - record.taps);
        if (complete > summed) {
            vertical_window_pass(record, summed, complete);
            summed = complete;
        }
    }
#pragma omp barrier
    if (outputs_end > summed) {
        vertical_window_pass(record, summed, outputs_end);
    }
}

}  // namespace

void window_passes(const window_pass_record& record, std::int64_t n, int threads) noexcept {
    parallel_ranges(record.height, threads, [&](std::int64_t begin, std::int64_t end, int t) {
        thread_window_passes(record, n, begin, end, t);
    });
}

}  // namespace morvane::structural
