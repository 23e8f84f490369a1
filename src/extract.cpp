// Surface extraction for every label at once, on the dual grid (surface nets, Gibson 1998:
// "Constrained elastic surface nets").
//
// Input: a VolumeView of unsigned labels and the run environment. Output: an Extraction, one
// LabelMesh of quads per non-zero label plus the CellField of all surface cells. A surface cell
// (eight corner labels not all equal) gets one fixed-point position (CENTROID of its crossed
// edges); each label at its corners gets one vertex there per patch of its surface (SURFACE);
// each crossed cube edge gives one quad per non-zero label at its ends, over the vertices of the
// four cells around the edge, wound counter-clockwise seen from outside that label.
//
// The grid is cut into bands of slabs along axis 2. `extract_band` scans one band, slab after
// slab, keeping only two slabs of per-cell records; `merge` appends the bands in order and makes
// the faces of each band's first slab, which need the previous band's last slab. Bands run in
// parallel; the merged result is the one a single band would give.
//
// Most cells are not surface cells, and the scan order (axis 0 innermost) fights C-ordered
// arrays. So each band copies its voxels, a chunk of slabs at a time, into planes with axis 0
// contiguous (`VoxelPlanes`), reading the array in its own memory order and skipping what one
// summary read shows to be uniform; the cell loop then tests whole rows of cells at once.
#include "extract.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <variant>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tables.hpp"

namespace tarna {

std::vector<std::pair<std::uint64_t, std::uint64_t>> split_range(std::uint64_t total, std::uint64_t parts) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    if (parts == 0) return ranges;
    const std::uint64_t quotient = total / parts, remainder = total % parts;
    std::uint64_t begin = 0;
    for (std::uint64_t i = 0; i < parts; ++i) {
        const std::uint64_t length = quotient + (i < remainder ? 1 : 0);
        if (length == 0) break;  // every later range is empty too
        ranges.emplace_back(begin, begin + length);
        begin += length;
    }
    return ranges;
}

namespace {

constexpr std::uint64_t INDEX_LIMIT = 0xFFFFFFFFull;

[[noreturn]] void too_many_surface_cells() {
    throw LimitError("a pass cannot index more than 4294967295 surface cells");
}
[[noreturn]] void too_many_vertices() {
    throw LimitError("a label cannot have more than 4294967295 vertices");
}
[[noreturn]] void too_many_records() {
    throw LimitError("a slab cannot index more than 4294967295 cell records");
}

// Per surface cell, for each of the 12 edges and each end (first corner, second corner): the
// vertex, local to its label and band, of the label at that end. Only crossed edges with a
// non-zero label at the end are written; a face reads nothing else (its edge is crossed, and it
// skips background), so the other entries keep whatever an earlier slab left there.
using CellRecord = std::array<std::array<std::uint32_t, 2>, 12>;

// The four cells around an edge along axis i, as steps (dW, dV) back along W = i + 1 and
// V = i + 2 (mod 3). This order runs counter-clockwise seen from the +i side.
inline constexpr std::array<std::array<std::uint8_t, 2>, 4> QUAD_CELLS = {{{0, 0}, {1, 0}, {1, 1}, {0, 1}}};

struct FaceCell {
    std::array<std::uint8_t, 3> back;  // steps back from the examining cell, per grid axis
    std::uint8_t edge;                 // the shared edge, numbered within this cell
};

// Rule: the j-th cell around the edge leaving corner 0 of cell c along axis i is
// c - dW e_W - dV e_V with (dW, dV) = QUAD_CELLS[j]; in it the same edge leaves corner
// (dW << W) | (dV << V) along axis i.
constexpr std::array<std::array<FaceCell, 4>, 3> make_face_cells() {
    std::array<std::array<FaceCell, 4>, 3> table{};
    for (unsigned i = 0; i < 3; ++i) {
        const unsigned w = (i + 1) % 3, v = (i + 2) % 3;
        for (unsigned j = 0; j < 4; ++j) {
            const unsigned dw = QUAD_CELLS[j][0], dv = QUAD_CELLS[j][1];
            FaceCell cell{};
            cell.back[w] = std::uint8_t(dw);
            cell.back[v] = std::uint8_t(dv);
            cell.edge = CORNER_EDGES[(dw << w) | (dv << v)][i];
            table[i][j] = cell;
        }
    }
    return table;
}
inline constexpr auto FACE_CELLS = make_face_cells();
static_assert(FACE_CELLS[0][2].back[1] == 1 && FACE_CELLS[0][2].back[2] == 1 && FACE_CELLS[0][2].edge == 11);
static_assert(FACE_CELLS[2][1].back[0] == 1 && FACE_CELLS[2][1].edge == 4);

// Per corner set, what a label holding it writes: the edges it crosses (a 12-bit mask), and for
// each crossed edge in ascending order its entry in a CellRecord and its patch.
struct CrossedEdges {
    std::uint16_t mask = 0;
    std::uint8_t count = 0;
    std::array<std::uint8_t, 12> entry{};  // 2 e + side, side 0 when the set holds the edge's first corner
    std::array<std::uint8_t, 12> patch{};
};

// Rule: edge e is crossed by set s when SURFACE gives it a patch; its side is 0 when s holds the
// edge's first corner, else 1.
constexpr std::array<CrossedEdges, 256> make_crossed() {
    std::array<CrossedEdges, 256> table{};
    for (unsigned set = 0; set < 256; ++set) {
        CrossedEdges& crossed = table[set];
        for (unsigned e = 0; e < 12; ++e) {
            const std::uint8_t patch = SURFACE[12 * set + e];
            if (patch == NO_PATCH) continue;
            const unsigned side = ((set >> EDGE_CORNERS[e][0]) & 1u) ? 0 : 1;
            crossed.mask = std::uint16_t(crossed.mask | (1u << e));
            crossed.entry[crossed.count] = std::uint8_t(2 * e + side);
            crossed.patch[crossed.count] = patch;
            ++crossed.count;
        }
    }
    return table;
}
inline constexpr auto CROSSED = make_crossed();
static_assert(CROSSED[0x01].mask == 0x007 && CROSSED[0xFE].mask == 0x007 && CROSSED[0x01].entry[2] == 4 &&
              CROSSED[0xFE].entry[2] == 5 && CROSSED[0x00].count == 0 && CROSSED[0x69].count == 12);

// `cell_corners` without the per-corner bound tests for cells wholly inside the array; it
// gives the eight labels unpacked whatever the width.
template <class Label>
class CornerReader {
public:
    explicit CornerReader(const VolumeView<Label>& view) : view_(view) {
        for (unsigned k = 0; k < 8; ++k) {
            const auto offset = corner_offset(k);
            offsets_[k] = offset[0] * view.strides[0] + offset[1] * view.strides[1] + offset[2] * view.strides[2];
        }
        for (unsigned k = 0; k < 3; ++k) last_[k] = std::int64_t(view.shape[k]) - 1;
    }

