#include "treeops/update_journal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>

#include "treeops/treeops.h"
#include "treeops/treeops_os.h"
#include "treeops/walks.h"

namespace fs = std::filesystem;

namespace {

// The journal, line by line:
//   vexo-updater update journal
//   idempotencyKey: <key>
//   installDir: <path>
//   stagingDir: <path>                (both made absolute)
//   temporary names: <suffix>         of the copies a move across file
//                                     systems makes beside its target
//   listed files:
//   <size> <time> <identity> <replaced> <relative path>
//                                     of each file the update moves, in
//                                     order: its size, time and identity
//                                     ("<volume>:<index>") as it lay in
//                                     staging, and the identity of the file
//                                     it replaces ("-" for none); the path
//                                     in UTF-8 on Windows
//   <an empty line, which ends the list>
//   state: moving staged files in
//   state: rolling back               (added when the undo begins)
// Values are escaped so that each stays on its line. The file is only ever
// appended to after its first write, so a cut-short write loses at most the
// line being added: a list without its end or without the first state line
// means that no file has moved yet. Journals of earlier versions are read
// too: "stamped files:" lists "<size> <time> <path>" (no identity, paths in
// the ANSI code page), and "files:" bare paths.
const char kSignature[] = "vexo-updater update journal";
const char kKeyField[] = "idempotencyKey: ";
const char kInstallField[] = "installDir: ";
const char kStagingField[] = "stagingDir: ";
const char kSuffixField[] = "temporary names: ";
const char kFilesField[] = "files:";
const char kStampedFilesField[] = "stamped files:";
const char kListedFilesField[] = "listed files:";
const char kMovingIn[] = "state: moving staged files in";
const char kRollingBack[] = "state: rolling back";

// How much a journal records of each file.
enum class Listing { kBare, kStamped, kIdentified };

// '%', CR and LF as %25, %0D and %0A.
std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '%') {
      out += "%25";
    } else if (c == '\n') {
      out += "%0A";
    } else if (c == '\r') {
      out += "%0D";
    } else {
      out += c;
    }
  }
  return out;
}

std::string unescaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "%25") == 0) {
      out += '%';
      i += 2;
    } else if (text.compare(i, 3, "%0A") == 0) {
      out += '\n';
      i += 2;
    } else if (text.compare(i, 3, "%0D") == 0) {
      out += '\r';
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// One whole line; false at the end of the file or before a line whose end
// is missing (a write cut short).
bool readLine(std::istream& in, std::string* line) {
  if (!std::getline(in, *line)) return false;
  return !in.eof();
}

bool takeField(std::istream& in, const char* name, std::string* value) {
  std::string line;
  if (!readLine(in, &line) || line.compare(0, std::char_traits<char>::length(name), name) != 0) {
    return false;
  }
  *value = unescaped(line.substr(std::char_traits<char>::length(name)));
  return true;
}

// What a journal file holds, and where its list begins.
struct JournalText {
  UpdateJournal journal;
  std::streamoff listStart = 0;
  Listing listing = Listing::kBare;
  std::string suffix;  // empty in a journal of an earlier version
};

// Reads through the journal once. A file that begins as a journal but ends
// before its first state line was cut short while it was first written; one
// whose lines are not a journal's is kUnreadable.
JournalText parseJournal(const fs::path& path) {
  JournalText text;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    text.journal.state = JournalState::kUnreadable;
    return text;
  }
  std::string line;
  std::string key;
  const auto cutShortOrUnreadable = [&](bool atEnd) {
    text.journal.state = atEnd ? JournalState::kNone : JournalState::kUnreadable;
    return text;
  };
  if (!readLine(in, &line)) {
    // Empty, or a first line still being written.
    return cutShortOrUnreadable(std::string(kSignature).compare(0, line.size(), line) == 0);
  }
  if (line != kSignature) return cutShortOrUnreadable(false);
  for (const auto& [name, value] : {std::pair<const char*, std::string*>{kKeyField, &key},
                                    {kInstallField, &text.journal.installDir},
                                    {kStagingField, &text.journal.stagingDir}}) {
    if (!takeField(in, name, value)) return cutShortOrUnreadable(in.eof());
  }
  if (!readLine(in, &line)) return cutShortOrUnreadable(true);
  if (line.rfind(kSuffixField, 0) == 0) {
    text.suffix = line.substr(std::char_traits<char>::length(kSuffixField));
    if (!readLine(in, &line)) return cutShortOrUnreadable(true);
  }
  if (line == kListedFilesField && !text.suffix.empty()) {
    text.listing = Listing::kIdentified;
  } else if (line == kStampedFilesField) {
    text.listing = Listing::kStamped;
  } else if (line != kFilesField) {
    return cutShortOrUnreadable(false);
  }
  text.listStart = in.tellg();
  do {
    if (!readLine(in, &line)) return cutShortOrUnreadable(true);
  } while (!line.empty());
  if (!readLine(in, &line)) return cutShortOrUnreadable(true);
  if (line != kMovingIn) return cutShortOrUnreadable(false);
  text.journal.state = JournalState::kMovingIn;
  // A later state line whose write was cut short does not count: nothing of
  // the undo had begun before it was complete.
  while (readLine(in, &line)) {
    if (line == kRollingBack) text.journal.state = JournalState::kRollingBack;
  }
  return text;
}

