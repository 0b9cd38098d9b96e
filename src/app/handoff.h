#ifndef VEXO_APP_HANDOFF_H_
#define VEXO_APP_HANDOFF_H_

#include <filesystem>

// Deletes the staging directory and everything in it, links as themselves,
// never what they lead to. Silent on failure.
void removeStaging(const std::filesystem::path& stagingDir);

// Starts <installDir>/VEXO.exe --post-update-check, detached, without
// waiting for it. Silent on failure.
void relaunchApplication(const std::filesystem::path& installDir);

#endif  // VEXO_APP_HANDOFF_H_
