#include "platform/bvkFindData.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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
  fd.cFileName = Utf8ToUtf16(name);
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
  return TFindResult::Found;
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
                               std::vector<TFindItem>& out, int* err) {
  out.clear();
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
    std::u16string wname = Utf8ToUtf16(name);
    if (!MatchFileMask(wname, mask)) continue;
    struct stat st {};
    if (fstatat(dfd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed while we were looking
      failure = errno;
      break;
    }
    if (S_ISLNK(st.st_mode)) {
      // Links to files stand for the file; links to folders are not followed, so a scan can
      // neither loop nor leave the folder it was given. Dangling links are nothing to add.
      if (fstatat(dfd, de->d_name, &st, 0) != 0 || S_ISDIR(st.st_mode)) continue;
    }
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;  // FIFOs, sockets, devices
    TFindItem item;
    FillFindData(st, name, faccessat(dfd, de->d_name, W_OK, 0) == 0, item.Data);
    item.NativeName.assign(name);
    out.push_back(std::move(item));
  }
  closedir(dp);
  if (failure != 0) {
    out.clear();
    if (err) *err = failure;
    return TFindResult::Error;
  }
  std::sort(out.begin(), out.end(),
            [](const TFindItem& a, const TFindItem& b) { return a.NativeName < b.NativeName; });
  return out.empty() ? TFindResult::NoMatch : TFindResult::Found;
}

}  // namespace torvik
