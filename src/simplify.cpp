// Simplification: greedy edge collapse ordered by quadric error, after Garland and Heckbert 1997,
// "Surface simplification using quadric error metrics" (plane quadrics without area weighting).
// Input: a `TriangleMesh`, a target face count and `max_error`, the farthest either end of a
// collapsed edge may move from its starting position. Output: the mesh reduced to the target (or
// as far as the rules allow), renumbered in order of first use, with `vertex_flags` marking the
// vertices that were locked. Collapses keep the link condition, so closed manifold surfaces stay
// closed and manifold, and refuse to turn any face over.
// Every float expression is written in one fixed evaluation order (the build forbids contraction),
// so the result is the same bits on every build and matches a plain reference implementation.
// The queue is lazy: entries go stale instead of being removed. Most stale entries pop after the
// fresh candidate of their edge and change nothing; they are told apart without computing, from
// the candidates remembered with the vertex that changed last.
// Where the CPU has 512-bit registers (common.hpp), candidates are made eight at a time.
#include "simplify.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <memory>
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

// Four doubles as one value (two SSE2 registers on a plain x86-64 build): each lane rounds like
// the same scalar expression, so lanes give the scalar bits.
using Lanes = double __attribute__((vector_size(32)));

// v^T Q v with v = (x, y, z, 1) for four positions at once; every product taken from the left,
// the sum from the left.
void quadric_errors(const Quadric& q, const Lanes& x, const Lanes& y, const Lanes& z, Lanes& errors) {
    errors = q[0] * x * x + 2.0 * q[1] * x * y + 2.0 * q[2] * x * z + 2.0 * q[3] * x + q[4] * y * y +
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

// All three compares, no branch: which corner holds v follows no pattern.
bool contains(const Triangle& face, std::uint32_t v) { return (face[0] == v) | (face[1] == v) | (face[2] == v); }

// Allocator for the large per-vertex and per-face arrays, in large-array memory.
template <class T>
struct LargeAllocator {
    using value_type = T;

    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) {}

    T* allocate(std::size_t count) { return allocate_large_array<T>(count); }

    void deallocate(T* block, std::size_t) { std::free(block); }

    template <class U>
    bool operator==(const LargeAllocator<U>&) const {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// Which of the tries gave a candidate its position.
enum Try : std::uint8_t { MIDPOINT, END_A, END_B, OPTIMUM };

// One proposed collapse as the queue holds it. Its position is not kept, only which try gave it: a
// candidate taken out fresh has its ends unchanged since it was made, so that try gives the same
// bits again without the other tries, and the queue stays small enough for the cache.
struct Candidate {
    std::uint64_t cost_bits;    // the cost, >= +0 and never NaN: as an integer it orders like IEEE's total order
    std::uint64_t edge;         // a << 32 | b: a the survivor (smaller index), b removed by the collapse
    std::uint32_t stamp;        // collapses done when it was made
    std::uint8_t out_of_bound;  // 1: its position takes an end farther than max_error from its start
    Try choice;                 // which try gave its position
};

bool pops_before(const Candidate& x, const Candidate& y) {
    return x.cost_bits != y.cost_bits ? x.cost_bits < y.cost_bits : x.edge < y.edge;
}

bool pops_after(const Candidate& x, const Candidate& y) { return pops_before(y, x); }

// Candidates in pop order: cheapest first, then the smaller a, then the smaller b. Equal keys hold
// the same edge and so the same content, or a stale copy whose refresh gives that content: their
// order among themselves changes nothing.
// A radix heap on the cost (Ahuja, Mehlhorn, Orlin and Tarjan 1990) with one digit a byte: an entry
// above the current cost sits in the bucket of (the highest byte where the two differ, its value
// there), so a push is an append and an entry moves at most once per byte, towards lower buckets.
// The entries of the current cost form a run sorted by edge, or, when the first bucket is small,
// all its entries form the run sorted in pop order and the current cost is its last; a push at or
// below the current cost waits in a binary heap that merges with the run. Entries with a removed
// end are dropped whenever a bucket is emptied, so they stop being moved.
class CandidateQueue {
public:
    // Before the first pop.
    void add(const Candidate& candidate) { put(candidate); }

    void push(const Candidate& candidate) {
        if (candidate.cost_bits <= cost_) {
            late_.push_back(candidate);
            std::push_heap(late_.begin(), late_.end(), pops_after);
        } else {
            put(candidate);
        }
    }

    // The first candidate in pop order into `top`; false once the queue is empty. `dead(edge)`
    // tells entries that may be dropped unseen.
    // `fetch(edge)` is told of the entry a few places further down the run, so what it reads
    // is on its way to the cache when that entry comes up.
    template <class Dead, class Fetch>
    bool pop(Candidate& top, const Dead& dead, const Fetch& fetch) {
        while (true) {
            const bool in_run = next_ < run_.size();
            if (!late_.empty() && (!in_run || pops_before(late_.front(), run_[next_]))) {
                std::pop_heap(late_.begin(), late_.end(), pops_after);
                top = late_.back();
                late_.pop_back();
                return true;
            }
            if (in_run) {
                if (next_ + FETCH_AHEAD < run_.size()) fetch(run_[next_ + FETCH_AHEAD].edge);
                top = run_[next_++];
                return true;
            }
            if (!refill(dead)) return false;
            for (std::size_t i = 0; i < std::min(FETCH_AHEAD, run_.size()); ++i) fetch(run_[i].edge);
        }
    }

private:
    static constexpr std::size_t BUCKETS = 8 * 256;
    // Buckets up to this size become the run whole, sorted; larger ones spread into lower
    // buckets first, which costs less than sorting them (2-3% of the whole on the dense
    // benchmark volume's objects, against 4096).
    static constexpr std::size_t WHOLE_RUN = 128;
    static constexpr std::size_t FETCH_AHEAD = 8;  // how far down the run pop looks ahead

    // Buckets are chains of fixed blocks, and a drained bucket's blocks serve the next ones, so
    // the queue holds no more memory than its entries need at most. Buckets that were growing
    // arrays copied themselves and faulted in fresh pages again and again: a first call on a
    // million faces spent a fifth to a third of its time in the kernel.
    static constexpr std::size_t BLOCK = 64;   // entries per block
    static constexpr std::size_t BATCH = 256;  // blocks per allocation
    struct Block {
        std::array<Candidate, BLOCK> entries;
        Block* next;
    };
    struct Bucket {
        Block* head = nullptr;
        Block* tail = nullptr;
        std::size_t size = 0;  // entries, filling every block but the tail
    };

    // Costs equal to the current one (only before the first pop) go to bucket 0.
    std::size_t bucket_of(std::uint64_t cost_bits) const {
        const std::uint64_t high = cost_bits ^ cost_;
        const std::size_t byte = high != 0 ? std::size_t(63 - std::countl_zero(high)) / 8 : 0;
        return byte * 256 + std::size_t((cost_bits >> (8 * byte)) & 0xFF);
    }

    void put(const Candidate& candidate) {
        const std::size_t bucket = bucket_of(candidate.cost_bits);
        Bucket& chain = buckets_[bucket];
        const std::size_t in_tail = chain.size % BLOCK;
        if (in_tail == 0) {  // no block yet, or the tail is full
            Block* const block = take_block();
            (chain.tail == nullptr ? chain.head : chain.tail->next) = block;
            chain.tail = block;
        }
        chain.tail->entries[in_tail] = candidate;
        ++chain.size;
        filled_[bucket / 64] |= std::uint64_t{1} << (bucket % 64);
        words_ |= std::uint32_t{1} << (bucket / 64);
    }

    // A block off the free list, or from a new batch; its `next` is null.
    Block* take_block() {
        if (free_ == nullptr) {
            batches_.emplace_back(new Block[BATCH]);  // left unfilled: entries are written before they are read
            Block* const batch = batches_.back().get();
            for (std::size_t k = 0; k < BATCH; ++k) batch[k].next = k + 1 < BATCH ? &batch[k + 1] : nullptr;
            free_ = batch;
        }
        Block* const block = free_;
        free_ = block->next;
        block->next = nullptr;
        return block;
    }

    // The bucket's live entries, in the order they came, onto `run_`, and its blocks back on the
    // free list.
    template <class Dead>
    void drain(Bucket& chain, const Dead& dead) {
        run_.reserve(run_.size() + chain.size);
        std::size_t left = chain.size;
        for (Block* block = chain.head; block != nullptr;) {
            const std::size_t count = std::min(left, BLOCK);
            left -= count;
            for (std::size_t k = 0; k < count; ++k) {
                if (!dead(block->entries[k].edge)) run_.push_back(block->entries[k]);
            }
            Block* const next = block->next;
            block->next = free_;
            free_ = block;
            block = next;
        }
        chain = Bucket{};
    }

    // The least live cost of the first non-empty bucket becomes the current cost; its entries
    // form the new run, the others agree with it down to a lower byte, so they spread lower.
    template <class Dead>
    bool refill(const Dead& dead) {
        while (words_ != 0) {
            const std::size_t word = std::size_t(std::countr_zero(words_));
            const std::size_t first = word * 64 + std::size_t(std::countr_zero(filled_[word]));
            filled_[word] &= filled_[word] - 1;
            if (filled_[word] == 0) words_ &= ~(std::uint32_t{1} << word);
            run_.clear();
            next_ = 0;
            drain(buckets_[first], dead);
            if (run_.empty()) continue;
            if (run_.size() <= WHOLE_RUN) {
                // A small bucket becomes the run entire, sorted: long runs let pop look ahead.
                // Every later bucket holds only costs above its largest, wherever cost_ lies in
                // its range, so no entry changes bucket.
                std::sort(run_.begin(), run_.end(), pops_before);
                cost_ = run_.back().cost_bits;
                return true;
            }
            std::uint64_t least = ~std::uint64_t{0};
            for (const Candidate& candidate : run_) least = std::min(least, candidate.cost_bits);
            cost_ = least;
            // The entries of the least cost stay, in order; the others spread lower.
            std::size_t kept = 0;
            for (std::size_t i = 0; i < run_.size(); ++i) {
                const Candidate candidate = run_[i];
                if (candidate.cost_bits == least) {
                    run_[kept++] = candidate;
                } else {
                    put(candidate);
                }
            }
            run_.resize(kept);
            std::sort(run_.begin(), run_.end(), pops_before);
            return true;
        }
        return false;
    }

    std::array<Bucket, BUCKETS> buckets_;
    Block* free_ = nullptr;  // drained blocks, linked through `next`
    std::vector<std::unique_ptr<Block[]>> batches_;
    std::array<std::uint64_t, BUCKETS / 64> filled_{};  // bit i: bucket i is not empty
    std::uint32_t words_ = 0;                           // bit w: filled_[w] is not zero
    std::uint64_t cost_ = 0;                            // the current cost, as bits
    std::vector<Candidate> run_;                        // entries of the current cost, by edge, from next_ on
    std::size_t next_ = 0;
    std::vector<Candidate> late_;  // pushed at or below the current cost: a binary heap
};

// Per vertex a list in one arena, a slot (begin, size, capacity) each. A list that outgrows its
// slot moves to the end of the arena: no allocation per vertex.
template <class Item>
class Lists {
public:
    // Every list empty.
    void reset(std::size_t vertex_count) {
        slots_.assign(vertex_count, Slot{});
        data_.clear();
        data_.reserve(vertex_count * 4);
    }

    // Each vertex's faces in ascending face order: counts, prefix sum, fill.
    void build_faces(const LargeVector<Triangle>& faces, std::size_t vertex_count) {
        slots_.assign(vertex_count, Slot{});
        for (const Triangle& face : faces) {
            for (const std::uint32_t corner : face) ++slots_[corner].capacity;
        }
        std::size_t total = 0;
        for (Slot& slot : slots_) {
            slot.begin = total;
            total += slot.capacity;
        }
        // Room for lists that outgrow their slots without moving the arena often.
        data_.reserve(total * 2);
        data_.resize(total);
        for (std::size_t f = 0; f < faces.size(); ++f) {
            for (const std::uint32_t corner : faces[f]) {
                Slot& slot = slots_[corner];
                data_[slot.begin + slot.size++] = Item(f);
            }
        }
    }

    std::span<const Item> operator[](std::uint32_t v) const {
        const Slot& slot = slots_[v];
        return {data_.data() + slot.begin, slot.size};
    }

    // Room for `size` items in v's list, which then holds that many (the caller fills them).
    std::span<Item> resize(std::uint32_t v, std::size_t size) {
        Slot& slot = slots_[v];
        if (size > slot.capacity) {
            // Room to grow: a vertex that absorbed one neighbour usually absorbs more.
            slot.capacity = std::uint32_t(size * 2);
            slot.begin = data_.size();
            data_.resize(data_.size() + slot.capacity);
        }
        slot.size = std::uint32_t(size);
        return {data_.data() + slot.begin, size};
    }

private:
    struct Slot {
        std::size_t begin = 0;
        std::uint32_t size = 0;
        std::uint32_t capacity = 0;
    };
    LargeVector<Item> data_;
    LargeVector<Slot> slots_;
};

// A candidate made when its survivor last took part in a collapse: the ring's candidates are all
// made then, so a stale copy of the same edge refreshes to this unless an end changed since.
struct RingCandidate {
    std::uint32_t neighbour;
    std::uint8_t out_of_bound;
    Try choice;
    std::uint64_t cost_bits;
};

// Stamp of a vertex merged into another: above every collapse number.
constexpr std::uint32_t REMOVED = NONE;

struct State {
    // What a candidate reads of both ends, in two cache lines: candidates come in cost order,
    // scattered over the mesh. Start positions were floats, so floats hold them exactly.
    struct alignas(64) Vertex {
        Point3d position;
        Quadric quadric;
        Point3f start_position;
        std::uint8_t locked;
    };
    LargeVector<Vertex> vertices;
    LargeVector<Triangle> faces;  // a face removed by a collapse has NONE as its first corner
    Lists<std::uint32_t> vertex_faces;
    // Per vertex, the number of the last collapse it took part in (0: none), or REMOVED.
    LargeVector<std::uint32_t> stamps;
    std::vector<std::uint64_t> removed_bits;  // the REMOVED stamps again, dense enough to stay in cache
    Lists<RingCandidate> ring_candidates;     // per survivor, the candidates its last collapse made
    std::size_t live_faces = 0;
    std::uint32_t collapses = 0;
    double max_error_squared = 0;

    bool removed(std::uint32_t v) const { return (removed_bits[v / 64] >> (v % 64)) & 1; }

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
        const double dot =
            (n0[0] / root0) * (n1[0] / root1) + (n0[1] / root0) * (n1[1] / root1) + (n0[2] / root0) * (n1[2] / root1);
        return dot <= 0.0;
    }
};

struct Choice {
    double cost;
    Point3d position;
    Try which;
};

Point3d midpoint_of(const Point3d& pa, const Point3d& pb) {
    return {(pa[0] + pb[0]) * 0.5, (pa[1] + pb[1]) * 0.5, (pa[2] + pb[2]) * 0.5};
}

// Where edge (a, b) would collapse to: the best of the midpoint, a, b and the quadric's optimum,
// earlier tries winning ties (a NaN error never wins). The four errors are found together.
Choice choose_position(const State& state, std::uint32_t a, std::uint32_t b) {
    const Quadric q = sum_of(state.vertices[a].quadric, state.vertices[b].quadric);
    const Point3d& pa = state.vertices[a].position;
    const Point3d& pb = state.vertices[b].position;
    const Point3d midpoint = midpoint_of(pa, pb);
    Point3d solution;
    const bool solved = optimum(q, solution);
    if (!solved) solution = midpoint;
    Lanes errors;
    quadric_errors(q, Lanes{midpoint[0], pa[0], pb[0], solution[0]}, Lanes{midpoint[1], pa[1], pb[1], solution[1]},
                   Lanes{midpoint[2], pa[2], pb[2], solution[2]}, errors);
    Choice best{errors[0], midpoint, MIDPOINT};
    if (errors[1] < best.cost) best = {errors[1], pa, END_A};
    if (errors[2] < best.cost) best = {errors[2], pb, END_B};
    if (solved && errors[3] < best.cost) best = {errors[3], solution, OPTIMUM};
    if (!(best.cost > 0.0)) best.cost = 0.0;
    return best;
}

// The position `which` gives for edge (a, b): the expressions choose_position uses, so the same bits
// while neither end has changed.
Point3d position_of(const State& state, std::uint32_t a, std::uint32_t b, Try which) {
    const Point3d& pa = state.vertices[a].position;
    const Point3d& pb = state.vertices[b].position;
    switch (which) {
        case END_A: return pa;
        case END_B: return pb;
        case OPTIMUM: {
            Point3d solution;
            const bool solved = optimum(sum_of(state.vertices[a].quadric, state.vertices[b].quadric), solution);
            TARNA_ASSERT(solved, "a candidate's optimum no longer exists");
            return solution;
        }
        case MIDPOINT: break;
    }
    return midpoint_of(pa, pb);
}

// Whether `position` takes either end farther than max_error from where it started (a bound that
// is NaN or +inf, or a distance that is NaN, never does).
bool out_of_bound(const State& state, std::uint32_t a, std::uint32_t b, const Point3d& position) {
    for (const std::uint32_t end : {a, b}) {
        const Point3f& start = state.vertices[end].start_position;
        const double dx = position[0] - double(start[0]);
        const double dy = position[1] - double(start[1]);
        const double dz = position[2] - double(start[2]);
        if (dx * dx + dy * dy + dz * dz > state.max_error_squared) return true;
    }
    return false;
}

// The candidate for edge (u, w), unless an end is locked: then its stamp is NONE.
Candidate make_candidate(const State& state, std::uint32_t u, std::uint32_t w) {
    const std::uint32_t a = std::min(u, w), b = std::max(u, w);
    if (state.vertices[a].locked || state.vertices[b].locked) return {0, 0, NONE, 0, MIDPOINT};
    const Choice choice = choose_position(state, a, b);
    return {std::bit_cast<std::uint64_t>(choice.cost), (std::uint64_t{a} << 32) | b, state.collapses,
            std::uint8_t(out_of_bound(state, a, b, choice.position)), choice.which};
}

#if TARNA_WIDE_REGISTERS
// GCC 12's intrinsics fill their unused pass-through operands with self-initialised placeholders,
// which -Wuninitialized and -Wmaybe-uninitialized report at every use.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// make_candidate for eight edges at once, one per lane of 512-bit registers: each lane does the
// scalar operations in the same order, so it gives the same bits.
TARNA_WIDE void make_eight_candidates(const State& state, const std::uint64_t* edges, Candidate* out) {
    static_assert(sizeof(State::Vertex) == 128 && offsetof(State::Vertex, position) == 0 &&
                  offsetof(State::Vertex, quadric) == 24 && offsetof(State::Vertex, start_position) == 104 &&
                  offsetof(State::Vertex, locked) == 116);
    const __m512i pairs = _mm512_loadu_si512(edges);
    const __m512i u = _mm512_srli_epi64(pairs, 32), w = _mm512_and_si512(pairs, _mm512_set1_epi64(0xFFFFFFFF));
    const __m512i a = _mm512_min_epu64(u, w), b = _mm512_max_epu64(u, w);
    // Each end's eight records, two registers each, turned into one register per field: three
    // stages of shuffles instead of a gather per field, which took half of this function's time.
    // Doubles 0-2 of a record are the position, 3-12 the quadric; double 13 holds the start
    // position's x and y floats, double 14 its z and the lock byte.
    const State::Vertex* const records = state.vertices.data();
    auto transpose = [](const __m512d* rows, __m512d* columns) TARNA_WIDE {
        __m512d pair[8], quad[8];
        for (int k = 0; k < 8; k += 2) {
            pair[k] = _mm512_unpacklo_pd(rows[k], rows[k + 1]);      // fields 0 2 4 6 of rows k, k + 1
            pair[k + 1] = _mm512_unpackhi_pd(rows[k], rows[k + 1]);  // fields 1 3 5 7
        }
        for (int k = 0; k < 8; k += 4) {
            for (int odd = 0; odd < 2; ++odd) {
                quad[k + 2 * odd] = _mm512_shuffle_f64x2(pair[k + odd], pair[k + 2 + odd], 0x88);  // fields 0 4 (1 5)
                quad[k + 2 * odd + 1] =
                    _mm512_shuffle_f64x2(pair[k + odd], pair[k + 2 + odd], 0xDD);  // fields 2 6 (3 7)
            }
        }
        // quad[0..3] hold rows 0-3 of fields {0 4}, {2 6}, {1 5}, {3 7}; quad[4..7] rows 4-7.
        constexpr int low_field[4] = {0, 2, 1, 3};
        for (int i = 0; i < 4; ++i) {
            columns[low_field[i]] = _mm512_shuffle_f64x2(quad[i], quad[4 + i], 0x88);
            columns[low_field[i] + 4] = _mm512_shuffle_f64x2(quad[i], quad[4 + i], 0xDD);
        }
    };
    struct Ends {
        __m512d field[16];
    };
    auto load_ends = [&](const __m512i& index, Ends& ends) TARNA_WIDE {
        alignas(64) std::uint64_t at[8];
        _mm512_store_si512(at, index);
        __m512d rows[8];
        for (int k = 0; k < 8; ++k) rows[k] = _mm512_load_pd(&records[at[k]].position[0]);
        transpose(rows, ends.field);
        for (int k = 0; k < 8; ++k) rows[k] = _mm512_load_pd(&records[at[k]].position[0] + 8);
        transpose(rows, ends.field + 8);
    };
    Ends end_a, end_b;
    load_ends(a, end_a);
    load_ends(b, end_b);
    // The start position's floats, low and high half of doubles 13 and 14.
    auto start = [&](const Ends& ends, int k) TARNA_WIDE {
        __m512i word = _mm512_castpd_si512(ends.field[13 + k / 2]);
        if (k % 2 == 1) word = _mm512_srli_epi64(word, 32);
        return _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_cvtepi64_epi32(word)));
    };
    auto locked = [&](const Ends& ends) TARNA_WIDE {
        return _mm512_test_epi64_mask(_mm512_srli_epi64(_mm512_castpd_si512(ends.field[14]), 32),
                                      _mm512_set1_epi64(0xFF));
    };

    __m512d q[10];
    for (int i = 0; i < 10; ++i) q[i] = _mm512_add_pd(end_a.field[3 + i], end_b.field[3 + i]);
    const __m512d ax = end_a.field[0], ay = end_a.field[1], az = end_a.field[2];
    const __m512d bx = end_b.field[0], by = end_b.field[1], bz = end_b.field[2];
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d mx = _mm512_mul_pd(_mm512_add_pd(ax, bx), half), my = _mm512_mul_pd(_mm512_add_pd(ay, by), half),
                  mz = _mm512_mul_pd(_mm512_add_pd(az, bz), half);

    // optimum()
    // Capturing, so no conversion to a plain function without the target is made.
    auto mul = [&](__m512d x, __m512d y) TARNA_WIDE { return _mm512_mul_pd(x, y); };
    auto add = [&](__m512d x, __m512d y) TARNA_WIDE { return _mm512_add_pd(x, y); };
    auto sub = [&](__m512d x, __m512d y) TARNA_WIDE { return _mm512_sub_pd(x, y); };
    auto finite = [&](__m512d x) TARNA_WIDE {
        return _mm512_cmp_pd_mask(_mm512_abs_pd(x), _mm512_set1_pd(std::numeric_limits<double>::max()), _CMP_LE_OQ);
    };
    const __m512d qa = q[0], qb = q[1], qc = q[2], qd = q[4], qe = q[5], qf = q[7];
    const __m512d zero = _mm512_setzero_pd();
    // -x flips the sign bit (0 - x would give +0 for +0).
    auto negate = [&](__m512d x) TARNA_WIDE {
        return _mm512_castsi512_pd(
            _mm512_xor_si512(_mm512_castpd_si512(x), _mm512_set1_epi64(std::int64_t(0x8000000000000000ull))));
    };
    const __m512d r0 = negate(q[3]), r1 = negate(q[6]), r2 = negate(q[8]);
    const __m512d a00 = sub(mul(qd, qf), mul(qe, qe)), a01 = sub(mul(qc, qe), mul(qb, qf)),
                  a02 = sub(mul(qb, qe), mul(qc, qd));
    const __m512d a11 = sub(mul(qa, qf), mul(qc, qc)), a12 = sub(mul(qb, qc), mul(qa, qe)),
                  a22 = sub(mul(qa, qd), mul(qb, qb));
    const __m512d det = add(add(mul(qa, a00), mul(qb, a01)), mul(qc, a02));
    const __m512d sum = add(add(_mm512_abs_pd(qa), _mm512_abs_pd(qd)), _mm512_abs_pd(qf));
    const __m512d least = _mm512_set1_pd(1e-12);
    const __m512d scale = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(sum, least, _CMP_LT_OQ), sum, least);  // std::max
    const __mmask8 regular =
        finite(det) &
        _mm512_cmp_pd_mask(_mm512_abs_pd(det), mul(_mm512_set1_pd(1e-10), mul(mul(scale, scale), scale)), _CMP_GT_OQ);
    const __m512d sx = _mm512_div_pd(add(add(mul(a00, r0), mul(a01, r1)), mul(a02, r2)), det);
    const __m512d sy = _mm512_div_pd(add(add(mul(a01, r0), mul(a11, r1)), mul(a12, r2)), det);
    const __m512d sz = _mm512_div_pd(add(add(mul(a02, r0), mul(a12, r1)), mul(a22, r2)), det);
    const __mmask8 solved = regular & finite(sx) & finite(sy) & finite(sz);

    // quadric_errors()
    const __m512d two = _mm512_set1_pd(2.0);
    auto error = [&](__m512d x, __m512d y, __m512d z) TARNA_WIDE {
        __m512d e = mul(mul(q[0], x), x);
        e = add(e, mul(mul(mul(two, q[1]), x), y));
        e = add(e, mul(mul(mul(two, q[2]), x), z));
        e = add(e, mul(mul(two, q[3]), x));
        e = add(e, mul(mul(q[4], y), y));
        e = add(e, mul(mul(mul(two, q[5]), y), z));
        e = add(e, mul(mul(two, q[6]), y));
        e = add(e, mul(mul(q[7], z), z));
        e = add(e, mul(mul(two, q[8]), z));
        return add(e, q[9]);
    };
    __m512d cost = error(mx, my, mz), px = mx, py = my, pz = mz;
    __m512i which = _mm512_set1_epi64(MIDPOINT);
    auto try_position = [&](__mmask8 allowed, Try tried_try, __m512d x, __m512d y, __m512d z) TARNA_WIDE {
        const __m512d tried = error(x, y, z);
        const __mmask8 better = allowed & _mm512_cmp_pd_mask(tried, cost, _CMP_LT_OQ);
        cost = _mm512_mask_blend_pd(better, cost, tried);
        which = _mm512_mask_mov_epi64(which, better, _mm512_set1_epi64(tried_try));
        px = _mm512_mask_blend_pd(better, px, x), py = _mm512_mask_blend_pd(better, py, y);
        pz = _mm512_mask_blend_pd(better, pz, z);
    };
    try_position(0xFF, END_A, ax, ay, az);
    try_position(0xFF, END_B, bx, by, bz);
    try_position(solved, OPTIMUM, sx, sy, sz);
    cost = _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(cost, zero, _CMP_GT_OQ), cost);  // !(cost > 0) gives +0

    // out_of_bound()
    const __m512d bound = _mm512_set1_pd(state.max_error_squared);
    auto too_far = [&](const Ends& ends) TARNA_WIDE {
        const __m512d dx = sub(px, start(ends, 0)), dy = sub(py, start(ends, 1)), dz = sub(pz, start(ends, 2));
        return _mm512_cmp_pd_mask(add(add(mul(dx, dx), mul(dy, dy)), mul(dz, dz)), bound, _CMP_GT_OQ);
    };
    const __mmask8 far = too_far(end_a) | too_far(end_b);
    const __mmask8 skipped = locked(end_a) | locked(end_b);

    alignas(64) std::array<std::uint64_t, 8> costs, edge, tries;
    _mm512_store_pd(costs.data(), cost);
    _mm512_store_si512(edge.data(), _mm512_or_si512(_mm512_slli_epi64(a, 32), b));
    _mm512_store_si512(tries.data(), which);
    for (unsigned k = 0; k < 8; ++k) {
        out[k] = (skipped >> k) & 1u
                     ? Candidate{0, 0, NONE, 0, MIDPOINT}
                     : Candidate{costs[k], edge[k], state.collapses, std::uint8_t((far >> k) & 1u), Try(tries[k])};
    }
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// make_candidate for each edge, u << 32 | w, into `out`.
void make_candidates(const State& state, std::span<const std::uint64_t> edges, Candidate* out) {
    std::size_t k = 0;
#if TARNA_WIDE_REGISTERS
    if (wide_registers()) {
        for (; k + 8 <= edges.size(); k += 8) make_eight_candidates(state, edges.data() + k, out + k);
        // The rest too: a ring after a collapse has six or so edges. The spare lanes repeat the last.
        if (k < edges.size()) {
            std::array<std::uint64_t, 8> rest;
            std::array<Candidate, 8> made;
            for (std::size_t i = 0; i < 8; ++i) rest[i] = edges[std::min(k + i, edges.size() - 1)];
            make_eight_candidates(state, rest.data(), made.data());
            std::copy(made.begin(), made.begin() + std::ptrdiff_t(edges.size() - k), out + k);
            k = edges.size();
        }
    }
#endif
    for (; k < edges.size(); ++k)
        out[k] = make_candidate(state, std::uint32_t(edges[k] >> 32), std::uint32_t(edges[k]));
}

