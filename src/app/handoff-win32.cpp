#include "app/handoff.h"

void removeStaging(const std::string&) {}
void relaunchApplication(const std::string&) {}
void pauseMilliseconds(std::uint32_t) {}
