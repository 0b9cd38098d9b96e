#ifndef VEXO_TREEOPS_TREEOPS_H_
#define VEXO_TREEOPS_TREEOPS_H_

#include <cstddef>
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

// One file a swap moved, as the narrow paths it was moved from and to.
struct MovedFile {
  std::string from;
  std::string to;
};

// As above, and appends each file it moved to *moved, in the order moved.
std::string swapTree(const std::string& sourceRoot, const std::string& destRoot,
                     std::vector<MovedFile>* moved);

// Moves the files back where they came from, the last moved first. Returns
// how many could not be moved back (they stay where they are).
std::size_t undoMoves(const std::vector<MovedFile>& moved);

// The update journal: a file beside the backup directory (its path with
// ".pending" appended) that exists while an update is moving files in, and
// holds the run's idempotency key.

// True when the journal of an earlier run with this key is there, and so is
// the backup it made: that run stopped while moving files in, and its backup
// is the only complete copy of the old version.
bool updateInterrupted(const std::string& backupDir, const std::string& idempotencyKey);

// Writes the journal and makes it durable. Returns the empty string, or why
// it could not be written.
std::string beginUpdateJournal(const std::string& backupDir, const std::string& idempotencyKey);

// Removes the journal. Silent on failure.
void endUpdateJournal(const std::string& backupDir);

#endif  // VEXO_TREEOPS_TREEOPS_H_
