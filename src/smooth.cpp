// Smoothing: constrained umbrella passes in 32-bit floats over fixed-point surfaces.
// Input: the Extraction of a pass (each object's quads and positions, the shared cell vertices) and
// the configured method; output: the same Extraction with moved positions, rounded back to fixed
// point. Relaxation and Taubin smoothing (Taubin 1995, "A signal processing approach to fair
// surface design": a shrinking pass with weight lambda, then an inflating one with mu) move each
// object's own copy of its vertices within a box around the extracted position; fairing moves
// the cell vertices all objects share, within their cells, and objects copy them back.
// Every float expression is evaluated exactly as written (no contraction, no reassociation), and
// every pass reads one buffer and writes the other, so results never depend on the thread count.
// Where the CPU has 512-bit registers (common.hpp), fairing passes take four vertices at a time,
// relaxation and Taubin passes two, and each vertex's raw neighbour list is sorted in one register.
#include "smooth.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

#include "format.hpp"
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

namespace {

// Half-width of the displacement box in position units; a bound beyond float range becomes
// infinity, and the box then restricts nothing.
float box_half_width(double max_deviation) { return static_cast<float>(max_deviation * 256.0); }

using Int4 = std::int32_t __attribute__((vector_size(16)));

// note: argument order matters: std::max(lo, t) is lo when t is NaN, so a NaN (from an unchecked
// fairing pair) lands on the box's low corner rather than escaping the box. Lane by lane this is
// std::min(hi, std::max(lo, t)).
inline Point4f clamp_to_box(Point4f t, Point4f lo, Point4f hi) {
    const Point4f above = lo < t ? t : lo;
    return above < hi ? above : hi;
}

inline Point4f widen(const Position& position) {
    const Int4 lanes = {position[0], position[1], position[2], 0};
    return __builtin_convertvector(lanes, Point4f);
}

// 1 / k for the neighbour counts that occur, folded at compile time with the rounding of the
// division at run time.
constexpr std::array<float, 32> make_reciprocals() {
    std::array<float, 32> table{};
    for (unsigned k = 1; k < 32; ++k) table[k] = 1.0f / static_cast<float>(k);
    return table;
}
inline constexpr auto RECIPROCALS = make_reciprocals();
static_assert(RECIPROCALS[1] == 1.0f && RECIPROCALS[4] == 0.25f);

inline float reciprocal(std::uint32_t count) {
    return count < RECIPROCALS.size() ? RECIPROCALS[count] : 1.0f / static_cast<float>(count);
}

// Nearest integer, halves away from zero, saturated to 32 bits, NaN giving 0; lane by lane. Within
// the 32-bit range the truncated value t and the remainder x - t are exact, so comparing the
// remainder with a half rounds correctly (adding 0.5 first would round 0.49999997 up).
void store_fixed(Point4f point, Position& position) {
    const Point4f zero = {0.0f, 0.0f, 0.0f, 0.0f};
    const Point4f low = zero - 2147483648.0f, high = zero + 2147483520.0f;  // the floats nearest +-2^31 inside
    const Point4f number = point == point ? point : zero;
    const Point4f inside = number < low ? low : number > high ? high : number;
    const Int4 truncated = __builtin_convertvector(inside, Int4);
    const Point4f remainder = inside - __builtin_convertvector(truncated, Point4f);
    // Comparisons give -1 where true.
    const Int4 rounded = truncated - (remainder >= 0.5f) + (remainder <= -0.5f);
    const Int4 saturated = number >= 2147483648.0f ? Int4{} + std::numeric_limits<std::int32_t>::max() : rounded;
    for (int k = 0; k < 3; ++k) position[k] = saturated[k];
}

// ---------------------------------------------------------------------------------------------
// Per-object smoothing.

// Neighbours are the other ends of a vertex's quad sides (never the diagonals), as offsets plus
// data: raw lists filled and counted, a prefix sum, then every list sorted ascending, since sums
// run in index order, with repeats and the vertex itself dropped.
//
// The fill puts two entries per quad corner in the corner's raw list. Raw lists first go to a
// fixed room of FILL_ROOM entries per vertex, so the fill counts as it goes, without a pass of
// its own; an object with a vertex in more than FILL_ROOM / 2 quads is filled again after a
// counting pass, each raw list then sized to fit.
//
// The sort is a transposition: every side is filled in both directions, so walking the raw
// lists owner by owner in ascending order and appending the owner to each of its neighbours'
// lists leaves every list ascending, with a repeated neighbour twice in a row. Each vertex's
// region holds a NONE sentinel before its list and a spare slot after it, so the repeat test and
// the append need no branch. With 512-bit registers, lists that fit the fixed room are instead
// sorted in registers (sort_raw_lists), which costs less.
// Seven quads: with room for six, the objects holding a third of the dense benchmark volume's
// object vertices had a vertex in a seventh and took the counted fill; now none does.
inline constexpr std::uint32_t FILL_ROOM = 14;
// Room per vertex for its final list while every raw list fits FILL_ROOM: a sentinel, the list
// and a spare slot.
inline constexpr std::uint32_t LIST_ROOM = FILL_ROOM + 2;

// Writes a quad's two entries per corner at `end[corner]` past each corner's base, checking each
// corner's room just before its write, so a quad naming a vertex twice sees that vertex's count
// after its first write. False, with the quad partly written, once a corner has `room` entries.
template <class Base>
inline bool fill_quad(const Quad& quad, std::uint32_t* raw, std::uint32_t* end, const Base& base, std::uint32_t room) {
    auto put = [&](std::uint32_t v, std::uint32_t first, std::uint32_t second) {
        const std::uint32_t used = end[v];
        if (used >= room) return false;
        std::uint32_t* at = raw + base(v) + used;
        at[0] = first, at[1] = second, end[v] = used + 2;
        return true;
    };
    const std::uint32_t a = quad[0], b = quad[1], c = quad[2], d = quad[3];
    return put(a, b, d) && put(b, a, c) && put(c, b, d) && put(d, c, a);
}

#if TARNA_WIDE_REGISTERS
// GCC 12's intrinsics fill their unused pass-through operands with self-initialised placeholders,
// which -Wmaybe-uninitialized reports at every use.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define TARNA_WIDE_CONFLICTS __attribute__((target("avx512f,avx512cd")))

// Whether sort_raw_lists can run: it also needs the conflict-detection instructions.
bool wide_conflicts() {
    static const bool supported = __builtin_cpu_supports("avx512cd");
    return supported && wide_registers();
}

// Writes each raw list (at most FILL_ROOM entries, vertex v's at raw + FILL_ROOM * v) sorted, with
// each neighbour once and never the vertex itself, the list the transposition gives, at
// lists + LIST_ROOM * v; counts[v] becomes its length. A list is first cut to the first copy of
// each value (a lane is kept when no earlier lane holds its value), then sorted in a register by
// a bitonic network: nearly every vertex has at most eight distinct neighbours, so two lists share
// a register and take six steps instead of ten, and four lists go through two networks at once.
// Each store fills exactly its vertex's room, so loads and stores never meet and vertices overlap
// in the pipeline.
TARNA_WIDE_CONFLICTS void sort_raw_lists(const std::uint32_t* raw, std::size_t vertex_count, std::uint32_t* counts,
                                         std::uint32_t* lists) {
    static_assert(FILL_ROOM <= 16 && LIST_ROOM == 16);
    __m512i partners[SORT_STEPS.size()];
    for (std::size_t n = 0; n < SORT_STEPS.size(); ++n) partners[n] = _mm512_loadu_si512(SORT_STEPS[n].partner.data());
    const __m512i none = _mm512_set1_epi32(-1);
    auto sort = [&](__m512i x, std::size_t steps) TARNA_WIDE_CONFLICTS {
        for (std::size_t n = 0; n < steps; ++n) {
            const __m512i other = _mm512_permutexvar_epi32(partners[n], x);
            x = _mm512_mask_blend_epi32(SORT_STEPS[n].keeps_larger, _mm512_min_epu32(x, other),
                                        _mm512_max_epu32(x, other));
        }
        return x;
    };
    // Vertex v's distinct neighbours in the low lanes, NONE above them, and how many there are.
    struct Distinct {
        __m512i list;
        std::uint32_t count;
    };
    auto distinct = [&](std::size_t v) TARNA_WIDE_CONFLICTS {
        const __mmask16 valid = __mmask16((1u << counts[v]) - 1);
        const __m512i x = _mm512_maskz_loadu_epi32(valid, raw + FILL_ROOM * v);
        const __m512i earlier = _mm512_conflict_epi32(x);
        const __mmask16 kept = __mmask16(_mm512_mask_testn_epi32_mask(valid, earlier, earlier) &
                                         _mm512_cmpneq_epu32_mask(x, _mm512_set1_epi32(int(v))));
        return Distinct{_mm512_mask_compress_epi32(none, kept, x), std::uint32_t(__builtin_popcount(kept))};
    };
    // Two networks at once: each step waits for the one before, and a second register's steps fill
    // the gaps (the sort took 31 ms instead of 34 on the dense benchmark volume).
    auto sort_both = [&](__m512i& x, __m512i& y, std::size_t steps) TARNA_WIDE_CONFLICTS {
        for (std::size_t n = 0; n < steps; ++n) {
            const __m512i x_other = _mm512_permutexvar_epi32(partners[n], x);
            const __m512i y_other = _mm512_permutexvar_epi32(partners[n], y);
            x = _mm512_mask_blend_epi32(SORT_STEPS[n].keeps_larger, _mm512_min_epu32(x, x_other),
                                        _mm512_max_epu32(x, x_other));
            y = _mm512_mask_blend_epi32(SORT_STEPS[n].keeps_larger, _mm512_min_epu32(y, y_other),
                                        _mm512_max_epu32(y, y_other));
        }
    };
    // The first HALF_STEPS steps sort each half of the register on its own, the lower half
    // ascending and the upper one descending; the upper one is reversed afterwards.
    constexpr std::size_t HALF_STEPS = 6;
    const __m512i halves_ascending = _mm512_set_epi32(8, 9, 10, 11, 12, 13, 14, 15, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i upper_half = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 15, 14, 13, 12, 11, 10, 9, 8);
    auto join = [&](__m512i lower, __m512i upper)
                    TARNA_WIDE_CONFLICTS { return _mm512_inserti64x4(lower, _mm512_castsi512_si256(upper), 1); };
    // The lists of w and w + 1 from a register whose halves are sorted.
    auto store_halves = [&](std::size_t w, __m512i x) TARNA_WIDE_CONFLICTS {
        x = _mm512_permutexvar_epi32(halves_ascending, x);
        _mm512_storeu_si512(lists + LIST_ROOM * w, x);
        _mm512_storeu_si512(lists + LIST_ROOM * (w + 1), _mm512_permutexvar_epi32(upper_half, x));
    };
    // A list sorted in a register of its own, all sixteen lanes.
    auto store_alone = [&](std::size_t w, __m512i x) TARNA_WIDE_CONFLICTS {
        _mm512_storeu_si512(lists + LIST_ROOM * w, sort(x, SORT_STEPS.size()));
    };
    // The lists of w and w + 1, in one register when both fit a half.
    auto store_pair = [&](std::size_t w, const Distinct& first, const Distinct& second) TARNA_WIDE_CONFLICTS {
        if (first.count <= 8 && second.count <= 8) {
            store_halves(w, sort(join(first.list, second.list), HALF_STEPS));
        } else {
            store_alone(w, first.list);
            store_alone(w + 1, second.list);
        }
    };
    std::size_t v = 0;
    for (; v + 3 < vertex_count; v += 4) {
        const Distinct a = distinct(v), b = distinct(v + 1), c = distinct(v + 2), d = distinct(v + 3);
        if (std::max({a.count, b.count, c.count, d.count}) <= 8) {
            __m512i x = join(a.list, b.list), y = join(c.list, d.list);
            sort_both(x, y, HALF_STEPS);
            store_halves(v, x);
            store_halves(v + 2, y);
        } else {
            store_pair(v, a, b);
            store_pair(v + 2, c, d);
        }
        counts[v] = a.count, counts[v + 1] = b.count, counts[v + 2] = c.count, counts[v + 3] = d.count;
    }
    for (; v + 1 < vertex_count; v += 2) {
        const Distinct first = distinct(v), second = distinct(v + 1);
        store_pair(v, first, second);
        counts[v] = first.count, counts[v + 1] = second.count;
    }
    if (v < vertex_count) {
        const Distinct last = distinct(v);
        store_alone(v, last.list);
        counts[v] = last.count;
    }
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

void build_neighbours(const LabelMesh& mesh, Scratch& scratch) {
    const std::size_t vertex_count = tarna::vertex_count(mesh);
    std::vector<std::uint32_t>& start = scratch.neighbour_start;
    std::vector<std::uint32_t>& end = scratch.neighbour_end;
    std::vector<std::uint32_t>& list = scratch.neighbours;
    // The final lists then take at most FILL_ROOM + 2 entries per vertex; the raw ones come after.
    const std::size_t lists_room = std::size_t{LIST_ROOM} * vertex_count;
    list.resize(lists_room + FILL_ROOM * vertex_count);
    std::uint32_t* raw = list.data() + lists_room;
    end.assign(vertex_count, 0);  // raw entries so far
    bool roomy = for_each_quad(mesh, [&](const Quad& quad) {
        for (const std::uint32_t corner : quad)
            TARNA_ASSERT(corner < vertex_count, "smoothing: quad corner out of range");
        return fill_quad(quad, raw, end.data(), [](std::uint32_t v) { return std::size_t{FILL_ROOM} * v; }, FILL_ROOM);
    });
#if TARNA_WIDE_REGISTERS
    if (roomy && wide_conflicts() && lists_room < NONE) {
        sort_raw_lists(raw, vertex_count, end.data(), list.data());
        start.resize(vertex_count + 1);
        for (std::size_t v = 0; v <= vertex_count; ++v) start[v] = std::uint32_t(LIST_ROOM * v);
        for (std::size_t v = 0; v < vertex_count; ++v) end[v] += start[v];
        return;
    }
#endif
    if (!roomy) {
        end.assign(vertex_count, 0);
        for_each_quad(mesh, [&](const Quad& quad) {
            for (const std::uint32_t corner : quad) {
                TARNA_ASSERT(corner < vertex_count, "smoothing: quad corner out of range");
                end[corner] += 2;
            }
            return true;
        });
    }
    // start[v] is where v's list begins, one past its sentinel.
    start.resize(vertex_count + 1);
    std::uint32_t at = 1;
    for (std::size_t v = 0; v < vertex_count; ++v) {
        start[v] = at;
        at += end[v] + 2;
    }
    start[vertex_count] = at;
    if (!roomy) {
        // Raw lists laid out like the final ones, behind them.
        const std::uint32_t total = at - 1;
        list.resize(std::size_t(2) * total);
        raw = list.data() + total;
        end.assign(vertex_count, 0);
        for_each_quad(mesh, [&](const Quad& quad) {
            fill_quad(quad, raw, end.data(), [&](std::uint32_t v) { return std::size_t{start[v]}; }, NONE);
            return true;
        });
    }
    std::uint32_t* const lists = list.data();
    for (std::size_t v = 0; v < vertex_count; ++v) lists[start[v] - 1] = NONE;
    end.assign(start.begin(), start.end() - 1);
    for (std::uint32_t owner = 0; owner < vertex_count; ++owner) {
        const std::uint32_t* own = raw + (roomy ? std::size_t{FILL_ROOM} * owner : std::size_t{start[owner]});
        const std::uint32_t raw_count = start[owner + 1] - start[owner] - 2;
        for (std::uint32_t i = 0; i < raw_count; ++i) {
            const std::uint32_t vertex = own[i];
            const std::uint32_t place = end[vertex];
            lists[place] = owner;
            end[vertex] = place + std::uint32_t(vertex != owner && lists[place - 1] != owner);
        }
    }
}

// Vertices with 3, 4, 5 or 6 neighbours (nearly all of them, in no order a branch predictor could
// learn) each have a group and a loop of their own in umbrella_pass; the rest share a last group.
inline constexpr std::uint32_t FEWEST_GROUPED = 3, MOST_GROUPED = 6;
inline constexpr std::size_t OTHERS_GROUP = MOST_GROUPED - FEWEST_GROUPED + 1;
static_assert(OTHERS_GROUP + 2 == std::tuple_size_v<decltype(Scratch::group_start)>);

inline std::size_t group_of(std::uint32_t count) {
    return count >= FEWEST_GROUPED && count <= MOST_GROUPED ? count - FEWEST_GROUPED : OTHERS_GROUP;
}

// Writes the lists of the group with `count` neighbours (0: the others) in slot order, each entry
// twice the neighbour's slot; a group of one count copies without a branch per vertex.
template <std::uint32_t count>
void copy_group(Scratch& scratch) {
    const std::size_t group = group_of(count);
    const std::uint32_t* start = scratch.neighbour_start.data();
    const std::uint32_t* end = scratch.neighbour_end.data();
    const std::uint32_t* list = scratch.neighbours.data();
    const std::uint32_t* slot_of = scratch.slot_of.data();
    const std::uint32_t* vertex_of = scratch.vertex_of.data();
    const std::size_t begin = scratch.group_start[group], stop = scratch.group_start[group + 1];
    std::uint32_t* out = scratch.slot_neighbours.data() + scratch.slot_first[begin];
    for (std::size_t s = begin; s < stop; ++s) {
        const std::uint32_t j = vertex_of[s];
        const std::uint32_t* in = list + start[j];
        if constexpr (count == 0) {
            for (std::uint32_t k = 0; k < end[j] - start[j]; ++k) *out++ = 2 * slot_of[in[k]];
        } else {
#pragma GCC unroll 6
            for (std::uint32_t k = 0; k < count; ++k) out[k] = 2 * slot_of[in[k]];
            out += count;
        }
    }
}

using GroupCursors = std::array<std::uint32_t, OTHERS_GROUP + 2>;

#if TARNA_WIDE_REGISTERS
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // GCC 12's placeholders, as above
#endif

// Sixteen vertices at a time, where the plain loops below keep each group's cursor in memory and
// every vertex waits for the store of the one before it. Without `slots`, adds the group sizes of
// every whole run of sixteen to `at` (group g at g + 1); with it, gives those vertices their slots
// from the cursors in `at`, advancing them. Returns how many vertices it took.
TARNA_WIDE std::size_t group_vertices_wide(const std::uint32_t* start, const std::uint32_t* end, std::size_t count,
                                           GroupCursors& at, std::uint32_t* slot_of, std::uint32_t* vertex_of,
                                           bool slots) {
    static_assert(OTHERS_GROUP == 4 && FEWEST_GROUPED == 3);
    const __m512i lanes = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    std::size_t j = 0;
    for (; j + 16 <= count; j += 16) {
        const __m512i counts = _mm512_sub_epi32(_mm512_loadu_si512(end + j), _mm512_loadu_si512(start + j));
        // group_of: counts below FEWEST_GROUPED wrap around and land with the others.
        const __m512i groups = _mm512_min_epu32(_mm512_sub_epi32(counts, _mm512_set1_epi32(int(FEWEST_GROUPED))),
                                                _mm512_set1_epi32(int(OTHERS_GROUP)));
        const __m512i vertices = _mm512_add_epi32(lanes, _mm512_set1_epi32(int(j)));
        __m512i slot = _mm512_setzero_si512();
#pragma GCC unroll 5
        for (std::size_t g = 0; g <= OTHERS_GROUP; ++g) {
            const __mmask16 in_group = _mm512_cmpeq_epi32_mask(groups, _mm512_set1_epi32(int(g)));
            const auto taken = std::uint32_t(__builtin_popcount(in_group));
            if (slots) {
                // The group's vertices in order take its next slots.
                _mm512_mask_storeu_epi32(vertex_of + at[g], __mmask16((1u << taken) - 1),
                                         _mm512_maskz_compress_epi32(in_group, vertices));
                slot = _mm512_mask_expand_epi32(slot, in_group, _mm512_add_epi32(lanes, _mm512_set1_epi32(int(at[g]))));
                at[g] += taken;
            } else {
                at[g + 1] += taken;
            }
        }
        if (slots) _mm512_storeu_si512(slot_of + j, slot);
    }
    return j;
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// Puts the vertices in groups by neighbour count, ascending within each group, and rewrites the
// neighbour lists in slots, in slot order: a pass then reads its lists, boxes and positions in
// order, and only the neighbours' positions out of it. Each list keeps its order.
void arrange_by_count(std::size_t vertex_count, Scratch& scratch) {
    const std::uint32_t* start = scratch.neighbour_start.data();
    const std::uint32_t* end = scratch.neighbour_end.data();
    std::vector<std::uint32_t>& slot_of = scratch.slot_of;
    std::vector<std::uint32_t>& vertex_of = scratch.vertex_of;
    std::vector<std::uint32_t>& first = scratch.slot_first;
    slot_of.resize(vertex_count);
    vertex_of.resize(vertex_count);
    first.resize(vertex_count + 1);
    GroupCursors at{};
    std::size_t counted = 0;
#if TARNA_WIDE_REGISTERS
    const bool wide = wide_registers();
    if (wide) counted = group_vertices_wide(start, end, vertex_count, at, nullptr, nullptr, false);
#endif
    for (std::size_t j = counted; j < vertex_count; ++j) ++at[group_of(end[j] - start[j]) + 1];
    for (std::size_t g = 1; g < at.size(); ++g) at[g] += at[g - 1];
    scratch.group_start = at;
    std::size_t placed = 0;
#if TARNA_WIDE_REGISTERS
    if (wide) placed = group_vertices_wide(start, end, vertex_count, at, slot_of.data(), vertex_of.data(), true);
#endif
    for (std::size_t j = placed; j < vertex_count; ++j) {
        const std::uint32_t slot = at[group_of(end[j] - start[j])]++;
        slot_of[j] = slot;
        vertex_of[slot] = std::uint32_t(j);
    }
    // Lists of one length lie back to back, group after group: only a group's first slot and
    // the others' slots need a start of their own. An empty group's start is the next group's.
    const std::array<std::uint32_t, OTHERS_GROUP + 2>& group_start = scratch.group_start;
    std::uint32_t list_end = 0;
    for (std::size_t g = 0; g < OTHERS_GROUP; ++g) {
        first[group_start[g]] = list_end;
        list_end += (group_start[g + 1] - group_start[g]) * std::uint32_t(FEWEST_GROUPED + g);
    }
    for (std::size_t slot = group_start[OTHERS_GROUP]; slot < vertex_count; ++slot) {
        first[slot] = list_end;
        const std::uint32_t j = vertex_of[slot];
        list_end += end[j] - start[j];
    }
    first[vertex_count] = list_end;
    scratch.slot_neighbours.resize(list_end);
    copy_group<3>(scratch);
    copy_group<4>(scratch);
    copy_group<5>(scratch);
    copy_group<6>(scratch);
    copy_group<0>(scratch);
}

// A neighbour's position from its list entry, twice its slot: a position takes 16 bytes and an
// address scales an index by 8 at most, so doubled entries spare a shift per neighbour.
inline const Point4f& neighbour(const Point4f* positions, std::uint32_t entry) {
    return *reinterpret_cast<const Point4f*>(reinterpret_cast<const char*>(positions) + std::size_t{8} * entry);
}

// Vertex s's box [o - h, h + o] from its start entry: worked out in every pass, which costs less
// than reading both corners. Lanes 0 to 2 only; the fourth lane of a result means nothing.
inline Point4f clamp_to_start_box(Point4f t, Point4f start) {
    const Point4f half = __builtin_shufflevector(start, start, 3, 3, 3, 3);
    return clamp_to_box(t, start - half, half + start);
}

// One umbrella step for slot s, which has `count` neighbours listed at n: it moves that fraction
// of the way to its neighbours' mean, clamped to its box. No branch on whether a vertex may move:
// one that must stay has a box of zero width. Sums run from 0 over the neighbours in ascending
// vertex order.
template <std::uint32_t count>
inline void umbrella_slot(const std::uint32_t* n, std::size_t s, const Point4f* current, Point4f* next,
                          const Point4f* start, float weight) {
    Point4f sum = {0.0f, 0.0f, 0.0f, 0.0f};
#pragma GCC unroll 6
    for (std::uint32_t k = 0; k < count; ++k) sum += neighbour(current, n[k]);
    const Point4f p = current[s];
    const Point4f t = (sum * RECIPROCALS[count] - p) * weight + p;
    next[s] = clamp_to_start_box(t, start[s]);
}

// umbrella_slot for every vertex of the group with `count` neighbours, or of the others when
// `count` is 0.
template <std::uint32_t count>
void umbrella_group(const Scratch& scratch, const Point4f* current, Point4f* next, float weight) {
    const std::size_t group = group_of(count);
    const std::uint32_t* first = scratch.slot_first.data();
    const std::uint32_t* list = scratch.slot_neighbours.data();
    const Point4f* start = scratch.start.data();
    const std::size_t begin = scratch.group_start[group], end = scratch.group_start[group + 1];
    if constexpr (count == 0) {
        for (std::size_t s = begin; s < end; ++s) {
            Point4f sum = {0.0f, 0.0f, 0.0f, 0.0f};
            for (std::uint32_t k = first[s]; k < first[s + 1]; ++k) sum += neighbour(current, list[k]);
            const Point4f p = current[s];
            const Point4f t = (sum * reciprocal(first[s + 1] - first[s]) - p) * weight + p;
            next[s] = clamp_to_start_box(t, start[s]);
        }
    } else {
        // Lists of one length lie back to back.
        const std::uint32_t* n = list + first[begin];
        for (std::size_t s = begin; s < end; ++s, n += count) umbrella_slot<count>(n, s, current, next, start, weight);
    }
}

#if TARNA_WIDE_REGISTERS
// umbrella_group for a group of one count, two vertices to a 256-bit register, one in each half;
// the last vertex of an odd group goes alone. Per pair that is about a quarter fewer instructions
// than two vertices one at a time: one load each for the positions and the boxes, one store, and the
// arithmetic once.
template <std::uint32_t count>
TARNA_WIDE void umbrella_group_paired(const Scratch& scratch, const Point4f* current, Point4f* next, float weight) {
    static_assert(count != 0);
    const std::size_t group = group_of(count);
    const std::size_t begin = scratch.group_start[group], end = scratch.group_start[group + 1];
    const std::uint32_t* n = scratch.slot_neighbours.data() + scratch.slot_first[begin];
    const float* start = reinterpret_cast<const float*>(scratch.start.data());
    const float* positions = reinterpret_cast<const float*>(current);
    float* out = reinterpret_cast<float*>(next);
    const __m256 reciprocal = _mm256_set1_ps(RECIPROCALS[count]), weights = _mm256_set1_ps(weight);
    // An entry is twice a slot, and a slot four floats.
    auto at = [&](std::uint32_t entry) TARNA_WIDE { return _mm_loadu_ps(positions + std::size_t{2} * entry); };
    std::size_t s = begin;
    for (; s + 2 <= end; s += 2, n += 2 * count) {
        // The pair's 2 * count entries, two to a load: loads, not arithmetic, limit this loop.
        std::array<std::uint32_t, 2 * count> entries;
#pragma GCC unroll 6
        for (std::uint32_t k = 0; k < count; ++k) {
            std::uint64_t two;
            std::memcpy(&two, n + 2 * k, sizeof two);
            entries[2 * k] = std::uint32_t(two);
            entries[2 * k + 1] = std::uint32_t(two >> 32);
        }
        __m256 sum = _mm256_setzero_ps();
#pragma GCC unroll 6
        for (std::uint32_t k = 0; k < count; ++k)
            sum = _mm256_add_ps(
                sum, _mm256_insertf128_ps(_mm256_castps128_ps256(at(entries[k])), at(entries[count + k]), 1));
        const __m256 p = _mm256_loadu_ps(positions + 4 * s);
        const __m256 t = _mm256_add_ps(_mm256_mul_ps(_mm256_sub_ps(_mm256_mul_ps(sum, reciprocal), p), weights), p);
        const __m256 o = _mm256_loadu_ps(start + 4 * s);
        const __m256 half = _mm256_permute_ps(o, 0xFF);
        // max(t, lo) is lo when t is NaN, as clamp_to_box is.
        const __m256 above = _mm256_max_ps(t, _mm256_sub_ps(o, half));
        _mm256_storeu_ps(out + 4 * s, _mm256_min_ps(above, _mm256_add_ps(half, o)));
    }
    if (s < end) umbrella_slot<count>(n, s, current, next, scratch.start.data(), weight);
}
#endif

// One umbrella pass with weight `weight` over every vertex, group by group: each vertex writes
// only its own entry of `next`, so their order changes nothing.
void umbrella_pass(const Scratch& scratch, const Point4f* current, Point4f* next, float weight) {
    static_assert(FEWEST_GROUPED == 3 && MOST_GROUPED == 6);
#if TARNA_WIDE_REGISTERS
    if (wide_registers()) {
        umbrella_group_paired<3>(scratch, current, next, weight);
        umbrella_group_paired<4>(scratch, current, next, weight);
        umbrella_group_paired<5>(scratch, current, next, weight);
        umbrella_group_paired<6>(scratch, current, next, weight);
        umbrella_group<0>(scratch, current, next, weight);
        return;
    }
#endif
    umbrella_group<3>(scratch, current, next, weight);
    umbrella_group<4>(scratch, current, next, weight);
    umbrella_group<5>(scratch, current, next, weight);
    umbrella_group<6>(scratch, current, next, weight);
    umbrella_group<0>(scratch, current, next, weight);
}

// ---------------------------------------------------------------------------------------------
// Fairing of the shared cell vertices.

// Cell vertices per task: large volumes use every worker, small ones stay in one task.
inline constexpr std::size_t FAIR_CHUNK = 65536;

// The neighbours of every cell vertex, found once per call and read by every pass. Each vertex
// has a slot per direction, so a pass finds them at fixed places, without a branch on how many
// there are or a running offset: along axis 0 they can only be the previous and next entries,
// flagged in `found`; along axes 1 and 2 they sit in `list`, four slots per vertex. A missing
// neighbour reads the zero point kept after the last vertex. Adding +0 leaves a sum as it was
// unless the sum is -0, and no position or sum here ever is (positions start as integers, and a
// sum is -0 only when both its terms are), so the sum over all six slots in direction order is
// the sum over the neighbours found, in that order, to the bit.
// Buffers are left uninitialised: every entry read is written first.
struct CellLinks {
    // The linked faces (bits 0 to 5), then: bit 0, the previous entry is a neighbour; bit 1, the
    // next one is; bits 2 and up, how many neighbours there are.
    std::uint8_t* found = nullptr;
    std::uint32_t* list = nullptr;  // directions 2 to 5: a vertex's slot, or the zero point's
    // For passes four vertices at a time, what they read of a vertex besides positions in one word:
    // its CENTROID offsets in bits 0 to 26, nine bits an axis, and its `found` flags from bit 27 on.
    std::uint32_t* packed = nullptr;
    std::size_t zero_slot = 0;  // the slot of the zero point, which missing neighbours read
};

// A vertex's CENTROID offsets (0 to 256 each) as the low 27 bits of its packed word.
alignas(64) inline constexpr auto CENTROID_BITS = [] {
    std::array<std::uint32_t, CENTROID.size()> table{};
    for (std::size_t mask = 0; mask < CENTROID.size(); ++mask) {
        const auto& offsets = CENTROID[mask];
        table[mask] = std::uint32_t(offsets[0]) | std::uint32_t(offsets[1]) << 9 | std::uint32_t(offsets[2]) << 18;
    }
    return table;
}();
static_assert([] {
    for (const auto& offsets : CENTROID) {
        for (const std::int32_t offset : offsets) {
            if (offset < 0 || offset > 256) return false;
        }
    }
    return true;
}());

inline constexpr std::size_t AXIS_SLOTS = 4;  // list entries per vertex

// The directions each cell vertex in [first, last) links through (face bits of tables.hpp): the
// faces its surface crosses or, with the junction rule and two or more junction faces, those
// alone, so the curves where labels meet are smoothed along themselves. Never across the grid's
// outer faces. A vertex that must stay (a boundary one) links through none, which pins it.
// faces[j - first] takes vertex j's.
void link_faces(const CellField& cells, const std::array<std::uint64_t, 3>& cell_shape, bool junction_rule,
                std::size_t first, std::size_t last, std::uint8_t* faces) {
    const std::uint64_t n0 = cell_shape[0], n1 = cell_shape[1], n2 = cell_shape[2];
    std::uint64_t i0 = 0, i1 = 0, i2 = 0, previous = 0;
    for (std::size_t j = first; j < last; ++j) {
        const std::uint64_t cell = cells.cell_ids[j];
        const unsigned edges = cells.edge_masks[j];
        TARNA_ASSERT(edges < 4096, "fairing: edge mask wider than 12 bits");
        TARNA_ASSERT(j == 0 || cells.cell_ids[j - 1] < cell, "fairing: cell ids do not ascend");
        // Grid coordinates: most steps stay in the row, and need no division.
        if (j != first && i0 + (cell - previous) < n0) {
            i0 += cell - previous;
        } else {
            i0 = cell % n0, i1 = (cell / n0) % n1, i2 = cell / (n0 * n1);
            TARNA_ASSERT(i2 < n2, "fairing: cell id outside the grid");
        }
        previous = cell;
        const unsigned in_grid = unsigned(i0 > 0) | unsigned(i0 + 1 < n0) << 1 | unsigned(i1 > 0) << 2 |
                                 unsigned(i1 + 1 < n1) << 3 | unsigned(i2 > 0) << 4 | unsigned(i2 + 1 < n2) << 5;
        const unsigned junctions = in_grid & JUNCTION_FACES[edges];
        const bool two_or_more = (junctions & (junctions - 1)) != 0;  // a popcount is a call on plain x86-64
        const unsigned linked = cells.boundary[j] != 0         ? 0u
                                : junction_rule && two_or_more ? junctions
                                                               : in_grid & SURFACE_FACES[edges];
        faces[j - first] = static_cast<std::uint8_t>(linked);
    }
}

// Cell vertices whose id is below `target`.
std::size_t count_below(const std::vector<std::uint64_t>& ids, std::int64_t target) {
    if (target <= 0) return 0;
    return std::size_t(std::lower_bound(ids.begin(), ids.end(), std::uint64_t(target)) - ids.begin());
}

// Finds the neighbours of cell vertices [first, last): in direction d, the vertex whose id is the
// own id plus offsets[d], if any, through a linked face. Along axis 0 that can only be the next
// or the previous entry. Otherwise ids ascend, so one cursor per direction, placed by bisection at
// the chunk's start, only moves forward, nearly always by at most two entries per vertex: two
// steps without branches, then a loop that is rarely entered. found[j - first] holds vertex j's
// linked faces on entry and its CellLinks flags on return; its slots start at
// out[AXIS_SLOTS * (j - first)].
void find_links(const std::vector<std::uint64_t>& ids, const std::array<std::int64_t, 6>& offsets, std::size_t first,
                std::size_t last, std::uint8_t* found, std::uint32_t* out) {
    const std::size_t count = ids.size();
    const std::uint64_t* id_of = ids.data();
    std::array<std::size_t, 6> cursor{};
    for (int d = 2; d < 6; ++d) cursor[d] = count_below(ids, std::int64_t(ids[first]) + offsets[d]);
    const auto zero_point = static_cast<std::uint32_t>(count);
    const std::int64_t last_id = std::int64_t(ids.back()), farthest = *std::max_element(offsets.begin(), offsets.end());
    // Near the end reads are clamped into the array: past its end the last id stands in, which
    // never equals the id sought there. Before that some id is at least every target, so no cursor
    // passes the last entry and reads need no clamp.
    auto link = [&](std::size_t j, auto clamped) {
        auto id_at = [&](std::size_t at) {
            if constexpr (clamped) at = at < count ? at : count - 1;
            return std::int64_t(id_of[at]);
        };
        const std::int64_t id = std::int64_t(id_of[j]);
        const unsigned linked = found[j - first];
        const unsigned before = (linked & 1u) & unsigned(j > 0) & unsigned(id_at(j - (j > 0)) == id - 1);
        const unsigned after = ((linked >> 1) & 1u) & unsigned(id_at(j + 1) == id + 1);
        unsigned number = before + after;
        // Unrolled, the four cursors stay in registers instead of going through memory every vertex.
#pragma GCC unroll 4
        for (int d = 2; d < 6; ++d) {
            const std::int64_t target = id + offsets[d];
            std::size_t at = cursor[d];
            at += std::size_t(id_at(at) < target) & std::size_t(!clamped || at < count);
            at += std::size_t(id_at(at) < target) & std::size_t(!clamped || at < count);
            while ((!clamped || at < count) && std::int64_t(id_of[at]) < target) ++at;
            cursor[d] = at;
            const unsigned hit = ((linked >> d) & 1u) & unsigned(id_at(at) == target);
            out[d - 2] = hit != 0 ? static_cast<std::uint32_t>(at) : zero_point;
            number += hit;
        }
        found[j - first] = static_cast<std::uint8_t>(number << 2 | after << 1 | before);
        out += AXIS_SLOTS;
    };
    for (std::size_t j = first; j < last; ++j) {
        if (std::int64_t(id_of[j]) + farthest < last_id)
            link(j, std::false_type{});
        else
            link(j, std::true_type{});
    }
}

// Which cell ids hold a vertex: bit t % 64 of word t / 64 for id t, and per word the index of its
// first vertex (0 for a word without any). The vertex of id t is then found without a search, as
// the first of its word plus the bits set below t there. Worth building where the grid has at most
// 64 cells per vertex (12 bytes a vertex at most), as in dense volumes: there the cursors below
// cost more.
struct OccupiedCells {
    std::uint64_t* bits;
    std::uint32_t* first;
    std::uint64_t words;
};

// Writes the words of `occupied` that start with one of the vertices [first, last), the empty words
// before them, and, for the last vertices, those up to the end. A word that vertices of two ranges
// share belongs to the range of its first vertex, so ranges may be marked in parallel.
void mark_cells(const std::vector<std::uint64_t>& ids, std::size_t first, std::size_t last,
                const OccupiedCells& occupied) {
    const std::size_t count = ids.size();
    std::size_t j = first;
    std::uint64_t unwritten = 0;  // the first word this range writes
    if (first > 0) {
        const std::uint64_t shared = ids[first - 1] >> 6;
        TARNA_ASSERT(shared < occupied.words, "fairing: cell id outside the grid");
        while (j < last && ids[j] >> 6 == shared) ++j;
        unwritten = shared + 1;
    }
    while (j < last) {
        const std::uint64_t word = ids[j] >> 6;
        TARNA_ASSERT(word < occupied.words, "fairing: cell id outside the grid");
        TARNA_ASSERT(word >= unwritten, "fairing: cell ids do not ascend");
        std::fill(occupied.bits + unwritten, occupied.bits + word, 0);
        std::fill(occupied.first + unwritten, occupied.first + word, 0);
        occupied.first[word] = static_cast<std::uint32_t>(j);
        std::uint64_t bits = 0;
        do {
            bits |= std::uint64_t{1} << (ids[j] & 63);
            ++j;
        } while (j < count && ids[j] >> 6 == word);
        occupied.bits[word] = bits;
        unwritten = word + 1;
    }
    if (last == count) {
        std::fill(occupied.bits + unwritten, occupied.bits + occupied.words, 0);
        std::fill(occupied.first + unwritten, occupied.first + occupied.words, 0);
    }
}

// find_links through `occupied`: the same neighbours and flags, each a lookup instead of a cursor
// walk. A linked face never leads out of the grid, so its neighbour's id has a word.
template <class Count>
[[gnu::always_inline]] inline void find_occupied_links(const std::vector<std::uint64_t>& ids,
                                                       const OccupiedCells& occupied,
                                                       const std::array<std::int64_t, 6>& offsets, std::size_t first,
                                                       std::size_t last, std::uint8_t* found, std::uint32_t* out,
                                                       const Count& count_bits) {
    const std::size_t count = ids.size();
    const auto zero_point = static_cast<std::uint32_t>(count);
    const std::uint64_t* const id_of = ids.data();
    const std::uint64_t* const bits_of = occupied.bits;
    const std::uint32_t* const first_of = occupied.first;
    const std::array<std::uint64_t, 4> steps = {std::uint64_t(offsets[2]), std::uint64_t(offsets[3]),
                                                std::uint64_t(offsets[4]), std::uint64_t(offsets[5])};
    for (std::size_t j = first; j < last; ++j) {
        const std::uint64_t id = id_of[j];
        const unsigned linked = found[j - first];
        const unsigned before = (linked & 1u) & unsigned(j > 0) & unsigned(id_of[j - (j > 0)] == id - 1);
        const unsigned after = ((linked >> 1) & 1u) & unsigned(id_of[std::min(j + 1, count - 1)] == id + 1);
        unsigned number = before + after;
        // Masks rather than selects: whether a face is linked follows no pattern a branch could learn.
#pragma GCC unroll 4
        for (int d = 2; d < 6; ++d) {
            const unsigned wanted = (linked >> d) & 1u;
            const std::uint64_t target = id + (steps[d - 2] & (std::uint64_t{0} - wanted));
            const std::uint64_t bits = bits_of[target >> 6];
            const unsigned below = unsigned(target & 63);
            const unsigned hit = wanted & unsigned(bits >> below);
            const std::uint32_t at = first_of[target >> 6] + count_bits(bits & ((std::uint64_t{1} << below) - 1));
            const std::uint32_t keep = 0u - hit;
            out[d - 2] = (at & keep) | (zero_point & ~keep);
            number += hit;
        }
        found[j - first] = static_cast<std::uint8_t>(number << 2 | after << 1 | before);
        out += AXIS_SLOTS;
    }
}

#if TARNA_WIDE_REGISTERS
// With the popcnt instruction, which plain x86-64 code may not assume (there a count is a call).
[[gnu::target("popcnt")]] void find_occupied_links_popcnt(const std::vector<std::uint64_t>& ids,
                                                          const OccupiedCells& occupied,
                                                          const std::array<std::int64_t, 6>& offsets, std::size_t first,
                                                          std::size_t last, std::uint8_t* found, std::uint32_t* out) {
    find_occupied_links(ids, occupied, offsets, first, last, found, out,
                        [](std::uint64_t x) { return std::uint32_t(__builtin_popcountll(x)); });
}

#define TARNA_WIDE_COUNTS __attribute__((target("avx512f,avx512dq,avx512vpopcntdq")))

// Both tables in one word per edge mask, for one gather: SURFACE_FACES in bits 0 to 7,
// JUNCTION_FACES in bits 8 to 15.
alignas(64) inline constexpr auto FACES_CROSSED = [] {
    std::array<std::uint32_t, SURFACE_FACES.size()> table{};
    for (std::size_t mask = 0; mask < table.size(); ++mask)
        table[mask] = std::uint32_t(SURFACE_FACES[mask]) | std::uint32_t(JUNCTION_FACES[mask]) << 8;
    return table;
}();
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // as for sort_raw_lists
#endif

// find_occupied_links for vertices [first, last), eight at a time, one per 64-bit lane, with the
// same lookups; reads the ids on either side of the eight, so it needs first > 0 and stops a vertex
// before the end. Returns the first vertex left for the plain loop.
TARNA_WIDE_COUNTS std::size_t find_occupied_links_wide(const std::vector<std::uint64_t>& ids,
                                                       const OccupiedCells& occupied,
                                                       const std::array<std::int64_t, 6>& offsets, std::size_t first,
                                                       std::size_t last, std::uint8_t* found, std::uint32_t* out) {
    const std::size_t count = ids.size();
    const std::uint64_t* const id_of = ids.data();
    const auto* const bits_of = reinterpret_cast<const long long*>(occupied.bits);
    const auto* const first_of = reinterpret_cast<const int*>(occupied.first);
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i zero_point = _mm512_set1_epi64(std::int64_t(count));
    // The four slots of eight vertices, from two registers holding directions (2, 3) and (4, 5):
    // output lane k takes vertex v = k / 4 (plus four for the second half), direction k % 4.
    const __m512i low_half = _mm512_set_epi32(31, 23, 15, 7, 30, 22, 14, 6, 29, 21, 13, 5, 28, 20, 12, 4);
    const __m512i first_half = _mm512_set_epi32(27, 19, 11, 3, 26, 18, 10, 2, 25, 17, 9, 1, 24, 16, 8, 0);
    std::size_t j = first;
    for (; j + 8 <= last && j + 9 <= count; j += 8) {
        const __m512i id = _mm512_loadu_si512(id_of + j);
        const __m512i linked =
            _mm512_cvtepu8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(found + (j - first))));
        const __mmask8 before = _mm512_test_epi64_mask(linked, one) &
                                _mm512_cmpeq_epi64_mask(_mm512_loadu_si512(id_of + j - 1), _mm512_sub_epi64(id, one));
        const __mmask8 after = _mm512_test_epi64_mask(linked, _mm512_set1_epi64(2)) &
                               _mm512_cmpeq_epi64_mask(_mm512_loadu_si512(id_of + j + 1), _mm512_add_epi64(id, one));
        __m512i number = _mm512_add_epi64(_mm512_maskz_mov_epi64(before, one), _mm512_maskz_mov_epi64(after, one));
        __m256i slots[4];
#pragma GCC unroll 4
        for (int d = 2; d < 6; ++d) {
            const __mmask8 wanted = _mm512_test_epi64_mask(linked, _mm512_set1_epi64(1 << d));
            const __m512i target = _mm512_mask_add_epi64(id, wanted, id, _mm512_set1_epi64(offsets[d]));
            const __m512i word = _mm512_srli_epi64(target, 6);
            const __m512i below = _mm512_and_si512(target, _mm512_set1_epi64(63));
            const __m512i bits = _mm512_i64gather_epi64(word, bits_of, 8);
            const __m256i firsts = _mm512_i64gather_epi32(word, first_of, 4);
            const __mmask8 hit = wanted & _mm512_test_epi64_mask(_mm512_srlv_epi64(bits, below), one);
            const __m512i rank =
                _mm512_popcnt_epi64(_mm512_and_si512(bits, _mm512_sub_epi64(_mm512_sllv_epi64(one, below), one)));
            const __m512i at = _mm512_add_epi64(_mm512_cvtepu32_epi64(firsts), rank);
            slots[d - 2] = _mm512_cvtepi64_epi32(_mm512_mask_mov_epi64(zero_point, hit, at));
            number = _mm512_mask_add_epi64(number, hit, number, one);
        }
        const __m512i near = _mm512_inserti64x4(_mm512_castsi256_si512(slots[0]), slots[1], 1);
        const __m512i far = _mm512_inserti64x4(_mm512_castsi256_si512(slots[2]), slots[3], 1);
        std::uint32_t* const list = out + AXIS_SLOTS * (j - first);
        _mm512_storeu_si512(list, _mm512_permutex2var_epi32(near, first_half, far));
        _mm512_storeu_si512(list + 16, _mm512_permutex2var_epi32(near, low_half, far));
        const __m512i flags = _mm512_or_si512(
            _mm512_slli_epi64(number, 2),
            _mm512_or_si512(_mm512_maskz_mov_epi64(after, _mm512_set1_epi64(2)), _mm512_maskz_mov_epi64(before, one)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(found + (j - first)), _mm512_cvtepi64_epi8(flags));
    }
    return j;
}

// Whether the CPU has what the functions above need.
bool counts_in_lanes() {
    static const bool supported = __builtin_cpu_supports("avx512vpopcntdq") && __builtin_cpu_supports("avx512dq");
    return supported && wide_registers();
}

// The quotient and remainder of ids below 2^52 by d: as doubles the ids are exact and the
// quotient is off by at most one, which the remainder's sign and size correct.
TARNA_WIDE_COUNTS inline __m512i divide(__m512i x, std::uint64_t d, __m512i& remainder) {
    const __m512i divisor = _mm512_set1_epi64(std::int64_t(d));
    const __m512d estimate = _mm512_mul_pd(_mm512_cvtepu64_pd(x), _mm512_set1_pd(1.0 / double(d)));
    __m512i quotient = _mm512_cvttpd_epu64(estimate);
    __m512i rest = _mm512_sub_epi64(x, _mm512_mullo_epi64(quotient, divisor));
    const __mmask8 over = _mm512_cmplt_epi64_mask(rest, _mm512_setzero_si512());
    quotient = _mm512_mask_sub_epi64(quotient, over, quotient, _mm512_set1_epi64(1));
    rest = _mm512_mask_add_epi64(rest, over, rest, divisor);
    const __mmask8 under = _mm512_cmpge_epi64_mask(rest, divisor);
    quotient = _mm512_mask_add_epi64(quotient, under, quotient, _mm512_set1_epi64(1));
    remainder = _mm512_mask_sub_epi64(rest, under, rest, divisor);
    return quotient;
}

// Face bit `face` in the lanes of `set`.
TARNA_WIDE_COUNTS inline __m512i bit(__mmask8 set, int face) {
    return _mm512_maskz_mov_epi64(set, _mm512_set1_epi64(1 << face));
}

// link_faces for vertices [first, last), eight at a time, one per 64-bit lane; needs first > 0
// and ids below 2^52. Eight that break a check go to the plain loop, which reports it. Returns the
// first vertex left.
TARNA_WIDE_COUNTS std::size_t link_faces_wide(const CellField& cells, const std::array<std::uint64_t, 3>& cell_shape,
                                              bool junction_rule, std::size_t first, std::size_t last,
                                              std::uint8_t* faces) {
    const std::uint64_t n0 = cell_shape[0], n1 = cell_shape[1], n2 = cell_shape[2];
    const std::uint64_t* const id_of = cells.cell_ids.data();
    const __m512i one = _mm512_set1_epi64(1), zero = _mm512_setzero_si512();
    const __m512i last0 = _mm512_set1_epi64(std::int64_t(n0 - 1)), last1 = _mm512_set1_epi64(std::int64_t(n1 - 1)),
                  last2 = _mm512_set1_epi64(std::int64_t(n2 - 1));
    const auto* const crossed = reinterpret_cast<const int*>(FACES_CROSSED.data());
    std::size_t j = first;
    for (; j + 8 <= last; j += 8) {
        const __m512i id = _mm512_loadu_si512(id_of + j);
        const __m512i edges =
            _mm512_cvtepu16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&cells.edge_masks[j])));
        __m512i i0, i1;
        const __m512i i2 = divide(divide(id, n0, i0), n1, i1);
        const bool fine = _mm512_test_epi64_mask(edges, _mm512_set1_epi64(~std::int64_t{0xFFF})) == 0 &&
                          _mm512_cmpgt_epu64_mask(id, _mm512_loadu_si512(id_of + j - 1)) == 0xFF &&
                          _mm512_cmpgt_epu64_mask(i2, last2) == 0;
        if (!fine) {
            link_faces(cells, cell_shape, junction_rule, j, j + 8, faces + (j - first));
            continue;
        }
        const __m512i in_grid = _mm512_or_si512(
            _mm512_or_si512(
                _mm512_or_si512(bit(_mm512_cmpgt_epu64_mask(i0, zero), 0), bit(_mm512_cmplt_epu64_mask(i0, last0), 1)),
                _mm512_or_si512(bit(_mm512_cmpgt_epu64_mask(i1, zero), 2), bit(_mm512_cmplt_epu64_mask(i1, last1), 3))),
            _mm512_or_si512(bit(_mm512_cmpgt_epu64_mask(i2, zero), 4), bit(_mm512_cmplt_epu64_mask(i2, last2), 5)));
        const __m512i tables = _mm512_cvtepu32_epi64(_mm512_i64gather_epi32(edges, crossed, 4));
        const __m512i junctions = _mm512_and_si512(in_grid, _mm512_srli_epi64(tables, 8));
        const __m512i surface = _mm512_and_si512(in_grid, _mm512_and_si512(tables, _mm512_set1_epi64(0xFF)));
        const __mmask8 two_or_more =
            junction_rule ? _mm512_cmpgt_epu64_mask(_mm512_popcnt_epi64(junctions), one) : __mmask8{0};
        const __m512i boundary =
            _mm512_cvtepu8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&cells.boundary[j])));
        const __m512i linked = _mm512_maskz_mov_epi64(_mm512_testn_epi64_mask(boundary, boundary),
                                                      _mm512_mask_mov_epi64(surface, two_or_more, junctions));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(faces + (j - first)), _mm512_cvtepi64_epi8(linked));
    }
    return j;
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// link_faces, eight vertices at a time where the CPU allows.
void link_faces_of(const CellField& cells, const std::array<std::uint64_t, 3>& cell_shape, bool junction_rule,
                   std::size_t first, std::size_t last, std::uint8_t* faces) {
#if TARNA_WIDE_REGISTERS
    if (counts_in_lanes() && first < last && cells.cell_ids[last - 1] < (std::uint64_t{1} << 52)) {
        const std::size_t start = std::max<std::size_t>(first, 1);
        link_faces(cells, cell_shape, junction_rule, first, start, faces);
        const std::size_t left =
            link_faces_wide(cells, cell_shape, junction_rule, start, last, faces + (start - first));
        faces += left - first;
        first = left;
    }
#endif
    link_faces(cells, cell_shape, junction_rule, first, last, faces);
}