// A file of the journal's list.
struct ListedFile {
  fs::path relative;
  Listing listing = Listing::kBare;
  FileStamp stamp;       // its size and time unless kBare
  std::string identity;  // if kIdentified: its own, and that of the file it replaces
  std::string replaced;
};

std::string identityOf(const FileStamp& stamp) { return stamp.volume + ":" + stamp.index; }

// Splits "<first> <rest>" at its first blank; false without one.
bool takeWord(std::string* line, std::string* word) {
  const std::size_t blank = line->find(' ');
  if (blank == std::string::npos) return false;
  *word = line->substr(0, blank);
  line->erase(0, blank + 1);
  return true;
}

// Calls each(file) for the files the journal lists, in order, until it
// returns false.
template <typename Each>
void forEachListedFile(const fs::path& journal, const JournalText& text, const Each& each) {
  std::ifstream in(journal, std::ios::binary);
  in.seekg(text.listStart);
  const auto unreadable = [&]() {
    return fs::filesystem_error("read", journal, std::make_error_code(std::errc::io_error));
  };
  std::string line;
  while (readLine(in, &line) && !line.empty()) {
    ListedFile file;
    file.listing = text.listing;
    std::string size;
    std::string time;
    if (text.listing != Listing::kBare) {
      if (!takeWord(&line, &size) || !takeWord(&line, &time)) throw unreadable();
      file.stamp.size = std::strtoull(size.c_str(), nullptr, 10);
      file.stamp.time = std::strtoll(time.c_str(), nullptr, 10);
    }
    if (text.listing == Listing::kIdentified) {
      if (!takeWord(&line, &file.identity) || !takeWord(&line, &file.replaced)) {
        throw unreadable();
      }
      file.relative = fromJournalText(unescaped(line));
    } else {
      file.relative = toFsPath(unescaped(line));
    }
    if (!each(file)) return;
  }
  if (!in) throw unreadable();
}

// Whether two modification times are one. A file copied to a file system
// that keeps coarser times (FAT: 2 s; ext4 with small inodes, HFS+: 1 s;
// exFAT: 10 ms) keeps its time cut short or rounded to that unit, which the
// time read back shows as a whole number of units.
bool sameTime(std::int64_t listed, std::int64_t now) {
  if (listed == now) return true;
  for (const std::int64_t unit :
       {2 * kStampTicksPerSecond, kStampTicksPerSecond, kStampTicksPerSecond / 100}) {
    if (now % unit == 0) return listed - now < unit && now - listed < unit;
  }
  return false;
}

