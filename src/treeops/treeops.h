#ifndef VEXO_TREEOPS_TREEOPS_H_
#define VEXO_TREEOPS_TREEOPS_H_

#include <cstdint>
#include <string>
#include <vector>

// Waits up to timeoutMs for the process to end. Returns true when it has ended
// or cannot be opened (logged), false on a time-out or a failed wait (logged).
bool waitForProcessExit(std::uint32_t processId, std::uint32_t timeoutMs);

// Replaces backupDir with a full copy of installDir. Returns true when the copy
// is complete; otherwise logs "backup failed: ..." and returns false.
bool backupInstallation(const std::string& installDir, const std::string& backupDir);

// As above, and also refuses a backupDir that is, lies inside or contains
// stagingDir (an empty stagingDir is not checked).
bool backupInstallation(const std::string& installDir, const std::string& backupDir,
                        const std::string& stagingDir);

// Moves every regular file under sourceRoot to the same relative path under
// destRoot. Returns the empty string on success, else the failure's text.
std::string swapTree(const std::string& sourceRoot, const std::string& destRoot);

// Removes every link and junction below root, itself and never what it leads
// to. Returns false when one cannot be removed or root cannot be listed.
bool removeLinksBelow(const std::string& root);

// One file a swap moved, as the narrow paths it was moved from and to.
struct MovedFile {
  std::string from;
  std::string to;
};

// As above, and appends each file it moved to *moved, in the order moved.
std::string swapTree(const std::string& sourceRoot, const std::string& destRoot,
                     std::vector<MovedFile>* moved);

// Moves the files back where they came from, the last moved first, and stops
// at the first that cannot be moved. Returns the empty string, or that
// failure in the form swapTree reports.
std::string undoMoves(const std::vector<MovedFile>& moved);

// The update journal: a file beside the backup directory (its path with
// ".pending" appended) that exists while the backup is the only complete copy
// of the old version: from the end of the backup until the update's files
// are all in, or the rollback has put the old version back.
enum class UpdateJournal { kNone, kSwapping, kRollingBack };

// What the journal says; kNone also when there is no backup directory, or
// the file at the journal's path is not a journal.
UpdateJournal readUpdateJournal(const std::string& backupDir);

// Writes the journal durably. Returns the empty string, or why it could not
// be written (also when a file that is not a journal is in its place).
std::string writeUpdateJournal(const std::string& backupDir, UpdateJournal state,
                               const std::string& idempotencyKey);

// True when path names the journal's place.
bool isUpdateJournal(const std::string& backupDir, const std::string& path);

// Removes the journal. Silent on failure.
void endUpdateJournal(const std::string& backupDir);

#endif  // VEXO_TREEOPS_TREEOPS_H_
