// Dicing: the hand-worked split of one triangle, then properties over random closed meshes.
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <random>

#include "check.hpp"
#include "dice.hpp"

using namespace tarna;

namespace {

struct Mesh {
    std::vector<Point3f> vertices;
    std::vector<Triangle> faces;
};

DiceGrid make_grid(std::array<double, 3> chunk, std::array<double, 3> origin, std::array<std::int64_t, 3> size,
                   std::optional<std::uint32_t> bits = std::nullopt) {
    return DiceGrid{chunk, origin, size, bits};
}

// A closed, consistently wound torus with jittered vertices; `snap` > 0 rounds every coordinate
// to a multiple of it, so many vertices land exactly on grid planes.
Mesh random_torus(std::mt19937& rng, int around, int across, double snap) {
    std::uniform_real_distribution<double> jitter(-0.15, 0.15);
    Mesh mesh;
    for (int i = 0; i < around; ++i) {
        for (int j = 0; j < across; ++j) {
            const double u = 2 * M_PI * i / around, v = 2 * M_PI * j / across;
            const double ring = 3 + (1 + jitter(rng)) * std::cos(v);
            Point3f p{float(ring * std::cos(u) + jitter(rng)), float(ring * std::sin(u) + jitter(rng)),
                      float((1 + jitter(rng)) * std::sin(v))};
            if (snap > 0) {
                for (float& x : p) x = float(std::round(x / snap) * snap);
            }
            mesh.vertices.push_back(p);
        }
    }
    for (int i = 0; i < around; ++i) {
        for (int j = 0; j < across; ++j) {
            auto at = [&](int a, int b) { return std::uint32_t((a % around) * across + b % across); };
            mesh.faces.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            mesh.faces.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    }
    return mesh;
}

// Structure every result must have: ascending keys inside the grid, faces in range and never
// with two equal corners, vertices unique by bit pattern, lattice values integral in 0..E and
// never -0.0.
void check_cells(const std::vector<DicedCell>& cells, const DiceGrid& grid) {
    for (std::size_t c = 0; c < cells.size(); ++c) {
        const DicedCell& cell = cells[c];
        if (c > 0) CHECK(cells[c - 1].key < cell.key);
        for (int a = 0; a < 3; ++a) CHECK(cell.key[a] >= 0 && cell.key[a] < grid.grid_size[a]);
        CHECK(!cell.faces.empty());
        std::map<std::array<std::uint32_t, 3>, int> seen;
        for (const Point3f& p : cell.vertices) {
            const std::array<std::uint32_t, 3> bits{std::bit_cast<std::uint32_t>(p[0]),
                                                    std::bit_cast<std::uint32_t>(p[1]),
                                                    std::bit_cast<std::uint32_t>(p[2])};
            CHECK(++seen[bits] == 1);
            if (!grid.quantization_bits) continue;
            const float top = float((1u << *grid.quantization_bits) - 1);
            for (float x : p) CHECK(x >= 0 && x <= top && x == std::floor(x) && !std::signbit(x));
        }
        for (const Triangle& f : cell.faces) {
            CHECK(f[0] < cell.vertices.size() && f[1] < cell.vertices.size() && f[2] < cell.vertices.size());
            CHECK(f[0] != f[1] && f[1] != f[2] && f[0] != f[2]);
        }
    }
}

}  // namespace

//   y
//   0.9  C
//        | \         the plane x = 1 cuts AB at (1, 0.5) and BC at (1, 0.7):
//   0.5  A---+---B   cell 0 gets the quad A, (1, 0.5), (1, 0.7), C fanned from A,
//       0.5  1  1.5  cell 1 the triangle (1, 0.5), B, (1, 0.7)
TEST(dice_worked_example) {
    const std::vector<Point3f> vertices{{0.5f, 0.5f, 0.5f}, {1.5f, 0.5f, 0.5f}, {0.5f, 0.9f, 0.5f}};
    const std::vector<Triangle> faces{{0, 1, 2}};
    auto cells = dice(vertices, faces, make_grid({1, 1, 1}, {0, 0, 0}, {2, 1, 1}));
    CHECK_EQ(cells.size(), std::size_t{2});
    if (cells.size() != 2) return;
    using V = std::vector<Point3f>;
    using F = std::vector<Triangle>;
    CHECK_EQ(cells[0].key, (std::array<std::int64_t, 3>{0, 0, 0}));
    CHECK_EQ(cells[0].vertices, (V{{0.5f, 0.5f, 0.5f}, {1, 0.5f, 0.5f}, {1, 0.7f, 0.5f}, {0.5f, 0.9f, 0.5f}}));
    CHECK_EQ(cells[0].faces, (F{{0, 1, 2}, {0, 2, 3}}));
    CHECK_EQ(cells[1].key, (std::array<std::int64_t, 3>{1, 0, 0}));
    CHECK_EQ(cells[1].vertices, (V{{1, 0.5f, 0.5f}, {1.5f, 0.5f, 0.5f}, {1, 0.7f, 0.5f}}));
    CHECK_EQ(cells[1].faces, (F{{0, 1, 2}}));

    // The cut point on x = 1 reads E = 7 in cell 0 and 0 in cell 1.
    cells = dice(vertices, faces, make_grid({1, 1, 1}, {0, 0, 0}, {2, 1, 1}, 3));
    CHECK_EQ(cells.size(), std::size_t{2});
    if (cells.size() != 2) return;
    CHECK_EQ(cells[0].vertices, (V{{4, 4, 4}, {7, 4, 4}, {7, 5, 4}, {4, 6, 4}}));
    CHECK_EQ(cells[0].faces, (F{{0, 1, 2}, {0, 2, 3}}));
    CHECK_EQ(cells[1].vertices, (V{{0, 4, 4}, {4, 4, 4}, {0, 5, 4}}));
    CHECK_EQ(cells[1].faces, (F{{0, 1, 2}}));

    // With E = 3 the second fan triangle and the whole upper piece collapse and are dropped.
    cells = dice(vertices, faces, make_grid({1, 1, 1}, {0, 0, 0}, {2, 1, 1}, 2));
    CHECK_EQ(cells.size(), std::size_t{1});
    if (cells.size() != 1) return;
    CHECK_EQ(cells[0].key, (std::array<std::int64_t, 3>{0, 0, 0}));
    CHECK_EQ(cells[0].vertices, (V{{2, 2, 2}, {3, 2, 2}, {2, 3, 2}}));
    CHECK_EQ(cells[0].faces, (F{{0, 1, 2}}));
}

TEST(dice_lattice_rounding_and_planes) {
    // Halves round away from zero on the lattice: 0.5 * E for E = 1, 7, 2^24 - 1.
    for (auto [bits, expected] : {std::pair{1u, 1.0f}, {3u, 4.0f}, {24u, 8388608.0f}}) {
        const auto cells = dice({{0.5f, 0.1f, 0.1f}, {0.1f, 1.9f, 0.1f}, {0.1f, 0.1f, 0.9f}}, {{0, 1, 2}},
                                make_grid({1, 2, 1}, {0, 0, 0}, {1, 1, 1}, bits));
        CHECK(cells.size() == 1 && cells[0].vertices[0][0] == expected);
    }
    // A triangle touching x = 1 from below stays in cell 0; one lying in the plane goes to cell 1.
    const DiceGrid grid = make_grid({1, 1, 1}, {0, 0, 0}, {3, 1, 1});
    auto cells = dice({{0.2f, 0.1f, 0.1f}, {1, 0.5f, 0.1f}, {0.2f, 0.9f, 0.1f}}, {{0, 1, 2}}, grid);
    CHECK(cells.size() == 1 && cells[0].key[0] == 0 && cells[0].faces.size() == 1);
    cells = dice({{1, 0.1f, 0.1f}, {1, 0.5f, 0.2f}, {1, 0.9f, 0.1f}}, {{0, 1, 2}}, grid);
    CHECK(cells.size() == 1 && cells[0].key[0] == 1);
    // Cut points sit exactly on their plane even where interpolation rounds past it: along AB
    // t * (H - L) + L gives x = p - 1 ulp, which rounds to the float below float(p).
    const double plane = 1.5 + 0.2165166735649109;
    cells = dice({{0.3693605f, 0.50307626f, 0.1f}, {2.9589837f, 0.65900713f, 0.1f}, {0.3693605f, 0.9f, 0.1f}},
                 {{0, 1, 2}}, make_grid({1.5, 1, 1}, {0.2165166735649109, 0, 0}, {2, 1, 1}));
    CHECK(cells.size() == 2);
    for (const DicedCell& cell : cells) {
        int on_plane = 0;
        for (const Point3f& p : cell.vertices) {
            CHECK(cell.key[0] == 0 ? p[0] <= float(plane) : p[0] >= float(plane));
            on_plane += p[0] == float(plane);
        }
        CHECK_EQ(on_plane, 2);
    }
    // Outside the grid nothing is cut away: x in -2 .. 5 splits only at x = 1 and x = 2.
    cells = dice({{-2, 0.1f, 0.1f}, {5, 0.1f, 0.1f}, {-2, 0.9f, 0.1f}}, {{0, 1, 2}}, grid);
    CHECK(cells.size() == 3);
    for (const DicedCell& cell : cells) {
        for (const Point3f& p : cell.vertices) CHECK(p[0] == -2 || p[0] == 1 || p[0] == 2 || p[0] == 5);
    }
}

TEST(dice_lattice_never_negative_zero) {
    // Both corners read lattice 0; the one a hair below the low face must merge with the other.
    const std::vector<Point3f> vertices{{-1e-7f, 0.2f, 0.2f}, {0, 0.2f, 0.2f}, {0.5f, 0.2f, 0.2f}, {0.3f, 0.9f, 0.2f}};
    const auto cells = dice(vertices, {{0, 2, 3}, {1, 2, 3}}, make_grid({1, 1, 1}, {0, 0, 0}, {1, 1, 1}, 8));
    check_cells(cells, make_grid({1, 1, 1}, {0, 0, 0}, {1, 1, 1}, 8));
    CHECK(cells.size() == 1 && cells[0].vertices.size() == 3 && cells[0].faces.size() == 2);
}

// Over closed random tori: each cell's triangles stay inside its bounds, and the union of all
// cells, with vertices identified by their bits (by their global lattice step when quantised),
// is still closed: every directed edge is matched by its reverse. That holds only when the two
// sides of every cut compute bitwise equal points.
TEST(dice_random_meshes_stay_closed) {
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int round = 0; round < 24; ++round) {
        const bool snapped = round % 3 == 0;
        const Mesh mesh = random_torus(rng, 24 + round, 12, snapped ? 0.25 : 0);
        std::array<double, 3> chunk, origin;
        std::array<std::int64_t, 3> size;
        for (int a = 0; a < 3; ++a) {
            chunk[a] = snapped ? 0.5 : 0.3 + 1.2 * unit(rng);
            origin[a] = snapped ? -4.5 : -4.5 - unit(rng);
            size[a] = std::int64_t(std::ceil(9.5 / chunk[a]));
        }
        const std::optional<std::uint32_t> bits =
            round % 2 ? std::optional<std::uint32_t>(1 + round % 12) : std::nullopt;
        const DiceGrid grid = make_grid(chunk, origin, size, bits);
        const auto cells = dice(mesh.vertices, mesh.faces, grid);
        check_cells(cells, grid);
        CHECK(cells.size() > 8);

        using Global = std::array<std::int64_t, 3>;
        std::map<std::pair<Global, Global>, int> balance;
        for (const DicedCell& cell : cells) {
            std::vector<Global> global;
            for (const Point3f& p : cell.vertices) {
                Global g;
                for (int a = 0; a < 3; ++a) {
                    if (bits) {
                        g[a] = std::int64_t(p[a]) + cell.key[a] * ((std::int64_t{1} << *bits) - 1);
                    } else {
                        // + 0.0f: snapped input holds -0.0 where cut points hold +0.0; the two
                        // compare equal, so a triangle joining them is dropped, not a crack.
                        g[a] = std::bit_cast<std::uint32_t>(p[a] + 0.0f);
                        const double low = cell.key[a] * chunk[a] + origin[a];
                        CHECK(p[a] >= low - 1e-5 && p[a] <= low + chunk[a] + 1e-5);
                    }
                }
                global.push_back(g);
            }
            for (const Triangle& f : cell.faces) {
                for (int e = 0; e < 3; ++e) {
                    const Global &from = global[f[e]], &to = global[f[(e + 1) % 3]];
                    if (from == to) continue;
                    const bool forward = from < to;
                    balance[forward ? std::pair{from, to} : std::pair{to, from}] += forward ? 1 : -1;
                }
            }
        }
        int unmatched = 0;
        for (const auto& [edge, count] : balance) unmatched += count != 0;
        CHECK_EQ(unmatched, 0);
    }
}

