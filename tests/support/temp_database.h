#ifndef NORVESSA_TESTS_SUPPORT_TEMP_DATABASE_H_
#define NORVESSA_TESTS_SUPPORT_TEMP_DATABASE_H_

#include <string>
#include <string_view>

namespace norvessa::testing {

// A fresh SQLite file in a directory of its own, removed at the end.
class TempDatabase {
 public:
  // Creates the file and runs `script` on it.
  explicit TempDatabase(std::string_view script = {});
  ~TempDatabase();
  TempDatabase(const TempDatabase&) = delete;
  TempDatabase& operator=(const TempDatabase&) = delete;

  const std::string& path() const { return path_; }
  const std::string& dir() const { return dir_; }
  // Runs statements directly, outside the service's code.
  void Exec(std::string_view script) const;
  // The first column of the first row, as text ("" for none or null).
  std::string Scalar(std::string_view sql) const;

 private:
  std::string dir_;
  std::string path_;
};

}  // namespace norvessa::testing

#endif  // NORVESSA_TESTS_SUPPORT_TEMP_DATABASE_H_
