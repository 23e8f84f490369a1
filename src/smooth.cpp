// Smoothing of a pass's surfaces; see smooth.hpp.
#include "smooth.hpp"

#include <cmath>
#include <string>

#include "format.hpp"

namespace tarna {

bool is_valid(double pass_band, double lambda) {
    if (!std::isfinite(pass_band) || !std::isfinite(lambda)) return false;
    if (!(pass_band > 0 && pass_band < 1) || !(lambda > 0 && lambda < 1)) return false;
    const double mu = 1.0 / (pass_band + (-1.0 / lambda));
    return std::isfinite(mu) && mu != 0 && mu < 0 && std::fabs(mu) > lambda && mu > -1;
}

Smoothing choose_smoothing(const SmoothingSettings& settings) {
    if (!std::isfinite(settings.max_deviation) || settings.max_deviation < 0)
        throw InvalidArgument("max_deviation must be finite and non-negative");
    if (!(settings.relaxation_step > 0 && settings.relaxation_step <= 1))
        throw InvalidArgument("relaxation_step must lie in (0, 1]");
    if ((settings.relaxation != 0) + (settings.taubin != 0) + (settings.fairing != 0) > 1)
        throw InvalidArgument("set only one of relaxation, taubin or fairing");
    if (settings.fairing > 0 && !(settings.fairing_step > 0 && settings.fairing_step <= 1))
        throw InvalidArgument("fairing_step must lie in (0, 1]");
    if (settings.taubin > 0 && !is_valid(settings.taubin_pass_band, settings.taubin_lambda)) {
        throw InvalidArgument(
            "taubin_pass_band and taubin_lambda must lie in (0, 1) and give a negative mu larger in magnitude than "
            "lambda; got pass_band=" +
            format_plain(settings.taubin_pass_band) + ", lambda=" + format_plain(settings.taubin_lambda) +
            ", mu=" + format_plain(taubin_mu(settings.taubin_pass_band, settings.taubin_lambda)));
    }
    if (settings.fairing > 0) {
        return Fairing{settings.fairing,        settings.fairing_step,      settings.fairing_junction_rule,
                       settings.fairing_taubin, settings.fairing_pass_band, settings.fairing_lambda,
                       settings.max_deviation};
    }
    if (settings.taubin > 0) {
        return Taubin{settings.taubin, settings.taubin_pass_band, settings.taubin_lambda, settings.max_deviation};
    }
    return Relaxation{settings.relaxation, settings.relaxation_step, settings.max_deviation};
}

void smooth(Extraction&, const Smoothing& smoothing, const Parallel&) {
    if (iteration_count(smoothing) == 0) return;
    static const char* const names[] = {"relaxation", "taubin", "fairing"};
    throw Unsupported(std::string(names[smoothing.index()]) + " smoothing is not implemented yet");
}

}  // namespace tarna
