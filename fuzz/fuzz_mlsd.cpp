// Feeds arbitrary bytes as one MLSD line through the shape test and the
// parser, and checks what must hold for any line.
#include "IdException.h"
#include "IdFTPListMlsd.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ACondition) {
    if (!ACondition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    TIdFTPListItem item;
    item.RawLine.assign(reinterpret_cast<const char*>(AData), ASize);
    const bool shaped = IsMlsdLine(item.RawLine);
    try {
        ParseMlsdLine(item);
    } catch (const EIdInvalidFTPListingFormat&) {
        return 0;
    }
    // Whatever the facts hold, the name is the whole rest of the line.
    const size_t blank = item.RawLine.find(' ');
    Check(blank != std::string::npos && !item.Name.empty());
    Check(item.Name == item.RawLine.substr(blank + 1));
    Check(item.Kind <= likSymbolicLink && item.FileSize >= 0);
    Check(item.LinkTarget.empty() || item.Kind == likSymbolicLink);
    TIdDateTime check;
    const TIdDateTime& m = item.Modified;
    Check(m.IsZero() || TIdDateTime::TryEncode(m.Year, m.Month, m.Day, m.Hour, m.Minute, m.Second,
                                               m.Millisecond, check));
    // A line of the MLSD shape with facts never reads as an unshaped one.
    Check(!shaped || blank > 0);
    return 0;
}
