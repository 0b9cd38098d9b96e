#include "treeops/treeops.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <algorithm>
#include <cwctype>
#endif

#include "report/run_log.h"
#include "treeops/treeops_os.h"
#include "treeops/walks.h"

namespace fs = std::filesystem;

namespace {

// Whether two components of a canonical path name the same thing. Windows
// file names ignore case, so "C:\App" and "c:\app" are one directory there.
bool sameName(const fs::path& a, const fs::path& b) {
#ifdef _WIN32
  const std::wstring& x = a.native();
  const std::wstring& y = b.native();
  return x.size() == y.size() &&
         std::equal(x.begin(), x.end(), y.begin(), [](wchar_t c, wchar_t d) {
           return std::towlower(static_cast<std::wint_t>(c)) ==
                  std::towlower(static_cast<std::wint_t>(d));
         });
#else
  return a.native() == b.native();
#endif
}

// True when the canonical path inner begins with every component of outer.
// Empty components (a trailing separator) carry no name and are skipped.
bool startsWithNames(const fs::path& inner, const fs::path& outer) {
  auto i = inner.begin();
  for (const fs::path& part : outer) {
    if (part.empty()) continue;
    while (i != inner.end() && i->empty()) ++i;
    if (i == inner.end() || !sameName(*i, part)) return false;
    ++i;
  }
  return true;
}

// True when inner is outer or lies below it. Names are compared on the
// canonical forms; where names can alias (case, short names, bind mounts)
// the identity of each existing ancestor of inner decides too.
bool liesWithin(const fs::path& innerCanonical, const fs::path& outer,
                const fs::path& outerCanonical) {
  if (startsWithNames(innerCanonical, outerCanonical)) return true;
  for (fs::path p = innerCanonical; !p.empty(); p = p.parent_path()) {
    if (sameFileIdentity(p, outer)) return true;
    if (p == p.parent_path()) break;
  }
  return false;
}

// How a walk treats links and junctions to directories.
enum class Links { kFollow, kPassOver };

// Calls visit(path, relative, kind) for every entry below directory, depth
// first in the order of the system's listing, a directory's contents right
// after its own entry; relative is the entry's path below the walk's root,
// as listed, never resolved. A false from visit ends the walk, and the walk
// returns false. Directories are entered; links to directories only with
// Links::kFollow, and never when one leads back to a directory the walk is
// inside (ancestors, outermost first): that cycle would never end.
template <typename Visit>
bool walkBelow(const fs::path& directory, const fs::path& relative, Links links,
               std::vector<fs::path>* ancestors, const Visit& visit) {
  ancestors->push_back(directory);
  for (fs::directory_iterator it(directory), end; it != end; ++it) {
    const EntryKind kind = entryKind(*it);
    const fs::path entryRelative = relative / it->path().filename();
    if (!visit(it->path(), entryRelative, kind)) return false;
    if (kind == EntryKind::kLinkToDirectory) {
      if (links == Links::kPassOver) continue;
      for (const fs::path& ancestor : *ancestors) {
        if (sameFileIdentity(it->path(), ancestor)) {
          throw std::runtime_error("link " + toNarrowText(it->path()) + " leads back to " +
                                   toNarrowText(ancestor) + ", which holds it");
        }
      }
    } else if (kind != EntryKind::kDirectory) {
      continue;
    }
    if (!walkBelow(it->path(), entryRelative, links, ancestors, visit)) return false;
  }
  ancestors->pop_back();
  return true;
}

template <typename Visit>
bool walkTree(const fs::path& root, Links links, const Visit& visit) {
  std::vector<fs::path> ancestors;
  return walkBelow(root, fs::path(), links, &ancestors, visit);
}

// How two directories nest.
enum class Nesting { kSeparate, kSame, kFirstInsideSecond, kSecondInsideFirst };

Nesting nestingOf(const fs::path& first, const fs::path& firstCanonical, const fs::path& second,
                  const fs::path& secondCanonical) {
  const bool firstInside = liesWithin(firstCanonical, second, secondCanonical);
  const bool secondInside = liesWithin(secondCanonical, first, firstCanonical);
  if (firstInside && secondInside) return Nesting::kSame;
  if (firstInside) return Nesting::kFirstInsideSecond;
  if (secondInside) return Nesting::kSecondInsideFirst;
  return Nesting::kSeparate;
}

// Why a backup into backupDir would destroy or recurse into the directory
// other (the installation or the staging directory, named by label); empty
// when the two are separate.
std::string backupNestingFault(const std::string& backupDir, const fs::path& backup,
                               const std::string& otherDir, const char* label) {
  const fs::path other = toFsPath(otherDir);
  switch (nestingOf(backup, canonicalForm(backup), other, canonicalForm(other))) {
    case Nesting::kSame:
      return "backup directory " + backupDir + " is the " + label + " " + otherDir;
    case Nesting::kFirstInsideSecond:
      return "backup directory " + backupDir + " lies inside the " + label + " " + otherDir;
    case Nesting::kSecondInsideFirst:
      return "backup directory " + backupDir + " contains the " + label + " " + otherDir;
    case Nesting::kSeparate:
      break;
  }
  return "";
}

// Why emptying backupDir would take far more than an old backup with it: a
// root directory, or the directory the updater works in (such as "."), or one
// that holds it. Empty when neither.
std::string sweepingBackupFault(const std::string& backupDir, const fs::path& backup) {
  const fs::path backupCanonical = canonicalForm(backup);
  if (!backupCanonical.has_relative_path() || isShareOrDeviceRoot(backup)) {
    return "backup directory " + backupDir + " is a root directory";
  }
  const fs::path workingDir = fs::current_path();
  if (liesWithin(canonicalForm(workingDir), backup, backupCanonical)) {
    return "backup directory " + backupDir + " is or contains the working directory " +
           toNarrowText(workingDir);
  }
  return "";
}

// Copies the contents of from into the existing directory to. The library's
// recursive copy cannot be used: on mingw it refuses every existing target.
// Links are followed, so the backup holds real files and directories.
void copyTree(const fs::path& from, const fs::path& to) {
  try {
    listTreeToCopy(from, [&](const fs::path& path, const fs::path& relative, bool directory) {
      const fs::path target = to / relative;
      if (directory) {
        fs::create_directory(target);
      } else {
        copyFileOver(path, target);
      }
    });
  } catch (const std::system_error& e) {
    // Name the two trees, not the entry, the way a failed recursive copy does.
    throw fs::filesystem_error("copy", from, to, e.code());
  }
}

// Why swapping source into dest would move files into the tree being
// enumerated; empty when dest is not the source and does not lie inside it.
std::string swapNestingFault(const std::string& sourceRoot, const fs::path& source,
                             const std::string& destRoot, const fs::path& dest) {
  switch (nestingOf(dest, canonicalForm(dest), source, canonicalForm(source))) {
    case Nesting::kSame:
      return "destination " + destRoot + " is the source " + sourceRoot;
    case Nesting::kFirstInsideSecond:
      return "destination " + destRoot + " lies inside the source " + sourceRoot;
    case Nesting::kSecondInsideFirst:
    case Nesting::kSeparate:
      break;
  }
  return "";
}

// The folders from root down to the one that holds relative, each of which
// a newly made folder for it may have gained an entry in.
std::set<fs::path> foldersDownTo(const fs::path& root, const fs::path& relative) {
  std::set<fs::path> folders{root};
  fs::path dir = root;
  for (auto part = relative.begin(); part != relative.end() && std::next(part) != relative.end();
       ++part) {
    dir /= *part;
    folders.insert(dir);
  }
  return folders;
}

}  // namespace

