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
// arrays. So each band first marks its surface cells, 64 slabs at a time, with a `SurfaceMask`
// whose own loops follow the array's memory order; the cell loop then visits only marked cells.
#include "extract.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <variant>

#include "tables.hpp"

namespace tarna {

void CellField::append(const CellField& other) {
    positions.insert(positions.end(), other.positions.begin(), other.positions.end());
    cell_ids.insert(cell_ids.end(), other.cell_ids.begin(), other.cell_ids.end());
    edge_masks.insert(edge_masks.end(), other.edge_masks.begin(), other.edge_masks.end());
    boundary.insert(boundary.end(), other.boundary.begin(), other.boundary.end());
}

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
// vertex, local to its label and band, of the label at that end; NONE when the edge is not
// crossed or the label there is background.
using CellRecord = std::array<std::array<std::uint32_t, 2>, 12>;

constexpr CellRecord make_empty_record() {
    CellRecord record{};
    for (auto& ends : record) ends = {NONE, NONE};
    return record;
}
inline constexpr CellRecord EMPTY_RECORD = make_empty_record();

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

// Edge mask of a cell: bit e set when the labels at edge e's ends differ.
template <class Label>
unsigned edge_mask_of(const std::array<Label, 8>& labels) {
    unsigned mask = 0;
    for (unsigned e = 0; e < 12; ++e) mask |= unsigned(labels[EDGE_CORNERS[e][0]] != labels[EDGE_CORNERS[e][1]]) << e;
    return mask;
}

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
// Surface mask: which cells of up to 64 consecutive slabs are surface cells.

// Values of `count` voxels along one axis, coordinates lo, lo + 1, ..., with background outside
// [0, extent); `base` points at coordinate 0 of the line, or is null when the line lies outside
// the array altogether. Returns whether all values are equal.
template <class Label>
bool load_line(const Label* base, std::int64_t stride, std::int64_t lo, std::int64_t count, std::int64_t extent,
               Label* out) {
    if (base == nullptr) {
        std::fill(out, out + count, Label(0));
        return true;
    }
    const std::int64_t begin = std::clamp<std::int64_t>(-lo, 0, count);
    const std::int64_t end = std::clamp<std::int64_t>(extent - lo, begin, count);
    std::fill(out, out + begin, Label(0));
    const Label* source = base + (lo + begin) * stride;
    const std::int64_t inside = end - begin;
    Label* target = out + begin;
    if (stride == 1) {
        std::memcpy(target, source, std::size_t(inside) * sizeof(Label));
    } else {
        for (std::int64_t k = 0; k < inside; ++k) target[k] = source[k * stride];
    }
    std::fill(out + end, out + count, Label(0));
    Label differ = 0;
    const Label first = out[0];
    for (std::int64_t k = 0; k < count; ++k) differ |= Label(out[k] ^ first);
    return differ == 0;
}

// Eight bytes of 0 or 1 into eight bits: byte k lands in bit 56 + k of the product, and no two
// partial products share a bit, so nothing carries.
inline std::uint64_t pack_flags(const std::uint8_t* flags) {
    std::uint64_t word = 0;
    for (unsigned k = 0; k < 8; ++k) {
        std::uint64_t eight;
        std::memcpy(&eight, flags + 8 * k, 8);
        word |= ((eight * 0x0102040810204080ull) >> 56) << (8 * k);
    }
    return word;
}

inline std::uint64_t low_bits(unsigned count) { return count >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << count) - 1; }

template <class Label>
class SurfaceMask {
public:
    // Column buffers hold 65 voxels along axis 2; the bit loop always runs 64 wide and reads
    // one past, so they are padded and start zeroed.
    static constexpr std::size_t COLUMN = 72;

