// The volume view: virtual background border, corner packing, and the cell grid's extent.
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "grid.hpp"

using namespace tarna;

namespace {

// A 2 x 3 x 4 volume, C order, voxel (i, j, k) holding 1 + i + 2j + 6k (never background).
template <class Label>
std::vector<Label> numbered() {
    std::vector<Label> data(24);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 4; ++k) data[i * 12 + j * 4 + k] = Label(1 + i + 2 * j + 6 * k);
    return data;
}

template <class Label>
VolumeView<Label> c_order(const std::vector<Label>& data) {
    VolumeView<Label> view;
    view.data = data.data();
    view.shape = {2, 3, 4};
    view.strides = {12, 4, 1};
    return view;
}

template <class Label>
void check_border_reads() {
    const auto data = numbered<Label>();
    const auto view = c_order(data);
    // The cell below the array's first voxel sees it as corner 7 only.
    const auto low = cell_corners(view, {-1, -1, -1});
    for (unsigned k = 0; k < 8; ++k) CHECK_EQ(corner_label(low, k), k == 7 ? std::uint64_t(1) : std::uint64_t(0));
    // The cell named by the last voxel sees it as corner 0 only.
    const auto high = cell_corners(view, {1, 2, 3});
    for (unsigned k = 0; k < 8; ++k) CHECK_EQ(corner_label(high, k), k == 0 ? std::uint64_t(24) : std::uint64_t(0));
    // An inner cell reads corner k at offset (k & 1, k >> 1 & 1, k >> 2 & 1).
    const auto inner = cell_corners(view, {0, 1, 2});
    for (unsigned k = 0; k < 8; ++k) {
        const auto offset = corner_offset(k);
        CHECK_EQ(corner_label(inner, k), std::uint64_t(1 + offset[0] + 2 * (1 + offset[1]) + 6 * (2 + offset[2])));
    }
    CHECK(!corners_uniform(inner));
    CHECK(corners_uniform(cell_corners(view, {5, 5, 5})));
}

}  // namespace

TEST(cell_corners_read_the_virtual_border) {
    check_border_reads<std::uint8_t>();
    check_border_reads<std::uint16_t>();
    check_border_reads<std::uint32_t>();
    check_border_reads<std::uint64_t>();
}

TEST(negative_strides_read_the_same_labels) {
    const auto data = numbered<std::uint32_t>();
    // The same content reversed in memory along axis 2, read back through a negative stride.
    std::vector<std::uint32_t> reversed(24);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 4; ++k) reversed[i * 12 + j * 4 + (3 - k)] = data[i * 12 + j * 4 + k];
    VolumeView<std::uint32_t> view;
    view.data = reversed.data() + 3;
    view.shape = {2, 3, 4};
    view.strides = {12, 4, -1};
    const auto plain = c_order(data);
    for (std::int64_t x = -1; x < 2; ++x)
        for (std::int64_t y = -1; y < 3; ++y)
            for (std::int64_t z = -1; z < 4; ++z)
                CHECK_EQ(cell_corners(view, {x, y, z}), cell_corners(plain, {x, y, z}));
}

TEST(corner_edges_follow_the_edge_numbering) {
    for (unsigned c = 0; c < 8; ++c) {
        for (unsigned k = 0; k < 3; ++k) {
            const unsigned edge = CORNER_EDGES[c][k];
            CHECK_EQ(unsigned(EDGE_AXIS[edge]), k);
            const unsigned a = EDGE_CORNERS[edge][0], b = EDGE_CORNERS[edge][1];
            CHECK(a < b);
            CHECK((a == c && b == (c ^ (1u << k))) || (b == c && a == (c ^ (1u << k))));
        }
    }
}

TEST(cell_grid_extent) {
    CHECK_EQ(CellGrid({1, 1, 1}, false).dims, (std::array<std::uint64_t, 3>{0, 0, 0}));
    CHECK_EQ(CellGrid({1, 1, 1}, true).dims, (std::array<std::uint64_t, 3>{2, 2, 2}));
    CHECK_EQ(CellGrid({10, 10, 20}, false).dims, (std::array<std::uint64_t, 3>{9, 9, 19}));
    CHECK_EQ(CellGrid({10, 10, 20}, true).origin, std::int64_t(-1));
    CHECK_EQ(CellGrid({10, 1, 20}, false).dims, (std::array<std::uint64_t, 3>{0, 0, 0}));
    // A zero extent empties the grid even where the padded formula would give one cell.
    CHECK(CellGrid({0, 5, 5}, true).empty());
    CHECK(CellGrid({5, 5, 0}, true).empty());
}