    std::array<Label, 8> read(std::int64_t x0, std::int64_t x1, std::int64_t x2) const {
        std::array<Label, 8> labels;
        if (x0 >= 0 && x1 >= 0 && x2 >= 0 && x0 < last_[0] && x1 < last_[1] && x2 < last_[2]) {
            const Label* base = view_.data + x0 * view_.strides[0] + x1 * view_.strides[1] + x2 * view_.strides[2];
            for (unsigned k = 0; k < 8; ++k) labels[k] = base[offsets_[k]];
        } else {
            const auto corners = cell_corners(view_, {x0, x1, x2});
            for (unsigned k = 0; k < 8; ++k) labels[k] = Label(corner_label(corners, k));
        }
        return labels;
    }

private:
    const VolumeView<Label>& view_;
    std::array<std::int64_t, 8> offsets_{};
    std::array<std::int64_t, 3> last_{};
};

// ---------------------------------------------------------------------------------------------
// Voxel planes: the band's voxels copied, a chunk of slabs at a time, into planes with axis 0
// contiguous, so the cell scan (axis 0 innermost) reads memory in order whatever the array's
// layout, and the copy itself follows the array's own order. First, the voxel columns along
// axis 2 that hold one label over the whole band are found: a cell between four such columns of
// one label is never a surface cell, and a row of such cells is neither copied nor scanned, so a
// uniform volume costs one read.

// Whether `count` voxels from `line`, `stride` apart, all equal `value`; stops at the first
// block (four cache lines when contiguous) that differs.
template <class Label>
bool line_equals(const Label* line, std::int64_t stride, std::int64_t count, Label value) {
    constexpr std::int64_t BLOCK = 256 / sizeof(Label);
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

template <class Label>
class VoxelPlanes {
public:
    // Chunks are as tall as fits this many bytes of planes, within [MIN_HEIGHT, 64] slabs.
    static constexpr std::uint64_t PLANE_BUDGET = std::uint64_t(16) << 20;
    static constexpr std::uint64_t MIN_HEIGHT = 8;

    VoxelPlanes(const VolumeView<Label>& view, const std::array<std::uint64_t, 3>& dims, std::int64_t origin,
                std::uint64_t start, std::uint64_t end)
        : view_(view), dims_(dims), origin_(origin), row_length_(dims[0] + 1), row_count_(dims[1] + 1) {
        for (unsigned k = 0; k < 3; ++k) extent_[k] = std::int64_t(view.shape[k]);
        // The axis with the smallest stride is read innermost; an axis of extent 1 never is.
        std::array<std::uint64_t, 3> cost{};
        for (unsigned k = 0; k < 3; ++k) {
            const std::int64_t stride = view.strides[k];
            cost[k] = view.shape[k] > 1 ? std::uint64_t(stride < 0 ? -stride : stride) : UINT64_MAX;
        }
        fast_ = 2;
        if (cost[0] < cost[fast_]) fast_ = 0;
        if (cost[1] < cost[fast_]) fast_ = 1;
        column_outer_ = cost[0] >= cost[1] ? 0 : 1;
        // Grid columns x' in [inside_low, inside_high] lie inside the array on axes 0 and 1.
        for (unsigned k = 0; k < 2; ++k) {
            inside_low_[k] = std::uint64_t(std::max<std::int64_t>(0, -origin));
            inside_high_[k] = std::uint64_t(std::min<std::int64_t>(std::int64_t(dims[k]), extent_[k] - 1 - origin));
        }
        summarise_columns(std::int64_t(start) + origin, std::int64_t(end) + origin);
        find_active_rows();
        if (any_active_) {
            const std::uint64_t plane_bytes = row_length_ * row_count_ * sizeof(Label);
            height_ = std::clamp<std::uint64_t>(PLANE_BUDGET / plane_bytes, MIN_HEIGHT + 1, 65) - 1;
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

    // Copies the needed rows of planes for slabs g0 .. g0 + count - 1 (count <= height()).
    void load(std::uint64_t g0, std::uint64_t count) {
        const std::int64_t z_first = std::int64_t(g0) + origin_;
        if (fast_ == 2) {
            load_columns(z_first, count);
        } else {
            load_rows(z_first, count);
        }
    }

private:
    bool inside(unsigned axis, std::int64_t x) const { return x >= 0 && x < extent_[axis]; }

    // Per grid column (x0', x1'): does it hold one label over voxels z_low .. z_high, and which.
    // Outside the array on axis 0 or 1 a column is all background.
    void summarise_columns(std::int64_t z_low, std::int64_t z_high) {
        const std::uint64_t columns = row_length_ * row_count_;
        column_constant_.assign(columns, 1);
        column_value_.assign(columns, Label(0));
        const std::int64_t in_low = std::max<std::int64_t>(z_low, 0);
        const std::int64_t in_high = std::min<std::int64_t>(z_high, extent_[2] - 1);
        const bool padded = z_low < 0 || z_high > extent_[2] - 1;  // reads background beyond the array
        const std::int64_t length = in_high - in_low + 1;
        const auto& s = view_.strides;
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
            row_has_constant_[x1] = std::uint8_t(std::find(constant, constant + row_length_, 1) != constant + row_length_);
        }
    }

    // Axis 2 contiguous: constant columns hold their value on every plane, so whole rows of
    // those values are laid down first; then each other needed column's stretch of axis 2 is
    // read once, in tiles of columns along axis 0 that fill whole cache lines of the planes.
    void load_columns(std::int64_t z_first, std::uint64_t count) {
        const auto& s = view_.strides;
        const std::uint64_t planes = count + 1;
        const std::int64_t in_begin = std::clamp<std::int64_t>(-z_first, 0, std::int64_t(planes));
        const std::int64_t in_end = std::clamp<std::int64_t>(extent_[2] - z_first, in_begin, std::int64_t(planes));
        for (std::uint64_t z = 0; z < planes; ++z) {
            for (std::uint64_t x1 = 0; x1 < row_count_; ++x1) {
                if (!row_needed_[x1] || !row_has_constant_[x1]) continue;
                std::memcpy(planes_.data() + z * plane_size_ + x1 * row_length_, column_value_.data() + x1 * row_length_,
                            row_length_ * sizeof(Label));
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
                    if constexpr (sizeof(Label) == 4) {
                        if (s[2] == 1 && x0 + 4 <= tile_end && copy_four_columns(c, x0, x1, z_first, in_begin, in_end, planes)) {
                            x0 += 3;
                            continue;
                        }
                    }
#endif
                    if (column_constant_[c]) continue;
                    Label* target = planes_.data() + c;
                    const Label* line = view_.data + (std::int64_t(x0) + origin_) * s[0] +
                                        (std::int64_t(x1) + origin_) * s[1] + z_first * s[2];
                    for (std::int64_t z = 0; z < in_begin; ++z) target[std::uint64_t(z) * plane_size_] = 0;
                    for (std::int64_t z = in_begin; z < in_end; ++z) target[std::uint64_t(z) * plane_size_] = line[z * s[2]];
                    for (std::uint64_t z = std::uint64_t(in_end); z < planes; ++z) target[z * plane_size_] = 0;
                }
            }
        }
    }

#if defined(__SSE2__)
    // Four neighbouring columns along axis 0, none constant, with axis 2 contiguous: 4 x 4
    // blocks transposed in registers, so each plane gets one 16-byte store per block and four
    // columns' reads are in flight at once. False (nothing written) when a column is constant.
    bool copy_four_columns(std::uint64_t c, std::uint64_t x0, std::uint64_t x1, std::int64_t z_first,
                           std::int64_t in_begin, std::int64_t in_end, std::uint64_t planes) {
        static_assert(sizeof(Label) == 4);
        if (column_constant_[c] | column_constant_[c + 1] | column_constant_[c + 2] | column_constant_[c + 3]) return false;
        const auto& s = view_.strides;
        const Label* line = view_.data + (std::int64_t(x0) + origin_) * s[0] + (std::int64_t(x1) + origin_) * s[1] + z_first;
        const std::int64_t step = s[0];
        Label* target = planes_.data() + c;
        const __m128i zero = _mm_setzero_si128();
        for (std::int64_t z = 0; z < in_begin; ++z)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(target + std::uint64_t(z) * plane_size_), zero);
        std::int64_t z = in_begin;
        for (; z + 4 <= in_end; z += 4) {
            const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + z));
            const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + step + z));
            const __m128i third = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 2 * step + z));
            const __m128i fourth = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 3 * step + z));
            const __m128i ab_low = _mm_unpacklo_epi32(first, second), ab_high = _mm_unpackhi_epi32(first, second);
            const __m128i cd_low = _mm_unpacklo_epi32(third, fourth), cd_high = _mm_unpackhi_epi32(third, fourth);
            Label* out = target + std::uint64_t(z) * plane_size_;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi64(ab_low, cd_low));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + plane_size_), _mm_unpackhi_epi64(ab_low, cd_low));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * plane_size_), _mm_unpacklo_epi64(ab_high, cd_high));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * plane_size_), _mm_unpackhi_epi64(ab_high, cd_high));
        }
        for (; z < in_end; ++z) {
            Label* out = target + std::uint64_t(z) * plane_size_;
            for (std::int64_t k = 0; k < 4; ++k) out[k] = line[k * step + z];
        }
        for (std::uint64_t rest = std::uint64_t(in_end); rest < planes; ++rest)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(target + rest * plane_size_), zero);
        return true;
    }
