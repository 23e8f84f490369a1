// Dicing: cuts a triangle mesh into the cells of a regular grid of chunks.
// Input: float32 vertices and uint32 faces (indices already checked). Output: for every cell that
// received a triangle, its vertices (merged by exact bit pattern) and faces, ascending by key.
// A triangle inside one cell goes out whole; any other is clipped against the grid planes it
// spans, one axis-aligned plane at a time (Sutherland and Hodgman 1974), and the convex pieces
// are fanned. Why the cells agree bit for bit without a tolerance: docs/dicing.md.
#include "dice.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

namespace tarna {

namespace {

using Point3d = std::array<double, 3>;
using CellKey = std::array<std::int64_t, 3>;
using VertexBits = std::array<std::uint32_t, 3>;

// Element by element: std::array's == goes through a memcmp call here, which showed in profiles.
bool same_key(const CellKey& a, const CellKey& b) { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }
bool same_point(const Point3f& a, const Point3f& b) { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }

// The smaller and larger of two coordinates, passing over one that is not finite: a NaN corner
// must not hide the extent of the others, and an infinite one would stretch the triangle over
// every cell to the grid's edge, each of which it would then be cut into.
double min_finite(double a, double b) {
    if (!std::isfinite(b)) return a;
    return (b < a || !std::isfinite(a)) ? b : a;
}
double max_finite(double a, double b) {
    if (!std::isfinite(b)) return a;
    return (b > a || !std::isfinite(a)) ? b : a;
}

Point3d widen(const Point3f& point) {
    return {static_cast<double>(point[0]), static_cast<double>(point[1]), static_cast<double>(point[2])};
}

// floor((x - origin) / size) as a signed 64-bit integer, saturating at both ends and 0 for NaN,
// then clamped onto the grid: geometry outside the grid belongs to the nearest border cell.
inline std::int64_t cell_coordinate(double x, double origin, double size, std::int64_t grid_size) {
    const double cell = (x - origin) / size;
    // A negative quotient floors below 0 and NaN saturates to 0: both clamp to 0. For the rest,
    // converting truncates, which is floor, and the saturation at 2^63 lands on the top cell.
    if (!(cell >= 0)) return 0;
    if (cell >= 9223372036854775808.0) return grid_size - 1;
    return std::min(static_cast<std::int64_t>(cell), grid_size - 1);
}

// std::round without the library call: halves away from zero. Below 2^52 the truncation through
// int64 is exact and so is the fraction x - whole; above it every double is already integral.
// note: returns +0.0 where std::round gives -0.0; lattice values are made non-negative anyway.
double round_half_away(double x) {
    if (!(std::fabs(x) < 4503599627370496.0)) return x;
    const double whole = static_cast<double>(static_cast<std::int64_t>(x));
    const double fraction = x - whole;
    // Selects rather than branches: which way a half goes is as good as random.
    const double up = fraction >= 0.5 ? 1.0 : 0.0;
    const double down = fraction <= -0.5 ? 1.0 : 0.0;
    return whole + up - down;
}

// How a point becomes an output coordinate: rounded to float32, or snapped onto the global
// integer lattice of `top` = 2^bits - 1 steps per cell and made relative to its cell.
struct OutputMapping {
    bool quantised = false;
    double top = 0;                 // E
    std::array<double, 3> scale{};  // E / chunk_shape
    std::array<double, 3> origin{};

