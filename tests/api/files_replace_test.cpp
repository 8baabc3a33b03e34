// SPDX-License-Identifier: GPL-2.0-or-later
// ID3 files as other programs see them: a save replaces the file as a whole (or leaves it as it
// was), and a load reads the tag the header announces, not the file behind it.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "support/id3_support.hpp"
#include "support/temp_folder.hpp"

namespace {

namespace fs = std::filesystem;
using zel::test::Bytes;
using zel::test::bytes;
using zel::test::frame3;
using zel::test::Handle;
using zel::test::own;
using zel::test::tag;
using zel::test::operator+;

class Id3FileReplace : public zel::test::TempFolderTest {
 protected:
  size_t entries() const {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }
};

Bytes tagOf(ZEL_MARLO_PSD_MSG_t *msg) {
  ZEL_MARLO_ID3_PSD_MSG_t *id3 = nullptr;
  EXPECT_EQ(zel_marlo_getId3PsdMsg(msg, &id3), ZEL_MARLO_SUCCESS);
  Bytes b(id3->data, id3->data + id3->length);
  zel_marlo_freeId3PsdMsg(id3);
  return b;
}

TEST_F(Id3FileReplace, SaveReplacesTheFileAndKeepsItsPermissionBits) {
  const std::string file = path("now_playing.id3");
  write(file, Bytes(300, 'o'));
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);

  Handle msg;
  zel_marlo_setPsdTitle(msg, "New title");
  ASSERT_EQ(zel_marlo_saveId3PsdFile(msg, file.c_str()), ZEL_MARLO_SUCCESS) << msg.errorText();
  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_EQ(read(file), tagOf(msg));
  EXPECT_NE(after.st_ino, before.st_ino);  // a new file took the name; the old one was not cut
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(entries(), 1u);  // nothing left beside it