void find_links(const std::vector<std::uint64_t>& ids, const OccupiedCells& occupied,
                const std::array<std::int64_t, 6>& offsets, std::size_t first, std::size_t last, std::uint8_t* found,
                std::uint32_t* out) {
#if TARNA_WIDE_REGISTERS
    if (counts_in_lanes()) {
        // Vertex 0 and whatever the eights leave go one at a time; each range's slots start at its
        // first vertex.
        const std::size_t start = std::min(last, std::max<std::size_t>(first, 1));
        find_occupied_links_popcnt(ids, occupied, offsets, first, start, found, out);
        const std::size_t left = find_occupied_links_wide(ids, occupied, offsets, start, last, found + (start - first),
                                                          out + AXIS_SLOTS * (start - first));
        find_occupied_links_popcnt(ids, occupied, offsets, left, last, found + (left - first),
                                   out + AXIS_SLOTS * (left - first));
        return;
    }
    static const bool counts_bits = __builtin_cpu_supports("popcnt");
    if (counts_bits) return find_occupied_links_popcnt(ids, occupied, offsets, first, last, found, out);
#endif
    find_occupied_links(ids, occupied, offsets, first, last, found, out,
                        [](std::uint64_t x) { return std::uint32_t(std::popcount(x)); });
}

// A bound on how far, in vertex order, a neighbour of a vertex in [first, last) lies from it
// (at least 1, the reach along axis 0). Linked ids differ by at most a slab, so no more entries
// lie between two linked vertices than there are ids in (id, id + slab] after the lower one. The
// count is taken once per group of vertices, from the group's first vertex to its last one's
// id + slab, which bounds it for every vertex of the group and costs one cursor walk in all.
std::size_t link_reach(const std::vector<std::uint64_t>& ids, std::uint64_t slab, std::size_t first, std::size_t last) {
    constexpr std::size_t GROUP = 16;
    std::size_t reach = 1, ahead = first;  // ahead: the first entry past the group's last id + slab
    for (std::size_t j = first; j < last; j += GROUP) {
        const std::uint64_t end = ids[std::min(last, j + GROUP) - 1] + slab;
        while (ahead < ids.size() && ids[ahead] <= end) ++ahead;
        reach = std::max(reach, ahead - 1 - j);
    }
    return reach;
}

