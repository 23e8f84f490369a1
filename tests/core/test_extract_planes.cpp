// Extraction through the voxel planes: the copy of C-ordered 32- and 64-bit labels takes groups
// of four columns at once, and must agree bit for bit with the column-at-a-time copy of other
// widths and with other memory orders, where groups mix constant and varying columns, where the grid
// reaches past the array (close), and across chunk and band boundaries.
#include <random>

#include "check.hpp"
#include "extract.hpp"
#include "same_extraction.hpp"

using namespace tarna;

namespace {

constexpr std::array<std::uint64_t, 3> SHAPE = {23, 6, 75};  // 75 slabs: several chunks of planes

// Label at (i0, i1, i2). Columns with i0 % 7 == 3, and the first ten of row i1 == 2, hold one
// label along axis 2 (so a group of four can hold one constant column, or several); the rest
// change in blocks of five slabs with some noise.
std::uint64_t label_at(std::uint64_t i0, std::uint64_t i1, std::uint64_t i2, std::mt19937_64& random) {
    if (i0 % 7 == 3 || (i1 == 2 && i0 < 10)) return 1 + (i0 + i1) % 3;
    if (random() % 10 == 0) return random() % 5;
    return (i0 / 4 + i1 / 3 + i2 / 5) % 4;
}

template <class Label>
struct Stored {
    std::vector<Label> memory;
    VolumeView<Label> view;
};

template <class Label>
Stored<Label> store(bool fortran) {
    std::mt19937_64 random(17);
    Stored<Label> stored;
    stored.memory.resize(SHAPE[0] * SHAPE[1] * SHAPE[2]);
    const std::int64_t s0 = std::int64_t(SHAPE[0]), s1 = std::int64_t(SHAPE[1]), s2 = std::int64_t(SHAPE[2]);
    stored.view.shape = SHAPE;
    stored.view.strides =
        fortran ? std::array<std::int64_t, 3>{1, s0, s0 * s1} : std::array<std::int64_t, 3>{s1 * s2, s2, 1};
    stored.view.data = stored.memory.data();
    // Same random sequence in every layout: values are drawn in logical order.
    for (std::uint64_t i0 = 0; i0 < SHAPE[0]; ++i0)
        for (std::uint64_t i1 = 0; i1 < SHAPE[1]; ++i1)
            for (std::uint64_t i2 = 0; i2 < SHAPE[2]; ++i2) {
                const std::int64_t at = std::int64_t(i0) * stored.view.strides[0] +
                                        std::int64_t(i1) * stored.view.strides[1] +
                                        std::int64_t(i2) * stored.view.strides[2];
                stored.memory[std::size_t(at)] = Label(label_at(i0, i1, i2, random));
            }
    return stored;
}

template <class Label>
Extraction extract(bool fortran, bool close, std::size_t threads) {
    const Stored<Label> stored = store<Label>(fortran);
    ExtractOptions options;
    options.close = close;
    options.max_bands = threads;
    options.bands.track_boundary = true;
    return tarna::extract(stored.view, options, Parallel(nullptr));
}

}  // namespace

TEST(four_column_copy_matches_column_copy_and_other_orders) {
    for (const bool close : {false, true}) {
        // 16-bit labels and Fortran order take the column-at-a-time paths.
        const Extraction reference = extract<std::uint16_t>(false, close, 1);
        CHECK(reference.surface_cells.size() > 1000);
        CHECK_EQ(reference.sorted_labels, (std::vector<std::uint64_t>{1, 2, 3, 4}));
        for (const std::size_t threads : {std::size_t(1), std::size_t(3)}) {
            check_same(reference, extract<std::uint32_t>(false, close, threads));
            check_same(reference, extract<std::uint32_t>(true, close, threads));
            check_same(reference, extract<std::uint64_t>(false, close, threads));
            check_same(reference, extract<std::uint64_t>(true, close, threads));
        }
    }
}
