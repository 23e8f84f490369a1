// Smoothing on hand-built records too small for a volume to produce: the worked examples of
// relaxation, Taubin smoothing and fairing with their exact stored results. Then the code for
// 512-bit registers against the plain code on small volumes, fairing's passes run at once against
// one at a time, the sorting network, and the mapping in of fairing's fresh arrays.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <random>

#include "check.hpp"
#include "extract.hpp"
#include "pool.hpp"
#include "same_extraction.hpp"
#include "smooth.hpp"
#include "tables.hpp"

using namespace tarna;

namespace {

using Positions = std::vector<Position>;

//   3 ------ 2     one unit square in the plane axis 2 = 0, no boundary flags:
//   |        |     every corner's neighbours are the two corners beside it
//   0 ------ 1
LabelMesh unit_square() {
    LabelMesh mesh;
    mesh.positions = {{0, 0, 0}, {256, 0, 0}, {256, 256, 0}, {0, 256, 0}};
    mesh.cells = {0, 1, 2, 3};
    mesh.quads = {{0, 1, 2, 3}};
    return mesh;
}

Positions smoothed_square(std::uint32_t iterations, std::vector<double> weights, double max_deviation) {
    LabelMesh mesh = unit_square();
    Scratch scratch;
    run(mesh, CellField{}, iterations, weights, std::uint32_t(weights.size()), scratch, max_deviation);
    return mesh.positions;
}

//   cell 0 | cell 1 | cell 2     a row of three cells along axis 0 (cell_shape (3, 1, 1)), each
//     *    |   *    |   *        vertex at its corner plus CENTROID of its edge mask
CellField cell_row(std::vector<std::uint8_t> boundary) {
    CellField cells;
    cells.positions = {{128, 128, 128}, {384, 102, 102}, {640, 128, 128}};
    cells.cell_ids = {0, 1, 2};
    cells.edge_masks = {0x60A, 0x60B, 0x60A};
    cells.boundary = std::move(boundary);
    return cells;
}

Positions faired_row(double max_deviation, std::vector<std::uint8_t> boundary) {
    CellField cells = cell_row(std::move(boundary));
    Fairing fairing;
    fairing.iterations = 1;
    fairing.max_deviation = max_deviation;
    fair(cells, {3, 1, 1}, fairing, Parallel(nullptr));
    return cells.positions;
}

}  // namespace

TEST(relaxation_and_taubin_on_one_square) {
    CHECK_EQ(smoothed_square(1, {0.5}, 0.5), (Positions{{64, 64, 0}, {192, 64, 0}, {192, 192, 0}, {64, 192, 0}}));
    CHECK_EQ(smoothed_square(3, {0.5}, 0.5), (Positions{{112, 112, 0}, {144, 112, 0}, {144, 144, 0}, {112, 144, 0}}));
    // max_deviation 0.1: D = 25.6, the corners stop on the box and round to 26.
    CHECK_EQ(smoothed_square(1, {0.5}, 0.1), (Positions{{26, 26, 0}, {230, 26, 0}, {230, 230, 0}, {26, 230, 0}}));
    // lambda 0.63 then mu = 1 / (0.1 - 1 / 0.63): 80.64 after the first pass, 48.797 after the second.
    CHECK_EQ(smoothed_square(1, {0.63, taubin_mu(0.1, 0.63)}, 0.5),
             (Positions{{49, 49, 0}, {207, 49, 0}, {207, 207, 0}, {49, 207, 0}}));
    // An infinite weight drives every coordinate to its box; where the corner already sits at its
    // neighbours' mean (axis 2) the step is inf * 0 = NaN, which lands on the low side.
    const float inf = std::numeric_limits<float>::infinity();
    CHECK_EQ(smoothed_square(1, {inf}, 0.5),
             (Positions{{128, 128, -128}, {128, 128, -128}, {128, 128, -128}, {128, 128, -128}}));
    CHECK_EQ(smoothed_square(1, {0.5}, 0.0), unit_square().positions);
}