    SurfaceMask(const VolumeView<Label>& view, const std::array<std::uint64_t, 3>& dims, std::int64_t origin)
        : view_(view), dims_(dims), origin_(origin), words_(dims[0] * dims[1], 0), row_bits_(dims[1], 0) {
        // The axis with the smallest stride is read innermost; an axis of extent 1 never is.
        std::array<std::uint64_t, 3> cost{};
        for (unsigned k = 0; k < 3; ++k) {
            const std::int64_t stride = view.strides[k];
            cost[k] = view.shape[k] > 1 ? std::uint64_t(stride < 0 ? -stride : stride) : UINT64_MAX;
        }
        fast_ = 2;
        if (cost[0] < cost[fast_]) fast_ = 0;
        if (cost[1] < cost[fast_]) fast_ = 1;
        if (fast_ == 2) {
            outer_ = cost[0] >= cost[1] ? 0 : 1;
            const std::size_t columns = dims[1 - outer_] + 1;
            for (auto& row : column_rows_) {
                row.values.assign(columns * COLUMN, Label(0));
                row.constant.assign(columns, 0);
            }
        } else {
            const std::size_t length = dims[fast_] + 1;
            for (auto& line : lines_) line.assign(length, Label(0));
            constant_.fill(false);
            if (fast_ == 1) row_words_.assign(dims[1], 0);
        }
    }

    // Marks slabs g0 .. g0 + count - 1, count in 1 .. 64.
    void scan(std::uint64_t g0, unsigned count) {
        if (fast_ == 2) {
            scan_columns(g0, count);
        } else {
            scan_rows(g0, count);
        }
        const std::uint64_t n0 = dims_[0], n1 = dims_[1];
        slab_bits_ = 0;
        for (std::uint64_t m = 0; m < n1; ++m) {
            const std::uint64_t* row = words_.data() + n0 * m;
            std::uint64_t any = 0;
            for (std::uint64_t o = 0; o < n0; ++o) any |= row[o];
            row_bits_[m] = any;
            slab_bits_ |= any;
        }
    }

    // Bit j: slab g0 + j has a surface cell; in row m; at cell (o, m).
    std::uint64_t slab_bits() const { return slab_bits_; }
    std::uint64_t row_bits(std::uint64_t m) const { return row_bits_[m]; }
    const std::uint64_t* row(std::uint64_t m) const { return words_.data() + dims_[0] * m; }

private:
    struct ColumnRow {
        std::vector<Label> values;           // COLUMN labels per column
        std::vector<std::uint8_t> constant;  // per column: all its values equal
    };

    // Coordinate 0 of the line through (x_a on axis_a, x_b on axis_b), or null outside the array.
    const Label* line_base(std::int64_t x_a, unsigned axis_a, std::int64_t x_b, unsigned axis_b) const {
        if (x_a < 0 || x_b < 0 || std::uint64_t(x_a) >= view_.shape[axis_a] || std::uint64_t(x_b) >= view_.shape[axis_b])
            return nullptr;
        return view_.data + x_a * view_.strides[axis_a] + x_b * view_.strides[axis_b];
    }

    // Arrays with axis 2 innermost in memory: read voxel columns along axis 2, one row of
    // columns at a time along the `outer_` axis, and test each cell's four columns at once.
    void load_column_row(ColumnRow& row, std::int64_t x_outer, std::int64_t z_low, unsigned count) {
        const unsigned inner = 1 - outer_;
        const std::uint64_t columns = dims_[inner] + 1;
        for (std::uint64_t c = 0; c < columns; ++c) {
            const Label* base = line_base(x_outer, outer_, std::int64_t(c) + origin_, inner);
            row.constant[c] = load_line(base, view_.strides[2], z_low, std::int64_t(count) + 1,
                                        std::int64_t(view_.shape[2]), row.values.data() + c * COLUMN);
        }
    }

    void scan_columns(std::uint64_t g0, unsigned count) {
        const unsigned inner = 1 - outer_;
        const std::uint64_t n_outer = dims_[outer_], n_inner = dims_[inner], n0 = dims_[0];
        const std::int64_t z_low = std::int64_t(g0) + origin_;
        const std::uint64_t all = low_bits(count);
        alignas(16) std::uint8_t flags[64];
        ColumnRow* low = &column_rows_[0];
        ColumnRow* high = &column_rows_[1];
        load_column_row(*low, origin_, z_low, count);
        for (std::uint64_t a = 0; a < n_outer; ++a) {
            load_column_row(*high, std::int64_t(a + 1) + origin_, z_low, count);
            for (std::uint64_t b = 0; b < n_inner; ++b) {
                const Label* p = low->values.data() + b * COLUMN;
                const Label* q = p + COLUMN;
                const Label* r = high->values.data() + b * COLUMN;
                const Label* s = r + COLUMN;
                std::uint64_t word;
                if (low->constant[b] & low->constant[b + 1] & high->constant[b] & high->constant[b + 1]) {
                    word = (p[0] == q[0] && p[0] == r[0] && p[0] == s[0]) ? 0 : all;
                } else {
                    for (unsigned j = 0; j < 64; ++j) {
                        const Label first = p[j];
                        const Label differ = Label((first ^ p[j + 1]) | (q[j] ^ q[j + 1]) | (r[j] ^ r[j + 1]) |
                                                   (s[j] ^ s[j + 1]) | (first ^ q[j]) | (first ^ r[j]) | (first ^ s[j]));
                        flags[j] = differ != 0;
                    }
                    word = pack_flags(flags) & all;
                }
                words_[outer_ == 0 ? a + n0 * b : b + n0 * a] = word;
            }
            std::swap(low, high);
        }
    }

