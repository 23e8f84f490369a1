// The pipeline of a Mesher; see mesher.hpp.
#include "mesher.hpp"

#include <algorithm>

#include "extract.hpp"
#include "simplify.hpp"

namespace tarna {

Mesher::Mesher(const Settings& settings)
    : frame_(make_frame(settings.voxel_resolution, settings.axis_order, settings.y_down, settings.quote)),
      smoothing_(choose_smoothing(settings.smoothing)),
      threads_(std::size_t(settings.threads)) {
    if (threads_ >= 2) pool_ = std::make_shared<ThreadPool>(threads_);
}

std::size_t Mesher::effective_threads() const { return threads_ != 0 ? threads_ : shared_pool_size(); }

std::array<std::uint64_t, 3> Mesher::owned_region(const std::vector<std::uint64_t>& extents) {
    if (extents.size() != 3)
        throw InvalidArgument("owned_shape must have 3 entries, got " + std::to_string(extents.size()));
    return {extents[0], extents[1], extents[2]};
}

void Mesher::check_volume_shape(const std::array<std::uint64_t, 3>& shape) {
    for (const std::uint64_t extent : shape) {
        if (extent > MAX_EXTENT) {
            throw LimitError("labels extents must not exceed " + std::to_string(MAX_EXTENT) +
                             " on any axis (32-bit fixed-point positions); got " + std::to_string(extent));
        }
    }
}

template <class Label>
void Mesher::mesh(const VolumeView<Label>& view, const MeshRequest& request) {
    discard();
    check_volume_shape(view.shape);
    ExtractOptions options;
    options.close = request.close;
    options.bands.has_owned = request.owned_shape.has_value();
    if (request.owned_shape) options.bands.owned = *request.owned_shape;
    // Smoothing must not move the vertices where the surface is cut open (at the array's edge,
    // or at the owned region's, where a neighbouring block continues it).
    options.bands.track_boundary = iteration_count(smoothing_) != 0 && (!request.close || request.owned_shape);

    // The previous result's memory goes to this pass, or back to the system if the pass fails.
    const std::unique_ptr<Extraction> recycled = std::move(recycled_);
    auto pass = [&](const Parallel& parallel) {
        Extraction extraction = extract(view, options, parallel, recycled.get());
        smooth(extraction, smoothing_, parallel, &smoothing_memory_);
        return extraction;
    };
    Extraction result;
    if (pool_) {
        pool_->run_inside([&] { result = pass(Parallel(pool_.get())); });
    } else if (threads_ == 1) {
        result = pass(Parallel(nullptr));
    } else {
        result = pass(Parallel(&shared_pool()));
    }
    frame_.volume_shape = view.shape;
    extraction_ = std::make_unique<Extraction>(std::move(result));
}

template void Mesher::mesh(const VolumeView<std::uint8_t>&, const MeshRequest&);
template void Mesher::mesh(const VolumeView<std::uint16_t>&, const MeshRequest&);
template void Mesher::mesh(const VolumeView<std::uint32_t>&, const MeshRequest&);
template void Mesher::mesh(const VolumeView<std::uint64_t>&, const MeshRequest&);

bool Mesher::contains(std::uint64_t label) const {
    return extraction_ && lookup_label(extraction_->sorted_labels, label) != SIZE_MAX;
}

bool Mesher::erase(std::uint64_t label) {
    if (!extraction_) return false;
    const std::size_t index = lookup_label(extraction_->sorted_labels, label);
    if (index == SIZE_MAX) return false;
    extraction_->sorted_labels.erase(extraction_->sorted_labels.begin() + std::ptrdiff_t(index));
    extraction_->meshes.erase(extraction_->meshes.begin() + std::ptrdiff_t(index));  // frees its arrays now
    return true;
}

void Mesher::clear() {
    extraction_.reset();
    recycled_.reset();
    smoothing_memory_ = SmoothingMemory{};
    frame_.volume_shape = {0, 0, 0};
}

std::optional<TriangleMesh> Mesher::get(std::uint64_t label, const GetRequest& request) const {
    if (!extraction_) throw InvalidArgument("no volume has been meshed yet; call mesh() first");
    const std::size_t index = lookup_label(extraction_->sorted_labels, label);
    if (index == SIZE_MAX) return std::nullopt;
    const auto& resolution = frame_.voxel_resolution;
    const double max_error = request.max_error.value_or(std::max({resolution[0], resolution[1], resolution[2]}));
    // -0.0 and NaN pass: neither is below zero.
    if (max_error < 0) throw InvalidArgument("max_error must be non-negative");

    TriangleMesh mesh = build_triangle_mesh(extraction_->meshes[index], extraction_->surface_cells, frame_);
    if (request.reduction_factor >= 2) {
        const std::size_t target = mesh.faces.size() / request.reduction_factor;
        mesh = simplify(std::move(mesh), target, max_error);
    }
    // An object without faces gets no normals, even when asked for.
    if (request.normals && !mesh.faces.empty()) mesh.normals = vertex_normals(mesh.vertices, mesh.faces);
    return mesh;
}

}  // namespace tarna
