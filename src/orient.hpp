// Output frame: how stored fixed-point positions (array axes, 1/256 voxel) become output
// coordinates: mirroring about the voxel-centre range, axis permutation, voxel size.
#pragma once

#include <array>
#include <cstdint>

#include "common.hpp"

namespace tarna {

struct OutputFrame {
    std::array<double, 3> voxel_resolution{1.0, 1.0, 1.0};  // per array axis
    std::array<std::uint64_t, 3> volume_shape{};            // extents of the meshed array
    std::array<std::size_t, 3> axes{0, 1, 2};                // output component of array axis k
    std::array<bool, 3> axis_flips{};                        // mirror array axis k
};

// One stored position in output coordinates (x, y, z), in doubles.
std::array<double, 3> output_position(const Position& position, const OutputFrame& frame);

// True when the mapping reverses handedness (odd permutation xor an odd number of flips).
bool odd_parity(const OutputFrame& frame);

}  // namespace tarna
