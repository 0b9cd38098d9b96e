#ifndef VEXO_APP_HANDOFF_H_
#define VEXO_APP_HANDOFF_H_

#include <cstdint>
#include <string>

// Deletes the staging directory and everything in it. Silent on failure.
void removeStaging(const std::string& stagingDir);

// Starts <installDir>/VEXO.exe --post-update-check without waiting for it.
// Silent on failure.
void relaunchApplication(const std::string& installDir);

// Blocks the thread for the given time.
void pauseMilliseconds(std::uint32_t milliseconds);

#endif  // VEXO_APP_HANDOFF_H_