TEST(relaxation_skips_pinned_unlinked_and_quadless_vertices) {
    const double step[] = {0.5};
    Scratch scratch;
    LabelMesh mesh = unit_square();
    mesh.positions.push_back({1000, 1000, 1000});  // referenced by no quad
    mesh.boundary = {1, 0, 0, 0, 0};
    run(mesh, CellField{}, 1, step, 1, scratch, 0.5);
    // Corner 0 is pinned but still counts in its neighbours' means.
    CHECK_EQ(mesh.positions, (Positions{{0, 0, 0}, {192, 64, 0}, {192, 192, 0}, {64, 192, 0}, {1000, 1000, 1000}}));
    // A boundary array of the wrong length pins nothing (the same Scratch, reused).
    LabelMesh unpinned = unit_square();
    unpinned.boundary = {1};
    run(unpinned, CellField{}, 1, step, 1, scratch, 0.5);
    CHECK_EQ(unpinned.positions, smoothed_square(1, {0.5}, 0.5));
    LabelMesh quadless = unit_square();
    quadless.quads.clear();
    run(quadless, CellField{}, 5, step, 1, scratch, 0.5);
    CHECK_EQ(quadless.positions, unit_square().positions);
}

TEST(relaxation_does_not_depend_on_quad_order) {
    // A fan of quads around vertex 0, then one that names vertex 0 twice: with a fan of the right
    // size its raw list outgrows the fixed room only with that last quad, whose two corners both
    // write into it. Any order of the quads gives the same neighbour sets and so the same positions.
    for (std::uint32_t fan = 3; fan <= 8; ++fan) {
        LabelMesh mesh;
        const std::uint32_t rim = 2 * fan;  // vertices 1 to rim around vertex 0
        for (std::uint32_t k = 0; k < fan; ++k) mesh.quads.push_back({0, 2 * k + 1, 2 * k + 2, (2 * k + 2) % rim + 1});
        mesh.quads.push_back({0, 2, 0, 4});
        for (std::uint32_t v = 0; v <= rim; ++v) {
            mesh.positions.push_back(
                {std::int32_t(v * 37 % 11) * 64, std::int32_t(v * 53 % 7) * 64, std::int32_t(v % 3) * 64});
            mesh.cells.push_back(v);
        }
        const std::vector<Quad> quads = mesh.quads;
        const double steps[] = {0.5};
        Scratch scratch;
        Positions first;
        for (std::size_t turn = 0; turn < quads.size(); ++turn) {
            LabelMesh turned = mesh;
            turned.quads.assign(quads.begin() + std::ptrdiff_t(turn), quads.end());
            turned.quads.insert(turned.quads.end(), quads.begin(), quads.begin() + std::ptrdiff_t(turn));
            run(turned, CellField{}, 2, steps, 1, scratch, 1.0);
            if (turn == 0) first = turned.positions;
            CHECK_EQ(turned.positions, first);
        }
        CHECK(first != mesh.positions);
    }
}

TEST(fairing_on_a_row_of_three_cells) {
    // Face masks 0x02, 0x03, 0x01: the end vertices are pulled to the middle one and stop on their
    // cells' faces at 256 and 512.
    CHECK_EQ(faired_row(0.5, {0, 0, 0}), (Positions{{256, 115, 115}, {384, 115, 115}, {512, 115, 115}}));
    CHECK_EQ(faired_row(0.05, {0, 0, 0}), (Positions{{141, 115, 115}, {384, 115, 115}, {627, 115, 115}}));
    CHECK_EQ(faired_row(0.5, {1, 0, 1}), (Positions{{128, 128, 128}, {384, 115, 115}, {640, 128, 128}}));
    CHECK_EQ(faired_row(0.0, {0, 0, 0}), cell_row({0, 0, 0}).positions);
}

TEST(fairing_taubin_pair_is_used_unchecked) {
    // pass_band = 1 / lambda gives mu = +inf. The lambda pass gives (256, 115, 115), (384, 115, 115),
    // (512, 115, 115); the mu pass throws every coordinate that still moves to its box, and one
    // already at its neighbours' mean (inf * 0 = NaN) to the box's low side: for the middle
    // vertex that is the cell's low face 256 on axis 0 and 0 on axes 1 and 2.
    CellField cells = cell_row({0, 0, 0});
    Fairing fairing;
    fairing.iterations = 1;
    fairing.with_taubin = true;
    fairing.lambda = 0.5;
    fairing.pass_band = 2.0;
    fair(cells, {3, 1, 1}, fairing, Parallel(nullptr));
    CHECK_EQ(cells.positions, (Positions{{256, 0, 0}, {256, 0, 0}, {512, 0, 0}}));
}

