// Dicing: cuts a triangle mesh into the cells of a regular grid. Cut points come from the edge's
// endpoints taken in value order, with the cut coordinate set exactly to the plane, so the two
// sides of every cell face agree bit for bit without any tolerance. Optionally each cell's
// vertices are quantised onto a global integer lattice of 2^bits - 1 steps per cell.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "common.hpp"

namespace tarna {

struct DiceGrid {
    std::array<double, 3> chunk_shape{};  // > 0 on every axis
    std::array<double, 3> grid_origin{};
    std::array<std::int64_t, 3> grid_size{};         // >= 1 on every axis
    std::optional<std::uint32_t> quantization_bits;  // 1 ..= 24 when present
};

struct DicedCell {
    std::array<std::int64_t, 3> key{};
    std::vector<Point3f> vertices;
    std::vector<Triangle> faces;  // at least one
};

// Cells that received a triangle, ascending by key. Face indices must be below the vertex count.
std::vector<DicedCell> dice(const std::vector<Point3f>& vertices, const std::vector<Triangle>& faces,
                            const DiceGrid& grid);

}  // namespace tarna