// Positions widened, faces copied, plane quadrics summed per corner, locks, and one candidate per
// free edge.
void set_up(State& state, CandidateQueue& queue, const TriangleMesh& mesh, double max_error) {
    // Collapse numbers (the stamps) fit in 32 bits because each collapse removes a face.
    TARNA_ASSERT(mesh.faces.size() <= NONE, "too many faces to simplify");
    const std::size_t vertex_count = mesh.vertices.size();
    for (const Triangle& face : mesh.faces) {
        for (const std::uint32_t corner : face) TARNA_ASSERT(corner < vertex_count, "face corner index out of range");
    }
    state.faces.assign(mesh.faces.begin(), mesh.faces.end());
    state.max_error_squared = max_error * max_error;
    state.vertices.resize(vertex_count);
    for (std::size_t v = 0; v < vertex_count; ++v) {
        State::Vertex& vertex = state.vertices[v];
        for (std::size_t k = 0; k < 3; ++k) vertex.position[k] = double(mesh.vertices[v][k]);
        vertex.start_position = mesh.vertices[v];
        vertex.quadric = Quadric{};
        vertex.locked = 0;
    }
    state.live_faces = state.faces.size();
    state.vertex_faces.build_faces(state.faces, vertex_count);
    state.ring_candidates.reset(vertex_count);

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
    // v and w lists w once among v's other corners, so counting how often w appears there counts the
    // faces on the edge (v, w); no hash map needed. The edges (v, w > v) are kept for the
    // candidates, which must wait until every lock is known.
    std::vector<std::uint64_t> edges;
    edges.reserve(state.faces.size() * 3 / 2 + 3);
    std::vector<std::uint32_t> others;
    // Per vertex w: the last v whose faces held it, and how many of them did.
    std::vector<std::uint32_t> seen_by(vertex_count, NONE), uses(vertex_count);
    for (std::uint32_t v = 0; v < vertex_count; ++v) {
        others.clear();
        for (const std::uint32_t f : state.vertex_faces[v]) {
            for (const std::uint32_t corner : state.faces[f]) {
                if (corner == v) continue;
                if (seen_by[corner] != v) {
                    seen_by[corner] = v;
                    uses[corner] = 0;
                    others.push_back(corner);
                }
                ++uses[corner];
            }
        }
        for (const std::uint32_t w : others) {
            if (uses[w] != 2) {
                state.vertices[v].locked = 1;
                state.vertices[w].locked = 1;
            }
            if (w > v) edges.push_back((std::uint64_t{v} << 32) | w);
        }
    }
    const std::size_t flagged = std::min(mesh.vertex_flags.size(), vertex_count);
    for (std::size_t v = 0; v < flagged; ++v) {
        if (mesh.vertex_flags[v] != 0) state.vertices[v].locked = 1;
    }
    state.stamps.assign(vertex_count, 0);
    state.removed_bits.assign(vertex_count / 64 + 1, 0);

    // The queue's order does not depend on the order of pushes, so edges go in by vertex, not by face.
    constexpr std::size_t BATCH = 256;
    std::array<Candidate, BATCH> made;
    for (std::size_t first = 0; first < edges.size(); first += BATCH) {
        const std::span<const std::uint64_t> batch(edges.data() + first, std::min(BATCH, edges.size() - first));
        make_candidates(state, batch, made.data());
        for (std::size_t k = 0; k < batch.size(); ++k) {
            if (made[k].stamp != NONE) queue.add(made[k]);
        }
    }
}

