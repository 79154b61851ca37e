#pragma once

// qvftp reads its addresses with the library's parser; a malformed one is a
// usage error (see Main.cpp).
#include "IdFTPUrl.h"

#include <cstdint>
#include <string>

// Reads "1".."65535"; raises EUsage naming AWhat otherwise.
int32_t ParsePort(const std::string& AText, const std::string& AWhat);
