#pragma once

// The one byte pattern of the tests and benchmarks: produced at any offset
// without being stored, so transfers above 2 GiB need no memory, and with a
// long period, so shifted, doubled or dropped blocks show.

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace qtest {

uint8_t PatternByte(uint64_t offset);
// Fills out[0..len) with PatternByte(offset), PatternByte(offset + 1), ...
void FillPattern(uint64_t offset, char* out, size_t len);
// Writes size bytes of the pattern to file; throws std::runtime_error on failure.
void WritePatternFile(const std::filesystem::path& file, uint64_t size);

} // namespace qtest
