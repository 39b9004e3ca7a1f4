// Named objects are the account's own: other local users can neither make them first, nor
// redirect them through links, nor reach them; and a shared memory without room is an
// error return, never a signal.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/win32/named_objects.h"
#include "platform/win32/test_support.h"

namespace win32test {
namespace {

using ObjectPrivacyTest = RootTest;

constexpr uid_t kOtherUid = 65534;  // nobody

unsigned ModeOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

std::string Parent(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A root-owned file with known content, the target a planted link would aim at.
std::string MakeVictim(const std::string& path) {
  std::ofstream(path, std::ios::binary) << std::string(9200, 'v');
  return std::string(9200, 'v');
}

TEST_F(ObjectPrivacyTest, BlocksLiveInAPrivateDirectoryNobodyCouldForesee) {
  for (const char* below_root : {"0", "1"}) {
    SCOPED_TRACE(below_root);
    ::setenv("VT_OBJECTS_BELOW_ROOT", below_root, 1);
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, "Global\\vtjobx");
    ASSERT_NE(event, nullptr);
    const std::string block = win32internal::BlockFilePath("vtjobx");
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(ModeOf(Parent(block)), 0700u);
    EXPECT_EQ(ModeOf(block), 0600u);
    if (std::string(below_root) == "0" && block.rfind("/dev/shm/", 0) == 0) {
      // The directory's name is drawn at random and kept below the root, readable by the
      // account alone.
      EXPECT_EQ(ModeOf(Path(".objects-location")), 0600u);
      EXPECT_EQ(Slurp(Path(".objects-location")), Parent(block) + "\n" + root_ + "\n");
    }
    CloseHandle(event);
  }
  ::unsetenv("VT_OBJECTS_BELOW_ROOT");
}

// A directory recorded for the root that another user made (or replaced by a link) is
// never used: the objects go to a new directory of the account's own.
TEST_F(ObjectPrivacyTest, ARecordedDirectoryThatIsNotTheAccountsOwnIsReplaced) {
  HANDLE first = CreateEvent(nullptr, FALSE, FALSE, "first");
  ASSERT_NE(first, nullptr);
  const std::string own = Parent(win32internal::BlockFilePath("first"));
  CloseHandle(first);
  if (own.rfind("/dev/shm/", 0) != 0) GTEST_SKIP() << "no shared memory directory here";
  // The swept directory's name taken over by a world-writable directory, then by a link.
  ASSERT_TRUE(std::filesystem::remove(own));
  const std::string elsewhere = Path("elsewhere");
  std::filesystem::create_directories(elsewhere);
  for (int planted = 0; planted < 2; ++planted) {
    SCOPED_TRACE(planted);
    if (planted == 0) {
      ASSERT_EQ(::mkdir(own.c_str(), 0777), 0);
      ASSERT_EQ(::chmod(own.c_str(), 0777), 0);
    } else {
      ASSERT_EQ(::symlink(elsewhere.c_str(), own.c_str()), 0);
    }
    std::ofstream(Path(".objects-location"), std::ios::trunc) << own << "\n" << root_ << "\n";
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, "second");
    ASSERT_NE(event, nullptr);
    const std::string used = Parent(win32internal::BlockFilePath("second"));
    EXPECT_NE(used, own);
    EXPECT_EQ(ModeOf(used), 0700u);
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    CloseHandle(event);
    std::filesystem::remove_all(own);
  }
}

// Below the root the directory is refused as it stands: nothing else is used instead.
TEST_F(ObjectPrivacyTest, AnObjectsDirectoryOpenToOthersOrALinkIsRefused) {
  ::setenv("VT_OBJECTS_BELOW_ROOT", "1", 1);
  const std::string objects = Path(".objects");
  const std::string elsewhere = Path("elsewhere");
  std::filesystem::create_directories(elsewhere);
  for (int planted = 0; planted < 2; ++planted) {
    SCOPED_TRACE(planted);
    if (planted == 0) {
      ASSERT_EQ(::mkdir(objects.c_str(), 0700), 0);
      ASSERT_EQ(::chmod(objects.c_str(), 0777), 0);
    } else {
      ASSERT_EQ(::symlink(elsewhere.c_str(), objects.c_str()), 0);
    }
    EXPECT_EQ(CreateMutex(nullptr, FALSE, "MyMutex"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    std::filesystem::remove_all(objects);
  }
  HANDLE mutex = CreateMutex(nullptr, FALSE, "MyMutex");
  EXPECT_NE(mutex, nullptr);
  EXPECT_EQ(ModeOf(objects), 0700u);
  CloseHandle(mutex);
  ::unsetenv("VT_OBJECTS_BELOW_ROOT");
}

// A link or another user's file where a block is to be made is never opened, written
// through or used; the file a link points at stays as it was.
TEST_F(ObjectPrivacyTest, PlantedBlocksAreNeverUsed) {
  HANDLE keep = CreateEvent(nullptr, FALSE, FALSE, "keep-directory");
  ASSERT_NE(keep, nullptr);
  const std::string block = win32internal::BlockFilePath("planted");
  const std::string victim_path = Path("victim");
  const std::string victim = MakeVictim(victim_path);
  ASSERT_EQ(::symlink(victim_path.c_str(), block.c_str()), 0);
  EXPECT_EQ(CreateEvent(nullptr, FALSE, FALSE, "planted"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenEvent(EVENT_MODIFY_STATE, FALSE, "planted"), nullptr);
  EXPECT_EQ(Slurp(victim_path), victim);
  ASSERT_EQ(::unlink(block.c_str()), 0);

  if (::geteuid() == 0) {
    // A block of another owner: made by hand, as only root could in this directory.
    HANDLE made = CreateEvent(nullptr, FALSE, FALSE, "planted");
    ASSERT_NE(made, nullptr);
    ASSERT_EQ(::chown(block.c_str(), kOtherUid, kOtherUid), 0);
    EXPECT_EQ(CreateEvent(nullptr, FALSE, FALSE, "planted"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(made);
  }
  CloseHandle(keep);
}

// Runs `body` in a child of its own with a small tmpfs of its own as /dev/shm (the
// machine's is left alone); the child's exit code is the result, 77 for "cannot be done".
int InPrivateSharedMemory(const std::string& root, int (*body)(const std::string&)) {
  const pid_t child = ::fork();
  if (child < 0) return 77;
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=1777") != 0)
      ::_exit(77);
    ::_exit(body(root));
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return 77;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 77;
}

int FillAndCreate(const std::string& parent_root) {
  ::unsetenv("VT_OBJECTS_BELOW_ROOT");
  const std::string root = parent_root + "/child";
  std::filesystem::create_directories(root);
  vtplatform::SetSystemRoot(root);
  HANDLE made_before = CreateEvent(nullptr, TRUE, FALSE, "made-before");
  if (made_before == nullptr) return 1;
  if (win32internal::BlockFilePath("made-before").rfind("/dev/shm/", 0) != 0) return 77;
  // Every page of the small tmpfs taken by a file of someone else's.
  {
    const int fd = ::open("/dev/shm/filler", O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const std::string chunk(4096, 'x');
    while (::write(fd, chunk.data(), chunk.size()) > 0) {
    }
    ::close(fd);
  }
  // Each job's objects fail to be made, and say why; the process lives on.
  for (int job = 0; job < 20; ++job) {
    const std::string name = "job" + std::to_string(job) + "x";
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, name.c_str());
    if (event != nullptr) return 2;
    if (GetLastError() != ERROR_DISK_FULL) return 3;
    HANDLE mutex = CreateMutex(nullptr, TRUE, name.c_str());
    if (mutex != nullptr || GetLastError() != ERROR_DISK_FULL) return 4;
  }
  // The objects that were made work on.
  if (!SetEvent(made_before) || WaitForSingleObject(made_before, 0) != WAIT_OBJECT_0) return 5;
  CloseHandle(made_before);
  // With room again, objects are made as before.
  ::unlink("/dev/shm/filler");
  HANDLE after = CreateEvent(nullptr, FALSE, FALSE, "job0x");
  if (after == nullptr || !SetEvent(after) || WaitForSingleObject(after, 0) != WAIT_OBJECT_0)
    return 6;
  CloseHandle(after);
  return 0;
}

TEST_F(ObjectPrivacyTest, AFullSharedMemoryIsAnErrorReturnNotASignal) {
  const int result = InPrivateSharedMemory(root_, FillAndCreate);
  if (result == 77) GTEST_SKIP() << "a private /dev/shm cannot be mounted here";
  EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace win32test
