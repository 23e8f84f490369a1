// Surface extraction: a dual-grid ("surface nets", Gibson 1998) pass that gives every label
// its own quad mesh over vertex positions shared with its neighbours. The cell grid is cut
// into bands of slabs along axis 2; bands are extracted in parallel (`extract_band`), joined
// in order with their seam faces made afterwards (`merge`), so the stored result is identical
// for any band or thread count (`extract`).
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "common.hpp"
#include "grid.hpp"
#include "pool.hpp"
#include "records.hpp"

namespace tarna {

// At most one band per this many slabs, so seam work stays small next to band work.
inline constexpr std::uint64_t SLABS_PER_BAND = 8;

struct BandOptions {
    bool has_owned = false;
    std::array<std::uint64_t, 3> owned{};  // faces are kept when their lowest cell lies inside
    bool track_boundary = false;
    // Labels with at most this many vertices keep their quads in 16 bits: at most
    // SHORT_QUAD_VERTICES, and less only in tests, to make labels grow out of them.
    std::size_t short_quad_vertices = SHORT_QUAD_VERTICES;
};

struct ExtractOptions {
    BandOptions bands;
    bool close = false;         // the volume sits in a virtual border of background
    std::size_t max_bands = 0;  // 0: one per worker of the pass's Parallel
};

// Up to `parts` consecutive non-empty ranges covering [0, total); the first total % parts get one
// element more.
std::vector<std::pair<std::uint64_t, std::uint64_t>> split_range(std::uint64_t total, std::uint64_t parts);

// Every label's surface in `view`. Parallel phases go to `parallel`; the result does not depend
// on it, on the band count or on `recycled`, an earlier result whose arrays (never their
// contents) the pass may take to grow its own into. Throws LimitError when a count would
// overflow its 32-bit index.
template <class Label>
Extraction extract(const VolumeView<Label>& view, const ExtractOptions& options, const Parallel& parallel,
                   Extraction* recycled = nullptr);

extern template Extraction extract(const VolumeView<std::uint8_t>&, const ExtractOptions&, const Parallel&,
                                   Extraction*);
extern template Extraction extract(const VolumeView<std::uint16_t>&, const ExtractOptions&, const Parallel&,
                                   Extraction*);
extern template Extraction extract(const VolumeView<std::uint32_t>&, const ExtractOptions&, const Parallel&,
                                   Extraction*);
extern template Extraction extract(const VolumeView<std::uint64_t>&, const ExtractOptions&, const Parallel&,
                                   Extraction*);

}  // namespace tarna
