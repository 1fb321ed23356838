#include "base/kbzBase_Memory.h"

#include "base/kbzBase_Helpers.h"

#include <malloc.h>

namespace kbz::detail
{

namespace
{
// Freed bytes of large buffers after which the allocator is trimmed, and the
// shortest time between two trims (a trim walks the whole heap).
constexpr std::uint64_t TrimAfterBytes = 64 * 1024 * 1024;
constexpr std::uint64_t TrimSpacingMs = 200;

std::atomic<std::uint64_t> gFreedSinceTrim{0};
std::atomic<std::uint64_t> gLastTrim{0};

void Trim(std::uint64_t now) noexcept
{
    std::uint64_t last = gLastTrim.load();
    if (now - last < TrimSpacingMs || !gLastTrim.compare_exchange_strong(last, now))
    {
        return;
    }
    gFreedSinceTrim.store(0);
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}
} // namespace

bool ByteBudget::Acquire(std::uint64_t n) noexcept
{
    const std::uint64_t limit = FLimit.load();
    std::uint64_t used = FUsed.load();
    for (;;)
    {
        if (limit != 0 && (n > limit || used > limit - n))
        {
            return false;
        }
        if (FUsed.compare_exchange_weak(used, used + n))
        {
            return true;
        }
    }
}

void ByteBudget::Release(std::uint64_t n) noexcept
{
    FUsed.fetch_sub(n);
}

void ByteBudgetShare::SetBudget(std::shared_ptr<ByteBudget> budget) noexcept
{
    ReleaseAll();
    FBudget = std::move(budget);
}

bool ByteBudgetShare::Acquire(std::uint64_t n) noexcept
{
    if (!FBudget || n == 0)
    {
        return true;
    }
    if (!FBudget->Acquire(n))
    {
        return false;
    }
    FHeld += n;
    return true;
}

void ByteBudgetShare::ReleaseAll() noexcept
{
    if (FBudget && FHeld != 0)
    {
        FBudget->Release(FHeld);
    }
    FHeld = 0;
}

void NoteLargeFree(std::size_t bytes) noexcept
{
    const std::uint64_t total = gFreedSinceTrim.fetch_add(bytes) + bytes;
    if (total >= TrimAfterBytes)
    {
        Trim(kbzGetTicks());
    }
}

void TrimAfterLargeFrees() noexcept
{
    if (gFreedSinceTrim.load() != 0)
    {
        Trim(kbzGetTicks());
    }
}

void ReleaseLargeBuffer(std::vector<std::uint8_t>& buffer) noexcept
{
    const std::size_t capacity = buffer.capacity();
    if (capacity > LargeBufferBytes)
    {
        std::vector<std::uint8_t>().swap(buffer);
        NoteLargeFree(capacity);
        return;
    }
    buffer.clear();
}

void ReleaseLargeBuffer(std::string& buffer) noexcept
{
    const std::size_t capacity = buffer.capacity();
    if (capacity > LargeBufferBytes)
    {
        std::string().swap(buffer);
        NoteLargeFree(capacity);
        return;
    }
    buffer.clear();
}

} // namespace kbz::detail
