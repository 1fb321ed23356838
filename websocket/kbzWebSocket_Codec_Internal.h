// The masking variants kbzMaskPayload chooses from, for the benchmarks and tests; not installed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kbz::detail
{
void MaskPayloadBytes(std::uint8_t* data, std::size_t n, const std::uint8_t key[4],
                      std::size_t offset) noexcept;
void MaskPayloadWords(std::uint8_t* data, std::size_t n, const std::uint8_t key[4],
                      std::size_t offset) noexcept;
// Only call when CpuHasAVX2().
void MaskPayloadAVX2(std::uint8_t* data, std::size_t n, const std::uint8_t key[4],
                     std::size_t offset) noexcept;
bool CpuHasAVX2() noexcept;
} // namespace kbz::detail