bool waitForProcessExit(std::uint32_t processId, std::uint32_t timeoutMs) {
  ProcessWait wait;
  std::uint32_t errorCode = 0;
  if (!openProcessForWait(processId, &wait, &errorCode)) {
    logLine("OpenProcess(SYNCHRONIZE, ", processId, ") returned NULL", " err=", errorCode,
            " \xE2\x80\x94 assuming process already exited");
    return true;
  }
  const std::uint32_t waitResult = waitOnProcess(wait, timeoutMs);
  closeProcessWait(wait);
  if (waitResult == kWaitObject0) return true;
  if (waitResult == kWaitTimeout) {
    logLine("WaitForSingleObject timed out after ", timeoutMs, "ms");
  } else {
    logLine("WaitForSingleObject returned ", waitResult);
  }
  return false;
}

bool backupInstallation(const std::string& installDir, const std::string& backupDir) {
  return backupInstallation(installDir, backupDir, "");
}

// Made absolute first so that a relative path whose first component is
// missing still compares correctly.
fs::path canonicalForm(const fs::path& path) { return fs::weakly_canonical(fs::absolute(path)); }

namespace {

// The path as the entry it names: without separators at its end and, where
// it ends in "." or "..", resolved, so that removing it removes that folder
// (the system refuses to remove "x/.").
fs::path entryPathOf(fs::path path) {
  while (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  if (path.filename() == "." || path.filename() == "..") return canonicalForm(path);
  return path;
}

}  // namespace

std::string sweepingBackupFault(const std::string& backupDir) {
  if (backupDir.empty()) return "";
  try {
    return sweepingBackupFault(backupDir, entryPathOf(toFsPath(backupDir)));
  } catch (const std::exception& e) {
    return e.what();
  }
}

bool backupInstallation(const std::string& installDir, const std::string& backupDir,
                        const std::string& stagingDir) {
  try {
    const fs::path backup = entryPathOf(toFsPath(backupDir));
    const bool present = fs::exists(backup);
    // Removing the old backup must never reach the installation or the staged
    // version, and a copy into itself would never end: refuse nested
    // directories before anything is removed.
    if (!backupDir.empty()) {
      std::string fault;
      if (!installDir.empty()) {
        fault = backupNestingFault(backupDir, backup, installDir, "installation directory");
      }
      if (fault.empty() && !stagingDir.empty()) {
        fault = backupNestingFault(backupDir, backup, stagingDir, "staging directory");
      }
      if (fault.empty()) fault = sweepingBackupFault(backupDir, backup);
      if (!fault.empty()) {
        logLine("backup failed: ", fault);
        return false;
      }
    }
    if (present) removeTree(backup);
    fs::create_directories(backup);
    copyTree(toFsPath(installDir), backup);
    // The swap that follows destroys the only other copy of each file it
    // replaces: the backup must be on the disk before the first move.
    flushFileSystem(backup);
    return true;
  } catch (const std::exception& e) {
    logLine("backup failed: ", e.what());
    return false;
  }
}

// True when two paths name one file, whether or not it exists yet: as the
// overlap guards compare, by the names of the canonical forms (without regard
// to case on Windows) or by identity; and, for a file not made yet, by its
// name in a folder that is one by identity (a short name, a link, a bind
// mount of the folder).
bool samePlace(const fs::path& a, const fs::path& b) {
  const fs::path aCanonical = canonicalForm(a);
  const fs::path bCanonical = canonicalForm(b);
  if (nestingOf(a, aCanonical, b, bCanonical) == Nesting::kSame) return true;
  return sameName(aCanonical.filename(), bCanonical.filename()) &&
         sameFileIdentity(aCanonical.parent_path(), bCanonical.parent_path());
}

bool sameDirectory(const fs::path& a, const fs::path& b) {
  return nestingOf(a, canonicalForm(a), b, canonicalForm(b)) == Nesting::kSame;
}

void listTreeToCopy(const fs::path& root,
                    const std::function<void(const fs::path& path, const fs::path& relative,
                                             bool directory)>& each) {
  walkTree(root, Links::kFollow,
           [&](const fs::path& path, const fs::path& relative, EntryKind kind) {
             switch (kind) {
               case EntryKind::kDirectory:
               case EntryKind::kLinkToDirectory:
                 each(path, relative, /*directory=*/true);
                 break;
               case EntryKind::kFile:
               case EntryKind::kLinkToFile:
                 each(path, relative, /*directory=*/false);
                 break;
               case EntryKind::kDanglingLink:
                 throw fs::filesystem_error(
                     "copy", path, std::make_error_code(std::errc::no_such_file_or_directory));
               case EntryKind::kOther:
                 throw fs::filesystem_error("copy", path,
                                            std::make_error_code(std::errc::not_supported));
             }
             return true;
           });
}

void listFilesToMove(const fs::path& root, const std::function<void(const fs::path&)>& each) {
  walkTree(root, Links::kPassOver, [&](const fs::path&, const fs::path& relative, EntryKind kind) {
    if (kind == EntryKind::kFile || kind == EntryKind::kLinkToFile) each(relative);
    return true;
  });
}

std::uint32_t moveInto(MoveTarget* target, const fs::path& from, const fs::path& relative) {
  const fs::path to = target->root / relative;
  const fs::path folder = to.parent_path();
  // Files of one folder come one after another: compare with the last one's
  // folder before searching the set.
  const bool known = folder.native() == target->lastFolder || target->received.count(folder) != 0;
  const bool created = !known && fs::create_directories(folder);
  // A folder just made must be in its parent on the disk before a file moves
  // in: a power cut could otherwise keep the move (the file gone from where
  // it was) and lose the folder that received it. Each folder on the way
  // gained an entry that must reach the disk, at the end as well.
  std::set<fs::path> receiving;
  if (!known) receiving = created ? foldersDownTo(target->root, relative) : std::set{folder};
  if (created) flushDirectories(receiving);
  const std::uint32_t code = moveFileReplacing(from, to, target->temporarySuffix);
  if (code != 0) return code;
  target->received.insert(receiving.begin(), receiving.end());
  target->lastFolder = folder.native();
  return 0;
}

void flushMoves(const MoveTarget& target) { flushDirectories(target.received); }

std::string moveFailureText(const fs::path& file, std::uint32_t code) {
  std::string text =
      "MoveFileEx(" + toNarrowText(file.filename()) + ") err=" + std::to_string(code);
  if (code == kErrorAccessDenied || code == kErrorSharingViolation) text += " (file locked)";
  return text;
}

std::string swapRootsFault(const std::string& sourceRoot, const std::string& destRoot) {
  // An empty destination would resolve every file against the working
  // directory, wherever that is.
  if (destRoot.empty()) return "no destination directory was given";
  return swapNestingFault(sourceRoot, toFsPath(sourceRoot), destRoot, toFsPath(destRoot));
}

std::string randomTemporarySuffix() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::string suffix = ".vexo-";
  for (int i = 0; i < 6; ++i) suffix += kLetters[random() % (sizeof kLetters - 1)];
  return suffix;
}

