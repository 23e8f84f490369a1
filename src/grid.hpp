// The label volume as the extraction sees it: a strided read-only view with a virtual
// background border, the cube's corner and edge numbering, and the cell grid laid over the
// array (dual to the voxels: a cell's corners are eight neighbouring voxel centres).
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "common.hpp"

namespace tarna {

// Corner k sits at offset (k & 1, (k >> 1) & 1, (k >> 2) & 1).
constexpr std::array<std::int64_t, 3> corner_offset(unsigned corner) {
    return {std::int64_t(corner & 1u), std::int64_t((corner >> 1) & 1u), std::int64_t((corner >> 2) & 1u)};
}

// Edge e joins EDGE_CORNERS[e][0] (the lower end) to EDGE_CORNERS[e][1], along EDGE_AXIS[e].
inline constexpr std::array<std::array<std::uint8_t, 2>, 12> EDGE_CORNERS = {
    {{0, 1}, {0, 2}, {0, 4}, {1, 3}, {1, 5}, {2, 3}, {2, 6}, {3, 7}, {4, 5}, {4, 6}, {5, 7}, {6, 7}}};

// Rule: the edge from corner a to b runs along the axis of the one bit in which a and b differ.
constexpr std::array<std::uint8_t, 12> make_edge_axis() {
    std::array<std::uint8_t, 12> axis{};
    for (unsigned e = 0; e < 12; ++e) {
        const unsigned diff = EDGE_CORNERS[e][0] ^ EDGE_CORNERS[e][1];
        axis[e] = diff == 1 ? 0 : diff == 2 ? 1 : 2;
    }
    return axis;
}
inline constexpr auto EDGE_AXIS = make_edge_axis();

// Rule: CORNER_EDGES[c][k] is the edge joining c and c ^ (1 << k).
constexpr std::array<std::array<std::uint8_t, 3>, 8> make_corner_edges() {
    std::array<std::array<std::uint8_t, 3>, 8> table{};
    for (unsigned c = 0; c < 8; ++c) {
        for (unsigned k = 0; k < 3; ++k) {
            const unsigned other = c ^ (1u << k);
            const unsigned lo = c < other ? c : other, hi = c < other ? other : c;
            for (unsigned e = 0; e < 12; ++e) {
                if (EDGE_CORNERS[e][0] == lo && EDGE_CORNERS[e][1] == hi) table[c][k] = std::uint8_t(e);
            }
        }
    }
    return table;
}
inline constexpr auto CORNER_EDGES = make_corner_edges();
static_assert(CORNER_EDGES[0][0] == 0 && CORNER_EDGES[3][2] == 7 && CORNER_EDGES[6][0] == 11 &&
              CORNER_EDGES[5][1] == 10 && CORNER_EDGES[7][1] == 10 && CORNER_EDGES[2][0] == 5);
static_assert(EDGE_AXIS[5] == 0 && EDGE_AXIS[9] == 1 && EDGE_AXIS[7] == 2);

// Read-only view of a 3-D label array; element (i0, i1, i2) lives at
// data + i0*strides[0] + i1*strides[1] + i2*strides[2] (strides in elements, signed).
template <class Label>
struct VolumeView {
    static_assert(std::is_unsigned_v<Label>);
    const Label* data = nullptr;
    std::array<std::uint64_t, 3> shape{};
    std::array<std::int64_t, 3> strides{};

    bool inside(std::int64_t x0, std::int64_t x1, std::int64_t x2) const {
        return std::uint64_t(x0) < shape[0] && std::uint64_t(x1) < shape[1] && std::uint64_t(x2) < shape[2];
    }
    // Label at a voxel; anything outside the array reads as background.
    Label at(std::int64_t x0, std::int64_t x1, std::int64_t x2) const {
        if (!inside(x0, x1, x2)) return 0;
        return data[x0 * strides[0] + x1 * strides[1] + x2 * strides[2]];
    }
};

// The eight corner labels of the cell whose lowest corner is voxel `cell`. 8-bit labels come
// packed into one word, corner k in byte k, so "all equal" is a few shifts and exclusive-ors.
template <class Label>
auto cell_corners(const VolumeView<Label>& view, const std::array<std::int64_t, 3>& cell) {
    const std::int64_t x0 = cell[0], x1 = cell[1], x2 = cell[2];
    if constexpr (sizeof(Label) == 1) {
        std::uint64_t packed = 0;
        for (unsigned k = 0; k < 8; ++k) {
            const std::uint64_t label = view.at(x0 + (k & 1), x1 + ((k >> 1) & 1), x2 + ((k >> 2) & 1));
            packed |= label << (8 * k);
        }
        return packed;
    } else {
        std::array<Label, 8> labels;
        for (unsigned k = 0; k < 8; ++k) labels[k] = view.at(x0 + (k & 1), x1 + ((k >> 1) & 1), x2 + ((k >> 2) & 1));
        return labels;
    }
}

// Corner k of a `cell_corners` result, whatever the label width.
inline std::uint64_t corner_label(std::uint64_t packed, unsigned corner) { return (packed >> (8 * corner)) & 0xFF; }
template <class Label>
std::uint64_t corner_label(const std::array<Label, 8>& labels, unsigned corner) {
    return labels[corner];
}

// True when all eight corners hold the same label (the cell is not a surface cell).
inline bool corners_uniform(std::uint64_t packed) {
    // Byte k equals byte 0 for every k exactly when the word equals byte 0 broadcast.
    return packed == (packed & 0xFF) * 0x0101010101010101ull;
}
template <class Label>
bool corners_uniform(const std::array<Label, 8>& labels) {
    Label diff = 0;
    for (unsigned k = 1; k < 8; ++k) diff |= labels[k] ^ labels[0];
    return diff == 0;
}

// The cell grid over an array of shape S: n_k = max(0, S_k + 2*close - 1) cells per axis, grid
// cell (c0, c1, c2) being the cell named by voxel (c0 - close, c1 - close, c2 - close). An array
// with a zero extent has no cells at all, even with `close`.
struct CellGrid {
    std::array<std::uint64_t, 3> dims{};  // n0, n1, n2
    std::int64_t origin = 0;              // voxel coordinate of grid cell (0, 0, 0) on every axis

    CellGrid() = default;
    CellGrid(const std::array<std::uint64_t, 3>& shape, bool close) : origin(close ? -1 : 0) {
        const bool any_zero = shape[0] == 0 || shape[1] == 0 || shape[2] == 0;
        for (int k = 0; k < 3; ++k) {
            const std::uint64_t padded = shape[k] + (close ? 2 : 0);
            dims[k] = any_zero || padded < 1 ? 0 : padded - 1;
        }
        if (dims[0] == 0 || dims[1] == 0 || dims[2] == 0) dims = {0, 0, 0};
    }
    bool empty() const { return dims[0] == 0; }
};

// Positions are 32-bit with 8 fractional bits: a vertex lies at most at S_k * 256 on axis k,
// so every extent must stay below 2^23.
inline constexpr std::uint64_t MAX_EXTENT = (std::uint64_t(1) << 23) - 1;

}  // namespace tarna
