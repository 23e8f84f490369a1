// Extraction: worked examples with exact output, structural invariants on random volumes, and
// equivalences (band and thread counts, memory layouts, label widths) that must hold bit for bit.
#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "check.hpp"
#include "extract.hpp"
#include "mesh.hpp"
#include "same_extraction.hpp"
#include "tables.hpp"

using namespace tarna;

namespace {

// A volume as logical values, index (i0, i1, i2) at i0 + S0 (i1 + S1 i2)... stored any way we
// like below; `at` is the only way tests read it.
struct Volume {
    std::array<std::uint64_t, 3> shape{};
    std::vector<std::uint64_t> values;  // i2 + S2 (i1 + S1 i0)
    Volume(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) : shape{s0, s1, s2}, values(s0 * s1 * s2, 0) {}
    std::uint64_t& at(std::uint64_t i0, std::uint64_t i1, std::uint64_t i2) {
        return values[i2 + shape[2] * (i1 + shape[1] * i0)];
    }
    std::uint64_t at(std::uint64_t i0, std::uint64_t i1, std::uint64_t i2) const {
        return values[i2 + shape[2] * (i1 + shape[1] * i0)];
    }
};

// How the volume sits in memory: axes from slowest to fastest, which axes run backwards, and the
// spacing of used elements (a step of 2 is a sliced view).
struct Layout {
    std::array<unsigned, 3> slow_to_fast{0, 1, 2};
    std::array<bool, 3> reversed{false, false, false};
    std::int64_t step = 1;
};

const Layout C_ORDER{};
const Layout F_ORDER{{2, 1, 0}, {false, false, false}, 1};
const Layout AXIS1_FAST{{2, 0, 1}, {false, false, false}, 1};
const Layout REVERSED{{0, 1, 2}, {true, true, true}, 1};
const Layout F_REVERSED_STEP{{2, 1, 0}, {true, false, true}, 2};
const Layout AXIS0_OUTER{{1, 0, 2}, {false, true, false}, 3};

template <class Label>
struct Stored {
    std::vector<Label> memory;
    VolumeView<Label> view;
};

template <class Label>
Stored<Label> store(const Volume& volume, const Layout& layout = C_ORDER) {
    Stored<Label> stored;
    const auto& shape = volume.shape;
    std::array<std::int64_t, 3> strides{};
    std::int64_t span = layout.step;
    for (int k = 2; k >= 0; --k) {
        const unsigned axis = layout.slow_to_fast[k];
        strides[axis] = span;
        span *= std::int64_t(std::max<std::uint64_t>(shape[axis], 1));
    }
    stored.memory.assign(std::size_t(span), Label(0xA5));  // gaps hold junk a sliced view must skip
    std::int64_t origin = 0;
    for (unsigned k = 0; k < 3; ++k) {
        if (layout.reversed[k]) {
            origin += std::int64_t(shape[k] == 0 ? 0 : shape[k] - 1) * strides[k];
            strides[k] = -strides[k];
        }
    }
    stored.view.data = stored.memory.data() + origin;
    stored.view.shape = shape;
    stored.view.strides = strides;
    for (std::uint64_t i0 = 0; i0 < shape[0]; ++i0)
        for (std::uint64_t i1 = 0; i1 < shape[1]; ++i1)
            for (std::uint64_t i2 = 0; i2 < shape[2]; ++i2)
                stored.memory[std::size_t(origin + std::int64_t(i0) * strides[0] + std::int64_t(i1) * strides[1] +
                                          std::int64_t(i2) * strides[2])] = Label(volume.at(i0, i1, i2));
    return stored;
}

struct Settings {
    bool close = false;
    std::size_t threads = 1;
    BandOptions options{};
};

template <class Label = std::uint32_t>
Extraction extract(const Volume& volume, const Settings& settings = {}, const Layout& layout = C_ORDER,
                   const Parallel& parallel = Parallel(nullptr), Extraction* recycled = nullptr) {
    const Stored<Label> stored = store<Label>(volume, layout);
    ExtractOptions options;
    options.bands = settings.options;
    options.close = settings.close;
    options.max_bands = settings.threads;
    return tarna::extract(stored.view, options, parallel, recycled);
}

Extraction extract_closed(const Volume& volume) { return extract(volume, Settings{true, 1, {}}); }

// Blocks of random labels (so there are uniform cells inside objects) with single-voxel noise.
Volume random_volume(std::uint64_t seed, std::uint64_t s0, std::uint64_t s1, std::uint64_t s2, unsigned labels = 5,
                     unsigned block = 3, double noise = 0.1) {
    std::mt19937_64 random(seed);
    Volume volume(s0, s1, s2);
    std::map<std::array<std::uint64_t, 3>, std::uint64_t> blocks;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::uint64_t i0 = 0; i0 < s0; ++i0)
        for (std::uint64_t i1 = 0; i1 < s1; ++i1)
            for (std::uint64_t i2 = 0; i2 < s2; ++i2) {
                const std::array<std::uint64_t, 3> key = {i0 / block, i1 / block, (i2 + i0) / block};
                auto found = blocks.find(key);
                if (found == blocks.end()) found = blocks.emplace(key, random() % labels).first;
                volume.at(i0, i1, i2) = unit(random) < noise ? random() % labels : found->second;
            }
    return volume;
}

