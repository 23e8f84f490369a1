// Surface extraction for every label at once, on the dual grid (surface nets, Gibson 1998:
// "Constrained elastic surface nets").
//
// Input: a VolumeView of unsigned labels and the extraction options. Output: an Extraction, one
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
// summary read shows to be uniform; the cell loop then tests whole rows of cells at once
// (planes.hpp).
#include "extract.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <numeric>
#include <optional>
#include <type_traits>

#include "planes.hpp"
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
[[noreturn]] void too_many_vertices() { throw LimitError("a label cannot have more than 4294967295 vertices"); }
[[noreturn]] void too_many_records() { throw LimitError("a slab cannot index more than 4294967295 cell records"); }

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
// each crossed edge in ascending order its entry in a CellRecord and its patch. Sets crossing
// fewer than WRITTEN edges repeat their last entry up to there, so a label can always write the
// first WRITTEN: a repeated write stores what is already there.
inline constexpr unsigned WRITTEN = 8;
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
        for (unsigned k = crossed.count; k < WRITTEN && crossed.count > 0; ++k) {
            crossed.entry[k] = crossed.entry[crossed.count - 1];
            crossed.patch[k] = crossed.patch[crossed.count - 1];
        }
    }
    return table;
}
inline constexpr auto CROSSED = make_crossed();
static_assert(CROSSED[0x01].mask == 0x007 && CROSSED[0xFE].mask == 0x007 && CROSSED[0x01].entry[2] == 4 &&
              CROSSED[0xFE].entry[2] == 5 && CROSSED[0x00].count == 0 && CROSSED[0x69].count == 12);

// Per corner set, 0xFF in byte k for each corner k it holds.
inline constexpr std::uint64_t BYTE_ONES = 0x0101010101010101;
inline constexpr auto SET_BYTES = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned set = 0; set < 256; ++set)
        for (unsigned corner = 0; corner < 8; ++corner)
            if ((set >> corner) & 1u) table[set] |= std::uint64_t{0xFF} << (8 * corner);
    return table;
}();
static_assert(SET_BYTES[0x81] == 0xFF000000000000FF);

// A band's own reading of the voxel planes it shares with its neighbours, (n0 + 1) x (n1 + 1)
// labels each, axis 0 fastest: its first two planes, from which the seam faces before it are
// made, and its last. The array is read in place and a racing writer may change it, so two
// bands can read their common plane differently; the merge compares the readings instead of
// reading the array a third time.
template <class Label>
struct BandPlanes {
    std::vector<Label> first;  // planes z' = start and start + 1
    std::vector<Label> last;   // plane z' = end
};

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

// A slab's records as faces read them: the slab map, from a cell's o + n0 m to its record.
struct SlabRecords {
    const std::uint32_t* map = nullptr;
    const CellRecord* records = nullptr;
};

// How far back, in slab-map entries, the j-th cell around the edge along axis i lies from the
// examining cell: back[0] + n0 back[1] of FACE_CELLS.
using MapSteps = std::array<std::array<std::uint64_t, 4>, 3>;

MapSteps map_steps(std::uint64_t n0) {
    MapSteps steps{};
    for (unsigned i = 0; i < 3; ++i)
        for (unsigned j = 0; j < 4; ++j) steps[i][j] = FACE_CELLS[i][j].back[0] + n0 * FACE_CELLS[i][j].back[1];
    return steps;
}

// The examining cell (o, m) of slab g; its own slab's records and the previous slab's hold the
// four cells around each edge leaving its corner 0.
struct FaceSite {
    std::uint64_t o = 0, m = 0, g = 0, n0 = 0;
    SlabRecords here, before;
    const MapSteps* steps = nullptr;
};

// Per cell j around the edge: its record entries for the edge, and whether it lies in the
// previous slab.
struct EdgeEnds {
    std::array<const std::array<std::uint32_t, 2>*, 4> ends;
    std::array<bool, 4> before;
};

// The record entries of the edge along axis i in the four cells around it, in QUAD_CELLS order;
// false when one of the cells lies outside the grid or is not a surface cell.
[[gnu::always_inline]] inline bool edge_ends(const FaceSite& site, unsigned i, EdgeEnds& out) {
    // Away from the grid's low faces on axes 0 and 1 all four cells exist there; the slab
    // before the first has no records, so axis 2 needs no test.
    const bool inner = site.o > 0 && site.m > 0;
    const std::uint64_t in_slab = site.o + site.n0 * site.m;
#pragma GCC unroll 4
    for (unsigned j = 0; j < 4; ++j) {
        const FaceCell& cell = FACE_CELLS[i][j];
        if (!inner && (cell.back[0] > site.o || cell.back[1] > site.m)) return false;
        out.before[j] = cell.back[2] != 0;
        const SlabRecords& slab = out.before[j] ? site.before : site.here;
        const std::uint32_t index = slab.map[in_slab - (*site.steps)[i][j]];
        if (index == NONE) return false;
        out.ends[j] = &slab.records[index][cell.edge];
    }
    return true;
}

