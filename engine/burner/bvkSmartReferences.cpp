#include "burner/bvkSmartReferences.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>

#include "burner/bvkCDBurner.h"
#include "burner/bvkMD5.h"

namespace torvik {

namespace {

// A size group whose files together fit in this many bytes is kept in memory while it is
// hashed, so that a digest match is confirmed without reading either file again.
constexpr uint64_t kGroupMemory = 4u << 20;

enum class TRead { Ok, Unreadable, Aborted };

// An open source file, closed on scope exit.
class TSource {
 public:
  explicit TSource(const TFileEntry& e) : fd_(::open(e.Path.Native().c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~TSource() {
    if (fd_ >= 0) ::close(fd_);
  }
  TSource(const TSource&) = delete;
  TSource& operator=(const TSource&) = delete;
  bool IsOpen() const { return fd_ >= 0; }
  // Exactly `count` bytes; false at a read error or an end of file before them.
  bool Read(uint8_t* to, size_t count) {
    size_t got = 0;
    while (got < count) {
      const ssize_t n = ::read(fd_, to + got, count - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      got += size_t(n);
    }
    return true;
  }

 private:
  int fd_;
};

class TSearch {
 public:
  explicit TSearch(TCDFiles& cd) : cd_(cd), a_(kPacketSize), b_(kPacketSize) {}

  TSmartReferenceResult Run() {
    std::vector<pFileEntry> candidates;
    for (const auto& f : cd_.Files)
      if (IsSmartReferenceCandidate(*f)) candidates.push_back(f.get());
    // An entry others already refer to stays a target: it goes first in its size group, so a
    // later copy of it links to it rather than the other way round, which would make a chain.
    std::vector<char> isTarget(cd_.Files.size(), 0);
    for (const auto& f : cd_.Files) {
      const TFileEntry* t = f->ReferenceEntry;
      if (t && t->FileIndex >= 0 && size_t(t->FileIndex) < isTarget.size()) isTarget[size_t(t->FileIndex)] = 1;
    }
    auto target = [&](const TFileEntry* e) { return isTarget[size_t(e->FileIndex)] != 0; };
    std::sort(candidates.begin(), candidates.end(), [&](const TFileEntry* x, const TFileEntry* y) {
      if (x->FileSize != y->FileSize) return x->FileSize < y->FileSize;
      if (target(x) != target(y)) return target(x);
      return x->FileIndex < y->FileIndex;
    });

    cd_.SmartReferencesProgress = 0;
    for (size_t i = 0; i < candidates.size() && !result_.Aborted;) {
      size_t j = i + 1;
      while (j < candidates.size() && candidates[j]->FileSize == candidates[i]->FileSize) ++j;
      if (j - i == 1)
        Count(Sectors(*candidates[i]));  // nothing of its size to compare with: never read
      else
        Group(std::span<const pFileEntry>(candidates).subspan(i, j - i), target);
      i = j;
    }
    cd_.SmartReferencesProgress = cd_.SmartReferencesSize.load();
    return std::move(result_);
  }

 private:
  static uint64_t Sectors(const TFileEntry& e) { return BytesToBlocks(uint64_t(e.FileSize)); }
  void Count(uint64_t sectors) { cd_.SmartReferencesProgress += uint32_t(sectors); }

  template <typename Target>
  void Group(std::span<const pFileEntry> group, const Target& target) {
    const uint64_t size = uint64_t(group[0]->FileSize);
    const bool inMemory = size * group.size() <= kGroupMemory;
    if (inMemory) bytes_.resize(size_t(size * group.size()));
    std::vector<char> held(group.size(), 0);  // the member's bytes are in bytes_
    std::vector<size_t> kept;                 // members that keep their own data
    for (size_t k = 0; k < group.size(); ++k) {
      TFileEntry& e = *group[k];
      uint8_t* mine = inMemory ? bytes_.data() + k * size : nullptr;
      if (e.Hash.empty()) {
        const TRead r = Digest(e, mine);
        if (r == TRead::Aborted) return;
        if (r == TRead::Unreadable) {
          result_.Skipped.push_back(e.Path.Wide());
          continue;
        }
        held[k] = inMemory;
      } else {
        Count(Sectors(e));  // hashed by an earlier search or a verification
      }
      bool linked = false;
      for (size_t r : kept) {
        TFileEntry& rep = *group[r];
        if (!(rep.Hash == e.Hash)) continue;
        const TRead same = held[k] && held[r] ? (std::memcmp(mine, bytes_.data() + r * size, size) == 0
                                                     ? TRead::Ok
                                                     : TRead::Unreadable)
                                              : SameBytes(rep, e);
        if (same == TRead::Aborted) return;
        if (same != TRead::Ok) continue;  // a digest collision, or a file that changed
        // A target of earlier references keeps its data: linking it would chain theirs.
        if (target(&e)) break;
        e.ReferenceEntry = &rep;
        result_.SavedBytes += Sectors(e) * kSectorSize;
        ++result_.Linked;
        linked = true;
        break;
      }
      if (!linked) kept.push_back(k);
      if (cd_.Aborted) {
        result_.Aborted = true;
        return;
      }
    }
  }

  // Hashes exactly FileSize bytes of the entry's source into its Hash, keeping them in `keep`
  // when given. A source that cannot be opened, or ends early, leaves Hash empty.
  TRead Digest(TFileEntry& e, uint8_t* keep) {
    const uint64_t total = Sectors(e);
    uint64_t counted = 0;
    auto fail = [&](TRead why) {
      Count(total - counted);
      if (why == TRead::Aborted) result_.Aborted = true;
      return why;
    };
    TSource src(e);
    if (!src.IsOpen()) return fail(TRead::Unreadable);
    md5_.Reset();
    uint64_t remaining = uint64_t(e.FileSize);
    while (remaining > 0) {
      const size_t piece = size_t(std::min<uint64_t>(remaining, kPacketSize));
      uint8_t* to = keep ? keep : a_.data();
      if (!src.Read(to, piece)) return fail(TRead::Unreadable);
      md5_.Write(to, piece);
      if (keep) keep += piece;
      remaining -= piece;
      const uint64_t sectors = BytesToBlocks(piece);
      Count(sectors);
      counted += sectors;
      if (cd_.Aborted && remaining > 0) return fail(TRead::Aborted);
    }
    e.Hash = md5_.DigestString();
    return TRead::Ok;
  }

  // Ok when both sources hold the same FileSize bytes; Unreadable when they differ or either
  // cannot be read.
  TRead SameBytes(const TFileEntry& x, const TFileEntry& y) {
    TSource sx(x), sy(y);
    if (!sx.IsOpen() || !sy.IsOpen()) return TRead::Unreadable;
    uint64_t remaining = uint64_t(x.FileSize);
    while (remaining > 0) {
      const size_t piece = size_t(std::min<uint64_t>(remaining, kPacketSize));
      if (!sx.Read(a_.data(), piece) || !sy.Read(b_.data(), piece)) return TRead::Unreadable;
      if (std::memcmp(a_.data(), b_.data(), piece) != 0) return TRead::Unreadable;
      remaining -= piece;
      if (cd_.Aborted && remaining > 0) {
        result_.Aborted = true;
        return TRead::Aborted;
      }
    }
    return TRead::Ok;
  }

  TCDFiles& cd_;
  TMD5Stream md5_;
  std::vector<uint8_t> a_, b_;  // 64 KiB read buffers, allocated once
  std::vector<uint8_t> bytes_;  // the current size group, when it fits in kGroupMemory
  TSmartReferenceResult result_;
};

}  // namespace

bool IsSmartReferenceCandidate(const TFileEntry& e) {
  return e.DirRecord == nullptr && e.FileSize > 0 && !e.Imported && !e.Path.empty() &&
         !e.mfcbFunction && e.ReferenceEntry == nullptr;
}

uint64_t SmartReferenceCandidateSectors(const TCDFiles& cd) {
  uint64_t sectors = 0;
  for (const auto& f : cd.Files)
    if (IsSmartReferenceCandidate(*f)) sectors += BytesToBlocks(uint64_t(f->FileSize));
  return sectors;
}

TSmartReferenceResult FindSmartReferences(TCDFiles& cd) { return TSearch(cd).Run(); }

TSmartReferenceThread::TSmartReferenceThread(TBrenvik& Owner, TCDFiles& CDFiles)
    : FOwner(Owner), FCDFiles(CDFiles) {
  FThread = std::thread([this] { Execute(); });
}

void TSmartReferenceThread::Execute() {
  TCDFiles& cd = FCDFiles;
  // One step below normal, so that the caller stays responsive; on Linux a nice value is the
  // calling thread's own. Where it cannot be lowered the search simply runs as it is.
  const id_t self = id_t(::gettid());
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, self);
  if (errno == 0) ::setpriority(PRIO_PROCESS, self, nice + 1);
  TSmartReferenceResult result = FindSmartReferences(cd);
  uint32_t error;
  {
    std::lock_guard lock(cd.CriticalSection);
    cd.SmartReferencesSaved = result.SavedBytes;
    cd.SmartReferencesSkipped = std::move(result.Skipped);
    if (result.Aborted || cd.Aborted) cd.ErrorNumber = ERR_ABORTED;
    error = cd.ErrorNumber;
    cd.ComponentStatus = CS_IDLE;
  }
  // Outside the lock: a handler that runs here may call back into the component.
  FOwner.Complete(WM_SMARTREF_DONE, error, int64_t(int32_t(uint32_t(result.SavedBytes))), this);
}

}  // namespace torvik
