// Memory-layout adaptation for the extraction: a band's voxels copied, a chunk of slabs at a
// time, into planes with axis 0 contiguous (`VoxelPlanes`), so the cell scan (axis 0 innermost)
// reads memory in order whatever the array's layout, while the copy itself follows the array's
// own order; a row test that marks the surface cells of a row of cells at once
// (`mark_surface_row`); and the corner-set test of one cell read from the planes (`CellCorners`).
//
// None of this decides what the surface is; it only makes reading the labels cheap.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "grid.hpp"

namespace tarna {

// Voxel planes: the band's voxels copied, a chunk of slabs at a time, into planes with axis 0
// contiguous, so the cell scan (axis 0 innermost) reads memory in order whatever the array's
// layout, and the copy itself follows the array's own order. First, the voxel columns along
// axis 2 that hold one label over the whole band are found: a cell between four such columns of
// one label is never a surface cell, and a row of such cells is neither copied nor scanned, so a
// uniform volume costs one read.

// How far apart in memory one step along each axis lies; an axis of extent 1, never stepped
// along, counts as farthest.
template <class Label>
std::array<std::uint64_t, 3> axis_costs(const VolumeView<Label>& view) {
    std::array<std::uint64_t, 3> cost{};
    for (unsigned k = 0; k < 3; ++k) {
        const std::int64_t stride = view.strides[k];
        cost[k] = view.shape[k] > 1 ? std::uint64_t(stride < 0 ? -stride : stride) : UINT64_MAX;
    }
    return cost;
}

// The axes from the farthest step to the nearest.
template <class Label>
std::array<unsigned, 3> outer_to_inner(const VolumeView<Label>& view) {
    const std::array<std::uint64_t, 3> cost = axis_costs(view);
    std::array<unsigned, 3> axes{0, 1, 2};
    std::stable_sort(axes.begin(), axes.end(), [&](unsigned a, unsigned b) { return cost[a] > cost[b]; });
    return axes;
}

// Whether `count` voxels from `line`, `stride` apart, all equal `value`; stops at the first
// block (four cache lines when contiguous) that differs.
template <class Label>
bool line_equals(const Label* line, std::int64_t stride, std::int64_t count, Label value) {
    constexpr std::int64_t BLOCK = 4 * 64 / sizeof(Label);  // four cache lines
    if (stride == 1) {
        std::int64_t begin = 0;
        for (; begin + BLOCK <= count; begin += BLOCK) {
            Label differ = 0;
            for (std::int64_t k = 0; k < BLOCK; ++k) differ |= Label(line[begin + k] ^ value);
            if (differ != 0) return false;
        }
        Label differ = 0;
        for (std::int64_t k = begin; k < count; ++k) differ |= Label(line[k] ^ value);
        return differ == 0;
    }
    for (std::int64_t begin = 0; begin < count; begin += BLOCK) {
        const std::int64_t end = std::min(count, begin + BLOCK);
        Label differ = 0;
        for (std::int64_t k = begin; k < end; ++k) differ |= Label(line[k * stride] ^ value);
        if (differ != 0) return false;
    }
    return true;
}

// Whether every voxel of `view` whose index on its outermost axis lies in [begin, end) equals
// `value`, read in memory order; gives up once `stop` is set (another range differed).
template <class Label>
bool range_uniform(const VolumeView<Label>& view, std::uint64_t begin, std::uint64_t end, Label value,
                   const std::atomic<bool>& stop) {
    const std::array<unsigned, 3> axes = outer_to_inner(view);
    const auto& s = view.strides;
    const unsigned outer = axes[0], middle = axes[1], inner = axes[2];
    for (std::uint64_t o = begin; o < end; ++o) {
        for (std::uint64_t m = 0; m < view.shape[middle]; ++m) {
            const Label* line = view.data + std::int64_t(o) * s[outer] + std::int64_t(m) * s[middle];
            if (!line_equals(line, s[inner], std::int64_t(view.shape[inner]), value)) return false;
        }
        if (stop.load(std::memory_order_relaxed)) return false;
    }
    return true;
}

template <class Label>
class VoxelPlanes {
public:
    // Chunks are as tall as fits this many bytes of planes, within [MIN_HEIGHT, TALLEST] slabs:
    // a chunk reads at most 128 bytes of a column, and at most 64 labels. Longer reads measured
    // no faster, and the planes are a band's largest scratch, alive at the band's end when its
    // output is largest (on a 256³ volume of 32-bit labels 8.6 MiB instead of 17).
    static constexpr std::uint64_t PLANE_BUDGET = std::uint64_t(16) << 20;
    static constexpr std::uint64_t MIN_HEIGHT = 8;
    static constexpr std::uint64_t TALLEST =
        std::max<std::uint64_t>(MIN_HEIGHT, std::min<std::uint64_t>(64, 128 / sizeof(Label)));

