// Shared vocabulary of the core: fixed-width records, the index sentinel, the error types that
// cross into the binding layer, memory for large arrays, and the FxHash open-addressing map every
// subsystem uses. Nothing here knows about Python.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

// Some loops have a second form in 512-bit registers, chosen at run time, so the module still runs
// on any x86-64 (and elsewhere the plain code is all there is). Lane by lane both forms do the
// same operations in the same order, so they give the same bits.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TARNA_WIDE_REGISTERS 1
#define TARNA_WIDE __attribute__((target("avx512f")))
#else
#define TARNA_WIDE_REGISTERS 0
#endif

namespace tarna {

// 0xFFFFFFFF in a 32-bit index array means "none".
inline constexpr std::uint32_t NONE = 0xFFFFFFFFu;

inline std::atomic<bool> wide_allowed{true};

// Whether the 512-bit forms run: the CPU has the instructions and tests have not turned them off.
inline bool wide_registers() {
#if TARNA_WIDE_REGISTERS
    static const bool supported = __builtin_cpu_supports("avx512f");
    return supported && wide_allowed.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

// Tests turn the 512-bit forms off to compare the two; returns the previous setting.
inline bool allow_wide_registers(bool allowed) { return wide_allowed.exchange(allowed); }

using Position = std::array<std::int32_t, 3>;  // fixed point, 1/256 voxel, array-axis order
using Quad = std::array<std::uint32_t, 4>;
// A quad of a label with few vertices: corner k in bits 16k to 16k + 15. One integer, so that
// appending one stays inline.
using ShortQuad = std::uint64_t;

inline ShortQuad short_quad(const Quad& quad) {
#if defined(__SSE2__) && defined(__x86_64__)
    // The low halves of the four lanes, gathered into the low 64 bits: three shuffles instead of
    // nine shifts and ors, in the extraction's innermost loop.
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(quad.data()));
    x = _mm_shufflelo_epi16(x, _MM_SHUFFLE(3, 3, 2, 0));
    x = _mm_shufflehi_epi16(x, _MM_SHUFFLE(3, 3, 2, 0));
    x = _mm_shuffle_epi32(x, _MM_SHUFFLE(3, 3, 2, 0));
    return ShortQuad(_mm_cvtsi128_si64(x));
#else
    return std::uint64_t(quad[0]) | std::uint64_t(quad[1]) << 16 | std::uint64_t(quad[2]) << 32 |
           std::uint64_t(quad[3]) << 48;
#endif
}

inline Quad wide_quad(ShortQuad quad) {
#if defined(__SSE2__) && defined(__x86_64__)
    Quad wide;
    const __m128i x = _mm_unpacklo_epi16(_mm_cvtsi64_si128(std::int64_t(quad)), _mm_setzero_si128());
    _mm_storeu_si128(reinterpret_cast<__m128i*>(wide.data()), x);
    return wide;
#else
    return {std::uint32_t(quad & 0xFFFF), std::uint32_t(quad >> 16 & 0xFFFF), std::uint32_t(quad >> 32 & 0xFFFF),
            std::uint32_t(quad >> 48)};
#endif
}

using Triangle = std::array<std::uint32_t, 3>;
using Point3f = std::array<float, 3>;

// A broken invariant. Reaches Python as the module's fault exception, never as a crash.
struct InternalFault : std::logic_error {
    using std::logic_error::logic_error;
};

// A volume or result too large for the fixed-width formats (32-bit positions and indices).
// Reaches Python as ValueError with its message.
struct LimitError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A value the caller passed is outside what it may be; the text is the final message.
// Reaches Python as ValueError.
struct InvalidArgument : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Memory for large arrays: uninitialised, aligned to `alignment` (a power of two) or at least as
// malloc aligns, released with std::free. Plain pages: blocks offered to the kernel as huge
// pages were read faster (10 to 20% on fairing and simplification, steady state), but on the
// virtual machine they were measured on a fresh huge page could take a millisecond or more to
// fault in, and a third or more of calls stalled for half a second to a few seconds.
inline void* allocate_large(std::size_t bytes, std::size_t alignment) {
    const std::size_t align = std::max(alignof(std::max_align_t), alignment);
    // No object may be larger than PTRDIFF_MAX bytes.
    if (bytes > std::size_t(PTRDIFF_MAX) - align) throw std::bad_alloc();
    // aligned_alloc takes whole multiples of the alignment
    const std::size_t rounded = std::max<std::size_t>((bytes + align - 1) / align, 1) * align;
    void* block = std::aligned_alloc(align, rounded);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

#if defined(__linux__)
// The system's page size in bytes, or 0 when it cannot be told.
inline std::uintptr_t page_size() {
    static const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? std::uintptr_t(size) : 0;
}
#endif

// Gives the whole pages inside [begin, end) back to the system, for memory that is never read
// again before its block is freed: a large array copied piece by piece into another then never
// holds both in full. Returns where the next call over the same block should begin. Elsewhere
// than Linux nothing is given back.
inline const void* release_pages(const void* begin, const void* end) {
#if defined(__linux__) && defined(MADV_DONTNEED)
    const std::uintptr_t page = page_size();
    if (page == 0) return begin;  // unknown page size: keep everything
    const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) / page * page;
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) / page * page;
    if (last <= first) return begin;
    madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);  // a refusal keeps the pages
    return reinterpret_cast<const void*>(last);