    Point3f convert(const Point3d& point, const CellKey& key) const {
        Point3f out;
        if (!quantised) {
            for (int axis = 0; axis < 3; ++axis) out[axis] = static_cast<float>(point[axis]);
            return out;
        }
        for (int axis = 0; axis < 3; ++axis) {
            // The rounding happens before the cell offset is taken off, so a point on a shared
            // cell face reads `top` in the lower cell and 0 in the upper from the same lattice
            // step.
            const double step = round_half_away((point[axis] - origin[axis]) * scale[axis]);
            double local = step - static_cast<double>(key[axis]) * top;
            // note: `local > 0` fails for NaN and -0.0 too. A point just below the cell's low
            // face rounds to -0.0, which would not merge with +0.0 by bit pattern.
            local = local > 0 ? local : 0.0;
            local = local < top ? local : top;
            out[axis] = static_cast<float>(local);
        }
        return out;
    }
};

OutputMapping make_output_mapping(const DiceGrid& grid) {
    OutputMapping mapping;
    mapping.origin = grid.grid_origin;
    if (grid.quantization_bits) {
        mapping.quantised = true;
        mapping.top = static_cast<double>((std::uint64_t{1} << *grid.quantization_bits) - 1);
        for (int axis = 0; axis < 3; ++axis) mapping.scale[axis] = mapping.top / grid.chunk_shape[axis];
    }
    return mapping;
}

struct CellEntry {
    CellKey key{};
    std::uint32_t expected_vertices = 0;  // used input vertices lying in the cell, to size it once
    // Some vertex has a -0.0 or NaN coordinate. Until then, two of the cell's points compare equal
    // as floats exactly when they are one vertex.
    bool irregular = false;
    std::vector<Point3f> vertices;
    std::vector<Triangle> faces;
    FxMap<VertexBits, std::uint32_t> vertex_index;

    // The vertex with exactly these bits, appended on first use.
    std::uint32_t vertex(const Point3f& point) {
        const VertexBits bits{std::bit_cast<std::uint32_t>(point[0]), std::bit_cast<std::uint32_t>(point[1]),
                              std::bit_cast<std::uint32_t>(point[2])};
        const auto [slot, inserted] = vertex_index.insert(bits, static_cast<std::uint32_t>(vertices.size()));
        if (inserted) {
            vertices.push_back(point);
            for (const std::uint32_t word : bits)
                irregular |= word == 0x80000000u || (word & 0x7fffffffu) > 0x7f800000u;
        }
        return *slot;
    }
};

// Cell entries by key, numbered in order of creation. Consecutive triangles of a mesh mostly land
// in the same cell, so the last entry is remembered and the common case costs no lookup at all.
class CellMap {
public:
    std::uint32_t entry_id(const CellKey& key) {
        if (last_ != NONE && same_key(entries_[last_].key, key)) return last_;
        const auto [slot, inserted] = slots_.insert(key, static_cast<std::uint32_t>(entries_.size()));
        if (inserted) {
            entries_.emplace_back();
            entries_.back().key = key;
        }
        last_ = *slot;
        return last_;
    }
    CellEntry& operator[](std::uint32_t id) { return entries_[id]; }

    // Sizes every entry for its expected vertices (a closed surface has about twice as many
    // faces), so the common cell grows its vertex index once instead of doubling from empty.
    void reserve_expected() {
        for (CellEntry& entry : entries_) {
            entry.vertex_index.reserve(entry.expected_vertices);
            entry.vertices.reserve(entry.expected_vertices);
            entry.faces.reserve(std::size_t{2} * entry.expected_vertices);
        }
    }