// One pass's step for cell vertex j, whose position sits in slot k of `current` and goes to slot
// k of `next`, and whose links are entry l of `links`: it moves towards its neighbours' mean,
// clamped to its box. The box is its cell intersected with the max_deviation box around its
// extracted position o, or [o, o] for a vertex that must stay (a boundary one, or one without
// neighbours), which clamps every pass back to exactly o. Boxes are worked out afresh in every
// pass: that costs less than reading them from memory.
inline void fair_vertex(const CellField& cells, const CellLinks& links, float bound, const Point4f* current,
                        Point4f* next, std::size_t j, std::size_t k, std::size_t l, float weight) {
    const unsigned found = links.found[l];
    const Point4f* const here = current + k;
    const Point4f& before = found & 1u ? here[-1] : current[links.zero_slot];
    const Point4f& after = found & 2u ? here[1] : current[links.zero_slot];
    const std::uint32_t* n = links.list + AXIS_SLOTS * l;
    const Point4f zero = {0.0f, 0.0f, 0.0f, 0.0f};
    const Point4f sum =  // direction order
        (((((zero + before) + after) + current[n[0]]) + current[n[1]]) + current[n[2]]) + current[n[3]];
    const unsigned number = found >> 2;
    const Point4f p = *here;
    const Point4f t = (sum * reciprocal(number) - p) * weight + p;

    const Position& extracted = cells.positions[j];
    const std::array<std::int32_t, 3>& centroid = CENTROID[cells.edge_masks[j]];
    const Point4f o = widen(extracted);
    // The cell spans 256 units from its corner 0 on every axis.
    const Point4f lowest = widen({extracted[0] - centroid[0], extracted[1] - centroid[1], extracted[2] - centroid[2]});
    const Point4f below = o - bound, top = lowest + 256.0f, above = o + bound;
    const Point4f lo = number == 0 ? o : below < lowest ? lowest : below;  // std::max(o - D, lowest)
    const Point4f hi = number == 0 ? o : above < top ? above : top;        // std::min(lowest + 256, o + D)
    next[k] = clamp_to_box(t, lo, hi);
}

