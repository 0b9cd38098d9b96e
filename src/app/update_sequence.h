#ifndef VEXO_APP_UPDATE_SEQUENCE_H_
#define VEXO_APP_UPDATE_SEQUENCE_H_

// Exit status of a run whose vexo-pid option cannot be converted (EX_USAGE).
constexpr int kStatusBadProcessId = 64;

// Runs one whole update from the command line. Returns the exit status:
// 0 success or rollback, 1 wait failed, 2 backup failed, 3 rollback failed,
// 64 an unusable vexo-pid (nothing touched, nothing logged to the file).
int runUpdate(int argc, const char* const* argv);

#endif  // VEXO_APP_UPDATE_SEQUENCE_H_
