// Worker pools: a fixed set of POSIX threads that run the parallel phases of a pass.
// A parallel-for hands out independent items through one atomic counter; the first exception
// of any item is kept, later items are skipped, and the caller rethrows it once every started
// item has finished. A caller that is itself a worker of the pool takes items too, so nested
// calls never deadlock. Results never depend on which thread ran which item.
//
// Fork: a child process holds only the thread that forked, so every pool's workers are gone
// there. A fork handler gives each pool fresh, unstarted state in the child (the old state may
// hold a lock a vanished thread took, so it is abandoned, never touched), and the child's first
// parallel call starts the workers again.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>

namespace tarna {

// A worker thread could not be started; the text is the system's reason.
struct PoolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class ThreadPool {
public:
    // Starts the workers one at a time; if one cannot start, joins those that did and throws
    // PoolError. Nothing is allocated in proportion to `worker_count` before the threads exist.
    explicit ThreadPool(std::size_t worker_count);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t size() const;
    bool owns_current_thread() const;

    // Runs body(i) for every i in [0, count) on the workers and waits for all of them.
    void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body);
    // As parallel_for, also passing each call the slot of the thread running it: a number below
    // max(size(), 1) that no other thread of this call holds, so per-slot scratch needs no lock.
    void parallel_for_slots(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body);
    // Runs `job` on one worker and waits; a worker of this pool runs it directly.
    void run_inside(const std::function<void()>& job);

    struct State;

private:
    friend struct PoolRegistry;
    // The live state, started; starts the workers first in a forked child.
    State& started_state();

    std::size_t worker_count_;
    std::shared_ptr<State> state_;
    // Every live pool is listed, so the fork handler can reach it.
    ThreadPool* previous_ = nullptr;
    ThreadPool* next_ = nullptr;
};

// Workers the process-wide shared pool has (or will have): RAYON_NUM_THREADS, then
// RAYON_RS_NUM_CPUS, when it holds a positive integer, otherwise the processors this process
// may use. Read once, at first use.
std::size_t shared_pool_size();
// The process-wide shared pool, started on first use and never shut down.
ThreadPool& shared_pool();
// Processors available to this process: the affinity mask, capped by a cgroup CPU quota.
std::size_t available_processors();

// Where a pass runs its parallel phases: on the caller alone, or spread over a pool.
class Parallel {
public:
    explicit Parallel(ThreadPool* pool) : pool_(pool) {}
    std::size_t workers() const { return pool_ ? pool_->size() : 1; }
    // Slots for_each_slot may pass: one per thread that can take part.
    std::size_t slots() const { return pool_ && pool_->size() > 1 ? pool_->size() : 1; }
    void for_each(std::size_t count, const std::function<void(std::size_t)>& body) const {
        if (pool_ == nullptr || count <= 1) {
            for (std::size_t i = 0; i < count; ++i) body(i);
        } else {
            pool_->parallel_for(count, body);
        }
    }
    // body(item, slot): items as for_each, slot below slots() and held by one thread at a time.
    void for_each_slot(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) const {
        if (pool_ == nullptr || count <= 1) {
            for (std::size_t i = 0; i < count; ++i) body(i, 0);
        } else {
            pool_->parallel_for_slots(count, body);
        }
    }

private:
    ThreadPool* pool_;
};

}  // namespace tarna
