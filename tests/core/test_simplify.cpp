// Simplification on hand-built meshes: locks from flags and open borders, the error bound at its
// edge, and meshes too small to touch. The bulk of the checking is the Python reference comparison.
#include "check.hpp"
#include "simplify.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

using namespace tarna;

namespace {

//   6-------5          a flat patch in z = 0: two inner vertices, 0 at (-0.5, 0) and
//   |\     /|\         1 at (0.5, 0), inside an open ring 2..7 of locked border
//   | \   / | \        vertices. Only the edge 0-1 has free ends, and its collapse
//   7--0---1---4       keeps every face facing up.
//   | /   \ | /
//   |/     \|/
//   2-------3
TriangleMesh two_fans() {
    TriangleMesh mesh;
    mesh.vertices = {{-0.5f, 0, 0}, {0.5f, 0, 0}, {-1, -1, 0}, {1, -1, 0},
                     {2, 0, 0},     {1, 1, 0},    {-1, 1, 0},  {-2, 0, 0}};
    mesh.faces = {{0, 2, 3}, {0, 3, 1}, {1, 3, 4}, {1, 4, 5}, {1, 5, 0}, {0, 5, 6}, {0, 6, 7}, {0, 7, 2}};
    return mesh;
}

}  // namespace

TEST(two_fans_collapse_onto_the_midpoint_within_bound) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    // The midpoint lies 0.5 from both starts: allowed up to the bound, refused below it.
    for (const double max_error : {0.5, 7.0, inf, std::numeric_limits<double>::quiet_NaN()}) {
        const TriangleMesh out = simplify(two_fans(), 0, max_error);
        CHECK_EQ(out.vertices, (std::vector<Point3f>{
                                   {0, 0, 0}, {-1, -1, 0}, {1, -1, 0}, {2, 0, 0}, {1, 1, 0}, {-1, 1, 0}, {-2, 0, 0}}));
        CHECK_EQ(out.faces, (std::vector<Triangle>{{0, 1, 2}, {0, 2, 3}, {0, 3, 4}, {0, 4, 5}, {0, 5, 6}, {0, 6, 1}}));
        CHECK_EQ(out.vertex_flags, (std::vector<std::uint8_t>{0, 1, 1, 1, 1, 1, 1}));
        CHECK(!out.normals);
    }
    // Refused by the bound or by a flag on either end (a short flag list covers the first
    // vertices only): the input comes back as it was, flags and normals included.
    struct Case {
        double max_error;
        std::vector<std::uint8_t> flags;
    };
    for (const Case& c : {Case{0.49999, {}}, Case{0.0, {}}, Case{inf, {0, 1, 0, 0, 0, 0, 0, 0}}, Case{inf, {1, 0}}}) {
        TriangleMesh mesh = two_fans();
        mesh.vertex_flags = c.flags;
        mesh.normals = std::vector<Point3f>(8, Point3f{0, 0, 1});
        const TriangleMesh out = simplify(mesh, 0, c.max_error);
        CHECK_EQ(out.vertices, mesh.vertices);
        CHECK_EQ(out.faces, mesh.faces);
        CHECK_EQ(out.vertex_flags, mesh.vertex_flags);
        CHECK(out.normals == mesh.normals);
    }
}

TEST(meshes_below_five_faces_are_left_alone) {
    // A tetrahedron: every edge is shared by two faces, nothing is locked, yet nothing collapses.
    TriangleMesh mesh;
    mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    mesh.faces = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};
    const TriangleMesh out = simplify(mesh, 0, std::numeric_limits<double>::infinity());
    CHECK_EQ(out.vertices, mesh.vertices);
    CHECK_EQ(out.faces, mesh.faces);
    CHECK(out.vertex_flags.empty());
}

TEST(corner_out_of_range_is_a_fault) {
    TriangleMesh mesh = two_fans();
    mesh.faces[3][1] = 8;
    bool faulted = false;
    try {
        simplify(mesh, 0, 1.0);
    } catch (const InternalFault&) {
        faulted = true;
    }
    CHECK(faulted);
}