// The faces around the three edges leaving corner 0 of the cell at `site`, axis 0, 1, 2 in
// turn. The edge along axis i joins corner 0 (label A) to corner 1 << i (label B); where the
// labels differ, the owned region keeps the face and all four cells around the edge are
// surface cells, A gets the quad over its vertices in QUAD_CELLS order and B the same quad
// reversed, so each faces away from its own label. `vertex(label, side, before, entry)` turns a
// record entry into the label's vertex number; `emit(corner, quad)` stores a quad for the label
// at that corner. The band scan and the seam merge both make every face here.
template <class Corners, class Vertex, class Emit>
[[gnu::always_inline]] inline void make_faces(const Corners& corners, const FaceSite& site, const BandOptions& options,
                                              Vertex&& vertex, Emit&& emit) {
#pragma GCC unroll 3
    for (unsigned i = 0; i < 3; ++i) {
        const auto a_label = corners[0], b_label = corners[1u << i];
        if (a_label == b_label) continue;
        if (options.has_owned && !owns_face(options, site.o, site.m, site.g, i)) continue;
        EdgeEnds edge;
        if (!edge_ends(site, i, edge)) continue;
        auto end = [&](decltype(a_label) label, unsigned side, unsigned j) {
            return vertex(label, side, edge.before[j], (*edge.ends[j])[side]);
        };
        if (a_label != 0)
            emit(0u, Quad{end(a_label, 0, 0), end(a_label, 0, 1), end(a_label, 0, 2), end(a_label, 0, 3)});
        if (b_label != 0)
            emit(1u << i, Quad{end(b_label, 1, 3), end(b_label, 1, 2), end(b_label, 1, 1), end(b_label, 1, 0)});
    }
}

// Vertices a label may have in a band, or in all bands, for its quads to stay in 16 bits. The
// band scan and the merge must agree on it.
inline std::size_t short_limit(const BandOptions& options) {
    return std::min(options.short_quad_vertices, SHORT_QUAD_VERTICES);
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
    [[gnu::always_inline]] CellRecord& add(std::uint64_t in_slab) {
        if (record_count == records.size()) [[unlikely]]
            grow();
        map[in_slab] = std::uint32_t(record_count);
        recorded[record_count] = in_slab;
        return records[record_count++];
    }

    // Kept out of line, so `add` stays a few instructions in the cell loop.
    [[gnu::noinline]] void grow() {
        if (record_count >= INDEX_LIMIT) too_many_records();
        // Never past INDEX_LIMIT records, so the count reaching it comes through here.
        const std::size_t grown = std::min<std::size_t>(std::max<std::size_t>(1024, 2 * records.size()), INDEX_LIMIT);
        records.resize(grown);
        recorded.resize(grown);
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
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return index.labels[a] < index.labels[b]; });
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

// Emptied arrays of an earlier result, by capacity, for a pass to grow its own arrays into.
// Freeing a whole result at once lets the allocator give its memory back to the system, so
// every pass of a run of passes would fault in fresh pages for all its output (a third of the
// time of a 128^3 dense chunk at one thread); growing into these reuses pages already mapped.
template <class T>
class SpareBuffers {
public:
    void add(std::vector<T>&& buffer) {
        if (buffer.capacity() == 0) return;
        buffer.clear();
        buckets_[bucket_of(buffer.capacity())].push_back(std::move(buffer));
    }

    // Turns `array` into one with room for at least `capacity` elements, same contents, from a
    // spare holding at most four times that; the array it leaves becomes a spare. False when
    // there is none.
    bool grow_into(std::vector<T>& array, std::size_t capacity) {
        const unsigned first = bucket_of(capacity);
        for (unsigned bucket = first; bucket < std::min<unsigned>(first + 3, BUCKETS); ++bucket) {
            std::vector<std::vector<T>>& spares = buckets_[bucket];
            if (spares.empty() || spares.back().capacity() < capacity) continue;
            std::vector<T> buffer = std::move(spares.back());
            spares.pop_back();
            buffer.assign(array.begin(), array.end());  // within its capacity: no allocation
            std::swap(array, buffer);
            add(std::move(buffer));
            return true;
        }
        return false;
    }

private:
    static constexpr unsigned BUCKETS = 64;
    // Bucket b holds capacities in [2^b, 2^(b+1)).
    static unsigned bucket_of(std::size_t capacity) { return unsigned(std::bit_width(capacity) - 1); }

    std::array<std::vector<std::vector<T>>, BUCKETS> buckets_;
};

// What a band may grow its arrays into.
struct Spares {
    SpareBuffers<std::uint32_t> indices;  // vertex cells, ambiguous vertices
    SpareBuffers<Quad> quads;
    SpareBuffers<ShortQuad> short_quads;
    SpareBuffers<Position> positions;
    SpareBuffers<std::uint64_t> cell_ids;
    SpareBuffers<std::uint16_t> edge_masks;
    SpareBuffers<std::uint8_t> flags;
};

