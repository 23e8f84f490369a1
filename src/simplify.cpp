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

// One proposed collapse as the queue holds it. Its position is not kept: a candidate taken out
// fresh is recomputed from the same inputs (its ends unchanged since), so to the same bits, which
// keeps the queue small enough to stay in cache.
struct Candidate {
    std::uint64_t cost_bits;  // the cost, >= +0 and never NaN: as an integer it orders like IEEE's total order
    std::uint64_t edge;       // a << 32 | b: a the survivor (smaller index), b removed by the collapse
    std::uint32_t stamp;      // collapses done when it was made
};

bool pops_before(const Candidate& x, const Candidate& y) {
    return x.cost_bits != y.cost_bits ? x.cost_bits < y.cost_bits : x.edge < y.edge;
}

// Candidates in pop order: cheapest first, then the smaller a, then the smaller b; the key is the
// 128-bit integer (cost bits, a, b). Equal keys hold the same edge and so the same content, or a
// stale copy whose refresh gives that content: their order among themselves changes nothing.
// A radix heap (Ahuja, Mehlhorn, Orlin and Tarjan 1990): bucket i > 0 holds keys whose highest bit
// differing from the last key taken out is bit i - 1, so a push is an append and keys move only
// towards bucket 0. It needs keys no smaller than the last taken out; the rare smaller key (a
// refreshed candidate cheaper than the current front) waits in a binary heap that goes first.
class CandidateQueue {
public:
    bool empty() const { return size_ == 0; }

    void push(const Candidate& candidate) {
        ++size_;
        if (pops_before(candidate, last_)) {
            below_.push_back(candidate);
            std::push_heap(below_.begin(), below_.end(), pops_after);
        } else {
            put(candidate);
        }
    }

    // The first candidate in pop order; the queue must not be empty.
    Candidate pop() {
        --size_;
        if (!below_.empty()) {
            std::pop_heap(below_.begin(), below_.end(), pops_after);
            const Candidate top = below_.back();
            below_.pop_back();
            return top;
        }
        if (buckets_[0].empty()) refill();
        const Candidate top = buckets_[0].back();
        buckets_[0].pop_back();
        if (buckets_[0].empty()) filled_[0] &= ~std::uint64_t{1};
        return top;
    }

private:
    static bool pops_after(const Candidate& x, const Candidate& y) { return pops_before(y, x); }

    std::size_t bucket_of(const Candidate& candidate) const {
        const std::uint64_t high = candidate.cost_bits ^ last_.cost_bits;
        if (high != 0) return 128 - std::size_t(std::countl_zero(high));
        const std::uint64_t low = candidate.edge ^ last_.edge;
        return low != 0 ? 64 - std::size_t(std::countl_zero(low)) : 0;
    }

    void put(const Candidate& candidate) {
        const std::size_t bucket = bucket_of(candidate);
        buckets_[bucket].push_back(candidate);
        filled_[bucket / 64] |= std::uint64_t{1} << (bucket % 64);
    }

    // The smallest key of the first non-empty bucket becomes the last key; its bucket's keys all
    // agree with it above the bucket's bit, so they spread over lower buckets.
    void refill() {
        std::size_t first = 0;
        while (filled_[first / 64] == 0) first += 64;
        first += std::size_t(std::countr_zero(filled_[first / 64]));
        std::vector<Candidate>& bucket = buckets_[first];
        filled_[first / 64] &= ~(std::uint64_t{1} << (first % 64));
        last_ = *std::min_element(bucket.begin(), bucket.end(), pops_before);
        for (const Candidate& candidate : bucket) put(candidate);
        bucket.clear();
    }