// Background with a few boxes, so that most voxel columns hold one label over a whole band.
Volume sparse_volume(std::uint64_t seed, std::uint64_t s0, std::uint64_t s1, std::uint64_t s2) {
    std::mt19937_64 random(seed);
    Volume volume(s0, s1, s2);
    for (std::uint64_t label = 1; label <= 4; ++label) {
        const std::uint64_t c0 = random() % s0, c1 = random() % s1, c2 = random() % s2;
        for (std::uint64_t i0 = c0; i0 < std::min(s0, c0 + 3); ++i0)
            for (std::uint64_t i1 = c1; i1 < std::min(s1, c1 + 2); ++i1)
                for (std::uint64_t i2 = c2; i2 < std::min(s2, c2 + 9); ++i2) volume.at(i0, i1, i2) = label;
    }
    return volume;
}

std::array<std::uint64_t, 3> cell_coordinates(const Extraction& extraction, std::uint32_t cell) {
    const std::uint64_t id = extraction.surface_cells.cell_ids[cell];
    const auto& n = extraction.cell_shape;
    return {id % n[0], id / n[0] % n[1], id / (n[0] * n[1])};
}

// Closed and consistently wound: every directed edge of the label's quads is matched by as many
// reverse uses. A vertex pair used more than once each way only occurs at diagonal faces, whose
// vertices the label lists as ambiguous.
void check_closed(const LabelMesh& mesh) {
    std::map<std::pair<std::uint32_t, std::uint32_t>, int> uses;
    for (const Quad& quad : quads_of(mesh)) {
        for (unsigned k = 0; k < 4; ++k) {
            CHECK(quad[k] < vertex_count(mesh));
            ++uses[{quad[k], quad[(k + 1) % 4]}];
        }
    }
    const std::set<std::uint32_t> ambiguous(mesh.ambiguous.begin(), mesh.ambiguous.end());
    for (const auto& [edge, count] : uses) {
        const auto reverse = uses.find({edge.second, edge.first});
        CHECK(reverse != uses.end() && reverse->second == count);
        if (count > 1) CHECK(ambiguous.count(edge.first) == 1 && ambiguous.count(edge.second) == 1);
    }
}

// Every face of one label between two cells sets is met, in the other label's mesh, only with the
// opposite winding; faces are named by the surface cells of their four vertices.
void check_shared_faces(const Extraction& extraction) {
    std::map<std::array<std::uint32_t, 4>, std::vector<std::uint64_t>> faces;  // directed cell cycle -> labels
    auto canonical = [](std::array<std::uint32_t, 4> cycle) {
        std::rotate(cycle.begin(), std::min_element(cycle.begin(), cycle.end()), cycle.end());
        return cycle;
    };
    for (std::size_t j = 0; j < extraction.meshes.size(); ++j) {
        const LabelMesh& mesh = extraction.meshes[j];
        for (const Quad& quad : quads_of(mesh)) {
            std::array<std::uint32_t, 4> cells{};
            for (unsigned k = 0; k < 4; ++k) cells[k] = mesh.cells[quad[k]];
            faces[canonical(cells)].push_back(extraction.sorted_labels[j]);
        }
    }
    for (const auto& [cycle, labels] : faces) {
        CHECK_EQ(labels.size(), std::size_t(1));  // no two labels wound the same way
        const auto reverse = faces.find(canonical({cycle[3], cycle[2], cycle[1], cycle[0]}));
        if (reverse != faces.end()) CHECK(reverse->second != labels);
    }
}

