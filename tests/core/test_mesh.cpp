// Triangle mesh building, output frame and vertex normals on tiny hand-built label meshes.
#include <cmath>

#include "check.hpp"
#include "mesh.hpp"

using namespace tarna;

namespace {

using Faces = std::vector<Triangle>;

// The single voxel with `close`: vertex v = o + 2m + 4g at ((2o-1)*43, (2m-1)*43, (2g-1)*43).
LabelMesh voxel_cube() {
    LabelMesh mesh;
    for (int v = 0; v < 8; ++v)
        mesh.positions.push_back({(2 * (v & 1) - 1) * 43, (2 * ((v >> 1) & 1) - 1) * 43, (2 * (v >> 2) - 1) * 43});
    mesh.quads = {{1, 0, 2, 3}, {4, 0, 1, 5}, {2, 0, 4, 6}, {7, 5, 1, 3}, {7, 3, 2, 6}, {7, 6, 4, 5}};
    return mesh;
}

// Appends the unit square  c---b   as quad (centre, a, b, c); its cut always runs centre-b,
//                          |   |   so both triangles hold the centre.
//                     centre---a
void add_square(LabelMesh& mesh, std::uint32_t centre, Position origin) {
    const auto base = static_cast<std::uint32_t>(mesh.positions.size());
    mesh.positions.push_back({origin[0] + 256, origin[1], origin[2]});
    mesh.positions.push_back({origin[0] + 256, origin[1] + 256, origin[2]});
    mesh.positions.push_back({origin[0], origin[1] + 256, origin[2]});
    mesh.quads.push_back({centre, base, base + 1, base + 2});
}

OutputFrame frame_of(std::array<std::size_t, 3> axes, std::array<bool, 3> flips) {
    OutputFrame frame;
    frame.axes = axes;
    frame.axis_flips = flips;
    frame.volume_shape = {1, 1, 1};
    return frame;
}

}  // namespace

TEST(square_cut_ignores_corner_rotation) {
    // Square (0,0)-(1,1): the diagonal through (0,0) holds the smallest end. Kite: the short
    // diagonal runs from (-100,0) to (100,0). Both cuts join stored vertices 0 and 2.
    const std::vector<std::vector<Position>> shapes = {
        {{0, 0, 0}, {256, 0, 0}, {256, 256, 0}, {0, 256, 0}},
        {{-100, 0, 0}, {0, -300, 0}, {100, 0, 0}, {0, 300, 0}},
    };
    for (const auto& shape : shapes) {
        for (std::uint32_t r = 0; r < 4; ++r) {
            LabelMesh mesh;
            mesh.positions = shape;
            mesh.quads = {{r, (r + 1) % 4, (r + 2) % 4, (r + 3) % 4}};
            const TriangleMesh out = build_triangle_mesh(mesh, CellField{}, OutputFrame{});
            CHECK_EQ(out.faces.size(), std::size_t{2});
            for (const Triangle& face : out.faces) {
                int on_cut = 0;
                for (const std::uint32_t corner : face) {
                    const Point3f p = out.vertices[corner];
                    for (const std::uint32_t end : {0u, 2u})
                        on_cut += p == Point3f{shape[end][0] / 256.0f, shape[end][1] / 256.0f, 0.0f};
                }
                CHECK_EQ(on_cut, 2);
            }
        }
    }
    // Equal lengths and equal low ends: the smaller high end, (0,5,0), picks the cut 1-3.
    LabelMesh mesh;
    mesh.positions = {{0, 0, 0}, {0, 0, 0}, {5, 0, 0}, {0, 5, 0}};
    mesh.quads = {{0, 1, 2, 3}};
    const float step = 5 * 0.00390625f;
    CHECK_EQ(build_triangle_mesh(mesh, CellField{}, OutputFrame{}).vertices,
             (std::vector<Point3f>{{0, 0, 0}, {step, 0, 0}, {0, step, 0}, {0, 0, 0}}));
    // Identical diagonals also pick 1-3; only the flags show which vertex came first.
    mesh.positions.assign(4, {3, 3, 3});
    mesh.boundary = {1, 0, 0, 0};
    CHECK_EQ(build_triangle_mesh(mesh, CellField{}, OutputFrame{}).vertex_flags,
             (std::vector<std::uint8_t>{0, 0, 0, 1}));
}

TEST(odd_mappings_swap_the_last_two_corners) {
    const Faces identity = build_triangle_mesh(voxel_cube(), CellField{}, OutputFrame{}).faces;
    Faces swapped = identity;
    for (Triangle& face : swapped) std::swap(face[1], face[2]);
    CHECK_EQ(build_triangle_mesh(voxel_cube(), CellField{}, frame_of({1, 0, 2}, {})).faces, swapped);
    CHECK_EQ(build_triangle_mesh(voxel_cube(), CellField{}, frame_of({1, 0, 2}, {false, false, true})).faces, identity);
    CHECK_EQ(build_triangle_mesh(voxel_cube(), CellField{}, frame_of({0, 1, 2}, {false, true, false})).faces, swapped);
}