// Each triangle alone, cut across up to three axes: the pieces' vector areas add up to the
// triangle's, so the pieces cover it once, with its winding.
TEST(dice_pieces_cover_each_triangle) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coordinate(-1.0f, 3.0f);
    const DiceGrid grid = make_grid({0.7, 0.45, 0.6}, {-1, -1.1, -0.9}, {6, 9, 7});
    for (int round = 0; round < 200; ++round) {
        std::vector<Point3f> corners(3);
        for (Point3f& p : corners) p = {coordinate(rng), coordinate(rng), coordinate(rng)};
        const auto cells = dice(corners, {{0, 1, 2}}, grid);
        check_cells(cells, grid);
        auto vector_area = [](const Point3f& a, const Point3f& b, const Point3f& c) {
            const double u[3] = {double(b[0]) - a[0], double(b[1]) - a[1], double(b[2]) - a[2]};
            const double v[3] = {double(c[0]) - a[0], double(c[1]) - a[1], double(c[2]) - a[2]};
            return std::array<double, 3>{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                                         u[0] * v[1] - u[1] * v[0]};
        };
        const auto whole = vector_area(corners[0], corners[1], corners[2]);
        std::array<double, 3> sum{};
        for (const DicedCell& cell : cells) {
            for (const Triangle& f : cell.faces) {
                const auto part = vector_area(cell.vertices[f[0]], cell.vertices[f[1]], cell.vertices[f[2]]);
                for (int a = 0; a < 3; ++a) sum[a] += part[a];
            }
        }
        for (int a = 0; a < 3; ++a) CHECK(std::abs(sum[a] - whole[a]) <= 1e-5 * (1 + std::abs(whole[a])));
    }
}

