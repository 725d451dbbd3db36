// Where build-iso writes its image. An image file is written to a temporary file beside it and
// takes the output's name only once the job succeeded, so a failed or interrupted run leaves an
// earlier image as it was; a device or a pipe (/dev/null, /dev/full) is written directly.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace torvik::cli {

class TImageOutput {
 public:
  explicit TImageOutput(std::string output);
  ~TImageOutput();  // removes a temporary file that was not committed
  TImageOutput(const TImageOutput&) = delete;
  TImageOutput& operator=(const TImageOutput&) = delete;

  // Looks at the output without changing anything. Empty text when it may be written: it is
  // not a folder, it exists only with `force`, and it is none of the `files` the image is to
  // hold (nor a link to one): replacing one of them would lose the file the image was made of.
  std::string Check(bool force, const std::vector<std::string>& files) const;

  // True for a source file a folder scan meets that is the image being replaced: it is left
  // out of its own layout. `name` is the entry's name, checked first so that a large scan does
  // not look up every file.
  bool IsTheImage(std::u16string_view name, std::u16string_view sourcePath) const;
  // Whether a scan can meet the image at all (an existing image file); without that the scan
  // needs no look at its entries.
  bool CanBeScanned() const { return exists_ && regular_; }
  // The output is a symbolic link. An image inside a scanned folder is an earlier image, but a
  // link that leads to a scanned file points at the user's data, which must not be replaced.
  bool IsLink() const { return target_ != output_; }
  // The file the output finally names (the output itself unless it is a link).
  const std::string& Target() const { return target_; }

  // Creates the temporary file the job writes to (for an image file), with the permissions of
  // a newly created file. Empty text, or why it cannot be created.
  std::string Open();
  // The path the job writes to: the temporary file, or the output itself.
  const std::string& WritePath() const { return writePath_; }
  // Gives the finished image the output's name. Empty text, or why not (the temporary file is
  // then removed).
  std::string Commit(bool force);
  // Removes the temporary file; an output written directly is left alone.
  void Discard();
  // A text of the component with the temporary file's name replaced by the output's: the user
  // never asked for the temporary one.
  std::string AsShown(std::string text) const;

 private:
  std::string output_;   // as given
  std::string target_;   // the output after following symbolic links (it may not exist)
  bool exists_ = false;
  bool folder_ = false;
  bool regular_ = true;  // a regular file, or nothing yet: written through a temporary file
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  std::u16string names_[2];  // the output's own name and its target's
  std::string writePath_;
  bool temporary_ = false;   // writePath_ is a temporary file still to be committed or removed
};

}  // namespace torvik::cli
