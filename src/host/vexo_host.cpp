// The C interface over host_kit.h. Nothing thrown inside may cross it: every
// function catches at its boundary and reports through its result.
#include "host/vexo_host.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "host/host_kit.h"
#include "os/paths.h"
#include "release/release_check.h"
#include "vexo_version.h"

namespace {

std::string textOf(const char* value) { return value != nullptr ? value : ""; }

void copyError(const std::string& message, char* error, std::size_t errorSize) {
  if (error == nullptr || errorSize == 0) return;
  const std::size_t length = message.size() < errorSize ? message.size() : errorSize - 1;
  std::memcpy(error, message.data(), length);
  error[length] = '\0';
}

// The request, its paths converted once; throws SystemError for a path the
// code page cannot hold.
UpdateRequest requestOf(const vexo_update_request& request) {
  UpdateRequest copy;
  copy.installDir = toFsPath(textOf(request.install_dir));
  copy.stagingDir = toFsPath(textOf(request.staging_dir));
  copy.dataDir = toFsPath(textOf(request.data_dir));
  copy.idempotencyKey = textOf(request.idempotency_key);
  copy.fromVersion = textOf(request.from_version);
  copy.toVersion = textOf(request.to_version);
  copy.updaterPath = toFsPath(textOf(request.updater_path));
  copy.runDir = toFsPath(textOf(request.run_dir));
  copy.backupDir = toFsPath(textOf(request.backup_dir));
  copy.logPath = toFsPath(textOf(request.log_path));
  copy.markerPath = toFsPath(textOf(request.marker_path));
  copy.processId = request.process_id;
  return copy;
}

// The outcome as one block, released by one free(): the structure, then its
// texts. NULL when memory runs out.
vexo_outcome* outcomeBlock(const Outcome& outcome) {
  const std::string* texts[] = {&outcome.text, &outcome.fromVersion, &outcome.toVersion};
  std::size_t size = sizeof(vexo_outcome);
  for (const std::string* text : texts) size += text->size() + 1;
  void* block = std::malloc(size);
  if (block == nullptr) return nullptr;
  auto* result = static_cast<vexo_outcome*>(block);
  char* next = static_cast<char*>(block) + sizeof(vexo_outcome);
  const char* copies[3];
  for (int i = 0; i < 3; ++i) {
    std::memcpy(next, texts[i]->c_str(), texts[i]->size() + 1);
    copies[i] = next;
    next += texts[i]->size() + 1;
  }
  static_assert(static_cast<int>(OutcomeResult::kError) == VEXO_ERROR, "the C results' order");
  result->result = static_cast<int>(outcome.result);
  result->installation_mixed = outcome.installationMixed ? 1 : 0;
  result->applied_at = outcome.appliedAt;
  result->text = copies[0];
  result->from_version = copies[1];
  result->to_version = copies[2];
  return result;
}

// Runs work on the request, catching everything at this boundary. Returns 0
// when work gives no reason, else -1 with the reason in error.
template <typename Work>
int answer(const vexo_update_request* request, char* error, std::size_t errorSize,
           const Work& work) {
  static const char kBadRequest[] =
      "The application asked for the update in a way the updater cannot carry out.";
  std::string message;
  try {
    message =
        request == nullptr ? std::string(kBadRequest) + " (no request)" : work(requestOf(*request));
  } catch (const std::exception& e) {
    message = std::string(kBadRequest) + " (" + e.what() + ")";
  } catch (...) {
    message = "unexpected failure";
  }
  if (message.empty()) return 0;
  copyError(message, error, errorSize);
  return -1;
}

// The outcome that read gives, or none with the reason; NULL only when
// memory runs out.
template <typename Read>
vexo_outcome* outcomeAnswer(const Read& read) {
  try {
    Outcome outcome;
    try {
      outcome = read();
    } catch (const std::exception& e) {
      outcome.text = std::string("no marker for this request: ") + e.what();
    }
    return outcomeBlock(outcome);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

extern "C" int vexo_start_update(const vexo_update_request* request, char* error,
                                 size_t error_size) {
  return answer(request, error, error_size,
                [](const UpdateRequest& copy) { return startUpdate(copy); });
}

extern "C" int vexo_check_update(const vexo_update_request* request, char* error,
                                 size_t error_size) {
  return answer(request, error, error_size, [](UpdateRequest copy) { return checkUpdate(&copy); });
}

extern "C" int vexo_verify_installation(const vexo_update_request* request, char* error,
                                        size_t error_size) {
  bool keyed = false;
  const int verified = answer(request, error, error_size, [&](const UpdateRequest& copy) {
    if (copy.installDir.empty()) throw std::invalid_argument("install_dir is missing");
    const std::filesystem::path installDir = absolutePath(copy.installDir);
    keyed = installationHasReleaseKey(installDir);
    const std::string fault = keyed ? verifyInstalledRelease(installDir) : "";
    return fault.empty() ? fault
                         : "The installed application is not exactly the release its publisher "
                           "signed; installing it again puts that right. (" +
                               fault + ")";
  });
  return verified == 0 && !keyed ? 1 : verified;
}

extern "C" vexo_outcome* vexo_read_outcome(const char* marker_path, const char* idempotency_key) {
  return outcomeAnswer(
      [&] { return readOutcome(toFsPath(textOf(marker_path)), textOf(idempotency_key)); });
}

extern "C" vexo_outcome* vexo_read_update_outcome(const vexo_update_request* request) {
  return outcomeAnswer([&] {
    if (request != nullptr) return readUpdateOutcome(requestOf(*request));
    Outcome none;
    none.text = "no marker for this request: no request";
    return none;
  });
}

extern "C" void vexo_free_outcome(vexo_outcome* outcome) { std::free(outcome); }

extern "C" const char* vexo_host_version(void) { return VEXO_VERSION_TEXT; }