    // `uniform`, when given, is the one label the whole array holds, so the columns need no read.
    VoxelPlanes(const VolumeView<Label>& view, const std::array<std::uint64_t, 3>& dims, std::int64_t origin,
                std::uint64_t start, std::uint64_t end, const Label* uniform = nullptr)
        : view_(view), dims_(dims), origin_(origin), row_length_(dims[0] + 1), row_count_(dims[1] + 1) {
        for (unsigned k = 0; k < 3; ++k) extent_[k] = std::int64_t(view.shape[k]);
        // The axis with the smallest stride is read innermost; an axis of extent 1 never is.
        const std::array<std::uint64_t, 3> cost = axis_costs(view);
        fast_ = 2;
        if (cost[0] < cost[fast_]) fast_ = 0;
        if (cost[1] < cost[fast_]) fast_ = 1;
        column_outer_ = cost[0] >= cost[1] ? 0 : 1;
        // Grid columns x' in [inside_low, inside_high] lie inside the array on axes 0 and 1.
        for (unsigned k = 0; k < 2; ++k) {
            inside_low_[k] = std::uint64_t(std::max<std::int64_t>(0, -origin));
            inside_high_[k] = std::uint64_t(std::min<std::int64_t>(std::int64_t(dims[k]), extent_[k] - 1 - origin));
        }
        summarise_columns(std::int64_t(start) + origin, std::int64_t(end) + origin, uniform);
        find_active_rows();
        if (any_active_) {
            const std::uint64_t plane_bytes = row_length_ * row_count_ * sizeof(Label);
            height_ = std::clamp<std::uint64_t>(PLANE_BUDGET / plane_bytes, MIN_HEIGHT + 1, TALLEST + 1) - 1;
            height_ = std::min(height_, end - start);
            // Copying a column writes one label into every plane: with planes an odd number of
            // cache lines apart those writes spread over all cache sets instead of a handful.
            constexpr std::uint64_t LINE = 64 / sizeof(Label);
            const std::uint64_t lines = (row_length_ * row_count_ + LINE - 1) / LINE;
            plane_size_ = (lines | 1) * LINE;
            planes_.assign((height_ + 1) * plane_size_, Label(0));
        }
    }

    bool any_active() const { return any_active_; }
    bool row_active(std::uint64_t m) const { return row_active_[m] != 0; }
    std::uint64_t height() const { return height_; }

    // Row x1' (voxel x1' + origin) of loaded plane z': labels for x0' = 0 .. n0.
    const Label* row(std::uint64_t plane, std::uint64_t x1) const {
        return planes_.data() + plane * plane_size_ + x1 * row_length_;
    }

    // Copies the needed rows of planes for slabs g0 .. g0 + count - 1 (count <= height()), the
    // chunks in order. A chunk's first plane is the previous chunk's last, carried over rather
    // than read again: the array may change under a racing writer, and the slabs on either side
    // of that plane must see it alike.
    void load(std::uint64_t g0, std::uint64_t count) {
        const std::int64_t z_first = std::int64_t(g0) + origin_;
        const std::uint64_t from = loaded_ != 0 ? 1 : 0;
        if (from != 0) std::memcpy(planes_.data(), planes_.data() + loaded_ * plane_size_, plane_size_ * sizeof(Label));
        if (fast_ == 2) {
            load_columns(z_first, count, from);
        } else {
            load_rows(z_first, count, from);
        }
        loaded_ = count;
    }

    // Keeps room for chunks of at most `height` slabs, carrying the last loaded plane over to the
    // next chunk as `load` would.
    void shrink(std::uint64_t height) {
        if (height >= height_) return;
        std::vector<Label> kept((height + 1) * plane_size_, Label(0));
        if (loaded_ != 0) {
            std::memcpy(kept.data() + height * plane_size_, planes_.data() + loaded_ * plane_size_,
                        plane_size_ * sizeof(Label));
            loaded_ = height;
        }
        planes_ = std::move(kept);
        height_ = height;
    }