    std::array<std::vector<Candidate>, 129> buckets_;
    std::array<std::uint64_t, 3> filled_{};  // bit i: bucket i is not empty
    std::vector<Candidate> below_;
    Candidate last_{0, 0, 0};
    std::size_t size_ = 0;
};

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
    // Position, start position and quadric side by side: a candidate reads all three of both ends,
    // and candidates come in cost order, scattered over the mesh; two cache lines per vertex.
    struct alignas(64) Vertex {
        Point3d position;
        Point3d start_position;
        Quadric quadric;
    };
    std::vector<Vertex> vertices;
    std::vector<Triangle> faces;
    std::vector<std::uint8_t> face_alive;
    FaceLists vertex_faces;
    std::vector<std::uint8_t> locked;
    std::vector<std::uint32_t> stamps;  // per vertex, the number of the last collapse it took part in
    std::vector<std::uint8_t> removed;
    std::size_t live_faces = 0;
    std::uint32_t collapses = 0;

    // Neither end took part in a collapse since the candidate was made.
    bool fresh(const Candidate& candidate, std::uint32_t a, std::uint32_t b) const {
        return stamps[a] <= candidate.stamp && stamps[b] <= candidate.stamp;
    }

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
            before[c] = vertices[face[c]].position;
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

struct Choice {
    double cost;
    Point3d position;
};

// Where edge (a, b) would collapse to: the best of the midpoint, a, b and the quadric's optimum,
// earlier tries winning ties (a NaN error never wins).
Choice choose_position(const State& state, std::uint32_t a, std::uint32_t b) {
    const Quadric q = sum_of(state.vertices[a].quadric, state.vertices[b].quadric);
    const Point3d& pa = state.vertices[a].position;
    const Point3d& pb = state.vertices[b].position;
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
    return {best_error > 0.0 ? best_error : 0.0, best};
}

// The candidate for edge (u, w), unless an end is locked.
void make_candidate(CandidateQueue& queue, const State& state, std::uint32_t u, std::uint32_t w) {
    const std::uint32_t a = std::min(u, w), b = std::max(u, w);
    if (state.locked[a] || state.locked[b]) return;
    const double cost = choose_position(state, a, b).cost;
    queue.push({std::bit_cast<std::uint64_t>(cost), (std::uint64_t{a} << 32) | b, state.collapses});
}

