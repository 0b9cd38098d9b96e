/* vexo_host: what an application does to be updated by vexo-updater.
 *
 * Plain C, for C and C++ hosts and for hosts in other languages through their
 * foreign-function interfaces (C# P/Invoke, Rust, Python ctypes, Node). Every
 * string is a NUL-terminated byte string: on Windows in the system's ANSI code
 * page, which is how the updater reads its command line; elsewhere bytes,
 * normally UTF-8. No function keeps a pointer it was given, and none throws.
 *
 * At the update: stage the new version's files, call vexo_start_update, and
 * exit at once. The updater waits for the host's process to end, then updates
 * the installation. At the next start (after a success the updater starts the
 * application again with --post-update-check): vexo_read_outcome with the same
 * idempotency key. */
#ifndef VEXO_HOST_H_
#define VEXO_HOST_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One update to start. A NULL optional member takes the default shown. */
typedef struct vexo_update_request {
  const char* install_dir;     /* the installation to update; required */
  const char* staging_dir;     /* the new version's files, at their relative paths; required */
  const char* data_dir;        /* the host's own folder outside the installation; required */
  const char* idempotency_key; /* unique per request, to recognise its outcome; required */
  const char* from_version;    /* the version installed now (NULL: empty) */
  const char* to_version;      /* the version staged (NULL: empty) */
  const char* updater_path;    /* NULL: <install_dir>/vexo-updater[.exe] */
  const char* run_dir;         /* where the updater is copied and run; NULL: data_dir */
  const char* backup_dir;      /* NULL: <data_dir>/backup */
  const char* log_path;        /* NULL: <data_dir>/updater.log */
  const char* marker_path;     /* NULL: <data_dir>/applied-marker.json */
  uint32_t process_id;         /* the process the updater waits for; 0: the caller's */
} vexo_update_request;

/* Makes the checks of vexo_check_update, then copies the updater into
 * run_dir (an earlier copy there is replaced) and starts the copy there with
 * the request's nine options, detached: no handle, no standard stream and no
 * console of the caller's, the run directory as its working directory.
 * Returns at once, without waiting for it. Relative paths are read against
 * the caller's working directory. The run directory, the log and the marker
 * must lie outside the installation, the staging directory and the backup
 * directory: the updater replaces the installation's files, its own among
 * them, and Windows cannot replace a running program.
 * Returns 0 when the updater was started. Otherwise returns -1 and, when
 * error is not NULL, writes why into error as vexo_check_update does (one
 * sentence for the user, the detail in parentheses at its end; at most
 * error_size bytes, always NUL-terminated, cut short if needed); nothing
 * was started. */
int vexo_start_update(const vexo_update_request* request, char* error, size_t error_size);

/* Answers, without changing anything, whether this update can go through
 * now: the checks vexo_start_update makes before it starts anything. No run
 * of the updater holds the installation or the backup directory; no folder
 * of the request is kept online or offline by a storage service; the
 * updater can be read; the staging directory exists, can be read and holds
 * a file, and, where the installation has a release key, exactly the files
 * of the release signed with it; the installation can be read, and written to (a file that the
 * system deletes when it is closed is created in it and in each of its
 * folders that receives a file); no path the update or its backup makes is
 * longer than this machine allows; the backup's folder can be written to,
 * and its volume has room for a copy of the installation.
 * Returns 0 when the update can go through. Otherwise returns -1 and, when
 * error is not NULL, writes one sentence for the user into error: what is
 * wrong and what to do, with the technical detail in parentheses at its end
 * (at most error_size bytes, always NUL-terminated, cut short if needed). */
int vexo_check_update(const vexo_update_request* request, char* error, size_t error_size);

/* Proves after an update that the installation (only install_dir is read)
 * holds every file its signed manifest vexo-release.manifest lists, with the
 * listed size and SHA-256, the signature checked with its key
 * vexo-release.pub; unlisted files (of earlier versions) are no concern.
 * Returns 0 when it does; 1 when it has no release key (installed unsigned:
 * nothing to prove); -1 when it does not or cannot be checked, with one
 * sentence in error as vexo_check_update writes it, the first difference in
 * parentheses. */
int vexo_verify_installation(const vexo_update_request* request, char* error, size_t error_size);

/* What the marker says about one request. */
enum {
  VEXO_NO_OUTCOME = 0, /* no marker for this request: missing, empty, cut short, not the
                          updater's, or another request's; text says which */
  VEXO_SUCCESS = 1,    /* the new version is installed */
  VEXO_ROLLBACK = 2,   /* the update failed and the old version was put back; text says why */
  VEXO_ERROR = 3       /* nothing was updated, or the rollback failed too (installation_mixed) */
};

typedef struct vexo_outcome {
  int result;               /* VEXO_NO_OUTCOME, VEXO_SUCCESS, VEXO_ROLLBACK or VEXO_ERROR */
  int installation_mixed;   /* 1 when the rollback failed, or (vexo_read_update_outcome) an
                               interrupted update's journal is in force: the installation may
                               hold a mix of both versions; run the updater again with the same
                               directories once the obstacle is gone */
  int64_t applied_at;       /* when the marker was written, seconds since 1970 UTC; 0 if none */
  const char* text;         /* the marker's errorMessage (empty for a success), or why there
                               is no outcome; never NULL */
  const char* from_version; /* as the marker has them; empty for VEXO_NO_OUTCOME */
  const char* to_version;
} vexo_outcome;

/* Reads the marker at marker_path and returns the outcome of the request with
 * this idempotency key. The marker must be exactly one the updater writes
 * (bytes from 0x80 up are kept as they are). Never fails for a missing,
 * empty, truncated or foreign marker: that is VEXO_NO_OUTCOME with its
 * reason. Returns NULL only when memory runs out. Release the result with
 * vexo_free_outcome. */
vexo_outcome* vexo_read_outcome(const char* marker_path, const char* idempotency_key);

/* Reads the outcome of the request as vexo_read_outcome does, from its
 * marker_path (or the default in data_dir) with its idempotency_key, and
 * also looks beside its backup_dir (or the default): an update that the
 * updater refused because an earlier one was interrupted (VEXO_ERROR with
 * "backup failed"; the journal <backup_dir>.pending lies beside the backup)
 * has installation_mixed 1, as that earlier update has not finished and the
 * installation may hold both versions. vexo_read_outcome knows the marker
 * only and cannot tell; prefer this function. Only the request's paths and
 * key are read. A request without a key, or without data_dir where a
 * default is needed, is VEXO_NO_OUTCOME with the reason. Returns NULL only
 * when memory runs out. Release the result with vexo_free_outcome. */
vexo_outcome* vexo_read_update_outcome(const vexo_update_request* request);

/* Releases what vexo_read_outcome or vexo_read_update_outcome returned;
 * NULL is allowed. */
void vexo_free_outcome(vexo_outcome* outcome);

/* The library's version, e.g. "1.0.0": the updater's release it comes with. */
const char* vexo_host_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VEXO_HOST_H_ */
