#include "image_output.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/bvkText.h"

namespace torvik::cli {
namespace {

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a path finally names, following symbolic links even when the last one dangles, so
// that the new image replaces the file a link points at and the link stays.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::string link(size_t(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
    const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n <= 0) break;
    link.resize(size_t(n));
    const size_t slash = path.rfind('/');
    path = link.starts_with('/') || slash == std::string::npos ? link
                                                               : path.substr(0, slash + 1) + link;
  }
  return path;
}

std::string CreateError(const std::string& output, int err) {
  return "Error creating file \\" + output + "\\. (" + std::strerror(err) + ")";
}

}  // namespace

TImageOutput::TImageOutput(std::string output)
    : output_(std::move(output)), target_(FollowLinks(output_)), writePath_(output_) {
  struct stat st {};
  exists_ = ::stat(output_.c_str(), &st) == 0;
  if (exists_) {
    folder_ = S_ISDIR(st.st_mode);
    regular_ = S_ISREG(st.st_mode);
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  // Spelled as a folder scan reports names.
  names_[0] = NameFromNativeBytes(BaseName(output_));
  names_[1] = NameFromNativeBytes(BaseName(target_));
}

TImageOutput::~TImageOutput() { Discard(); }

std::string TImageOutput::Check(bool force, const std::vector<std::string>& files) const {
  if (!exists_) return {};
  if (folder_) return output_ + " is a folder";
  if (regular_) {
    for (const std::string& file : files) {
      struct stat st {};
      if (::stat(file.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
        return output_ + " is the source file " + file +
               "; the image cannot replace a file it is made of";
    }
  }
  if (!force) return output_ + " exists; use --force to overwrite it";
  return {};
}

bool TImageOutput::IsTheImage(std::u16string_view name, std::u16string_view sourcePath) const {
  if (!exists_ || !regular_) return false;
  if (name != names_[0] && name != names_[1]) return false;
  struct stat st {};
  return ::stat(NativePathFromUtf16(sourcePath).c_str(), &st) == 0 && st.st_dev == dev_ &&
         st.st_ino == ino_;
}

std::string TImageOutput::Open() {
  if (exists_ && !regular_) {
    writePath_ = output_;  // a device or a pipe: there is nothing to keep
    return {};
  }
  // A dot name, so that a listing of the folder does not show it while the job runs; cut so
  // that the temporary name stays within the file system's limit.
  std::string base = BaseName(target_).substr(0, NAME_MAX - 8);
  std::string path = Folder(target_) + "/." + base + ".XXXXXX";
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return CreateError(output_, errno);
  // mkstemp makes the file 0600; an image is a file like any other the user creates.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);
  writePath_ = path;
  temporary_ = true;
  return {};
}

std::string TImageOutput::Commit(bool force) {
  if (!temporary_) return {};
  int result;
  if (force) {
    result = ::rename(writePath_.c_str(), target_.c_str());
  } else {
    // Without --force an output that appeared while the image was built is kept.
    result = ::renameat2(AT_FDCWD, writePath_.c_str(), AT_FDCWD, target_.c_str(),
                         RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // A file system without that flag: check, then rename (a narrow window).
      struct stat st {};
      if (::lstat(target_.c_str(), &st) == 0)
        errno = EEXIST;
      else
        result = ::rename(writePath_.c_str(), target_.c_str());
    }
  }
  if (result != 0) {
    const int err = errno;
    Discard();
    if (err == EEXIST)
      return output_ + " appeared while the image was built; it was left as it is (use --force "
                       "to overwrite it)";
    return "cannot give the image the name " + output_ + ": " + std::strerror(err);
  }
  temporary_ = false;
  return {};
}

void TImageOutput::Discard() {
  if (!temporary_) return;
  ::unlink(writePath_.c_str());
  temporary_ = false;
}

std::string TImageOutput::AsShown(std::string text) const {
  if (writePath_ == output_) return text;
  for (size_t at = text.find(writePath_); at != std::string::npos;
       at = text.find(writePath_, at + output_.size()))
    text.replace(at, writePath_.size(), output_);
  return text;
}

}  // namespace torvik::cli