    std::vector<DicedCell> take_sorted() {
        std::vector<DicedCell> cells;
        cells.reserve(entries_.size());
        for (CellEntry& entry : entries_) {
            // A cell can hold input vertices and still receive no triangle.
            if (entry.faces.empty()) continue;
            cells.push_back(DicedCell{entry.key, std::move(entry.vertices), std::move(entry.faces)});
        }
        std::sort(cells.begin(), cells.end(), [](const DicedCell& a, const DicedCell& b) { return a.key < b.key; });
        return cells;
    }

private:
    FxMap<CellKey, std::uint32_t> slots_;
    std::vector<CellEntry> entries_;
    std::uint32_t last_ = NONE;
};

// Adds one cut piece's triangle to the cell `key`, unless two of its corners coincide after
// conversion.
void emit(CellMap& cells, const OutputMapping& mapping, const CellKey& key, const Point3d& a, const Point3d& b,
          const Point3d& c) {
    const Point3f out[3] = {mapping.convert(a, key), mapping.convert(b, key), mapping.convert(c, key)};
    // Float comparison: NaN corners never count as coinciding.
    if (same_point(out[0], out[1]) || same_point(out[1], out[2]) || same_point(out[0], out[2])) return;
    CellEntry& cell = cells[cells.entry_id(key)];
    cell.faces.push_back(Triangle{cell.vertex(out[0]), cell.vertex(out[1]), cell.vertex(out[2])});
}

// Where an input vertex last went: a cell entry and its index there.
struct VertexSlot {
    std::uint32_t entry = NONE;
    std::uint32_t index = 0;
};

// `emit` for a triangle inside one cell, straight from the input. Its corners are input vertices
// shared with neighbouring triangles, so their slots usually give the index without converting or
// hashing, and in a regular cell the indices alone tell whether corners coincide. The slots only
// repeat what conversion and the vertex index decided, so the result is the same as `emit`'s.
// An entry made here for a triangle that turns out degenerate stays empty and is left out of the
// result.
void emit_whole(CellMap& cells, const OutputMapping& mapping, std::uint32_t id, const std::vector<Point3f>& vertices,
                const Triangle& face, std::vector<VertexSlot>& slots) {
    CellEntry& cell = cells[id];
    VertexSlot& slot_a = slots[face[0]];
    VertexSlot& slot_b = slots[face[1]];
    VertexSlot& slot_c = slots[face[2]];
    if (slot_a.entry == id && slot_b.entry == id && slot_c.entry == id && !cell.irregular) {
        const Triangle triangle{slot_a.index, slot_b.index, slot_c.index};
        if (triangle[0] != triangle[1] && triangle[1] != triangle[2] && triangle[0] != triangle[2]) {
            cell.faces.push_back(triangle);
        }
        return;
    }
    VertexSlot* const corner_slots[3] = {&slot_a, &slot_b, &slot_c};
    Point3f out[3];
    for (int corner = 0; corner < 3; ++corner) {
        const VertexSlot& slot = *corner_slots[corner];
        out[corner] =
            slot.entry == id ? cell.vertices[slot.index] : mapping.convert(widen(vertices[face[corner]]), cell.key);
    }
    if (same_point(out[0], out[1]) || same_point(out[1], out[2]) || same_point(out[0], out[2])) return;
    Triangle triangle;
    for (int corner = 0; corner < 3; ++corner) {
        VertexSlot& slot = *corner_slots[corner];
        if (slot.entry != id) slot = VertexSlot{id, cell.vertex(out[corner])};
        triangle[corner] = slot.index;
    }
    cell.faces.push_back(triangle);
}

// The range of cells a triangle's corners span on each axis: the cells of its smallest and
// largest coordinate, coordinates that are not finite passed over.
void cell_range(const Point3d (&corners)[3], const DiceGrid& grid, CellKey& lo, CellKey& hi) {
    for (int axis = 0; axis < 3; ++axis) {
        const double low = min_finite(min_finite(corners[0][axis], corners[1][axis]), corners[2][axis]);
        const double high = max_finite(max_finite(corners[0][axis], corners[1][axis]), corners[2][axis]);
        lo[axis] = cell_coordinate(low, grid.grid_origin[axis], grid.chunk_shape[axis], grid.grid_size[axis]);
        hi[axis] = cell_coordinate(high, grid.grid_origin[axis], grid.chunk_shape[axis], grid.grid_size[axis]);
    }
}

// Lexicographic order by value: the first coordinate where one point is smaller decides;
// coordinates that do not compare (equal or NaN) pass the decision on.
bool value_less(const Point3d& a, const Point3d& b) {
    for (int axis = 0; axis < 3; ++axis) {
        if (a[axis] < b[axis]) return true;
        if (b[axis] < a[axis]) return false;
    }
    return false;
}

// Where the edge p-q crosses the plane. The endpoints are ordered by value, not by the polygon's
// direction, so every polygon holding this edge (either side of the cut, either triangle sharing
// the edge) computes the same bits. The crossing guarantees the axis coordinates differ, so the
// order is always decided and the division is by a nonzero number.
Point3d cut_point(const Point3d& p, const Point3d& q, int axis, double plane) {
    const bool q_first = value_less(q, p);
    const Point3d& low = q_first ? q : p;
    const Point3d& high = q_first ? p : q;
    const double t = (plane - low[axis]) / (high[axis] - low[axis]);
    Point3d cut;
    for (int c = 0; c < 3; ++c) cut[c] = t * (high[c] - low[c]) + low[c];
    cut[axis] = plane;
    return cut;
}

enum class Side { below, above };

// The part of a polygon on one side of the plane, into `out` (cleared first). Points on the
// plane, and NaN coordinates, stay on both sides.
void keep(const Point3d* polygon, std::size_t count, int axis, Side side, double plane, std::vector<Point3d>& out) {
    out.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const Point3d& p = polygon[i];
        const Point3d& q = polygon[i + 1 == count ? 0 : i + 1];
        const bool dropped = side == Side::below ? p[axis] > plane : p[axis] < plane;
        if (!dropped) out.push_back(p);
        const bool crosses = (p[axis] < plane && q[axis] > plane) || (p[axis] > plane && q[axis] < plane);
        if (crosses) out.push_back(cut_point(p, q, axis, plane));
    }
}

// Polygons of one triangle with the cell each currently belongs to, stored flat so a list
// reused across triangles allocates only while it grows.
struct PieceList {
    struct Piece {
        std::size_t first = 0;
        std::size_t count = 0;
        CellKey key{};
    };
    std::vector<Point3d> points;
    std::vector<Piece> pieces;