    // Plane z' = g0 + `plane` of the loaded chunk, all (n0 + 1) x (n1 + 1) voxels as the scan
    // sees them (rows that are not needed hold constant columns), into `out`.
    void copy_plane(std::uint64_t plane, Label* out) const {
        for (std::uint64_t x1 = 0; x1 < row_count_; ++x1) {
            const Label* source =
                any_active_ && row_needed_[x1] ? row(plane, x1) : column_value_.data() + x1 * row_length_;
            std::memcpy(out + x1 * row_length_, source, row_length_ * sizeof(Label));
        }
    }

private:
    bool inside(unsigned axis, std::int64_t x) const { return x >= 0 && x < extent_[axis]; }

    // Per grid column (x0', x1'): does it hold one label over voxels z_low .. z_high, and which.
    // Outside the array on axis 0 or 1 a column is all background.
    void summarise_columns(std::int64_t z_low, std::int64_t z_high, const Label* uniform) {
        const std::uint64_t columns = row_length_ * row_count_;
        column_constant_.assign(columns, 1);
        column_value_.assign(columns, Label(0));
        const std::int64_t in_low = std::max<std::int64_t>(z_low, 0);
        const std::int64_t in_high = std::min<std::int64_t>(z_high, extent_[2] - 1);
        const bool padded = z_low < 0 || z_high > extent_[2] - 1;  // reads background beyond the array
        const std::int64_t length = in_high - in_low + 1;
        const auto& s = view_.strides;
        if (uniform != nullptr) {
            // What the reads below would find: a column is compared with background where the
            // band reaches beyond the array, else with its own first voxel.
            const Label value = padded ? Label(0) : *uniform;
            const std::uint8_t constant = length <= 0 || *uniform == value;
            for (std::uint64_t x1 = inside_low_[1]; x1 <= inside_high_[1]; ++x1) {
                for (std::uint64_t x0 = inside_low_[0]; x0 <= inside_high_[0]; ++x0) {
                    column_value_[x0 + row_length_ * x1] = length <= 0 ? Label(0) : value;
                    column_constant_[x0 + row_length_ * x1] = constant;
                }
            }
            return;
        }
        if (fast_ == 2) {
            // Axis 2 is contiguous: each column is one short read, stopped at the first change,
            // the columns in memory order. Results are gathered in that order and moved into
            // place afterwards: scattered writes amid the stream of reads slow it down a lot.
            const unsigned outer = column_outer_, inner = 1 - column_outer_;
            const std::uint64_t outer_step = outer == 0 ? 1 : row_length_, inner_step = outer == 0 ? row_length_ : 1;
            const std::uint64_t outer_count = inside_high_[outer] - inside_low_[outer] + 1;
            const std::uint64_t inner_count = inside_high_[inner] - inside_low_[inner] + 1;
            std::vector<Label> values(outer_count * inner_count);
            std::vector<std::uint8_t> constant(outer_count * inner_count);
            for (std::uint64_t a = 0; a < outer_count; ++a) {
                const Label* line = view_.data + (std::int64_t(inside_low_[outer] + a) + origin_) * s[outer] +
                                    (std::int64_t(inside_low_[inner]) + origin_) * s[inner] + in_low * s[2];
                Label* row_values = values.data() + a * inner_count;
                std::uint8_t* row_constant = constant.data() + a * inner_count;
                for (std::uint64_t b = 0; b < inner_count; ++b, line += s[inner]) {
                    row_values[b] = padded ? Label(0) : line[0];
                    row_constant[b] = line_equals(line, s[2], length, row_values[b]);
                }
            }
            const std::uint64_t first = inside_low_[outer] * outer_step + inside_low_[inner] * inner_step;
            for (std::uint64_t a = 0; a < outer_count; ++a) {
                for (std::uint64_t b = 0; b < inner_count; ++b) {
                    const std::uint64_t c = first + a * outer_step + b * inner_step;
                    column_value_[c] = values[a * inner_count + b];
                    column_constant_[c] = constant[a * inner_count + b];
                }
            }
            return;
        }
        // Axis 0 or 1 contiguous: plane after plane, stopping once every column has changed.
        const unsigned fast = fast_, slow = 1 - fast_;
        const std::uint64_t fast_step = fast == 0 ? 1 : row_length_, slow_step = fast == 0 ? row_length_ : 1;
        std::vector<Label> differ(columns, Label(0));
        auto sweep = [&](std::int64_t z, bool first) {
            for (std::uint64_t xs = inside_low_[slow]; xs <= inside_high_[slow]; ++xs) {
                const Label* line = view_.data + (std::int64_t(xs) + origin_) * s[slow] + z * s[2] +
                                    (std::int64_t(inside_low_[fast]) + origin_) * s[fast];
                Label* values = column_value_.data() + xs * slow_step + inside_low_[fast] * fast_step;
                Label* changed = differ.data() + xs * slow_step + inside_low_[fast] * fast_step;
                const std::uint64_t count = inside_high_[fast] - inside_low_[fast] + 1;
                const std::int64_t stride = s[fast];
                if (first) {
                    for (std::uint64_t f = 0; f < count; ++f) values[f * fast_step] = line[std::int64_t(f) * stride];
                } else if (fast_step == 1 && stride == 1) {
                    // Most rows match their first plane throughout: test before writing.
                    Label row_differ = 0;
                    for (std::uint64_t f = 0; f < count; ++f) row_differ |= Label(line[f] ^ values[f]);
                    if (row_differ == 0) continue;
                    for (std::uint64_t f = 0; f < count; ++f) changed[f] |= Label(line[f] ^ values[f]);
                } else {
                    for (std::uint64_t f = 0; f < count; ++f)
                        changed[f * fast_step] |= Label(line[std::int64_t(f) * stride] ^ values[f * fast_step]);
                }
            }
        };
        if (!padded) sweep(in_low, true);  // otherwise every column is compared with background
        for (std::int64_t z = in_low; z <= in_high; ++z) {
            sweep(z, false);
            if ((z - in_low) % 8 == 7 && all_changed(differ)) break;
        }
        for (std::uint64_t c = 0; c < columns; ++c) column_constant_[c] = differ[c] == 0;
    }

