// Simplification of a triangle mesh by greedy edge collapse ordered by quadric error
// (Garland and Heckbert 1997), within an absolute bound on how far a collapse may move a vertex.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mesh.hpp"

namespace tarna {

// Collapses edges, cheapest first, until at most `target_face_count` faces are alive or no
// collapse is left. Ends of open or non-manifold edges and vertices with a non-zero
// `vertex_flags` entry never move. Neither end of a collapsed edge moves farther than `max_error`
// from where it started (NaN or +inf: no bound). A mesh of fewer than 5 faces, or one on which
// no collapse happened, comes back unchanged; otherwise the result is renumbered in order of
// first use, its `vertex_flags` hold 1 for locked vertices and 0 for the others, and it has no
// normals (the caller computes them for the new vertices).
TriangleMesh simplify(TriangleMesh mesh, std::size_t target_face_count, double max_error);

// For tests: the candidates the set-up of `mesh` would make for the vertex pairs u << 32 | w, as
// (cost bits, edge, stamp, out of bound, which try gave the position) per pair; the stamp is NONE
// when an end is locked.
std::vector<std::array<std::uint64_t, 5>> candidates_of(const TriangleMesh& mesh, double max_error,
                                                        const std::vector<std::uint64_t>& pairs);

}  // namespace tarna
