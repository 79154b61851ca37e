#include "TempDir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace qtest {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    path_ = buf.data();
}

TempDir::~TempDir() {
    const char* keep = std::getenv("QTEST_KEEP_TMP");
    if (keep && *keep && std::string(keep) != "0")
        return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

fs::path TempDir::write(const fs::path& rel, const std::string& bytes) const {
    fs::path file = path_ / rel;
    fs::create_directories(file.parent_path());
    WriteFile(file, bytes);
    return file;
}

std::string TempDir::read(const fs::path& rel) const {
    return ReadFile(path_ / rel);
}

fs::path TempDir::makeDir(const fs::path& rel) const {
    fs::path dir = path_ / rel;
    fs::create_directories(dir);
    return dir;
}

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("short write to " + file.string());
}

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (auto& c : out)
        c = static_cast<char>(gen() & 0xff);
    return out;
}

} // namespace qtest
