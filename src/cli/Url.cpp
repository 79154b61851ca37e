#include "Url.h"

#include "Errors.h"

int32_t ParsePort(const std::string& AText, const std::string& AWhat) {
    int32_t port = 0;
    if (!TryParsePort(AText, port)) {
        throw EUsage("bad " + AWhat + " port '" + AText + "': expected 1 to 65535");
    }
    return port;
}
