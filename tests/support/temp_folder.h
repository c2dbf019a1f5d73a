// A folder of a test's own under the system's temporary folder, removed with
// everything in it when the object goes.
#ifndef VANTOR_TESTS_SUPPORT_TEMP_FOLDER_H_
#define VANTOR_TESTS_SUPPORT_TEMP_FOLDER_H_

#include <sys/types.h>

#include <string>

namespace vantor {

class TempFolder {
 public:
  // A fresh folder "<temp>/vantor-<name>-XXXXXX"; throws when it cannot be
  // made.
  explicit TempFolder(const std::string& name = "test");
  // Removes the folder recursively, but only in the process that made it (a
  // forked child leaves it to its parent).
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder, without a trailing "/".
  const std::string& path() const { return path_; }
  // `name` inside the folder.
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  pid_t owner_;
};

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_TEMP_FOLDER_H_
