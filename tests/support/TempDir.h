#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace qtest {

// A private temporary directory, removed with everything in it on destruction.
// Set QTEST_KEEP_TMP=1 to keep it for a post-mortem.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "quorvan-test");
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& rel) const { return path_ / rel; }

    // Writes bytes to path()/rel, creating parent directories.
    std::filesystem::path write(const std::filesystem::path& rel, const std::string& bytes) const;
    std::string read(const std::filesystem::path& rel) const;
    std::filesystem::path makeDir(const std::filesystem::path& rel) const;

private:
    std::filesystem::path path_;
};

// Whole-file helpers on absolute paths; throw std::runtime_error on failure.
std::string ReadFile(const std::filesystem::path& file);
void WriteFile(const std::filesystem::path& file, const std::string& bytes);
// Deterministic pseudo-random bytes for transfer tests.
std::string RandomBytes(size_t n, uint32_t seed = 12345);

} // namespace qtest
