#ifndef VEXO_TREEOPS_TREEOPS_H_
#define VEXO_TREEOPS_TREEOPS_H_

#include <cstdint>
#include <string>

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

// Why emptying backupDir would take far more than an old backup with it: it
// is a root directory, or the working directory or a folder that holds it;
// or a folder on the way cannot be looked at. Empty when neither.
std::string sweepingBackupFault(const std::string& backupDir);

// Moves every regular file under sourceRoot to the same relative path under
// destRoot. Returns the empty string on success, else the failure's text.
std::string swapTree(const std::string& sourceRoot, const std::string& destRoot);

// Removes every link and junction below root, itself and never what it leads
// to. Returns false when one cannot be removed or root cannot be listed.
bool removeLinksBelow(const std::string& root);

// Takes this run's hold on the directory (which need not exist yet) for the
// rest of the process, named by its folder's identity and its own name, so
// that another run for the same directory, under whatever name, is kept
// out. label names the directory in the text. Returns the empty string, or
// why the hold cannot be had: another run has it, or the system cannot be
// asked. A path that cannot be converted, or none of whose folders can be
// identified, is left to the steps that use it.
std::string holdDirectory(const std::string& directory, const std::string& label);

// True when a run of the updater holds the directory now. Asking takes the
// hold for a moment and lets it go at once.
bool directoryIsHeld(const std::string& directory);

#endif  // VEXO_TREEOPS_TREEOPS_H_
