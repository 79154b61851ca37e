#include "IdHashStream.h"

#include "IdException.h"

#include <array>
#include <openssl/evp.h>

struct TIdHash::TState {
    EVP_MD_CTX* Context = nullptr;
    uint32_t Crc = 0xFFFFFFFFu;
    ~TState() { EVP_MD_CTX_free(Context); }
};

namespace {

// CRC-32 as XCRC reports it (the polynomial of zlib and Ethernet).
const std::array<uint32_t, 256>& CrcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    return table;
}

std::string Hex(const unsigned char* AData, size_t ACount) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(ACount * 2);
    for (size_t i = 0; i < ACount; ++i) {
        text += digits[AData[i] >> 4];
        text += digits[AData[i] & 15];
    }
    return text;
}

} // namespace

TIdHash::TIdHash(TIdHashKind AKind) : FKind(AKind), FState(std::make_unique<TState>()) {
    const EVP_MD* md = AKind == TIdHashKind::Sha256 ? EVP_sha256()
                       : AKind == TIdHashKind::Sha1 ? EVP_sha1()
                       : AKind == TIdHashKind::Md5  ? EVP_md5()
                                                    : nullptr;
    if (md != nullptr) {
        FState->Context = EVP_MD_CTX_new();
        if (FState->Context == nullptr || EVP_DigestInit_ex(FState->Context, md, nullptr) != 1) {
            throw EIdException(std::string("Cannot compute ") + Name(AKind));
        }
    }
}

TIdHash::~TIdHash() = default;

void TIdHash::Update(const void* AData, int64_t ACount) {
    if (ACount <= 0) {
        return;
    }
    if (FState->Context != nullptr) {
        EVP_DigestUpdate(FState->Context, AData, static_cast<size_t>(ACount));
    } else if (FKind == TIdHashKind::Crc32) {
        const auto& table = CrcTable();
        const auto* p = static_cast<const unsigned char*>(AData);
        uint32_t c = FState->Crc;
        for (int64_t i = 0; i < ACount; ++i) {
            c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
        }
        FState->Crc = c;
    }
}

std::string TIdHash::Final() {
    if (FState->Context != nullptr) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(FState->Context, out, &length);
        return Hex(out, length);
    }
    const uint32_t c = FState->Crc ^ 0xFFFFFFFFu;
    const unsigned char bytes[] = {static_cast<unsigned char>(c >> 24),
                                   static_cast<unsigned char>(c >> 16),
                                   static_cast<unsigned char>(c >> 8),
                                   static_cast<unsigned char>(c)};
    return Hex(bytes, sizeof bytes);
}

const char* TIdHash::Name(TIdHashKind AKind) {
    switch (AKind) {
    case TIdHashKind::Sha256:
        return "SHA-256";
    case TIdHashKind::Sha1:
        return "SHA-1";
    case TIdHashKind::Md5:
        return "MD5";
    case TIdHashKind::Crc32:
        return "CRC32";
    case TIdHashKind::None:
        break;
    }
    return "";
}

int64_t TIdHashStream::Read(void* ABuffer, int64_t ACount) {
    const int64_t count = FInner.Read(ABuffer, ACount);
    FHash.Update(ABuffer, count);
    return count;
}

int64_t TIdHashStream::Write(const void* ABuffer, int64_t ACount) {
    const int64_t count = FInner.Write(ABuffer, ACount);
    FHash.Update(ABuffer, count);
    return count;
}