  // A path with nothing there yet gets a new file with the usual permissions.
  const std::string fresh = path("fresh.id3");
  const mode_t mask = ::umask(022);
  ASSERT_EQ(zel_marlo_saveId3PsdFile(msg, fresh.c_str()), ZEL_MARLO_SUCCESS);
  ::umask(mask);
  ASSERT_EQ(::stat(fresh.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0644u);
  EXPECT_EQ(read(fresh), tagOf(msg));
  EXPECT_EQ(entries(), 2u);
}

// The tests run as root in CI, where no folder can be made unwritable by its mode; a file size
// limit makes the write itself fail for root as well.
TEST_F(Id3FileReplace, FailedSaveLeavesTheOldFileAsItWas) {
  const std::string file = path("kept.id3");
  const Bytes old = bytes("the old content of the file, byte for byte");
  write(file, old);

  const std::string expected = "orvo[1593]: E_FILE file write failed for '" + file + "'";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit { 8, 8 };
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ZEL_MARLO_PSD_MSG_t *msg = nullptr;
    zel_marlo_allocPsdMsg(&msg);
    zel_marlo_setPsdTitle(msg, "a title longer than the limit");
    const bool failed = zel_marlo_saveId3PsdFile(msg, file.c_str()) == ZEL_MARLO_FAILURE &&
                        zel_marlo_getErrorNum(msg) == E_FILE &&
                        expected == zel_marlo_getErrorStr(msg);
    zel_marlo_deletePsdMsg(msg);
    ::_exit(failed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "report was not: " << expected;
  EXPECT_EQ(read(file), old);
  EXPECT_EQ(entries(), 1u);
}

// A file the caller may write in a folder it may not: no new file can be made beside it, so the
// save writes the file in place, as saves always could. (Root may write every folder, so as
// root the save runs in a child that has given up root.)
TEST_F(Id3FileReplace, AWritableFileInAFolderThatTakesNoNewFileIsWrittenInPlace) {
  ::chmod(dir_.c_str(), 0755);  // the child must reach the folder
  const fs::path folder = dir_ / "fixed";
  fs::create_directory(folder);
  const std::string file = (folder / "now.id3").string();
  write(file, bytes("old"));
  ::chmod(file.c_str(), 0666);
  ::chmod(folder.c_str(), ::geteuid() == 0 ? 0755 : 0555);

  Handle expectedMsg;
  zel_marlo_setPsdTitle(expectedMsg, "in place");
  const Bytes expected = tagOf(expectedMsg);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    ZEL_MARLO_PSD_MSG_t *msg = nullptr;
    zel_marlo_allocPsdMsg(&msg);
    zel_marlo_setPsdTitle(msg, "in place");
    const bool saved = zel_marlo_saveId3PsdFile(msg, file.c_str()) == ZEL_MARLO_SUCCESS;
    zel_marlo_deletePsdMsg(msg);
    ::_exit(saved ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod(folder.c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 2) << "could not give up root";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read(file), expected);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// ---- saves as other users: what a save in place kept, a replacing save keeps ---------------

// Users and a group of no one on the system, for files and savers that are not root.
constexpr uid_t kOwner = 47101, kSaver = 47102;
constexpr gid_t kOwnerGroup = 47101, kSharedGroup = 47103, kSaverGroup = 47102;

// Runs fn in a child process as user uid, group gid, with the supplementary groups given; its
// exit status: fn's verdict as 0 or 1, 2 when root could not be given up.
int runAs(uid_t uid, gid_t gid, const std::vector<gid_t> &groups, const std::function<bool()> &fn) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
      ::_exit(2);
    ::_exit(fn() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 3;
  return WEXITSTATUS(status);
}

// Saves a message with title into path; reports the handle's error text into report.
bool saveTitle(const std::string &path, const char *title, std::string *report = nullptr) {
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  zel_marlo_allocPsdMsg(&msg);
  zel_marlo_setPsdTitle(msg, title);
  const bool saved = zel_marlo_saveId3PsdFile(msg, path.c_str()) == ZEL_MARLO_SUCCESS;
  if (report != nullptr) {
    const char *text = zel_marlo_getErrorStr(msg);
    *report = text != nullptr ? text : "";
  }
  zel_marlo_deletePsdMsg(msg);
  return saved;
}

Bytes titleTag(const char *title) {
  Handle msg;
  zel_marlo_setPsdTitle(msg, title);
  return tagOf(msg);
}

struct stat statOf(const std::string &path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info;
}

class Id3FileSaveAsUser : public Id3FileReplace {
 protected:
  void SetUp() override {
    Id3FileReplace::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of other users";
    ::chmod(dir_.c_str(), 0777);  // every saver may make files here
  }
  // A file of owner:group with mode, holding old.
  std::string fileOf(const char *name, uid_t uid, gid_t gid, mode_t mode, const Bytes &old) {
    const std::string file = path(name);
    write(file, old);
    EXPECT_EQ(::chown(file.c_str(), uid, gid), 0);
    EXPECT_EQ(::chmod(file.c_str(), mode), 0);
    return file;
  }
};

// The owner's own write-protected file: refused as a save in place always refused it; the file
// stays as it was and nothing is left beside it.
TEST_F(Id3FileSaveAsUser, AWriteProtectedFileIsRefusedAndKept) {
  const Bytes old = bytes("protected");
  const std::string file = fileOf("protected.id3", kOwner, kOwnerGroup, 0444, old);
  const ino_t inode = statOf(file).st_ino;
  const std::string expected = "orvo[1582]: E_FILE file open failed for '" + file + "'";
  EXPECT_EQ(runAs(kOwner, kOwnerGroup, {},
                  [&] {
                    std::string report;
                    return !saveTitle(file, "new", &report) && report == expected;
                  }),
            0)
      << "the save was not refused with: " << expected;
  EXPECT_EQ(read(file), old);
  EXPECT_EQ(statOf(file).st_ino, inode);
  EXPECT_EQ(entries(), 1u);
}

// A file a group shares, saved by a member who is not its owner: written in place, so its owner
// and group stay and its owner still reads it. In a sticky folder (/tmp) the same holds for a
// file of another user that everyone may write; the save is not refused.
TEST_F(Id3FileSaveAsUser, ASharedFileKeepsItsOwnerAndGroup) {
  struct Case {
    const char *name;
    mode_t folderMode;
    gid_t group;
    mode_t mode;
  } cases[] = {
      {"group-shared", 0777, kSharedGroup, 0660},
      {"in a sticky folder", 01777, kOwnerGroup, 0666},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(::chmod(dir_.c_str(), c.folderMode), 0);
    const std::string file = fileOf("shared.id3", kOwner, c.group, c.mode, bytes("old"));
    EXPECT_EQ(runAs(kSaver, kSaverGroup, {kSharedGroup}, [&] { return saveTitle(file, "new"); }),
              0);
    const struct stat after = statOf(file);
    EXPECT_EQ(after.st_uid, kOwner);
    EXPECT_EQ(after.st_gid, c.group);
    EXPECT_EQ(after.st_mode & 07777, c.mode);
    EXPECT_EQ(read(file), titleTag("new"));
    EXPECT_EQ(runAs(kOwner, kOwnerGroup, {}, [&] { return read(file) == titleTag("new"); }), 0)
        << "the owner cannot read its file";
    EXPECT_EQ(entries(), 1u);
    fs::remove(file);
  }
}

// A path of the longest length the system takes, with a short file name: the file is still
// replaced whole (a new file takes the name), as any other.
TEST_F(Id3FileReplace, APathOfTheLongestLengthIsReplaced) {
  const size_t longest = 4095;
  const std::string name = "/now.id3";
  fs::path folder = dir_;
  while (folder.string().size() + name.size() < longest) {
    const size_t room = longest - folder.string().size() - name.size() - 1;  // less the slash
    folder /= std::string(std::min<size_t>(room, 200), 'd');
    ASSERT_TRUE(fs::create_directory(folder)) << folder.string().size();
  }
  const std::string file = folder.string() + name;
  ASSERT_EQ(file.size(), longest);
  write(file, bytes("old"));
  const ino_t inode = statOf(file).st_ino;
  Handle msg;
  zel_marlo_setPsdTitle(msg, "long");
  ASSERT_EQ(zel_marlo_saveId3PsdFile(msg, file.c_str()), ZEL_MARLO_SUCCESS) << msg.errorText();
  EXPECT_EQ(read(file), tagOf(msg));
  EXPECT_NE(statOf(file).st_ino, inode);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// Bytes this process has read through read(2) so far.
uint64_t bytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

// A file of 256 MiB that begins with the given bytes; the rest is a hole.
void sparseFile(const std::string &p, const Bytes &start) {
  {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char *>(start.data()),
              static_cast<std::streamsize>(start.size()));
  }
  fs::resize_file(p, 256u << 20);
}

TEST_F(Id3FileReplace, LoadingReadsTheTagNotTheFile) {
  if (!fs::exists("/proc/self/io")) GTEST_SKIP() << "no read counters";
  const Bytes song = tag(frame3("TIT2", bytes({0}) + bytes("Song")));
  Bytes announcing = tag(frame3("TIT2", bytes({0}) + bytes("Long")));
  announcing[9] = 0x7F;  // the header announces 127 bytes more than the frame: padding
  struct Case {
    const char *name;
    Bytes start;
    const char *report;  // nullptr: loads
  };
  const Case cases[] = {
      {"tag", song, nullptr},
      {"tag with padding", announcing, nullptr},
      {"no tag", bytes("RIFF....WAVEfmt "), "orvo[822]: E_FORMAT id3 parse failed, len=268435456"},
      {"ID3v1 tag", bytes("TAG") + Bytes(200, 0), nullptr},
  };
  for (const Case &c : cases) {
    const std::string file = path("big");
    sparseFile(file, c.start);
    Handle msg;
    const uint64_t before = bytesRead();
    const int32_t rc = zel_marlo_loadId3PsdFile(msg, file.c_str());
    const uint64_t read = bytesRead() - before;
    if (c.report == nullptr) {
      EXPECT_EQ(rc, ZEL_MARLO_SUCCESS) << c.name << ": " << msg.errorText();
    } else {
      EXPECT_EQ(rc, ZEL_MARLO_FAILURE) << c.name;
      EXPECT_EQ(msg.errorText(), c.report) << c.name;
    }
    EXPECT_LT(read, 64u * 1024) << c.name;  // the stream's buffer at most, not the file
    fs::remove(file);
  }
}

// A header that announces more than the file holds, or a v2.4 footer the file lacks, still
// fails as a short tag, naming the file's length.
TEST_F(Id3FileReplace, TagLongerThanTheFileIsRefusedAsBefore) {
  Bytes announcing = tag(frame3("TIT2", bytes({0}) + bytes("Song")));
  announcing[9] = 0x7F;
  Bytes withFooter = tag(frame3("TIT2", bytes({0}) + bytes("Song")), 4, 0x10);
  const Bytes *cases[] = {&announcing, &withFooter};
  for (const Bytes *start : cases) {
    const std::string file = path("short");
    write(file, *start);
    Handle msg;
    zel_marlo_setPsdTitle(msg, "kept");
    EXPECT_EQ(zel_marlo_loadId3PsdFile(msg, file.c_str()), ZEL_MARLO_FAILURE);
    EXPECT_EQ(msg.errorText(),
              "orvo[822]: E_FORMAT id3 parse failed, len=" + std::to_string(start->size()));
    EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "kept");
  }
}

}  // namespace