// Whether the entry at path is the listed file, by its size and time.
bool stampedAsListed(const fs::path& path, const ListedFile& file) {
  FileStamp now;
  return readStamp(path, &now) &&
         (file.listing == Listing::kBare ||
          (now.size == file.stamp.size && sameTime(file.stamp.time, now.time)));
}

// Whether the installation holds the listed file, moved in: of its size and
// time, and either the staged file itself (a rename keeps its identity) or a
// copy of it, which is not the file that was there before. A journal without
// identities can tell by size and time only; one without stamps only by the
// file having left staging.
bool installedAsListed(const fs::path& installed, const fs::path& staged, const ListedFile& file) {
  if (file.listing == Listing::kBare) return !entryExists(staged) && entryExists(installed);
  FileStamp now;
  if (!readStamp(installed, &now) || now.size != file.stamp.size ||
      !sameTime(file.stamp.time, now.time)) {
    return false;
  }
  return file.listing == Listing::kStamped || identityOf(now) == file.identity ||
         identityOf(now) != file.replaced;
}

// Whether name is a temporary copy of this update's (its suffix is ours).
bool isOwnTemporary(const fs::path& name, const std::string& suffix) {
  const std::string text = toNarrowText(name.filename());
  return !suffix.empty() && text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The directory as a path that means the same from any working directory.
// An empty one (none given) stays empty.
std::string absoluteDirectory(const std::string& directory) {
  return directory.empty() ? directory : toNarrow(fs::absolute(toFsPath(directory)));
}

// Appends lines to the journal and makes them durable.
void appendToJournal(const fs::path& journal, const std::string& lines, std::ios::openmode mode) {
  std::ofstream out(journal, std::ios::binary | mode);
  out << lines;
  out.close();
  if (!out) {
    throw fs::filesystem_error("write", journal, std::error_code(errno, std::generic_category()));
  }
  syncFile(journal);
}

// Why the journal's update cannot go on from stagingDir: a listed file is
// staged otherwise than listed (staged again after the run stopped), or a
// staged file is not listed at all (but a copy of this update's own). Finishing
// would install a mix of two versions, and undoing would give files back
// over the new ones. Empty when staging is what the journal listed, less
// what was moved.
std::string stagingFault(const fs::path& journal, const JournalText& text,
                         const std::string& stagingDir) {
  const fs::path staging = toFsPath(stagingDir);
  std::set<fs::path> listed;
  std::string change;
  forEachListedFile(journal, text, [&](const ListedFile& file) {
    listed.insert(file.relative);
    const fs::path staged = staging / file.relative;
    if (entryExists(staged) && !stampedAsListed(staged, file)) {
      change = toNarrowText(file.relative) + " changed";
    }
    return change.empty();
  });
  if (change.empty() && directoryExists(staging)) {
    listFilesToMove(staging, [&](const fs::path& relative) {
      if (change.empty() && listed.count(relative) == 0 && !isOwnTemporary(relative, text.suffix)) {
        change = toNarrowText(relative) + " is new";
      }
    });
  }
  if (change.empty()) return "";
  return "staging directory " + stagingDir + " is not what the interrupted update in " +
         toNarrowText(journal) + " staged (" + change +
         "); stage that update again unchanged to finish it";
}

}  // namespace

