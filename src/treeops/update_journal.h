#ifndef VEXO_TREEOPS_UPDATE_JOURNAL_H_
#define VEXO_TREEOPS_UPDATE_JOURNAL_H_

// Finishing or undoing an interrupted update. From the end of the backup
// until the update has moved everything in or has been undone, the backup is
// the only complete copy of the old version. A journal beside it, the backup
// directory's normalised absolute path with ".pending" appended, records the
// run while it is: its two directories, its idempotency key, every file the
// update moves, in order, each with what it is known by (its size, time and
// identity), and whether the files are moving in or the update is being
// undone. A later run that finds the journal finishes that run, and only
// that run; nothing is inferred from a file that is missing.

#include <filesystem>
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
  // resume, or a place that cannot be looked at.
  kUnreadable,
};

// What the journal beside backupDir says.
struct UpdateJournal {
  JournalState state = JournalState::kNone;
  std::filesystem::path installDir;  // made absolute by the run that wrote it
  std::filesystem::path stagingDir;
  std::string fault;  // for kUnreadable, why
};

// Reads the journal beside backupDir. Never fails: what cannot be read or
// looked at is kUnreadable.
UpdateJournal readUpdateJournal(const std::filesystem::path& backupDir);

// The place of the journal of backupDir, the same for every spelling of it.
// Throws when a folder on the way cannot be looked at.
std::filesystem::path journalPathOf(const std::filesystem::path& backupDir);

// What a run does about the journal beside its backup directory.
enum class JournalAction {
  kNone,    // there is none: a fresh run
  kEnd,     // its update moved every file in: end it, then a fresh run
  kResume,  // move in the files still staged
  kUndo,    // finish the undo, end it, then a fresh run
  kRefuse,  // touch nothing
};

// Why a run is refused, for the host's sentence.
enum class JournalFault {
  kNone,
  kUnreadable,     // not a journal, or a file that cannot be looked at
  kOtherUpdate,    // another installation or staging directory, or none given
  kStagingChanged  // staged again since: finishing would mix two versions
};

struct JournalDecision {
  JournalAction action = JournalAction::kNone;
  JournalFault fault = JournalFault::kNone;
  std::string reason;  // for kRefuse, as the log says it
  // The installation may hold files of both versions, or lack a file whose
  // old version is still in the backup: the journal's update is not over.
  bool mixed = false;
};

// Decides, from what the journal recorded and the files as they are now,
// what a run with these directories does about the journal beside
// backupDir. A listed file counts as moved in only when the installation
// holds it as listed: the same identity where the move was a rename, the
// same size and time (at the file system's granularity) where it copied.
// A journal of other directories, or a run given none, is refused.
JournalDecision decideOnJournal(const std::filesystem::path& backupDir,
                                const std::filesystem::path& installDir,
                                const std::filesystem::path& stagingDir);

// True when path names the journal's place.
bool isUpdateJournal(const std::filesystem::path& backupDir, const std::filesystem::path& path);

// Starts the journal of a new update after a complete backup. Returns the
// empty string, or why it cannot be written (also when a file that is not a
// journal is in its place).
std::string beginUpdateJournal(const std::filesystem::path& backupDir,
                               const std::filesystem::path& installDir,
                               const std::filesystem::path& stagingDir,
                               const std::string& idempotencyKey);

// Moves the staged files into the installation. A new update first lists
// them in the journal, durably; a resumed one moves those of its list that
// the installation does not hold as listed. Returns the empty string, or the
// failure in the form swapTree reports it.
std::string moveStagedFilesIn(const std::filesystem::path& backupDir,
                              const std::filesystem::path& installDir,
                              const std::filesystem::path& stagingDir, bool resuming);

// Undoes the journal's update, and goes on with an undo that was stopped.
// Each listed file the installation holds as listed goes back to staging and
// its old version comes back from the backup right after, so no place stays
// empty; if the old version cannot come back the staged file goes in again
// and the undo stops. A listed file in neither place is passed over, with
// passedOver called with it. Then the rest of the backup moves back.
// Returns the empty string, or the failure in the form swapTree reports it.
std::string rollBackUpdate(const std::filesystem::path& backupDir,
                           const std::filesystem::path& installDir,
                           const std::filesystem::path& stagingDir,
                           void (*passedOver)(const std::string& file) = nullptr);

// Removes the journal, the update being complete or undone. Silent on failure.
void endUpdateJournal(const std::filesystem::path& backupDir);

#endif  // VEXO_TREEOPS_UPDATE_JOURNAL_H_
