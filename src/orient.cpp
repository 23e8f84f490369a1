// Output frame: stored fixed-point positions (array axes, 1/256 voxel) to output coordinates,
// and the handedness of that mapping, which decides whether triangles must be rewound.
#include "orient.hpp"

#include <cmath>
#include <cstdio>

#include "records.hpp"

namespace tarna {

std::array<double, 3> output_position(const Position& position, const OutputFrame& frame) {
    std::array<double, 3> output{};
    for (std::size_t k = 0; k < 3; ++k) {
        TARNA_ASSERT(frame.axes[k] < 3, "output axis out of range");
        // 2^-8 is exact in binary, so c is the fixed-point value with no rounding.
        double coordinate = static_cast<double>(position[k]) * FIXED_UNIT;
        if (frame.axis_flips[k]) {
            // Mirror about the middle of the voxel-centre range; the extent is widened before the
            // subtraction so an empty axis gives -1 rather than a wrapped unsigned value.
            coordinate = (static_cast<double>(frame.volume_shape[k]) - 1.0) - coordinate;
        }
        output[frame.axes[k]] = coordinate * frame.voxel_resolution[k];
    }
    return output;
}

std::string quote_ascii(char32_t code_point) {
    switch (code_point) {
        case '\'': return "'\\''";
        case '\\': return "'\\\\'";
        case '\n': return "'\\n'";
        case '\r': return "'\\r'";
        case '\t': return "'\\t'";
        case '\0': return "'\\0'";
        default: break;
    }
    if (code_point >= 0x20 && code_point < 0x7F) return std::string("'") + char(code_point) + "'";
    char hex[24];
    std::snprintf(hex, sizeof hex, "'\\u{%x}'", unsigned(code_point));
    return hex;
}

OutputFrame make_frame(const std::vector<double>& voxel_resolution, std::u32string_view axis_order, bool y_down,
                       QuoteChar quote) {
    if (voxel_resolution.size() != 3)
        throw InvalidArgument("voxel_resolution must have 3 entries, got " + std::to_string(voxel_resolution.size()));
    for (const double size : voxel_resolution) {
        // Positive subnormals pass; zero of either sign, infinities and NaN do not.
        if (!std::isfinite(size) || !(size > 0))
            throw InvalidArgument("voxel_resolution entries must be finite and positive");
    }
    if (axis_order.size() != 3)
        throw InvalidArgument("axis_order must name exactly 3 axes, got " + std::to_string(axis_order.size()));
    OutputFrame frame;
    bool seen[3] = {false, false, false};
    for (std::size_t k = 0; k < 3; ++k) {
        char32_t letter = axis_order[k];
        if (letter >= U'a' && letter <= U'z') letter -= U'a' - U'A';  // ASCII only: nothing else folds
        if (letter != U'X' && letter != U'Y' && letter != U'Z')
            throw InvalidArgument("axis_order may only contain X, Y and Z, got " + quote(letter));
        const std::size_t axis = letter - U'X';
        if (seen[axis]) throw InvalidArgument("axis_order repeats the axis " + quote(letter));
        seen[axis] = true;
        frame.axes[k] = axis;
        frame.axis_flips[k] = y_down && axis == 1;
    }
    std::copy(voxel_resolution.begin(), voxel_resolution.end(), frame.voxel_resolution.begin());
    return frame;
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
