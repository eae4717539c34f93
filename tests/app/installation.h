// The program itself, installed alone in a temporary folder and started
// as a child process.
#ifndef NORVESSA_TESTS_APP_INSTALLATION_H_
#define NORVESSA_TESTS_APP_INSTALLATION_H_

#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/http_client.h"
#include "support/temp_database.h"

namespace norvessa {

namespace fs = std::filesystem;

// The program copied alone into a folder, with its settings.
class Installation {
 public:
  explicit Installation(const std::string& port)
      : db_("CREATE TABLE Empresa (IdEmpresa INTEGER PRIMARY KEY,"
            " NomeFantasia VARCHAR(60));"
            "INSERT INTO Empresa VALUES (1, 'Demo');"
            "CREATE TABLE Uf (IdUf INTEGER PRIMARY KEY, Uf VARCHAR(2),"
            " UfNome VARCHAR(50), Situacao INTEGER);"
            "INSERT INTO Uf VALUES (35, 'SP', 'S' || char(227) || 'o Paulo', "
            "1);") {
    fs::create_directories(bin() + "/Config");
    fs::create_directories(root() + "/Norvessa/Config");
    fs::copy_file(APINORVESSA_BINARY, bin() + "/apinorvessa");
    Write(root() + "/Norvessa/Config/Norvessa.ini",
          "[API]\nPorta=" + port + "\nIP=http://0.0.0.0\n");
    Write(bin() + "/Config/Conexao.ini",
          "[SERVER]\nDRIVER=SQLite\nHOSTNAME=localhost\nBANCO=../test.db\n");
  }
  ~Installation() { Stop(SIGKILL); }

  std::string bin() const { return db_.dir() + "/bin"; }
  std::string db() const { return db_.path(); }
  std::string root() const { return db_.dir() + "/root"; }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
  }

  // Without a display unless `qt_platform` names one of Qt's own.
  void Start(std::vector<std::string> args = {"--headless"},
             const char* qt_platform = nullptr,
             const std::vector<std::pair<std::string, std::string>>& env = {}) {
    const std::string err = db_.dir() + "/stderr.txt";
    const std::string out = db_.dir() + "/stdout.txt";
    pid_ = fork();
    if (pid_ == 0) {
      if (hide_proc_stat &&
          (unshare(CLONE_NEWNS) != 0 ||
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
           mount("/dev/null", "/proc/stat", nullptr, MS_BIND, nullptr) != 0)) {
        _exit(kCannotHideProcStat);
      }
      for (const auto& [name, value] : env) {
        setenv(name.c_str(), value.c_str(), 1);
      }
      setenv("NORVESSA_ROOT", root().c_str(), 1);
      if (descriptors > 0) {
        const rlimit limit{descriptors, descriptors};
        setrlimit(RLIMIT_NOFILE, &limit);
      }
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      if (qt_platform == nullptr) {
        unsetenv("QT_QPA_PLATFORM");
      } else {
        setenv("QT_QPA_PLATFORM", qt_platform, 1);
      }
      if (freopen(err.c_str(), "w", stderr) == nullptr ||
          freopen(out.c_str(), "w", stdout) == nullptr) {
        _exit(124);
      }
      std::vector<char*> argv;
      const std::string program = bin() + "/apinorvessa";
      argv.push_back(const_cast<char*>(program.c_str()));
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }

  // The exit status, after sending `signal` (0: just wait).
  int Stop(int signal = 0) {
    if (pid_ <= 0) return -1;
    if (signal != 0) kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // The exit status once the program ends, or -1 when it still runs
  // after `limit` (it is then killed).
  int Wait(std::chrono::seconds limit) {
    if (pid_ <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        Stop(SIGKILL);
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid() const { return pid_; }

  // The program's descriptor limit, soft and hard; 0 leaves it alone.
  rlim_t descriptors = 0;
  // Runs the program with /proc/stat empty, in a mount namespace of its
  // own (as a unit with ProcSubset=pid would); the exit status is
  // kCannotHideProcStat where that cannot be done.
  bool hide_proc_stat = false;
  static constexpr int kCannotHideProcStat = 125;

  std::string Stderr() const { return Read(db_.dir() + "/stderr.txt"); }
  std::string Stdout() const { return Read(db_.dir() + "/stdout.txt"); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  testing::TempDatabase db_;
  pid_t pid_ = -1;
};

inline bool WaitForPort(std::uint16_t port) {
  for (int i = 0; i < 200; ++i) {
    try {
      testing::ClientConnection probe(port);
      return true;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  return false;
}

// The program of an installation run as a user that file modes bind: root
// writes to any file whatever its mode, so a root test hands the folder to
// nobody and the program becomes nobody before it starts.
class UnprivilegedRun {
 public:
  explicit UnprivilegedRun(const Installation& app)
      : app_(app), dir_(fs::path(app.bin()).parent_path().string()) {}
  ~UnprivilegedRun() { Stop(SIGKILL); }

  std::string db() const { return dir_ + "/test.db"; }

  // Paths handed back to root after the folder went to nobody.
  std::vector<std::string> keep_root_owned;

  void Start(std::vector<std::string> args = {"--headless"}) {
    if (geteuid() == 0) {
      for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
        ASSERT_EQ(chown(entry.path().c_str(), kNobody, kNobody), 0);
      }
      ASSERT_EQ(chown(dir_.c_str(), kNobody, kNobody), 0);
      for (const std::string& path : keep_root_owned) {
        ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
      }
    }
    const std::string program = app_.bin() + "/apinorvessa";
    const std::string err = dir_ + "/unprivileged.txt";
    const std::string out = dir_ + "/unprivileged_out.txt";
    pid_ = fork();
    if (pid_ == 0) {
      setenv("NORVESSA_ROOT", app_.root().c_str(), 1);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      if (freopen(err.c_str(), "w", stderr) == nullptr ||
          freopen(out.c_str(), "w", stdout) == nullptr) {
        _exit(124);
      }
      if (geteuid() == 0 && (setgroups(0, nullptr) != 0 ||
                             setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
        _exit(126);
      }
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(program.c_str()));
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }

  // The exit status, or -1 when the program still runs after 10 s.
  int WaitForExit() {
    for (int i = 0; i < 200 && pid_ > 0; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }

  int Stop(int signal) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string Stderr() const {
    return Installation::Read(dir_ + "/unprivileged.txt");
  }
  std::string Stdout() const {
    return Installation::Read(dir_ + "/unprivileged_out.txt");
  }

 private:
  static constexpr uid_t kNobody = 65534;
  const Installation& app_;
  std::string dir_;
  pid_t pid_ = -1;
};

}  // namespace norvessa

#endif  // NORVESSA_TESTS_APP_INSTALLATION_H_
