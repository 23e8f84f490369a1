// Smoothing: constrained umbrella passes in 32-bit floats over fixed-point surfaces.
// Input: the Extraction of a pass (each object's quads and positions, the shared cell vertices) and
// the configured method; output: the same Extraction with moved positions, rounded back to fixed
// point. Relaxation and Taubin smoothing (Taubin 1995, "A signal processing approach to fair
// surface design": a shrinking pass with weight lambda, then an inflating one with mu) move each
// object's own copy of its vertices within a box around the extracted position; fairing moves
// the cell vertices all objects share, within their cells, and objects copy them back.
// Every float expression is evaluated exactly as written (no contraction, no reassociation), and
// every pass reads one buffer and writes the other, so results never depend on the thread count.
#include "smooth.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "pool.hpp"
#include "tables.hpp"

namespace tarna {

double taubin_mu(double pass_band, double lambda) { return 1.0 / (pass_band - 1.0 / lambda); }

bool is_valid(double pass_band, double lambda) {
    if (!std::isfinite(pass_band) || !std::isfinite(lambda)) return false;
    if (pass_band <= 0 || pass_band >= 1 || lambda <= 0 || lambda >= 1) return false;
    const double mu = taubin_mu(pass_band, lambda);
    return std::isfinite(mu) && mu != 0 && mu < 0 && mu > -1.0 && std::fabs(mu) > lambda;
}

namespace {

// Half-width of the displacement box in position units; a bound beyond float range becomes
// infinity, and the box then restricts nothing.
float box_half_width(double max_deviation) { return static_cast<float>(max_deviation * 256.0); }

// note: argument order matters: std::max(lo, t) is lo when t is NaN, so a NaN (from an unchecked
// fairing pair) lands on the box's low corner rather than escaping the box.
inline float clamp_to_box(float t, float lo, float hi) { return std::min(hi, std::max(lo, t)); }

// Nearest integer, halves away from zero, saturated to 32 bits; NaN gives 0.
std::int32_t to_fixed(float value) {
    if (std::isnan(value)) return 0;
    const float rounded = std::round(value);
    if (rounded >= 2147483648.0f) return std::numeric_limits<std::int32_t>::max();
    if (rounded <= -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(rounded);
}

Point3f to_float(const Position& position) {
    return {static_cast<float>(position[0]), static_cast<float>(position[1]), static_cast<float>(position[2])};
}

// ---------------------------------------------------------------------------------------------
// Per-object smoothing.

// Neighbours are the other ends of a vertex's quad sides (never the diagonals), as offsets plus
// data: count, prefix sum, fill, then every list sorted ascending, since sums run in index order,
// with repeats and the vertex itself dropped.
void build_neighbours(const LabelMesh& mesh, Scratch& scratch) {
    const std::size_t vertex_count = mesh.positions.size();
    std::vector<std::uint32_t>& start = scratch.neighbour_start;
    std::vector<std::uint32_t>& end = scratch.neighbour_end;
    std::vector<std::uint32_t>& list = scratch.neighbours;
    start.assign(vertex_count + 1, 0);
    for (const Quad& quad : mesh.quads) {
        for (const std::uint32_t corner : quad) {
            TARNA_ASSERT(corner < vertex_count, "smoothing: quad corner out of range");
            start[corner + 1] += 2;  // the two sides of the quad at this corner
        }
    }
    for (std::size_t v = 1; v <= vertex_count; ++v) start[v] += start[v - 1];
    end.assign(start.begin(), start.end());
    list.resize(start[vertex_count]);
    for (const Quad& quad : mesh.quads) {
        const std::uint32_t a = quad[0], b = quad[1], c = quad[2], d = quad[3];
        list[end[a]++] = b;
        list[end[b]++] = a;
        list[end[b]++] = c;
        list[end[c]++] = b;
        list[end[c]++] = d;
        list[end[d]++] = c;
        list[end[d]++] = a;
        list[end[a]++] = d;
    }
    for (std::size_t v = 0; v < vertex_count; ++v) {
        std::uint32_t* const first = list.data() + start[v];
        std::uint32_t* const last = list.data() + end[v];
        // Insertion sort: a list holds two entries per quad at the vertex, rarely more than 24.
        for (std::uint32_t* p = first + (first != last); p < last; ++p) {
            const std::uint32_t value = *p;
            std::uint32_t* hole = p;
            for (; hole != first && hole[-1] > value; --hole) *hole = hole[-1];
            *hole = value;
        }
        std::uint32_t* kept = first;
        for (const std::uint32_t* p = first; p != last; ++p) {
            if (*p != v && (kept == first || kept[-1] != *p)) *kept++ = *p;
        }
        end[v] = start[v] + static_cast<std::uint32_t>(kept - first);
    }
}

// One umbrella pass with weight `weight`: every free vertex moves that fraction of the way to its
// neighbours' mean, clamped to the box of half-width `bound` around its extracted position.
void umbrella_pass(const LabelMesh& mesh, const Scratch& scratch, const Point3f* current, Point3f* next, float weight,
                   float bound) {
    const std::size_t vertex_count = mesh.positions.size();
    const Position* origin = mesh.positions.data();
    const std::uint32_t* start = scratch.neighbour_start.data();
    const std::uint32_t* end = scratch.neighbour_end.data();
    const std::uint32_t* list = scratch.neighbours.data();
    const std::uint8_t* pinned = scratch.pinned.data();
    for (std::size_t j = 0; j < vertex_count; ++j) {
        const std::uint32_t first = start[j], last = end[j];
        if (first == last || pinned[j] != 0) {
            next[j] = current[j];
            continue;
        }
        float sum[3] = {0.0f, 0.0f, 0.0f};
        for (std::uint32_t i = first; i < last; ++i) {
            const Point3f& neighbour = current[list[i]];
            sum[0] += neighbour[0];
            sum[1] += neighbour[1];
            sum[2] += neighbour[2];
        }
        const float reciprocal = 1.0f / static_cast<float>(last - first);
        for (int k = 0; k < 3; ++k) {
            const float p = current[j][k];
            const float o = static_cast<float>(origin[j][k]);
            const float lo = o - bound;
            const float hi = bound + o;
            const float t = (sum[k] * reciprocal - p) * weight + p;
            next[j][k] = clamp_to_box(t, lo, hi);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Fairing of the shared cell vertices.

// Cell vertices per task: large volumes use every worker, small ones stay in one task.
inline constexpr std::size_t FAIR_CHUNK = 65536;

// The directions each cell vertex links through (face bits of tables.hpp): the faces its surface
// crosses or, with the junction rule and two or more junction faces, those alone, so the curves
// where labels meet are smoothed along themselves. Never across the grid's outer faces.
void link_faces(const CellField& cells, const std::array<std::uint64_t, 3>& cell_shape, bool junction_rule,
                std::vector<std::uint8_t>& faces) {
    const std::uint64_t n0 = cell_shape[0], n1 = cell_shape[1], n2 = cell_shape[2];
    faces.resize(cells.size());
    for (std::size_t j = 0; j < cells.size(); ++j) {
        const std::uint64_t cell = cells.cell_ids[j];
        const unsigned edges = cells.edge_masks[j];
        TARNA_ASSERT(edges < 4096, "fairing: edge mask wider than 12 bits");
        TARNA_ASSERT(j == 0 || cells.cell_ids[j - 1] < cell, "fairing: cell ids do not ascend");
        const std::uint64_t i0 = cell % n0, i1 = (cell / n0) % n1, i2 = cell / (n0 * n1);
        TARNA_ASSERT(i2 < n2, "fairing: cell id outside the grid");
        const unsigned in_grid = unsigned(i0 > 0) | unsigned(i0 + 1 < n0) << 1 | unsigned(i1 > 0) << 2 |
                                 unsigned(i1 + 1 < n1) << 3 | unsigned(i2 > 0) << 4 | unsigned(i2 + 1 < n2) << 5;
        unsigned linked = in_grid & SURFACE_FACES[edges];
        if (junction_rule) {
            const unsigned junctions = in_grid & JUNCTION_FACES[edges];
            if (std::popcount(junctions) >= 2) linked = junctions;
        }
        faces[j] = static_cast<std::uint8_t>(linked);
    }
}

// Cell vertices whose id is below `target`.
std::size_t count_below(const std::vector<std::uint64_t>& ids, std::int64_t target) {
    if (target <= 0) return 0;
    return std::size_t(std::lower_bound(ids.begin(), ids.end(), std::uint64_t(target)) - ids.begin());
}

// One pass over cell vertices [first, last). The neighbour in direction d is the vertex whose id
// is the own id plus offsets[d]; ids ascend, so one cursor per direction only moves forward.
void fair_chunk(const CellField& cells, const std::uint8_t* faces, const std::array<std::int64_t, 6>& offsets,
                const Point3f* current, Point3f* next, std::size_t first, std::size_t last, float weight,
                float bound) {
    const std::vector<std::uint64_t>& ids = cells.cell_ids;
    const std::size_t count = ids.size();
    std::array<std::size_t, 6> cursor;
    for (int d = 0; d < 6; ++d) cursor[d] = count_below(ids, std::int64_t(ids[first]) + offsets[d]);
    for (std::size_t j = first; j < last; ++j) {
        const std::int64_t id = std::int64_t(ids[j]);
        const unsigned linked = faces[j];
        float sum[3] = {0.0f, 0.0f, 0.0f};
        unsigned found = 0;
        for (int d = 0; d < 6; ++d) {
            // An unlinked direction's cursor is left behind; it catches up when next needed.
            if (((linked >> d) & 1u) == 0) continue;
            const std::int64_t target = id + offsets[d];
            std::size_t at = cursor[d];
            while (at < count && std::int64_t(ids[at]) < target) ++at;
            cursor[d] = at;
            if (at < count && std::int64_t(ids[at]) == target) {
                sum[0] += current[at][0];
                sum[1] += current[at][1];
                sum[2] += current[at][2];
                ++found;
            }
        }
        if (found == 0 || cells.boundary[j] != 0) {
            next[j] = current[j];
            continue;
        }
        const float reciprocal = 1.0f / static_cast<float>(found);
        const std::array<std::int32_t, 3>& centroid = CENTROID[cells.edge_masks[j]];
        for (int k = 0; k < 3; ++k) {
            const std::int32_t extracted = cells.positions[j][k];
            const float o = static_cast<float>(extracted);
            // The cell spans [corner 0, corner 0 + 256) on every axis; the vertex stays inside it.
            const float lowest = static_cast<float>(extracted - centroid[k]);
            const float lo = std::max(o - bound, lowest);
            const float hi = std::min(lowest + 256.0f, o + bound);
            const float p = current[j][k];
            const float t = (sum[k] * reciprocal - p) * weight + p;
            next[j][k] = clamp_to_box(t, lo, hi);
        }
    }
}

// After fairing every object takes its vertices back from the cells they lie in.
void refresh_positions(Extraction& extraction, const Parallel& parallel) {
    const std::vector<Position>& shared = extraction.surface_cells.positions;
    parallel.for_each(extraction.meshes.size(), [&](std::size_t i) {
        LabelMesh& mesh = extraction.meshes[i];
        const std::size_t count = std::min(mesh.positions.size(), mesh.cells.size());
        for (std::size_t k = 0; k < count; ++k) {
            TARNA_ASSERT(mesh.cells[k] < shared.size(), "fairing: vertex cell out of range");
            mesh.positions[k] = shared[mesh.cells[k]];
        }
    });
}

}  // namespace

void run(LabelMesh& mesh, std::uint32_t iterations, std::span<const double> weights, std::uint32_t passes,
         Scratch& scratch, double max_deviation) {
    if (iterations == 0 || mesh.quads.empty()) return;
    TARNA_ASSERT(passes >= 1 && passes <= weights.size(), "smoothing: fewer weights than passes");
    const std::size_t vertex_count = mesh.positions.size();
    TARNA_ASSERT(vertex_count < NONE && mesh.quads.size() <= NONE / 8, "smoothing: object too large for 32-bit indices");
    build_neighbours(mesh, scratch);

    scratch.current.resize(vertex_count);
    for (std::size_t j = 0; j < vertex_count; ++j) scratch.current[j] = to_float(mesh.positions[j]);
    scratch.next.assign(scratch.current.begin(), scratch.current.end());
    if (mesh.boundary.size() == vertex_count) {
        scratch.pinned.assign(mesh.boundary.begin(), mesh.boundary.end());
    } else {
        scratch.pinned.assign(vertex_count, 0);
    }
    const float bound = box_half_width(max_deviation);

    // The buffers swap roles after every pass; no copying between passes.
    Point3f* current = scratch.current.data();
    Point3f* next = scratch.next.data();
    for (std::uint32_t iteration = 0; iteration < iterations; ++iteration) {
        for (std::uint32_t pass = 0; pass < passes; ++pass) {
            umbrella_pass(mesh, scratch, current, next, static_cast<float>(weights[pass]), bound);
            std::swap(current, next);
        }
    }
    for (std::size_t j = 0; j < vertex_count; ++j) {
        for (int k = 0; k < 3; ++k) mesh.positions[j][k] = to_fixed(current[j][k]);
    }
}

void fair(CellField& cells, const std::array<std::uint64_t, 3>& cell_shape, const Fairing& fairing,
          const Parallel& parallel) {
    const std::size_t count = cells.size();
    if (count == 0 || fairing.iterations == 0) return;
    TARNA_ASSERT(cells.cell_ids.size() == count && cells.edge_masks.size() == count && cells.boundary.size() == count,
                 "fairing: cell field arrays differ in length");
    // Neighbour ids are formed in signed arithmetic, where a step below cell 0 stays negative.
    TARNA_ASSERT(cells.cell_ids.back() < (std::uint64_t(1) << 62), "fairing: cell ids beyond 2^62");

    // The pair is used unchecked: a mu that is infinite or NaN still lands inside the cell box.
    std::array<float, 2> weights = {static_cast<float>(fairing.step), 0.0f};
    std::size_t weight_count = 1;
    if (fairing.with_taubin) {
        weights = {static_cast<float>(fairing.lambda), static_cast<float>(taubin_mu(fairing.pass_band, fairing.lambda))};
        weight_count = 2;
    }
    const float bound = box_half_width(fairing.max_deviation);

    std::vector<Point3f> current(count);
    for (std::size_t j = 0; j < count; ++j) current[j] = to_float(cells.positions[j]);
    std::vector<Point3f> next(current);
    std::vector<std::uint8_t> faces;
    link_faces(cells, cell_shape, fairing.junction_rule, faces);

    const std::int64_t n0 = std::int64_t(cell_shape[0]), slab = std::int64_t(cell_shape[0] * cell_shape[1]);
    const std::array<std::int64_t, 6> offsets = {-1, 1, -n0, n0, -slab, slab};
    const std::size_t chunk_count = (count + FAIR_CHUNK - 1) / FAIR_CHUNK;
    Point3f* read = current.data();
    Point3f* write = next.data();
    for (std::uint32_t iteration = 0; iteration < fairing.iterations; ++iteration) {
        for (std::size_t w = 0; w < weight_count; ++w) {
            parallel.for_each(chunk_count, [&](std::size_t chunk) {
                const std::size_t first = chunk * FAIR_CHUNK;
                fair_chunk(cells, faces.data(), offsets, read, write, first, std::min(count, first + FAIR_CHUNK),
                           weights[w], bound);
            });
            std::swap(read, write);
        }
    }
    for (std::size_t j = 0; j < count; ++j) {
        for (int k = 0; k < 3; ++k) cells.positions[j][k] = to_fixed(read[j][k]);
    }
}

void smooth(Extraction& extraction, const Smoothing& smoothing, const Parallel& parallel) {
    if (const Fairing* fairing = std::get_if<Fairing>(&smoothing)) {
        fair(extraction.surface_cells, extraction.cell_shape, *fairing, parallel);
        refresh_positions(extraction, parallel);
        return;
    }
    std::array<double, 2> weights{};
    std::uint32_t iterations = 0, passes = 1;
    double max_deviation = 0;
    if (const Relaxation* relaxation = std::get_if<Relaxation>(&smoothing)) {
        iterations = relaxation->iterations;
        weights[0] = relaxation->step;
        max_deviation = relaxation->max_deviation;
    } else {
        const Taubin& taubin = std::get<Taubin>(smoothing);
        iterations = taubin.iterations;
        weights = {taubin.lambda, taubin_mu(taubin.pass_band, taubin.lambda)};
        passes = 2;
        max_deviation = taubin.max_deviation;
    }
    if (iterations == 0) return;
    // One Scratch per thread slot, reused for every object that thread smooths.
    std::vector<Scratch> scratch(parallel.slots());
    parallel.for_each_slot(extraction.meshes.size(), [&](std::size_t i, std::size_t slot) {
        TARNA_ASSERT(slot < scratch.size(), "smoothing: worker slot out of range");
        run(extraction.meshes[i], iterations, std::span<const double>(weights.data(), passes), passes, scratch[slot],
            max_deviation);
    });
}

}  // namespace tarna