// An earlier result's arrays, dealt out to `count` bands in turn.
std::vector<Spares> deal_spares(Extraction* recycled, std::size_t count) {
    std::vector<Spares> spares(count);
    if (recycled == nullptr || count == 0) return spares;
    CellField& cells = recycled->surface_cells;
    // The first band's cell arrays take the whole grid's cells.
    spares[0].positions.add(std::move(cells.positions));
    spares[0].cell_ids.add(std::move(cells.cell_ids));
    spares[0].edge_masks.add(std::move(cells.edge_masks));
    spares[0].flags.add(std::move(cells.boundary));
    for (std::size_t j = 0; j < recycled->meshes.size(); ++j) {
        LabelMesh& mesh = recycled->meshes[j];
        Spares& band = spares[j % count];
        band.indices.add(std::move(mesh.cells));
        band.quads.add(std::move(mesh.quads));
        band.short_quads.add(std::move(mesh.short_quads));
        band.indices.add(std::move(mesh.ambiguous));
        band.positions.add(std::move(mesh.positions));
        band.flags.add(std::move(mesh.boundary));
    }
    *recycled = Extraction{};
    return spares;
}

// Room for at least `capacity` elements, from a spare when there is one.
template <class T>
void reserve(std::vector<T>& array, std::size_t capacity, SpareBuffers<T>& spares) {
    if (capacity <= array.capacity()) return;
    if (!spares.grow_into(array, capacity)) array.reserve(capacity);
}

// Growth kept out of line, so the appends in the cell loop stay a compare and a store (the
// compiler otherwise calls out for every quad of the big loop). GCC 12 still calls out for
// push_back of a quad there, but not for emplace_back.
template <class T>
[[gnu::noinline]] void grow(std::vector<T>& array, SpareBuffers<T>& spares) {
    reserve(array, std::max<std::size_t>(16, 2 * array.capacity()), spares);
}

template <class T>
[[gnu::always_inline]] inline void append(std::vector<T>& array, const T& value, SpareBuffers<T>& spares) {
    if (array.size() == array.capacity()) [[unlikely]]
        grow(array, spares);
    array.emplace_back(value);
}

// Every label's arrays grow side by side, far more streams than the hardware prefetcher
// follows, and each write into a fresh cache line would wait for it: ask for the line two ahead
// of the end early. (A prefetch never faults, so it may point past the allocation.)
template <class T>
inline void prefetch_tail(const std::vector<T>& array) {
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(array.data() + array.size());
    __builtin_prefetch(reinterpret_cast<const void*>(end + 128), 1);
}

