// Reading a session's tree from the disc in a drive or from an image file, for the session
// import of the component and for listings.
#pragma once

#include <string>
#include <string_view>

#include "device/bvkSCSILib.h"
#include "layout/bvkISO9660Reader.h"

namespace torvik {

// The first sector of session `session` (counted from 1): the start of its first track, found
// from the disc information and the tracks' session numbers. False when the drive names no such
// session.
bool FindSessionStart(TSCSIDevice& d, int session, uint32_t& start, std::string& error);

// Reads session SessionNo (0: the last complete one) of the disc; `session` gets the number read.
bool ReadDiscSessionTree(TSCSIDevice& d, int SessionNo, TISOTree& tree, int& session,
                         std::string& error);

// Reads the tree of an image file (sector k at byte k * 2048; extents are sectors of the file).
bool ReadImageFileTree(std::string_view path, TISOTree& tree, std::string& error);

}  // namespace torvik