#if TARNA_WIDE_REGISTERS
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // as for sort_raw_lists
#endif

// Four positions' twelve packed coordinates, exactly their 48 bytes, as four lanes of four with the
// fourth zeroed.
TARNA_WIDE inline __m512i load_four_positions(const std::int32_t* packed) {
    const __m512i unpack = _mm512_set_epi32(0, 11, 10, 9, 0, 8, 7, 6, 0, 5, 4, 3, 0, 2, 1, 0);
    const __m512i both =
        _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(packed))),
                           _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(packed + 8))), 1);
    return _mm512_maskz_permutexvar_epi32(0x7777, unpack, both);
}

// fair_vertex for vertices [first, last), vertex j in slot j - base and at entry j - link_base of
// `links`, four at a time, one per 128-bit lane, with the same operations in the same order;
// returns the first vertex left for the one-at-a-time loop.
TARNA_WIDE std::size_t fair_wide(const CellField& cells, const CellLinks& links, float bound, const Point4f* current,
                                 Point4f* next, std::size_t base, std::size_t link_base, std::size_t first,
                                 std::size_t last, float weight) {
    const float* positions = reinterpret_cast<const float*>(current);
    const std::int32_t* extracted_at = cells.positions.data()->data();
    // Lane k of a register reads the packed word of vertex k / 4, lane 4v + a the offset on axis a
    // (a shift of 32 leaves the fourth lane 0).
    const __m512i spread = _mm512_set_epi32(3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0);
    const __m512i axis_shift = _mm512_set_epi32(32, 18, 9, 0, 32, 18, 9, 0, 32, 18, 9, 0, 32, 18, 9, 0);
    static_assert(AXIS_SLOTS == 4 && sizeof(Position) == 12);
    alignas(64) std::array<float, 16> shares{};
    for (std::uint32_t k = 0; k < shares.size(); ++k) shares[k] = reciprocal(k);  // counts never exceed 6
    const __m512 share_of = _mm512_load_ps(shares.data());
    const __m512 step = _mm512_set1_ps(weight), deviation = _mm512_set1_ps(bound), side = _mm512_set1_ps(256.0f);
    std::size_t j = first;
    for (; j + 4 <= last; j += 4) {
        const __m512i words = _mm512_permutexvar_epi32(
            spread,
            _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(links.packed + (j - link_base)))));
        // Entries j - 1 to j + 2 are the four vertices' previous ones, j + 1 to j + 4 their next
        // ones; a missing neighbour reads zero, like the zero point.
        const __mmask16 has_before = _mm512_test_epi32_mask(words, _mm512_set1_epi32(1 << 27));
        const __mmask16 has_after = _mm512_test_epi32_mask(words, _mm512_set1_epi32(1 << 28));
        const float* const here = positions + 4 * (j - base);
        __m512 sum = _mm512_add_ps(_mm512_setzero_ps(), _mm512_maskz_loadu_ps(has_before, here - 4));
        sum = _mm512_add_ps(sum, _mm512_maskz_loadu_ps(has_after, here + 4));
        const std::uint32_t* n = links.list + AXIS_SLOTS * (j - link_base);
