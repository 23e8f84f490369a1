// The records every step of the pipeline shares: one label's stored surface (`LabelMesh`), the
// surface cells of a pass (`CellField`) and the stored result of a pass (`Extraction`), plus the
// fixed-point scale of their positions. Lean on purpose: smoothing, triangulation and
// simplification include this without the pool or the extraction machinery.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common.hpp"

namespace tarna {

// Positions are signed 32-bit fixed point with 8 fractional bits: FIXED_ONE units per voxel.
inline constexpr std::int32_t FIXED_SHIFT = 8;
inline constexpr std::int32_t FIXED_ONE = 1 << FIXED_SHIFT;
// One fixed-point unit in voxels; a power of two, so the conversion is exact in binary.
inline constexpr double FIXED_UNIT = 1.0 / FIXED_ONE;
static_assert(FIXED_UNIT == 0.00390625);

// One label's surface: quads over fixed-point vertices; a label gets one vertex per patch of
// its surface in each surface cell.
// note: `positions` stays empty while every vertex sits at its cell's shared position, as after
// extraction and after fairing; only smoothing one object on its own gives it positions of its
// own. Read positions through `vertex_position`. A dense volume's extraction writes a quarter
// fewer bytes this way, and fairing needs no copy back into every object.
// note: a label with at most SHORT_QUAD_VERTICES vertices, as nearly every label of a dense
// segmentation is, keeps its quads in 16-bit indices (`short_quads`) and leaves `quads` empty; at
// most one of the two holds quads. Read them through `quad_count` and `for_each_quad`. Quads were
// more than half of a dense volume's stored result; this way it is a quarter smaller.
struct LabelMesh {
    std::vector<Position> positions;       // per vertex, or empty: see above
    std::vector<std::uint32_t> cells;      // per vertex: its entry in the CellField
    std::vector<Quad> quads;               // wound counter-clockwise seen from outside
    std::vector<ShortQuad> short_quads;    // the same, for few vertices: see above
    std::vector<std::uint32_t> ambiguous;  // vertices made where the corner set has a diagonal face
    std::vector<std::uint8_t> boundary;    // per vertex, or empty: see below
    // With boundary tracking, each vertex's flag is its cell's: extraction sets this and leaves
    // `boundary` empty rather than copy the flags into every object (6.6 MB, about 8 ms at one
    // thread, on the dense benchmark volume). Read flags through `vertex_boundary`.
    bool boundary_in_cells = false;
};

// One entry per surface cell, in scanning order (ascending cell id).
struct CellField {
    std::vector<Position> positions;
    std::vector<std::uint64_t> cell_ids;    // o + n0*(m + n1*g)
    std::vector<std::uint16_t> edge_masks;  // bit e: the labels at edge e's ends differ
    std::vector<std::uint8_t> boundary;

    std::size_t size() const { return positions.size(); }
};

// Vertices a label may have for its quads to fit 16-bit indices.
inline constexpr std::size_t SHORT_QUAD_VERTICES = std::size_t{1} << 16;

inline std::size_t quad_count(const LabelMesh& mesh) { return mesh.quads.size() + mesh.short_quads.size(); }

// `visit(quad)` for each quad in order, with 32-bit indices, until it returns false; false then.
template <class Visit>
bool for_each_quad(const LabelMesh& mesh, Visit&& visit) {
    for (const ShortQuad quad : mesh.short_quads) {
        if (!visit(wide_quad(quad))) return false;
    }
    for (const Quad& quad : mesh.quads) {
        if (!visit(quad)) return false;
    }
    return true;
}

// Vertices of a label: one `cells` entry each, and positions of their own when smoothed apart.
inline std::size_t vertex_count(const LabelMesh& mesh) {
    return mesh.positions.empty() ? mesh.cells.size() : mesh.positions.size();
}

// Vertex k's position: its own if the mesh has them, else its cell's shared position.
inline const Position& vertex_position(const LabelMesh& mesh, const CellField& cells, std::size_t k) {
    return mesh.positions.empty() ? cells.positions[mesh.cells[k]] : mesh.positions[k];
}

// Whether the vertices carry boundary flags: their cells', or `boundary` entries of their own.
inline bool has_boundary(const LabelMesh& mesh) { return mesh.boundary_in_cells || !mesh.boundary.empty(); }

// Vertex k's boundary flag, for a mesh with flags (`has_boundary`).
inline std::uint8_t vertex_boundary(const LabelMesh& mesh, const CellField& cells, std::size_t k) {
    return mesh.boundary_in_cells ? cells.boundary[mesh.cells[k]] : mesh.boundary[k];
}

// An object's cells lie far apart in the shared field, so reading its vertices' cell positions in
// order is nearly all cache misses: readers ask for them this many vertices ahead (measured: 16
// gains less).
inline constexpr std::size_t CELL_FETCH_AHEAD = 64;

// The stored result of a pass.
struct Extraction {
    std::vector<std::uint64_t> sorted_labels;  // ascending, never 0
    std::vector<LabelMesh> meshes;             // one per label, same order
    CellField surface_cells;
    std::array<std::uint64_t, 3> cell_shape{};  // (0, 0, 0) for an empty grid
};

// Bisection over ascending labels: the index of `key`, or SIZE_MAX when absent.
inline std::size_t lookup_label(const std::vector<std::uint64_t>& sorted_labels, std::uint64_t key) {
    std::size_t size = sorted_labels.size();
    if (size == 0) return SIZE_MAX;
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (!(sorted_labels[mid] > key)) base = mid;
        size -= half;
    }
    return sorted_labels[base] == key ? base : SIZE_MAX;
}

}  // namespace tarna