// Vertices above which a try asks for its reads ahead: their 128-byte records then fill 2 MiB, an
// L2 cache, and more.
inline constexpr std::size_t FETCH_AROUND_ABOVE = std::size_t{1} << 14;

// A live face around an end of the edge under test.
struct AroundFace {
    std::uint32_t index;
    Triangle corners;
};

// Scratch reused by every candidate.
struct Scratch {
    std::vector<AroundFace> around_a;
    std::vector<AroundFace> around_b;
    std::vector<std::uint32_t> opposite;
    std::vector<std::uint32_t> ring;        // a's one-ring once b is merged into it
    std::vector<std::uint64_t> pairs;       // the surviving faces, each named by its corners other than a
    std::vector<std::uint64_t> ring_edges;  // a << 32 | n for n in the ring, after a collapse
    std::vector<Candidate> made;            // their candidates
    // Per vertex, the last token it was marked with: membership in a ring without sorting.
    LargeVector<std::uint32_t> marks;
    // Per vertex x, the first two y of the pairs (x, y > x) seen under `token`: a repeated pair is
    // found without searching all pairs. A third y makes that vertex search them all.
    struct Partners {
        std::uint32_t token;
        std::uint32_t first;
        std::uint32_t second;
    };
    LargeVector<Partners> partners;
    std::uint32_t token = 0;
    // Per vertex, the face that last turned over in a collapse it was an end of, or NONE.
    LargeVector<std::uint32_t> last_turned;
    // Whether a try first asks for what it will read: on a mesh whose records outgrow the cache
    // its reads are mostly misses, each waiting on the one before (list, face, corner); on a
    // small one the requests only cost time.
    bool fetch_around = false;

