// Feeds arbitrary text as an ftp:// address, as a web page's link hands one to
// the program, and checks what a parsed address may hold.
#include "FuzzIOHandler.h"
#include "IdFTPUrl.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// Bytes that would cut a command short or start a second one.
bool Clean(const std::string& AText) {
    return AText.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string text(reinterpret_cast<const char*>(AData), ASize);
    TFtpUrl url;
    try {
        url = ParseFtpUrl(text);
    } catch (const EIdFtpUrlError&) {
        return 0;
    }
    Check(!url.Host.empty() && url.Port >= 1 && url.Port <= 65535);
    Check(Clean(url.User) && Clean(url.Password) && Clean(url.Name));
    Check(!url.HasUser || !url.User.empty());
    for (const std::string& dir : url.Dirs) {
        Check(!dir.empty() && Clean(dir));
    }
    Check(Clean(url.DirectoryPath()));
    return 0;
}
