#include "app/ini_file.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/detailed_error.h"
#include "support/temp_database.h"

namespace norvessa {
namespace {

class IniFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& content) {
    std::ofstream(path_, std::ios::binary) << content;
    return path_;
  }
  std::string Content() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  testing::TempDatabase dir_;  // a temporary folder
  std::string path_ = dir_.dir() + "/Norvessa.ini";
};

TEST_F(IniFileTest, ReadsByTheRules) {
  struct Case {
    const char* name;
    const char* content;
    const char* section;
    const char* key;
    const char* value;
  };
  const std::string long_value(3000, 'x');
  const Case cases[] = {
      {"plain", "[API]\nPorta=9000\n", "API", "Porta", "9000"},
      {"names without regard to case", "[api]\nPORTA=9000\n", "Api", "porta",
       "9000"},
      {"trimmed", "  [ API ]  \r\n  Porta  =  9001  \r\n", "API", "Porta",
       "9001"},
      {"quotes stripped", "[API]\nIP=\"http://0.0.0.0\"\n", "API", "IP",
       "http://0.0.0.0"},
      {"one pair only", "[API]\nIP=''x''\n", "API", "IP", "'x'"},
      {"unmatched quotes stay", "[API]\nIP=\"x'\n", "API", "IP", "\"x'"},
      {"comment lines", "[API]\n;Porta=1\n# Porta=2\nPorta=3 ;not a comment\n",
       "API", "Porta", "3 ;not a comment"},
      {"BOM ignored", "\xEF\xBB\xBF[API]\nPorta=9002\n", "API", "Porta",
       "9002"},
      {"first key wins", "[API]\nPorta=1\nPorta=2\n", "API", "Porta", "1"},
      {"first section wins", "[API]\nIP=a\n[API]\nPorta=2\n", "API", "Porta",
       "default"},
      {"missing key", "[API]\nIP=a\n", "API", "Porta", "default"},
      {"missing section", "[SERVER]\nPorta=1\n", "API", "Porta", "default"},
      {"empty value", "[API]\nPorta=\n", "API", "Porta", ""},
      {"no line end at the end", "[API]\nPorta=77", "API", "Porta", "77"},
      {"value with =", "[SERVER]\nSENHA=a=b\n", "SERVER", "SENHA", "a=b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(c.content);
    EXPECT_EQ(ReadIniString(path_, c.section, c.key, "default"), c.value);
  }
  Write("[API]\nIP=" + long_value + "\n");
  EXPECT_EQ(ReadIniString(path_, "API", "IP", "").size(), 2047u);
  EXPECT_EQ(ReadIniString(dir_.dir() + "/none.ini", "API", "IP", "d"), "d");
}

TEST_F(IniFileTest, WritesChangeOnlyTheirLine) {
  struct Case {
    const char* name;
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    const char* after;
  };
  const Case cases[] = {
      {"replace, keeping the key's spelling and the CR LF",
       "; settings\r\n[api]\r\nPORTA = 9000 \r\nIP=x\r\n\r\n[Other]\r\nk=v\r\n",
       "API", "Porta", "9100",
       "; settings\r\n[api]\r\nPORTA=9100\r\nIP=x\r\n\r\n[Other]\r\nk=v\r\n"},
      {"add the key to its section, before the blank line",
       "[API]\nIP=x\n\n[Other]\nk=v\n", "API", "Porta", "1",
       "[API]\nIP=x\nPorta=1\n\n[Other]\nk=v\n"},
      {"add the section", "[Other]\nk=v", "API", "Porta", "1",
       "[Other]\nk=v\n[API]\nPorta=1\n"},
      {"a new file", "", "API", "Porta", "9000", "[API]\r\nPorta=9000\r\n"},
      {"BOM kept", "\xEF\xBB\xBF[API]\nPorta=1\n", "API", "Porta", "2",
       "\xEF\xBB\xBF[API]\nPorta=2\n"},
      {"line breaks in a value", "[API]\nIP=x\n", "API", "IP", "a\r\nb",
       "[API]\nIP=a  b\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path_);
    if (*c.before) Write(c.before);
    WriteIniString(path_, c.section, c.key, c.value);
    EXPECT_EQ(Content(), c.after);
  }
}

TEST_F(IniFileTest, WritesKeepModeAndLinks) {
  Write("[API]\nPorta=1\n");
  ::chmod(path_.c_str(), 0640);
  WriteIniString(path_, "API", "Porta", "2");
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  const std::string link = dir_.dir() + "/link.ini";
  ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
  WriteIniString(link, "API", "Porta", "3");
  struct stat link_info {};
  ASSERT_EQ(::lstat(link.c_str(), &link_info), 0);
  EXPECT_TRUE(S_ISLNK(link_info.st_mode));
  EXPECT_EQ(Content(), "[API]\nPorta=3\n");

  try {
    WriteIniString(dir_.dir() + "/no/such/dir/x.ini", "API", "Porta", "1");
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to write to " + dir_.dir() + "/no/such/dir/x.ini");
  }
}

// The exit status of `body` run by an ordinary user: a child process that
// becomes nobody (65534) first, as root may write any file.
int RunAsNobody(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 ||
        setuid(65534) != 0) {
      _exit(126);
    }
    int status = 125;
    try {
      status = body();
    } catch (...) {
    }
    _exit(status);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Norvessa.ini copied in with sudo: root's file, writable by all. A new
// file cannot be given to root, so it is written in place, owner and mode
// kept; a file the user may not write fails with the system's reason.
TEST_F(IniFileTest, AnotherUsersFileIsWrittenInPlace) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "only root can make a file owned by another user here";
  }
  ::chmod(dir_.dir().c_str(), 0755);
  struct Case {
    const char* name;
    const char* folder;
    mode_t folder_mode;  // the folder is root's
  };
  const Case cases[] = {{"the user may add files to the folder", "/open", 0777},
                        {"the folder takes no new file", "/closed", 0755}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = dir_.dir() + c.folder;
    std::filesystem::create_directory(folder);
    ::chmod(folder.c_str(), c.folder_mode);
    const std::string path = folder + "/Norvessa.ini";
    std::ofstream(path, std::ios::binary) << "[API]\r\nPorta=1\r\nIP=x\r\n";
    ::chmod(path.c_str(), 0666);

    EXPECT_EQ(RunAsNobody([&] {
                WriteIniString(path, "API", "Porta", "9000");
                return 0;
              }),
              0);
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "[API]\r\nPorta=9000\r\nIP=x\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0666u);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);
  }

  // Root's file, not writable by others: the text names the file, the
  // detail the system's reason.
  const std::string locked = dir_.dir() + "/closed/Norvessa.ini";
  ::chmod(locked.c_str(), 0644);
  EXPECT_EQ(RunAsNobody([&] {
              try {
                WriteIniString(locked, "API", "Porta", "1");
              } catch (const DetailedError& e) {
                const bool named =
                    std::string(e.what()) == "Unable to write to " + locked;
                const bool reason =
                    e.detail() ==
                    locked + ": open for writing: Permission denied";
                return named && reason ? 0 : 2;
              }
              return 1;
            }),
            0);
}

}  // namespace
}  // namespace norvessa