    void reset(std::size_t vertex_count) {
        fetch_around = vertex_count > FETCH_AROUND_ABOVE;
        marks.assign(vertex_count, 0);
        partners.assign(vertex_count, Partners{0, NONE, NONE});
        last_turned.assign(vertex_count, NONE);
        token = 0;
    }

    std::uint32_t next_token() {
        if (token == NONE) reset(marks.size());
        return ++token;
    }

    // Whether (x, y), x < y, was seen before under the token; records it if not.
    bool seen_before(std::uint32_t x, std::uint32_t y) {
        Partners& seen = partners[x];
        const std::uint64_t pair = (std::uint64_t{x} << 32) | y;
        if (seen.token != token) {
            seen = {token, y, NONE};
        } else if (seen.first == y || seen.second == y) {
            return true;
        } else if (seen.second == NONE) {
            seen.second = y;
        } else if (std::find(pairs.begin(), pairs.end(), pair) != pairs.end()) {
            return true;
        }
        pairs.push_back(pair);
        return false;
    }
};

// Whether collapsing b into a at the candidate's position keeps the surface valid. Locked ends and
// positions out of bound never get this far: no candidate is made for the first, the second is
// marked when the candidate is made. The conditions are all pure, so their order is free. On
// success scratch holds the live faces of both ends and a's one-ring after the collapse.
bool collapse_allowed(const State& state, std::uint32_t a, std::uint32_t b, const Point3d& position, Scratch& scratch) {
    if (state.live_faces < 5) return false;
    // A collapse refused because a face would turn over is often tried again with little changed
    // (around vertices that keep absorbing their neighbours) and refused for the same face: test
    // that face before gathering anything. Any refusal is the same answer, so the order of the
    // tests changes nothing; the face is one the loop below would test.
    for (const std::uint32_t end : {a, b}) {
        const std::uint32_t f = scratch.last_turned[end];
        if (f == NONE) continue;
        const Triangle& face = state.faces[f];
        const bool holds_a = contains(face, a);
        if (face[0] == NONE || holds_a == contains(face, b)) continue;
        const std::uint32_t mover = holds_a ? a : b;
        if (position != state.vertices[mover].position && state.flips(face, a, b, position)) return false;
    }
    LargeVector<std::uint32_t>& marks = scratch.marks;
    const std::uint32_t in_ring_a = scratch.next_token(), in_ring_b = scratch.next_token();
    if (scratch.fetch_around) {
        // Ask for the faces around both ends first, then for what the tests below read of their
        // corners: the reads then overlap instead of each waiting on the one before it.
        for (const std::uint32_t end : {a, b}) {
            for (const std::uint32_t f : state.vertex_faces[end]) __builtin_prefetch(&state.faces[f]);
        }
        for (const std::uint32_t end : {a, b}) {
            for (const std::uint32_t f : state.vertex_faces[end]) {
                const Triangle& face = state.faces[f];
                if (face[0] == NONE) continue;
                for (const std::uint32_t corner : face) {
                    __builtin_prefetch(&marks[corner]);
                    __builtin_prefetch(&scratch.partners[corner]);
                    __builtin_prefetch(&state.vertices[corner]);
                    __builtin_prefetch(reinterpret_cast<const char*>(&state.vertices[corner]) + 64);
                }
            }
        }
    }

    // a's live faces, its ring (less b) and the corners across the edge from it.
    scratch.around_a.clear();
    scratch.ring.clear();
    scratch.opposite.clear();
    for (const std::uint32_t f : state.vertex_faces[a]) {
        const Triangle& face = state.faces[f];
        if (face[0] == NONE) continue;
        scratch.around_a.push_back({f, face});
        const bool across = contains(face, b);
        for (const std::uint32_t corner : face) {
            if (corner == a || corner == b) continue;
            if (marks[corner] != in_ring_a) {
                marks[corner] = in_ring_a;
                scratch.ring.push_back(corner);
            }
            if (across &&
                std::find(scratch.opposite.begin(), scratch.opposite.end(), corner) == scratch.opposite.end()) {
                scratch.opposite.push_back(corner);
            }
        }
    }
    if (scratch.opposite.empty()) return false;

    // Link condition: a and b share exactly the neighbours across their common faces; otherwise
    // the collapse would pinch the surface. Those are always shared, so counting suffices.
    scratch.around_b.clear();
    std::size_t shared = 0;
    for (const std::uint32_t f : state.vertex_faces[b]) {
        const Triangle& face = state.faces[f];
        if (face[0] == NONE) continue;
        scratch.around_b.push_back({f, face});
        for (const std::uint32_t corner : face) {
            if (corner == a || corner == b || marks[corner] == in_ring_b) continue;
            if (marks[corner] == in_ring_a) {
                ++shared;
            } else {
                scratch.ring.push_back(corner);
            }
            marks[corner] = in_ring_b;
        }
    }
    if (shared != scratch.opposite.size()) return false;

    // The faces that survive, as they would be: no repeated corner, no turning over, no two alike.
    scratch.pairs.clear();
    for (const std::uint32_t end : {a, b}) {
        // The faces of one end other than those across the edge: only that end moves. One whose
        // moving corner stays put keeps its normal, so it cannot flip and is not tested, which
        // matters around vertices that gathered many faces.
        const bool moves = position != state.vertices[end].position;
        for (const AroundFace& face : end == a ? scratch.around_a : scratch.around_b) {
            if (contains(face.corners, a) && contains(face.corners, b)) continue;
            Triangle result = face.corners;
            for (std::uint32_t& corner : result) {
                if (corner == b) corner = a;
            }
            if (result[0] == result[1] || result[1] == result[2] || result[0] == result[2]) return false;
            if (moves && state.flips(face.corners, a, b, position)) {
                scratch.last_turned[end] = face.index;
                return false;
            }
            // It holds a once, so its other two corners name it.
            const std::uint32_t x = result[0] == a ? result[1] : result[0];
            const std::uint32_t y = result[2] == a ? result[1] : result[2];
            if (scratch.seen_before(std::min(x, y), std::max(x, y))) return false;
        }
    }

    // a's ring afterwards: the corners of the surviving faces. That is both rings without a and b,
    // less any opposite vertex whose only faces with a or b were the ones across the edge.
    for (const std::uint32_t c : scratch.opposite) {
        const bool kept = std::any_of(scratch.pairs.begin(), scratch.pairs.end(), [c](std::uint64_t pair) {
            return std::uint32_t(pair >> 32) == c || std::uint32_t(pair) == c;
        });
        if (!kept) scratch.ring.erase(std::find(scratch.ring.begin(), scratch.ring.end(), c));
    }
    return true;
}

