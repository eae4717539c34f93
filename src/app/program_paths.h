#ifndef NORVESSA_APP_PROGRAM_PATHS_H_
#define NORVESSA_APP_PROGRAM_PATHS_H_

#include <string>

namespace norvessa {

// The running executable (/proc/self/exe).
std::string ProgramFilePath();
// The folder of a file path, without the trailing slash.
std::string DirectoryOf(const std::string& path);
// What stands for "the drive that holds the program": NORVESSA_ROOT when
// set, else the mount point of the filesystem that holds `program_dir`.
std::string DriveRoot(const std::string& program_dir);
// <root>/Norvessa/Config/Norvessa.ini
std::string ServiceSettingsPath(const std::string& root);
// <program dir>/Config/Conexao.ini
std::string ConnectionSettingsPath(const std::string& program_dir);
// `path` itself when absolute, else relative to `base_dir`.
std::string ResolvePath(const std::string& path, const std::string& base_dir);

}  // namespace norvessa

#endif  // NORVESSA_APP_PROGRAM_PATHS_H_
