// Lookup tables of the surface extraction, all computed at compile time from the cube's corner
// and edge numbering (grid.hpp) and pinned by static_asserts, so a change to a generator fails
// the build instead of silently changing surfaces.
//
//   SURFACE    per 8-bit corner set: which patch each crossed edge belongs to, and the patch count
//   AMBIGUOUS  per corner set: does some cube face show the set on one diagonal only
//   CENTROID   per 12-bit edge mask: the mean of the crossed edges' midpoints, in 1/256 of a cell
//   SURFACE_FACES, JUNCTION_FACES  per 12-bit edge mask: the cell faces the surface crosses, and
//              those where three or more labels meet (fairing links cells through them)
//   SORT_STEPS a bitonic network sorting sixteen lanes (smoothing sorts neighbour lists with it)
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "grid.hpp"

namespace tarna {

// Byte of SURFACE for an edge that is not crossed.
inline constexpr std::uint8_t NO_PATCH = 255;

namespace tables_detail {

// Rule: the face across axis k on side `side` holds the corners whose bit k equals `side`,
// cycled as base, base + step(u), base + step(u) + step(v), base + step(v) with u, v the two
// other axes. Only adjacency along the cycle matters, so its direction is immaterial.
constexpr std::array<std::array<std::uint8_t, 4>, 6> make_face_corners() {
    std::array<std::array<std::uint8_t, 4>, 6> faces{};
    for (unsigned k = 0; k < 3; ++k) {
        const unsigned u = 1u << ((k + 1) % 3), v = 1u << ((k + 2) % 3);
        for (unsigned side = 0; side < 2; ++side) {
            const unsigned base = side << k;
            faces[2 * k + side] = {std::uint8_t(base), std::uint8_t(base + u), std::uint8_t(base + u + v),
                                   std::uint8_t(base + v)};
        }
    }
    return faces;
}
inline constexpr auto FACE_CORNERS = make_face_corners();

constexpr unsigned edge_between(unsigned a, unsigned b) {
    for (unsigned e = 0; e < 12; ++e) {
        if ((EDGE_CORNERS[e][0] == a && EDGE_CORNERS[e][1] == b) ||
            (EDGE_CORNERS[e][0] == b && EDGE_CORNERS[e][1] == a))
            return e;
    }
    return 12;
}

// Face edge q joins face corners q and q + 1 of the cycle.
constexpr std::array<std::array<std::uint8_t, 4>, 6> make_face_edges() {
    std::array<std::array<std::uint8_t, 4>, 6> edges{};
    for (unsigned f = 0; f < 6; ++f) {
        for (unsigned q = 0; q < 4; ++q)
            edges[f][q] = std::uint8_t(edge_between(FACE_CORNERS[f][q], FACE_CORNERS[f][(q + 1) % 4]));
    }
    return edges;
}
inline constexpr auto FACE_EDGES = make_face_edges();

constexpr bool edge_crossed(unsigned set, unsigned e) {
    return ((set >> EDGE_CORNERS[e][0]) & 1u) != ((set >> EDGE_CORNERS[e][1]) & 1u);
}

constexpr unsigned find_root(std::array<std::uint8_t, 12>& parent, unsigned e) {
    while (parent[e] != e) e = parent[e];
    return e;
}

constexpr void link(std::array<std::uint8_t, 12>& parent, unsigned a, unsigned b) {
    const unsigned ra = find_root(parent, a), rb = find_root(parent, b);
    if (ra != rb) parent[ra > rb ? ra : rb] = std::uint8_t(ra < rb ? ra : rb);
}

}  // namespace tables_detail

// Rule: for corner set s (bit k = corner k holds the label), an edge is crossed when exactly one
// of its corners is in s. On each cube face, crossed edges are linked: with two crossed edges on
// the face, those two; with four (the diagonal case), for each face corner in s the two face
// edges meeting at it, so the label's diagonal corners are cut off apart and the outside joins
// across the face. Patches are the connected groups of crossed edges, numbered 0, 1, ... in the
// order of their lowest edge. Byte [12 s + e] is edge e's patch (NO_PATCH when not crossed);
// byte [3072 + s] is the number of patches of s.
constexpr std::array<std::uint8_t, 3328> make_surface() {
    using namespace tables_detail;
    std::array<std::uint8_t, 3328> table{};
    for (unsigned set = 0; set < 256; ++set) {
        std::array<std::uint8_t, 12> parent{};
        for (unsigned e = 0; e < 12; ++e) parent[e] = std::uint8_t(e);
        for (unsigned f = 0; f < 6; ++f) {
            unsigned crossed_count = 0;
            std::array<unsigned, 4> crossed{};
            for (unsigned q = 0; q < 4; ++q) {
                if (edge_crossed(set, FACE_EDGES[f][q])) crossed[crossed_count++] = FACE_EDGES[f][q];
            }
            if (crossed_count == 2) {
                link(parent, crossed[0], crossed[1]);
            } else if (crossed_count == 4) {
                // Face corner q lies between face edges q - 1 and q.
                for (unsigned q = 0; q < 4; ++q) {
                    if ((set >> FACE_CORNERS[f][q]) & 1u) link(parent, FACE_EDGES[f][(q + 3) % 4], FACE_EDGES[f][q]);
                }
            }
        }
        std::array<std::uint8_t, 12> patch_of_root{};
        for (unsigned e = 0; e < 12; ++e) patch_of_root[e] = NO_PATCH;
        unsigned patch_count = 0;
        for (unsigned e = 0; e < 12; ++e) {
            if (!edge_crossed(set, e)) {
                table[12 * set + e] = NO_PATCH;
                continue;
            }
            const unsigned root = find_root(parent, e);
            if (patch_of_root[root] == NO_PATCH) patch_of_root[root] = std::uint8_t(patch_count++);
            table[12 * set + e] = patch_of_root[root];
        }
        table[256 * 12 + set] = std::uint8_t(patch_count);
    }
    return table;
}
inline constexpr auto SURFACE = make_surface();

// Where SURFACE's patch counts begin, after 256 rows of 12 edge bytes.
inline constexpr std::size_t PATCH_COUNTS = 256 * 12;
// The number of patches (vertices a label gets in a cell) of corner set s.
constexpr unsigned patch_count(unsigned set) { return SURFACE[PATCH_COUNTS + set]; }

// Rule: set s is ambiguous when some cube face has its four corners alternating in and out of s
// around the face (each diagonal uniform, the two diagonals different).
constexpr std::array<std::uint8_t, 256> make_ambiguous() {
    using namespace tables_detail;
    std::array<std::uint8_t, 256> table{};
    for (unsigned set = 0; set < 256; ++set) {
        for (unsigned f = 0; f < 6; ++f) {
            unsigned in[4] = {};
            for (unsigned q = 0; q < 4; ++q) in[q] = (set >> FACE_CORNERS[f][q]) & 1u;
            if (in[0] == in[2] && in[1] == in[3] && in[0] != in[1]) table[set] = 1;
        }
    }
    return table;
}
inline constexpr auto AMBIGUOUS = make_ambiguous();

// Rule: entry m is the mean of the midpoints of the edges set in the 12-bit mask m, with corner 0
// at (0, 0, 0) and corner 7 at (256, 256, 256), each coordinate rounded to the nearest integer
// (midpoint coordinates are 0, 128 or 256, sums stay non-negative, and no mean falls on a half).
// Entry 0 is (0, 0, 0).
constexpr std::array<std::array<std::int32_t, 3>, 4096> make_centroid() {
    std::array<std::array<std::int32_t, 3>, 4096> table{};
    for (unsigned mask = 1; mask < 4096; ++mask) {
        std::int32_t sum[3] = {0, 0, 0};
        std::int32_t count = 0;
        for (unsigned e = 0; e < 12; ++e) {
            if (!((mask >> e) & 1u)) continue;
            ++count;
            const auto a = corner_offset(EDGE_CORNERS[e][0]), b = corner_offset(EDGE_CORNERS[e][1]);
            for (unsigned k = 0; k < 3; ++k) sum[k] += std::int32_t(a[k] + b[k]) * 128;
        }
        for (unsigned k = 0; k < 3; ++k) table[mask][k] = (2 * sum[k] + count) / (2 * count);
    }
    return table;
}
inline constexpr auto CENTROID = make_centroid();

namespace tables_detail {

// Face bits, shared with fairing's in-grid mask: bit f is the face across axis f / 2, on the low
// side when f is even, the high side when odd (FACE_CORNERS' order). The face's four edges as a mask.
constexpr unsigned face_edge_mask(unsigned f) {
    unsigned mask = 0;
    for (unsigned q = 0; q < 4; ++q) mask |= 1u << FACE_EDGES[f][q];
    return mask;
}

}  // namespace tables_detail

// Rule: bit f of entry m is set when at least `min_crossed` of face f's four edges are in the
// 12-bit edge mask m. Two crossed edges on a face mean the surface passes through it; three or
// more need three labels meeting there, so such a face is a junction face.
constexpr std::array<std::uint8_t, 4096> make_faces_crossed(unsigned min_crossed) {
    std::array<std::uint8_t, 4096> table{};
    for (unsigned mask = 0; mask < 4096; ++mask) {
        for (unsigned f = 0; f < 6; ++f) {
            if (unsigned(std::popcount(mask & tables_detail::face_edge_mask(f))) >= min_crossed)
                table[mask] = std::uint8_t(table[mask] | (1u << f));
        }
    }
    return table;
}
inline constexpr auto SURFACE_FACES = make_faces_crossed(2);
inline constexpr auto JUNCTION_FACES = make_faces_crossed(3);

namespace tables_detail {

// "0 1 - 0 ..." as written in the design notes: twelve patch numbers, a dash for NO_PATCH.
constexpr bool surface_row_is(unsigned set, unsigned patches, const char* row) {
    unsigned e = 0;
    for (const char* p = row; *p; ++p) {
        if (*p == ' ') continue;
        const unsigned expected = *p == '-' ? NO_PATCH : unsigned(*p - '0');
        if (e >= 12 || SURFACE[12 * set + e] != expected) return false;
        ++e;
    }
    return e == 12 && patch_count(set) == patches;
}

constexpr unsigned sets_with_patches(unsigned patches) {
    unsigned count = 0;
    for (unsigned set = 1; set < 255; ++set) count += patch_count(set) == patches;
    return count;
}

constexpr unsigned ambiguous_count() {
    unsigned count = 0;
    for (unsigned set = 0; set < 256; ++set) count += AMBIGUOUS[set];
    return count;
}

constexpr bool centroid_is(unsigned mask, std::int32_t c0, std::int32_t c1, std::int32_t c2) {
    return CENTROID[mask][0] == c0 && CENTROID[mask][1] == c1 && CENTROID[mask][2] == c2;
}

// The rounding above is only exact if no mean lies halfway between two integers.
constexpr bool centroid_has_no_ties() {
    for (unsigned mask = 1; mask < 4096; ++mask) {
        const int count = std::popcount(mask);
        for (unsigned k = 0; k < 3; ++k) {
            int sum = 0;
            for (unsigned e = 0; e < 12; ++e) {
                if ((mask >> e) & 1u)
                    sum += int(corner_offset(EDGE_CORNERS[e][0])[k] + corner_offset(EDGE_CORNERS[e][1])[k]) * 128;
            }
            if ((2 * sum) % (2 * count) == count) return false;
        }
    }
    return true;
}

}  // namespace tables_detail

static_assert(sizeof(SURFACE) == 3328);
static_assert(tables_detail::surface_row_is(0x01, 1, "0 0 0 - - - - - - - - -") && AMBIGUOUS[0x01] == 0);
static_assert(tables_detail::surface_row_is(0x03, 1, "- 0 0 0 0 - - - - - - -") && AMBIGUOUS[0x03] == 0);
static_assert(tables_detail::surface_row_is(0x06, 2, "0 1 - 0 0 1 1 - - - - -") && AMBIGUOUS[0x06] == 1);
static_assert(tables_detail::surface_row_is(0xF9, 1, "0 0 - 0 0 0 0 - - - - -") && AMBIGUOUS[0xF9] == 1);
static_assert(tables_detail::surface_row_is(0x81, 2, "0 0 0 - - - - 1 - - 1 1") && AMBIGUOUS[0x81] == 0);
static_assert(tables_detail::surface_row_is(0x7E, 2, "0 0 0 - - - - 1 - - 1 1") && AMBIGUOUS[0x7E] == 0);
static_assert(tables_detail::surface_row_is(0x69, 4, "0 0 0 1 2 1 3 1 2 3 2 3") && AMBIGUOUS[0x69] == 1);
static_assert(tables_detail::surface_row_is(0x3C, 2, "- 0 1 0 1 - 0 0 - 1 1 -") && AMBIGUOUS[0x3C] == 1);
static_assert(patch_count(0x00) == 0 && patch_count(0xFF) == 0);
static_assert(tables_detail::sets_with_patches(1) == 162 && tables_detail::sets_with_patches(2) == 82 &&
              tables_detail::sets_with_patches(3) == 8 && tables_detail::sets_with_patches(4) == 2);
static_assert(tables_detail::ambiguous_count() == 120);
static_assert(tables_detail::centroid_is(0x000, 0, 0, 0) && tables_detail::centroid_is(0x001, 128, 0, 0) &&
              tables_detail::centroid_is(0x003, 64, 64, 0) && tables_detail::centroid_is(0x007, 43, 43, 43) &&
              tables_detail::centroid_is(0x111, 171, 0, 128) && tables_detail::centroid_is(0xFFF, 128, 128, 128));
static_assert(tables_detail::centroid_has_no_ties());

namespace tables_detail {

// A junction face has at most one edge left uncrossed: the complement mask crosses it at most once.
constexpr bool junction_complements_surface() {
    for (unsigned mask = 0; mask < 4096; ++mask) {
        if (JUNCTION_FACES[mask] != (~SURFACE_FACES[4095 - mask] & 0x3F)) return false;
    }
    return true;
}

}  // namespace tables_detail

static_assert(tables_detail::face_edge_mask(0) == 0x246 && tables_detail::face_edge_mask(1) == 0x498 &&
              tables_detail::face_edge_mask(2) == 0x115 && tables_detail::face_edge_mask(3) == 0x8E0 &&
              tables_detail::face_edge_mask(4) == 0x02B && tables_detail::face_edge_mask(5) == 0xF00);
static_assert(sizeof(SURFACE_FACES) == 4096 && sizeof(JUNCTION_FACES) == 4096);
static_assert(SURFACE_FACES[0x003] == 0x10 && JUNCTION_FACES[0x003] == 0x00);
static_assert(SURFACE_FACES[0x00F] == 0x15 && JUNCTION_FACES[0x00F] == 0x10);
static_assert(SURFACE_FACES[0x066] == 0x19 && JUNCTION_FACES[0x066] == 0x01);
static_assert(SURFACE_FACES[0xFFF] == 0x3F && JUNCTION_FACES[0xFFF] == 0x3F);
static_assert(tables_detail::junction_complements_surface());

// One compare-exchange step of SORT_STEPS: lane i meets lane partner[i] and keeps the larger of the
// two where bit i of keeps_larger is set, the smaller elsewhere.
struct SortStep {
    std::array<std::uint32_t, 16> partner;
    std::uint16_t keeps_larger;
};

namespace tables_detail {

// Rule: step (k, j), for block sizes k = 2, 4, 8, 16 and distances j = k / 2 down to 1, pairs lane
// i with lane i ^ j; lane i keeps the larger when its block of k lanes ascends (bit k of i clear)
// and i is the higher lane of the pair, or the block descends and i is the lower one.
constexpr std::array<SortStep, 10> make_sort_steps() {
    std::array<SortStep, 10> steps{};
    std::size_t n = 0;
    for (std::uint32_t k = 2; k <= 16; k *= 2) {
        for (std::uint32_t j = k / 2; j > 0; j /= 2, ++n) {
            for (std::uint32_t i = 0; i < 16; ++i) {
                const std::uint32_t other = i ^ j;
                steps[n].partner[i] = other;
                if (((i & k) == 0) == (i > other)) steps[n].keeps_larger |= std::uint16_t(1u << i);
            }
        }
    }
    return steps;
}

}  // namespace tables_detail

// Sixteen lanes in ascending order after all ten steps (checked for every input of zeros and ones
// in the core tests, which by the 0-1 principle covers every input).
inline constexpr auto SORT_STEPS = tables_detail::make_sort_steps();
static_assert(SORT_STEPS[0].partner[0] == 1 && SORT_STEPS[0].keeps_larger == 0x6666);
static_assert(SORT_STEPS[9].partner[4] == 5 && SORT_STEPS[9].keeps_larger == 0xAAAA);

}  // namespace tarna
