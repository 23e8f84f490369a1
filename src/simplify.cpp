// Simplification: greedy edge collapse ordered by quadric error, after Garland and Heckbert 1997,
// "Surface simplification using quadric error metrics" (plane quadrics without area weighting).
// Input: a `TriangleMesh`, a target face count and `max_error`, the farthest either end of a
// collapsed edge may move from its starting position. Output: the mesh reduced to the target (or
// as far as the rules allow), renumbered in order of first use, with `vertex_flags` marking the
// vertices that were locked. Collapses keep the link condition, so closed manifold surfaces stay
// closed and manifold, and refuse to turn any face over.
// Every float expression is written in one fixed evaluation order (the build forbids contraction),
// so the result is the same bits on every build and matches a plain reference implementation.
#include "simplify.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <span>
#include <utility>

namespace tarna {

namespace {

using Point3d = std::array<double, 3>;

// q00 q01 q02 q03 q11 q12 q13 q22 q23 q33: the distinct entries of a symmetric 4x4 matrix.
using Quadric = std::array<double, 10>;

Quadric sum_of(const Quadric& x, const Quadric& y) {
    Quadric sum;
    for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = x[i] + y[i];
    return sum;
}

// v^T Q v with v = (x, y, z, 1); every product taken from the left, the sum from the left.
double quadric_error(const Quadric& q, const Point3d& p) {
    const double x = p[0], y = p[1], z = p[2];
    return q[0] * x * x + 2.0 * q[1] * x * y + 2.0 * q[2] * x * z + 2.0 * q[3] * x + q[4] * y * y +
           2.0 * q[5] * y * z + 2.0 * q[6] * y + q[7] * z * z + 2.0 * q[8] * z + q[9];
}

// (p1 - p0) x (p2 - p0), unnormalised.
Point3d face_normal(const Point3d& p0, const Point3d& p1, const Point3d& p2) {
    const double ux = p1[0] - p0[0], uy = p1[1] - p0[1], uz = p1[2] - p0[2];
    const double vx = p2[0] - p0[0], vy = p2[1] - p0[1], vz = p2[2] - p0[2];
    return {uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
}

double squared_length(const Point3d& v) { return v[0] * v[0] + v[1] * v[1] + v[2] * v[2]; }

// The minimiser of a quadric: A v = r with A its 3x3 part and r = -(q03, q13, q23), solved by the
// adjugate. Absent when A is singular relative to its own scale, or the solution is not finite.
bool optimum(const Quadric& q, Point3d& solution) {
    const double a = q[0], b = q[1], c = q[2], d = q[4], e = q[5], f = q[7];
    const double r0 = -q[3], r1 = -q[6], r2 = -q[8];
    const double a00 = d * f - e * e, a01 = c * e - b * f, a02 = b * e - c * d;
    const double a11 = a * f - c * c, a12 = b * c - a * e, a22 = a * d - b * b;
    const double det = a * a00 + b * a01 + c * a02;
    const double scale = std::max(std::fabs(a) + std::fabs(d) + std::fabs(f), 1e-12);
    if (!std::isfinite(det) || !(std::fabs(det) > 1e-10 * (scale * scale * scale))) return false;
    solution = {(a00 * r0 + a01 * r1 + a02 * r2) / det, (a01 * r0 + a11 * r1 + a12 * r2) / det,
                (a02 * r0 + a12 * r1 + a22 * r2) / det};
    return std::isfinite(solution[0]) && std::isfinite(solution[1]) && std::isfinite(solution[2]);
}

bool contains(const Triangle& face, std::uint32_t v) { return face[0] == v || face[1] == v || face[2] == v; }

struct Candidate {
    std::uint64_t stamp_a;
    std::uint64_t stamp_b;
    double cost;  // >= +0, never NaN
    Point3d position;
    std::uint32_t a;  // survivor, the smaller index
    std::uint32_t b;  // removed by the collapse
};

// Heap order, as "x pops after y": cheapest first, then the smaller a, then the smaller b. Costs are
// never negative nor NaN, so their bit patterns order like IEEE's total order.
bool pops_after(const Candidate& x, const Candidate& y) {
    const auto cost_x = std::bit_cast<std::uint64_t>(x.cost);
    const auto cost_y = std::bit_cast<std::uint64_t>(y.cost);
    if (cost_x != cost_y) return cost_x > cost_y;
    if (x.a != y.a) return x.a > y.a;
    return x.b > y.b;
}

// Faces around each vertex: one arena of face indices with a slot (begin, size, capacity) per
// vertex. A list that outgrows its slot moves to the end of the arena: no allocation per vertex.
class FaceLists {
public:
    // Each list in ascending face order: counts, prefix sum, fill.
    void build(const std::vector<Triangle>& faces, std::size_t vertex_count) {
        size_.assign(vertex_count, 0);
        for (const Triangle& face : faces) {
            for (const std::uint32_t corner : face) ++size_[corner];
        }
        begin_.resize(vertex_count);
        std::size_t total = 0;
        for (std::size_t v = 0; v < vertex_count; ++v) {
            begin_[v] = total;
            total += size_[v];
        }
        capacity_ = size_;
        data_.resize(total);
        std::vector<std::uint32_t> filled(vertex_count, 0);
        for (std::size_t f = 0; f < faces.size(); ++f) {
            for (const std::uint32_t corner : faces[f]) data_[begin_[corner] + filled[corner]++] = std::uint32_t(f);
        }
    }

    std::span<const std::uint32_t> operator[](std::uint32_t v) const { return {data_.data() + begin_[v], size_[v]}; }

    void assign(std::uint32_t v, const std::vector<std::uint32_t>& list) {
        if (list.size() > capacity_[v]) {
            // Room to grow: a vertex that absorbed one neighbour usually absorbs more.
            capacity_[v] = std::uint32_t(list.size() * 2);
            begin_[v] = data_.size();
            data_.resize(data_.size() + capacity_[v]);
        }
        std::copy(list.begin(), list.end(), data_.begin() + std::ptrdiff_t(begin_[v]));
        size_[v] = std::uint32_t(list.size());
    }

private:
    std::vector<std::uint32_t> data_;
    std::vector<std::size_t> begin_;
    std::vector<std::uint32_t> size_;
    std::vector<std::uint32_t> capacity_;
};

struct State {
    std::vector<Point3d> positions;
    std::vector<Point3d> start_positions;
    std::vector<Triangle> faces;
    std::vector<std::uint8_t> face_alive;
    FaceLists vertex_faces;
    std::vector<Quadric> quadrics;
    std::vector<std::uint8_t> locked;
    std::vector<std::uint64_t> stamps;
    std::vector<std::uint8_t> removed;
    std::size_t live_faces = 0;

    // v's current one-ring, ascending.
    void neighbours_into(std::uint32_t v, std::vector<std::uint32_t>& out) const {
        out.clear();
        for (const std::uint32_t f : vertex_faces[v]) {
            if (!face_alive[f]) continue;
            for (const std::uint32_t corner : faces[f]) {
                if (corner != v) out.push_back(corner);
            }
        }
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }

    // Whether moving the corners a and b of `face` to `position` spoils it: a face with area
    // before must keep area and keep facing the same half-space.
    bool flips(const Triangle& face, std::uint32_t a, std::uint32_t b, const Point3d& position) const {
        std::array<Point3d, 3> before, after;
        for (std::size_t c = 0; c < 3; ++c) {
            before[c] = positions[face[c]];
            after[c] = face[c] == a || face[c] == b ? position : before[c];
        }
        const Point3d n0 = face_normal(before[0], before[1], before[2]);
        const Point3d n1 = face_normal(after[0], after[1], after[2]);
        const double length0 = squared_length(n0);
        if (!(length0 > 0.0)) return false;
        const double length1 = squared_length(n1);
        if (!(length1 > 0.0)) return true;
        const double root0 = std::sqrt(length0), root1 = std::sqrt(length1);
        const double dot = (n0[0] / root0) * (n1[0] / root1) + (n0[1] / root0) * (n1[1] / root1) +
                           (n0[2] / root0) * (n1[2] / root1);
        return dot <= 0.0;
    }
};

// The candidate for edge (u, w): the best of the midpoint, either end and the quadric's optimum,
// earlier tries winning ties (a NaN error never wins).
void make_candidate(std::vector<Candidate>& heap, const State& state, std::uint32_t u, std::uint32_t w) {
    const std::uint32_t a = std::min(u, w), b = std::max(u, w);
    if (state.locked[a] || state.locked[b]) return;
    const Quadric q = sum_of(state.quadrics[a], state.quadrics[b]);
    const Point3d& pa = state.positions[a];
    const Point3d& pb = state.positions[b];
    Point3d best{(pa[0] + pb[0]) * 0.5, (pa[1] + pb[1]) * 0.5, (pa[2] + pb[2]) * 0.5};
    double best_error = quadric_error(q, best);
    const auto consider = [&](const Point3d& position) {
        const double error = quadric_error(q, position);
        if (error < best_error) {
            best = position;
            best_error = error;
        }
    };
    consider(pa);
    consider(pb);
    Point3d solution;
    if (optimum(q, solution)) consider(solution);
    const double cost = best_error > 0.0 ? best_error : 0.0;
    heap.push_back({state.stamps[a], state.stamps[b], cost, best, a, b});
    std::push_heap(heap.begin(), heap.end(), pops_after);
}

struct EdgeUse {
    std::uint32_t faces = 0;
    std::uint32_t has_candidate = 0;
};

std::uint64_t edge_key(std::uint32_t u, std::uint32_t w) {
    return (std::uint64_t{std::min(u, w)} << 32) | std::max(u, w);
}

// Positions widened, plane quadrics summed per corner, locks, and one candidate per free edge.
void set_up(State& state, std::vector<Candidate>& heap, const TriangleMesh& mesh) {
    const std::size_t vertex_count = mesh.vertices.size();
    state.positions.resize(vertex_count);
    for (std::size_t v = 0; v < vertex_count; ++v) {
        for (std::size_t k = 0; k < 3; ++k) state.positions[v][k] = double(mesh.vertices[v][k]);
    }
    state.start_positions = state.positions;
    state.face_alive.assign(state.faces.size(), 1);
    state.live_faces = state.faces.size();
    state.vertex_faces.build(state.faces, vertex_count);

    state.quadrics.assign(vertex_count, Quadric{});
    for (const Triangle& face : state.faces) {
        const Point3d& p0 = state.positions[face[0]];
        const Point3d n = face_normal(p0, state.positions[face[1]], state.positions[face[2]]);
        const double length_squared = squared_length(n);
        // Written as a positive test so a NaN normal also adds nothing.
        if (!(length_squared > 0.0)) continue;
        const double length = std::sqrt(length_squared);
        const double a = n[0] / length, b = n[1] / length, c = n[2] / length;
        const double d = -(a * p0[0] + b * p0[1] + c * p0[2]);
        const Quadric plane{a * a, a * b, a * c, a * d, b * b, b * c, b * d, c * c, c * d, d * d};
        for (const std::uint32_t corner : face) {
            Quadric& q = state.quadrics[corner];
            for (std::size_t i = 0; i < q.size(); ++i) q[i] += plane[i];
        }
    }

    // Edges used by other than two faces (open or non-manifold) lock both their ends.
    FxMap<std::uint64_t, EdgeUse> edges(state.faces.size() * 3 / 2);
    for (const Triangle& face : state.faces) {
        for (std::size_t c = 0; c < 3; ++c) ++edges.insert(edge_key(face[c], face[(c + 1) % 3]), EdgeUse{}).first->faces;
    }
    state.locked.assign(vertex_count, 0);
    for (const Triangle& face : state.faces) {
        for (std::size_t c = 0; c < 3; ++c) {
            if (edges.find(edge_key(face[c], face[(c + 1) % 3]))->faces != 2) {
                state.locked[face[c]] = 1;
                state.locked[face[(c + 1) % 3]] = 1;
            }
        }
    }
    const std::size_t flagged = std::min(mesh.vertex_flags.size(), vertex_count);
    for (std::size_t v = 0; v < flagged; ++v) {
        if (mesh.vertex_flags[v] != 0) state.locked[v] = 1;
    }
    state.stamps.assign(vertex_count, 0);
    state.removed.assign(vertex_count, 0);

    for (const Triangle& face : state.faces) {
        constexpr std::array<std::array<std::size_t, 2>, 3> EDGES{{{0, 1}, {1, 2}, {0, 2}}};
        for (const auto& [i, j] : EDGES) {
            EdgeUse* use = edges.find(edge_key(face[i], face[j]));
            if (use->has_candidate) continue;
            use->has_candidate = 1;
            make_candidate(heap, state, face[i], face[j]);
        }
    }
}

// Scratch lists reused by every candidate.
struct Scratch {
    std::vector<std::uint32_t> opposite;
    std::vector<std::uint32_t> ring_a;
    std::vector<std::uint32_t> ring_b;
    std::vector<std::uint32_t> shared;
    std::vector<Triangle> results;
    std::vector<std::uint32_t> merged;
};

// Whether collapsing b into a at the candidate's position keeps the surface valid.
bool collapse_allowed(const State& state, const Candidate& candidate, double max_error_squared, Scratch& scratch) {
    const std::uint32_t a = candidate.a, b = candidate.b;
    if (state.locked[a] || state.locked[b]) return false;
    // A bound that is NaN or +inf, or a distance that is NaN, never rejects.
    for (const std::uint32_t end : {a, b}) {
        const Point3d& start = state.start_positions[end];
        const double dx = candidate.position[0] - start[0];
        const double dy = candidate.position[1] - start[1];
        const double dz = candidate.position[2] - start[2];
        if (dx * dx + dy * dy + dz * dz > max_error_squared) return false;
    }

    scratch.opposite.clear();
    for (const std::uint32_t f : state.vertex_faces[a]) {
        if (!state.face_alive[f] || !contains(state.faces[f], b)) continue;
        for (const std::uint32_t corner : state.faces[f]) {
            if (corner != a && corner != b) scratch.opposite.push_back(corner);
        }
    }
    if (scratch.opposite.empty()) return false;
    std::sort(scratch.opposite.begin(), scratch.opposite.end());
    scratch.opposite.erase(std::unique(scratch.opposite.begin(), scratch.opposite.end()), scratch.opposite.end());

    // Link condition: a and b share exactly the neighbours across their common faces; otherwise
    // the collapse would pinch the surface.
    state.neighbours_into(a, scratch.ring_a);
    state.neighbours_into(b, scratch.ring_b);
    scratch.shared.clear();
    std::set_intersection(scratch.ring_a.begin(), scratch.ring_a.end(), scratch.ring_b.begin(), scratch.ring_b.end(),
                          std::back_inserter(scratch.shared));
    if (scratch.shared != scratch.opposite) return false;
    if (state.live_faces < 5) return false;

    // The faces that survive, as they would be: no repeated corner, no turning over, no two alike.
    scratch.results.clear();
    for (const std::uint32_t end : {a, b}) {
        for (const std::uint32_t f : state.vertex_faces[end]) {
            if (!state.face_alive[f]) continue;
            const Triangle& face = state.faces[f];
            if (contains(face, a) && contains(face, b)) continue;
            Triangle result = face;
            for (std::uint32_t& corner : result) {
                if (corner == b) corner = a;
            }
            if (result[0] == result[1] || result[1] == result[2] || result[0] == result[2]) return false;
            if (state.flips(face, a, b, candidate.position)) return false;
            std::sort(result.begin(), result.end());
            for (const Triangle& earlier : scratch.results) {
                if (earlier[0] == result[0] && earlier[1] == result[1] && earlier[2] == result[2]) return false;
            }
            scratch.results.push_back(result);
        }
    }
    return true;
}

// Merges b into a: faces across the edge die, b's other faces move to a, and every edge around a
// gets a fresh candidate. Older candidates of a and b go stale through the stamps.
void collapse(State& state, std::vector<Candidate>& heap, const Candidate& candidate, Scratch& scratch) {
    const std::uint32_t a = candidate.a, b = candidate.b;
    state.positions[a] = candidate.position;
    state.quadrics[a] = sum_of(state.quadrics[a], state.quadrics[b]);
    for (const std::uint32_t f : state.vertex_faces[b]) {
        if (!state.face_alive[f]) continue;
        Triangle& face = state.faces[f];
        if (contains(face, a)) {
            state.face_alive[f] = 0;
            --state.live_faces;
            continue;
        }
        for (std::uint32_t& corner : face) {
            if (corner == b) corner = a;
        }
    }
    scratch.merged.clear();
    for (const std::uint32_t end : {a, b}) {
        for (const std::uint32_t f : state.vertex_faces[end]) {
            if (state.face_alive[f]) scratch.merged.push_back(f);
        }
    }
    state.vertex_faces.assign(a, scratch.merged);
    ++state.stamps[a];
    ++state.stamps[b];
    state.removed[b] = 1;
    state.neighbours_into(a, scratch.ring_a);
    for (const std::uint32_t n : scratch.ring_a) make_candidate(heap, state, a, n);
}

// Live faces in order, vertices numbered at first use and narrowed back to float.
TriangleMesh compact(const State& state) {
    TriangleMesh result;
    std::vector<std::uint32_t> new_index(state.positions.size(), NONE);
    result.faces.reserve(state.live_faces);
    for (std::size_t f = 0; f < state.faces.size(); ++f) {
        if (!state.face_alive[f]) continue;
        Triangle face = state.faces[f];
        for (std::uint32_t& corner : face) {
            std::uint32_t& index = new_index[corner];
            if (index == NONE) {
                index = std::uint32_t(result.vertices.size());
                const Point3d& p = state.positions[corner];
                result.vertices.push_back({float(p[0]), float(p[1]), float(p[2])});
                result.vertex_flags.push_back(state.locked[corner]);
            }
            corner = index;
        }
        result.faces.push_back(face);
    }
    return result;
}

}  // namespace

TriangleMesh simplify(TriangleMesh mesh, std::size_t target_face_count, double max_error) {
    if (mesh.faces.size() < 5) return mesh;
    const std::size_t vertex_count = mesh.vertices.size();
    for (const Triangle& face : mesh.faces) {
        for (const std::uint32_t corner : face) TARNA_ASSERT(corner < vertex_count, "face corner index out of range");
    }

    State state;
    // The faces are borrowed and handed back untouched when nothing collapses.
    state.faces = std::move(mesh.faces);
    std::vector<Candidate> heap;
    set_up(state, heap, mesh);

    const double max_error_squared = max_error * max_error;
    Scratch scratch;
    std::size_t collapses = 0;
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), pops_after);
        const Candidate candidate = heap.back();
        heap.pop_back();
        const std::uint32_t a = candidate.a, b = candidate.b;
        if (state.removed[a] || state.removed[b]) continue;
        if (candidate.stamp_a != state.stamps[a] || candidate.stamp_b != state.stamps[b]) {
            make_candidate(heap, state, a, b);
            continue;
        }
        if (!collapse_allowed(state, candidate, max_error_squared, scratch)) continue;
        collapse(state, heap, candidate, scratch);
        ++collapses;
        if (state.live_faces <= target_face_count) break;
    }

    if (collapses == 0) {
        mesh.faces = std::move(state.faces);
        return mesh;
    }
    return compact(state);
}

}  // namespace tarna