namespace {

constexpr auto kHoldPatience = std::chrono::milliseconds(1000);
constexpr auto kHoldRetry = std::chrono::milliseconds(50);

// The names of the holds on a directory, one for each of its folders that
// exists: that folder's identity, which no other spelling of it changes, and
// the names below it, compared as the file system compares them, hashed
// (FNV-1a) into sixteen hex digits. A run takes them all: another run, which
// may find more of the folders made by then, or reach them through another
// name, still meets the one made from a folder both runs see. Throws when a
// folder on the way cannot be looked at.
std::vector<std::string> holdNamesOf(const fs::path& directory) {
  fs::path canonical = canonicalForm(directory);
  while (!canonical.has_filename() && canonical.has_relative_path()) {
    canonical = canonical.parent_path();
  }
  std::vector<std::string> names;
  fs::path rest;
  for (fs::path base = canonical;; base = base.parent_path()) {
    if (entryExists(base)) {
      std::uint64_t hash = 14695981039346656037ULL;
      const auto add = [&hash](std::uint64_t unit) {
        hash ^= unit;
        hash *= 1099511628211ULL;
      };
      for (const char c : fileIdentity(base)) add(static_cast<unsigned char>(c));
      add('|');
      for (const auto unit : rest.native()) {
#ifdef _WIN32
        add(static_cast<std::uint64_t>(std::towlower(static_cast<std::wint_t>(unit))));
#else
        add(static_cast<unsigned char>(unit));
#endif
      }
      char name[17];
      std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
      names.push_back(name);
    }
    if (!base.has_relative_path()) break;
    rest = rest.empty() ? base.filename() : base.filename() / rest;
  }
  return names;
}

}  // namespace

