// Field-by-field equality of two extraction results, shared by the core tests.
#pragma once

#include <algorithm>

#include "check.hpp"
#include "extract.hpp"

// A label's quads in 32-bit indices, however they are stored.
inline std::vector<tarna::Quad> quads_of(const tarna::LabelMesh& mesh) {
    std::vector<tarna::Quad> quads;
    tarna::for_each_quad(mesh, [&](const tarna::Quad& quad) {
        quads.push_back(quad);
        return true;
    });
    return quads;
}

// A label's mesh with every vertex's position written out, whether it has its own or shares its
// cells'.
inline tarna::LabelMesh materialised(const tarna::Extraction& extraction, std::size_t j) {
    tarna::LabelMesh mesh = extraction.meshes[j];
    if (mesh.positions.empty()) {
        for (const std::uint32_t cell : mesh.cells)
            mesh.positions.push_back(extraction.surface_cells.positions.at(cell));
    }
    return mesh;
}

inline void check_same(const tarna::Extraction& a, const tarna::Extraction& b) {
    CHECK_EQ(a.sorted_labels, b.sorted_labels);
    CHECK_EQ(a.cell_shape, b.cell_shape);
    CHECK(a.surface_cells.positions == b.surface_cells.positions);
    CHECK(a.surface_cells.cell_ids == b.surface_cells.cell_ids);
    CHECK(a.surface_cells.edge_masks == b.surface_cells.edge_masks);
    CHECK(a.surface_cells.boundary == b.surface_cells.boundary);
    CHECK_EQ(a.meshes.size(), b.meshes.size());
    for (std::size_t j = 0; j < std::min(a.meshes.size(), b.meshes.size()); ++j) {
        CHECK(a.meshes[j].positions == b.meshes[j].positions);
        CHECK(a.meshes[j].cells == b.meshes[j].cells);
        CHECK(quads_of(a.meshes[j]) == quads_of(b.meshes[j]));
        CHECK(a.meshes[j].ambiguous == b.meshes[j].ambiguous);
        CHECK(a.meshes[j].boundary == b.meshes[j].boundary);
        CHECK(a.meshes[j].boundary_in_cells == b.meshes[j].boundary_in_cells);
    }
}