TEST(fairing_never_links_across_the_grid_edge) {
    //   2 | 3      a 2 x 2 x 1 grid whose cells all cross every edge. Cell 1's next id along
    //   --+--      axis 0 is cell 2, the start of the next row: only the in-grid mask keeps
    //   0 | 1      them apart, so each vertex moves towards its two true neighbours alone.
    CellField cells;
    cells.positions = {{128, 128, 128}, {384, 128, 128}, {128, 384, 128}, {384, 384, 128}};
    cells.cell_ids = {0, 1, 2, 3};
    cells.edge_masks = {0xFFF, 0xFFF, 0xFFF, 0xFFF};
    cells.boundary = {0, 0, 0, 0};
    for (const bool junction_rule : {true, false}) {
        CellField faired = cells;
        Fairing fairing;
        fairing.iterations = 1;
        fairing.junction_rule = junction_rule;
        fair(faired, {2, 2, 1}, fairing, Parallel(nullptr));
        CHECK_EQ(faired.positions, (Positions{{192, 192, 128}, {320, 192, 128}, {192, 320, 128}, {320, 320, 128}}));
    }
}

TEST(fairing_finds_the_same_links_through_the_map_as_with_cursors) {
    // Through the map eight vertices at a time where the CPU allows, and one at a time. Dense
    // random blocks give over 65,536 cell vertices, so chunks meet inside a word of the map,
    // marked by two workers at once; a few scattered voxels in an empty volume give a sparse
    // grid. Odd extents put rows and slabs across words.
    const std::array<std::uint64_t, 3> shape = {41, 47, 53};
    std::mt19937 random(5);
    std::array<std::vector<std::uint32_t>, 2> volumes;
    for (auto& labels : volumes) labels.resize(shape[0] * shape[1] * shape[2]);
    for (std::size_t k = 0; k < volumes[0].size(); ++k) {
        volumes[0][k] = random() % 3 == 0 ? random() % 5 : std::uint32_t(k / 7 % 4);
        volumes[1][k] = random() % 500 == 0 ? 1 + random() % 3 : 0;
    }
    ThreadPool pool(2);
    for (const auto& labels : volumes) {
        const VolumeView<std::uint32_t> view{
            labels.data(), shape, {std::int64_t(shape[1] * shape[2]), std::int64_t(shape[2]), 1}};
        for (const bool close : {false, true}) {
            ExtractOptions options;
            options.close = close;
            options.bands.track_boundary = !close;
            const Extraction extraction = extract(view, options, Parallel(nullptr));
            for (const bool junction_rule : {true, false}) {
                const auto links = [&](bool through_map, const Parallel& parallel) {
                    return fairing_links_of(extraction.surface_cells, extraction.cell_shape, junction_rule, through_map,
                                            parallel);
                };
                const std::vector<std::uint32_t> expected = links(false, Parallel(nullptr));
                CHECK(expected.size() > (labels == volumes[0] ? 5 * 65536 : 5000));
                CHECK_EQ(links(true, Parallel(nullptr)), expected);
                CHECK_EQ(links(true, Parallel(&pool)), expected);
                const bool allowed = allow_wide_registers(false);  // the map one vertex at a time
                CHECK_EQ(links(true, Parallel(nullptr)), expected);
                allow_wide_registers(allowed);
            }
        }
    }
    // Ids out of order are a broken invariant: a fault, before the map is written out of bounds.
    CellField shuffled;
    shuffled.cell_ids = {300, 5, 7, 9};
    shuffled.positions.resize(4);
    shuffled.edge_masks.assign(4, 0xFFF);
    shuffled.boundary.assign(4, 0);
    bool faulted = false;
    try {
        fairing_links_of(shuffled, {8, 8, 8}, true, true, Parallel(nullptr));
    } catch (const InternalFault&) {
        faulted = true;
    }
    CHECK(faulted);
}