std::string holdDirectory(const std::string& directory, const std::string& label) {
  fs::path path;
  try {
    path = toFsPath(directory);
  } catch (const std::exception&) {
    // A path no step can use is refused by the first step that meets it,
    // before anything moves.
    return "";
  }
  std::vector<std::string> names;
  try {
    names = holdNamesOf(path);
  } catch (const std::exception& e) {
    return "cannot take the hold on the " + label + " " + directory + ": " + e.what();
  }
  // Holds this process took already: the same directory named twice (as the
  // installation and the backup) is for the overlap guards to refuse.
  static std::set<std::string> taken;
  // A host that asks whether a run holds the directory takes the hold for a
  // moment: a run that meets that moment waits for it, briefly.
  const auto deadline = std::chrono::steady_clock::now() + kHoldPatience;
  for (const std::string& name : names) {
    if (taken.count(name) != 0) continue;
    std::uint32_t code = 0;
    while (!takeHold(name, /*keep=*/true, &code)) {
      if (code != 0) {
        return "cannot take the hold on the " + label + " " + directory +
               " err=" + std::to_string(code);
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        return "another run of the updater holds the " + label + " " + directory;
      }
      std::this_thread::sleep_for(kHoldRetry);
    }
    taken.insert(name);
  }
  return "";
}

