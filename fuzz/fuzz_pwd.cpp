// Feeds arbitrary bytes as the server's answers to PWD and checks the decoded
// directory against what any 257 text can yield.
#include "FuzzIOHandler.h"
#include "IdException.h"
#include "IdFTP.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 1) {
        return 0;
    }
    std::string input(reinterpret_cast<const char*>(AData + 1), ASize - 1);
    if (AData[0] & 1) {
        input = "257 " + input;
    }
    TFuzzIOHandler handler(input, FuzzChunkSize(AData[0] >> 1));
    TIdFTP ftp;
    ftp.SetIOHandler(&handler);
    try {
        for (int i = 0; i < 64; ++i) {
            const std::string dir = ftp.QueryCurrentDir();
            const std::string& first = ftp.LastReply().Text().front();
            Check(ftp.LastReply().NumericCode() == 257);
            // Decoding only drops quotes, so the path is shorter than its line,
            // and a reply line never holds an LF.
            Check(dir.size() + 2 <= first.size() || dir.empty());
            Check(dir.find('\n') == std::string::npos);
            if (first.find('"') == std::string::npos) {
                Check(dir.empty());
            }
        }
    } catch (const EIdException&) {
    }
    return 0;
}