TEST(wide_registers_give_the_same_bits) {
    // Cells around random seeds give the convex objects of a dense volume, whose neighbour lists
    // fit the fixed room; blocks of random labels with scattered voxels give vertices with every
    // count of neighbours, pinned ones among them. Odd sizes leave partial groups of four.
    const std::array<std::uint64_t, 3> shape = {23, 31, 37};
    std::mt19937 random(7);
    std::vector<std::array<double, 3>> seeds(12);
    for (auto& seed : seeds) seed = {random() % 23 + 0.5, random() % 31 + 0.5, random() % 37 + 0.5};
    std::array<std::vector<std::uint32_t>, 2> volumes;
    for (auto& labels : volumes) labels.resize(shape[0] * shape[1] * shape[2]);
    for (std::size_t k = 0; k < volumes[0].size(); ++k) {
        const std::size_t i2 = k % shape[2], i1 = k / shape[2] % shape[1], i0 = k / (shape[1] * shape[2]);
        double nearest = 1e30;
        for (std::uint32_t s = 0; s < seeds.size(); ++s) {
            const double d0 = double(i0) - seeds[s][0], d1 = double(i1) - seeds[s][1], d2 = double(i2) - seeds[s][2];
            const double distance = d0 * d0 + d1 * d1 + d2 * d2;
            if (distance < nearest) nearest = distance, volumes[0][k] = s + 1;
        }
        volumes[1][k] = random() % 8 == 0 ? random() % 6 : std::uint32_t((i0 / 5 + 3 * (i1 / 6) + 7 * (i2 / 4)) % 6);
    }
    auto fairing = [](double max_deviation, bool junction_rule, bool with_taubin, double pass_band) {
        Fairing settings;
        settings.iterations = 3;
        settings.max_deviation = max_deviation;
        settings.junction_rule = junction_rule;
        settings.with_taubin = with_taubin;
        settings.lambda = 0.5;
        settings.pass_band = pass_band;
        return settings;
    };
    // The last pair gives mu = +inf: NaN steps that must land where the narrow code puts them.
    const std::vector<Smoothing> methods = {Relaxation{3, 0.5, 0.5},        Taubin{3, 0.1, 0.63, 0.5},
                                            fairing(0.5, true, false, 0.1), fairing(0.1, false, false, 0.1),
                                            fairing(0.0, true, false, 0.1), fairing(1e30, true, true, 0.1),
                                            fairing(0.5, false, true, 2.0)};
    // Closed, the outermost vertices lie at negative coordinates, which round the other way.
    for (std::size_t run = 0; run < 2 * volumes.size(); ++run) {
        const std::vector<std::uint32_t>& labels = volumes[run / 2];
        const VolumeView<std::uint32_t> view{
            labels.data(), shape, {std::int64_t(shape[1] * shape[2]), std::int64_t(shape[2]), 1}};
        ExtractOptions options;
        options.close = run % 2 == 1;
        options.bands.track_boundary = !options.close;
        const Extraction extraction = extract(view, options, Parallel(nullptr));
        CHECK(extraction.surface_cells.size() > 1000);
        // With boundary tracking each vertex copies its cell's flag, sixteen at a time or one by one.
        const bool allowed = allow_wide_registers(false);
        check_same(extract(view, options, Parallel(nullptr)), extraction);
        allow_wide_registers(allowed);
        for (const Smoothing& method : methods) {
            std::array<Extraction, 2> smoothed = {extraction, extraction};
            for (const bool wide : {false, true}) {
                const bool before = allow_wide_registers(wide);
                smooth(smoothed[wide], method, Parallel(nullptr));
                allow_wide_registers(before);
            }
            check_same(smoothed[0], smoothed[1]);
            // Every method moves something, but fairing within a zero box.
            const Fairing* faired = std::get_if<Fairing>(&method);
            CHECK(smoothed[0].surface_cells.positions != extraction.surface_cells.positions ||
                  !smoothed[0].meshes[0].positions.empty() || (faired != nullptr && faired->max_deviation == 0));
        }
    }
}