// Merges b into a: faces across the edge die, b's other faces move to a, and every edge around a
// gets a fresh candidate, remembered with a. Older candidates of a and b go stale through the
// stamps. Uses what collapse_allowed left in scratch.
void collapse(State& state, CandidateQueue& queue, std::uint32_t a, std::uint32_t b, const Point3d& position,
              Scratch& scratch) {
    state.vertices[a].position = position;
    state.vertices[a].quadric = sum_of(state.vertices[a].quadric, state.vertices[b].quadric);
    // a's faces: its own without b, then b's without a. The order of a face list changes nothing.
    std::size_t count = 0;
    for (const AroundFace& face : scratch.around_a) count += !contains(face.corners, b);
    for (const AroundFace& face : scratch.around_b) count += !contains(face.corners, a);
    const std::span<std::uint32_t> faces_of_a = state.vertex_faces.resize(a, count);
    std::size_t next = 0;
    for (const AroundFace& face : scratch.around_a) {
        if (!contains(face.corners, b)) faces_of_a[next++] = face.index;
    }
    for (const AroundFace& face : scratch.around_b) {
        Triangle& corners = state.faces[face.index];
        if (contains(face.corners, a)) {
            corners[0] = NONE;
            --state.live_faces;
            continue;
        }
        for (std::uint32_t& corner : corners) {
            if (corner == b) corner = a;
        }
        faces_of_a[next++] = face.index;
    }
    ++state.collapses;
    state.stamps[a] = state.collapses;
    state.stamps[b] = REMOVED;
    state.removed_bits[b / 64] |= std::uint64_t{1} << (b % 64);

    scratch.ring_edges.clear();
    for (const std::uint32_t n : scratch.ring) scratch.ring_edges.push_back(std::uint64_t{a} << 32 | n);
    scratch.made.resize(scratch.ring.size());
    make_candidates(state, scratch.ring_edges, scratch.made.data());
    const std::span<RingCandidate> remembered = state.ring_candidates.resize(a, scratch.ring.size());
    std::size_t made = 0;
    for (std::size_t k = 0; k < scratch.ring.size(); ++k) {
        const Candidate& candidate = scratch.made[k];
        if (candidate.stamp == NONE) continue;
        queue.push(candidate);
        remembered[made++] = {scratch.ring[k], candidate.out_of_bound, candidate.choice, candidate.cost_bits};
    }
    state.ring_candidates.resize(a, made);
}