#pragma GCC unroll 4
        for (std::size_t d = 0; d < AXIS_SLOTS; ++d) {
            auto term = [&](std::size_t vertex) {
                return _mm_load_ps(positions + 4 * std::size_t{n[AXIS_SLOTS * vertex + d]});
            };
            __m512 terms = _mm512_castps128_ps512(term(0));
            terms = _mm512_insertf32x4(terms, term(1), 1);
            terms = _mm512_insertf32x4(terms, term(2), 2);
            terms = _mm512_insertf32x4(terms, term(3), 3);
            sum = _mm512_add_ps(sum, terms);
        }
        const __m512i number = _mm512_srli_epi32(words, 29);
        const __m512 p = _mm512_loadu_ps(here);
        const __m512 share = _mm512_permutexvar_ps(number, share_of);
        const __m512 t = _mm512_add_ps(_mm512_mul_ps(_mm512_sub_ps(_mm512_mul_ps(sum, share), p), step), p);

        const __m512i extracted = load_four_positions(extracted_at + 3 * j);
        const __m512 o = _mm512_cvtepi32_ps(extracted);
        const __m512 lowest = _mm512_cvtepi32_ps(_mm512_sub_epi32(
            extracted, _mm512_and_si512(_mm512_srlv_epi32(words, axis_shift), _mm512_set1_epi32(0x1FF))));
        const __m512 below = _mm512_sub_ps(o, deviation), top = _mm512_add_ps(lowest, side);
        const __m512 above = _mm512_add_ps(o, deviation);
        const __mmask16 stays = _mm512_cmpeq_epi32_mask(number, _mm512_setzero_si512());
        const __m512 lo = _mm512_mask_blend_ps(
            stays, _mm512_mask_blend_ps(_mm512_cmp_ps_mask(below, lowest, _CMP_LT_OQ), below, lowest), o);
        const __m512 hi = _mm512_mask_blend_ps(
            stays, _mm512_mask_blend_ps(_mm512_cmp_ps_mask(above, top, _CMP_LT_OQ), top, above), o);
        const __m512 inside = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(lo, t, _CMP_LT_OQ), lo, t);
        const __m512 clamped = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(inside, hi, _CMP_LT_OQ), hi, inside);
        _mm512_storeu_ps(reinterpret_cast<float*>(next + (j - base)), clamped);
    }
    return j;
}