    void clear() {
        points.clear();
        pieces.clear();
    }
    // `polygon` must not point into this list's own points.
    void add(const Point3d* polygon, std::size_t count, const CellKey& key) {
        pieces.push_back(Piece{points.size(), count, key});
        points.insert(points.end(), polygon, polygon + count);
    }
};

double plane_position(const DiceGrid& grid, int axis, std::int64_t k) {
    return static_cast<double>(k) * grid.chunk_shape[axis] + grid.grid_origin[axis];
}

// Cuts one piece by the planes `first` ..= `last` on `axis`, appending its parts to `next` from
// the lowest cell up. At each plane, in ascending order: a piece with points both below and above
// it is split there, the part above moving to cell k; one wholly above moves to cell k; one not
// above stays. A part below a plane is below every later one, so only the part above goes on,
// and the planes a piece lies wholly above are skipped by bisection (plane positions never
// decrease with k, so "below or not above" holds from some plane on). That gives the parts of
// cutting at every plane in turn, at a cost in proportion to the parts, not to the planes.
void cut_piece(const Point3d* polygon, std::size_t count, CellKey key, int axis, std::int64_t first, std::int64_t last,
               const DiceGrid& grid, std::vector<Point3d>& rest, std::vector<Point3d>& clip, PieceList& next) {
    rest.assign(polygon, polygon + count);
    for (std::int64_t k = first; k <= last;) {
        // The extent on the axis; NaN coordinates are neither below nor above any plane.
        double low = std::numeric_limits<double>::quiet_NaN();
        double high = low;
        for (const Point3d& point : rest) {
            const double x = point[axis];
            if (x != x) continue;
            low = low == low ? std::min(low, x) : x;
            high = high == high ? std::max(high, x) : x;
        }
        if (low != low) break;  // no plane cuts or moves it
        auto stops = [&](std::int64_t plane_k) {
            const double plane = plane_position(grid, axis, plane_k);
            return low < plane || !(high > plane);
        };
        std::int64_t begin = k, end = last + 1;  // the first plane that stops it, or last + 1
        while (begin < end) {
            const std::int64_t middle = begin + (end - begin) / 2;
            if (stops(middle)) {
                end = middle;
            } else {
                begin = middle + 1;
            }
        }
        if (begin > k) key[axis] = begin - 1;  // wholly above those planes
        if (begin > last) break;
        k = begin;
        const double plane = plane_position(grid, axis, k);
        if (!(high > plane)) break;  // not above this plane, nor any later one
        keep(rest.data(), rest.size(), axis, Side::below, plane, clip);
        if (clip.size() >= 3) next.add(clip.data(), clip.size(), key);
        keep(rest.data(), rest.size(), axis, Side::above, plane, clip);
        if (clip.size() < 3) return;
        std::swap(rest, clip);
        key[axis] = k;
        ++k;
    }
    next.add(rest.data(), rest.size(), key);
}

}  // namespace