TEST(dice_degenerate_inputs) {
    const DiceGrid grid = make_grid({1, 1, 1}, {0, 0, 0}, {4, 4, 4}, 10);
    CHECK(dice({{0, 0, 0}}, {}, grid).empty());
    // Every triangle degenerate after conversion: nothing at all.
    CHECK(dice({{0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}, {2.5f, 2.5f, 2.5f}}, {{0, 1, 2}, {2, 2, 0}}, grid).empty());
    // -0.0 and +0.0 are two vertices by bit pattern but equal as floats: a triangle joining them is
    // dropped even once both are known in the cell.
    const auto zeros = dice({{-0.0f, 0.5f, 0.5f}, {0, 0.5f, 0.5f}, {0.5f, 0.9f, 0.5f}, {0.9f, 0.1f, 0.5f}},
                            {{0, 2, 3}, {1, 3, 2}, {0, 1, 2}}, make_grid({1, 1, 1}, {0, 0, 0}, {1, 1, 1}));
    CHECK(zeros.size() == 1 && zeros[0].vertices.size() == 4 && zeros[0].faces.size() == 2);
    // NaN and infinite corners neither crash nor leave the grid.
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<Point3f> odd{
        {nan, 0.5f, 0.5f}, {3.5f, 2.5f, nan}, {0.5f, 3.5f, 1.5f}, {-inf, 1.5f, 2.5f}, {nan, nan, nan}};
    for (const auto& bits : {std::optional<std::uint32_t>{}, std::optional<std::uint32_t>{10}}) {
        const DiceGrid odd_grid = make_grid({1, 1, 1}, {0, 0, 0}, {4, 4, 4}, bits);
        const auto cells = dice(odd, {{0, 1, 2}, {3, 1, 2}, {4, 4, 0}, {4, 1, 3}}, odd_grid);
        for (std::size_t c = 1; c < cells.size(); ++c) CHECK(cells[c - 1].key < cells[c].key);
    }
}
