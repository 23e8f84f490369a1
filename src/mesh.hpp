// From a stored label surface to an indexed triangle mesh in output coordinates: quads split
// along their shorter diagonal, unused vertices dropped, facing kept under mirroring mappings,
// and vertices where separate sheets of one surface touch split per fan. Also area-weighted
// vertex normals, and a mesh's area, enclosed volume and bounds.
#pragma once

#include <optional>
#include <vector>

#include "common.hpp"
#include "orient.hpp"
#include "records.hpp"

namespace tarna {

struct TriangleMesh {
    std::vector<Point3f> vertices;
    std::vector<Triangle> faces;
    std::vector<std::uint8_t> vertex_flags;  // stored boundary flag per vertex, or empty
    std::optional<std::vector<Point3f>> normals;
};

// Without normals: the pipeline computes them last, after any simplification.
TriangleMesh build_triangle_mesh(const LabelMesh& mesh, const CellField& cells, const OutputFrame& frame);

// Unit normals, the sum of each vertex's face normals weighted by area; (0, 0, 0) where that sum
// vanishes or is not a number.
std::vector<Point3f> vertex_normals(const std::vector<Point3f>& vertices, const std::vector<Triangle>& faces);

// Total area, the volume enclosed (the divergence theorem: meaningful only for a closed surface
// wound counter-clockwise seen from outside) and the bounding box of every vertex. Every face
// corner must name a vertex.
struct SurfaceMeasures {
    double area = 0.0;
    double volume = 0.0;
    Point3f low{0.0f, 0.0f, 0.0f};
    Point3f high{0.0f, 0.0f, 0.0f};
};
SurfaceMeasures measure_surface(const std::vector<Point3f>& vertices, const std::vector<Triangle>& faces);

}  // namespace tarna
