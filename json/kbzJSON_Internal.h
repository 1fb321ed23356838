// Internals of the JSON unit that its tests look at; not installed.
#pragma once

#include <cstddef>

namespace kbz::detail
{
// Number of entries the factory's list holds right now.
std::size_t JSONInstanceListSize();
} // namespace kbz::detail
