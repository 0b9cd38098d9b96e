#include "treeops/walks.h"

#include <iterator>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

#include "os/error.h"
#include "os/files.h"
#include "os/paths.h"
#include "treeops/places.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kErrorNotSupported = 50;

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
  const bool whole = listDirectory(directory, [&](const fs::path& name, EntryKind kind) {
    const fs::path path = directory / name;
    const fs::path entryRelative = relative / name;
    if (!visit(path, entryRelative, kind)) return false;
    if (kind == EntryKind::kLinkToDirectory) {
      if (links == Links::kPassOver) return true;
      for (const fs::path& ancestor : *ancestors) {
        if (sameFileIdentity(path, ancestor)) {
          throw std::runtime_error("link " + toNarrowText(path) + " leads back to " +
                                   toNarrowText(ancestor) + ", which holds it");
        }
      }
    } else if (kind != EntryKind::kDirectory) {
      return true;
    }
    return walkBelow(path, entryRelative, links, ancestors, visit);
  });
  ancestors->pop_back();
  return whole;
}

template <typename Visit>
bool walkTree(const fs::path& root, Links links, const Visit& visit) {
  std::vector<fs::path> ancestors;
  return walkBelow(root, fs::path(), links, &ancestors, visit);
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

}  // namespace

void listFilesToMove(const fs::path& root, const std::function<void(const fs::path&)>& each) {
  walkTree(root, Links::kPassOver, [&](const fs::path&, const fs::path& relative, EntryKind kind) {
    if (kind == EntryKind::kFile || kind == EntryKind::kLinkToFile) each(relative);
    return true;
  });
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
                 throw SystemError("copy", toNarrowText(path), kErrorFileNotFound);
               case EntryKind::kOther:
                 throw SystemError("copy", toNarrowText(path), kErrorNotSupported);
             }
             return true;
           });
}

std::string randomTemporarySuffix() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::string suffix = ".vexo-";
  for (int i = 0; i < 6; ++i) suffix += kLetters[random() % (sizeof kLetters - 1)];
  return suffix;
}

std::uint32_t moveInto(MoveTarget* target, const fs::path& from, const fs::path& relative) {
  const fs::path to = target->root / relative;
  const fs::path folder = to.parent_path();
  // Files of one folder come one after another: compare with the last one's
  // folder before searching the set.
  const bool known = folder.native() == target->lastFolder || target->received.count(folder) != 0;
  const bool created = !known && createDirectories(folder);
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
  return failureText("MoveFileEx", toNarrowText(file.filename()), code);
}

std::string swapRootsFault(const fs::path& sourceRoot, const fs::path& destRoot) {
  // An empty destination would resolve every file against the working
  // directory, wherever that is.
  if (destRoot.empty()) return "no destination directory was given";
  const std::string source = toNarrowText(sourceRoot);
  const std::string dest = toNarrowText(destRoot);
  switch (nestingOf(destRoot, sourceRoot)) {
    case Nesting::kSame:
      return "destination " + dest + " is the source " + source;
    case Nesting::kFirstInsideSecond:
      return "destination " + dest + " lies inside the source " + source;
    case Nesting::kSecondInsideFirst:
    case Nesting::kSeparate:
      break;
  }
  return "";
}

std::string moveTree(const fs::path& sourceRoot, const fs::path& destRoot, Links destLinks,
                     const std::string& temporarySuffix) {
  MoveTarget target;
  target.root = destRoot;
  target.temporarySuffix = temporarySuffix;
  std::string failure;
  try {
    // A source that cannot be listed is the first thing to report.
    listDirectory(sourceRoot, [](const fs::path&, EntryKind) { return false; });
    const std::string fault = swapRootsFault(sourceRoot, destRoot);
    if (!fault.empty()) throw std::runtime_error(fault);
    // Which links lead to files is settled before anything moves: a relative
    // link whose target moved first would dangle by the time it is reached.
    std::set<fs::path> fileLinks;
    walkTree(sourceRoot, Links::kPassOver,
             [&](const fs::path&, const fs::path& relative, EntryKind kind) {
               if (kind == EntryKind::kLinkToFile) fileLinks.insert(relative);
               return true;
             });
    std::map<fs::path, bool> linkedFolders;
    walkTree(sourceRoot, Links::kPassOver,
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
