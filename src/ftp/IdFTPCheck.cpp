// Resumed uploads and the check that follows every transfer: the size of the
// file on the other side, and a digest where the server computes one.

#include "IdFTP.h"

#include "IdException.h"
#include "IdGlobal.h"
#include "IdResourceStrings.h"

#include <cctype>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

// The words of a FEAT line after its first ("HASH SHA-256*;SHA-1;MD5").
std::vector<std::string> HashFeatureNames(const std::string& AFeature) {
    std::vector<std::string> names;
    const auto space = AFeature.find(' ');
    if (space == std::string::npos) {
        return names;
    }
    std::string rest = AFeature.substr(space + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        const size_t end = rest.find(';', start);
        std::string name = TrimControl(rest.substr(start, end - start));
        // "*" marks the algorithm selected now.
        if (!name.empty() && name.back() == '*') {
            name.pop_back();
        }
        if (!name.empty()) {
            names.push_back(UpperCaseAscii(name));
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return names;
}

size_t HexLength(TIdHashKind AKind) {
    switch (AKind) {
    case TIdHashKind::Sha256:
        return 64;
    case TIdHashKind::Sha1:
        return 40;
    case TIdHashKind::Md5:
        return 32;
    default:
        return 8;
    }
}

bool AllHex(const std::string& AText) {
    for (const char c : AText) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return !AText.empty();
}

// The digest in a reply: "213 SHA-256 0-1023 <hex> name" for HASH, "250
// <hex>" or "213 <hex>" for the X commands. The first word of the right
// shape counts; the name comes after it, so a name that looks like hex
// cannot take its place. XCRC servers may drop leading zeros.
std::string DigestInReply(const std::vector<std::string>& ALines, TIdHashKind AKind) {
    const size_t length = HexLength(AKind);
    for (const std::string& line : ALines) {
        size_t start = 0;
        while (start < line.size()) {
            size_t end = line.find(' ', start);
            if (end == std::string::npos) {
                end = line.size();
            }
            const std::string word = line.substr(start, end - start);
            if (AllHex(word) && (word.size() == length ||
                                 (AKind == TIdHashKind::Crc32 && word.size() < length))) {
                std::string hex = LowerCaseAscii(word);
                return std::string(length - hex.size(), '0') + hex;
            }
            start = end + 1;
        }
    }
    return std::string();
}

// The part of the file before a restart offset never crosses the network,
// so it is read here to complete the digest. False when it cannot be read
// (a target opened for writing only): that transfer goes without a digest.
bool HashPrefix(TIdStream& AStream, TIdHash& AHash, int64_t AEnd) {
    try {
        AStream.SetPosition(0);
        std::vector<char> buffer(1 << 16);
        int64_t done = 0;
        while (done < AEnd) {
            const int64_t count = AStream.Read(
                buffer.data(), std::min<int64_t>(AEnd - done, static_cast<int64_t>(buffer.size())));
            if (count <= 0) {
                break;
            }
            AHash.Update(buffer.data(), count);
            done += count;
        }
        AStream.SetPosition(AEnd);
        return done == AEnd;
    } catch (...) {
        try {
            AStream.SetPosition(AEnd);
        } catch (...) {
        }
        return false;
    }
}

} // namespace

TIdHashKind TIdFTP::OfferedHash(std::string& VCommand) const {
    // The standard command first, with the strongest algorithm it lists.
    for (const std::string& feature : FFeatures) {
        const auto space = feature.find(' ');
        if (!SameTextAscii(feature.substr(0, space), "HASH")) {
            continue;
        }
        const std::vector<std::string> names = HashFeatureNames(feature);
        for (const TIdHashKind kind :
             {TIdHashKind::Sha256, TIdHashKind::Sha1, TIdHashKind::Md5, TIdHashKind::Crc32}) {
            for (const std::string& name : names) {
                if (name == TIdHash::Name(kind)) {
                    VCommand = "HASH";
                    return kind;
                }
            }
        }
    }
    static const struct {
        const char* Command;
        TIdHashKind Kind;
    } kOlder[] = {{"XSHA256", TIdHashKind::Sha256},
                  {"XSHA1", TIdHashKind::Sha1},
                  {"XMD5", TIdHashKind::Md5},
                  {"XCRC", TIdHashKind::Crc32}};
    for (const auto& older : kOlder) {
        if (HasFeature(older.Command)) {
            VCommand = older.Command;
            return older.Kind;
        }
    }
    VCommand.clear();
    return TIdHashKind::None;
}

std::string TIdFTP::RemoteDigest(TIdHashKind AKind, const std::string& ACommand,
                                 const std::string& AName) {
    if (ACommand == "HASH" && FHashSelected != AKind) {
        if (SendCommand(std::string("OPTS HASH ") + TIdHash::Name(AKind), -1) != 200) {
            return std::string();
        }
        FHashSelected = AKind;
    }
    // A server that cannot compute it now (busy, 450; a file too large, 556)
    // leaves the size as the check.
    const int16_t code = SendCommand(ACommand + " " + AName, -1);
    if (code != 213 && code != 250) {
        return std::string();
    }
    return DigestInReply(LastReply().Text(), AKind);
}

int64_t TIdFTP::RemoteSize(const std::string& AName) {
    if (SendCommand("SIZE " + AName, -1) != 213) {
        return -1;
    }
    const auto& text = LastReply().Text();
    const std::string digits = text.empty() ? std::string() : TrimControl(text.front());
    if (digits.empty() || digits.size() > 18 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    return std::strtoll(digits.c_str(), nullptr, 10);
}

int64_t TIdFTP::RemoteSizeOrListed(const std::string& AName, std::string* VMethod) {
    int64_t size = RemoteSize(AName);
    if (size >= 0) {
        if (VMethod != nullptr) {
            *VMethod = "SIZE";
        }
        return size;
    }
    // LIST of the one file, parsed apart from the session's listing so that
    // what the caller listed last stays as it was. MLSD is not used: servers
    // refuse it for a file, which would turn it off for the session.
    TIdMemoryStream stream;
    try {
        ReceiveTransfer("LIST " + AName, stream, false);
    } catch (const EIdProtocolReplyError&) {
        return -1;
    }
    std::vector<std::string> lines;
    std::string all = stream.DataString();
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            end = all.size();
        }
        std::string line = all.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    TIdFTPListItems items;
    try {
        items.SetListingFormat(items.DetectFormat(TIdFTPListItems::FirstEntryLine(lines), true));
        items.LoadLines(lines);
    } catch (const EIdException&) {
        return -1;
    }
    const std::string base = AName.substr(AName.find_last_of('/') + 1);
    for (int32_t i = 0; i < items.Count(); ++i) {
        const TIdFTPListItem& item = items.ItemAt(i);
        if (item.Kind != likDirectory && (item.Name == base || item.Name == AName)) {
            if (VMethod != nullptr) {
                *VMethod = "LIST";
            }
            return item.FileSize;
        }
    }
    return -1;
}

void TIdFTP::CheckedTransfer(const std::string& AName, TIdStream& AStream, bool ARestarted,
                             const std::function<void(TIdStream&)>& ATransfer) {
    FLastCheck = TIdFTPCheck();
    const int64_t listed = std::exchange(ListedSize, -1);
    if (!CheckTransfers || FTransferType == ftASCII) {
        ATransfer(AStream);
        return;
    }
    std::string command;
    const TIdHashKind kind = OfferedHash(command);
    const int64_t start = AStream.Position();
    std::unique_ptr<TIdHash> hash;
    if (kind != TIdHashKind::None) {
        hash = std::make_unique<TIdHash>(kind);
        if (ARestarted && start > 0 && !HashPrefix(AStream, *hash, start)) {
            hash.reset();
        }
    }
    if (hash) {
        TIdHashStream through(AStream, *hash);
        ATransfer(through);
    } else {
        ATransfer(AStream);
    }
    // A transfer the server ended with 426 or 450 did not complete, whatever
    // came through: a checked transfer fails with that reply.
    const int code = LastReply().NumericCode();
    if (code == 426 || code == 450) {
        RaiseReplyError();
    }
    // A restarted transfer makes the remote file the whole local one; any
    // other, the bytes that passed.
    const int64_t end = AStream.Position();
    const int64_t expected = ARestarted ? end : end - start;
    std::string sizeMethod = "LIST";
    int64_t remote = listed;
    if (remote < 0) {
        remote = CheckByListing ? RemoteSizeOrListed(AName, &sizeMethod) : RemoteSize(AName);
        if (!CheckByListing) {
            sizeMethod = "SIZE";
        }
    }
    if (remote >= 0) {
        if (remote != expected) {
            throw EIdFTPCheckFailed(FormatMessage(
                IdResourceStrings::RSFTPSizeMismatch, AName.c_str(),
                static_cast<long long>(expected), static_cast<long long>(remote),
                sizeMethod.c_str()));
        }
        FLastCheck.Kind = TIdFTPCheckKind::Size;
        FLastCheck.SizeMethod = sizeMethod;
        FLastCheck.Size = remote;
    }
    if (hash) {
        const std::string ours = hash->Final();
        const std::string theirs = RemoteDigest(kind, command, AName);
        const std::string method =
            command == "HASH" ? command + " " + TIdHash::Name(kind) : command;
        if (!theirs.empty()) {
            if (theirs != ours) {
                throw EIdFTPCheckFailed(FormatMessage(IdResourceStrings::RSFTPDigestMismatch,
                                                      TIdHash::Name(kind), AName.c_str(),
                                                      ours.c_str(), theirs.c_str(),
                                                      method.c_str()));
            }
            FLastCheck.Kind = TIdFTPCheckKind::Digest;
            FLastCheck.DigestMethod = method;
            FLastCheck.Digest = ours;
        }
    }
}

void TIdFTP::ResumeUpload(TIdStream& ASource, const std::string& AToName) {
    const int64_t done = RemoteSize(AToName);
    if (done <= 0) {
        ASource.SetPosition(0);
        Upload(ASource, AToName, false);
        return;
    }
    if (done > ASource.Size()) {
        throw EIdFTPCheckFailed(FormatMessage(IdResourceStrings::RSFTPRemoteLarger,
                                              AToName.c_str(), static_cast<long long>(done),
                                              static_cast<long long>(ASource.Size())));
    }
    ASource.SetPosition(done);
    ListedSize = -1;
    CheckedTransfer(AToName, ASource, true, [&](TIdStream& AStream) {
        // REST itself tells whether the server restarts: no probe first,
        // which would cost two round trips.
        if (!FRestartChecked || FRestartAllowed) {
            bool accepted = false;
            try {
                Transfer("STOR " + AToName, AStream, TDirection::Send, true,
                         [&accepted] { accepted = true; });
                FRestartChecked = FRestartAllowed = true;
                return;
            } catch (const EIdProtocolReplyError& e) {
                // Some servers restart downloads only, and refuse REST before
                // STOR or the STOR after it; APPE continues the file there.
                if (accepted || !IsConnected() || e.ReplyCode < 500) {
                    throw;
                }
            }
            AStream.SetPosition(done);
        }
        Transfer("APPE " + AToName, AStream, TDirection::Send, false, {});
    });
}
