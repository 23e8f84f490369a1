// Surface extraction: a dual-grid ("surface nets", Gibson 1998) pass that gives every label
// its own quad mesh over vertex positions shared with its neighbours. The cell grid is cut
// into bands of slabs along axis 2; bands are extracted in parallel (`extract_band`), joined
// in order with their seam faces made afterwards (`merge`), so the stored result is identical
// for any band or thread count (`run`).
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "common.hpp"
#include "grid.hpp"
#include "pool.hpp"
#include "smooth.hpp"

namespace tarna {

// One label's surface: quads over fixed-point vertices; a label gets one vertex per patch of
// its surface in each surface cell.
struct LabelMesh {
    std::vector<Position> positions;
    std::vector<std::uint32_t> cells;       // per vertex: its entry in the CellField
    std::vector<Quad> quads;                // wound counter-clockwise seen from outside
    std::vector<std::uint32_t> ambiguous;   // vertices made where the corner set has a diagonal face
    std::vector<std::uint8_t> boundary;     // per vertex, or empty without boundary tracking
};

// One entry per surface cell, in scanning order (ascending cell id).
struct CellField {
    std::vector<Position> positions;
    std::vector<std::uint64_t> cell_ids;    // o + n0*(m + n1*g)
    std::vector<std::uint16_t> edge_masks;  // bit e: the labels at edge e's ends differ
    std::vector<std::uint8_t> boundary;

    std::size_t size() const { return positions.size(); }
    void append(const CellField& other);
};

// The stored result of a pass.
struct Extraction {
    std::vector<std::uint64_t> sorted_labels;  // ascending, never 0
    std::vector<LabelMesh> meshes;             // one per label, same order
    CellField surface_cells;
    std::array<std::uint64_t, 3> cell_shape{};  // (0, 0, 0) for an empty grid
};

struct BandOptions {
    bool has_owned = false;
    std::array<std::uint64_t, 3> owned{};  // faces are kept when their lowest cell lies inside
    bool track_boundary = false;
};

// What mesh() hands to a pass.
template <class Label>
struct RunEnvironment {
    BandOptions options;
    Smoothing smoothing;
    VolumeView<Label> view;
    std::size_t threads = 0;  // as configured; 0 means the shared pool's worker count
    bool close = false;
};

// Up to `parts` consecutive non-empty ranges covering [0, total); the first total % parts get one
// element more.
std::vector<std::pair<std::uint64_t, std::uint64_t>> split_range(std::uint64_t total, std::uint64_t parts);

// One whole pass. Parallel phases go to `parallel`; the result does not depend on it.
// Throws LimitError when a count would overflow its 32-bit index.
template <class Label>
Extraction run(const RunEnvironment<Label>& env, const Parallel& parallel);

extern template Extraction run<std::uint8_t>(const RunEnvironment<std::uint8_t>&, const Parallel&);
extern template Extraction run<std::uint16_t>(const RunEnvironment<std::uint16_t>&, const Parallel&);
extern template Extraction run<std::uint32_t>(const RunEnvironment<std::uint32_t>&, const Parallel&);
extern template Extraction run<std::uint64_t>(const RunEnvironment<std::uint64_t>&, const Parallel&);

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
