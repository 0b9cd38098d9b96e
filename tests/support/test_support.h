#ifndef VEXO_TESTS_SUPPORT_TEST_SUPPORT_H_
#define VEXO_TESTS_SUPPORT_TEST_SUPPORT_H_

// Helpers shared by the tests: real temporary directories, whole-file reads
// and writes, tree snapshots and child processes. Paths are narrow strings
// with the platform's separator.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// The platform's path separator and line end.
extern const char kSep;
extern const char kLineEnd[];
// ".exe" on Windows, empty elsewhere.
extern const char kExeSuffix[];

// Where a TempDir lies: in memory (tmpfs: /dev/shm natively, Z:\dev\shm
// under Wine) unless a test needs a disk, or a second file system.
enum class Medium { kMemory, kDisk };

// A fresh, empty directory that is removed with everything below it when the
// object goes. Removal clears read-only attributes, the immutable flag that
// setImmutable set, and, under Wine, the links makeDirectoryLink made.
class TempDir {
 public:
  explicit TempDir(Medium medium = Medium::kMemory);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + separator + relative (relative may use '/').
  std::string operator/(const std::string& relative) const;

 private:
  std::string path_;
};

// Joins with the platform separator; '/' in relative becomes the separator.
std::string joinPath(const std::string& base, const std::string& relative);

// Writes bytes to path, creating parent directories.
void writeFile(const std::string& path, const std::string& bytes);
// The whole file, or throws std::runtime_error when it cannot be read.
std::string readFile(const std::string& path);
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
void makeDirectories(const std::string& path);

// The narrow form the tests spell a path in, with '/' between names. (On
// Windows a narrow path becomes wide one byte to one character, the C
// runtime's default locale, while the library's string() answers in UTF-8.)
std::string narrowOf(const std::filesystem::path& path);

// What snapshotTree records for a directory.
extern const char kDir[];

// A tree's files (or, from snapshotTree, also its directories): relative
// path with '/' to contents.
using Tree = std::map<std::string, std::string>;

// Relative path (with '/') to contents for every regular file, and to kDir
// for every directory, below root. Links are followed. Empty when root is
// missing.
std::map<std::string, std::string> snapshotTree(const std::string& root);
// snapshotTree without the directories: the regular files and their contents.
std::map<std::string, std::string> filesOf(const std::string& root);
// Creates root and writes every file (relative path to contents) below it;
// an entry of kDir is made a directory.
void writeTree(const std::string& root, const std::map<std::string, std::string>& files);
// The regular files below root, relative, in the order the swap takes them (the listing's).
std::vector<std::filesystem::path> swapOrder(const std::filesystem::path& root);
// path without the separators at its end; a lone separator stays.
std::string withoutTrailingSeparator(std::string path);
// Sets or clears the immutable flag, which keeps even root from moving or
// replacing the file; true when done, always false under Windows.
bool setImmutable(const std::string& path, bool on);

// A started child process.
struct Child {
  std::intptr_t handle = 0;
  std::uint32_t pid = 0;
};

// A file that can be neither moved, nor replaced, nor deleted while the
// object lives: natively it is immutable; under Windows a helper process
// holds it open with read sharing only, so it can still be copied. held() is
// false where that cannot be done.
class HeldFile {
 public:
  explicit HeldFile(const std::string& path);
  ~HeldFile() { release(); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool held() const { return held_; }
  // Lets the file go before the object does.
  void release();

 private:
  std::string path_;
  bool held_ = false;
  Child holder_;
};

// Makes link a link to the directory target (a path, or relative to link's
// folder): a symbolic link natively; under Wine a Unix link made on the Linux
// side, which Windows programs see as a directory with the reparse-point
// attribute, as they see a junction. False where it cannot be made. TempDir
// removes such links without going through them.
bool makeDirectoryLink(const std::string& target, const std::string& link);

// Removes a link that makeDirectoryLink made, not what it leads to.
bool removeDirectoryLink(const std::string& link);

// What a Mount puts at its folder: a tmpfs, which fills up on demand; an
// ext4 with 128-byte inodes, which keeps file times in whole seconds (as
// FAT, exFAT, SMB or HFS+ keep them coarser than the system's clock); an
// ext4 with half its blocks reserved for the administrator, so that the
// space a user may fill (f_bavail) is less than the space free (f_bfree); or
// another folder bound there (natively only), a second name for it that no
// link resolves and only the folders' identity tells apart; or (natively
// only) a FUSE file system that passes every call through to the folder
// named source and has no unnamed files (O_TMPFILE), as FAT has none.
enum class VolumeKind { kMemory, kWholeSecondTimes, kReservedBlocks, kBind, kNoUnnamedFiles };

// A file system mounted at folder, which is created, while the object lives:
// natively by mount(2) or mount(8), under Wine by mount(8) on the Linux side,
// which Windows programs see at Z: plus its path. source is the size of a new
// file system (such as "4m"), or the folder a kBind or kNoUnnamedFiles shows
// again. The ext4 kinds lie on a loop device over an image beside folder.
// mounted() is false where this process may not mount (not root, no loop
// device, no FUSE).
class Mount {
 public:
  Mount(const std::string& folder, const std::string& source,
        VolumeKind kind = VolumeKind::kMemory);
  ~Mount();
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool mounted() const { return mounted_; }
  // Grows or shrinks a mounted tmpfs, keeping its files.
  bool resize(const std::string& size);

 private:
  std::string folder_;
  bool mounted_ = false;
  Child server_;  // the FUSE file system's process
};

// The commands, each an argument vector, that make and mount a file system
// of kind on a loop device over image, at folder.
std::vector<std::vector<std::string>> loopMountCommands(VolumeKind kind, const std::string& size,
                                                        const std::string& image,
                                                        const std::string& folder);

// The folder of the running test binary, where every built program lies.
std::string binaryDir();
// binaryDir() + name + kExeSuffix.
std::string programPath(const std::string& name);

// Starts argv[0] with the arguments, quoted for the platform. workDir empty
// means the current directory. Throws std::runtime_error when it cannot start.
Child startChild(const std::vector<std::string>& argv, const std::string& workDir = "");
// Like startChild, with the child's standard error written to errorPath
// (created or truncated) instead of the caller's.
Child startChildWithStderr(const std::vector<std::string>& argv, const std::string& errorPath,
                           const std::string& workDir = "");
// Waits for the child and returns its exit status (-1 for a signal).
int waitChild(Child& child);
// Kills the child without waiting.
void killChild(Child& child);
// Starts, waits and returns the exit status.
int runChild(const std::vector<std::string>& argv, const std::string& workDir = "");

// Sleeps the calling thread.
void sleepMs(unsigned milliseconds);
// Waits up to timeoutMs for something at path, written by another process;
// true when it is there. A Wine process can take seconds to start on a
// loaded machine.
bool waitForFile(const std::string& path, unsigned timeoutMs = 30000);
// The system clock's seconds since 1970, as the marker's appliedAt counts them.
long long nowSeconds();

#endif  // VEXO_TESTS_SUPPORT_TEST_SUPPORT_H_
