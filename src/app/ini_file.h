#ifndef NORVESSA_APP_INI_FILE_H_
#define NORVESSA_APP_INI_FILE_H_

#include <string>
#include <string_view>

namespace norvessa {

// INI settings files. Section and key names match without regard to case;
// a missing file, section or key gives the default; keys and values are
// trimmed and one pair of matching quotes around a value is stripped; ";"
// and "#" start a comment only at the start of a line; a UTF-8 BOM is
// ignored; the first occurrence of a section or key wins; values are read
// up to 2047 characters.
std::string ReadIniString(const std::string& path, std::string_view section,
                          std::string_view key, std::string_view default_value);

// Changes only that key's line (or adds the key to its section, or adds
// the section); every other line stays byte for byte. The file is written
// through a temporary file and a rename that keeps its mode and owner; a
// symbolic link, a file whose owner this process cannot give a new file
// (another user's), or one in a folder that takes no new file, is written
// in place. Fails with DetailedError "Unable to write to <path>", the step
// and the system's reason in its detail.
void WriteIniString(const std::string& path, std::string_view section,
                    std::string_view key, std::string_view value);

}  // namespace norvessa

#endif  // NORVESSA_APP_INI_FILE_H_
