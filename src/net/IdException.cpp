#include "IdException.h"

#include "IdResourceStrings.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

std::string SystemErrorText(uint32_t code) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}

} // namespace

std::string EIdWS2StubError::Compose(const std::string& title, uint32_t code) {
    return code == 0 ? title : title + ": " + SystemErrorText(code);
}

EIdWS2StubError::EIdWS2StubError(const std::string& title, uint32_t systemErrorCode)
    : EIdException(Compose(title, systemErrorCode)), SystemErrorCode(systemErrorCode),
      SystemErrorMessage(systemErrorCode == 0 ? std::string() : SystemErrorText(systemErrorCode)),
      ErrorTitle(title) {}

EIdTlsVerifyError::EIdTlsVerifyError(const std::string& reason,
                                     const TIdCertificateInfo& certificate)
    : EIdTlsHandshakeError(FormatMessage(IdResourceStrings::RSTlsNotVerified, reason.c_str(),
                                         certificate.Sha256.c_str())),
      Reason(reason), Certificate(certificate) {}

std::string WithoutSocketErrorNumber(const std::string& AText) {
    if (AText.rfind("Socket Error # ", 0) == 0) {
        if (const size_t br = AText.find("\r\n"); br != std::string::npos) {
            return AText.substr(br + 2);
        }
    }
    return AText;
}

std::string FormatMessage(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, pattern, copy);
    va_end(copy);
    std::string result;
    if (needed > 0) {
        std::vector<char> buffer(static_cast<size_t>(needed) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), pattern, args);
        result.assign(buffer.data(), static_cast<size_t>(needed));
    }
    va_end(args);
    return result;
}