    bool all_changed(const std::vector<Label>& differ) const {
        for (std::uint64_t x1 = inside_low_[1]; x1 <= inside_high_[1]; ++x1)
            for (std::uint64_t x0 = inside_low_[0]; x0 <= inside_high_[0]; ++x0)
                if (differ[x0 + row_length_ * x1] == 0) return false;
        return true;
    }

    // Row m of cells is active when some cell in it does not sit between four constant columns
    // of one label; rows x1' = m and m + 1 of the planes are then needed.
    void find_active_rows() {
        const std::uint64_t n0 = dims_[0], n1 = dims_[1];
        row_active_.assign(n1, 0);
        row_needed_.assign(row_count_, 0);
        for (std::uint64_t m = 0; m < n1; ++m) {
            const std::uint8_t* constant_low = column_constant_.data() + row_length_ * m;
            const std::uint8_t* constant_high = constant_low + row_length_;
            const Label* value_low = column_value_.data() + row_length_ * m;
            const Label* value_high = value_low + row_length_;
            std::uint8_t active = 0;
            for (std::uint64_t o = 0; o < n0; ++o) {
                const bool quiet = (constant_low[o] & constant_low[o + 1] & constant_high[o] & constant_high[o + 1]) &&
                                   value_low[o] == value_low[o + 1] && value_low[o] == value_high[o] &&
                                   value_low[o] == value_high[o + 1];
                active |= std::uint8_t(!quiet);
            }
            row_active_[m] = active;
            if (active) {
                row_needed_[m] = 1;
                row_needed_[m + 1] = 1;
                any_active_ = true;
            }
        }
        row_has_constant_.assign(row_count_, 0);
        for (std::uint64_t x1 = 0; x1 < row_count_; ++x1) {
            const std::uint8_t* constant = column_constant_.data() + row_length_ * x1;
            row_has_constant_[x1] =
                std::uint8_t(std::find(constant, constant + row_length_, 1) != constant + row_length_);
        }
    }

