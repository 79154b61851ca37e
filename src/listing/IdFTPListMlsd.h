#pragma once

#include "IdFTPList.h"

#include <string_view>

// Machine-readable listings (MLSD): "fact=value;fact=value; name" per entry.

// Whether ALine has the shape of an MLSD entry: a run of "fact=value;" up to
// the first blank, then a name.
bool IsMlsdLine(std::string_view ALine);

// Fills AItem from an MLSD line in AItem.RawLine: the facts type, size (sizd
// for directories), modify (UTC, stored as local time), perm, unique and
// UNIX.mode; other facts are ignored and fact names match in any letter case.
// The name is everything after the first blank, kept byte for byte. Raises
// EIdInvalidFTPListingFormat on a line it cannot read and on the entries for
// the listed directory itself and its parent (cdir, pdir), which name no
// entry of the directory.
void ParseMlsdLine(TIdFTPListItem& AItem);