// Live faces in order, vertices numbered at first use and narrowed back to float.
TriangleMesh compact(const State& state) {
    TriangleMesh result;
    std::vector<std::uint32_t> new_index(state.vertices.size(), NONE);
    result.faces.reserve(state.live_faces);
    for (std::size_t f = 0; f < state.faces.size(); ++f) {
        Triangle face = state.faces[f];
        if (face[0] == NONE) continue;
        for (std::uint32_t& corner : face) {
            std::uint32_t& index = new_index[corner];
            if (index == NONE) {
                index = std::uint32_t(result.vertices.size());
                const Point3d& p = state.vertices[corner].position;
                result.vertices.push_back({float(p[0]), float(p[1]), float(p[2])});
                result.vertex_flags.push_back(state.vertices[corner].locked);
            }
            corner = index;
        }
        result.faces.push_back(face);
    }
    return result;
}

}  // namespace

std::vector<std::array<std::uint64_t, 5>> candidates_of(const TriangleMesh& mesh, double max_error,
                                                        const std::vector<std::uint64_t>& pairs) {
    for (const std::uint64_t pair : pairs) {
        TARNA_ASSERT(std::max(pair >> 32, pair & 0xFFFFFFFF) < mesh.vertices.size(), "vertex pair out of range");
    }
    State state;
    CandidateQueue queue;
    set_up(state, queue, mesh, max_error);
    std::vector<Candidate> made(pairs.size());
    make_candidates(state, pairs, made.data());
    std::vector<std::array<std::uint64_t, 5>> result;
    for (const Candidate& c : made) result.push_back({c.cost_bits, c.edge, c.stamp, c.out_of_bound, c.choice});
    return result;
}

