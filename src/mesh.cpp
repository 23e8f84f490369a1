// Triangle mesh of one stored label surface, in output coordinates.
// Input: a `LabelMesh` (quads over fixed-point positions) and the `OutputFrame`.
// Output: a `TriangleMesh` whose faces are wound counter-clockwise seen from outside in the
// right-handed output frame, holding only used vertices, manifold around every vertex the
// extraction flagged as ambiguous (each fan of triangles around it gets its own copy).
// Also area-weighted vertex normals: the sum of unnormalised face normals per vertex.
#include "mesh.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace tarna {

namespace {

// Exact for the distances that occur: quad corners sit in neighbouring cells, a few hundred
// fixed-point units apart. Unsigned so that an absurd input wraps instead of overflowing.
std::uint64_t squared_distance(const Position& a, const Position& b) {
    std::uint64_t sum = 0;
    for (std::size_t k = 0; k < 3; ++k) {
        const auto delta = static_cast<std::uint64_t>(std::int64_t{a[k]} - std::int64_t{b[k]});
        sum += delta * delta;
    }
    return sum;
}

// True when the quad is cut along q0-q2. Ties are broken by the diagonals' end positions alone,
// never by vertex numbers, so a square gets the same cut whatever the rotation of its corners.
bool cut_along_first_diagonal(const Position& p0, const Position& p1, const Position& p2, const Position& p3) {
    const std::uint64_t first = squared_distance(p0, p2);
    const std::uint64_t second = squared_distance(p1, p3);
    if (first != second) return first < second;
    const auto [low_first, high_first] = std::minmax(p0, p2);
    const auto [low_second, high_second] = std::minmax(p1, p3);
    return std::tie(low_first, high_first) < std::tie(low_second, high_second);
}

// Two triangles per quad, in quad order, keeping the quad's cyclic order (and so its facing).
void split_quads(const LabelMesh& mesh, const Position* positions, std::size_t count,
                 std::vector<Triangle>& triangles) {
    triangles.resize(quad_count(mesh) * 2);
    Triangle* out = triangles.data();
    for_each_quad(mesh, [&](const Quad& q) {
        for (const std::uint32_t corner : q) {
            TARNA_ASSERT(corner < count, "quad corner index out of range");
        }
        if (cut_along_first_diagonal(positions[q[0]], positions[q[1]], positions[q[2]], positions[q[3]])) {
            out[0] = {q[0], q[1], q[2]};
            out[1] = {q[0], q[2], q[3]};
        } else {
            out[0] = {q[1], q[2], q[3]};
            out[1] = {q[1], q[3], q[0]};
        }
        out += 2;
        return true;
    });
}

// Dense numbering in order of first use; writes the triangles over the new numbers, with b and c
// swapped when the output mapping mirrors, so the facing survives the mapping.
void renumber(std::vector<Triangle>& triangles, std::vector<std::uint32_t>& new_index, std::vector<std::uint32_t>& used,
              bool odd) {
    for (Triangle& triangle : triangles) {
        for (std::uint32_t& corner : triangle) {
            std::uint32_t& index = new_index[corner];
            if (index == NONE) {
                index = static_cast<std::uint32_t>(used.size());
                used.push_back(corner);
            }
            corner = index;
        }
        if (odd) std::swap(triangle[1], triangle[2]);
    }
}

struct Neighbour {
    std::uint32_t count = 0;  // triangles of the fan list holding this vertex
    std::uint32_t first = 0;  // position in the list of the first of them
};

// Union-find with path halving: each visited element is re-pointed to its grandparent.
std::uint32_t find_root(std::vector<std::uint32_t>& parent, std::uint32_t element) {
    while (parent[element] != element) {
        parent[element] = parent[parent[element]];
        element = parent[element];
    }
    return element;
}

// Gives every fan of triangles around an ambiguous vertex its own vertex. Fans are joined through
// edges held by exactly two of the vertex's triangles; an edge held by three or more (two sheets
// crossing) joins nothing. Returns `order`: for each output vertex, the renumbered vertex it
// copies (identity over the first `vertex_count`, then the copies).
std::vector<std::uint32_t> split_ambiguous_vertices(std::vector<Triangle>& triangles, std::uint32_t vertex_count,
                                                    const std::vector<std::uint32_t>& ambiguous,
                                                    const std::vector<std::uint32_t>& new_index) {
    std::vector<std::uint32_t> order(vertex_count);
    for (std::uint32_t i = 0; i < vertex_count; ++i) order[i] = i;

    // slot[v]: position of v among the marked vertices, ascending by v; NONE when unmarked.
    std::vector<std::uint32_t> slot(vertex_count, NONE);
    for (const std::uint32_t stored : ambiguous) {
        TARNA_ASSERT(stored < new_index.size(), "ambiguous vertex index out of range");
        if (new_index[stored] != NONE) slot[new_index[stored]] = 0;
    }
    std::vector<std::uint32_t> marked;
    for (std::uint32_t v = 0; v < vertex_count; ++v) {
        if (slot[v] == NONE) continue;
        slot[v] = static_cast<std::uint32_t>(marked.size());
        marked.push_back(v);
    }
    if (marked.empty()) return order;

    // Incident triangles per marked vertex as offsets plus data; filled in triangle order, so
    // each list ascends.
    std::vector<std::size_t> offsets(marked.size() + 1, 0);
    for (const Triangle& triangle : triangles) {
        for (const std::uint32_t corner : triangle) {
            if (slot[corner] != NONE) ++offsets[slot[corner] + 1];
        }
    }
    std::size_t longest = 0;
    for (std::size_t s = 0; s < marked.size(); ++s) {
        longest = std::max(longest, offsets[s + 1]);
        offsets[s + 1] += offsets[s];
    }
    std::vector<std::uint32_t> incident(offsets.back());
    {
        std::vector<std::size_t> cursor(offsets.begin(), offsets.end() - 1);
        for (std::size_t t = 0; t < triangles.size(); ++t) {
            for (const std::uint32_t corner : triangles[t]) {
                if (slot[corner] != NONE) incident[cursor[slot[corner]]++] = static_cast<std::uint32_t>(t);
            }
        }
    }

    // Scratch shared by all marked vertices; the map is cleared, never freed, between them.
    FxMap<std::uint32_t, Neighbour> neighbours(2 * longest);
    std::vector<std::uint32_t> parent(longest);
    std::vector<std::uint32_t> group_vertex(longest);

    for (std::size_t s = 0; s < marked.size(); ++s) {
        const std::uint32_t v = marked[s];
        TARNA_ASSERT(offsets[s + 1] > offsets[s], "ambiguous vertex missing from the incident lists");
        const std::uint32_t* fan = incident.data() + offsets[s];
        const auto fan_size = static_cast<std::uint32_t>(offsets[s + 1] - offsets[s]);
        if (fan_size < 2) continue;

        // note: triangles already carry the copies made for lower vertices, so an edge towards a
        // split neighbour may no longer be shared here.
        neighbours.clear();
        for (std::uint32_t j = 0; j < fan_size; ++j) {
            for (const std::uint32_t w : triangles[fan[j]]) {
                if (w == v) continue;
                ++neighbours.insert(w, Neighbour{0, j}).first->count;
            }
        }

        for (std::uint32_t j = 0; j < fan_size; ++j) parent[j] = j;
        for (std::uint32_t j = 0; j < fan_size; ++j) {
            for (const std::uint32_t w : triangles[fan[j]]) {
                if (w == v) continue;
                const Neighbour* edge = neighbours.find(w);
                if (edge->count != 2 || edge->first == j) continue;
                const std::uint32_t root_a = find_root(parent, j);
                const std::uint32_t root_b = find_root(parent, edge->first);
                if (root_a != root_b) parent[root_a] = root_b;
            }
        }

        // The group met first (holding the lowest triangle) keeps v; later groups get copies,
        // numbered in the order they are met.
        std::fill(group_vertex.begin(), group_vertex.begin() + fan_size, NONE);
        bool first_group = true;
        for (std::uint32_t j = 0; j < fan_size; ++j) {
            const std::uint32_t root = find_root(parent, j);
            if (group_vertex[root] == NONE) {
                if (first_group) {
                    group_vertex[root] = v;
                    first_group = false;
                } else {
                    if (order.size() >= NONE) throw LimitError("too many vertices for 32-bit indices");
                    group_vertex[root] = static_cast<std::uint32_t>(order.size());
                    order.push_back(v);
                }
            }
            for (std::uint32_t& corner : triangles[fan[j]]) {
                if (corner == v) corner = group_vertex[root];
            }
        }
    }
    return order;
}

}  // namespace

