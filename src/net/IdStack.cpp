#include "IdStack.h"

#include "IdException.h"
#include "IdGlobal.h"
#include "IdResourceStrings.h"
#include "IdStackPosix.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <stdexcept>
#include <string_view>
#include <utility>

TIdStack* TheStack = nullptr;
TIdStackClass StackClass;
bool StackStarted = false;
TIdSendWholeFile SendWholeFile;

namespace {

std::unique_ptr<TIdStack> gStackOwner;

struct TIdErrorTextRow {
    int32_t Code;
    const char* Text;
};

// The trailing blank of "Operation would block. " and the missing full stop of
// "Directory not empty" are part of the texts callers have always seen.
constexpr TIdErrorTextRow ErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
};

// A whole-text decimal integer with an optional sign; false for anything else,
// including values outside the 32-bit range.
bool ParseDecimal(std::string_view AText, int64_t& AValue) {
    int32_t value = 0;
    if (!TryStrToInt(AText, value)) {
        return false;
    }
    AValue = value;
    return true;
}

} // namespace

TIdStack::TIdStack() = default;

TIdStack::~TIdStack() = default;

std::string TIdStack::FirstLocalAddress() {
    const TIdStrings& list = LocalAddressList();
    return list.empty() ? std::string() : list.front();
}

const TIdStrings& TIdStack::LocalAddressList() {
    if (!LocalAddresses) {
        LocalAddresses = std::make_unique<TIdStrings>();
    }
    FillLocalAddresses();
    return *LocalAddresses;
}

std::string TIdStack::ErrorText(int32_t AErrorCode) {
    const char* text = "";
    for (const TIdErrorTextRow& row : ErrorTexts) {
        if (row.Code == AErrorCode) {
            text = row.Text;
            break;
        }
    }
    return FormatMessage(IdResourceStrings::RSStackError, AErrorCode, text);
}

bool TIdAddress::Parse(std::string_view AText, int32_t APort, TIdAddress& VAddress) {
    TIdAddress address;
    address.Port = APort;
    if (AText.size() >= 2 && AText.front() == '[' && AText.back() == ']') {
        AText = AText.substr(1, AText.size() - 2);
        if (AText.find(':') == std::string_view::npos) {
            return false;
        }
    }
    if (AText.find(':') != std::string_view::npos) {
        std::string text(AText);
        const auto percent = text.find('%');
        if (percent != std::string::npos) {
            const std::string zone = text.substr(percent + 1);
            text.resize(percent);
            int32_t index = 0;
            if (zone.empty()) {
                return false;
            }
            if (TryStrToInt(zone, index) && index > 0) {
                address.ScopeId = static_cast<uint32_t>(index);
            } else {
                address.ScopeId = ::if_nametoindex(zone.c_str());
                if (address.ScopeId == 0) {
                    return false;
                }
            }
        }
        if (::inet_pton(AF_INET6, text.c_str(), address.Bytes.data()) != 1) {
            return false;
        }
        address.Family = TIdAddressFamily::IPv6;
    } else {
        std::string rest(AText);
        for (size_t i = 0; i < 4; ++i) {
            const std::string part = i < 3 ? CutToken(rest, ".", true, true) : rest;
            int64_t value = 0;
            if (!ParseDecimal(part, value) || value < 0 || value > 255) {
                return false;
            }
            address.Bytes[i] = static_cast<uint8_t>(value);
        }
        address.Family = TIdAddressFamily::IPv4;
    }
    VAddress = address;
    return true;
}

std::string TIdAddress::WireText() const {
    if (Family == TIdAddressFamily::None) {
        return std::string();
    }
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(Family == TIdAddressFamily::IPv6 ? AF_INET6 : AF_INET, Bytes.data(), text,
                sizeof text);
    return text;
}

std::string TIdAddress::Text() const {
    std::string text = WireText();
    if (Family == TIdAddressFamily::IPv6 && ScopeId != 0) {
        char name[IF_NAMESIZE] = {};
        text += '%';
        text += ::if_indextoname(ScopeId, name) != nullptr ? std::string(name)
                                                           : std::to_string(ScopeId);
    }
    return text;
}

int32_t IdFamilyCode(TIdAddressFamily AFamily) {
    return AFamily == TIdAddressFamily::IPv6 ? Id_PF_INET6 : Id_PF_INET;
}

