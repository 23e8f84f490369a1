// Smoothing of a pass's surfaces, in 32-bit floats rounded back to fixed point:
//   run    umbrella passes over one object's own vertices, each kept within a max_deviation box
//          around its extracted position; one weight per pass gives constrained relaxation, the
//          pair (lambda, mu) gives Taubin's shrink-free lambda/mu smoothing (Taubin 1995, "A signal
//          processing approach to fair surface design").
//   fair   the same kind of pass over the cell vertices shared by every object, linking cells across
//          the faces the surface crosses and keeping each vertex inside its cell, so touching
//          objects still meet exactly; every object then copies its positions back.
//   smooth the smoothing step of a pass: the configured method over a whole Extraction.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "common.hpp"
#include "records.hpp"

namespace tarna {

class Parallel;

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

// Taubin's inflating weight for a pass band and lambda, in doubles: 1 / (pass_band - 1 / lambda).
double taubin_mu(double pass_band, double lambda);
// The pair is usable when both lie in (0, 1) and mu is finite, negative, above -1 and larger in
// magnitude than lambda.
bool is_valid(double pass_band, double lambda);

// A smoothed position: x, y, z and an unused fourth lane, so one 16-byte operation handles a
// whole position. Lanes never mix, so each coordinate is computed exactly as on its own.
using Point4f = float __attribute__((vector_size(16)));

// Working arrays of `run`, reused for every object one thread smooths; only their capacity
// outlives a call.
struct Scratch {
    std::vector<std::uint32_t> neighbour_start;  // vertex count + 1: where each neighbour list begins
    std::vector<std::uint32_t> neighbour_end;    // fill cursors, then where each list ends
    std::vector<std::uint32_t> neighbours;       // the lists, then the unsorted fill
    // The positions passes write, taking turns; the first pass reads `start` instead.
    std::vector<Point4f> current;
    std::vector<Point4f> next;
    // Per vertex, its extracted position o, and in the fourth lane the half-width h of its box
    // [o - h, h + o]: the max_deviation bound, or 0 for a vertex that must not move (flagged as on
    // the boundary, or without neighbours), which clamps every pass back to exactly o.
    std::vector<Point4f> start;
    // Passes work on slots: the vertices grouped by how many neighbours they have (3, 4, 5, 6,
    // any other), ascending within a group. `current`, `next` and `start` are in slot order.
    std::vector<std::uint32_t> slot_of;          // vertex -> slot
    std::vector<std::uint32_t> vertex_of;        // slot -> vertex
    std::vector<std::uint32_t> slot_first;       // slot count + 1: where the lists of each group begin,
                                                 // each of the others' slots' list, and the end
    std::vector<std::uint32_t> slot_neighbours;  // the neighbour lists as twice their slots, in slot order
    std::array<std::uint32_t, 6> group_start{};  // where each group begins, and the last ends
};

// Working memory that may outlive a call: the next call takes over its capacity (never its
// contents), so it does not fault in fresh pages again (on the dense benchmark volume fairing
// touches 17 to 40 MB, 130 to 145 MB with Taubin weights). A Mesher keeps one between mesh()
// calls and releases it in clear().
struct SmoothingMemory {
    std::vector<Scratch> scratch;  // relaxation and Taubin: one per thread slot
    // Fairing: links and packed words of cell vertices (every one, or a ring's worth per region),
    // the passes' position rings, the positions of region ends kept aside and the positions
    // between runs of passes; each with its room in entries.
    LargeArray<std::uint8_t> found;
    LargeArray<std::uint32_t> list;
    LargeArray<std::uint32_t> packed;
    LargeArray<Point4f> rings, aside, hold;
    std::size_t found_room = 0, list_room = 0, packed_room = 0, rings_room = 0, aside_room = 0, hold_room = 0;
    // Fairing on dense grids: which cells hold a vertex, for `occupied_room` words of 64 cells.
    LargeArray<std::uint64_t> occupied_bits;
    LargeArray<std::uint32_t> occupied_first;
    std::size_t occupied_room = 0;
};

// `iterations` times, one umbrella pass per weight for the first `passes` weights; moves `mesh`'s
// positions, nothing else. Vertices flagged as on the boundary (in `boundary`, or through their
// cells) stay put. A mesh that shares its cells' positions starts from those (in `cells`) and ends
// with positions of its own.
void run(LabelMesh& mesh, const CellField& cells, std::uint32_t iterations, std::span<const double> weights,
         std::uint32_t passes, Scratch& scratch, double max_deviation);

// Fairs the shared cell positions of `cells` over a grid of `cell_shape` cells; chunks of cells
// go to `parallel`, which does not change the result.
void fair(CellField& cells, const std::array<std::uint64_t, 3>& cell_shape, const Fairing& fairing,
          const Parallel& parallel, SmoothingMemory* memory = nullptr);

// For tests: how many passes fair() runs at once at most (0: as many as its reads keep in cache);
// returns the earlier limit. One at a time gives the plain order of passes to compare with.
std::size_t limit_fairing_depth(std::size_t depth);

// For tests: fair's links of every cell vertex, its flags then its four slots, found through a map
// of the cells that hold a vertex or with cursors (fair takes the map for dense grids).
std::vector<std::uint32_t> fairing_links_of(const CellField& cells, const std::array<std::uint64_t, 3>& cell_shape,
                                            bool junction_rule, bool through_map, const Parallel& parallel);

// Applies `smoothing` to every object of `extraction`; the result does not depend on `parallel`,
// nor on what `memory` (when given, fair's too) held from earlier calls.
void smooth(Extraction& extraction, const Smoothing& smoothing, const Parallel& parallel,
            SmoothingMemory* memory = nullptr);

}  // namespace tarna