// Positions widened, plane quadrics summed per corner, locks, and one candidate per free edge.
void set_up(State& state, CandidateQueue& queue, const TriangleMesh& mesh) {
    const std::size_t vertex_count = mesh.vertices.size();
    state.vertices.resize(vertex_count);
    for (std::size_t v = 0; v < vertex_count; ++v) {
        State::Vertex& vertex = state.vertices[v];
        for (std::size_t k = 0; k < 3; ++k) vertex.position[k] = double(mesh.vertices[v][k]);
        vertex.start_position = vertex.position;
        vertex.quadric = Quadric{};
    }
    state.face_alive.assign(state.faces.size(), 1);
    state.live_faces = state.faces.size();
    state.vertex_faces.build(state.faces, vertex_count);

    for (const Triangle& face : state.faces) {
        const Point3d& p0 = state.vertices[face[0]].position;
        const Point3d n = face_normal(p0, state.vertices[face[1]].position, state.vertices[face[2]].position);
        const double length_squared = squared_length(n);
        // Written as a positive test so a NaN normal also adds nothing.
        if (!(length_squared > 0.0)) continue;
        const double length = std::sqrt(length_squared);
        const double a = n[0] / length, b = n[1] / length, c = n[2] / length;
        const double d = -(a * p0[0] + b * p0[1] + c * p0[2]);
        const Quadric plane{a * a, a * b, a * c, a * d, b * b, b * c, b * d, c * c, c * d, d * d};
        for (const std::uint32_t corner : face) {
            Quadric& q = state.vertices[corner].quadric;
            for (std::size_t i = 0; i < q.size(); ++i) q[i] += plane[i];
        }
    }

    // Edges used by other than two faces (open or non-manifold) lock both their ends. A face holding
    // v and w lists w once among v's other corners, so counting repeats in v's sorted list of other
    // corners counts the faces on each edge (v, w); no hash map needed. The edges (v, w > v) are kept
    // for the candidates, which must wait until every lock is known.
    state.locked.assign(vertex_count, 0);
    std::vector<std::uint64_t> edges;
    edges.reserve(state.faces.size() * 3 / 2 + 3);
    std::vector<std::uint32_t> others;
    for (std::uint32_t v = 0; v < vertex_count; ++v) {
        others.clear();
        for (const std::uint32_t f : state.vertex_faces[v]) {
            for (const std::uint32_t corner : state.faces[f]) {
                if (corner != v) others.push_back(corner);
            }
        }
        std::sort(others.begin(), others.end());
        for (std::size_t i = 0; i < others.size();) {
            std::size_t j = i + 1;
            while (j < others.size() && others[j] == others[i]) ++j;
            if (j - i != 2) {
                state.locked[v] = 1;
                state.locked[others[i]] = 1;
            }
            if (others[i] > v) edges.push_back((std::uint64_t{v} << 32) | others[i]);
            i = j;
        }
    }
    const std::size_t flagged = std::min(mesh.vertex_flags.size(), vertex_count);
    for (std::size_t v = 0; v < flagged; ++v) {
        if (mesh.vertex_flags[v] != 0) state.locked[v] = 1;
    }
    state.stamps.assign(vertex_count, 0);
    state.removed.assign(vertex_count, 0);

    // The queue's order does not depend on the order of pushes, so edges go in by vertex, not by face.
    for (const std::uint64_t edge : edges) make_candidate(queue, state, std::uint32_t(edge >> 32), std::uint32_t(edge));
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
bool collapse_allowed(const State& state, std::uint32_t a, std::uint32_t b, const Point3d& position,
                      double max_error_squared, Scratch& scratch) {
    if (state.locked[a] || state.locked[b]) return false;
    // A bound that is NaN or +inf, or a distance that is NaN, never rejects.
    for (const std::uint32_t end : {a, b}) {
        const Point3d& start = state.vertices[end].start_position;
        const double dx = position[0] - start[0];
        const double dy = position[1] - start[1];
        const double dz = position[2] - start[2];
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
            if (state.flips(face, a, b, position)) return false;
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
void collapse(State& state, CandidateQueue& queue, std::uint32_t a, std::uint32_t b, const Point3d& position,
              Scratch& scratch) {
    state.vertices[a].position = position;
    state.vertices[a].quadric = sum_of(state.vertices[a].quadric, state.vertices[b].quadric);
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
    ++state.collapses;
    state.stamps[a] = state.collapses;
    state.stamps[b] = state.collapses;
    state.removed[b] = 1;
    state.neighbours_into(a, scratch.ring_a);
    for (const std::uint32_t n : scratch.ring_a) make_candidate(queue, state, a, n);
}

// Live faces in order, vertices numbered at first use and narrowed back to float.
TriangleMesh compact(const State& state) {
    TriangleMesh result;
    std::vector<std::uint32_t> new_index(state.vertices.size(), NONE);
    result.faces.reserve(state.live_faces);
    for (std::size_t f = 0; f < state.faces.size(); ++f) {
        if (!state.face_alive[f]) continue;
        Triangle face = state.faces[f];
        for (std::uint32_t& corner : face) {
            std::uint32_t& index = new_index[corner];
            if (index == NONE) {
                index = std::uint32_t(result.vertices.size());
                const Point3d& p = state.vertices[corner].position;
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
    // Collapse numbers (the stamps) fit in 32 bits because each collapse removes a face.
    TARNA_ASSERT(mesh.faces.size() <= NONE, "too many faces to simplify");
    const std::size_t vertex_count = mesh.vertices.size();
    for (const Triangle& face : mesh.faces) {
        for (const std::uint32_t corner : face) TARNA_ASSERT(corner < vertex_count, "face corner index out of range");
    }

    State state;
    // The faces are borrowed and handed back untouched when nothing collapses.
    state.faces = std::move(mesh.faces);
    CandidateQueue queue;
    set_up(state, queue, mesh);

    const double max_error_squared = max_error * max_error;
    Scratch scratch;
    while (!queue.empty()) {
        const Candidate candidate = queue.pop();
        const auto a = std::uint32_t(candidate.edge >> 32), b = std::uint32_t(candidate.edge);
        if (state.removed[a] || state.removed[b]) continue;
        if (!state.fresh(candidate, a, b)) {
            make_candidate(queue, state, a, b);
            continue;
        }
        const Point3d position = choose_position(state, a, b).position;
        if (!collapse_allowed(state, a, b, position, max_error_squared, scratch)) continue;
        collapse(state, queue, a, b, position, scratch);
        if (state.live_faces <= target_face_count) break;
    }

    if (state.collapses == 0) {
        mesh.faces = std::move(state.faces);
        return mesh;
    }
    return compact(state);
}

}  // namespace tarna