    // Axis 2 contiguous: constant columns hold their value on every plane, so whole rows of
    // those values are laid down first; then each other needed column's stretch of axis 2 is
    // read once, in tiles of columns along axis 0 that fill whole cache lines of the planes.
    // Planes before `from` are already loaded.
    void load_columns(std::int64_t z_first, std::uint64_t count, std::uint64_t from) {
        const auto& s = view_.strides;
        const std::uint64_t planes = count + 1;
        const std::int64_t in_begin = std::clamp<std::int64_t>(-z_first, std::int64_t(from), std::int64_t(planes));
        const std::int64_t in_end = std::clamp<std::int64_t>(extent_[2] - z_first, in_begin, std::int64_t(planes));
        for (std::uint64_t z = from; z < planes; ++z) {
            for (std::uint64_t x1 = 0; x1 < row_count_; ++x1) {
                if (!row_needed_[x1] || !row_has_constant_[x1]) continue;
                std::memcpy(planes_.data() + z * plane_size_ + x1 * row_length_,
                            column_value_.data() + x1 * row_length_, row_length_ * sizeof(Label));
            }
        }
        constexpr std::uint64_t TILE = 64 / sizeof(Label);
        for (std::uint64_t tile = 0; tile < row_length_; tile += TILE) {
            const std::uint64_t tile_end = std::min(row_length_, tile + TILE);
            for (std::uint64_t x1 = 0; x1 < row_count_; ++x1) {
                if (!row_needed_[x1]) continue;
                for (std::uint64_t x0 = tile; x0 < tile_end; ++x0) {
                    const std::uint64_t c = x0 + row_length_ * x1;
#if defined(__SSE2__)
                    if constexpr (sizeof(Label) == 4 || sizeof(Label) == 8) {
                        if (s[2] == 1 && x0 + 4 <= tile_end &&
                            copy_four_columns(c, x0, x1, z_first, from, in_begin, in_end, planes)) {
                            x0 += 3;
                            continue;
                        }
                    }
#endif
                    if (column_constant_[c]) continue;
                    Label* target = planes_.data() + c;
                    const Label* line = view_.data + (std::int64_t(x0) + origin_) * s[0] +
                                        (std::int64_t(x1) + origin_) * s[1] + z_first * s[2];
                    for (std::int64_t z = std::int64_t(from); z < in_begin; ++z)
                        target[std::uint64_t(z) * plane_size_] = 0;
                    for (std::int64_t z = in_begin; z < in_end; ++z)
                        target[std::uint64_t(z) * plane_size_] = line[z * s[2]];
                    for (std::uint64_t z = std::uint64_t(in_end); z < planes; ++z) target[z * plane_size_] = 0;
                }
            }
        }
    }

#if defined(__SSE2__)
    // Four neighbouring columns along axis 0, none constant, with axis 2 contiguous: blocks of
    // four columns by four (32-bit labels) or two (64-bit) planes transposed in registers, so
    // each plane gets 16-byte stores instead of one store per label, and four columns' reads are
    // in flight at once. False (nothing written) when a column is constant.
    bool copy_four_columns(std::uint64_t c, std::uint64_t x0, std::uint64_t x1, std::int64_t z_first,
                           std::uint64_t from, std::int64_t in_begin, std::int64_t in_end, std::uint64_t planes) {
        static_assert(sizeof(Label) == 4 || sizeof(Label) == 8);
        if (column_constant_[c] | column_constant_[c + 1] | column_constant_[c + 2] | column_constant_[c + 3])
            return false;
        const auto& s = view_.strides;
        const Label* line =
            view_.data + (std::int64_t(x0) + origin_) * s[0] + (std::int64_t(x1) + origin_) * s[1] + z_first;
        const std::int64_t step = s[0];
        Label* target = planes_.data() + c;
        constexpr std::uint64_t HALF = 16 / sizeof(Label);  // labels per 16-byte register
        const __m128i zero = _mm_setzero_si128();
        auto store_zero = [&](Label* out) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), zero);
            if constexpr (HALF == 2) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2), zero);
        };
        for (std::int64_t z = std::int64_t(from); z < in_begin; ++z)
            store_zero(target + std::uint64_t(z) * plane_size_);
        std::int64_t z = in_begin;
        // Each column's next HALF labels along axis 2, transposed so each plane gets its four.
        for (; z + std::int64_t(HALF) <= in_end; z += std::int64_t(HALF)) {
            const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + z));
            const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + step + z));
            const __m128i third = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 2 * step + z));
            const __m128i fourth = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 3 * step + z));
            Label* out = target + std::uint64_t(z) * plane_size_;
            if constexpr (HALF == 4) {
                const __m128i ab_low = _mm_unpacklo_epi32(first, second), ab_high = _mm_unpackhi_epi32(first, second);
                const __m128i cd_low = _mm_unpacklo_epi32(third, fourth), cd_high = _mm_unpackhi_epi32(third, fourth);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi64(ab_low, cd_low));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + plane_size_), _mm_unpackhi_epi64(ab_low, cd_low));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * plane_size_),
                                 _mm_unpacklo_epi64(ab_high, cd_high));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * plane_size_),
                                 _mm_unpackhi_epi64(ab_high, cd_high));
            } else {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi64(first, second));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2), _mm_unpacklo_epi64(third, fourth));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + plane_size_), _mm_unpackhi_epi64(first, second));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + plane_size_ + 2), _mm_unpackhi_epi64(third, fourth));
            }
        }
        for (; z < in_end; ++z) {
            Label* out = target + std::uint64_t(z) * plane_size_;
            for (std::int64_t k = 0; k < 4; ++k) out[k] = line[k * step + z];
        }
        for (std::uint64_t rest = std::uint64_t(in_end); rest < planes; ++rest) store_zero(target + rest * plane_size_);
        return true;
    }