// The surface cells straight from their definition, cell by cell, and the labels they hold.
std::pair<CellField, std::vector<std::uint64_t>> surface_cells_by_definition(const Volume& volume, bool close) {
    const Stored<std::uint32_t> stored = store<std::uint32_t>(volume);
    const CellGrid grid(volume.shape, close);
    CellField cells;
    std::vector<std::uint64_t> labels;
    for (std::uint64_t g = 0; g < grid.dims[2]; ++g)
        for (std::uint64_t m = 0; m < grid.dims[1]; ++m)
            for (std::uint64_t o = 0; o < grid.dims[0]; ++o) {
                const std::array<std::int64_t, 3> x = {std::int64_t(o) + grid.origin, std::int64_t(m) + grid.origin,
                                                       std::int64_t(g) + grid.origin};
                const auto corners = cell_corners(stored.view, x);
                if (corners_uniform(corners)) continue;
                unsigned mask = 0;
                for (unsigned e = 0; e < 12; ++e)
                    if (corners[EDGE_CORNERS[e][0]] != corners[EDGE_CORNERS[e][1]]) mask |= 1u << e;
                for (unsigned k = 0; k < 8; ++k)
                    if (corners[k] != 0) labels.push_back(corners[k]);
                cells.positions.push_back({std::int32_t(x[0] * 256 + CENTROID[mask][0]),
                                           std::int32_t(x[1] * 256 + CENTROID[mask][1]),
                                           std::int32_t(x[2] * 256 + CENTROID[mask][2])});
                cells.cell_ids.push_back(o + grid.dims[0] * (m + grid.dims[1] * g));
                cells.edge_masks.push_back(std::uint16_t(mask));
            }
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    return {cells, labels};
}

}  // namespace

TEST(split_range_cuts_consecutive_nonempty_ranges) {
    using Ranges = std::vector<std::array<std::uint64_t, 2>>;
    auto ranges = [](std::uint64_t total, std::uint64_t parts) {
        Ranges out;
        for (const auto& [begin, end] : split_range(total, parts)) out.push_back({begin, end});
        return out;
    };
    CHECK_EQ(ranges(19, 3), (Ranges{{0, 7}, {7, 13}, {13, 19}}));
    CHECK_EQ(ranges(10, 1), (Ranges{{0, 10}}));
    CHECK_EQ(ranges(2, 5), (Ranges{{0, 1}, {1, 2}}));
    CHECK_EQ(ranges(8, 4), (Ranges{{0, 2}, {2, 4}, {4, 6}, {6, 8}}));
    CHECK(ranges(0, 3).empty());
}