// store_fixed() of four points at once, lane by lane the same operations, into out[0, 4).
TARNA_WIDE inline void store_fixed_four(__m512 point, Position* out) {
    const __m512 low = _mm512_set1_ps(-2147483648.0f), high = _mm512_set1_ps(2147483520.0f);
    const __m512 half = _mm512_set1_ps(0.5f), minus_half = _mm512_set1_ps(-0.5f);
    const __m512i one = _mm512_set1_epi32(1), largest = _mm512_set1_epi32(std::numeric_limits<std::int32_t>::max());
    const __m512 number = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(point, point, _CMP_ORD_Q), point);
    const __m512 inside =
        _mm512_mask_blend_ps(_mm512_cmp_ps_mask(number, low, _CMP_LT_OQ),
                             _mm512_mask_blend_ps(_mm512_cmp_ps_mask(number, high, _CMP_GT_OQ), number, high), low);
    const __m512i truncated = _mm512_cvttps_epi32(inside);
    const __m512 remainder = _mm512_sub_ps(inside, _mm512_cvtepi32_ps(truncated));
    __m512i rounded = _mm512_mask_add_epi32(truncated, _mm512_cmp_ps_mask(remainder, half, _CMP_GE_OQ), truncated, one);
    rounded = _mm512_mask_sub_epi32(rounded, _mm512_cmp_ps_mask(remainder, minus_half, _CMP_LE_OQ), rounded, one);
    const __m512i saturated =
        _mm512_mask_mov_epi32(rounded, _mm512_cmp_ps_mask(number, _mm512_set1_ps(2147483648.0f), _CMP_GE_OQ), largest);
    // The three coordinates of each lane, packed: exactly the four positions' 48 bytes.
    _mm512_mask_storeu_epi32(out->data(), 0x0FFF, _mm512_maskz_compress_epi32(0x7777, saturated));
}

// store_fixed() of points[k] into out[k] for k below count, four at a time; returns the first k
// left for the plain loop.
TARNA_WIDE std::size_t store_fixed_wide(const Point4f* points, Position* out, std::size_t count) {
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4)
        store_fixed_four(_mm512_loadu_ps(reinterpret_cast<const float*>(points + j)), out + j);
    return j;
}

// The same for points[slot[k]], as an object's positions are written back from their slots.
TARNA_WIDE std::size_t store_fixed_wide(const Point4f* points, const std::uint32_t* slot, Position* out,
                                        std::size_t count) {
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4) {
        const auto quarter = [&](std::size_t k) TARNA_WIDE {
            return _mm_loadu_ps(reinterpret_cast<const float*>(points + slot[j + k]));
        };
        __m512 point = _mm512_castps128_ps512(quarter(0));
        point = _mm512_insertf32x4(point, quarter(1), 1);
        point = _mm512_insertf32x4(point, quarter(2), 2);
        point = _mm512_insertf32x4(point, quarter(3), 3);
        store_fixed_four(point, out + j);
    }
    return j;
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// One pass over cell vertices [first, last), vertex j in slot j - base of `current` and `next` and
// at entry j - link_base of `links`.
void fair_chunk(const CellField& cells, const CellLinks& links, float bound, const Point4f* current, Point4f* next,
                std::size_t base, std::size_t link_base, std::size_t first, std::size_t last, float weight) {
    std::size_t j = first;
#if TARNA_WIDE_REGISTERS
    if (wide_registers()) j = fair_wide(cells, links, bound, current, next, base, link_base, j, last, weight);
#endif
    for (; j < last; ++j) fair_vertex(cells, links, bound, current, next, j, j - base, j - link_base, weight);
}

// Cells per word of an OccupiedCells map of the grid.
std::uint64_t occupied_words(const std::array<std::uint64_t, 3>& cell_shape) {
    return (cell_shape[0] * cell_shape[1] * cell_shape[2] + 63) / 64;
}

// body(first, last) for every chunk of cell vertices.
template <class Body>
void for_each_fair_chunk(std::size_t count, const Parallel& parallel, const Body& body) {
    parallel.for_each((count + FAIR_CHUNK - 1) / FAIR_CHUNK, [&](std::size_t chunk) {
        const std::size_t first = chunk * FAIR_CHUNK;
        body(first, std::min(count, first + FAIR_CHUNK));
    });
}

// Fills `occupied` (when given) and returns how far from a cell vertex, in vertex order, its
// neighbours lie at most.
std::size_t cell_reach(const CellField& cells, const std::array<std::uint64_t, 3>& cell_shape,
                       const OccupiedCells* occupied, const Parallel& parallel) {
    const std::size_t count = cells.size();
    std::vector<std::size_t> chunk_reach((count + FAIR_CHUNK - 1) / FAIR_CHUNK, 1);
    for_each_fair_chunk(count, parallel, [&](std::size_t first, std::size_t last) {
        if (occupied != nullptr) mark_cells(cells.cell_ids, first, last, *occupied);
        chunk_reach[first / FAIR_CHUNK] = link_reach(cells.cell_ids, cell_shape[0] * cell_shape[1], first, last);
    });
    return chunk_reach.empty() ? 1 : *std::max_element(chunk_reach.begin(), chunk_reach.end());
}

// The slots of a ring over the vertices: vertex j in slot j & mask, of `size` slots. A ring with a
// slot for every vertex has the mask ~0 and never wraps.
struct Slots {
    std::size_t size;
    std::size_t mask;
};

// Finds the links of ranges of cell vertices, through `occupied` (null: with cursors, else
// cell_reach must have filled it). Without `slots` list entries are vertex indices and a missing
// neighbour is the vertex count; with them, slots of their rings and `zero_slot`.
struct Linker {
    const CellField& cells;
    const std::array<std::uint64_t, 3>& cell_shape;
    bool junction_rule;
    const OccupiedCells* occupied;
    const Slots* slots;
    std::size_t zero_slot;

    // Vertex j of [first, last) gets found[j - first], its four slots from list[AXIS_SLOTS * (j -
    // first)] on and its packed word packed[j - first].
    void link(std::size_t first, std::size_t last, std::uint8_t* found, std::uint32_t* list,
              std::uint32_t* packed) const {
        const std::int64_t n0 = std::int64_t(cell_shape[0]), slab = std::int64_t(cell_shape[0] * cell_shape[1]);
        const std::array<std::int64_t, 6> offsets = {-1, 1, -n0, n0, -slab, slab};
        link_faces_of(cells, cell_shape, junction_rule, first, last, found);
        if (occupied != nullptr) {
            find_links(cells.cell_ids, *occupied, offsets, first, last, found, list);
        } else {
            find_links(cells.cell_ids, offsets, first, last, found, list);
        }
        if (slots != nullptr) {
            const auto zero_point = static_cast<std::uint32_t>(cells.size()),
                       mask = static_cast<std::uint32_t>(slots->mask), zero = static_cast<std::uint32_t>(zero_slot);
            for (std::size_t k = 0; k < AXIS_SLOTS * (last - first); ++k)
                list[k] = list[k] == zero_point ? zero : list[k] & mask;
        }
        for (std::size_t j = first; j < last; ++j)
            packed[j - first] = CENTROID_BITS[cells.edge_masks[j]] | std::uint32_t(found[j - first]) << 27;
    }
};

// The links of every cell vertex, into `links`.
void link_cells(const Linker& linker, const CellLinks& links, const Parallel& parallel) {
    for_each_fair_chunk(linker.cells.size(), parallel, [&](std::size_t first, std::size_t last) {
        linker.link(first, last, links.found + first, links.list + AXIS_SLOTS * first, links.packed + first);
    });
}

// Several passes run at once, each following the one before it through the vertices while what
// they read is still in cache: a lone pass over the whole field streams it from memory, at about
// 6 ns a vertex on the dense benchmark volume against under 4 ns for data in cache. A vertex's
// neighbours lie at most `reach` entries away in vertex order, so pass s may take a vertex once
// pass s - 1 has passed `reach` beyond it. Every vertex reads exactly the values it would with the
// passes one after another, so the bits do not change.
inline constexpr std::size_t MAX_DEPTH = 10;
// Vertices a stage takes at a time.
inline constexpr std::size_t STAGE_BLOCK = 4096;
// How far the last stage may trail the first, in vertices: what the stages between them read
// (about 64 bytes a vertex, 16 MiB at most) must stay in cache. Each run reads the field from
// memory once, so ten iterations on the dense benchmark volume (reach 13,850) take one run of ten
// passes rather than one of nine and a lone tenth.
inline constexpr std::size_t MAX_TRAIL = std::size_t{1} << 18;

std::atomic<std::size_t> depth_limit{0};  // limit_fairing_depth

// Passes run at once when a vertex's neighbours lie up to `reach` away.
std::size_t pipeline_depth(std::size_t reach) {
    const std::size_t depth = std::clamp<std::size_t>(MAX_TRAIL / reach, 2, MAX_DEPTH);
    const std::size_t limit = depth_limit.load(std::memory_order_relaxed);
    return limit != 0 ? std::min(depth, limit) : depth;
}

// So the stages need the positions of a window of vertices only, not of the whole field: they
// keep them in two rings, vertex j in slot j % size, instead of two arrays over the whole field
// (100 MB on the dense benchmark volume, all of it fresh memory on a new Mesher). Stage s reads
// the ring stage s - 1 wrote and writes the other, over what stage s - 2 wrote there, which
// stage s - 1 has read by then: the stages read and write what was read or written a moment
// before, as they did in the whole arrays. A stage runs at most a block ahead of the next one's
// reach, so the oldest value still to be read lies about (depth + 1) reach behind the first
// stage, and the rings have (depth + 2) reach + 3 blocks of slots, rounded up to a power of two
// (or a slot for every vertex, when that is no more). Slot -1 repeats the last slot and the four
// after the last repeat the first four, so a vertex's previous and next entries are read, four
// vertices at a time, without wrapping; then comes the zero point that missing neighbours read.
inline constexpr std::size_t RING_EXTRA = 6;

