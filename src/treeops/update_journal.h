#ifndef VEXO_TREEOPS_UPDATE_JOURNAL_H_
#define VEXO_TREEOPS_UPDATE_JOURNAL_H_

// Finishing or undoing an interrupted update. From the end of the backup
// until the update has moved everything in or has been undone, the backup is
// the only complete copy of the old version. A journal beside it, the backup
// directory's path with ".pending" appended, records the run while it is:
// its two directories, its idempotency key, every file the update moves, in
// order, and whether the files are moving in or the update is being undone.
// A later run that finds the journal finishes that run, and only that run.

#include <string>

enum class JournalState {
  // No journal; or one whose backup directory has gone; or one whose first
  // write was cut short, which happens before any file moves.
  kNone,
  // The staged files are moving in.
  kMovingIn,
  // The update is being undone.
  kRollingBack,
  // Something at the journal's place that is not a journal this updater can
  // resume.
  kUnreadable,
};

// What the journal beside backupDir says.
struct UpdateJournal {
  JournalState state = JournalState::kNone;
  std::string installDir;  // as the run that wrote it was given them
  std::string stagingDir;
};

// Reads the journal beside backupDir. Never fails: what cannot be read is
// kUnreadable.
UpdateJournal readUpdateJournal(const std::string& backupDir);

// Why a run with these directories must not go on with the journal's update
// (or, for kUnreadable, replace the file): another installation or staging
// directory, compared as the overlap guards compare, or none given; or a
// staging directory that is no longer what the journal listed (a file
// changed or added since). Empty when it may.
std::string resumeFault(const UpdateJournal& journal, const std::string& backupDir,
                        const std::string& installDir, const std::string& stagingDir);

// True when path names the journal's place.
bool isUpdateJournal(const std::string& backupDir, const std::string& path);

// Starts the journal of a new update after a complete backup. Returns the
// empty string, or why it cannot be written (also when a file that is not a
// journal is in its place).
std::string beginUpdateJournal(const std::string& backupDir, const std::string& installDir,
                               const std::string& stagingDir, const std::string& idempotencyKey);

// Moves the staged files into the installation. A new update first lists
// them in the journal, durably; a resumed one moves those its journal lists
// that are still staged. Returns the empty string, or the failure in the
// form swapTree reports it.
std::string moveStagedFilesIn(const std::string& backupDir, const std::string& installDir,
                              const std::string& stagingDir, bool resuming);

// Undoes the journal's update, and goes on with an undo that was stopped.
// Each listed file found in the installation goes back to staging and its
// old version comes back from the backup right after, so no place stays
// empty; if the old version cannot come back the staged file goes in again
// and the undo stops. Then the rest of the backup moves back (swapTree).
// Returns the empty string, or the failure in the form swapTree reports it.
std::string rollBackUpdate(const std::string& backupDir, const std::string& installDir,
                           const std::string& stagingDir);

// Removes the journal, the update being complete or undone. Silent on failure.
void endUpdateJournal(const std::string& backupDir);

#endif  // VEXO_TREEOPS_UPDATE_JOURNAL_H_