TEST(wide_candidates_match_plain_ones_on_random_meshes) {
    // Where the CPU has 512-bit registers candidates are made eight at a time; each candidate, and
    // so the result, must be the plain code's to the bit. Jittered tori, closed (so optima are found and tried) or with
    // a band of faces cut out (open borders lock their ends), some snapped to quarter units (flat stretches, singular
    // quadrics, equal costs), some far from the origin, some with flags, under bounds from 0 to none.
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::mt19937 random(5);
    std::uniform_real_distribution<float> jitter(-0.3f, 0.3f);
    std::size_t reduced = 0;
    for (int trial = 0; trial < 24; ++trial) {
        const int around = 12 + trial % 5 * 3, across = 8 + trial % 3 * 2;
        const float offset = trial % 2 == 1 ? 4096.0f : 0.0f;
        TriangleMesh mesh;
        for (int i = 0; i < around; ++i) {
            for (int j = 0; j < across; ++j) {
                const double u = 6.283185307179586 * i / around, v = 6.283185307179586 * j / across;
                const double ring = 6 + 2 * std::cos(v);
                Point3f p{float(ring * std::cos(u)) + jitter(random) + offset,
                          float(ring * std::sin(u)) + jitter(random), float(2 * std::sin(v)) + jitter(random)};
                if (trial % 3 == 0) {
                    for (float& x : p) x = std::round(x * 4) / 4;
                }
                mesh.vertices.push_back(p);
            }
        }
        for (int i = trial % 4 == 3 ? 1 : 0; i < around; ++i) {
            for (int j = 0; j < across; ++j) {
                const auto at = [&](int di, int dj) {
                    return std::uint32_t((i + di) % around * across + (j + dj) % across);
                };
                mesh.faces.push_back({at(0, 0), at(1, 0), at(1, 1)});
                mesh.faces.push_back({at(0, 0), at(1, 1), at(0, 1)});
            }
        }
        if (trial % 5 == 4) {
            for (std::size_t v = 0; v < mesh.vertices.size(); ++v) mesh.vertex_flags.push_back(random() % 10 == 0);
        }
        // Every edge, and pairs that share nothing, whose summed quadrics are often regular.
        std::vector<std::uint64_t> pairs;
        for (const Triangle& face : mesh.faces) {
            for (std::size_t k = 0; k < 3; ++k) pairs.push_back(std::uint64_t{face[k]} << 32 | face[(k + 1) % 3]);
        }
        for (int k = 0; k < 200; ++k)
            pairs.push_back(std::uint64_t(random() % mesh.vertices.size()) << 32 | random() % mesh.vertices.size());
        // What `run` gives with the plain code and with the 512-bit one.
        const auto both_ways = [](const auto& run) {
            std::array<decltype(run()), 2> results;
            for (const bool wide : {false, true}) {
                const bool before = allow_wide_registers(wide);
                results[wide] = run();
                allow_wide_registers(before);
            }
            return results;
        };
        for (const double max_error : {0.0, 0.5, 2.0, inf, std::numeric_limits<double>::quiet_NaN()}) {
            const auto made = both_ways([&] { return candidates_of(mesh, max_error, pairs); });
            CHECK(made[0] == made[1]);
            const auto out = both_ways([&] { return simplify(mesh, mesh.faces.size() / 4, max_error); });
            CHECK_EQ(out[0].faces, out[1].faces);
            CHECK_EQ(out[0].vertex_flags, out[1].vertex_flags);
            CHECK_EQ(out[0].vertices.size(), out[1].vertices.size());
            CHECK(std::memcmp(out[0].vertices.data(), out[1].vertices.data(),
                              out[0].vertices.size() * sizeof(Point3f)) == 0);
            reduced += out[0].faces.size() < mesh.faces.size();
        }
    }
    CHECK(reduced > 48);  // the comparison covers meshes that did change
}