    // Arrays with axis 0 or 1 innermost in memory: read lines along that axis, plane after
    // plane, and set bit j of a whole row of cells per plane pair.
    void scan_rows(std::uint64_t g0, unsigned count) {
        const unsigned fast = fast_, slow = 1 - fast_;
        const std::uint64_t n_fast = dims_[fast], n_slow = dims_[slow], n0 = dims_[0];
        const std::int64_t length = std::int64_t(n_fast) + 1;
        const std::int64_t z_low = std::int64_t(g0) + origin_;
        auto load = [&](unsigned slot, std::int64_t x_slow, std::int64_t z) {
            const Label* base = line_base(x_slow, slow, z, 2);
            constant_[slot] = load_line(base, view_.strides[fast], origin_, length, std::int64_t(view_.shape[fast]),
                                        lines_[slot].data());
        };
        for (std::uint64_t s = 0; s < n_slow; ++s) {
            const std::int64_t x_slow = std::int64_t(s) + origin_;
            std::uint64_t* target = fast == 0 ? words_.data() + n0 * s : row_words_.data();
            std::fill(target, target + n_fast, std::uint64_t(0));
            // Lines 0, 1: planes z at x_slow, x_slow + 1; lines 2, 3: the same at z + 1.
            unsigned near = 0, far = 2;
            load(near, x_slow, z_low);
            load(near + 1, x_slow + 1, z_low);
            for (unsigned j = 0; j < count; ++j) {
                load(far, x_slow, z_low + j + 1);
                load(far + 1, x_slow + 1, z_low + j + 1);
                const Label* a = lines_[near].data();
                const Label* b = lines_[near + 1].data();
                const Label* c = lines_[far].data();
                const Label* d = lines_[far + 1].data();
                const bool uniform = constant_[near] && constant_[near + 1] && constant_[far] && constant_[far + 1] &&
                                     a[0] == b[0] && a[0] == c[0] && a[0] == d[0];
                if (!uniform) {
                    for (std::uint64_t f = 0; f < n_fast; ++f) {
                        const Label first = a[f];
                        const Label differ =
                            Label((first ^ a[f + 1]) | (first ^ b[f]) | (first ^ b[f + 1]) | (first ^ c[f]) |
                                  (first ^ c[f + 1]) | (first ^ d[f]) | (first ^ d[f + 1]));
                        target[f] |= std::uint64_t(differ != 0) << j;
                    }
                }
                std::swap(near, far);
            }
            if (fast == 1) {
                for (std::uint64_t f = 0; f < n_fast; ++f) words_[s + n0 * f] = row_words_[f];
            }
        }
    }

    const VolumeView<Label>& view_;
    std::array<std::uint64_t, 3> dims_;
    std::int64_t origin_;
    unsigned fast_ = 2;   // axis read innermost
    unsigned outer_ = 0;  // with fast_ == 2: the axis whose rows of columns are read in turn
    std::vector<std::uint64_t> words_;     // per cell o + n0 m: bit j for slab g0 + j
    std::vector<std::uint64_t> row_bits_;  // per m
    std::uint64_t slab_bits_ = 0;
    std::array<ColumnRow, 2> column_rows_;
    std::array<std::vector<Label>, 4> lines_;
    std::array<bool, 4> constant_{};
    std::vector<std::uint64_t> row_words_;
};

// ---------------------------------------------------------------------------------------------
// Band extraction.

