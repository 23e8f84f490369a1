// Smoothing choices of a pass: constrained relaxation (within a max_deviation box), Taubin's
// lambda/mu smoothing (Taubin 1995) and fairing of the cell positions shared by all objects.
#pragma once

#include <cstdint>
#include <variant>

namespace tarna {

struct Relaxation {
    std::uint32_t iterations = 0;
    double step = 0.5;
    double max_deviation = 0.5;
};

struct Taubin {
    std::uint32_t iterations = 0;
    double pass_band = 0.1;
    double lambda = 0.63;
    double max_deviation = 0.5;
};

struct Fairing {
    std::uint32_t iterations = 0;
    double step = 0.5;
    bool junction_rule = true;
    bool with_taubin = false;
    double pass_band = 0.1;
    double lambda = 0.63;
    double max_deviation = 0.5;
};

// Exactly one method is configured; relaxation with 0 iterations means no smoothing.
using Smoothing = std::variant<Relaxation, Taubin, Fairing>;

inline std::uint32_t iteration_count(const Smoothing& smoothing) {
    return std::visit([](const auto& method) { return method.iterations; }, smoothing);
}

inline const char* method_name(const Smoothing& smoothing) {
    switch (smoothing.index()) {
        case 0: return "relaxation";
        case 1: return "taubin";
        default: return "fairing";
    }
}

}  // namespace tarna