#endif

    // Axis 0 or 1 contiguous: copy plane by plane along the contiguous axis.
    void load_rows(std::int64_t z_first, std::uint64_t count) {
        const auto& s = view_.strides;
        for (std::uint64_t plane = 0; plane <= count; ++plane) {
            const std::int64_t z = z_first + std::int64_t(plane);
            Label* target = planes_.data() + plane * plane_size_;
            if (!inside(2, z)) {
                for (std::uint64_t x1 = 0; x1 < row_count_; ++x1)
                    if (row_needed_[x1]) std::fill(target + x1 * row_length_, target + (x1 + 1) * row_length_, Label(0));
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
                    const Label* line =
                        view_.data + (std::int64_t(x1) + origin_) * s[1] + z * s[2] + (std::int64_t(low0) + origin_) * s[0];
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
    std::vector<std::uint8_t> row_active_;  // per cell row m
    std::vector<std::uint8_t> row_needed_;  // per voxel row x1'
    std::vector<std::uint8_t> row_has_constant_;  // per voxel row x1': holds a constant column
    bool any_active_ = false;
    std::uint64_t height_ = 0, plane_size_ = 0;
    std::vector<Label> planes_;  // (height + 1) planes of row_count x row_length labels
};

// Marks the cells of one row whose eight corners are not all equal: `low` and `high` are rows
// m and m + 1 of the lower plane, `low_up` and `high_up` the same rows one plane up.
template <class Label>
void mark_surface_row(const Label* low, const Label* high, const Label* low_up, const Label* high_up, std::uint64_t n0,
                      std::uint8_t* flags) {
    for (std::uint64_t o = 0; o < n0; ++o) {
        const Label first = low[o];
        const Label differ = Label((first ^ low[o + 1]) | (first ^ high[o]) | (first ^ high[o + 1]) |
                                   (first ^ low_up[o]) | (first ^ low_up[o + 1]) | (first ^ high_up[o]) |
                                   (first ^ high_up[o + 1]));
        flags[o] = differ != 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Band extraction.

// The lowest of the four cells around the edge along axis i leaving cell (o, m, g) must lie in
// the owned region. Extents are unsigned: one of 2^63 or more owns every cell, as it says.
inline bool owns_face(const BandOptions& options, std::uint64_t o, std::uint64_t m, std::uint64_t g, unsigned i) {
    const std::array<std::uint64_t, 3> cell = {o, m, g};
    for (unsigned k = 0; k < 3; ++k) {
        if (k != i && cell[k] == 0) return false;  // the lowest cell would lie at -1
        const std::uint64_t coordinate = cell[k] - (k == i ? 0 : 1);
        if (coordinate >= options.owned[k]) return false;
    }
    return true;
}

// One slab's records and the map from its cells to them. Only mapped entries are reset, so an
// empty slab costs nothing. The record buffer only ever grows: slabs reuse it without clearing
// or zeroing, and a band grows it a handful of times at most.
struct Slab {
    std::vector<std::uint32_t> map;       // per cell o + n0 m: its record, or NONE
    std::vector<CellRecord> records;      // the first `record_count` are in use
    std::vector<std::uint64_t> recorded;  // the map entries in use, one per record
    std::size_t record_count = 0;

    // A new record, unfilled, for the cell at map entry `in_slab`.
    CellRecord& add(std::uint64_t in_slab) {
        if (record_count >= INDEX_LIMIT) too_many_records();
        if (record_count == records.size()) {
            const std::size_t grown = std::max<std::size_t>(1024, 2 * records.size());
            records.resize(grown);
            recorded.resize(grown);
        }
        map[in_slab] = std::uint32_t(record_count);
        recorded[record_count] = in_slab;
        return records[record_count++];
    }

    void clear() {
        for (std::size_t k = 0; k < record_count; ++k) map[recorded[k]] = NONE;
        record_count = 0;
    }
};

struct Band {
    std::vector<std::uint64_t> sorted_labels;
    std::vector<LabelMesh> meshes;
    CellField surface_cells;
    std::array<std::uint64_t, 3> cell_shape{};
    std::vector<std::uint32_t> first_map;
    std::vector<CellRecord> first_records;
    std::vector<std::uint32_t> last_map;
    std::vector<CellRecord> last_records;
    std::uint64_t start = 0;
};

// The band's labels in order of first appearance, and where each one's mesh sits.
struct SlotIndex {
    FxMap<std::uint64_t, std::uint32_t> positions;
    std::vector<std::uint64_t> labels;
};

std::uint32_t label_slot(SlotIndex& index, std::vector<LabelMesh>& slots, std::uint64_t label) {
    const auto [position, inserted] = index.positions.insert(label, std::uint32_t(slots.size()));
    if (inserted) {
        index.labels.push_back(label);
        slots.emplace_back();
    }
    return *position;
}

std::pair<std::vector<std::uint64_t>, std::vector<LabelMesh>> sort_by_label(SlotIndex& index,
                                                                            std::vector<LabelMesh>& slots) {
    std::vector<std::uint32_t> order(slots.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return index.labels[a] < index.labels[b]; });
    std::pair<std::vector<std::uint64_t>, std::vector<LabelMesh>> sorted;
    sorted.first.reserve(order.size());
    sorted.second.reserve(order.size());
    for (const std::uint32_t slot : order) {
        sorted.first.push_back(index.labels[slot]);
        sorted.second.push_back(std::move(slots[slot]));
    }
    slots.clear();
    return sorted;
}

// Growth kept out of line, so the appends in the cell loop stay a compare and a store (the
// compiler otherwise calls out for every quad of the big loop).
template <class T>
[[gnu::noinline]] void grow(std::vector<T>& array) {
    array.reserve(std::max<std::size_t>(16, 2 * array.capacity()));
}

template <class T>
[[gnu::always_inline]] inline void append(std::vector<T>& array, const T& value) {
    if (array.size() == array.capacity()) [[unlikely]] grow(array);
    array.push_back(value);
}

// Every label's arrays grow side by side, far more streams than the hardware prefetcher
// follows, and each write into a fresh cache line would wait for it: ask for the line two ahead
// of the end early. (A prefetch never faults, so it may point past the allocation.)
template <class T>
inline void prefetch_tail(const std::vector<T>& array) {
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(array.data() + array.size());
    __builtin_prefetch(reinterpret_cast<const void*>(end + 128), 1);
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

template <class Label>
class BandScan {
public:
    BandScan(const BandOptions& options, const std::array<std::uint64_t, 3>& dims, std::int64_t origin,
             std::uint64_t projected_slabs)
        : options_(options), dims_(dims), origin_(origin), projected_slabs_(projected_slabs) {
        for (Slab* slab : {&current_, &previous_}) slab->map.assign(dims[0] * dims[1], NONE);
        for (unsigned i = 0; i < 3; ++i)
            for (unsigned j = 0; j < 4; ++j) map_step_[i][j] = FACE_CELLS[i][j].back[0] + dims[0] * FACE_CELLS[i][j].back[1];
        cache_labels_.fill(0);
    }

    Band& band() { return band_; }

    // The current slab becomes the previous one and g the current one.
    void begin_slab() {
        ++slabs_done_;
        cells_before_slab_ = band_.surface_cells.size();
        std::swap(current_, previous_);
        current_.clear();
    }

    // Cell (o, m, g), whose eight corner labels are not all equal.
    void surface_cell(std::uint64_t m, std::uint64_t g, bool faces, const CellCorners<Label>& corners) {
        const std::uint64_t o = corners.o;
        const std::uint64_t n0 = dims_[0], n1 = dims_[1], n2 = dims_[2];
        const std::int64_t x0 = std::int64_t(o) + origin_, x1 = std::int64_t(m) + origin_, x2 = std::int64_t(g) + origin_;

        // The labels in order of their lowest corner, each with its corner set; the edge mask is
        // the union of the sets' crossed edges.
        std::array<Label, 8> group_label;
        std::array<std::uint8_t, 8> group_set;
        unsigned group_count = 0, mask = 0;
        for (unsigned unclaimed = 0xFF; unclaimed != 0;) {
            const Label label = corners[unsigned(std::countr_zero(unclaimed))];
            const unsigned set = corners.set_of(label);
            unclaimed &= ~set;
            mask |= CROSSED[set].mask;
            group_label[group_count] = label;
            group_set[group_count] = std::uint8_t(set);
            ++group_count;
        }

        const auto& centroid = CENTROID[mask];
        const std::int32_t p0 = std::int32_t(x0 * 256 + centroid[0]), p1 = std::int32_t(x1 * 256 + centroid[1]),
                           p2 = std::int32_t(x2 * 256 + centroid[2]);
        const bool track = options_.track_boundary;
        const std::uint8_t boundary =
            track && (o == 0 || o + 1 == n0 || m == 0 || m + 1 == n1 || g == 0 || g + 1 == n2) ? 1 : 0;

        CellField& cells = band_.surface_cells;
        if (cells.size() >= INDEX_LIMIT) too_many_surface_cells();
        if (cells.size() == cells.positions.capacity()) reserve_cells();
        const std::uint32_t cell_index = std::uint32_t(cells.size());
        cells.positions.push_back({p0, p1, p2});
        cells.cell_ids.push_back(o + n0 * (m + n1 * g));
        cells.edge_masks.push_back(std::uint16_t(mask));
        cells.boundary.push_back(boundary);

        // The record is filled in place: one assembled aside from narrow stores and then copied
        // in whole stalls on store forwarding.
        std::uint32_t* record_entries = current_.add(o + n0 * m)[0].data();
        // Slots of the labels at corners 0, 1, 2 and 4, the ends of the edges that make faces.
        std::array<std::uint32_t, 8> corner_slot{};
        for (unsigned group = 0; group < group_count; ++group) {
            const Label label = group_label[group];
            if (label == 0) continue;
            const unsigned set = group_set[group];
            const std::uint32_t slot = slot_of(label);
            for (const unsigned corner : {0u, 1u, 2u, 4u})
                corner_slot[corner] = (set >> corner) & 1u ? slot : corner_slot[corner];

            LabelMesh& mesh = slots_[slot];
            const std::size_t base = mesh.positions.size();
            const unsigned patches = SURFACE[3072 + set];
            if (base + patches > INDEX_LIMIT) too_many_vertices();
            for (unsigned p = 0; p < patches; ++p) {
                append(mesh.positions, Position{p0, p1, p2});
                append(mesh.cells, cell_index);
            }
            prefetch_tail(mesh.positions);
            prefetch_tail(mesh.cells);
            prefetch_tail(mesh.quads);  // this label's faces come next
            if (track) mesh.boundary.insert(mesh.boundary.end(), patches, boundary);
            if (AMBIGUOUS[set]) {
                for (unsigned p = 0; p < patches; ++p) mesh.ambiguous.push_back(std::uint32_t(base + p));
            }
            const CrossedEdges& crossed = CROSSED[set];
            for (unsigned k = 0; k < crossed.count; ++k)
                record_entries[crossed.entry[k]] = std::uint32_t(base + crossed.patch[k]);
        }

        if (!faces) return;
        // Away from the grid's low faces all four cells around each edge exist.
        const bool inner = o > 0 && m > 0 && g > 0;
        for (unsigned i = 0; i < 3; ++i) {
            const Label a_label = corners[0], b_label = corners[1u << i];
            if (a_label == b_label) continue;
            if (options_.has_owned && !owns_face(options_, o, m, g, i)) continue;
            std::array<const std::array<std::uint32_t, 2>*, 4> ends;
            if (!face_ends(inner, o, m, i, ends)) continue;
            if (a_label != 0) append(slots_[corner_slot[0]].quads, Quad{(*ends[0])[0], (*ends[1])[0], (*ends[2])[0], (*ends[3])[0]});
            if (b_label != 0)
                append(slots_[corner_slot[1u << i]].quads, Quad{(*ends[3])[1], (*ends[2])[1], (*ends[1])[1], (*ends[0])[1]});
        }
    }

    // A copy of the current slab's map and records.
    void keep_current(std::vector<std::uint32_t>& map, std::vector<CellRecord>& records) const {
        map = current_.map;
        records.assign(current_.records.begin(), current_.records.begin() + std::ptrdiff_t(current_.record_count));
    }

    void finish() {
        auto sorted = sort_by_label(index_, slots_);
        band_.sorted_labels = std::move(sorted.first);
        band_.meshes = std::move(sorted.second);
    }

private:
    // Grows the CellField to what the band's density so far projects over `projected_slabs_`
    // (the whole grid for the first band, whose arrays the merge appends the others to), or
    // doubles it while too few slabs are done to judge. Growth copies everything, and in the
    // first band of several the merge would copy it once more, on one thread.
    void reserve_cells() {
        CellField& cells = band_.surface_cells;
        const std::uint64_t size = cells.size();
        std::uint64_t target = std::max<std::uint64_t>(1024, 2 * size);
        // Density varies along the grid: the projection is from whole slabs, with a quarter to spare.
        if (slabs_done_ > 8 && slabs_done_ < projected_slabs_) {
            const std::uint64_t projected = cells_before_slab_ / (slabs_done_ - 1) * projected_slabs_;
            target = std::max(target, projected + projected / 4);
        }
        target = std::min<std::uint64_t>(target, INDEX_LIMIT);
        cells.positions.reserve(target);
        cells.cell_ids.reserve(target);
        cells.edge_masks.reserve(target);
        cells.boundary.reserve(target);
    }

    std::uint32_t slot_of(Label label) {
        // A small direct-mapped cache in front of the slot index: neighbouring cells hold the
        // same few labels. Label 0 never takes a slot, so it marks an empty entry.
        const std::size_t line = std::size_t((std::uint64_t(label) * FX_SEED) >> 58);
        if (cache_labels_[line] == label) return cache_slots_[line];
        const std::uint32_t slot = label_slot(index_, slots_, label);
        cache_labels_[line] = label;
        cache_slots_[line] = slot;
        return slot;
    }


    // The record entries of the shared edge in the four cells around the edge along axis i that
    // leaves corner 0 of the cell at (o, m) of the current slab, in QUAD_CELLS order; false when
    // a cell lies outside the grid (`inner` says none can) or holds no record.
    bool face_ends(bool inner, std::uint64_t o, std::uint64_t m, unsigned i,
                   std::array<const std::array<std::uint32_t, 2>*, 4>& ends) const {
        const std::uint64_t in_slab = o + dims_[0] * m;
        for (unsigned j = 0; j < 4; ++j) {
            const FaceCell& cell = FACE_CELLS[i][j];
            if (!inner && (cell.back[0] > o || cell.back[1] > m)) return false;
            const Slab& slab = cell.back[2] ? previous_ : current_;
            const std::uint32_t index = slab.map[in_slab - map_step_[i][j]];
            if (index == NONE) return false;
            ends[j] = &slab.records[index][cell.edge];
        }
        return true;
    }

    const BandOptions& options_;
    std::array<std::uint64_t, 3> dims_;
    std::int64_t origin_;
    std::uint64_t projected_slabs_;
    std::uint64_t slabs_done_ = 0;
    std::uint64_t cells_before_slab_ = 0;
    std::array<std::array<std::uint64_t, 4>, 3> map_step_{};  // slab-map offset back to each cell around an edge
    Slab current_, previous_;
    SlotIndex index_;
    std::vector<LabelMesh> slots_;
    std::array<Label, 64> cache_labels_;
    std::array<std::uint32_t, 64> cache_slots_{};
    Band band_;
};

template <class Label>
Band extract_band(const VolumeView<Label>& view, const BandOptions& options, const std::array<std::uint64_t, 3>& dims,
                  std::int64_t origin, std::uint64_t start, std::uint64_t end, bool first_band) {
    if (start >= end) {
        Band empty;
        empty.cell_shape = dims;
        empty.start = start;
        return empty;
    }
    // The first band's CellField is projected over the whole grid, the others' over themselves.
    BandScan<Label> scan(options, dims, origin, first_band ? dims[2] : end - start);
    VoxelPlanes<Label> planes(view, dims, origin, start, end);
    Band& band = scan.band();
    band.cell_shape = dims;
    band.start = start;
    const std::uint64_t n0 = dims[0], n1 = dims[1];
    // One flag byte per cell of a row, padded so the search reads whole words.
    std::vector<std::uint8_t> flags(n0 + 8, 0);
    const std::uint64_t height = planes.any_active() ? planes.height() : end - start;

    for (std::uint64_t g0 = start; g0 < end; g0 += height) {
        const std::uint64_t count = std::min(height, end - g0);
        if (planes.any_active()) planes.load(g0, count);
        for (std::uint64_t j = 0; j < count; ++j) {
            const std::uint64_t g = g0 + j;
            scan.begin_slab();
            const bool faces = g > start || first_band;
            for (std::uint64_t m = 0; planes.any_active() && m < n1; ++m) {
                if (!planes.row_active(m)) continue;
                const Label* low = planes.row(j, m);
                const Label* high = planes.row(j, m + 1);
                const Label* low_up = planes.row(j + 1, m);
                const Label* high_up = planes.row(j + 1, m + 1);
                mark_surface_row(low, high, low_up, high_up, n0, flags.data());
                for (std::uint64_t word_start = 0; word_start < n0; word_start += 8) {
                    std::uint64_t word;
                    std::memcpy(&word, flags.data() + word_start, 8);
                    while (word != 0) {
                        const std::uint64_t o = word_start + std::uint64_t(std::countr_zero(word)) / 8;
                        word &= word - 1;
                        scan.surface_cell(m, g, faces, CellCorners<Label>{{low, high, low_up, high_up}, o});
                    }
                }
            }
            if (g == start) scan.keep_current(band.first_map, band.first_records);
        }
    }
    scan.keep_current(band.last_map, band.last_records);
    scan.finish();
    return std::move(band);
}

// ---------------------------------------------------------------------------------------------
// Seam merge.

struct Merged {
    std::vector<std::uint64_t> sorted_labels;
    std::vector<LabelMesh> meshes;
    CellField surface_cells;
};

template <class Label>
Merged merge(std::vector<Band>&& bands, const VolumeView<Label>& view, const BandOptions& options,
             const std::array<std::uint64_t, 3>& dims, std::int64_t origin, const Parallel& parallel) {
    const std::size_t band_count = bands.size();
    Merged merged;

    // 1. Merged labels.
    for (const Band& band : bands) merged.sorted_labels.insert(merged.sorted_labels.end(), band.sorted_labels.begin(), band.sorted_labels.end());
    std::sort(merged.sorted_labels.begin(), merged.sorted_labels.end());
    merged.sorted_labels.erase(std::unique(merged.sorted_labels.begin(), merged.sorted_labels.end()), merged.sorted_labels.end());
    const std::size_t label_count = merged.sorted_labels.size();
    FxMap<std::uint64_t, std::uint32_t> label_index(label_count);
    for (std::size_t j = 0; j < label_count; ++j) label_index.insert(merged.sorted_labels[j], std::uint32_t(j));
    merged.meshes.resize(label_count);

    // 2. Cells and vertices, band after band. A label's arrays from the first band that holds it
    // need no offset on vertices, so they are taken over whole (its cells shifted in place) and
    // only later bands are copied behind them; most labels live in one band.
    std::size_t cell_total = 0;
    for (const Band& band : bands) cell_total += band.surface_cells.size();
    if (cell_total > INDEX_LIMIT) too_many_surface_cells();
    std::vector<std::size_t> vertex_totals(label_count, 0), ambiguous_totals(label_count, 0);
    std::vector<std::vector<std::uint32_t>> local_position(band_count, std::vector<std::uint32_t>(label_count, NONE));
    for (std::size_t p = 0; p < band_count; ++p) {
        const Band& band = bands[p];
        for (std::size_t local = 0; local < band.sorted_labels.size(); ++local) {
            const std::uint32_t j = *label_index.find(band.sorted_labels[local]);
            local_position[p][j] = std::uint32_t(local);
            vertex_totals[j] += band.meshes[local].positions.size();
            ambiguous_totals[j] += band.meshes[local].ambiguous.size();
        }
    }
    for (std::size_t j = 0; j < label_count; ++j) {
        if (vertex_totals[j] > INDEX_LIMIT) too_many_vertices();
    }
    CellField& cells = merged.surface_cells;
    cells = std::move(bands[0].surface_cells);
    cells.positions.reserve(cell_total);
    cells.cell_ids.reserve(cell_total);
    cells.edge_masks.reserve(cell_total);
    cells.boundary.reserve(cell_total);

    std::vector<std::vector<std::uint32_t>> vertex_offset(band_count);
    for (std::size_t p = 0; p < band_count; ++p) {
        Band& band = bands[p];
        const std::uint32_t cell_offset = p == 0 ? 0 : std::uint32_t(cells.size());
        if (p > 0) {
            cells.append(band.surface_cells);
            band.surface_cells = CellField();
        }
        vertex_offset[p].resize(band.sorted_labels.size());
        for (std::size_t local = 0; local < band.sorted_labels.size(); ++local) {
            const std::uint32_t j = *label_index.find(band.sorted_labels[local]);
            LabelMesh& source = band.meshes[local];
            LabelMesh& target = merged.meshes[j];
            const std::uint32_t offset = std::uint32_t(target.positions.size());
            vertex_offset[p][local] = offset;
            if (offset == 0) {
                target.positions = std::move(source.positions);
                target.boundary = std::move(source.boundary);
                target.cells = std::move(source.cells);
                target.ambiguous = std::move(source.ambiguous);
                for (std::uint32_t& cell : target.cells) cell += cell_offset;
                target.positions.reserve(vertex_totals[j]);
                target.boundary.reserve(options.track_boundary ? vertex_totals[j] : 0);
                target.cells.reserve(vertex_totals[j]);
                target.ambiguous.reserve(ambiguous_totals[j]);
                continue;
            }
            target.positions.insert(target.positions.end(), source.positions.begin(), source.positions.end());
            target.boundary.insert(target.boundary.end(), source.boundary.begin(), source.boundary.end());
            for (const std::uint32_t cell : source.cells) target.cells.push_back(cell + cell_offset);
            for (const std::uint32_t vertex : source.ambiguous) target.ambiguous.push_back(vertex + offset);
            // Only the quads are still needed.
            source.positions = {};
            source.boundary = {};
            source.cells = {};
            source.ambiguous = {};
        }
    }

    // 3. Seam faces: the faces of each band's first slab, one task per seam.
    std::vector<std::vector<std::vector<Quad>>> seam_quads(band_count);
    const std::uint64_t n0 = dims[0], n1 = dims[1];
    CornerReader<Label> corners(view);
    auto to_merged = [&](std::size_t p, std::uint64_t label, std::uint32_t vertex) {
        const std::size_t local = lookup_label(bands[p].sorted_labels, label);
        TARNA_ASSERT(local != SIZE_MAX, "seam vertex of a label its band does not hold");
        return vertex + vertex_offset[p][local];
    };
    parallel.for_each(band_count - 1, [&](std::size_t seam) {
        const std::size_t k = seam + 1;
        const Band& here = bands[k];
        const Band& before = bands[k - 1];
        std::vector<std::vector<Quad>>& quads = seam_quads[k];
        quads.resize(label_count);
        const std::uint64_t g = here.start;
        const std::int64_t x2 = std::int64_t(g) + origin;
        for (std::uint64_t m = 0; m < n1; ++m) {
            for (std::uint64_t o = 0; o < n0; ++o) {
                // The first slab's map already knows its surface cells.
                if (here.first_map[o + n0 * m] == NONE) continue;
                const std::array<Label, 8> labels = corners.read(std::int64_t(o) + origin, std::int64_t(m) + origin, x2);
                for (unsigned i = 0; i < 3; ++i) {
                    const std::uint64_t a_label = labels[0], b_label = labels[1u << i];
                    if (a_label == b_label) continue;
                    if (options.has_owned && !owns_face(options, o, m, g, i)) continue;
                    Quad a{}, b{};
                    bool complete = true;
                    for (unsigned j = 0; j < 4 && complete; ++j) {
                        const FaceCell& face_cell = FACE_CELLS[i][j];
                        if (face_cell.back[0] > o || face_cell.back[1] > m) {
                            complete = false;
                            break;
                        }
                        const bool in_before = face_cell.back[2] != 0;
                        const std::size_t p = in_before ? k - 1 : k;
                        const auto& map = in_before ? before.last_map : here.first_map;
                        const auto& records = in_before ? before.last_records : here.first_records;
                        const std::uint32_t index = map[(o - face_cell.back[0]) + n0 * (m - face_cell.back[1])];
                        if (index == NONE) {
                            complete = false;
                            break;
                        }
                        const auto& ends = records[index][face_cell.edge];
                        if (a_label != 0) a[j] = to_merged(p, a_label, ends[0]);
                        if (b_label != 0) b[j] = to_merged(p, b_label, ends[1]);
                    }
                    if (!complete) continue;
                    if (a_label != 0) quads[*label_index.find(a_label)].push_back(a);
                    if (b_label != 0) quads[*label_index.find(b_label)].push_back({b[3], b[2], b[1], b[0]});
                }
            }
        }
    });

    // 4. Quads: each seam's faces land between the bands on either side of it. Whatever comes
    // first for a label needs no offset and is taken over whole.
    for (std::size_t j = 0; j < label_count; ++j) {
        std::size_t total = 0;
        for (std::size_t p = 0; p < band_count; ++p) {
            if (p >= 1) total += seam_quads[p][j].size();
            if (local_position[p][j] != NONE) total += bands[p].meshes[local_position[p][j]].quads.size();
        }
        std::vector<Quad>& target = merged.meshes[j].quads;
        auto take_or_append = [&](std::vector<Quad>& source, std::uint32_t offset) {
            if (source.empty()) return;
            if (target.empty() && offset == 0) {
                target = std::move(source);
                target.reserve(total);
                return;
            }
            target.reserve(total);
            for (const Quad& quad : source)
                target.push_back({quad[0] + offset, quad[1] + offset, quad[2] + offset, quad[3] + offset});
        };
        for (std::size_t p = 0; p < band_count; ++p) {
            if (p >= 1) take_or_append(seam_quads[p][j], 0);
            const std::uint32_t local = local_position[p][j];
            if (local != NONE) take_or_append(bands[p].meshes[local].quads, vertex_offset[p][local]);
        }
    }
    bands.clear();
    return merged;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Pass driver.

template <class Label>
Extraction run(const RunEnvironment<Label>& env, const Parallel& parallel) {
    Extraction result;
    const CellGrid grid(env.view.shape, env.close);
    if (grid.empty()) return result;
    const std::array<std::uint64_t, 3>& dims = grid.dims;

    const std::uint64_t workers = env.threads != 0 ? env.threads : parallel.workers();
    const std::uint64_t band_count = std::min<std::uint64_t>(workers, (dims[2] + 7) / 8);
    if (band_count < 2) {
        Band band = extract_band(env.view, env.options, dims, grid.origin, 0, dims[2], true);
        result.sorted_labels = std::move(band.sorted_labels);
        result.meshes = std::move(band.meshes);
        result.surface_cells = std::move(band.surface_cells);
    } else {
        const auto ranges = split_range(dims[2], band_count);
        std::vector<Band> bands(ranges.size());
        parallel.for_each(ranges.size(), [&](std::size_t i) {
            bands[i] = extract_band(env.view, env.options, dims, grid.origin, ranges[i].first, ranges[i].second,
                                    ranges[i].first == 0);
        });
        Merged merged = merge(std::move(bands), env.view, env.options, dims, grid.origin, parallel);
        result.sorted_labels = std::move(merged.sorted_labels);
        result.meshes = std::move(merged.meshes);
        result.surface_cells = std::move(merged.surface_cells);
    }
    result.cell_shape = dims;
    smooth(result, env.smoothing, parallel);
    return result;
}

template Extraction run<std::uint8_t>(const RunEnvironment<std::uint8_t>&, const Parallel&);
template Extraction run<std::uint16_t>(const RunEnvironment<std::uint16_t>&, const Parallel&);
template Extraction run<std::uint32_t>(const RunEnvironment<std::uint32_t>&, const Parallel&);
template Extraction run<std::uint64_t>(const RunEnvironment<std::uint64_t>&, const Parallel&);

}  // namespace tarna
