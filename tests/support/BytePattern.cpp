#include "BytePattern.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

namespace qtest {

namespace {

// A prime period, so that neither 1024- nor 65536-byte blocks line up with it.
constexpr size_t kPatternPeriod = 65521;

const std::array<uint8_t, kPatternPeriod>& PatternTable() {
    static const auto table = [] {
        std::array<uint8_t, kPatternPeriod> t{};
        std::mt19937 gen(20240229);
        for (auto& b : t)
            b = static_cast<uint8_t>(gen() & 0xff);
        return t;
    }();
    return table;
}

} // namespace

uint8_t PatternByte(uint64_t offset) {
    return PatternTable()[offset % kPatternPeriod];
}

void FillPattern(uint64_t offset, char* out, size_t len) {
    const auto& table = PatternTable();
    size_t pos = offset % kPatternPeriod;
    while (len > 0) {
        const size_t n = std::min(len, kPatternPeriod - pos);
        std::memcpy(out, table.data() + pos, n);
        out += n;
        len -= n;
        pos = 0;
    }
}

void WritePatternFile(const std::filesystem::path& file, uint64_t size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 20);
    for (uint64_t done = 0; out && done < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, block.size()));
        FillPattern(done, block.data(), n);
        out.write(block.data(), static_cast<std::streamsize>(n));
        done += n;
    }
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

} // namespace qtest
