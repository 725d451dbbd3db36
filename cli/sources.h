// Filling the layout from command-line paths, and the checks that keep a job from losing a file
// without a word: two sources that would land on one disc path, entries a folder scan left out,
// a volume label the disc cannot show.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "burner/bvkCDBurner.h"

namespace torvik::cli {

// Warnings go to stderr as they come ("torvik-cli: warning: ..."); the count ends up in the
// summary, so a user who scrolled past them still learns there were some.
class TWarnings {
 public:
  void Warn(const std::string& text);
  int Count() const { return count_; }

 private:
  int count_ = 0;
};

// Adds each path the way the application fills its layout: a folder's contents (its whole
// subtree) go to the root of the disc, or with `savePath` below the folder's own path; a file
// goes to the root. Returns an empty text, or why the sources cannot make a disc: a path that
// cannot be added, or two sources that would both be one disc path (the layout would keep only
// one of them). What the scans left out is reported through `warnings`.
std::string AddSources(TBrenvik& burner, const std::vector<std::string>& paths, bool savePath,
                       TWarnings& warnings);

// The folders --save-path recreates for `path`: its components after removing "." and folding
// each ".." into the component before it, without asking the file system ("a/../b/./c" and
// "/x/../b/c/" give {b, c}). A ".." that has nothing left to fold away is dropped, as archivers
// drop a leading "../": the disc has nothing above its root.
std::vector<std::string> SavePathFolders(std::string_view path);

// A disc path of the layout ("\Docs\x.txt") as messages show it ("/Docs/x.txt").
std::string DiscPathForMessage(std::u16string_view discPath);

// Empty when the label can be written, otherwise why not: control characters (below U+0020,
// U+007F to U+009F) would end up in the volume descriptors, where readers show them raw.
std::string CheckVolumeLabel(std::string_view label);

}  // namespace torvik::cli
