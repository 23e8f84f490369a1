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
#include "records.hpp"
#include "smooth.hpp"

namespace tarna {

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

}  // namespace tarna