#else
    (void)end;
    return begin;
#endif
}

// Maps in the pages holding [begin, end) before they are written, all in one call: on this kind
// of virtual machine a page faulted in on first write costs several times the clearing of it.
// Nothing is read or written, so pages shared with other data are safe to name. A kernel that
// does not know the request (before Linux 5.14) leaves the pages to fault in as usual; elsewhere
// than Linux nothing is done.
inline void populate_pages(void* begin, void* end) {
#if defined(__linux__)
#if defined(MADV_POPULATE_WRITE)
    constexpr int populate_write = MADV_POPULATE_WRITE;
#else
    constexpr int populate_write = 23;  // the value in Linux's headers since 5.14
#endif
    const std::uintptr_t page = page_size();
    if (page == 0) return;
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(begin) / page * page;
    const std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(end) + page - 1) / page * page;
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, populate_write);  // a refusal changes nothing
#else
    (void)begin;
    (void)end;
#endif
}

struct FreeLarge {
    void operator()(void* block) const { std::free(block); }
};

// Room for `count` values of T in large-array memory, aligned for T.
template <class T>
T* allocate_large_array(std::size_t count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_large(count * sizeof(T), alignof(T)));
}

// An uninitialised array of `count` plain values in large-array memory.
template <class T>
using LargeArray = std::unique_ptr<T[], FreeLarge>;

template <class T>
LargeArray<T> make_large_array(std::size_t count) {
    static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
    return LargeArray<T>(allocate_large_array<T>(count));
}

// The input changed while a pass was reading it: another thread wrote to the label array.
// Reaches Python as RuntimeError with its message.
struct InputChanged : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Asserts that survive release builds: the cost is a predictable branch, the gain is a clean
// exception instead of silent corruption.
#define TARNA_ASSERT(cond, message)                         \
    do {                                                    \
        if (!(cond)) throw ::tarna::InternalFault(message); \
    } while (0)

// FxHash: per word, add then multiply by the odd constant; finish with a rotation so the
// well-mixed high bits reach the low bits that pick a bucket.
inline constexpr std::uint64_t FX_SEED = 0xf1357aea2e62a9c5ull;
constexpr std::uint64_t fx_add(std::uint64_t hash, std::uint64_t word) { return (hash + word) * FX_SEED; }
constexpr std::uint64_t fx_finish(std::uint64_t hash) { return std::rotl(hash, 26); }

template <class Key>
struct FxHasher;

