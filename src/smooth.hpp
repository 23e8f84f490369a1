// Smoothing of a pass's surfaces: constrained relaxation (every move bounded by a max_deviation
// box), Taubin's lambda/mu smoothing (Taubin 1995, "A signal processing approach to fair surface
// design") and fairing of the cell positions shared by all objects.
#pragma once

#include <cstdint>
#include <variant>

#include "pool.hpp"
#include "records.hpp"

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

// Every smoothing parameter as the caller gives it, before the one method is chosen.
struct SmoothingSettings {
    std::uint32_t relaxation = 0;
    double max_deviation = 0.5;
    double relaxation_step = 0.5;
    std::uint32_t taubin = 0;
    double taubin_pass_band = 0.1;
    double taubin_lambda = 0.63;
    std::uint32_t fairing = 0;
    double fairing_step = 0.5;
    bool fairing_junction_rule = true;
    bool fairing_taubin = false;
    double fairing_pass_band = 0.1;
    double fairing_lambda = 0.63;
};

// Checks the settings in a fixed order and keeps the chosen method's parameters; throws
// InvalidArgument with the first failure's message.
Smoothing choose_smoothing(const SmoothingSettings& settings);

// Taubin's inflating weight for a pass band and lambda, in doubles.
inline double taubin_mu(double pass_band, double lambda) { return 1.0 / (pass_band - 1.0 / lambda); }

// Whether a pass band and lambda give a usable mu: finite, negative, larger in magnitude than
// lambda and above -1.
bool is_valid(double pass_band, double lambda);

// The smoothing step of a pass: moves the stored positions of `extraction` by the chosen method.
void smooth(Extraction& extraction, const Smoothing& smoothing, const Parallel& parallel);

}  // namespace tarna
