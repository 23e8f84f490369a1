// Worker pools on POSIX threads; see pool.hpp for the contract.
#include "pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace tarna {

namespace {

// One parallel-for in flight: items are claimed through `next`; `finished` counts items done
// or skipped, and the waiter wakes when it reaches `count`. Every thread that calls work() takes
// the next slot number, so slots stay below the number of threads the batch was handed to.
struct Batch {
    std::size_t count = 0;
    const std::function<void(std::size_t, std::size_t)>* body = nullptr;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> slots_taken{0};
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::condition_variable all_done;
    std::size_t finished = 0;
    std::exception_ptr error;

    // Claims and runs items until none is left. Never throws.
    void work() {
        const std::size_t slot = slots_taken.fetch_add(1, std::memory_order_relaxed);
        std::size_t done_here = 0;
        for (;;) {
            const std::size_t item = next.fetch_add(1, std::memory_order_relaxed);
            if (item >= count) break;
            if (!cancelled.load(std::memory_order_relaxed)) {
                try {
                    (*body)(item, slot);
                } catch (...) {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (!error) error = std::current_exception();
                    cancelled.store(true, std::memory_order_relaxed);
                }
            }
            ++done_here;
        }
        if (done_here == 0) return;
        std::lock_guard<std::mutex> lock(mutex);
        finished += done_here;
        if (finished == count) all_done.notify_all();
    }

    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        all_done.wait(lock, [&] { return finished == count; });
    }
};

thread_local const ThreadPool::State* current_pool = nullptr;

}  // namespace

struct ThreadPool::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
    std::vector<pthread_t> threads;
    // Whether the workers run; false only for the fresh state of a forked child until its first
    // parallel call, which starts them under `start_mutex`.
    std::atomic<bool> started{false};
    std::mutex start_mutex;

    static void* worker_main(void* arg) {
        auto* state = static_cast<State*>(arg);
        current_pool = state;
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(state->mutex);
                state->wake.wait(lock, [&] { return state->stopping || !state->tasks.empty(); });
                if (state->tasks.empty()) return nullptr;  // stopping and drained
                task = std::move(state->tasks.front());
                state->tasks.pop_front();
            }
            task();  // tasks never throw: they capture their own exceptions
        }
    }

    // Starts the workers one at a time; if one cannot start, joins those that did and throws
    // PoolError. Nothing is allocated in proportion to `worker_count` before the threads exist.
    void start(std::size_t worker_count) {
        for (std::size_t i = 0; i < worker_count; ++i) {
            pthread_t thread;
            const int status = pthread_create(&thread, nullptr, &State::worker_main, this);
            if (status != 0) {
                shutdown();
                throw PoolError(std::strerror(status));
            }
            try {
                threads.push_back(thread);
            } catch (...) {
                // The thread runs but cannot be recorded: stop everything, this one included.
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    stopping = true;
                }
                wake.notify_all();
                pthread_join(thread, nullptr);
                shutdown();
                throw;
            }
        }
        started.store(true, std::memory_order_release);
    }

    void push(std::function<void()> task, std::size_t copies) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (std::size_t i = 0; i < copies; ++i) tasks.push_back(task);
        }
        if (copies == 1) {
            wake.notify_one();
        } else {
            wake.notify_all();
        }
    }

    // Stops and joins the workers; the state can start again afterwards.
    void shutdown() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        for (pthread_t thread : threads) pthread_join(thread, nullptr);
        threads.clear();
        std::lock_guard<std::mutex> lock(mutex);
        stopping = false;
    }
};

// Every live pool, and the fork handlers that keep them usable in a child. The mutexes are
// constant-initialised, so the handlers work from the moment the library is loaded.
struct PoolRegistry {
    static inline std::mutex mutex;
    static inline ThreadPool* first = nullptr;
    // Held while the shared pool is made, so no fork sees it half made.
    static inline std::mutex shared_mutex;
    static inline ThreadPool* shared = nullptr;
    static inline std::size_t shared_size = 0;  // 0 until first asked

    static void add(ThreadPool* pool) {
        std::lock_guard<std::mutex> lock(mutex);
        pool->next_ = first;
        if (first != nullptr) first->previous_ = pool;
        first = pool;
    }

    static void remove(ThreadPool* pool) {
        std::lock_guard<std::mutex> lock(mutex);
        if (pool->previous_ != nullptr) pool->previous_->next_ = pool->next_;
        if (pool->next_ != nullptr) pool->next_->previous_ = pool->previous_;
        if (first == pool) first = pool->next_;
    }

    // No pool is being made, listed or unlisted while the process forks.
    static void before_fork() {
        shared_mutex.lock();
        mutex.lock();
    }
    static void after_fork_in_parent() {
        mutex.unlock();
        shared_mutex.unlock();
    }
    // Only this thread exists in the child. Each pool's old state is abandoned on purpose: its
    // locks, condition variable and task list may be in the middle of a vanished thread's use.
    static void after_fork_in_child() {
        for (ThreadPool* pool = first; pool != nullptr; pool = pool->next_) {
            new std::shared_ptr<ThreadPool::State>(std::move(pool->state_));  // leaked, never touched
            pool->state_ = std::make_shared<ThreadPool::State>();
        }
        mutex.unlock();
        shared_mutex.unlock();
    }
};