fs::path journalPathOf(const std::string& backupDir) {
  fs::path path = canonicalForm(toFsPath(backupDir));
  while (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  path += ".pending";
  return path;
}

UpdateJournal readUpdateJournal(const std::string& backupDir) {
  try {
    if (backupDir.empty()) return UpdateJournal{};
    const fs::path journal = journalPathOf(backupDir);
    // A journal whose backup has gone vouches for nothing. Only the system's
    // "not there" counts as gone: a backup that cannot be looked at may be
    // the only copy of the old version.
    if (!directoryExists(toFsPath(backupDir)) || !entryExists(journal)) return UpdateJournal{};
    UpdateJournal read = parseJournal(journal).journal;
    if (read.state == JournalState::kUnreadable) {
      read.fault = "cannot record the update in progress: " + toNarrowText(journal) +
                   " exists and is not an update journal this updater can resume";
    }
    return read;
  } catch (const std::exception& e) {
    UpdateJournal unreadable;
    unreadable.state = JournalState::kUnreadable;
    unreadable.fault =
        "cannot read the update journal beside backup directory " + backupDir + ": " + e.what();
    return unreadable;
  }
}

JournalDecision decideOnJournal(const std::string& backupDir, const std::string& installDir,
                                const std::string& stagingDir) {
  JournalDecision decision;
  const UpdateJournal journal = readUpdateJournal(backupDir);
  if (journal.state == JournalState::kNone) return decision;
  decision.action = JournalAction::kRefuse;
  decision.mixed = true;
  if (journal.state == JournalState::kUnreadable) {
    decision.fault = JournalFault::kUnreadable;
    decision.reason = journal.fault;
    return decision;
  }
  try {
    const std::string& install = installDir;
    const std::string& staging = stagingDir;
    const fs::path path = journalPathOf(backupDir);
    if (install.empty() || staging.empty() ||
        !sameDirectory(toFsPath(journal.installDir), toFsPath(install)) ||
        !sameDirectory(toFsPath(journal.stagingDir), toFsPath(staging))) {
      decision.fault = JournalFault::kOtherUpdate;
      decision.reason =
          "the interrupted update in " + toNarrowText(path) + " is of installation directory " +
          journal.installDir + " from staging directory " + journal.stagingDir +
          ", not of installation directory " + installDir + " from staging directory " + stagingDir;
      return decision;
    }
    // What the installation holds of the list, and of the old version.
    const JournalText text = parseJournal(path);
    const fs::path installRoot = toFsPath(install);
    const fs::path stagingRoot = toFsPath(staging);
    const fs::path backupRoot = toFsPath(backupDir);
    std::size_t listed = 0;
    std::size_t installed = 0;
    bool oldVersionMissing = false;
    forEachListedFile(path, text, [&](const ListedFile& file) {
      ++listed;
      const fs::path place = installRoot / file.relative;
      if (installedAsListed(place, stagingRoot / file.relative, file)) {
        ++installed;
      } else if (journal.state == JournalState::kRollingBack && !entryExists(place) &&
                 entryExists(backupRoot / file.relative)) {
        oldVersionMissing = true;
      }
      return true;
    });
    const bool moving = journal.state == JournalState::kMovingIn;
    decision.mixed =
        moving ? installed != 0 && installed != listed : installed != 0 || oldVersionMissing;
    // The work left needs the staging directory as listed: the files still
    // to move in, or the place of each file still to give back. An undo with
    // nothing left to give back needs only the backup.
    const std::string fault =
        moving || installed != 0 ? stagingFault(path, text, staging) : std::string();
    if (moving && installed == listed) {
      // Every file is in: the update is over. Run again as it was, it ends
      // as it would have (the backup keeps the old version); a staging
      // directory that holds another version since is a new update.
      decision.action = fault.empty() ? JournalAction::kResume : JournalAction::kEnd;
      return decision;
    }
    if (!fault.empty()) {
      decision.fault = JournalFault::kStagingChanged;
      decision.reason = fault;
      return decision;
    }
    decision.action = moving ? JournalAction::kResume : JournalAction::kUndo;
  } catch (const std::exception& e) {
    decision.fault = JournalFault::kUnreadable;
    decision.reason = std::string("cannot tell what the interrupted update moved: ") + e.what();
  }
  return decision;
}

bool isUpdateJournal(const std::string& backupDir, const std::string& path) {
  try {
    if (backupDir.empty() || path.empty()) return false;
    return samePlace(journalPathOf(backupDir), toFsPath(path));
  } catch (const std::exception&) {
    return false;
  }
}

std::string beginUpdateJournal(const std::string& backupDir, const std::string& installDir,
                               const std::string& stagingDir, const std::string& idempotencyKey) {
  try {
    const fs::path journal = journalPathOf(backupDir);
    // Never write over a file of someone else's. A journal of ours is either
    // cut short in its first write (nothing moved after it), one whose
    // backup has gone, which vouches for nothing, or one ended as over.
    if (entryExists(journal) && !fs::is_directory(journal) &&
        parseJournal(journal).journal.state == JournalState::kUnreadable) {
      return toNarrowText(journal) + " exists and is not an update journal";
    }
    appendToJournal(journal,
                    std::string(kSignature) + "\n" + kKeyField + escaped(idempotencyKey) + "\n" +
                        kInstallField + escaped(absoluteDirectory(installDir)) + "\n" +
                        kStagingField + escaped(absoluteDirectory(stagingDir)) + "\n" +
                        kSuffixField + randomTemporarySuffix() + "\n" + kListedFilesField + "\n",
                    std::ios::trunc);
    return "";
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::string moveStagedFilesIn(const std::string& backupDir, const std::string& installDir,
                              const std::string& stagingDir, bool resuming) {
  MoveTarget target;
  std::string failure;
  try {
    const fs::path staging = toFsPath(stagingDir);
    const fs::path journal = journalPathOf(backupDir);
    target.root = toFsPath(installDir);
    // A staging directory that cannot be listed is the first thing to report.
    fs::directory_iterator{staging};
    const std::string fault = swapRootsFault(stagingDir, installDir);
    if (!fault.empty()) throw std::runtime_error(fault);
    if (!resuming) {
      // Every file is listed, durably, before the first moves: a run that is
      // stopped can then be finished or undone whatever it had moved.
      std::ofstream list(journal, std::ios::binary | std::ios::app);
      listFilesToMove(staging, [&](const fs::path& relative) {
        FileStamp stamp;
        if (!readStamp(staging / relative, &stamp)) {
          throw fs::filesystem_error("status", staging / relative,
                                     std::make_error_code(std::errc::no_such_file_or_directory));
        }
        FileStamp replaced;
        list << stamp.size << ' ' << stamp.time << ' ' << identityOf(stamp) << ' '
             << (readStamp(target.root / relative, &replaced) ? identityOf(replaced) : "-") << ' '
             << escaped(toJournalText(relative)) << '\n';
      });
      list.close();
      if (!list) {
        throw fs::filesystem_error("write", journal,
                                   std::error_code(errno, std::generic_category()));
      }
      appendToJournal(journal, std::string("\n") + kMovingIn + "\n", std::ios::app);
    }
    const JournalText text = parseJournal(journal);
    if (text.journal.state != JournalState::kMovingIn) {
      throw fs::filesystem_error("read", journal, std::make_error_code(std::errc::io_error));
    }
    if (!text.suffix.empty()) target.temporarySuffix = text.suffix;
    forEachListedFile(journal, text, [&](const ListedFile& file) {
      const fs::path from = staging / file.relative;
      // The run that was stopped moved it already. A listed file that is in
      // neither place is not: its move fails, and the update is undone.
      if (resuming && installedAsListed(target.root / file.relative, from, file)) return true;
      const std::uint32_t code = moveInto(&target, from, file.relative);
      if (code != 0) failure = moveFailureText(from, code);
      return code == 0;
    });
  } catch (const std::exception& e) {
    failure = std::string("swap exception: ") + e.what();
  }
  flushMoves(target);
  return failure;
}

std::string rollBackUpdate(const std::string& backupDir, const std::string& installDir,
                           const std::string& stagingDir,
                           void (*passedOver)(const std::string& file)) {
  MoveTarget toStaging;
  MoveTarget toInstallation;
  std::string failure;
  std::string suffix = randomTemporarySuffix();
  try {
    const fs::path journal = journalPathOf(backupDir);
    const fs::path backup = toFsPath(backupDir);
    toStaging.root = toFsPath(stagingDir);
    toInstallation.root = toFsPath(installDir);
    const JournalText text = parseJournal(journal);
    if (!text.suffix.empty()) suffix = text.suffix;
    toStaging.temporarySuffix = suffix;
    toInstallation.temporarySuffix = suffix;
    // A journal cut short before its list was complete: nothing moved in.
    if (text.journal.state == JournalState::kMovingIn) {
      // From here the backup's files move out: a run stopped now must finish
      // the undo rather than the update. Unless the journal says so, nothing
      // may move: a later run would take up the update again over files
      // already given back, and their old versions would be lost.
      try {
        appendToJournal(journal, std::string(kRollingBack) + "\n", std::ios::app);
      } catch (const std::exception& e) {
        return std::string("cannot record the undo: ") + e.what();
      }
    }
    if (text.journal.state == JournalState::kMovingIn ||
        text.journal.state == JournalState::kRollingBack) {
      forEachListedFile(journal, text, [&](const ListedFile& file) {
        const fs::path& relative = file.relative;
        const fs::path staged = toStaging.root / relative;
        const fs::path installed = toInstallation.root / relative;
        const fs::path old = backup / relative;
        std::uint32_t code = 0;
        if (installedAsListed(installed, staged, file)) {
          // The staged file goes back first, so that the old version cannot
          // overwrite it; its place is empty only until the old one is in.
          // Staging may have its copy already, where a move across file
          // systems was stopped between its two halves.
          if (!entryExists(staged)) code = moveInto(&toStaging, installed, relative);
          if (code == 0 && entryExists(old)) {
            code = moveInto(&toInstallation, old, relative);
            if (code != 0) moveInto(&toInstallation, staged, relative);
          } else if (code == 0 && entryExists(installed)) {
            // New in this version, and in staging as well: the copy goes.
            std::error_code ignored;
            fs::remove(installed, ignored);
          }
        } else if (entryExists(staged)) {
          // Never moved in, or given back already. A stopped undo may have
          // left its place empty between the two moves: fill it.
          if (!entryExists(installed) && entryExists(old)) {
            code = moveInto(&toInstallation, old, relative);
          }
        } else if (passedOver != nullptr) {
          // Gone from staging before it moved (quarantined, or cleaned up):
          // the installation holds its old version or nothing, which the
          // rest of the backup puts right.
          passedOver(toNarrowText(relative));
        }
        if (code != 0) failure = moveFailureText(relative, code);
        return code == 0;
      });
    }
  } catch (const std::exception& e) {
    failure = std::string("swap exception: ") + e.what();
  }
  flushMoves(toStaging);
  flushMoves(toInstallation);
  if (!failure.empty()) return failure;
  // What the update never touched is identical in both places; moving it
  // back leaves the backup as bare directories. The backup holds copies of
  // what the installation's links lead to; those the update did not move
  // stay in the backup: moving them back would go through a link into what
  // it leads to, or put a copy in a link's place, and the update changed
  // neither.
  return swapTreeBesideLinks(backupDir, installDir, suffix);
}

void endUpdateJournal(const std::string& backupDir) {
  try {
    const fs::path journal = journalPathOf(backupDir);
    std::error_code error;
    fs::remove(journal, error);
    // A journal left behind would have the next run with these directories
    // take up an update that is over. Where it cannot go (another process
    // holds it open), emptied it reads as no journal at all.
    if (error) {
      std::ofstream(journal, std::ios::binary | std::ios::trunc).close();
      syncFile(journal);
    }
    flushDirectories({journal.parent_path().empty() ? fs::path(".") : journal.parent_path()});
  } catch (const std::exception&) {
  }
}
