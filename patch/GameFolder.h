#pragma once
// The patch worker writes below the game folder only along real folders: never through a
// symbolic link, a junction or another reparse point, which could lead anywhere.

#include <string>

namespace kestrune {

// Whether no component of `name` (a safe patch-list name, "\" or "/" separated) below `folder`,
// the last one included, is a link or reparse point; what does not exist yet passes.
bool NoLinkOnTheWay(const std::string& folder, const std::string& name);

// NoLinkOnTheWay for every name a download of `name` writes: the target, its ".lzma", the
// partial and resume record of that ".lzma", and the unpacking's temporary beside the target
// (DecompressFile's "~kestrune.tmp").
bool WritesStayInside(const std::string& folder, const std::string& name);

// Creates the missing folders of `name`'s directory part below `folder` one level at a time,
// each checked once it exists to be a real folder and no link, so that a link made meanwhile is
// caught before anything is written below it. False when a level is a link or no folder, or
// could not be made.
bool MakeFoldersOnTheWay(const std::string& folder, const std::string& name);

}  // namespace kestrune