TEST(fairing_passes_at_once_match_one_at_a_time) {
    // Volumes long along the last axis, so the passes' position rings wrap many times over and four
    // workers get a region each: random blocks with few cells a slab, so a vertex's neighbours lie
    // close by in vertex order, then with more cells a slab than a stage takes at a time, then a
    // bumpy rod in a large grid, whose neighbours are found with cursors instead of a map of the
    // cells. One pass at a time, on one thread, without 512-bit registers, is the plain order every
    // other way must give.
    std::vector<std::unique_ptr<ThreadPool>> pools;
    for (const std::size_t workers : {2, 3, 4}) pools.push_back(std::make_unique<ThreadPool>(workers));
    // Memory kept from call to call, as a Mesher keeps it: what it holds must never leak into a result.
    SmoothingMemory kept;
    std::mt19937 random(3);
    for (const std::array<std::uint64_t, 3> shape :
         {std::array<std::uint64_t, 3>{9, 11, 1200}, {44, 52, 240}, {40, 40, 2400}}) {
        const bool rod = shape[0] == 40;
        std::vector<std::uint32_t> labels(shape[0] * shape[1] * shape[2]);
        for (std::size_t k = 0; k < labels.size(); ++k) {
            const std::size_t i2 = k % shape[2], i1 = k / shape[2] % shape[1], i0 = k / (shape[1] * shape[2]);
            if (rod) {
                const std::size_t width = 3 + random() % 64 / 63;
                labels[k] = i0 >= 18 && i0 < 18 + width && i1 >= 18 && i1 < 21 ? 1 + i2 / 100 % 2 : 0;
            } else {
                labels[k] = random() % 16 == 0 ? std::uint32_t(random() % 5)
                                               : std::uint32_t((i0 / 3 + 2 * (i1 / 4) + 3 * (i2 / 3)) % 5);
            }
        }
        const VolumeView<std::uint32_t> view{
            labels.data(), shape, {std::int64_t(shape[1] * shape[2]), std::int64_t(shape[2]), 1}};
        ExtractOptions options;
        options.bands.track_boundary = true;
        const Extraction extraction = extract(view, options, Parallel(nullptr));
        CHECK(extraction.surface_cells.size() > (rod ? 25000 : 60000));
        // 13 and 26 passes take runs of unequal depths, odd and even.
        for (const std::uint32_t iterations : {1u, 13u}) {
            for (const bool with_taubin : {false, true}) {
                Fairing fairing;
                fairing.iterations = iterations;
                fairing.with_taubin = with_taubin;
                CellField expected = extraction.surface_cells;
                const std::size_t depth = limit_fairing_depth(1);
                const bool wide = allow_wide_registers(false);
                fair(expected, extraction.cell_shape, fairing, Parallel(nullptr));
                limit_fairing_depth(depth);
                allow_wide_registers(wide);
                CHECK(expected.positions != extraction.surface_cells.positions);
                for (std::size_t way = 0; way <= pools.size(); ++way) {
                    CellField cells = extraction.surface_cells;
                    fair(cells, extraction.cell_shape, fairing, Parallel(way == 0 ? nullptr : pools[way - 1].get()));
                    CHECK(cells.positions == expected.positions);
                }
                CellField cells = extraction.surface_cells;
                fair(cells, extraction.cell_shape, fairing, Parallel(pools[0].get()), &kept);
                CHECK(cells.positions == expected.positions);
            }
        }
    }
}

