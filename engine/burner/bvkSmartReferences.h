// Duplicate detection ("smart references"): files of the layout with identical contents are
// stored once; every other copy becomes a reference whose records point at the same sectors.
// Files are grouped by size, only files that share a size are read, each is hashed (MD5) at
// most once, and a digest match is only linked after the bytes themselves compared equal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "burner/bvkDiscJobs.h"

namespace torvik {

// Whether the entry takes part in a search: a file with data read from a source on disk, not
// imported, not a memory file, and not already a reference.
bool IsSmartReferenceCandidate(const TFileEntry& e);

// Sectors of all candidates of the layout: the total the search's progress counts up to.
uint64_t SmartReferenceCandidateSectors(const TCDFiles& cd);

struct TSmartReferenceResult {
  uint64_t SavedBytes = 0;                // whole sectors of the files that became references
  uint32_t Linked = 0;                    // files that became references
  std::vector<std::u16string> Skipped;    // sources that could not be read in full
  bool Aborted = false;
};

// The search itself, on the calling thread. Sets ReferenceEntry (always to an entry that has
// none itself) and Hash of the entries, and counts SmartReferencesProgress up; it stops early
// when cd.Aborted is raised, keeping the references made so far.
TSmartReferenceResult FindSmartReferences(TCDFiles& cd);

// Runs FindSmartReferences on its own thread, then leaves the outcome in the layout
// (SmartReferencesSaved, SmartReferencesSkipped, ErrorNumber 4 after an abort), sets
// ComponentStatus to 0 and reports one smart-references-done event: Failed after an abort,
// CanSaveBytes the low 32 bits of the bytes saved.
class TSmartReferenceThread : public TDiscJobThread {
 public:
  TSmartReferenceThread(TBrenvik& Owner, TCDFiles& CDFiles);
  ~TSmartReferenceThread() override { Join(); }

 private:
  void Execute();

  TBrenvik& FOwner;
  TCDFiles& FCDFiles;
};

}  // namespace torvik