Slots ring_slots(std::size_t count, std::size_t reach, std::size_t depth) {
    const std::size_t window = std::bit_ceil((depth + 2) * reach + 3 * STAGE_BLOCK);
    if (window >= count) return {count, ~std::size_t{0}};
    return {window, window - 1};
}

// Copies into a ring's extra slots what they repeat, after slots [first, last) were written.
void mirror(Point4f* ring, std::size_t size, std::size_t first, std::size_t last) {
    for (std::size_t k = first; k < std::min<std::size_t>(last, 4); ++k) ring[size + k] = ring[k];
    if (last == size) ring[-1] = ring[size - 1];
}

// body(first, last, slot) for the pieces of vertices [first, last) that do not wrap around a ring,
// `slot` being the first's.
template <class Body>
void by_slots(const Slots& slots, std::size_t first, std::size_t last, const Body& body) {
    while (first < last) {
        const std::size_t slot = first & slots.mask;
        const std::size_t end = std::min(last, first + (slots.size - slot));
        body(first, end, slot);
        first = end;
    }
}

// Where a region's results go: the vertices up to `zone` from an end another region borders are
// read by that region's first stages (their input and extracted positions), so theirs wait in
// `aside` until every region is done.
struct RegionEnds {
    std::size_t head_end;    // [start, head_end) waits
    std::size_t tail_start;  // [tail_start, end) waits
};

RegionEnds region_ends(std::size_t start, std::size_t end, std::size_t count, std::size_t zone) {
    const std::size_t head_end = start > 0 ? std::min(end, start + zone) : start;
    const std::size_t tail_start = end < count ? std::max(head_end, end > zone ? end - zone : 0) : end;
    return {head_end, tail_start};
}

struct Pipeline {
    const CellField& cells;
    // Every vertex's links, or with `linker` set, a ring of links per region that stage 0 fills.
    CellLinks links;
    const Linker* linker;
    float bound;
    std::size_t reach;
    std::size_t depth;                     // passes
    std::array<float, MAX_DEPTH> weights;  // per pass
    const Point4f* from;                   // the first pass's positions, or null: the cells' own
    Point4f* to;                           // where the last pass's go, or null: rounded into `rounded`
    Position* rounded;                     // the cells' positions
    Point4f* rings;                        // per region two rings of slots.size + RING_EXTRA slots
    Slots slots;
    Point4f* aside;  // per region room for 2 * depth * reach positions

    Point4f* ring(std::size_t region, std::size_t stage) const {
        return rings + (region * 2 + stage % 2) * (slots.size + RING_EXTRA) + 1;
    }

    CellLinks links_of(std::size_t region) const {
        if (linker == nullptr) return links;
        const std::size_t size = slots.size;
        return {links.found + region * size, links.list + region * AXIS_SLOTS * size, links.packed + region * size,
                links.zero_slot};
    }

    // Stage 0: the links (when made as the passes go) and the input of vertices [first, last).
    void load(std::size_t region, std::size_t first, std::size_t last) const {
        Point4f* const ring = this->ring(region, 0);
        const CellLinks made = links_of(region);
        by_slots(slots, first, last, [&](std::size_t a, std::size_t b, std::size_t slot) {
            if (linker != nullptr)
                linker->link(a, b, made.found + slot, made.list + AXIS_SLOTS * slot, made.packed + slot);
            Point4f* const out = ring + slot;
            if (from != nullptr) {
                std::copy(from + a, from + b, out);
            } else {
                for (std::size_t j = a; j < b; ++j) out[j - a] = widen(cells.positions[j]);
            }
            mirror(ring, slots.size, slot, slot + (b - a));
        });
    }

    // Stage s: pass s - 1 over vertices [first, last).
    void pass(std::size_t region, std::size_t s, std::size_t first, std::size_t last) const {
        const Point4f* const in = ring(region, s - 1);
        Point4f* const out = ring(region, s);
        const CellLinks linked = links_of(region);
        by_slots(slots, first, last, [&](std::size_t a, std::size_t b, std::size_t slot) {
            fair_chunk(cells, linked, bound, in, out, a - slot, linker != nullptr ? a - slot : 0, a, b, weights[s - 1]);
            mirror(out, slots.size, slot, slot + (b - a));
        });
    }

    // The results of `count` vertices from `first` on, points[k] the one of vertex first + k.
    void keep(const Point4f* points, std::size_t first, std::size_t count) const {
        if (to != nullptr) {
            std::copy(points, points + count, to + first);
            return;
        }
        std::size_t k = 0;
#if TARNA_WIDE_REGISTERS
        if (wide_registers()) k = store_fixed_wide(points, rounded + first, count);
#endif
        for (; k < count; ++k) store_fixed(points[k], rounded[first + k]);
    }
};

// Every stage over region [start, end) of the vertices, in the region's own rings. Stage s works
// on [start - (depth - s) reach, end + (depth - s) reach) within the field: the passes before the
// last also work that far into the neighbouring regions, which gives the last what it reads at the
// region's ends without waiting for them. Each stage advances at most a block at a time.
void run_region(const Pipeline& pipeline, std::size_t region, std::size_t start, std::size_t end, std::size_t count) {
    const std::size_t reach = pipeline.reach, depth = pipeline.depth;
    std::array<std::size_t, MAX_DEPTH + 1> front{}, stop{};
    for (std::size_t s = 0; s <= depth; ++s) {
        const std::size_t ghost = (depth - s) * reach;
        front[s] = start > ghost ? start - ghost : 0;
        stop[s] = std::min(count, end + ghost);
    }
    const RegionEnds ends = region_ends(start, end, count, depth * reach);
    // Only regions with a neighbour have room aside.
    Point4f* const head = pipeline.aside != nullptr ? pipeline.aside + region * 2 * depth * reach : nullptr;
    Point4f* const tail = head != nullptr ? head + depth * reach : nullptr;
    const Point4f* const last_ring = pipeline.ring(region, depth);
    std::size_t kept = start;
    while (kept < end) {
        for (std::size_t s = 0; s <= depth; ++s) {
            std::size_t limit = stop[s];
            if (s > 0 && front[s - 1] < stop[s - 1]) limit = front[s - 1] > reach ? front[s - 1] - reach : 0;
            limit = std::min({limit, stop[s], front[s] + STAGE_BLOCK});
            if (limit <= front[s]) continue;
            if (s == 0) {
                pipeline.load(region, front[0], limit);
            } else {
                pipeline.pass(region, s, front[s], limit);
            }
            front[s] = limit;
        }
        by_slots(pipeline.slots, kept, front[depth], [&](std::size_t a, std::size_t b, std::size_t slot) {
            const Point4f* const points = last_ring + slot;
            const std::size_t head_to = std::clamp(ends.head_end, a, b), tail_from = std::clamp(ends.tail_start, a, b);
            if (head_to > a) std::copy(points, points + (head_to - a), head + (a - start));
            if (tail_from > head_to) pipeline.keep(points + (head_to - a), head_to, tail_from - head_to);
            if (b > tail_from)
                std::copy(points + (tail_from - a), points + (b - a), tail + (tail_from - ends.tail_start));
        });
        kept = front[depth];
    }
    for (std::size_t s = 0; s <= depth; ++s)
        TARNA_ASSERT(front[s] == stop[s], "fairing: a stage stopped short of its region's end");
}

// Splits the vertices into regions, one per worker if they are wide enough, runs each region's
// stages, then puts the results kept aside into place.
void run_pipeline(const Pipeline& pipeline, std::size_t count, std::size_t regions, const Parallel& parallel) {
    std::vector<std::size_t> bounds(regions + 1);
    for (std::size_t r = 0; r <= regions; ++r) bounds[r] = count / regions * r + std::min(r, count % regions);
    parallel.for_each(regions, [&](std::size_t r) { run_region(pipeline, r, bounds[r], bounds[r + 1], count); });
    if (regions == 1) return;
    const std::size_t zone = pipeline.depth * pipeline.reach;
    parallel.for_each(regions, [&](std::size_t r) {
        const RegionEnds ends = region_ends(bounds[r], bounds[r + 1], count, zone);
        const Point4f* const head = pipeline.aside + r * 2 * zone;
        pipeline.keep(head, bounds[r], ends.head_end - bounds[r]);
        pipeline.keep(head + zone, ends.tail_start, bounds[r + 1] - ends.tail_start);
    });
}

// Regions for passes `depth` deep: each must be wider than what its ends add.
std::size_t region_count(std::size_t count, std::size_t reach, std::size_t depth, const Parallel& parallel) {
    return std::max<std::size_t>(1, std::min(parallel.workers(), count / (4 * depth * reach + STAGE_BLOCK)));
}

// The objects ordered by their first vertex's cell, roughly (a counting sort on that cell's share
// of the field): objects that meet share cells, and taken one after another they find many of the
// cells' positions still in the cache instead of each fetching them from memory. Every object is
// smoothed on its own, so the order changes nothing else.
std::vector<std::uint32_t> objects_by_first_cell(const Extraction& extraction) {
    TARNA_ASSERT(extraction.meshes.size() < NONE, "smoothing: too many objects for 32-bit indices");
    const auto objects = std::uint32_t(extraction.meshes.size());
    const std::uint64_t cells = std::max<std::uint64_t>(extraction.surface_cells.size(), 1);
    std::vector<std::uint32_t> bucket_of(objects), first(objects + 1, 0), order(objects);
    for (std::uint32_t i = 0; i < objects; ++i) {
        const std::vector<std::uint32_t>& vertex_cells = extraction.meshes[i].cells;
        const std::uint64_t cell = vertex_cells.empty() ? 0 : std::min<std::uint64_t>(vertex_cells[0], cells - 1);
        // cell < 2^32 and objects < 2^32: the product fits.
        bucket_of[i] = std::uint32_t(cell * objects / cells);
        ++first[bucket_of[i] + 1];
    }
    for (std::uint32_t b = 0; b < objects; ++b) first[b + 1] += first[b];
    for (std::uint32_t i = 0; i < objects; ++i) order[first[bucket_of[i]]++] = i;
    return order;
}

// After fairing every object takes its vertices back from the cells they lie in. Objects that
// share their cells' positions (all of them, straight after extraction) have nothing to copy.
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

// The fixed-point positions of vertices in order, read as a range from their slots' points, so a
// vector takes them in with one allocation and one write each.
struct RoundedPositions {
    using iterator_category = std::forward_iterator_tag;
    using value_type = Position;
    using difference_type = std::ptrdiff_t;
    using pointer = const Position*;
    using reference = Position;

    const Point4f* points = nullptr;
    const std::uint32_t* slot = nullptr;  // the next vertex's slot

    Position operator*() const {
        Position position;
        store_fixed(points[*slot], position);
        return position;
    }
    RoundedPositions& operator++() {
        ++slot;
        return *this;
    }
    RoundedPositions operator++(int) {
        RoundedPositions before = *this;
        ++slot;
        return before;
    }
    bool operator==(const RoundedPositions& other) const { return slot == other.slot; }
};

}  // namespace