// One slab's records and the map from its cells to them. Only mapped entries are reset, so an
// empty slab costs nothing.
struct Slab {
    std::vector<std::uint32_t> map;        // per cell o + n0 m: its record, or NONE
    std::vector<CellRecord> records;
    std::vector<std::uint64_t> recorded;  // the map entries in use

    void clear() {
        for (const std::uint64_t cell : recorded) map[cell] = NONE;
        records.clear();
        recorded.clear();
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

template <class Label>
class BandScan {
public:
    BandScan(const VolumeView<Label>& view, const BandOptions& options, const std::array<std::uint64_t, 3>& dims,
             std::int64_t origin)
        : options_(options), dims_(dims), origin_(origin), corners_(view) {
        for (Slab* slab : {&current_, &previous_}) slab->map.assign(dims[0] * dims[1], NONE);
    }

    Band& band() { return band_; }

    // The current slab becomes the previous one and g the current one.
    void begin_slab() {
        std::swap(current_, previous_);
        current_.clear();
    }
    const Slab& current() const { return current_; }

    void surface_cell(std::uint64_t o, std::uint64_t m, std::uint64_t g, bool faces) {
        const std::uint64_t n0 = dims_[0], n1 = dims_[1], n2 = dims_[2];
        const std::int64_t x0 = std::int64_t(o) + origin_, x1 = std::int64_t(m) + origin_, x2 = std::int64_t(g) + origin_;
        const std::array<Label, 8> labels = corners_.read(x0, x1, x2);
        const unsigned mask = edge_mask_of(labels);
        TARNA_ASSERT(mask != 0, "surface mask marked a uniform cell");

        const auto& centroid = CENTROID[mask];
        const Position position = {std::int32_t(x0 * 256 + centroid[0]), std::int32_t(x1 * 256 + centroid[1]),
                                   std::int32_t(x2 * 256 + centroid[2])};
        const bool track = options_.track_boundary;
        const std::uint8_t boundary =
            track && (o == 0 || o + 1 == n0 || m == 0 || m + 1 == n1 || g == 0 || g + 1 == n2) ? 1 : 0;

        CellField& cells = band_.surface_cells;
        if (cells.size() >= INDEX_LIMIT) too_many_surface_cells();
        const std::uint32_t cell_index = std::uint32_t(cells.size());
        cells.positions.push_back(position);
        cells.cell_ids.push_back(o + n0 * (m + n1 * g));
        cells.edge_masks.push_back(std::uint16_t(mask));
        cells.boundary.push_back(boundary);

        CellRecord record = EMPTY_RECORD;
        std::array<std::uint32_t, 8> corner_slot;
        unsigned claimed = 0;
        for (unsigned c = 0; c < 8; ++c) {
            if ((claimed >> c) & 1u) continue;
            const Label label = labels[c];
            unsigned set = 0;
            for (unsigned k = c; k < 8; ++k) set |= unsigned(labels[k] == label) << k;
            claimed |= set;
            if (label == 0) continue;

            const std::uint32_t slot = slot_of(label);
            for (unsigned k = c; k < 8; ++k) {
                if ((set >> k) & 1u) corner_slot[k] = slot;
            }
            LabelMesh& mesh = slots_[slot];
            const std::size_t base = mesh.positions.size();
            const unsigned patches = SURFACE[3072 + set];
            if (base + patches > INDEX_LIMIT) too_many_vertices();
            for (unsigned p = 0; p < patches; ++p) {
                mesh.positions.push_back(position);
                mesh.cells.push_back(cell_index);
            }
            if (track) mesh.boundary.insert(mesh.boundary.end(), patches, boundary);
            if (AMBIGUOUS[set]) {
                for (unsigned p = 0; p < patches; ++p) mesh.ambiguous.push_back(std::uint32_t(base + p));
            }
            const std::uint8_t* patch_of_edge = &SURFACE[12 * set];
            for (unsigned e = 0; e < 12; ++e) {
                if (patch_of_edge[e] == NO_PATCH) continue;
                const unsigned side = ((set >> EDGE_CORNERS[e][0]) & 1u) ? 0 : 1;
                record[e][side] = std::uint32_t(base + patch_of_edge[e]);
            }
        }

        if (current_.records.size() >= INDEX_LIMIT) too_many_records();
        const std::uint64_t in_slab = o + n0 * m;
        current_.map[in_slab] = std::uint32_t(current_.records.size());
        current_.records.push_back(record);
        current_.recorded.push_back(in_slab);

        if (!faces) return;
        for (unsigned i = 0; i < 3; ++i) {
            const Label a_label = labels[0], b_label = labels[1u << i];
            if (a_label == b_label) continue;
            if (options_.has_owned && !owns_face(o, m, g, i)) continue;
            std::array<std::uint32_t, 4> a, b;
            if (!face_vertices(o, m, g, i, a, b)) continue;
            if (a_label != 0) slots_[corner_slot[0]].quads.push_back({a[0], a[1], a[2], a[3]});
            if (b_label != 0) slots_[corner_slot[1u << i]].quads.push_back({b[3], b[2], b[1], b[0]});
        }
    }

    // A copy of the current slab's map and records.
    void keep_current(std::vector<std::uint32_t>& map, std::vector<CellRecord>& records) const {
        map = current_.map;
        records = current_.records;
    }

    void finish() {
        auto sorted = sort_by_label(index_, slots_);
        band_.sorted_labels = std::move(sorted.first);
        band_.meshes = std::move(sorted.second);
    }

private:
    std::uint32_t slot_of(Label label) {
        // Neighbouring cells mostly hold the same few labels: try the last two before hashing.
        if (label == recent_label_[0]) return recent_slot_[0];
        if (label == recent_label_[1]) {
            std::swap(recent_label_[0], recent_label_[1]);
            std::swap(recent_slot_[0], recent_slot_[1]);
            return recent_slot_[0];
        }
        const std::uint32_t slot = label_slot(index_, slots_, label);
        recent_label_[1] = recent_label_[0];
        recent_slot_[1] = recent_slot_[0];
        recent_label_[0] = label;
        recent_slot_[0] = slot;
        return slot;
    }

    // The lowest of the four cells around the edge must lie in the owned region.
    bool owns_face(std::uint64_t o, std::uint64_t m, std::uint64_t g, unsigned i) const {
        const std::array<std::uint64_t, 3> cell = {o, m, g};
        for (unsigned k = 0; k < 3; ++k) {
            // note: extents are compared as signed values, so one of 2^63 or more owns nothing.
            const std::int64_t coordinate = std::int64_t(cell[k]) - (k == i ? 0 : 1);
            if (coordinate < 0 || coordinate >= std::int64_t(options_.owned[k])) return false;
        }
        return true;
    }

    bool face_vertices(std::uint64_t o, std::uint64_t m, std::uint64_t g, unsigned i, std::array<std::uint32_t, 4>& a,
                       std::array<std::uint32_t, 4>& b) const {
        const std::uint64_t n0 = dims_[0];
        (void)g;  // the previous slab always exists here: faces are off in a band's first slab
        for (unsigned j = 0; j < 4; ++j) {
            const FaceCell& cell = FACE_CELLS[i][j];
            if (cell.back[0] > o || cell.back[1] > m || cell.back[2] > g) return false;
            const Slab& slab = cell.back[2] ? previous_ : current_;
            const std::uint32_t index = slab.map[(o - cell.back[0]) + n0 * (m - cell.back[1])];
            if (index == NONE) return false;
            const auto& ends = slab.records[index][cell.edge];
            a[j] = ends[0];
            b[j] = ends[1];
        }
        return true;
    }

    const BandOptions& options_;
    std::array<std::uint64_t, 3> dims_;
    std::int64_t origin_;
    CornerReader<Label> corners_;
    Slab current_, previous_;
    SlotIndex index_;
    std::vector<LabelMesh> slots_;
    // Label 0 never takes a slot, so it is a safe "empty" value here.
    std::array<Label, 2> recent_label_{0, 0};
    std::array<std::uint32_t, 2> recent_slot_{NONE, NONE};
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
    BandScan<Label> scan(view, options, dims, origin);
    SurfaceMask<Label> mask(view, dims, origin);
    Band& band = scan.band();
    band.cell_shape = dims;
    band.start = start;
    const std::uint64_t n0 = dims[0], n1 = dims[1];

    for (std::uint64_t g0 = start; g0 < end; g0 += 64) {
        const unsigned count = unsigned(std::min<std::uint64_t>(64, end - g0));
        mask.scan(g0, count);
        for (unsigned j = 0; j < count; ++j) {
            const std::uint64_t g = g0 + j;
            scan.begin_slab();
            const bool faces = g > start || first_band;
            if ((mask.slab_bits() >> j) & 1u) {
                for (std::uint64_t m = 0; m < n1; ++m) {
                    if (!((mask.row_bits(m) >> j) & 1u)) continue;
                    const std::uint64_t* row = mask.row(m);
                    for (std::uint64_t o = 0; o < n0; ++o) {
                        if ((row[o] >> j) & 1u) scan.surface_cell(o, m, g, faces);
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

    // 2. Cells and vertices, band after band; presize everything first.
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
    CellField& cells = merged.surface_cells;
    cells.positions.reserve(cell_total);
    cells.cell_ids.reserve(cell_total);
    cells.edge_masks.reserve(cell_total);
    cells.boundary.reserve(cell_total);
    for (std::size_t j = 0; j < label_count; ++j) {
        if (vertex_totals[j] > INDEX_LIMIT) too_many_vertices();
        LabelMesh& mesh = merged.meshes[j];
        mesh.positions.reserve(vertex_totals[j]);
        mesh.cells.reserve(vertex_totals[j]);
        mesh.ambiguous.reserve(ambiguous_totals[j]);
        if (options.track_boundary) mesh.boundary.reserve(vertex_totals[j]);
    }

    std::vector<std::vector<std::uint32_t>> vertex_offset(band_count);
    for (std::size_t p = 0; p < band_count; ++p) {
        Band& band = bands[p];
        const std::uint32_t cell_offset = std::uint32_t(cells.size());
        cells.append(band.surface_cells);
        band.surface_cells = CellField();
        vertex_offset[p].resize(band.sorted_labels.size());
        for (std::size_t local = 0; local < band.sorted_labels.size(); ++local) {
            const std::uint32_t j = *label_index.find(band.sorted_labels[local]);
            LabelMesh& source = band.meshes[local];
            LabelMesh& target = merged.meshes[j];
            const std::uint32_t offset = std::uint32_t(target.positions.size());
            vertex_offset[p][local] = offset;
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
                    if (options.has_owned) {
                        const std::array<std::uint64_t, 3> cell = {o, m, g};
                        bool owned = true;
                        for (unsigned axis = 0; axis < 3; ++axis) {
                            const std::int64_t coordinate = std::int64_t(cell[axis]) - (axis == i ? 0 : 1);
                            if (coordinate < 0 || coordinate >= std::int64_t(options.owned[axis])) owned = false;
                        }
                        if (!owned) continue;
                    }
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

    // 4. Quads: each seam's faces land between the bands on either side of it.
    for (std::size_t j = 0; j < label_count; ++j) {
        std::size_t total = 0;
        for (std::size_t p = 0; p < band_count; ++p) {
            if (p >= 1) total += seam_quads[p][j].size();
            if (local_position[p][j] != NONE) total += bands[p].meshes[local_position[p][j]].quads.size();
        }
        std::vector<Quad>& target = merged.meshes[j].quads;
        target.reserve(total);
        for (std::size_t p = 0; p < band_count; ++p) {
            if (p >= 1) target.insert(target.end(), seam_quads[p][j].begin(), seam_quads[p][j].end());
            const std::uint32_t local = local_position[p][j];
            if (local == NONE) continue;
            const std::uint32_t offset = vertex_offset[p][local];
            for (const Quad& quad : bands[p].meshes[local].quads)
                target.push_back({quad[0] + offset, quad[1] + offset, quad[2] + offset, quad[3] + offset});
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
    // Smoothing is refused before a pass is started; reaching here with it configured is a
    // broken invariant, found before any work is done.
    if (iteration_count(env.smoothing) != 0 || std::holds_alternative<Fairing>(env.smoothing))
        throw InternalFault("smoothing reached an extraction pass that cannot apply it");

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
    return result;
}

template Extraction run<std::uint8_t>(const RunEnvironment<std::uint8_t>&, const Parallel&);
template Extraction run<std::uint16_t>(const RunEnvironment<std::uint16_t>&, const Parallel&);
template Extraction run<std::uint32_t>(const RunEnvironment<std::uint32_t>&, const Parallel&);
template Extraction run<std::uint64_t>(const RunEnvironment<std::uint64_t>&, const Parallel&);

}  // namespace tarna