TEST(faces_and_normals_point_outward_in_every_frame) {
    const std::vector<std::array<std::size_t, 3>> perms = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                                           {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (const auto& axes : perms) {
        for (int mask = 0; mask < 8; ++mask) {
            OutputFrame frame = frame_of(axes, {(mask & 1) != 0, (mask & 2) != 0, (mask & 4) != 0});
            frame.voxel_resolution = {2.0, 0.5, 3.0};
            frame.volume_shape = {4, 1, 7};
            TriangleMesh out = build_triangle_mesh(voxel_cube(), CellField{}, frame);
            out.normals = vertex_normals(out.vertices, out.faces);
            std::array<double, 3> centre{};
            for (const Point3f& p : out.vertices)
                for (int k = 0; k < 3; ++k) centre[k] += p[k] / 8.0;
            for (const Triangle& f : out.faces) {
                const Point3f &a = out.vertices[f[0]], &b = out.vertices[f[1]], &c = out.vertices[f[2]];
                const std::array<double, 3> u{b[0] - a[0], b[1] - a[1], b[2] - a[2]};
                const std::array<double, 3> w{c[0] - a[0], c[1] - a[1], c[2] - a[2]};
                const double outward = (u[1] * w[2] - u[2] * w[1]) * (a[0] - centre[0]) +
                                       (u[2] * w[0] - u[0] * w[2]) * (a[1] - centre[1]) +
                                       (u[0] * w[1] - u[1] * w[0]) * (a[2] - centre[2]);
                CHECK(outward > 0.0);
            }
            for (std::size_t i = 0; i < out.vertices.size(); ++i) {
                const Point3f n = (*out.normals)[i];
                double dot = 0.0;
                for (int k = 0; k < 3; ++k) dot += n[k] * (out.vertices[i][k] - centre[k]);
                CHECK(dot > 0.0);
                CHECK(std::abs(n[0] * n[0] + n[1] * n[1] + n[2] * n[2] - 1.0f) < 1e-6f);
            }
        }
    }
}

TEST(output_position_maps_mirrors_and_scales) {
    OutputFrame frame;
    frame.voxel_resolution = {2.0, 3.0, 0.5};
    frame.volume_shape = {5, 3, 0};
    frame.axis_flips = {true, false, true};
    const Position stored{0, 256, -128};
    // Axis 0 mirrored: index 0 lands at (5-1)*2; axis 2 has extent 0, so it mirrors about -1/2.
    CHECK_EQ(output_position(stored, frame), (std::array<double, 3>{8.0, 3.0, -0.25}));
    frame.axes = {2, 0, 1};
    CHECK_EQ(output_position(stored, frame), (std::array<double, 3>{3.0, -0.25, 8.0}));
    CHECK_EQ(output_position({1, -1, 0}, OutputFrame{}), (std::array<double, 3>{0.00390625, -0.00390625, 0.0}));
}

TEST(separate_fans_get_their_own_vertices) {
    // Q (stored 1) carries two squares, P (stored 0) three; each square touches the others only at
    // its centre. Q is used first, so it is renumbered 0 and P 4.
    LabelMesh mesh;
    mesh.positions = {{0, 0, 0}, {1024, 0, 0}};
    for (const std::uint32_t centre : {1u, 0u, 1u, 0u, 0u}) add_square(mesh, centre, mesh.positions[centre]);
    mesh.positions.push_back({9, 9, 9});  // stored 17: referenced by no quad
    mesh.ambiguous = {17, 1, 0};
    mesh.boundary.assign(mesh.positions.size(), 0);
    mesh.boundary[0] = 1;
    const TriangleMesh out = build_triangle_mesh(mesh, CellField{}, OutputFrame{});
    CHECK_EQ(out.faces, (Faces{{0, 1, 2},
                               {0, 2, 3},
                               {4, 5, 6},
                               {4, 6, 7},
                               {17, 8, 9},
                               {17, 9, 10},
                               {18, 11, 12},
                               {18, 12, 13},
                               {19, 14, 15},
                               {19, 15, 16}}));
    CHECK_EQ(out.vertices.size(), std::size_t{20});
    CHECK_EQ(out.vertices[17], out.vertices[0]);
    CHECK_EQ(out.vertices[18], (Point3f{0.0f, 0.0f, 0.0f}));
    CHECK_EQ(out.vertices[19], (Point3f{0.0f, 0.0f, 0.0f}));
    std::vector<std::uint8_t> flags(20, 0);
    flags[4] = flags[18] = flags[19] = 1;
    CHECK_EQ(out.vertex_flags, flags);
}

TEST(connected_fans_are_left_alone) {
    // Around centre 0:  a closed disc of four squares, an open fan of two, and a lone triangle
    // (the centre as corner a of a square, off its cut).
    std::vector<LabelMesh> cases(3);
    cases[0].positions = cases[1].positions = cases[2].positions = {{0, 0, 0}};
    cases[0].positions.insert(cases[0].positions.end(), {{256, 0, 0},
                                                         {256, 256, 0},
                                                         {0, 256, 0},
                                                         {-256, 256, 0},
                                                         {-256, 0, 0},
                                                         {-256, -256, 0},
                                                         {0, -256, 0},
                                                         {256, -256, 0}});
    cases[0].quads = {{0, 1, 2, 3}, {0, 3, 4, 5}, {0, 5, 6, 7}, {0, 7, 8, 1}};
    add_square(cases[1], 0, {0, 0, 0});
    cases[1].positions.insert(cases[1].positions.end(), {{-256, 256, 0}, {-256, 0, 0}});
    cases[1].quads.push_back({0, 3, 4, 5});
    cases[2].positions.insert(cases[2].positions.end(), {{-256, 0, 0}, {0, 256, 0}, {-256, 256, 0}});
    cases[2].quads = {{1, 0, 2, 3}};
    for (LabelMesh& mesh : cases) {
        const TriangleMesh plain = build_triangle_mesh(mesh, CellField{}, OutputFrame{});
        mesh.ambiguous = {0};
        const TriangleMesh split = build_triangle_mesh(mesh, CellField{}, OutputFrame{});
        CHECK_EQ(split.faces, plain.faces);
        CHECK_EQ(split.vertices.size(), mesh.positions.size());
        CHECK(split.vertex_flags.empty());
    }
}

TEST(edge_of_four_triangles_joins_nothing) {
    // Two squares on the same cut 0-1: the edge (0, 1) is held by all four triangles. Splitting 0
    // first leaves vertex 1 with four triangles that share no edge at all.
    LabelMesh mesh;
    mesh.positions = {{0, 0, 0}, {256, 256, 0}, {256, 0, 0}, {0, 256, 0}, {256, 0, 0}, {0, 256, 0}};
    mesh.quads = {{0, 2, 1, 3}, {0, 4, 1, 5}};
    mesh.ambiguous = {0, 1};
    const TriangleMesh out = build_triangle_mesh(mesh, CellField{}, OutputFrame{});
    CHECK_EQ(out.faces, (Faces{{0, 1, 2}, {6, 9, 3}, {7, 4, 10}, {8, 11, 5}}));
    CHECK_EQ(out.vertices.size(), std::size_t{12});
    for (std::uint32_t i : {6, 7, 8}) CHECK_EQ(out.vertices[i], out.vertices[0]);
    for (std::uint32_t i : {9, 10, 11}) CHECK_EQ(out.vertices[i], out.vertices[2]);
}

TEST(unused_vertices_are_dropped) {
    LabelMesh mesh;
    mesh.positions = {{7, 7, 7}, {0, 0, 0}, {256, 0, 0}, {256, 256, 0}, {0, 256, 0}, {7, 7, 7}};
    mesh.quads = {{1, 2, 3, 4}};
    const TriangleMesh out = build_triangle_mesh(mesh, CellField{}, OutputFrame{});
    CHECK_EQ(out.vertices, (std::vector<Point3f>{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}));
    CHECK_EQ(out.faces, (Faces{{0, 1, 2}, {0, 2, 3}}));
}

TEST(empty_object_and_broken_indices) {
    LabelMesh mesh;
    mesh.positions = {{0, 0, 0}};
    const TriangleMesh out = build_triangle_mesh(mesh, CellField{}, OutputFrame{});
    CHECK(out.vertices.empty() && out.faces.empty() && !out.normals.has_value());
    CHECK(vertex_normals({}, {}).empty());

    for (int broken = 0; broken < 2; ++broken) {
        LabelMesh bad = voxel_cube();
        if (broken == 0)
            bad.quads[3][2] = 8;
        else
            bad.ambiguous = {0, 8};
        bool faulted = false;
        try {
            build_triangle_mesh(bad, CellField{}, OutputFrame{});
        } catch (const InternalFault&) {
            faulted = true;
        }
        CHECK(faulted);
    }
}

TEST(normals_weigh_by_area_and_cancel) {
    // Vertex 0 joins a face of area 1/2 in z = 0 and one of area 2 in x = 0; vertex 5 is unused.
    const std::vector<Point3f> vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 2, 0}, {0, 0, 2}, {3, 3, 3}};
    const std::vector<Point3f> normals = vertex_normals(vertices, {{0, 1, 2}, {0, 3, 4}});
    const double length = std::sqrt(17.0);
    CHECK_EQ(normals[0], (Point3f{static_cast<float>(4.0 / length), 0.0f, static_cast<float>(1.0 / length)}));
    CHECK_EQ(normals[1], (Point3f{0.0f, 0.0f, 1.0f}));
    CHECK_EQ(normals[4], (Point3f{1.0f, 0.0f, 0.0f}));
    CHECK_EQ(normals[5], (Point3f{0.0f, 0.0f, 0.0f}));
    // The same face twice, once reversed: every corner cancels.
    for (const Point3f& n : vertex_normals(vertices, {{0, 1, 2}, {0, 2, 1}})) CHECK_EQ(n, (Point3f{0.0f, 0.0f, 0.0f}));
}
