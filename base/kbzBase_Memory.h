// Memory that peers can make us hold: a budget shared by the connections of a
// server for the bytes of messages still being received, and the release of
// large buffers (with the allocator trimmed) once their message is done.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kbz::detail
{

// Buffers above this are given back when their message is done, not kept for the next.
inline constexpr std::size_t LargeBufferBytes = 1024 * 1024;

// Bytes held for messages in progress, counted against one limit for many
// connections. Any thread; Acquire never blocks.
class ByteBudget
{
public:
    explicit ByteBudget(std::uint64_t limit = 0) noexcept : FLimit(limit) {}
    // 0: no limit.
    void SetLimit(std::uint64_t limit) noexcept { FLimit.store(limit); }
    std::uint64_t Limit() const noexcept { return FLimit.load(); }
    // Takes n bytes unless that would go over the limit.
    bool Acquire(std::uint64_t n) noexcept;
    void Release(std::uint64_t n) noexcept;
    std::uint64_t Used() const noexcept { return FUsed.load(); }

private:
    std::atomic<std::uint64_t> FLimit;
    std::atomic<std::uint64_t> FUsed{0};
};

// What one holder (a connection's message in progress) took from a budget;
// gives it all back when destroyed. One thread at a time.
class ByteBudgetShare
{
public:
    ByteBudgetShare() = default;
    ByteBudgetShare(const ByteBudgetShare&) = delete;
    ByteBudgetShare& operator=(const ByteBudgetShare&) = delete;
    ~ByteBudgetShare() { ReleaseAll(); }

    // A different budget (or none) from now on; what was held is given back.
    void SetBudget(std::shared_ptr<ByteBudget> budget) noexcept;
    bool HasBudget() const noexcept { return FBudget != nullptr; }
    // Always true without a budget.
    bool Acquire(std::uint64_t n) noexcept;
    void ReleaseAll() noexcept;
    std::uint64_t Held() const noexcept { return FHeld; }

private:
    std::shared_ptr<ByteBudget> FBudget;
    std::uint64_t FHeld = 0;
};

// Empties the buffer; one that grew above LargeBufferBytes also gives its
// memory back, and the allocator is trimmed now and then after such frees.
void ReleaseLargeBuffer(std::vector<std::uint8_t>& buffer) noexcept;
void ReleaseLargeBuffer(std::string& buffer) noexcept;
// Notes that bytes of large buffers were freed; trims the allocator when
// enough has been freed since the last trim and that was not too recent.
void NoteLargeFree(std::size_t bytes) noexcept;
// Trims when anything large was freed since the last trim (a connection that
// held large buffers has ended), unless a trim was very recent.
void TrimAfterLargeFrees() noexcept;

} // namespace kbz::detail
