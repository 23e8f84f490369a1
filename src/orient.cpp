// Output frame: stored fixed-point positions (array axes, 1/256 voxel) to output coordinates,
// and the handedness of that mapping, which decides whether triangles must be rewound.
#include "orient.hpp"

namespace tarna {

std::array<double, 3> output_position(const Position& position, const OutputFrame& frame) {
    std::array<double, 3> output{};
    for (std::size_t k = 0; k < 3; ++k) {
        TARNA_ASSERT(frame.axes[k] < 3, "output axis out of range");
        // 2^-8 is exact in binary, so c is the fixed-point value with no rounding.
        double coordinate = static_cast<double>(position[k]) * 0.00390625;
        if (frame.axis_flips[k]) {
            // Mirror about the middle of the voxel-centre range; the extent is widened before the
            // subtraction so an empty axis gives -1 rather than a wrapped unsigned value.
            coordinate = (static_cast<double>(frame.volume_shape[k]) - 1.0) - coordinate;
        }
        output[frame.axes[k]] = coordinate * frame.voxel_resolution[k];
    }
    return output;
}

bool odd_parity(const OutputFrame& frame) {
    // Each inversion of the permutation and each mirrored axis reverses handedness once.
    const auto& axes = frame.axes;
    bool odd = (axes[0] > axes[1]) != (axes[1] > axes[2]);
    odd = odd != (axes[0] > axes[2]);
    for (const bool flip : frame.axis_flips) odd = odd != flip;
    return odd;
}

}  // namespace tarna