//  one voxel of label 5, closed: a cube of 8 vertices around it, one per cell of the 2x2x2 grid
TEST(single_voxel_closed_gives_the_exact_cube) {
    Volume volume(1, 1, 1);
    volume.at(0, 0, 0) = 5;
    const Extraction closed = extract_closed(volume);
    CHECK_EQ(closed.sorted_labels, std::vector<std::uint64_t>{5});
    CHECK_EQ(closed.cell_shape, (std::array<std::uint64_t, 3>{2, 2, 2}));
    const LabelMesh mesh = materialised(closed, 0);
    std::vector<Position> expected;
    for (int g = 0; g < 2; ++g)
        for (int m = 0; m < 2; ++m)
            for (int o = 0; o < 2; ++o) expected.push_back({(2 * o - 1) * 43, (2 * m - 1) * 43, (2 * g - 1) * 43});
    CHECK_EQ(mesh.positions, expected);
    CHECK_EQ(mesh.cells, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    CHECK_EQ(quads_of(mesh),
             (std::vector<Quad>{{1, 0, 2, 3}, {4, 0, 1, 5}, {2, 0, 4, 6}, {7, 5, 1, 3}, {7, 3, 2, 6}, {7, 6, 4, 5}}));
    CHECK(mesh.ambiguous.empty());
    CHECK(mesh.boundary.empty());
    CHECK_EQ(closed.surface_cells.cell_ids, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    CHECK_EQ(closed.surface_cells.boundary, std::vector<std::uint8_t>(8, 0));

    const Extraction open = extract(volume);
    CHECK(open.sorted_labels.empty() && open.meshes.empty() && open.surface_cells.size() == 0);
    CHECK_EQ(open.cell_shape, (std::array<std::uint64_t, 3>{0, 0, 0}));
}

//  [3][4] along axis 0, closed: each label a cube of 6 quads, the middle quad shared
TEST(touching_labels_share_one_face_wound_oppositely) {
    Volume volume(2, 1, 1);
    volume.at(0, 0, 0) = 3;
    volume.at(1, 0, 0) = 4;
    const Extraction extraction = extract_closed(volume);
    CHECK_EQ(extraction.sorted_labels, (std::vector<std::uint64_t>{3, 4}));
    const LabelMesh three = materialised(extraction, 0);
    const LabelMesh four = materialised(extraction, 1);
    CHECK_EQ(three.positions.size(), std::size_t(8));
    CHECK_EQ(four.positions.size(), std::size_t(8));
    CHECK_EQ(quads_of(three).size(), std::size_t(6));
    CHECK_EQ(quads_of(four).size(), std::size_t(6));
    auto corners_of = [](const LabelMesh& mesh, const Quad& quad) {
        return std::array<Position, 4>{mesh.positions[quad[0]], mesh.positions[quad[1]], mesh.positions[quad[2]],
                                       mesh.positions[quad[3]]};
    };
    int shared = 0;
    for (const Quad& a : quads_of(three)) {
        for (const Quad& b : quads_of(four)) {
            const auto pa = corners_of(three, a), pb = corners_of(four, b);
            for (unsigned r = 0; r < 4; ++r) {
                if (pa[0] == pb[r] && pa[1] == pb[(r + 3) % 4] && pa[2] == pb[(r + 2) % 4] && pa[3] == pb[(r + 1) % 4])
                    ++shared;
            }
        }
    }
    CHECK_EQ(shared, 1);
    check_closed(three);
    check_closed(four);
    check_shared_faces(extraction);
}

//  2x2x1, closed:   axis 1 ->
//     [1][0]        axis 0 down
//     [0][1]        the two voxels touch only along an edge
TEST(diagonal_voxels_get_separate_vertices_in_shared_cells) {
    Volume volume(2, 2, 1);
    volume.at(0, 0, 0) = 1;
    volume.at(1, 1, 0) = 1;
    const Extraction extraction = extract_closed(volume);
    CHECK_EQ(extraction.sorted_labels, std::vector<std::uint64_t>{1});
    const LabelMesh mesh = materialised(extraction, 0);
    CHECK_EQ(mesh.positions.size(), std::size_t(16));
    CHECK_EQ(quads_of(mesh).size(), std::size_t(12));
    CHECK_EQ(mesh.ambiguous.size(), std::size_t(4));
    // The ambiguous vertices are two pairs, each pair in one cell at one position.
    for (unsigned k = 0; k + 1 < mesh.ambiguous.size(); k += 2) {
        const std::uint32_t u = mesh.ambiguous[k], v = mesh.ambiguous[k + 1];
        CHECK_EQ(v, u + 1);
        CHECK_EQ(mesh.cells[u], mesh.cells[v]);
        CHECK(mesh.positions[u] == mesh.positions[v]);
        const auto cell = cell_coordinates(extraction, mesh.cells[u]);
        CHECK(cell[0] == 1 && cell[1] == 1);
    }
    check_closed(mesh);
    std::map<std::pair<std::uint32_t, std::uint32_t>, int> uses;
    for (const Quad& quad : quads_of(mesh))
        for (unsigned k = 0; k < 4; ++k) ++uses[{quad[k], quad[(k + 1) % 4]}];
    for (const auto& entry : uses) CHECK_EQ(entry.second, 1);
}

// Corners 0 and 3 (a face diagonal): two vertices; the other six corners: one vertex, and both
// sets are listed as ambiguous.
TEST(face_diagonal_corner_sets) {
    Volume volume(2, 2, 2);
    volume.at(0, 0, 0) = 7;
    volume.at(1, 1, 0) = 7;
    for (std::uint64_t i0 = 0; i0 < 2; ++i0)
        for (std::uint64_t i1 = 0; i1 < 2; ++i1)
            for (std::uint64_t i2 = 0; i2 < 2; ++i2)
                if (volume.at(i0, i1, i2) == 0) volume.at(i0, i1, i2) = 9;
    const Extraction extraction = extract(volume);  // one cell
    CHECK_EQ(extraction.surface_cells.size(), std::size_t(1));
    CHECK_EQ(extraction.sorted_labels, (std::vector<std::uint64_t>{7, 9}));
    CHECK_EQ(vertex_count(extraction.meshes[0]), std::size_t(2));
    CHECK_EQ(extraction.meshes[0].ambiguous, (std::vector<std::uint32_t>{0, 1}));
    CHECK_EQ(vertex_count(extraction.meshes[1]), std::size_t(1));
    CHECK_EQ(extraction.meshes[1].ambiguous, (std::vector<std::uint32_t>{0}));
    CHECK(quad_count(extraction.meshes[0]) == 0 && quad_count(extraction.meshes[1]) == 0);
}

// The surface cells are exactly the non-uniform cells, in scanning order, with the position and
// edge mask the definitions give, for every layout; on volumes long enough for several chunks of
// slabs, dense ones and sparse ones.
TEST(surface_cells_match_the_definition) {
    for (const bool close : {false, true}) {
        for (const bool sparse : {false, true}) {
            const Volume volume =
                sparse ? sparse_volume(5 + close, 12, 9, 150) : random_volume(11 + close, 5, 4, 150, 4, 6, 0.02);
            const auto [expected, labels] = surface_cells_by_definition(volume, close);
            for (const std::size_t threads : {std::size_t(1), std::size_t(3)}) {
                for (const Layout* layout : {&C_ORDER, &F_ORDER, &AXIS1_FAST, &REVERSED, &F_REVERSED_STEP}) {
                    const Extraction extraction = extract(volume, Settings{close, threads, {}}, *layout);
                    CHECK(extraction.surface_cells.positions == expected.positions);
                    CHECK(extraction.surface_cells.cell_ids == expected.cell_ids);
                    CHECK(extraction.surface_cells.edge_masks == expected.edge_masks);
                    CHECK_EQ(extraction.sorted_labels, labels);
                }
            }
        }
    }
}

TEST(random_closed_volumes_are_closed_and_consistently_wound) {
    for (std::uint64_t seed = 0; seed < 12; ++seed) {
        const Volume volume = random_volume(seed, 4 + seed % 3, 5, 6 + seed % 4, 3 + seed % 4, 1 + seed % 3, 0.15);
        const Extraction extraction = extract(volume, Settings{true, 2, {}});
        CHECK(!extraction.meshes.empty());
        for (const LabelMesh& mesh : extraction.meshes) {
            check_closed(mesh);
            // Every vertex shares its cell's position: the mesh keeps none of its own.
            CHECK(mesh.positions.empty());
            for (const std::uint32_t cell : mesh.cells) CHECK(cell < extraction.surface_cells.size());
            // A label's vertices in one cell are consecutive.
            for (std::size_t v = 1; v < mesh.cells.size(); ++v) CHECK(mesh.cells[v] >= mesh.cells[v - 1]);
        }
        check_shared_faces(extraction);
        CHECK(std::is_sorted(extraction.surface_cells.cell_ids.begin(), extraction.surface_cells.cell_ids.end()));
    }
}

// Bands of 8 or more slabs: threads 2, 3 and 5 cut 45 slabs into 2, 3 and 5 bands, with seams
// inside and between objects; the pool size never matters.
// Also whatever the limit on labels whose quads stay in 16 bits: low limits make labels grow out of
// them in the middle of a band, or only once the bands are merged.
TEST(band_and_thread_counts_give_identical_results) {
    ThreadPool pool(2);
    const Parallel pooled(&pool);
    std::size_t short_labels = 0, wide_labels = 0;
    for (std::uint64_t seed = 0; seed < 4; ++seed) {
        const Volume volume = random_volume(100 + seed, 6, 5, 45, 6, 2 + seed, seed == 3 ? 0.0 : 0.1);
        for (const bool close : {false, true}) {
            const Extraction one = extract(volume, Settings{close, 1, {}});
            for (const std::size_t threads : {std::size_t(2), std::size_t(3), std::size_t(5)}) {
                check_same(one, extract(volume, Settings{close, threads, {}}));
                check_same(one, extract(volume, Settings{close, threads, {}}, C_ORDER, pooled));
            }
            check_same(one, extract(volume, Settings{close, 0, {}}, C_ORDER, pooled));  // 2 pool workers
            for (const std::size_t limit : {std::size_t(0), std::size_t(9), std::size_t(60)}) {
                for (const std::size_t threads : {std::size_t(1), std::size_t(3)}) {
                    const Extraction limited = extract(volume, Settings{close, threads, {false, {}, false, limit}});
                    check_same(one, limited);
                    for (const LabelMesh& mesh : limited.meshes) {
                        short_labels += !mesh.short_quads.empty();
                        wide_labels += !mesh.quads.empty();
                    }
                }
            }
        }
    }
    CHECK(short_labels > 0 && wide_labels > short_labels / 4);
}

// A pass may grow its arrays into an earlier result's: a chain of volumes of other sizes and
// label counts, each extracted into the one before (with its own positions and flags, as after
// smoothing), gives what a fresh pass gives, whatever the band count.
TEST(earlier_results_arrays_change_nothing) {
    for (const std::size_t threads : {std::size_t(1), std::size_t(3)}) {
        Extraction previous;
        for (std::uint64_t seed = 0; seed < 6; ++seed) {
            const Volume volume = random_volume(300 + seed, 4 + 3 * (seed % 3), 9 - seed, 30 + 7 * seed,
                                                unsigned(3 + 40 * (seed % 2)), unsigned(1 + seed % 3), 0.1);
            const Settings settings{
                seed % 2 == 0, threads, {false, {}, seed >= 3, seed % 3 == 1 ? 20 : SHORT_QUAD_VERTICES}};
            for (LabelMesh& mesh : previous.meshes) mesh.positions.assign(mesh.cells.size(), Position{7, 7, 7});
            Extraction next = extract(volume, settings, C_ORDER, Parallel(nullptr), &previous);
            CHECK(previous.meshes.empty() && previous.surface_cells.size() == 0);
            check_same(extract(volume, settings), next);
            previous = std::move(next);
        }
    }
}

// The merge copies a band's cell arrays a megabyte at a time and gives back the pages behind
// each step: here the second band's positions take two steps.
TEST(bands_larger_than_a_copy_step_merge_like_one) {
    const Volume volume = random_volume(31, 64, 64, 64, 50, 1, 0.0);
    check_same(extract(volume, Settings{false, 1, {}}), extract(volume, Settings{false, 2, {}}));
}

TEST(memory_layouts_read_the_same_volume) {
    const Volume volume = random_volume(7, 9, 7, 70, 5, 3, 0.05);
    for (const bool close : {false, true}) {
        const Extraction reference = extract(volume, Settings{close, 1, {}});
        for (const Layout* layout : {&F_ORDER, &AXIS1_FAST, &REVERSED, &F_REVERSED_STEP, &AXIS0_OUTER})
            check_same(reference, extract(volume, Settings{close, 2, {}}, *layout));
    }
}

TEST(label_widths_give_identical_results) {
    const Volume volume = random_volume(8, 6, 7, 20, 200, 2, 0.1);
    const Settings closed{true, 2, {}};
    const Extraction reference = extract<std::uint8_t>(volume, closed);
    check_same(reference, extract<std::uint16_t>(volume, closed, F_ORDER));
    check_same(reference, extract<std::uint32_t>(volume, closed, REVERSED));
    check_same(reference, extract<std::uint64_t>(volume, closed, AXIS1_FAST));
    // Wide labels are keys, never truncated.
    Volume wide(2, 2, 2);
    wide.at(0, 0, 0) = 0xFFFFFFFFFFFFFFFFull;
    wide.at(1, 1, 1) = 0x100000001ull;
    CHECK_EQ(extract<std::uint64_t>(wide, closed).sorted_labels,
             (std::vector<std::uint64_t>{0x100000001ull, 0xFFFFFFFFFFFFFFFFull}));
}

// An owned region keeps exactly the faces whose lowest surrounding cell lies inside it, and
// changes nothing else.
TEST(owned_region_drops_faces_outside_it) {
    const Volume volume = random_volume(21, 6, 6, 30, 4, 2, 0.1);
    for (const std::array<std::uint64_t, 3> owned :
         {std::array<std::uint64_t, 3>{2, 2, 2}, std::array<std::uint64_t, 3>{7, 3, 20}}) {
        for (const std::size_t threads : {std::size_t(1), std::size_t(3)}) {
            const Extraction all = extract(volume, Settings{true, threads, {}});
            const Extraction kept = extract(volume, Settings{true, threads, {true, owned, false}});
            CHECK_EQ(all.sorted_labels, kept.sorted_labels);
            CHECK(all.surface_cells.positions == kept.surface_cells.positions);
            std::size_t dropped = 0;
            for (std::size_t j = 0; j < all.meshes.size(); ++j) {
                CHECK(materialised(all, j).positions == materialised(kept, j).positions);
                std::vector<Quad> expected;
                for (const Quad& quad : quads_of(all.meshes[j])) {
                    std::array<std::uint64_t, 3> lowest = {UINT64_MAX, UINT64_MAX, UINT64_MAX};
                    for (const std::uint32_t vertex : quad) {
                        const auto cell = cell_coordinates(all, all.meshes[j].cells[vertex]);
                        for (unsigned k = 0; k < 3; ++k) lowest[k] = std::min(lowest[k], cell[k]);
                    }
                    if (lowest[0] < owned[0] && lowest[1] < owned[1] && lowest[2] < owned[2]) {
                        expected.push_back(quad);
                    } else {
                        ++dropped;
                    }
                }
                CHECK(quads_of(kept.meshes[j]) == expected);
            }
            CHECK(dropped > 0);
        }
    }
}

TEST(boundary_flags_mark_the_outermost_cell_layer) {
    const Volume volume = random_volume(31, 5, 6, 20, 3, 2, 0.1);
    for (const std::size_t threads : {std::size_t(1), std::size_t(3)}) {
        const Extraction tracked = extract(volume, Settings{false, threads, {false, {}, true}});
        const auto& n = tracked.cell_shape;
        const CellField& cells = tracked.surface_cells;
        for (std::uint32_t k = 0; k < cells.size(); ++k) {
            const auto c = cell_coordinates(tracked, k);
            const bool outer =
                c[0] == 0 || c[0] + 1 == n[0] || c[1] == 0 || c[1] + 1 == n[1] || c[2] == 0 || c[2] + 1 == n[2];
            CHECK_EQ(cells.boundary[k], std::uint8_t(outer));
        }
        // Flags read through the cells reach a triangle mesh as flags copied into the object would.
        std::size_t flagged = 0;
        for (const LabelMesh& mesh : tracked.meshes) {
            CHECK(mesh.boundary_in_cells && mesh.boundary.empty());
            LabelMesh copied = mesh;
            copied.boundary_in_cells = false;
            for (const std::uint32_t cell : mesh.cells) copied.boundary.push_back(cells.boundary[cell]);
            const std::vector<std::uint8_t> flags = build_triangle_mesh(mesh, cells, OutputFrame{}).vertex_flags;
            CHECK(flags == build_triangle_mesh(copied, cells, OutputFrame{}).vertex_flags);
            flagged += std::size_t(std::count(flags.begin(), flags.end(), 1));
        }
        CHECK(flagged > 0);
        const Extraction untracked = extract(volume, Settings{false, threads, {}});
        CHECK_EQ(untracked.surface_cells.boundary, std::vector<std::uint8_t>(untracked.surface_cells.size(), 0));
        for (const LabelMesh& mesh : untracked.meshes) CHECK(!has_boundary(mesh));
    }
}

TEST(volumes_without_surfaces) {
    // All background, and one label everywhere without close: no labels, but the grid's shape.
    for (const std::uint64_t label : {0u, 6u}) {
        Volume volume(4, 70, 9);
        std::fill(volume.values.begin(), volume.values.end(), label);
        for (const Layout* layout : {&C_ORDER, &F_ORDER}) {
            const Extraction extraction = extract(volume, Settings{false, 2, {}}, *layout);
            CHECK(extraction.sorted_labels.empty() && extraction.surface_cells.size() == 0);
            CHECK_EQ(extraction.cell_shape, (std::array<std::uint64_t, 3>{3, 69, 8}));
        }
    }
    // An extent of 1 without close, or of 0 with it, leaves no cells at all.
    CHECK_EQ(extract(Volume(1, 5, 5)).cell_shape, (std::array<std::uint64_t, 3>{0, 0, 0}));
    CHECK_EQ(extract(Volume(0, 5, 5), Settings{true, 1, {}}).cell_shape, (std::array<std::uint64_t, 3>{0, 0, 0}));
    // A single label everywhere, closed: only the border layer holds surface cells.
    Volume full(3, 3, 3);
    std::fill(full.values.begin(), full.values.end(), 2);
    const Extraction sealed = extract(full, Settings{true, 1, {}});
    CHECK_EQ(sealed.surface_cells.size(), std::size_t(4 * 4 * 4 - 2 * 2 * 2));
    check_closed(sealed.meshes[0]);
}
