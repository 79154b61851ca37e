#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <typeinfo>

namespace qtest {

// The action raises exactly class E (not a descendant) with exactly this message.
template <class E, class F> void ExpectRaises(F&& AAction, const std::string& AMessage) {
    try {
        AAction();
        ADD_FAILURE() << "nothing raised, expected: " << AMessage;
    } catch (const E& e) {
        EXPECT_TRUE(typeid(e) == typeid(E)) << "raised a descendant: " << typeid(e).name();
        EXPECT_EQ(std::string(e.what()), AMessage);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "raised " << typeid(e).name() << ": " << e.what();
    }
}

// Resident memory of this process in KiB.
inline long ResidentKiB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return resident * 4;
}

// Only sockets count: the sanitizer runtime opens and closes descriptors of
// its own at moments no test controls, and every descriptor the library
// opens in a session is a socket.
inline size_t OpenSocketCount() {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        n += std::filesystem::read_symlink(entry.path(), ec).string().rfind("socket:", 0) == 0;
    }
    return n;
}

} // namespace qtest
