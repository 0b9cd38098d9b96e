#ifndef VEXO_TREEOPS_WALKS_H_
#define VEXO_TREEOPS_WALKS_H_

// What the tree operations share with the update journal: the list of files
// a swap moves, the move of one of them, and the comparison of places.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

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
// throws when the folder cannot be made or a path cannot be converted.
std::uint32_t moveInto(MoveTarget* target, const std::filesystem::path& from,
                       const std::filesystem::path& relative);

// Makes the moves into target durable; called once, when they are done.
void flushMoves(const MoveTarget& target);

// "MoveFileEx(<file's name>) err=<code>", marked " (file locked)" for the
// codes that mean one.
std::string moveFailureText(const std::filesystem::path& file, std::uint32_t code);

// As swapTree, but a file whose place below destRoot is a link or junction,
// or lies below one, is passed over and stays in sourceRoot: what a link of
// destRoot leads to, and the link itself, are left as they are. Copies
// across file systems go under temporarySuffix.
std::string swapTreeBesideLinks(const std::string& sourceRoot, const std::string& destRoot,
                                const std::string& temporarySuffix);

// The path made absolute, links and "." and ".." resolved as far as the path
// exists, the rest normalised. Throws when a folder on the way cannot be
// looked at.
std::filesystem::path canonicalForm(const std::filesystem::path& path);

// Why moving the files of sourceRoot into destRoot must not begin: there is
// no destination, or it is the source or lies inside it (the moves would land
// in the tree being listed). Empty when it may.
std::string swapRootsFault(const std::string& sourceRoot, const std::string& destRoot);

// True when the two directories are one, as the overlap guards compare them.
bool sameDirectory(const std::filesystem::path& a, const std::filesystem::path& b);

// True when two paths name one file, whether or not it exists yet.
bool samePlace(const std::filesystem::path& a, const std::filesystem::path& b);

#endif  // VEXO_TREEOPS_WALKS_H_