TEST(wide_neighbour_lists_match_on_random_meshes) {
    // Short lists are sorted two to a register; neighbouring vertices often share neighbours, and
    // a list's last entry may be the next list's first, which must not read as a repeat. First a
    // mesh made for that: vertex 0 lies in four quads, its last neighbour 8 is the first of
    // vertex 1's. Then random quads over a few vertices, each vertex in at most seven so that every
    // list takes the register path. Positions are spread so that any change in a list moves some
    // vertex.
    std::mt19937 random(11);
    auto same_both_ways = [&](const std::vector<Quad>& quads, std::uint32_t vertex_count) {
        LabelMesh mesh;
        mesh.quads = quads;
        for (std::uint32_t v = 0; v < vertex_count; ++v) {
            mesh.positions.push_back(
                {std::int32_t(random() % 4096), std::int32_t(random() % 4096), std::int32_t(random() % 4096)});
            mesh.cells.push_back(v);
        }
        std::array<Positions, 2> results;
        for (const bool wide : {false, true}) {
            LabelMesh smoothed = mesh;
            Scratch scratch;
            const double steps[] = {0.5};
            const bool before = allow_wide_registers(wide);
            run(smoothed, CellField{}, 2, steps, 1, scratch, 100.0);
            allow_wide_registers(before);
            results[wide] = smoothed.positions;
        }
        CHECK_EQ(results[true], results[false]);
    };
    same_both_ways({{0, 2, 3, 4}, {0, 4, 5, 6}, {0, 6, 7, 8}, {0, 8, 9, 2}, {1, 8, 10, 11}}, 12);
    for (int trial = 0; trial < 300; ++trial) {
        const std::uint32_t vertex_count = 6 + random() % 20;
        std::vector<Quad> quads;
        std::vector<std::uint32_t> uses(vertex_count, 0);
        for (std::uint32_t attempt = 0; attempt < 3 * vertex_count; ++attempt) {
            Quad quad;
            for (std::uint32_t& corner : quad) corner = random() % vertex_count;
            const bool distinct = quad[0] != quad[1] && quad[0] != quad[2] && quad[0] != quad[3] &&
                                  quad[1] != quad[2] && quad[1] != quad[3] && quad[2] != quad[3];
            if (!distinct || std::any_of(quad.begin(), quad.end(), [&](std::uint32_t v) { return uses[v] >= 7; }))
                continue;
            for (const std::uint32_t corner : quad) ++uses[corner];
            quads.push_back(quad);
        }
        same_both_ways(quads, vertex_count);
    }
}

TEST(sorting_network_sorts_every_input) {
    // By the 0-1 principle a comparator network sorts every input once it sorts every input of
    // zeros and ones. All ten steps sort sixteen lanes ascending; the first six sort the lower
    // eight ascending and the upper eight descending, each on its own, which lets two short lists
    // share a register. One step fewer must do neither.
    auto ascending = [](std::uint32_t bits, std::uint32_t width) {  // the ones at the top
        const int ones = std::popcount(bits);
        return bits == ((1u << width) - 1 - ((1u << (width - ones)) - 1));
    };
    auto sorts_all = [&](std::size_t steps, bool halves) {
        for (std::uint32_t input = 0; input < (1u << 16); ++input) {
            std::uint32_t lanes = input;  // bit i: lane i
            for (std::size_t n = 0; n < steps; ++n) {
                std::uint32_t next = 0;
                for (std::uint32_t i = 0; i < 16; ++i) {
                    const std::uint32_t own = lanes >> i & 1, other = lanes >> SORT_STEPS[n].partner[i] & 1;
                    next |= ((SORT_STEPS[n].keeps_larger >> i & 1) != 0 ? own | other : own & other) << i;
                }
                lanes = next;
            }
            const std::uint32_t low = lanes & 0xFFu, high = lanes >> 8;
            std::uint32_t high_reversed = 0;
            for (std::uint32_t i = 0; i < 8; ++i) high_reversed |= (high >> i & 1) << (7 - i);
            if (halves ? !(ascending(low, 8) && ascending(high_reversed, 8)) : !ascending(lanes, 16)) return false;
        }
        return true;
    };
    CHECK(sorts_all(SORT_STEPS.size(), false));
    CHECK(!sorts_all(SORT_STEPS.size() - 1, false));
    CHECK(sorts_all(6, true));
    CHECK(!sorts_all(5, true));
}

TEST(mapping_pages_in_keeps_what_they_hold) {
    // Pages are named whole, past both ends of the range: whatever they already hold, inside the
    // range or next to it, must stay as it was.
    const std::size_t page = std::size_t(std::max(1L, sysconf(_SC_PAGESIZE)));
    std::vector<std::uint8_t> bytes(5 * page);
    for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = std::uint8_t(7 * k + 1);
    const std::vector<std::uint8_t> before = bytes;
    populate_pages(bytes.data() + 100, bytes.data() + 3 * page + 5);
    populate_pages(bytes.data() + page + 7, bytes.data() + page + 7);
    CHECK(bytes == before);
}