std::string TIdStack::AddressToText(const TIdIn4Bytes& AAddress) {
    TIdAddress address;
    address.Family = TIdAddressFamily::IPv4;
    std::copy(AAddress.begin(), AAddress.end(), address.Bytes.begin());
    return address.Text();
}

void TIdStack::TextToAddress(std::string AText, TIdIn4Bytes& AAddress) {
    for (uint8_t& byte : AAddress) {
        const std::string part = CutToken(AText, ".", true, true);
        int64_t value = 0;
        if (!ParseDecimal(part, value)) {
            throw std::invalid_argument(
                FormatMessage(IdResourceStrings::RSNotAnInteger, part.c_str()));
        }
        byte = static_cast<uint8_t>(value & 0xFF);
    }
}

std::unique_ptr<TIdStack> TIdStack::NewStack() {
    if (StackClass) {
        return StackClass();
    }
    return std::make_unique<TIdStackPosix>();
}

bool TIdStack::CheckSocketResult(int32_t AResult, const std::vector<int32_t>& AIgnore) {
    if (AResult != Id_SOCKET_ERROR) {
        return false;
    }
    const int32_t code = LastSocketError();
    LastErrorCode = code;
    if (std::find(AIgnore.begin(), AIgnore.end(), code) != AIgnore.end()) {
        return true;
    }
    RaiseSocketFailure(code);
}

void TIdStack::RaiseSocketFailure(int32_t AErrorCode) {
    throw EIdSocketError(AErrorCode, ErrorText(AErrorCode));
}

TIdStackSocketHandle TIdStack::NewSocket(int32_t AType, int32_t AProtocol, int32_t AFamily) {
    const TIdStackSocketHandle socket = SockCreate(AFamily, AType, AProtocol);
    if (socket == Id_INVALID_SOCKET) {
        throw EIdInvalidSocket(IdResourceStrings::RSCannotAllocateSocket);
    }
    return socket;
}

std::string TIdStack::ResolveHostName(const std::string& AHost) {
    if (SameTextAscii(AHost, "LOCALHOST")) {
        return "127.0.0.1";
    }
    if (IsDottedQuad(AHost)) {
        return AHost;
    }
    return HostByName(AHost);
}

std::vector<TIdAddress> TIdStack::ResolveAddresses(const std::string& AHost, int32_t APort,
                                                   TIdAddressFamily AFamily) {
    TIdAddress literal;
    if (SameTextAscii(AHost, "LOCALHOST")) {
        TIdAddress::Parse(AFamily == TIdAddressFamily::IPv6 ? "::1" : "127.0.0.1", APort, literal);
    } else if (!TIdAddress::Parse(AHost, APort, literal)) {
        std::vector<TIdAddress> found = HostAddresses(AHost, AFamily);
        for (TIdAddress& address : found) {
            address.Port = APort;
        }
        return found;
    }
    if (AFamily != TIdAddressFamily::None && literal.Family != AFamily) {
        // A literal of the other family cannot be reached as asked.
        RaiseSocketFailure(Id_WSAHOST_NOT_FOUND);
    }
    return {literal};
}

bool TIdStack::IsDottedQuad(const std::string& AText) const {
    TIdAddress address;
    return TIdAddress::Parse(AText, 0, address) && address.Family == TIdAddressFamily::IPv4;
}

bool TIdStack::IsValidPort(int64_t APort, bool AAllowAny) {
    return APort <= 65535 && (APort >= 1 || (AAllowAny && APort == 0));
}

void TIdStack::CheckPort(int64_t APort, bool AAllowAny) {
    if (!IsValidPort(APort, AAllowAny)) {
        throw EIdException(
            FormatMessage(IdResourceStrings::RSInvalidPort, static_cast<long long>(APort)));
    }
}

uint32_t TIdStack::TextToInAddr(const std::string& AText) {
    TIdIn4Bytes bytes{};
    TextToAddress(AText, bytes);
    uint32_t address = 0;
    std::memcpy(&address, bytes.data(), sizeof address);
    return address;
}

void TIdStack::CreateTheStack() {
    gStackOwner = NewStack();
    TheStack = gStackOwner.get();
}

void TIdStack::FreeTheStack() {
    TheStack = nullptr;
    gStackOwner.reset();
}