TriangleMesh simplify(TriangleMesh mesh, std::size_t target_face_count, double max_error) {
    if (mesh.faces.size() < 5) return mesh;
    State state;
    CandidateQueue queue;
    set_up(state, queue, mesh, max_error);

    Scratch scratch;
    scratch.reset(state.vertices.size());
    Candidate candidate;
    const auto dead = [&state](std::uint64_t edge) {
        return state.removed(std::uint32_t(edge >> 32)) || state.removed(std::uint32_t(edge));
    };
    const auto fetch = [&state](std::uint64_t edge) {
        const auto a = std::uint32_t(edge >> 32), b = std::uint32_t(edge);
        __builtin_prefetch(&state.stamps[a]);
        __builtin_prefetch(&state.stamps[b]);
        __builtin_prefetch(&state.vertices[a]);
        __builtin_prefetch(&state.vertices[b]);
    };
    while (queue.pop(candidate, dead, fetch)) {
        const auto a = std::uint32_t(candidate.edge >> 32), b = std::uint32_t(candidate.edge);
        const std::uint32_t stamp_a = state.stamps[a], stamp_b = state.stamps[b];
        if (stamp_a == REMOVED || stamp_b == REMOVED) continue;
        if (stamp_a > candidate.stamp || stamp_b > candidate.stamp) {
            // Stale: refresh it. The end that changed last made this edge's candidate then, unless
            // the ends were not joined; the refresh gives that content. If it pops no earlier than
            // this copy, it (or a copy) still waits in the queue or was just tried with nothing
            // changed since, so a second copy would change nothing. A cheaper one was tried
            // before the neighbourhood last changed: it goes in again as a retry.
            const bool a_last = stamp_a > stamp_b;
            const std::uint32_t last = a_last ? a : b, other = a_last ? b : a;
            const RingCandidate* made = nullptr;
            for (const RingCandidate& ring : state.ring_candidates[last]) {
                if (ring.neighbour == other) made = &ring;
            }
            if (made == nullptr) {
                const Candidate fresh = make_candidate(state, a, b);
                if (fresh.stamp != NONE) queue.push(fresh);
            } else if (made->cost_bits < candidate.cost_bits) {
                queue.push({made->cost_bits, candidate.edge, state.collapses, made->out_of_bound, made->choice});
            }
            continue;
        }
        if (candidate.out_of_bound) continue;
        const Point3d position = position_of(state, a, b, candidate.choice);
        if (!collapse_allowed(state, a, b, position, scratch)) continue;
        collapse(state, queue, a, b, position, scratch);
        if (state.live_faces <= target_face_count) break;
    }

    if (state.collapses == 0) return mesh;
    return compact(state);
}

}  // namespace tarna
