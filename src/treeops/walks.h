#ifndef VEXO_TREEOPS_WALKS_H_
#define VEXO_TREEOPS_WALKS_H_

// The walks of a tree the backup, the swap and the journal share: the list
// of files a swap moves, the tree a backup copies, and the moves themselves.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

// How a walk treats links and junctions to directories.
enum class Links { kFollow, kPassOver };

// Calls each(relative) for every file a swap of root moves, in the order it
// moves them: regular files, and links to files as themselves, depth first in
// the order of the system's listing. Links to directories are neither
// entered nor listed; dangling links are passed over. Throws on a failure.
void listFilesToMove(const std::filesystem::path& root,
                     const std::function<void(const std::filesystem::path& relative)>& each);

// Calls each(path, relative, directory) for every directory and file the
// backup copies from root, in the order it copies them: links followed, as
// what they lead to, depth first in the order of the system's listing.
// Throws where the copy would fail: an entry that cannot be read, a dangling
// link, an entry that is neither file nor directory, or a link that leads
// back to a directory holding it.
void listTreeToCopy(
    const std::filesystem::path& root,
    const std::function<void(const std::filesystem::path& path,
                             const std::filesystem::path& relative, bool directory)>& each);

// A suffix no file of anyone's has: ".vexo-" and six random letters or digits.
std::string randomTemporarySuffix();

// Where moved files go, the folders that received one, and the suffix of
// the temporary name a move across file systems writes its copy under: an
// update's own, kept in its journal, so that its leftovers are known as its.
struct MoveTarget {
  std::filesystem::path root;
  std::set<std::filesystem::path> received;
  std::filesystem::path::string_type lastFolder;
  std::string temporarySuffix = randomTemporarySuffix();
};

// Moves the file (or link) at from to relative below target->root, making
// its folder first. Returns 0, or the system's code when the move is refused;
// throws when the folder cannot be made.
std::uint32_t moveInto(MoveTarget* target, const std::filesystem::path& from,
                       const std::filesystem::path& relative);

// Makes the moves into target durable; called once, when they are done.
void flushMoves(const MoveTarget& target);

// "MoveFileEx(<file's name>) err=<code>", marked " (file locked)" for the
// codes that mean one.
std::string moveFailureText(const std::filesystem::path& file, std::uint32_t code);

// Moves every file of sourceRoot that a swap moves to the same relative path
// below destRoot, and stops at the first that cannot move; copies across
// file systems go under temporarySuffix. With destLinks Links::kFollow a
// file goes through a link or junction of destRoot on its way, into what it
// leads to; with Links::kPassOver a file whose place in destRoot is a link
// or lies below one stays where it is, and so do the link and what it leads
// to. Returns the empty string, or "MoveFileEx(<name>) err=<code>", or
// "swap exception: <what failed>".
std::string moveTree(const std::filesystem::path& sourceRoot, const std::filesystem::path& destRoot,
                     Links destLinks, const std::string& temporarySuffix);

// Why moving the files of sourceRoot into destRoot must not begin: there is
// no destination, or it is the source or lies inside it (the moves would land
// in the tree being listed). Empty when it may; throws when a folder on the
// way cannot be looked at.
std::string swapRootsFault(const std::filesystem::path& sourceRoot,
                           const std::filesystem::path& destRoot);

#endif  // VEXO_TREEOPS_WALKS_H_