bool directoryIsHeld(const std::string& directory) {
  std::vector<std::string> names;
  try {
    names = holdNamesOf(toFsPath(directory));
  } catch (const std::exception&) {
    return false;
  }
  for (const std::string& name : names) {
    std::uint32_t code = 0;
    if (!takeHold(name, /*keep=*/false, &code) && code == 0) return true;
  }
  return false;
}

bool removeLinksBelow(const std::string& root) {
  try {
    return walkTree(toFsPath(root), Links::kPassOver,
                    [](const fs::path& path, const fs::path&, EntryKind kind) {
                      if (kind == EntryKind::kLinkToDirectory || kind == EntryKind::kLinkToFile ||
                          kind == EntryKind::kDanglingLink) {
                        removeLink(path);
                      }
                      return true;
                    });
  } catch (const std::exception&) {
    return false;
  }
}

namespace {

// True when the place of relative below root is a link or junction, or lies
// below one. folders keeps each folder's answer: the files of one folder come
// together, and each folder is looked at once.
bool placeIsLinked(const fs::path& root, const fs::path& relative,
                   std::map<fs::path, bool>* folders) {
  fs::path place;
  bool linked = false;
  for (auto part = relative.begin(); part != relative.end(); ++part) {
    place /= *part;
    if (std::next(part) == relative.end()) break;
    const auto [known, added] = folders->emplace(place, linked);
    if (added && !linked) known->second = isLinkEntry(root / place);
    linked = known->second;
  }
  return linked || isLinkEntry(root / place);
}

// Moves the files of sourceRoot into destRoot, as swapTree describes. With
// destLinks Links::kFollow a file goes through a link or junction of destRoot
// on its way, into what it leads to; with Links::kPassOver a file whose place
// in destRoot is a link or lies below one stays where it is.
std::string moveTree(const std::string& sourceRoot, const std::string& destRoot, Links destLinks,
                     const std::string& temporarySuffix) {
  MoveTarget target;
  target.temporarySuffix = temporarySuffix;
  std::string failure;
  try {
    const fs::path source = toFsPath(sourceRoot);
    target.root = toFsPath(destRoot);
    // A source that cannot be listed is the first thing to report.
    fs::directory_iterator{source};
    const std::string fault = swapRootsFault(sourceRoot, destRoot);
    if (!fault.empty()) throw std::runtime_error(fault);
    // Which links lead to files is settled before anything moves: a relative
    // link whose target moved first would dangle by the time it is reached.
    std::set<fs::path> fileLinks;
    walkTree(source, Links::kPassOver,
             [&](const fs::path&, const fs::path& relative, EntryKind kind) {
               if (kind == EntryKind::kLinkToFile) fileLinks.insert(relative);
               return true;
             });
    std::map<fs::path, bool> linkedFolders;
    walkTree(source, Links::kPassOver,
             [&](const fs::path& path, const fs::path& relative, EntryKind kind) {
               if (kind != EntryKind::kFile && fileLinks.count(relative) == 0) return true;
               if (destLinks == Links::kPassOver &&
                   placeIsLinked(target.root, relative, &linkedFolders)) {
                 return true;
               }
               const std::uint32_t code = moveInto(&target, path, relative);
               if (code != 0) failure = moveFailureText(path, code);
               return code == 0;
             });
  } catch (const std::exception& e) {
    failure = std::string("swap exception: ") + e.what();
  }
  flushMoves(target);
  return failure;
}

}  // namespace

std::string swapTree(const std::string& sourceRoot, const std::string& destRoot) {
  return moveTree(sourceRoot, destRoot, Links::kFollow, randomTemporarySuffix());
}

std::string swapTreeBesideLinks(const std::string& sourceRoot, const std::string& destRoot,
                                const std::string& temporarySuffix) {
  return moveTree(sourceRoot, destRoot, Links::kPassOver, temporarySuffix);
}
