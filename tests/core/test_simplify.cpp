// Simplification on hand-built meshes: locks from flags and open borders, the error bound at its
// edge, and meshes too small to touch. The bulk of the checking is the Python reference comparison.
#include "check.hpp"
#include "simplify.hpp"

#include <limits>

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