#endif

    // Axis 0 or 1 contiguous: copy plane by plane along the contiguous axis.
    void load_rows(std::int64_t z_first, std::uint64_t count, std::uint64_t from) {
        const auto& s = view_.strides;
        for (std::uint64_t plane = from; plane <= count; ++plane) {
            const std::int64_t z = z_first + std::int64_t(plane);
            Label* target = planes_.data() + plane * plane_size_;
            if (!inside(2, z)) {
                for (std::uint64_t x1 = 0; x1 < row_count_; ++x1)
                    if (row_needed_[x1])
                        std::fill(target + x1 * row_length_, target + (x1 + 1) * row_length_, Label(0));
                continue;
            }
            const std::uint64_t low0 = inside_low_[0], high0 = inside_high_[0];
            if (fast_ == 0) {
                for (std::uint64_t x1 = 0; x1 < row_count_; ++x1) {
                    if (!row_needed_[x1]) continue;
                    Label* row_target = target + x1 * row_length_;
                    if (x1 < inside_low_[1] || x1 > inside_high_[1]) {
                        std::fill(row_target, row_target + row_length_, Label(0));
                        continue;
                    }
                    std::fill(row_target, row_target + low0, Label(0));
                    std::fill(row_target + high0 + 1, row_target + row_length_, Label(0));
                    const Label* line = view_.data + (std::int64_t(x1) + origin_) * s[1] + z * s[2] +
                                        (std::int64_t(low0) + origin_) * s[0];
                    const std::uint64_t length = high0 - low0 + 1;
                    if (s[0] == 1) {
                        std::memcpy(row_target + low0, line, length * sizeof(Label));
                    } else {
                        for (std::uint64_t f = 0; f < length; ++f) row_target[low0 + f] = line[std::int64_t(f) * s[0]];
                    }
                }
            } else {
                for (std::uint64_t x0 = 0; x0 < row_length_; ++x0) {
                    const bool x0_inside = x0 >= low0 && x0 <= high0;
                    const Label* line = view_.data + (std::int64_t(x0) + origin_) * s[0] + z * s[2];
                    for (std::uint64_t x1 = 0; x1 < row_count_; ++x1) {
                        if (!row_needed_[x1]) continue;
                        const bool x1_inside = x1 >= inside_low_[1] && x1 <= inside_high_[1];
                        target[x0 + x1 * row_length_] =
                            x0_inside && x1_inside ? line[(std::int64_t(x1) + origin_) * s[1]] : Label(0);
                    }
                }
            }
        }
    }

    const VolumeView<Label>& view_;
    std::array<std::uint64_t, 3> dims_;
    std::int64_t origin_;
    std::uint64_t row_length_, row_count_;  // n0 + 1 and n1 + 1 voxel columns
    std::array<std::int64_t, 3> extent_{};
    std::array<std::uint64_t, 2> inside_low_{}, inside_high_{};
    unsigned fast_ = 2;          // axis read innermost
    unsigned column_outer_ = 0;  // with axis 2 innermost: the axis summarised outermost
    std::vector<std::uint8_t> column_constant_;
    std::vector<Label> column_value_;
    std::vector<std::uint8_t> row_active_;        // per cell row m
    std::vector<std::uint8_t> row_needed_;        // per voxel row x1'
    std::vector<std::uint8_t> row_has_constant_;  // per voxel row x1': holds a constant column
    bool any_active_ = false;
    std::uint64_t height_ = 0, plane_size_ = 0;
    std::uint64_t loaded_ = 0;   // slabs of the chunk last loaded, 0 before the first
    std::vector<Label> planes_;  // (height + 1) planes of row_count x row_length labels
};

