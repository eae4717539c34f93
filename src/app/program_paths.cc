#include "app/program_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace norvessa {
namespace {

std::string Join(const std::string& dir, const std::string& rest) {
  if (dir.empty() || dir.back() == '/') return dir + rest;
  return dir + "/" + rest;
}

}  // namespace

std::string ProgramFilePath() {
  std::error_code ec;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string DriveRoot(const std::string& program_dir) {
  if (const char* root = std::getenv("NORVESSA_ROOT"); root && *root) {
    return root;
  }
  // Walk up while the parent is on the same filesystem.
  std::filesystem::path dir = std::filesystem::absolute(program_dir);
  struct stat here {};
  if (::stat(dir.c_str(), &here) != 0) return "/";
  while (dir.has_parent_path() && dir != dir.root_path()) {
    const std::filesystem::path parent = dir.parent_path();
    struct stat up {};
    if (::stat(parent.c_str(), &up) != 0 || up.st_dev != here.st_dev) break;
    dir = parent;
  }
  return dir.string();
}

std::string ServiceSettingsPath(const std::string& root) {
  return Join(root, "Norvessa/Config/Norvessa.ini");
}

std::string ConnectionSettingsPath(const std::string& program_dir) {
  return Join(program_dir, "Config/Conexao.ini");
}

std::string ResolvePath(const std::string& path, const std::string& base_dir) {
  if (path.empty() || path.front() == '/') return path;
  return Join(base_dir, path);
}

}  // namespace norvessa