std::vector<DicedCell> dice(const std::vector<Point3f>& vertices, const std::vector<Triangle>& faces,
                            const DiceGrid& grid) {
    const OutputMapping mapping = make_output_mapping(grid);
    CellMap cells;
    // Scratch for cut triangles: two piece lists that exchange roles per axis, the part of a
    // piece still being cut and one clip buffer.
    PieceList current;
    PieceList next;
    std::vector<Point3d> rest;
    std::vector<Point3d> clip;
    std::vector<VertexSlot> slots(vertices.size());

    // The cell of every vertex some face uses, once, as its entry; counting them per cell sizes
    // each entry before the faces arrive. A triangle whose corners share a cell lies in that cell:
    // its smallest and largest coordinates are corners' coordinates. A vertex with a coordinate
    // that is not finite gets no cell, so its triangles take the general path, which passes such
    // coordinates over.
    std::vector<std::uint32_t> home(vertices.size(), NONE);
    for (const Triangle& face : faces) {
        for (const std::uint32_t v : face) home[v] = 0;  // used; unused vertices stay NONE
    }
    for (std::size_t v = 0; v < vertices.size(); ++v) {
        if (home[v] == NONE) continue;
        CellKey key;
        bool finite = true;
        for (int axis = 0; axis < 3; ++axis) {
            const double x = vertices[v][axis];
            key[axis] = cell_coordinate(x, grid.grid_origin[axis], grid.chunk_shape[axis], grid.grid_size[axis]);
            finite = finite && std::isfinite(x);
        }
        home[v] = finite ? cells.entry_id(key) : NONE;
        if (finite) ++cells[home[v]].expected_vertices;
    }
    cells.reserve_expected();

    for (const Triangle& face : faces) {
        const std::uint32_t home_cell = home[face[0]];
        if (home_cell != NONE && home[face[1]] == home_cell && home[face[2]] == home_cell) {
            emit_whole(cells, mapping, home_cell, vertices, face, slots);
            continue;
        }
        const Point3d corners[3] = {widen(vertices[face[0]]), widen(vertices[face[1]]), widen(vertices[face[2]])};
        CellKey lo;
        CellKey hi;
        cell_range(corners, grid, lo, hi);
        if (same_key(lo, hi)) {
            emit_whole(cells, mapping, cells.entry_id(lo), vertices, face, slots);
            continue;
        }

        current.clear();
        current.add(corners, 3, lo);
        for (int axis = 0; axis < 3; ++axis) {
            if (lo[axis] == hi[axis]) continue;
            next.clear();
            for (const PieceList::Piece& piece : current.pieces) {
                cut_piece(current.points.data() + piece.first, piece.count, piece.key, axis, lo[axis] + 1, hi[axis],
                          grid, rest, clip, next);
            }
            std::swap(current, next);
        }
        // Every piece is convex (a triangle clipped by half-spaces), so a fan from its first point covers it.
        for (const PieceList::Piece& piece : current.pieces) {
            const Point3d* polygon = current.points.data() + piece.first;
            for (std::size_t i = 1; i + 1 < piece.count; ++i) {
                emit(cells, mapping, piece.key, polygon[0], polygon[i], polygon[i + 1]);
            }
        }
    }
    return cells.take_sorted();
}

}  // namespace tarna
