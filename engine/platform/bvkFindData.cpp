#include "platform/bvkFindData.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>
#include <unordered_set>

#include "platform/bvkText.h"
#include "platform/bvkTime.h"

namespace torvik {

namespace {

// Fills the record from a stat of the target (links already resolved). `writable` is the
// access(W_OK) answer; a file without any write permission bit counts as read-only even for a
// user (root) whom access() would let write, since the attribute describes the file, not us.
void FillFindData(const struct stat& st, std::string_view name, bool writable,
                  TWin32FindDataW& fd) {
  fd = TWin32FindDataW{};
  const bool dir = S_ISDIR(st.st_mode);
  uint32_t attr = dir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!name.empty() && name[0] == '.') attr |= FILE_ATTRIBUTE_HIDDEN;
  if (!writable || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
    attr |= FILE_ATTRIBUTE_READONLY;
  fd.dwFileAttributes = attr;
  fd.ftLastWriteTime = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  fd.ftLastAccessTime = FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  // Linux keeps no creation time in struct stat; the status-change time is the nearest.
  fd.ftCreationTime = FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  fd.SetFileSize(dir ? 0 : uint64_t(st.st_size));
  fd.cFileName = NameFromNativeBytes(name);
}

// Characters an 8.3 name may hold besides letters and digits (FAT's rules).
bool Is83Punctuation(char16_t c) {
  return std::u16string_view(u"!#$%&'()-@^_`{}~").find(c) != std::u16string_view::npos;
}

bool Is83Char(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
         Is83Punctuation(c);
}

// One character of a derived 8.3 name: upper case A-Z, 0-9 or '_'.
char16_t AlternateChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return char16_t(c - 32);
  if ((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) return c;
  return u'_';
}

// Maps a piece of a name for an 8.3 name: spaces and dots go, a surrogate pair is one
// character, at most `limit` characters are kept.
std::u16string AlternatePart(std::u16string_view part, size_t limit) {
  std::u16string out;
  for (size_t i = 0; i < part.size() && out.size() < limit; ++i) {
    const char16_t c = part[i];
    if (c == u' ' || c == u'.') continue;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < part.size() && part[i + 1] >= 0xDC00 &&
        part[i + 1] <= 0xDFFF)
      ++i;
    out.push_back(AlternateChar(c));
  }
  return out;
}

// Gives every item of one listing that is not an 8.3 name an alternate name no other item of
// the listing has, counting "~N" per stem and extension as Windows does.
void AssignAlternateNames(std::vector<TFindItem>& items) {
  std::unordered_set<std::u16string> taken;
  bool any = false;
  for (const TFindItem& item : items) {
    if (IsValid83Name(item.Data.cFileName)) {
      std::u16string upper;
      for (char16_t c : item.Data.cFileName) upper.push_back(c >= u'a' && c <= u'z' ? c - 32 : c);
      taken.insert(std::move(upper));
    } else {
      any = true;
    }
  }
  if (!any) return;
  std::unordered_map<std::u16string, unsigned> next;  // "~N" counter per stem.ext
  for (TFindItem& item : items) {
    const std::u16string& name = item.Data.cFileName;
    if (IsValid83Name(name)) continue;
    unsigned& n = next[AlternateName(name, 0)];
    std::u16string candidate;
    do candidate = AlternateName(name, ++n);
    while (!taken.insert(candidate).second);
    item.Data.cAlternateFileName = std::move(candidate);
  }
}

const char* SkipReason(mode_t mode) {
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISSOCK(mode)) return "socket";
  return "device";
}

bool MatchGlob(std::u16string_view name, std::u16string_view mask) {
  size_t n = 0, m = 0, starM = std::u16string_view::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == u'*') {
      starM = m++;
      starN = n;
    } else if (m < mask.size() && (mask[m] == u'?' || FoldCase(mask[m]) == FoldCase(name[n]))) {
      ++m, ++n;
    } else if (starM != std::u16string_view::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == u'*') ++m;
  return m == mask.size();
}

}  // namespace

TFindResult FindDataFromPath(std::string_view path, TWin32FindDataW& fd, int* err) {
  const std::string p(path);
  struct stat st {};
  if (p.empty() || stat(p.c_str(), &st) != 0) {
    const int e = p.empty() ? ENOENT : errno;
    if (err) *err = e;
    return (e == ENOENT || e == ENOTDIR) ? TFindResult::NoMatch : TFindResult::Error;
  }
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
    if (err) *err = EINVAL;  // FIFOs, sockets and devices hold no file data to burn
    return TFindResult::Error;
  }
  std::string_view name = path;
  while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  if (const size_t slash = name.rfind('/'); slash != std::string_view::npos && name.size() > 1)
    name = name.substr(slash + 1);
  FillFindData(st, name, access(p.c_str(), W_OK) == 0, fd);
  if (!IsValid83Name(fd.cFileName)) fd.cAlternateFileName = AlternateName(fd.cFileName, 1);
  return TFindResult::Found;
}