// Marks the cells of one row whose eight corners are not all equal: `low` and `high` are rows
// m and m + 1 of the lower plane, `low_up` and `high_up` the same rows one plane up.
template <class Label>
void mark_surface_row(const Label* low, const Label* high, const Label* low_up, const Label* high_up, std::uint64_t n0,
                      std::uint8_t* flags) {
    for (std::uint64_t o = 0; o < n0; ++o) {
        const Label first = low[o];
        const Label differ =
            Label((first ^ low[o + 1]) | (first ^ high[o]) | (first ^ high[o + 1]) | (first ^ low_up[o]) |
                  (first ^ low_up[o + 1]) | (first ^ high_up[o]) | (first ^ high_up[o + 1]));
        flags[o] = differ != 0;
    }
}

// The eight corner labels of cell o in a row of cells, read from the voxel planes: `rows` are
// voxel rows m and m + 1 of the lower plane, then the same of the upper one, so corner c lies in
// rows[c >> 1] at o + (c & 1).
template <class Label>
struct CellCorners {
    std::array<const Label*, 4> rows;
    std::uint64_t o;

    Label operator[](unsigned corner) const { return rows[corner >> 1][o + (corner & 1u)]; }

    // Bit k set when corner k holds `label`. The SSE2 paths load the corner pairs straight from
    // the planes (gathering them through a stack copy would stall on store forwarding).
    unsigned set_of(Label label) const {
#if defined(__SSE2__)
        const std::uint64_t o_ = o;
        if constexpr (sizeof(Label) == 1) {
            std::uint64_t packed = 0;
            for (unsigned r = 0; r < 4; ++r) {
                std::uint16_t pair;
                std::memcpy(&pair, rows[r] + o_, 2);
                packed |= std::uint64_t(pair) << (16 * r);
            }
            const __m128i equal = _mm_cmpeq_epi8(_mm_cvtsi64_si128(std::int64_t(packed)), _mm_set1_epi8(char(label)));
            return unsigned(_mm_movemask_epi8(equal)) & 0xFFu;
        } else if constexpr (sizeof(Label) == 2) {
            std::array<std::uint32_t, 4> pairs;
            for (unsigned r = 0; r < 4; ++r) std::memcpy(&pairs[r], rows[r] + o_, 4);
            const __m128i all = _mm_set_epi32(int(pairs[3]), int(pairs[2]), int(pairs[1]), int(pairs[0]));
            const __m128i equal = _mm_cmpeq_epi16(all, _mm_set1_epi16(short(label)));
            return unsigned(_mm_movemask_epi8(_mm_packs_epi16(equal, _mm_setzero_si128())));
        } else if constexpr (sizeof(Label) == 4) {
            auto pair = [&](unsigned r) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[r] + o_)); };
            const __m128i key = _mm_set1_epi32(int(label));
            const __m128i low = _mm_cmpeq_epi32(_mm_unpacklo_epi64(pair(0), pair(1)), key);
            const __m128i high = _mm_cmpeq_epi32(_mm_unpacklo_epi64(pair(2), pair(3)), key);
            return unsigned(_mm_movemask_ps(_mm_castsi128_ps(low))) |
                   (unsigned(_mm_movemask_ps(_mm_castsi128_ps(high))) << 4);
        } else {
            // No 64-bit compare in SSE2: both 32-bit halves must match.
            const __m128i key = _mm_set1_epi64x(std::int64_t(label));
            unsigned set = 0;
            for (unsigned r = 0; r < 4; ++r) {
                const __m128i halves =
                    _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + o_)), key);
                const __m128i equal = _mm_and_si128(halves, _mm_shuffle_epi32(halves, 0xB1));
                set |= unsigned(_mm_movemask_pd(_mm_castsi128_pd(equal))) << (2 * r);
            }
            return set;
        }
#else
        unsigned set = 0;
        for (unsigned k = 0; k < 8; ++k) set |= unsigned((*this)[k] == label) << k;
        return set;
#endif
    }
};

}  // namespace tarna
