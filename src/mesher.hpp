// The pipeline a `Mesher` runs, with no interpreter in sight: it owns the validated settings,
// the worker pool, the output frame and the stored result of the last pass.
//
//   mesh(volume)  = extract -> smooth -> store
//   get(label)    = triangle mesh -> simplify -> normals
//
// The binding converts arguments and holds the interpreter's lock and the borrow; everything
// here throws InvalidArgument or LimitError with the final message for bad input, PoolError when
// workers cannot start, and InternalFault for a broken invariant.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "grid.hpp"
#include "mesh.hpp"
#include "orient.hpp"
#include "pool.hpp"
#include "records.hpp"
#include "smooth.hpp"

namespace tarna {

// Everything a Mesher is configured with, as converted from the caller's arguments, in the
// order they are checked.
struct Settings {
    std::vector<double> voxel_resolution{1.0, 1.0, 1.0};
    std::u32string axis_order = U"XYZ";
    bool y_down = false;
    SmoothingSettings smoothing;
    std::uint64_t threads = 0;  // 0: the process-wide shared pool; 1: the calling thread only
    QuoteChar quote = quote_ascii;
};

struct MeshRequest {
    bool close = false;
    std::optional<std::array<std::uint64_t, 3>> owned_shape;
};

struct GetRequest {
    bool normals = false;
    std::uint32_t reduction_factor = 0;  // 0 and 1 keep every face
    std::optional<double> max_error;     // absent: the coarsest voxel edge
};

class Mesher {
public:
    // Validates `settings` in their fixed order and starts the private pool when threads >= 2.
    explicit Mesher(const Settings& settings);

    std::size_t effective_threads() const;
    const OutputFrame& frame() const { return frame_; }
    const Extraction* extraction() const { return extraction_.get(); }
    std::size_t object_count() const { return extraction_ ? extraction_->sorted_labels.size() : 0; }

    // An owned region from the caller's extents; throws unless there are exactly three.
    static std::array<std::uint64_t, 3> owned_region(const std::vector<std::uint64_t>& extents);
    // Throws LimitError for an array whose fixed-point positions would overflow.
    static void check_volume_shape(const std::array<std::uint64_t, 3>& shape);

    // Drops the stored surfaces; mesh() starts with this, so two results never coexist. Their
    // arrays, emptied, are kept for the next mesh() to grow its own into.
    void discard() {
        if (extraction_) recycled_ = std::move(extraction_);
    }
    // One whole pass over `view`, stored in place of the previous result. Call without the
    // interpreter's lock: the parallel phases run in this Mesher's pool or the shared one.
    template <class Label>
    void mesh(const VolumeView<Label>& view, const MeshRequest& request);

    bool contains(std::uint64_t label) const;
    // Drops one object and frees its arrays; false when it is not stored.
    bool erase(std::uint64_t label);
    // Drops everything, including the remembered volume shape, the arrays kept for the next pass
    // and smoothing's working memory.
    void clear();

    // One object as a triangle mesh in output coordinates, or nothing when it is not stored.
    // Runs on the calling thread; never changes the store.
    std::optional<TriangleMesh> get(std::uint64_t label, const GetRequest& request) const;

private:
    OutputFrame frame_;
    Smoothing smoothing_;
    std::size_t threads_ = 0;
    std::unique_ptr<Extraction> extraction_;
    // The last result dropped by discard(): only its arrays' memory, for the next pass.
    std::unique_ptr<Extraction> recycled_;
    // Smoothing's working memory, kept for the next mesh(); clear() releases it.
    SmoothingMemory smoothing_memory_;
    // Declared last so it is released first: the workers stop before the surfaces are freed.
    std::shared_ptr<ThreadPool> pool_;  // only when threads >= 2
};

extern template void Mesher::mesh(const VolumeView<std::uint8_t>&, const MeshRequest&);
extern template void Mesher::mesh(const VolumeView<std::uint16_t>&, const MeshRequest&);
extern template void Mesher::mesh(const VolumeView<std::uint32_t>&, const MeshRequest&);
extern template void Mesher::mesh(const VolumeView<std::uint64_t>&, const MeshRequest&);

}  // namespace tarna