template <>
struct FxHasher<std::uint64_t> {
    std::uint64_t operator()(std::uint64_t key) const { return fx_finish(fx_add(0, key)); }
};
template <>
struct FxHasher<std::uint32_t> {
    std::uint64_t operator()(std::uint32_t key) const { return fx_finish(fx_add(0, key)); }
};
template <class T, std::size_t N>
struct FxHasher<std::array<T, N>> {
    std::uint64_t operator()(const std::array<T, N>& key) const {
        std::uint64_t hash = 0;
        for (const T& word : key) hash = fx_add(hash, static_cast<std::uint64_t>(word));
        return fx_finish(hash);
    }
};

// Key equality; element by element for small arrays, which GCC would otherwise hand to memcmp.
template <class Key>
inline bool key_equal(const Key& a, const Key& b) {
    return a == b;
}
template <class T, std::size_t N>
inline bool key_equal(const std::array<T, N>& a, const std::array<T, N>& b) {
    bool equal = true;
    for (std::size_t i = 0; i < N; ++i) equal &= a[i] == b[i];
    return equal;
}

// Open addressing with linear probing over power-of-two buckets. No erase; `clear` keeps the
// buckets so a map reused across objects allocates once. Iteration order is never exposed.
template <class Key, class Value, class Hash = FxHasher<Key>>
class FxMap {
public:
    explicit FxMap(std::size_t expected = 0) { reserve(expected); }

    std::size_t size() const { return count_; }

    void reserve(std::size_t expected) {
        std::size_t want = 16;
        while (want / 8 * 7 < expected + 1) want *= 2;
        if (want > keys_.size()) rehash(want);
    }

    void clear() {
        if (count_ == 0) return;
        std::fill(used_.begin(), used_.end(), std::uint8_t{0});
        count_ = 0;
    }

    Value* find(const Key& key) {
        if (count_ == 0) return nullptr;
        const std::size_t mask = keys_.size() - 1;
        for (std::size_t slot = std::size_t{Hash{}(key)} & mask;; slot = (slot + 1) & mask) {
            if (!used_[slot]) return nullptr;
            if (key_equal(keys_[slot], key)) return &values_[slot];
        }
    }
    const Value* find(const Key& key) const { return const_cast<FxMap*>(this)->find(key); }

    // The value for `key`, inserting `initial` when absent; the flag says whether it was inserted.
    std::pair<Value*, bool> insert(const Key& key, const Value& initial) {
        if ((count_ + 1) * 8 > keys_.size() * 7) rehash(keys_.size() * 2);
        const std::size_t mask = keys_.size() - 1;
        std::size_t slot = std::size_t{Hash{}(key)} & mask;
        for (; used_[slot]; slot = (slot + 1) & mask) {
            if (key_equal(keys_[slot], key)) return {&values_[slot], false};
        }
        used_[slot] = 1;
        keys_[slot] = key;
        values_[slot] = initial;
        ++count_;
        return {&values_[slot], true};
    }

private:
    void rehash(std::size_t bucket_count) {
        std::vector<Key> old_keys(bucket_count);
        std::vector<Value> old_values(bucket_count);
        std::vector<std::uint8_t> old_used(bucket_count, 0);
        old_keys.swap(keys_);
        old_values.swap(values_);
        old_used.swap(used_);
        const std::size_t mask = bucket_count - 1;
        for (std::size_t i = 0; i < old_keys.size(); ++i) {
            if (!old_used[i]) continue;
            std::size_t slot = Hash{}(old_keys[i]) & mask;
            while (used_[slot]) slot = (slot + 1) & mask;
            used_[slot] = 1;
            keys_[slot] = std::move(old_keys[i]);
            values_[slot] = std::move(old_values[i]);
        }
    }

    std::vector<Key> keys_;
    std::vector<Value> values_;
    std::vector<std::uint8_t> used_;
    std::size_t count_ = 0;
};

}  // namespace tarna