bool IsValid83Name(std::u16string_view name) {
  const size_t dot = name.find(u'.');
  const std::u16string_view stem = name.substr(0, dot);
  const std::u16string_view ext =
      dot == std::u16string_view::npos ? std::u16string_view() : name.substr(dot + 1);
  if (stem.empty() || stem.size() > 8 || ext.size() > 3) return false;
  if (dot != std::u16string_view::npos && ext.empty()) return false;  // "NAME." or "a..b"
  return std::all_of(stem.begin(), stem.end(), Is83Char) &&
         std::all_of(ext.begin(), ext.end(), Is83Char);
}

std::u16string AlternateName(std::u16string_view name, unsigned n) {
  while (!name.empty() && name.front() == u'.') name.remove_prefix(1);
  const size_t dot = name.rfind(u'.');
  std::u16string stem = AlternatePart(name.substr(0, dot), 6);
  const std::u16string ext =
      dot == std::u16string_view::npos ? std::u16string() : AlternatePart(name.substr(dot + 1), 3);
  if (stem.empty()) stem = u"_";
  if (n == 0) return stem + u"." + ext;  // the counter's key, not a name
  const std::string digits = "~" + std::to_string(n);
  stem.resize(std::min(stem.size(), 8 - std::min<size_t>(digits.size(), 7)));
  std::u16string out = stem;
  out.append(digits.begin(), digits.end());
  if (!ext.empty()) out += u"." + ext;
  return out;
}

bool MatchFileMask(std::u16string_view name, std::u16string_view mask) {
  if (mask.empty() || mask == u"*" || mask == u"*.*") return true;
  if (MatchGlob(name, mask)) return true;
  // "name.*" and "name." also match a name that has no extension at all.
  if (mask.size() >= 2 && mask.substr(mask.size() - 2) == u".*" &&
      name.find(u'.') == std::u16string_view::npos)
    return MatchGlob(name, mask.substr(0, mask.size() - 2));
  if (mask.back() == u'.' && name.find(u'.') == std::u16string_view::npos)
    return MatchGlob(name, mask.substr(0, mask.size() - 1));
  return false;
}

TFindResult EnumerateDirectory(std::string_view dir, std::u16string_view mask,
                               std::vector<TFindItem>& out, int* err,
                               std::vector<TFindSkip>* skipped) {
  out.clear();
  if (skipped) skipped->clear();
  const auto skip = [&](std::string_view name, const char* reason) {
    if (skipped) skipped->push_back(TFindSkip{std::string(name), reason});
  };
  const std::string d = dir.empty() ? std::string(".") : std::string(dir);
  const int dfd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) {
    if (err) *err = errno;
    return TFindResult::Error;
  }
  DIR* dp = fdopendir(dfd);
  if (dp == nullptr) {
    if (err) *err = errno;
    close(dfd);
    return TFindResult::Error;
  }
  int failure = 0;
  for (;;) {
    errno = 0;
    struct dirent* de = readdir(dp);
    if (de == nullptr) {
      failure = errno;
      break;
    }
    const std::string_view name(de->d_name);
    if (name == "." || name == "..") continue;
    if (!MatchFileMask(NameFromNativeBytes(name), mask)) continue;
    struct stat st {};
    if (fstatat(dfd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed while we were looking
      failure = errno;
      break;
    }
    if (S_ISLNK(st.st_mode)) {
      // Links to files stand for the file; links to folders are not followed, so a scan can
      // neither loop nor leave the folder it was given. Dangling links are nothing to add.
      if (fstatat(dfd, de->d_name, &st, 0) != 0) {
        skip(name, "dangling link");
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        skip(name, "link to a folder");
        continue;
      }
    }
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {  // no file data to burn
      skip(name, SkipReason(st.st_mode));
      continue;
    }
    TFindItem item;
    FillFindData(st, name, faccessat(dfd, de->d_name, W_OK, 0) == 0, item.Data);
    item.NativeName.assign(name);
    out.push_back(std::move(item));
  }
  closedir(dp);
  if (failure != 0) {
    out.clear();
    if (skipped) skipped->clear();
    if (err) *err = failure;
    return TFindResult::Error;
  }
  std::sort(out.begin(), out.end(),
            [](const TFindItem& a, const TFindItem& b) { return a.NativeName < b.NativeName; });
  if (skipped)
    std::sort(skipped->begin(), skipped->end(),
              [](const TFindSkip& a, const TFindSkip& b) { return a.NativeName < b.NativeName; });
  AssignAlternateNames(out);
  return out.empty() ? TFindResult::NoMatch : TFindResult::Found;
}

}  // namespace torvik