template <class Label>
class BandScan {
public:
    BandScan(const BandOptions& options, const std::array<std::uint64_t, 3>& dims, std::int64_t origin,
             std::uint64_t projected_slabs, Spares& spares)
        : options_(options), dims_(dims), origin_(origin), projected_slabs_(projected_slabs), spares_(spares) {
        for (Slab* slab : {&current_, &previous_}) slab->map.assign(dims[0] * dims[1], NONE);
        map_steps_ = map_steps(dims[0]);
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
        const std::int64_t x0 = std::int64_t(o) + origin_, x1 = std::int64_t(m) + origin_,
                           x2 = std::int64_t(g) + origin_;

        // The labels in order of their lowest corner, each with its corner set; the edge mask is
        // the union of the sets' crossed edges. Byte k of `corner_groups` is the group holding
        // corner k, worked out without a branch: which group that is follows no pattern a branch
        // predictor could learn.
        std::array<Label, 8> group_label;
        std::array<std::uint8_t, 8> group_set;
        unsigned group_count = 0, mask = 0;
        std::uint64_t corner_groups = 0;
        for (unsigned unclaimed = 0xFF; unclaimed != 0;) {
            const Label label = corners[unsigned(std::countr_zero(unclaimed))];
            const unsigned set = corners.set_of(label);
            unclaimed &= ~set;
            mask |= CROSSED[set].mask;
            group_label[group_count] = label;
            group_set[group_count] = std::uint8_t(set);
            corner_groups |= SET_BYTES[set] & (group_count * BYTE_ONES);
            ++group_count;
        }

        const auto& centroid = CENTROID[mask];
        const std::int32_t p0 = std::int32_t(x0 * FIXED_ONE + centroid[0]),
                           p1 = std::int32_t(x1 * FIXED_ONE + centroid[1]),
                           p2 = std::int32_t(x2 * FIXED_ONE + centroid[2]);
        const bool track = options_.track_boundary;
        const std::uint8_t boundary =
            track && (o == 0 || o + 1 == n0 || m == 0 || m + 1 == n1 || g == 0 || g + 1 == n2) ? 1 : 0;

        CellField& cells = band_.surface_cells;
        if (cells.size() >= INDEX_LIMIT) too_many_surface_cells();
        if (cells.size() == cells.positions.capacity()) reserve_cells();
        const std::uint32_t cell_index = std::uint32_t(cells.size());
        cells.positions.push_back({p0, p1, p2});
        // Named: GCC 12 calls out of line for push_back of this expression in the cell loop.
        const std::uint64_t cell_id = o + n0 * (m + n1 * g);
        cells.cell_ids.push_back(cell_id);
        cells.edge_masks.push_back(std::uint16_t(mask));
        cells.boundary.push_back(boundary);

        // The record is filled in place: one assembled aside from narrow stores and then copied
        // in whole stalls on store forwarding.
        std::uint32_t* record_entries = current_.add(o + n0 * m)[0].data();
        // Slots of the labels of the groups, for the faces.
        std::array<std::uint32_t, 8> group_slot{};
        unsigned wide_groups = 0;  // bit g: group g's label has its quads in 32 bits
        for (unsigned group = 0; group < group_count; ++group) {
            const Label label = group_label[group];
            if (label == 0) continue;
            const unsigned set = group_set[group];
            const std::uint32_t slot = slot_of(label);
            group_slot[group] = slot;

            LabelMesh& mesh = slots_[slot];
            // Vertices keep no position of their own: they share their cell's.
            const std::size_t base = mesh.cells.size();
            const unsigned patches = patch_count(set);
            if (base + patches > INDEX_LIMIT) too_many_vertices();
            for (unsigned p = 0; p < patches; ++p) append(mesh.cells, cell_index, spares_.indices);
            prefetch_tail(mesh.cells);
            // The quads' corners are among the label's vertices so far: once these pass the short
            // limit, the label's quads move to 32 bits.
            const bool wide = base + patches > short_limit_;
            if (wide && base <= short_limit_) [[unlikely]]
                widen_quads(mesh);
            wide_groups |= unsigned(wide) << group;
            // This label's faces come next.
            if (wide) {
                prefetch_tail(mesh.quads);
            } else {
                prefetch_tail(mesh.short_quads);
            }
            if (AMBIGUOUS[set]) {
                for (unsigned p = 0; p < patches; ++p) append(mesh.ambiguous, std::uint32_t(base + p), spares_.indices);
            }
            // The first WRITTEN entries without a loop: one whose length follows the set keeps
            // missing its end.
            const CrossedEdges& crossed = CROSSED[set];
#pragma GCC unroll 8
            for (unsigned k = 0; k < WRITTEN; ++k)
                record_entries[crossed.entry[k]] = std::uint32_t(base + crossed.patch[k]);
            for (unsigned k = WRITTEN; k < crossed.count; ++k)
                record_entries[crossed.entry[k]] = std::uint32_t(base + crossed.patch[k]);
        }

        if (!faces) return;
        const FaceSite site{o, m, g, n0, records_of(current_), records_of(previous_), &map_steps_};
        if (wide_groups == 0) [[likely]] {
            make_faces(
                corners, site, options_, [](Label, unsigned, bool, std::uint32_t entry) { return entry; },
                [&](unsigned corner, const Quad& quad) {
                    append(slots_[group_slot[(corner_groups >> (8 * corner)) & 0xFF]].short_quads, short_quad(quad),
                           spares_.short_quads);
                });
        } else {
            faces_of_wide_labels(corners, site, corner_groups, group_slot, wide_groups);
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
    static constexpr std::uint64_t SLABS_BEFORE_PROJECTING = 8;  // fewer say little about density

    void reserve_cells() {
        CellField& cells = band_.surface_cells;
        const std::uint64_t size = cells.size();
        std::uint64_t target = std::max<std::uint64_t>(1024, 2 * size);
        // Density varies along the grid: the projection is from whole slabs, with a quarter to spare.
        if (slabs_done_ > SLABS_BEFORE_PROJECTING && slabs_done_ < projected_slabs_) {
            const std::uint64_t projected = cells_before_slab_ / (slabs_done_ - 1) * projected_slabs_;
            target = std::max(target, projected + projected / 4);
        }
        target = std::min<std::uint64_t>(target, INDEX_LIMIT);
        reserve(cells.positions, target, spares_.positions);
        reserve(cells.cell_ids, target, spares_.cell_ids);
        reserve(cells.edge_masks, target, spares_.edge_masks);
        reserve(cells.boundary, target, spares_.flags);
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

    // A cell's faces when some of its labels keep quads in 32 bits: out of line, so that the cell
    // loop holds one width's appends only (with both, the compiler called out for every append).
    [[gnu::noinline]] void faces_of_wide_labels(const CellCorners<Label>& corners, const FaceSite& site,
                                                std::uint64_t corner_groups,
                                                const std::array<std::uint32_t, 8>& group_slot, unsigned wide_groups) {
        make_faces(
            corners, site, options_, [](Label, unsigned, bool, std::uint32_t entry) { return entry; },
            [&](unsigned corner, const Quad& quad) {
                const unsigned group = unsigned(corner_groups >> (8 * corner)) & 0xFF;
                LabelMesh& mesh = slots_[group_slot[group]];
                if ((wide_groups >> group & 1) != 0) {
                    append(mesh.quads, quad, spares_.quads);
                } else {
                    append(mesh.short_quads, short_quad(quad), spares_.short_quads);
                }
            });
    }

    [[gnu::noinline]] void widen_quads(LabelMesh& mesh) {
        reserve(mesh.quads, 2 * mesh.short_quads.size(), spares_.quads);
        for (const ShortQuad quad : mesh.short_quads) mesh.quads.push_back(wide_quad(quad));
        spares_.short_quads.add(std::move(mesh.short_quads));
    }

    static SlabRecords records_of(const Slab& slab) { return {slab.map.data(), slab.records.data()}; }

    const BandOptions& options_;
    std::array<std::uint64_t, 3> dims_;
    std::int64_t origin_;
    std::uint64_t projected_slabs_;
    Spares& spares_;
    std::size_t short_limit_ = short_limit(options_);
    std::uint64_t slabs_done_ = 0;
    std::uint64_t cells_before_slab_ = 0;
    MapSteps map_steps_{};
    Slab current_, previous_;
    SlotIndex index_;
    std::vector<LabelMesh> slots_;
    std::array<Label, 64> cache_labels_;
    std::array<std::uint32_t, 64> cache_slots_{};
    Band band_;
};

// With `shared`, the band's readings of the planes it shares are kept there.
template <class Label>
Band extract_band(const VolumeView<Label>& view, const BandOptions& options, const std::array<std::uint64_t, 3>& dims,
                  std::int64_t origin, std::uint64_t start, std::uint64_t end, bool first_band, Spares& spares,
                  BandPlanes<Label>* shared = nullptr, const Label* uniform = nullptr) {
    if (start >= end) {
        Band empty;
        empty.cell_shape = dims;
        empty.start = start;
        return empty;
    }
    // The first band's CellField is projected over the whole grid, the others' over themselves.
    BandScan<Label> scan(options, dims, origin, first_band ? dims[2] : end - start, spares);
    VoxelPlanes<Label> planes(view, dims, origin, start, end, uniform);
    Band& band = scan.band();
    band.cell_shape = dims;
    band.start = start;
    const std::uint64_t n0 = dims[0], n1 = dims[1];
    // One flag byte per cell of a row, padded so the search reads whole words.
    std::vector<std::uint8_t> flags(n0 + 8, 0);
    const std::uint64_t height = planes.any_active() ? planes.height() : end - start;
    const std::uint64_t plane_area = (n0 + 1) * (n1 + 1);
    // The band's last slabs, scanned while its output is largest, are a chunk of their own, read
    // with room for no more planes than they need.
    constexpr std::uint64_t TAIL = VoxelPlanes<Label>::MIN_HEIGHT;

    for (std::uint64_t g0 = start, count = 0; g0 < end; g0 += count) {
        const std::uint64_t left = end - g0;
        count = std::min(height, left);
        if (planes.any_active()) {
            if (left > TAIL && left - count < TAIL) count = left - TAIL;  // stop where the tail begins
            if (left <= TAIL) planes.shrink(left);
            planes.load(g0, count);
        }
        if (shared != nullptr && g0 == start) {
            shared->first.resize(2 * plane_area);
            planes.copy_plane(0, shared->first.data());
            planes.copy_plane(1, shared->first.data() + plane_area);
        }
        if (shared != nullptr && g0 + count == end) {
            shared->last.resize(plane_area);
            planes.copy_plane(count, shared->last.data());
        }
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
    spares = Spares{};  // what the band did not grow into is freed before the merge allocates
    return std::move(band);
}

// ---------------------------------------------------------------------------------------------
// Seam merge.

struct Merged {
    std::vector<std::uint64_t> sorted_labels;
    std::vector<LabelMesh> meshes;
    CellField surface_cells;
};

// Where each band's labels land in the merged result.
struct LabelPlaces {
    FxMap<std::uint64_t, std::uint32_t> index;               // label -> merged position
    std::vector<std::vector<std::uint32_t>> local_position;  // [band][merged]: band-local position, or NONE
    std::vector<std::vector<std::uint32_t>> vertex_offset;   // [band][local]: vertices the label has in earlier bands
    std::vector<std::uint32_t> cell_offset;                  // [band]: surface cells of earlier bands
    std::size_t cell_total = 0;                              // surface cells of all bands
    std::vector<std::size_t> vertex_totals;                  // [merged]
    std::vector<std::size_t> ambiguous_totals;               // [merged]
};

// Step 1: the labels of all bands, ascending and distinct, with their places in every band and
// the offsets their vertices and cells get there.
LabelPlaces merge_labels(const std::vector<Band>& bands, Merged& merged) {
    for (const Band& band : bands)
        merged.sorted_labels.insert(merged.sorted_labels.end(), band.sorted_labels.begin(), band.sorted_labels.end());
    std::sort(merged.sorted_labels.begin(), merged.sorted_labels.end());
    merged.sorted_labels.erase(std::unique(merged.sorted_labels.begin(), merged.sorted_labels.end()),
                               merged.sorted_labels.end());
    const std::size_t label_count = merged.sorted_labels.size();
    merged.meshes.resize(label_count);

    LabelPlaces places;
    places.index.reserve(label_count);
    for (std::size_t j = 0; j < label_count; ++j) places.index.insert(merged.sorted_labels[j], std::uint32_t(j));
    places.local_position.assign(bands.size(), std::vector<std::uint32_t>(label_count, NONE));
    places.vertex_offset.resize(bands.size());
    places.cell_offset.assign(bands.size(), 0);
    places.vertex_totals.assign(label_count, 0);
    places.ambiguous_totals.assign(label_count, 0);
    std::size_t cell_total = 0;
    for (std::size_t p = 0; p < bands.size(); ++p) {
        const Band& band = bands[p];
        places.cell_offset[p] = std::uint32_t(cell_total);
        cell_total += band.surface_cells.size();
        if (cell_total > INDEX_LIMIT) too_many_surface_cells();
        places.vertex_offset[p].resize(band.sorted_labels.size());
        for (std::size_t local = 0; local < band.sorted_labels.size(); ++local) {
            const std::uint32_t j = *places.index.find(band.sorted_labels[local]);
            places.local_position[p][j] = std::uint32_t(local);
            places.vertex_offset[p][local] = std::uint32_t(places.vertex_totals[j]);
            places.vertex_totals[j] += band.meshes[local].cells.size();
            places.ambiguous_totals[j] += band.meshes[local].ambiguous.size();
            if (places.vertex_totals[j] > INDEX_LIMIT) too_many_vertices();
        }
    }
    places.cell_total = cell_total;
    return places;
}

// Step 2, for the cells: every band's CellField behind the first's, one array per task, so the
// copy (and the first touch of the fresh pages it writes) is spread over the workers: the
// positions take as many bytes as the other three arrays together.
inline constexpr std::size_t CELL_TASKS = 3;

// Bytes of a band's cell array copied before the pages they came from are given back: the copy
// then never holds a whole band's cells twice.
inline constexpr std::size_t CELL_COPY_STEP = std::size_t{1} << 20;

template <class T>
void append_cell_array(std::vector<Band>& bands, std::vector<T> CellField::* array, std::size_t total,
                       std::vector<T>& target) {
    target = std::move(bands[0].surface_cells.*array);
    target.reserve(total);
    constexpr std::size_t step = CELL_COPY_STEP / sizeof(T);
    for (std::size_t p = 1; p < bands.size(); ++p) {
        std::vector<T>& source = bands[p].surface_cells.*array;
        const T* const data = source.data();
        const void* kept = data;
        for (std::size_t from = 0; from < source.size(); from += step) {
            const T* const to = data + std::min(source.size(), from + step);
            target.insert(target.end(), data + from, to);
            kept = release_pages(kept, to);
        }
        source = std::vector<T>();  // `source = {}` would keep the capacity
    }
}

void append_cells(std::vector<Band>& bands, const LabelPlaces& places, std::size_t task, Merged& merged) {
    CellField& cells = merged.surface_cells;
    const std::size_t total = places.cell_total;
    if (task == 0) {
        append_cell_array(bands, &CellField::positions, total, cells.positions);
    } else if (task == 1) {
        append_cell_array(bands, &CellField::cell_ids, total, cells.cell_ids);
    } else {
        append_cell_array(bands, &CellField::edge_masks, total, cells.edge_masks);
        append_cell_array(bands, &CellField::boundary, total, cells.boundary);
    }
}

// Step 2, for one label: its vertices from every band that holds it, in band order. The arrays
// of the first band that holds it need no offset, so they are taken over whole (their cells
// shifted in place); most labels live in one band.
void append_vertices(std::vector<Band>& bands, const LabelPlaces& places, std::size_t j, LabelMesh& target) {
    for (std::size_t p = 0; p < bands.size(); ++p) {
        const std::uint32_t local = places.local_position[p][j];
        if (local == NONE) continue;
        LabelMesh& source = bands[p].meshes[local];
        const std::uint32_t cell_offset = places.cell_offset[p];
        const std::uint32_t offset = places.vertex_offset[p][local];
        if (offset == 0) {
            target.cells = std::move(source.cells);
            target.ambiguous = std::move(source.ambiguous);
            for (std::uint32_t& cell : target.cells) cell += cell_offset;
            if (target.cells.size() == places.vertex_totals[j]) return;  // in no later band
            target.cells.reserve(places.vertex_totals[j]);
            target.ambiguous.reserve(places.ambiguous_totals[j]);
            continue;
        }
        for (const std::uint32_t cell : source.cells) target.cells.push_back(cell + cell_offset);
        for (const std::uint32_t vertex : source.ambiguous) target.ambiguous.push_back(vertex + offset);
        // Only the quads are still needed.
        source.cells = std::vector<std::uint32_t>();
        source.ambiguous = std::vector<std::uint32_t>();
    }
    TARNA_ASSERT(target.cells.size() == places.vertex_totals[j], "merged vertices lost or doubled");
}

// Step 3: the faces of band k's first slab, which need band k - 1's last slab; per merged
// label, in the order a single scan would make them.
template <class Label>
std::vector<std::vector<Quad>> make_seam_faces(const std::vector<Band>& bands, std::size_t k, const LabelPlaces& places,
                                               const BandPlanes<Label>& planes, const BandOptions& options,
                                               const std::array<std::uint64_t, 3>& dims) {
    const Band& here = bands[k];
    const Band& before = bands[k - 1];
    const std::uint64_t n0 = dims[0], n1 = dims[1], g = here.start;
    const MapSteps steps = map_steps(n0);
    std::vector<std::vector<Quad>> quads(places.vertex_totals.size());
    // A record entry is local to its band and label: find the label's place in that band.
    auto to_merged = [&](std::uint64_t label, unsigned, bool in_before, std::uint32_t entry) {
        const std::size_t p = in_before ? k - 1 : k;
        const std::size_t local = lookup_label(bands[p].sorted_labels, label);
        TARNA_ASSERT(local != SIZE_MAX, "seam vertex of a label its band does not hold");
        return entry + places.vertex_offset[p][local];
    };
    for (std::uint64_t m = 0; m < n1; ++m) {
        for (std::uint64_t o = 0; o < n0; ++o) {
            // The first slab's map already knows its surface cells.
            if (here.first_map[o + n0 * m] == NONE) continue;
            // Corner c of cell (o, m, g) is voxel (o + (c & 1), m + (c >> 1 & 1)) of plane c >> 2.
            std::array<Label, 8> labels;
            for (unsigned c = 0; c < 8; ++c)
                labels[c] = planes.first[(c >> 2) * (n0 + 1) * (n1 + 1) + (m + (c >> 1 & 1)) * (n0 + 1) + o + (c & 1)];
            const FaceSite site{o,
                                m,
                                g,
                                n0,
                                {here.first_map.data(), here.first_records.data()},
                                {before.last_map.data(), before.last_records.data()},
                                &steps};
            make_faces(labels, site, options, to_merged, [&](unsigned corner, const Quad& quad) {
                quads[*places.index.find(labels[corner])].push_back(quad);
            });
        }
    }
    return quads;
}

// Step 4, for one label: its quads, band after band, each seam's faces between the bands on
// either side of it, in 16 bits if all its vertices allow. Whatever comes first needs no offset
// and is taken over whole when it has the target's width.
void append_quads(std::vector<Band>& bands, const LabelPlaces& places,
                  std::vector<std::vector<std::vector<Quad>>>& seam_quads, std::size_t j, std::size_t short_limit,
                  LabelMesh& target) {
    std::size_t total = 0;
    for (std::size_t p = 0; p < bands.size(); ++p) {
        if (p >= 1) total += seam_quads[p][j].size();
        if (places.local_position[p][j] != NONE) total += quad_count(bands[p].meshes[places.local_position[p][j]]);
    }
    auto append_all = [&](auto& to, auto& from, std::uint32_t offset) {
        if (from.empty()) return;
        if constexpr (std::is_same_v<decltype(&to), decltype(&from)>) {
            if (to.empty() && offset == 0) {
                to = std::move(from);
                to.reserve(total);
                return;
            }
        }
        to.reserve(total);
        for (const auto& stored : from) {
            Quad quad;
            if constexpr (std::is_same_v<std::decay_t<decltype(stored)>, ShortQuad>) {
                quad = wide_quad(stored);
            } else {
                quad = stored;
            }
            for (std::uint32_t& corner : quad) corner += offset;
            if constexpr (std::is_same_v<typename std::decay_t<decltype(to)>::value_type, ShortQuad>) {
                // Packing a larger index would keep its low bits only, silently.
                TARNA_ASSERT(std::max({quad[0], quad[1], quad[2], quad[3]}) < SHORT_QUAD_VERTICES,
                             "merged quad corner beyond 16 bits");
                to.push_back(short_quad(quad));
            } else {
                to.push_back(quad);
            }
        }
    };
    auto append_from = [&](auto& to) {
        for (std::size_t p = 0; p < bands.size(); ++p) {
            if (p >= 1) append_all(to, seam_quads[p][j], 0);
            const std::uint32_t local = places.local_position[p][j];
            if (local == NONE) continue;
            LabelMesh& source = bands[p].meshes[local];
            append_all(to, source.short_quads, places.vertex_offset[p][local]);
            append_all(to, source.quads, places.vertex_offset[p][local]);
        }
    };
    if (places.vertex_totals[j] <= short_limit) {
        append_from(target.short_quads);
    } else {
        append_from(target.quads);
    }
    TARNA_ASSERT(quad_count(target) == total, "merged quads lost or doubled");
}

// Labels per task of the merge's parallel steps: enough to keep per-task overhead small, few
// enough that the tasks spread evenly.
inline constexpr std::size_t LABELS_PER_TASK = 64;

// Joins the bands, in order, into what one band over the whole grid would give.
template <class Label>
Merged merge(std::vector<Band>&& bands, const std::vector<BandPlanes<Label>>& planes, const BandOptions& options,
             const std::array<std::uint64_t, 3>& dims, const Parallel& parallel) {
    // Faces across a seam join cells the bands on either side made from their own readings of
    // the plane between them: those must agree, or the array changed while it was read.
    for (std::size_t k = 1; k < bands.size(); ++k) {
        const std::vector<Label>& below = planes[k - 1].last;
        if (!std::equal(below.begin(), below.end(), planes[k].first.begin())) {
            throw InputChanged("labels changed while mesh() was reading them");
        }
    }
    Merged merged;
    const LabelPlaces places = merge_labels(bands, merged);
    const std::size_t label_short_limit = short_limit(options);
    const std::size_t label_count = merged.meshes.size();
    const std::size_t label_tasks = (label_count + LABELS_PER_TASK - 1) / LABELS_PER_TASK;
    // Every label's arrays, and each of the CellField's, are written by one task each: the
    // copying (and the first touch of fresh pages it brings) is spread over the workers. The
    // seams' faces read only what those tasks leave alone, so they run beside them, first.
    const std::size_t seams = bands.size() - 1;
    std::vector<std::vector<std::vector<Quad>>> seam_quads(bands.size());
    parallel.for_each(seams + CELL_TASKS + label_tasks, [&](std::size_t task) {
        if (task < seams) {
            seam_quads[task + 1] = make_seam_faces(bands, task + 1, places, planes[task + 1], options, dims);
            return;
        }
        task -= seams;
        if (task < CELL_TASKS) return append_cells(bands, places, task, merged);
        const std::size_t first = (task - CELL_TASKS) * LABELS_PER_TASK;
        for (std::size_t j = first; j < std::min(label_count, first + LABELS_PER_TASK); ++j)
            append_vertices(bands, places, j, merged.meshes[j]);
    });
    const CellField& cells = merged.surface_cells;
    TARNA_ASSERT(cells.size() == places.cell_total && cells.cell_ids.size() == places.cell_total &&
                     cells.edge_masks.size() == places.cell_total && cells.boundary.size() == places.cell_total,
                 "merged surface cells lost or doubled");
    parallel.for_each(label_tasks, [&](std::size_t task) {
        const std::size_t first = task * LABELS_PER_TASK;
        for (std::size_t j = first; j < std::min(label_count, first + LABELS_PER_TASK); ++j)
            append_quads(bands, places, seam_quads, j, label_short_limit, merged.meshes[j]);
    });
    bands.clear();
    return merged;
}

// The one label the whole array holds, if it holds one, by a single read split over the workers
// along the outermost memory axis. Bands, cut along axis 2, would each read a part of every line
// of the array (and the cache lines their ends share twice): slower than one thread reading it
// all. Labelled volumes differ within their first line, so the test is free for them.
template <class Label>
std::optional<Label> find_uniform(const VolumeView<Label>& view, const Parallel& parallel) {
    if (view.shape[0] == 0 || view.shape[1] == 0 || view.shape[2] == 0) return std::nullopt;
    const Label value = view.data[0];
    const std::uint64_t outer_extent = view.shape[outer_to_inner(view)[0]];
    const auto ranges = split_range(outer_extent, parallel.workers());
    std::atomic<bool> differs{false};
    parallel.for_each(ranges.size(), [&](std::size_t i) {
        if (!range_uniform(view, ranges[i].first, ranges[i].second, value, differs))
            differs.store(true, std::memory_order_relaxed);
    });
    if (differs.load()) return std::nullopt;
    return value;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Pass driver.

template <class Label>
Extraction extract(const VolumeView<Label>& view, const ExtractOptions& options, const Parallel& parallel,
                   Extraction* recycled) {
    Extraction result;
    const CellGrid grid(view.shape, options.close);
    if (grid.empty()) return result;
    const std::array<std::uint64_t, 3>& dims = grid.dims;

    const std::uint64_t workers = options.max_bands != 0 ? options.max_bands : parallel.workers();
    const std::uint64_t band_count = std::min<std::uint64_t>(workers, (dims[2] + SLABS_PER_BAND - 1) / SLABS_PER_BAND);
    std::vector<Spares> spares = deal_spares(recycled, std::max<std::uint64_t>(band_count, 1));
    if (band_count < 2) {
        Band band = extract_band(view, options.bands, dims, grid.origin, 0, dims[2], true, spares[0]);
        result.sorted_labels = std::move(band.sorted_labels);
        result.meshes = std::move(band.meshes);
        result.surface_cells = std::move(band.surface_cells);
    } else {
        const auto ranges = split_range(dims[2], band_count);
        std::vector<Band> bands(ranges.size());
        std::vector<BandPlanes<Label>> planes(ranges.size());
        const std::optional<Label> uniform = find_uniform(view, parallel);
        parallel.for_each(ranges.size(), [&](std::size_t i) {
            bands[i] = extract_band(view, options.bands, dims, grid.origin, ranges[i].first, ranges[i].second,
                                    ranges[i].first == 0, spares[i], &planes[i], uniform ? &*uniform : nullptr);
        });
        Merged merged = merge(std::move(bands), planes, options.bands, dims, parallel);
        result.sorted_labels = std::move(merged.sorted_labels);
        result.meshes = std::move(merged.meshes);
        result.surface_cells = std::move(merged.surface_cells);
    }
    // Each vertex's flag is its cell's: the objects read them there rather than keep copies.
    if (options.bands.track_boundary) {
        for (LabelMesh& mesh : result.meshes) mesh.boundary_in_cells = true;
    }
    result.cell_shape = dims;
    return result;
}

template Extraction extract(const VolumeView<std::uint8_t>&, const ExtractOptions&, const Parallel&, Extraction*);
template Extraction extract(const VolumeView<std::uint16_t>&, const ExtractOptions&, const Parallel&, Extraction*);
template Extraction extract(const VolumeView<std::uint32_t>&, const ExtractOptions&, const Parallel&, Extraction*);
template Extraction extract(const VolumeView<std::uint64_t>&, const ExtractOptions&, const Parallel&, Extraction*);

}  // namespace tarna
