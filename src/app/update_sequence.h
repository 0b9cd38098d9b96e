#ifndef VEXO_APP_UPDATE_SEQUENCE_H_
#define VEXO_APP_UPDATE_SEQUENCE_H_

// Exit status of a run whose arguments cannot be used: a vexo-pid that
// cannot be converted, or, on Windows, an argument the system changed on its
// way in (EX_USAGE).
constexpr int kStatusBadArguments = 64;

// Runs one whole update from the command line. Returns the exit status:
// 0 success or rollback, 1 wait failed, 2 backup failed, 3 rollback failed,
// 64 unusable arguments (nothing touched, nothing logged to the file).
int runUpdate(int argc, const char* const* argv);

#endif  // VEXO_APP_UPDATE_SEQUENCE_H_