TriangleMesh build_triangle_mesh(const LabelMesh& mesh, const CellField& cells, const OutputFrame& frame) {
    TriangleMesh result;
    if (quad_count(mesh) == 0) return result;
    const std::size_t stored_vertices = vertex_count(mesh);
    TARNA_ASSERT(mesh.boundary.empty() || mesh.boundary.size() == stored_vertices,
                 "boundary flags do not match the vertex count");
    if (mesh.positions.empty() || mesh.boundary_in_cells) {
        for (const std::uint32_t cell : mesh.cells) TARNA_ASSERT(cell < cells.size(), "vertex cell index out of range");
    }
    TARNA_ASSERT(
        !mesh.boundary_in_cells || (mesh.cells.size() == stored_vertices && cells.boundary.size() == cells.size()),
        "boundary flags do not match the vertex count");
    // Triangle numbers are kept in 32-bit incident lists.
    if (quad_count(mesh) > NONE / 2) throw LimitError("too many faces for 32-bit indices");

    // Each vertex's position read once, in vertex order (its cells ascend through the CellField):
    // the quads then look their corners up in this short array, not all over the CellField.
    std::vector<Position> gathered;
    const Position* positions_of = mesh.positions.data();
    if (mesh.positions.empty()) {
        gathered.resize(stored_vertices);
        for (std::size_t k = 0; k < stored_vertices; ++k) {
            if (k + CELL_FETCH_AHEAD < stored_vertices)
                __builtin_prefetch(&cells.positions[mesh.cells[k + CELL_FETCH_AHEAD]]);
            gathered[k] = cells.positions[mesh.cells[k]];
        }
        positions_of = gathered.data();
    }

    std::vector<Triangle>& triangles = result.faces;
    split_quads(mesh, positions_of, stored_vertices, triangles);

    std::vector<std::uint32_t> new_index(stored_vertices, NONE);
    std::vector<std::uint32_t> used;
    used.reserve(std::min(stored_vertices, triangles.size() * 3));
    renumber(triangles, new_index, used, odd_parity(frame));
    const auto vertex_count = static_cast<std::uint32_t>(used.size());

    std::vector<Point3f> positions(vertex_count);
    for (std::uint32_t i = 0; i < vertex_count; ++i) {
        const std::array<double, 3> output = output_position(positions_of[used[i]], frame);
        positions[i] = {static_cast<float>(output[0]), static_cast<float>(output[1]), static_cast<float>(output[2])};
    }

    const std::vector<std::uint32_t> order =
        split_ambiguous_vertices(triangles, vertex_count, mesh.ambiguous, new_index);

    // Copies take the position of the vertex they split; they always copy an original vertex.
    positions.resize(order.size());
    for (std::size_t i = vertex_count; i < order.size(); ++i) positions[i] = positions[order[i]];
    result.vertices = std::move(positions);

    if (has_boundary(mesh)) {
        result.vertex_flags.resize(order.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            result.vertex_flags[i] = vertex_boundary(mesh, cells, used[order[i]]);
    }
    return result;
}

std::vector<Point3f> vertex_normals(const std::vector<Point3f>& vertices, const std::vector<Triangle>& faces) {
    std::vector<std::array<double, 3>> sums(vertices.size(), std::array<double, 3>{0.0, 0.0, 0.0});
    for (const Triangle& face : faces) {
        for (const std::uint32_t corner : face) {
            TARNA_ASSERT(corner < vertices.size(), "face corner index out of range");
        }
        std::array<std::array<double, 3>, 3> p;
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t k = 0; k < 3; ++k) p[c][k] = static_cast<double>(vertices[face[c]][k]);
        }
        const std::array<double, 3> u{p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
        const std::array<double, 3> w{p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
        // Unnormalised: its length is twice the face's area, so larger faces weigh more.
        const std::array<double, 3> n{u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]};
        for (const std::uint32_t corner : face) {
            for (std::size_t k = 0; k < 3; ++k) sums[corner][k] += n[k];
        }
    }

    std::vector<Point3f> result(vertices.size(), Point3f{0.0f, 0.0f, 0.0f});
    for (std::size_t i = 0; i < sums.size(); ++i) {
        const auto& sum = sums[i];
        const double length_squared = sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2];
        // Written as a positive test so a NaN sum also falls through to (0, 0, 0).
        if (length_squared > 0.0) {
            const double length = std::sqrt(length_squared);
            result[i] = {static_cast<float>(sum[0] / length), static_cast<float>(sum[1] / length),
                         static_cast<float>(sum[2] / length)};
        }
    }
    return result;
}