void run(LabelMesh& mesh, const CellField& cells, std::uint32_t iterations, std::span<const double> weights,
         std::uint32_t passes, Scratch& scratch, double max_deviation) {
    if (iterations == 0 || quad_count(mesh) == 0) return;
    TARNA_ASSERT(passes >= 1 && passes <= weights.size(), "smoothing: fewer weights than passes");
    const std::size_t vertex_count = tarna::vertex_count(mesh);
    if (mesh.positions.empty() || mesh.boundary_in_cells) {
        for (const std::uint32_t cell : mesh.cells)
            TARNA_ASSERT(cell < cells.size(), "smoothing: vertex cell out of range");
    }
    TARNA_ASSERT(
        !mesh.boundary_in_cells || (mesh.cells.size() == vertex_count && cells.boundary.size() == cells.size()),
        "smoothing: boundary flags do not match the vertex count");
    // List places count two entries per quad corner and two per vertex (and the counted fill takes
    // as many again); slot lists hold twice a slot.
    TARNA_ASSERT(8 * std::uint64_t(quad_count(mesh)) + 2 * std::uint64_t(vertex_count) < NONE,
                 "smoothing: object too large for 32-bit indices");
    build_neighbours(mesh, scratch);
    arrange_by_count(vertex_count, scratch);

    // The box is centred on the extracted position o: lo = o - D, hi = D + o.
    const float bound = box_half_width(max_deviation);
    const bool pinning = mesh.boundary.size() == vertex_count || mesh.boundary_in_cells;
    scratch.current.resize(vertex_count);
    scratch.next.resize(vertex_count);  // every pass writes every entry before it is read
    scratch.start.resize(vertex_count);
    // Start positions shared with the cells, and the cells' flags, are fetched ahead
    // (CELL_FETCH_AHEAD).
    const bool shared = mesh.positions.empty();
    for (std::size_t j = 0; j < vertex_count; ++j) {
        if (j + CELL_FETCH_AHEAD < vertex_count) {
            if (shared) __builtin_prefetch(&cells.positions[mesh.cells[j + CELL_FETCH_AHEAD]]);
            if (mesh.boundary_in_cells) __builtin_prefetch(&cells.boundary[mesh.cells[j + CELL_FETCH_AHEAD]]);
        }
        const Point4f o = widen(vertex_position(mesh, cells, j));
        const bool fixed =
            scratch.neighbour_start[j] == scratch.neighbour_end[j] || (pinning && vertex_boundary(mesh, cells, j) != 0);
        const std::uint32_t slot = scratch.slot_of[j];
        Point4f start = o;
        start[3] = fixed ? 0.0f : bound;
        scratch.start[slot] = start;
    }

    // The first pass reads the start entries as its positions: their fourth lane only reaches the
    // fourth lane of its results, which nothing reads. Then two buffers take turns, no copying.
    const Point4f* read = scratch.start.data();
    Point4f* write = scratch.next.data();
    Point4f* spare = scratch.current.data();
    for (std::uint32_t iteration = 0; iteration < iterations; ++iteration) {
        for (std::uint32_t pass = 0; pass < passes; ++pass) {
            umbrella_pass(scratch, read, write, static_cast<float>(weights[pass]));
            read = write;
            std::swap(write, spare);
        }
    }
    // The object now has positions of its own. Four to a register, they go into room zeroed first
    // (an object's room stays in cache between the two writes); one at a time, they are made in
    // place, since resize() would first zero them.
    const std::uint32_t* slot_of = scratch.slot_of.data();
#if TARNA_WIDE_REGISTERS
    if (wide_registers()) {
        mesh.positions.resize(vertex_count);
        const std::size_t done = store_fixed_wide(read, slot_of, mesh.positions.data(), vertex_count);
        for (std::size_t j = done; j < vertex_count; ++j) store_fixed(read[slot_of[j]], mesh.positions[j]);
        return;
    }
#endif
    mesh.positions.assign(RoundedPositions{read, slot_of}, RoundedPositions{read, slot_of + vertex_count});
}

void fair(CellField& cells, const std::array<std::uint64_t, 3>& cell_shape, const Fairing& fairing,
          const Parallel& parallel, SmoothingMemory* memory) {
    const std::size_t count = cells.size();
    if (count == 0 || fairing.iterations == 0) return;
    TARNA_ASSERT(cells.cell_ids.size() == count && cells.edge_masks.size() == count && cells.boundary.size() == count,
                 "fairing: cell field arrays differ in length");
    TARNA_ASSERT(count < NONE, "fairing: too many cells for 32-bit indices");
    // Neighbour ids are formed in signed arithmetic, where a step below cell 0 stays negative.
    TARNA_ASSERT(cells.cell_ids.back() < (std::uint64_t(1) << 62), "fairing: cell ids beyond 2^62");

    // The pair is used unchecked: a mu that is infinite or NaN still lands inside the cell box.
    std::array<float, 2> weights = {static_cast<float>(fairing.step), 0.0f};
    std::size_t weight_count = 1;
    if (fairing.with_taubin) {
        weights = {static_cast<float>(fairing.lambda),
                   static_cast<float>(taubin_mu(fairing.pass_band, fairing.lambda))};
        weight_count = 2;
    }
    const float bound = box_half_width(fairing.max_deviation);

    // An array of an earlier call serves while it is large enough and not more than twice so; else
    // a fresh one replaces it (the old one goes first, so the two are never held at once), to be
    // mapped in below.
    SmoothingMemory own;
    SmoothingMemory& arrays = memory != nullptr ? *memory : own;
    std::vector<std::pair<void*, std::size_t>> fresh;
    const auto fit = [&]<class T>(LargeArray<T>& array, std::size_t& room, std::size_t needed) {
        if (room >= needed && room / 2 <= needed) return;
        array.reset();
        room = 0;
        if (needed == 0) return;
        array = make_large_array<T>(needed);
        room = needed;
        fresh.emplace_back(array.get(), needed * sizeof(T));
    };

    // Dense grids find their neighbours in a map of the cells that hold a vertex; for sparse ones
    // the map would be large, and cursors find them.
    const std::uint64_t words = occupied_words(cell_shape);
    const bool through_map = words <= count;
    // A sparse grid frees the map an earlier call left; a dense one keeps it while it fits.
    if (!through_map || arrays.occupied_room < words || arrays.occupied_room / 2 > words) {
        arrays.occupied_room = 0;
        arrays.occupied_bits.reset();
        arrays.occupied_first.reset();
    }
    if (through_map && arrays.occupied_room == 0) {
        arrays.occupied_bits = make_large_array<std::uint64_t>(words);
        arrays.occupied_first = make_large_array<std::uint32_t>(words);
        arrays.occupied_room = words;
    }
    const OccupiedCells occupied{arrays.occupied_bits.get(), arrays.occupied_first.get(), words};
    const std::size_t reach = cell_reach(cells, cell_shape, through_map ? &occupied : nullptr, parallel);

    // The passes in runs of at most pipeline_depth, as even as they come; between runs the
    // positions wait in `hold`. A single run makes the links as it goes, into rings of its own;
    // several find them once, for every vertex.
    const std::uint64_t passes = std::uint64_t(fairing.iterations) * weight_count;
    const std::size_t most = pipeline_depth(reach);
    const std::uint64_t runs = (passes + most - 1) / most;
    const auto depth_of = [&](std::uint64_t run) {
        return static_cast<std::size_t>(passes / runs + (run < passes % runs ? 1 : 0));
    };
    const std::size_t deepest = depth_of(0);  // the first runs take the passes left over
    const Slots slots = ring_slots(count, reach, deepest);
    const std::size_t size = slots.size;
    TARNA_ASSERT(size + RING_EXTRA < NONE, "fairing: too many cells for 32-bit indices");
    const std::size_t regions = region_count(count, reach, depth_of(runs - 1), parallel);
    const std::size_t linked = runs == 1 ? regions * size : count;
    fit(arrays.found, arrays.found_room, linked);
    fit(arrays.list, arrays.list_room, AXIS_SLOTS * linked);
    fit(arrays.packed, arrays.packed_room, linked);
    fit(arrays.rings, arrays.rings_room, regions * 2 * (size + RING_EXTRA));
    fit(arrays.aside, arrays.aside_room, regions > 1 ? regions * 2 * deepest * reach : 0);
    fit(arrays.hold, arrays.hold_room, runs > 1 ? count : 0);
    // Fresh arrays (on the dense benchmark volume 14 MB at one thread, 37 MB at two, 125 to 142 MB
    // with Taubin weights): mapped in a few pieces per worker, instead of page by page as the
    // links and the first passes write them. Small ones are not worth the calls.
    if (count >= FAIR_CHUNK) {
        const std::size_t pieces = 4 * parallel.workers();
        parallel.for_each(fresh.size() * pieces, [&](std::size_t task) {
            const auto [block, bytes] = fresh[task / pieces];
            const std::size_t piece = task % pieces;
            char* const base = static_cast<char*>(block);
            populate_pages(base + bytes * piece / pieces, base + bytes * (piece + 1) / pieces);
        });
    }

    // Links point into the position rings.
    const Linker linker{cells, cell_shape, fairing.junction_rule, through_map ? &occupied : nullptr, &slots, size + 4};
    const CellLinks links{arrays.found.get(), arrays.list.get(), arrays.packed.get(), size + 4};
    if (runs > 1) link_cells(linker, links, parallel);

    for (std::uint64_t run = 0, pass = 0; run < runs; ++run) {
        const std::size_t depth = depth_of(run);
        std::array<float, MAX_DEPTH> stage_weights{};
        for (std::size_t s = 0; s < depth; ++s) stage_weights[s] = weights[(pass + s) % weight_count];
        const Pipeline pipeline{cells,
                                links,
                                runs == 1 ? &linker : nullptr,
                                bound,
                                reach,
                                depth,
                                stage_weights,
                                run == 0 ? nullptr : arrays.hold.get(),
                                run + 1 == runs ? nullptr : arrays.hold.get(),
                                cells.positions.data(),
                                arrays.rings.get(),
                                slots,
                                arrays.aside.get()};
        const std::size_t run_regions = region_count(count, reach, depth, parallel);
        TARNA_ASSERT(run_regions <= regions, "fairing: more regions than rings");
        for (std::size_t r = 0; r < run_regions; ++r) {
            for (std::size_t s = 0; s < 2; ++s) pipeline.ring(r, s)[size + 4] = Point4f{0.0f, 0.0f, 0.0f, 0.0f};
        }
        run_pipeline(pipeline, count, run_regions, parallel);
        pass += depth;
    }
}

std::size_t limit_fairing_depth(std::size_t depth) { return depth_limit.exchange(depth); }

std::vector<std::uint32_t> fairing_links_of(const CellField& cells, const std::array<std::uint64_t, 3>& cell_shape,
                                            bool junction_rule, bool through_map, const Parallel& parallel) {
    const std::size_t count = cells.size();
    std::vector<std::uint8_t> found(count);
    std::vector<std::uint32_t> list(AXIS_SLOTS * count);
    const std::uint64_t words = through_map ? occupied_words(cell_shape) : 0;
    // Set, so that a word the map fails to write shows.
    std::vector<std::uint64_t> bits(words, ~std::uint64_t{0});
    std::vector<std::uint32_t> first(words, NONE);
    const OccupiedCells occupied{bits.data(), first.data(), words};
    std::vector<std::uint32_t> result;
    if (count == 0) return result;
    std::vector<std::uint32_t> packed(count);
    cell_reach(cells, cell_shape, through_map ? &occupied : nullptr, parallel);
    link_cells({cells, cell_shape, junction_rule, through_map ? &occupied : nullptr, nullptr, 0},
               {found.data(), list.data(), packed.data()}, parallel);
    for (std::size_t j = 0; j < count; ++j) {
        result.push_back(found[j]);
        result.insert(result.end(), list.begin() + AXIS_SLOTS * j, list.begin() + AXIS_SLOTS * (j + 1));
    }
    return result;
}

void smooth(Extraction& extraction, const Smoothing& smoothing, const Parallel& parallel, SmoothingMemory* memory) {
    if (const Fairing* fairing = std::get_if<Fairing>(&smoothing)) {
        fair(extraction.surface_cells, extraction.cell_shape, *fairing, parallel, memory);
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
    std::vector<Scratch> own;
    std::vector<Scratch>& scratch = memory != nullptr ? memory->scratch : own;
    if (scratch.size() < parallel.slots()) scratch.resize(parallel.slots());
    const std::vector<std::uint32_t> order = objects_by_first_cell(extraction);
    parallel.for_each_slot(order.size(), [&](std::size_t i, std::size_t slot) {
        TARNA_ASSERT(slot < scratch.size(), "smoothing: worker slot out of range");
        run(extraction.meshes[order[i]], extraction.surface_cells, iterations,
            std::span<const double>(weights.data(), passes), passes, scratch[slot], max_deviation);
    });
}

}  // namespace tarna
