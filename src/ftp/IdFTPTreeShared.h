#pragma once

// What the remote and the local halves of the tree walker share.

#include "IdFTPTree.h"

#include <cstring>
#include <exception>
#include <string>

namespace IdFTPTreeShared {

[[noreturn]] inline void FailLocal(const std::string& APath, const std::string& AReason) {
    throw EIdTreeLocalError(APath + ": " + AReason);
}

[[noreturn]] inline void FailSystem(const std::string& APath, int AError) {
    FailLocal(APath, std::strerror(AError));
}

// The tree path of the directory holding APath ("a/b" -> "a", "a" -> "").
inline std::string ParentOf(const std::string& APath) {
    const size_t slash = APath.rfind('/');
    return slash == std::string::npos ? std::string() : APath.substr(0, slash);
}

// What a failure says, a server's reply with its code.
std::string ReasonOf(const std::exception_ptr& AError);

inline bool IsAbsolute(const std::string& APath) {
    return !APath.empty() && APath.front() == '/';
}

} // namespace IdFTPTreeShared