SurfaceMeasures measure_surface(const std::vector<Point3f>& vertices, const std::vector<Triangle>& faces) {
    SurfaceMeasures result;
    if (vertices.empty()) {
        TARNA_ASSERT(faces.empty(), "measured face corner index out of range");
        return result;
    }
    result.low = result.high = vertices[0];
    for (const Point3f& vertex : vertices) {
        for (std::size_t k = 0; k < 3; ++k) {
            result.low[k] = std::min(result.low[k], vertex[k]);
            result.high[k] = std::max(result.high[k], vertex[k]);
        }
    }
    // Taken about the first vertex, so the products stay small next to the sums.
    const Point3f& origin = vertices[0];
    auto local = [&](std::uint32_t index) {
        const Point3f& p = vertices[index];
        return std::array<double, 3>{double(p[0]) - double(origin[0]), double(p[1]) - double(origin[1]),
                                     double(p[2]) - double(origin[2])};
    };
    double twice_area = 0.0, six_volume = 0.0;
    for (const Triangle& face : faces) {
        for (const std::uint32_t corner : face) {
            TARNA_ASSERT(corner < vertices.size(), "measured face corner index out of range");
        }
        const auto p0 = local(face[0]), p1 = local(face[1]), p2 = local(face[2]);
        const std::array<double, 3> u{p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
        const std::array<double, 3> w{p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
        const std::array<double, 3> n{u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]};
        twice_area += std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        six_volume += p0[0] * n[0] + p0[1] * n[1] + p0[2] * n[2];
    }
    result.area = twice_area / 2.0;
    result.volume = six_volume / 6.0;
    return result;
}

}  // namespace tarna
