#ifndef VEXO_TREEOPS_TREEOPS_H_
#define VEXO_TREEOPS_TREEOPS_H_

// The operations of an update on its trees and processes. Each reports
// through its result and logs nothing: the run decides what to log.

#include <cstdint>
#include <filesystem>
#include <string>

// Waits up to timeoutMs for the process to end. Returns true when it has
// ended or cannot be opened, false on a time-out or a failed wait; *note
// gets what the log says of it (the open that failed, the time-out, the
// wait's result), empty when the process simply ended.
bool waitForProcessExit(std::uint32_t processId, std::uint32_t timeoutMs, std::string* note);

// Why emptying backupDir would take far more than an old backup with it: it
// is a root directory, or the working directory or a folder that holds it;
// or a folder on the way cannot be looked at. Empty when neither.
std::string sweepingBackupFault(const std::filesystem::path& backupDir);

// Replaces backupDir with a full copy of installDir, made durable. Refuses,
// before anything is removed, a backupDir that is, lies inside or contains
// installDir or stagingDir (an empty stagingDir is not checked), or that
// sweepingBackupFault refuses. Returns an empty string when the copy is
// complete, else why it is not.
std::string backupInstallation(const std::filesystem::path& installDir,
                               const std::filesystem::path& backupDir,
                               const std::filesystem::path& stagingDir);

// Moves every regular file under sourceRoot to the same relative path under
// destRoot. Returns the empty string on success, else the failure's text.
std::string swapTree(const std::filesystem::path& sourceRoot,
                     const std::filesystem::path& destRoot);

// Takes this run's hold on the directory (which need not exist yet) for the
// rest of the process, on every one of its folders that exists, so that
// another run for the same directory, under whatever name, is kept out; a
// hold another process has is waited for up to about a second. label names
// the directory in the text. Returns the empty string, or why the hold
// cannot be had: another run has it, or the system cannot be asked.
std::string holdDirectory(const std::filesystem::path& directory, const std::string& label);

// True when a run of the updater holds the directory now. Asking takes the
// hold for a moment and lets it go at once.
bool directoryIsHeld(const std::filesystem::path& directory);

#endif  // VEXO_TREEOPS_TREEOPS_H_