namespace {
[[maybe_unused]] const int fork_handlers =
    pthread_atfork(&PoolRegistry::before_fork, &PoolRegistry::after_fork_in_parent, &PoolRegistry::after_fork_in_child);
}  // namespace

ThreadPool::ThreadPool(std::size_t worker_count) : worker_count_(worker_count), state_(std::make_shared<State>()) {
    state_->start(worker_count);
    PoolRegistry::add(this);
}

ThreadPool::~ThreadPool() {
    PoolRegistry::remove(this);
    state_->shutdown();
}

std::size_t ThreadPool::size() const { return worker_count_; }

bool ThreadPool::owns_current_thread() const { return current_pool == state_.get(); }

ThreadPool::State& ThreadPool::started_state() {
    State& state = *state_;
    if (!state.started.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(state.start_mutex);
        if (!state.started.load(std::memory_order_relaxed)) state.start(worker_count_);
    }
    return state;
}

void ThreadPool::parallel_for(std::size_t count, const std::function<void(std::size_t)>& body) {
    parallel_for_slots(count, [&body](std::size_t item, std::size_t) { body(item); });
}

void ThreadPool::parallel_for_slots(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
    if (count == 0) return;
    auto batch = std::make_shared<Batch>();
    batch->count = count;
    batch->body = &body;
    const bool inside = owns_current_thread();
    // A worker caller takes items itself, so it asks the others for one helper fewer.
    std::size_t helpers = std::min(count, size());
    if (inside) helpers = std::min(count - 1, size() - 1);
    if (helpers > 0) started_state().push([batch] { batch->work(); }, helpers);
    if (inside || helpers == 0) batch->work();
    batch->wait();
    if (batch->error) std::rethrow_exception(batch->error);
}

void ThreadPool::run_inside(const std::function<void()>& job) {
    if (owns_current_thread()) {
        job();
        return;
    }
    std::function<void(std::size_t, std::size_t)> body = [&job](std::size_t, std::size_t) { job(); };
    auto batch = std::make_shared<Batch>();
    batch->count = 1;
    batch->body = &body;
    started_state().push([batch] { batch->work(); }, 1);
    batch->wait();
    if (batch->error) std::rethrow_exception(batch->error);
}

namespace {

// A positive decimal integer, or 0 for anything else.
std::size_t positive_env(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return 0;
    std::size_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        const std::size_t digit = std::size_t(*p - '0');
        if (value > (SIZE_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    return value;
}

// CPUs allowed by a cgroup quota (v2 cpu.max, then v1 cfs files), 0 when unlimited or unknown.
std::size_t cgroup_cpu_limit() {
    auto quota_cpus = [](double quota, double period) -> std::size_t {
        if (quota <= 0 || period <= 0) return 0;
        const double cpus = quota / period;
        return cpus < 1 ? 1 : std::size_t(cpus);
    };
    {
        std::ifstream file("/sys/fs/cgroup/cpu.max");
        std::string quota;
        double period = 0;
        if (file >> quota >> period && quota != "max") return quota_cpus(std::atof(quota.c_str()), period);
    }
    std::ifstream quota_file("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
    std::ifstream period_file("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
    double quota = 0, period = 0;
    if (quota_file >> quota && period_file >> period) return quota_cpus(quota, period);
    return 0;
}

}  // namespace

std::size_t available_processors() {
    std::size_t count = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) count = std::size_t(CPU_COUNT(&set));
    if (count == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        count = online > 0 ? std::size_t(online) : 1;
    }
    const std::size_t limit = cgroup_cpu_limit();
    if (limit != 0 && limit < count) count = limit;
    return count;
}

namespace {
std::size_t shared_size_locked() {
    if (PoolRegistry::shared_size == 0) {
        std::size_t n = positive_env("RAYON_NUM_THREADS");
        if (n == 0) n = positive_env("RAYON_RS_NUM_CPUS");
        if (n == 0) n = available_processors();
        PoolRegistry::shared_size = n;
    }
    return PoolRegistry::shared_size;
}
}  // namespace

std::size_t shared_pool_size() {
    std::lock_guard<std::mutex> lock(PoolRegistry::shared_mutex);
    return shared_size_locked();
}

ThreadPool& shared_pool() {
    std::lock_guard<std::mutex> lock(PoolRegistry::shared_mutex);
    // Never destroyed: workers may still be parked when the interpreter exits.
    if (PoolRegistry::shared == nullptr) PoolRegistry::shared = new ThreadPool(shared_size_locked());
    return *PoolRegistry::shared;
}

}  // namespace tarna
