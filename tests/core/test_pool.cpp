// Worker pools: every item once, exceptions carried back, nesting without deadlock.
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "check.hpp"
#include "pool.hpp"

using tarna::Parallel;
using tarna::ThreadPool;

TEST(parallel_for_runs_every_item_once) {
    ThreadPool pool(3);
    CHECK_EQ(pool.size(), std::size_t(3));
    for (std::size_t count : {0u, 1u, 2u, 7u, 1000u}) {
        std::vector<std::atomic<int>> hits(count);
        pool.parallel_for(count, [&](std::size_t i) { hits[i].fetch_add(1); });
        for (std::size_t i = 0; i < count; ++i) CHECK_EQ(hits[i].load(), 1);
    }
}

TEST(first_exception_is_rethrown_after_all_items_finish) {
    ThreadPool pool(2);
    std::atomic<int> running{0}, finished{0};
    bool caught = false;
    try {
        pool.parallel_for(64, [&](std::size_t i) {
            running.fetch_add(1);
            if (i == 5) throw std::runtime_error("item five");
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            finished.fetch_add(1);
            running.fetch_sub(1);
        });
    } catch (const std::runtime_error& error) {
        caught = std::string(error.what()) == "item five";
    }
    CHECK(caught);
    // Later items are skipped once an item failed; nothing is still running on return.
    CHECK(finished.load() < 63);
    CHECK_EQ(running.load(), 1);  // only the failed item never decremented
    // The pool is still usable afterwards.
    std::atomic<int> total{0};
    pool.parallel_for(10, [&](std::size_t) { total.fetch_add(1); });
    CHECK_EQ(total.load(), 10);
}

TEST(nested_calls_from_workers_do_not_deadlock) {
    ThreadPool pool(2);
    std::atomic<int> total{0};
    pool.run_inside([&] {
        CHECK(pool.owns_current_thread());
        pool.parallel_for(8, [&](std::size_t) { pool.parallel_for(8, [&](std::size_t) { total.fetch_add(1); }); });
    });
    CHECK_EQ(total.load(), 64);
    CHECK(!pool.owns_current_thread());
}

TEST(run_inside_carries_exceptions) {
    ThreadPool pool(2);
    bool caught = false;
    try {
        pool.run_inside([] { throw std::logic_error("broken"); });
    } catch (const std::logic_error& error) {
        caught = std::string(error.what()) == "broken";
    }
    CHECK(caught);
}

TEST(many_callers_share_one_pool) {
    ThreadPool pool(2);
    std::vector<std::thread> callers;
    std::vector<long> sums(6, 0);
    for (std::size_t c = 0; c < sums.size(); ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < 50; ++round) {
                std::vector<long> parts(17, 0);
                pool.parallel_for(parts.size(), [&](std::size_t i) { parts[i] = long(i * (c + 1)); });
                long sum = 0;
                for (long part : parts) sum += part;
                sums[c] += sum;
            }
        });
    }
    for (auto& caller : callers) caller.join();
    for (std::size_t c = 0; c < sums.size(); ++c) CHECK_EQ(sums[c], long(50 * 136 * (c + 1)));
}

TEST(sequential_parallel_runs_in_order_on_the_caller) {
    Parallel sequential(nullptr);
    CHECK_EQ(sequential.workers(), std::size_t(1));
    std::vector<std::size_t> order;
    sequential.for_each(5, [&](std::size_t i) { order.push_back(i); });
    CHECK_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

TEST(slots_are_never_shared_by_two_threads_at_once) {
    ThreadPool pool(3);
    const Parallel parallel(&pool);
    CHECK_EQ(parallel.slots(), std::size_t(3));
    CHECK_EQ(Parallel(nullptr).slots(), std::size_t(1));
    std::vector<std::atomic<int>> in_use(parallel.slots());
    std::atomic<int> clashes{0}, out_of_range{0}, items{0};
    auto body = [&](std::size_t, std::size_t slot) {
        if (slot >= in_use.size()) {
            out_of_range.fetch_add(1);
            return;
        }
        if (in_use[slot].exchange(1) != 0) clashes.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        in_use[slot].store(0);
        items.fetch_add(1);
    };
    parallel.for_each_slot(500, body);
    // From inside the pool the calling worker takes part with a slot of its own.
    pool.run_inside([&] { parallel.for_each_slot(500, body); });
    CHECK_EQ(items.load(), 1000);
    CHECK_EQ(clashes.load(), 0);
    CHECK_EQ(out_of_range.load(), 0);
}
