#pragma once

#include "IdFTPListDateTime.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum TIdListItemKind : uint8_t {
    likDirectory = 0,
    // Also anything that is neither a directory nor a link (devices, sockets, pipes).
    likFile = 1,
    likSymbolicLink = 2,
};

enum TIdFTPListFormat : uint8_t {
    flfNone = 0,
    flfDos = 1,
    flfUnix = 2,
    flfVax = 3,
    flfNoDetails = 4,
    flfUnknown = 5,
    flfCustom = 6,
    // Machine-readable lines of MLSD ("type=file;size=5; name").
    flfMlsd = 7,
};

// One entry of a directory listing. The question marks stand for "not listed".
class TIdFTPListItem {
public:
    int64_t FileSize = 0;
    int32_t LinkCount = 0;
    std::string RawLine;
    std::string Name;
    std::string GroupRights = "???";
    std::string Group = "????????";
    std::string OwnerRights = "???";
    std::string Owner = "????????";
    std::string OtherRights = "???";
    TIdDateTime Modified;
    std::string LinkTarget;
    TIdListItemKind Kind = likFile;
    // From MLSD only: what the server lets this user do ("perm", letters
    // such as r, w, d, e, l), and its identity for the entry ("unique").
    std::string Perm;
    std::string Unique;
};

using TIdOnParseCustomListFormat = std::function<void(TIdFTPListItem& AItem)>;

// The parsed entries of one listing, in the order of its lines.
class TIdFTPListItems {
public:
    // AClock supplies "now" for the year rules of the parsers; empty means the local clock.
    explicit TIdFTPListItems(TIdClock AClock = {});
    virtual ~TIdFTPListItems();
    TIdFTPListItems(const TIdFTPListItems&) = delete;
    TIdFTPListItems& operator=(const TIdFTPListItems&) = delete;

    TIdFTPListFormat ListingFormat() const { return FListingFormat; }
    void SetListingFormat(TIdFTPListFormat AValue) { FListingFormat = AValue; }

    void SetClock(TIdClock AClock);
    TIdDateTime Now() const;

    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    TIdFTPListItem& AddItem();
    // An index out of range raises std::out_of_range.
    TIdFTPListItem& ItemAt(int32_t AIndex);
    const TIdFTPListItem& ItemAt(int32_t AIndex) const;
    void Delete(int32_t AIndex);
    void Clear();

    // Replaces the entries with one per non-blank line, parsed by ListingFormat.
    // A line that fails to parse is dropped on its own; no failure escapes.
    void LoadLines(const std::vector<std::string>& ALines);
    // The line a listing's layout is judged from: the first that is an entry,
    // past blank lines and the block count ("total 24"); the first line when
    // none is. ALines must not be empty.
    static const std::string& FirstEntryLine(const std::vector<std::string>& ALines);

    // Which layout a listing uses, judged from one of its lines.
    virtual TIdFTPListFormat DetectFormat(const std::string& ALine, bool ADetails) const;
    // Hands the entry to OnParseCustomListFormat; raises EIdInvalidFTPListingFormat without one.
    virtual void ParseCustomLine(TIdFTPListItem& AItem);
    // Fills AItem from its RawLine by AFormat; raises when the line cannot be read.
    void ParseLine(TIdFTPListFormat AFormat, TIdFTPListItem& AItem);

    TIdOnParseCustomListFormat OnParseCustomListFormat;

private:
    void ParseLine(TIdFTPListFormat AFormat, TIdFTPListItem& AItem, const TIdDateTime& ANow);
    void Remove(const TIdFTPListItem* AItem);

    // Entries live in blocks, so a listing of many thousand lines costs a few
    // allocations for its entries, not one each; an entry never moves while
    // the listing holds it.
    struct TBlock {
        std::unique_ptr<TIdFTPListItem[]> Items;
        size_t Size = 0;
        size_t Used = 0;
    };
    std::vector<TBlock> FBlocks;
    std::vector<TIdFTPListItem*> FItems;
    TIdFTPListFormat FListingFormat = flfUnix;
    TIdClock FClock;
};

// Fills AItem from a long Unix listing line in AItem.RawLine ("drwxr-xr-x 2 user
// group 512 Mar 3 14:05 name"). ANow decides the year of entries listed with
// a time. Raises on a line it cannot read.
void ParseUnixLine(TIdFTPListItem& AItem, const TIdDateTime& ANow);
void ParseUnixLine(TIdFTPListItem& AItem);

// Fills AItem from a DOS/Windows listing line ("10-15-98  10:30AM  <DIR>  name").
// ANow's year anchors two-digit years. A date that does not parse leaves the
// zero date-time; nothing else makes it raise.
void ParseDosLine(TIdFTPListItem& AItem, const TIdDateTime& ANow);
void ParseDosLine(TIdFTPListItem& AItem);
