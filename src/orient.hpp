// Output frame: how stored fixed-point positions (array axes, 1/256 voxel) become output
// coordinates: mirroring about the voxel-centre range, axis permutation, voxel size.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"

namespace tarna {

struct OutputFrame {
    std::array<double, 3> voxel_resolution{1.0, 1.0, 1.0};  // per array axis
    std::array<std::uint64_t, 3> volume_shape{};            // extents of the meshed array
    std::array<std::size_t, 3> axes{0, 1, 2};               // output component of array axis k
    std::array<bool, 3> axis_flips{};                       // mirror array axis k
};

// How a message shows one character: quoted, with escapes for quotes, backslash and what
// cannot be printed. The binding supplies the interpreter's own notion of printable.
using QuoteChar = std::string (*)(char32_t);
// Printable ASCII as itself, everything else as \u{hex}.
std::string quote_ascii(char32_t code_point);

// The frame for a voxel size and an axis order such as "ZYX" (letters in either case), with Y
// mirrored when `y_down`. Checks them in a fixed order; throws InvalidArgument with the first
// failure's message. The volume shape stays (0, 0, 0) until something is meshed.
OutputFrame make_frame(const std::vector<double>& voxel_resolution, std::u32string_view axis_order, bool y_down,
                       QuoteChar quote = quote_ascii);

// One stored position in output coordinates (x, y, z), in doubles.
std::array<double, 3> output_position(const Position& position, const OutputFrame& frame);

// True when the mapping reverses handedness (odd permutation xor an odd number of flips).
bool odd_parity(const OutputFrame& frame);

}  // namespace tarna
