#include "treeops/update_journal.h"

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <set>
#include <string>

#include "os/error.h"
#include "os/files.h"
#include "os/paths.h"
#include "treeops/places.h"
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

// A journal read a line at a time, in pieces: its list may hold a hundred
// thousand files.
class JournalLines {
 public:
  explicit JournalLines(const fs::path& path) : file_(path) {}

  // The next whole line, without its end; false at the end of the file or
  // before a line whose end is missing (a write cut short), which is then in
  // *line.
  bool next(std::string* line) {
    for (;;) {
      const std::size_t end = buffer_.find('\n', at_);
      if (end != std::string::npos) {
        line->assign(buffer_, at_, end - at_);
        at_ = end + 1;
        return true;
      }
      buffer_.erase(0, at_);
      at_ = 0;
      char piece[1 << 16];
      const std::size_t got = file_.read(piece, sizeof piece);
      if (got == 0) {
        *line = buffer_;
        return false;
      }
      buffer_.append(piece, got);
    }
  }

 private:
  InputFile file_;
  std::string buffer_;
  std::size_t at_ = 0;
};

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

// A listed file from its line.
ListedFile listedFileOf(std::string line, Listing listing, const fs::path& journal) {
  ListedFile file;
  file.listing = listing;
  std::string size;
  std::string time;
  const bool stamped =
      listing == Listing::kBare || (takeWord(&line, &size) && takeWord(&line, &time));
  const bool identified = listing != Listing::kIdentified ||
                          (takeWord(&line, &file.identity) && takeWord(&line, &file.replaced));
  if (!stamped || !identified)
    throw SystemError("read", toNarrowText(journal), kErrorInvalidParameter);
  file.stamp.size = std::strtoull(size.c_str(), nullptr, 10);
  file.stamp.time = std::strtoll(time.c_str(), nullptr, 10);
  file.relative = listing == Listing::kIdentified ? fromJournalText(unescaped(line))
                                                  : toFsPath(unescaped(line));
  return file;
}

// What a journal file holds.
struct JournalText {
  UpdateJournal journal;
  Listing listing = Listing::kBare;
  std::string suffix;  // empty in a journal of an earlier version
};

// Reads the journal through, calling each(file) for the files it lists, in
// order, until it returns false. A file that begins as a journal but ends
// before its first state line was cut short while it was first written; one
// whose lines are not a journal's is kUnreadable.
JournalText readJournal(const fs::path& path,
                        const std::function<bool(const ListedFile&)>& each = nullptr) {
  JournalText text;
  JournalLines lines(path);
  std::string line;
  const auto cutShortOrUnreadable = [&](bool cutShort) {
    text.journal.state = cutShort ? JournalState::kNone : JournalState::kUnreadable;
    return text;
  };
  if (!lines.next(&line)) {
    // Empty, or a first line still being written.
    return cutShortOrUnreadable(std::string(kSignature).compare(0, line.size(), line) == 0);
  }
  if (line != kSignature) return cutShortOrUnreadable(false);
  std::string key;
  std::string installDir;
  std::string stagingDir;
  for (const auto& [name, value] : {std::pair<const char*, std::string*>{kKeyField, &key},
                                    {kInstallField, &installDir},
                                    {kStagingField, &stagingDir}}) {
    const std::size_t length = std::char_traits<char>::length(name);
    if (!lines.next(&line)) return cutShortOrUnreadable(true);
    if (line.compare(0, length, name) != 0) return cutShortOrUnreadable(false);
    *value = unescaped(line.substr(length));
  }
  text.journal.installDir = toFsPath(installDir);
  text.journal.stagingDir = toFsPath(stagingDir);
  if (!lines.next(&line)) return cutShortOrUnreadable(true);
  if (line.rfind(kSuffixField, 0) == 0) {
    text.suffix = line.substr(std::char_traits<char>::length(kSuffixField));
    if (!lines.next(&line)) return cutShortOrUnreadable(true);
  }
  if (line == kListedFilesField && !text.suffix.empty()) {
    text.listing = Listing::kIdentified;
  } else if (line == kStampedFilesField) {
    text.listing = Listing::kStamped;
  } else if (line != kFilesField) {
    return cutShortOrUnreadable(false);
  }
  bool listing = true;
  for (;;) {
    if (!lines.next(&line)) return cutShortOrUnreadable(true);
    if (line.empty()) break;
    if (listing && each) listing = each(listedFileOf(line, text.listing, path));
    if (!listing) return text;
  }
  if (!lines.next(&line)) return cutShortOrUnreadable(true);
  if (line != kMovingIn) return cutShortOrUnreadable(false);
  text.journal.state = JournalState::kMovingIn;
  // A later state line whose write was cut short does not count: nothing of
  // the undo had begun before it was complete.
  while (lines.next(&line)) {
    if (line == kRollingBack) text.journal.state = JournalState::kRollingBack;
  }
  return text;
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

// Adds lines to the journal and makes them durable.
void writeToJournal(const fs::path& journal, const std::string& lines, WriteMode mode) {
  OutputFile out(journal, mode);
  out.write(lines);
  out.close();
  syncFile(journal);
}

// Why the journal's update cannot go on from stagingDir: a listed file is
// staged otherwise than listed (staged again after the run stopped), or a
// staged file is not listed at all (but a copy of this update's own).
// Finishing would install a mix of two versions, and undoing would give
// files back over the new ones. Empty when staging is what the journal
// listed, less what was moved.
std::string stagingFault(const fs::path& journal, const std::string& suffix,
                         const fs::path& staging) {
  std::set<fs::path> listed;
  std::string change;
  readJournal(journal, [&](const ListedFile& file) {
    listed.insert(file.relative);
    const fs::path staged = staging / file.relative;
    if (entryExists(staged) && !stampedAsListed(staged, file)) {
      change = toNarrowText(file.relative) + " changed";
    }
    return change.empty();
  });
  if (change.empty() && directoryExists(staging)) {
    listFilesToMove(staging, [&](const fs::path& relative) {
      if (change.empty() && listed.count(relative) == 0 && !isOwnTemporary(relative, suffix)) {
        change = toNarrowText(relative) + " is new";
      }
    });
  }
  if (change.empty()) return "";
  return "staging directory " + toNarrowText(staging) + " is not what the interrupted update in " +
         toNarrowText(journal) + " staged (" + change +
         "); stage that update again unchanged to finish it";
}

}  // namespace

fs::path journalPathOf(const fs::path& backupDir) {
  fs::path path = canonicalPath(backupDir);
  path += ".pending";
  return path;
}

UpdateJournal readUpdateJournal(const fs::path& backupDir) {
  try {
    if (backupDir.empty()) return UpdateJournal{};
    const fs::path journal = journalPathOf(backupDir);
    // A journal whose backup has gone vouches for nothing. Only the system's
    // "not there" counts as gone: a backup that cannot be looked at may be
    // the only copy of the old version.
    if (!directoryExists(backupDir) || !entryExists(journal)) return UpdateJournal{};
    UpdateJournal read = readJournal(journal).journal;
    if (read.state == JournalState::kUnreadable) {
      read.fault = "cannot record the update in progress: " + toNarrowText(journal) +
                   " exists and is not an update journal this updater can resume";
    }
    return read;
  } catch (const std::exception& e) {
    UpdateJournal unreadable;
    unreadable.state = JournalState::kUnreadable;
    unreadable.fault = "cannot read the update journal beside backup directory " +
                       toNarrowText(backupDir) + ": " + e.what();
    return unreadable;
  }
}

JournalDecision decideOnJournal(const fs::path& backupDir, const fs::path& installDir,
                                const fs::path& stagingDir) {
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
    const fs::path path = journalPathOf(backupDir);
    if (installDir.empty() || stagingDir.empty() ||
        nestingOf(journal.installDir, installDir) != Nesting::kSame ||
        nestingOf(journal.stagingDir, stagingDir) != Nesting::kSame) {
      decision.fault = JournalFault::kOtherUpdate;
      decision.reason = "the interrupted update in " + toNarrowText(path) +
                        " is of installation directory " + toNarrowText(journal.installDir) +
                        " from staging directory " + toNarrowText(journal.stagingDir) +
                        ", not of installation directory " + toNarrowText(installDir) +
                        " from staging directory " + toNarrowText(stagingDir);
      return decision;
    }
    // What the installation holds of the list, and of the old version.
    std::size_t listed = 0;
    std::size_t installed = 0;
    bool oldVersionMissing = false;
    const JournalText text = readJournal(path, [&](const ListedFile& file) {
      ++listed;
      const fs::path place = installDir / file.relative;
      if (installedAsListed(place, stagingDir / file.relative, file)) {
        ++installed;
      } else if (!entryExists(place) && entryExists(backupDir / file.relative)) {
        oldVersionMissing = true;
      }
      return true;
    });
    const bool moving = text.journal.state == JournalState::kMovingIn;
    decision.mixed =
        moving ? installed != 0 && installed != listed : installed != 0 || oldVersionMissing;
    // The work left needs the staging directory as listed: the files still
    // to move in, or the place of each file still to give back. An undo with
    // nothing left to give back needs only the backup.
    const std::string fault =
        moving || installed != 0 ? stagingFault(path, text.suffix, stagingDir) : std::string();
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

bool isUpdateJournal(const fs::path& backupDir, const fs::path& path) {
  try {
    return !backupDir.empty() && !path.empty() && samePlace(journalPathOf(backupDir), path);
  } catch (const std::exception&) {
    return false;
  }
}

std::string beginUpdateJournal(const fs::path& backupDir, const fs::path& installDir,
                               const fs::path& stagingDir, const std::string& idempotencyKey) {
  try {
    const fs::path journal = journalPathOf(backupDir);
    // Never write over a file of someone else's. A journal of ours is either
    // cut short in its first write (nothing moved after it), one whose
    // backup has gone, which vouches for nothing, or one ended as over.
    if (entryExists(journal) && !directoryExists(journal) &&
        readJournal(journal).journal.state == JournalState::kUnreadable) {
      return toNarrowText(journal) + " exists and is not an update journal";
    }
    // The directories as paths that mean the same from any working
    // directory; an empty one (none given) stays empty.
    const auto absolute = [](const fs::path& directory) {
      return directory.empty() ? std::string() : toNarrow(absolutePath(directory));
    };
    writeToJournal(journal,
                   std::string(kSignature) + "\n" + kKeyField + escaped(idempotencyKey) + "\n" +
                       kInstallField + escaped(absolute(installDir)) + "\n" + kStagingField +
                       escaped(absolute(stagingDir)) + "\n" + kSuffixField +
                       randomTemporarySuffix() + "\n" + kListedFilesField + "\n",
                   WriteMode::kTruncate);
    return "";
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::string moveStagedFilesIn(const fs::path& backupDir, const fs::path& installDir,
                              const fs::path& stagingDir, bool resuming) {
  MoveTarget target;
  target.root = installDir;
  std::string failure;
  try {
    const fs::path journal = journalPathOf(backupDir);
    // A staging directory that cannot be listed is the first thing to report.
    listDirectory(stagingDir, [](const fs::path&, EntryKind) { return false; });
    const std::string fault = swapRootsFault(stagingDir, installDir);
    if (!fault.empty()) throw std::runtime_error(fault);
    if (!resuming) {
      // Every file is listed, durably, before the first moves: a run that is
      // stopped can then be finished or undone whatever it had moved.
      OutputFile list(journal, WriteMode::kAppend);
      std::string lines;
      listFilesToMove(stagingDir, [&](const fs::path& relative) {
        FileStamp stamp;
        if (!readStamp(stagingDir / relative, &stamp)) {
          throw SystemError("status", toNarrowText(stagingDir / relative), kErrorFileNotFound);
        }
        FileStamp replaced;
        lines += std::to_string(stamp.size) + ' ' + std::to_string(stamp.time) + ' ' +
                 identityOf(stamp) + ' ' +
                 (readStamp(installDir / relative, &replaced) ? identityOf(replaced) : "-") + ' ' +
                 escaped(toJournalText(relative)) + '\n';
        if (lines.size() >= (1 << 16)) {
          list.write(lines);
          lines.clear();
        }
      });
      list.write(lines);
      list.close();
      writeToJournal(journal, std::string("\n") + kMovingIn + "\n", WriteMode::kAppend);
    }
    const JournalText text = readJournal(journal);
    if (text.journal.state != JournalState::kMovingIn) {
      throw SystemError("read", toNarrowText(journal), kErrorInvalidParameter);
    }
    if (!text.suffix.empty()) target.temporarySuffix = text.suffix;
    readJournal(journal, [&](const ListedFile& file) {
      const fs::path from = stagingDir / file.relative;
      // The run that was stopped moved it already. A listed file that is in
      // neither place is not: its move fails, and the update is undone.
      if (resuming && installedAsListed(installDir / file.relative, from, file)) return true;
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

std::string rollBackUpdate(const fs::path& backupDir, const fs::path& installDir,
                           const fs::path& stagingDir,
                           void (*passedOver)(const std::string& file)) {
  MoveTarget toStaging;
  MoveTarget toInstallation;
  toStaging.root = stagingDir;
  toInstallation.root = installDir;
  std::string failure;
  std::string suffix = randomTemporarySuffix();
  try {
    const fs::path journal = journalPathOf(backupDir);
    const JournalText text = readJournal(journal);
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
        writeToJournal(journal, std::string(kRollingBack) + "\n", WriteMode::kAppend);
      } catch (const std::exception& e) {
        return std::string("cannot record the undo: ") + e.what();
      }
    }
    if (text.journal.state == JournalState::kMovingIn ||
        text.journal.state == JournalState::kRollingBack) {
      readJournal(journal, [&](const ListedFile& file) {
        const fs::path& relative = file.relative;
        const fs::path staged = stagingDir / relative;
        const fs::path installed = installDir / relative;
        const fs::path old = backupDir / relative;
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
          } else if (code == 0) {
            // New in this version, and in staging as well: the copy goes.
            removeFile(installed);
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
  return moveTree(backupDir, installDir, Links::kPassOver, suffix);
}

void endUpdateJournal(const fs::path& backupDir) {
  try {
    const fs::path journal = journalPathOf(backupDir);
    try {
      removeFile(journal);
    } catch (const SystemError&) {
      // A journal left behind would have the next run with these directories
      // take up an update that is over. Where it cannot go (another process
      // holds it open), emptied it reads as no journal at all.
      OutputFile(journal, WriteMode::kTruncate).close();
      syncFile(journal);
    }
    flushDirectories({journal.parent_path()});
  } catch (const std::exception&) {
  }
}
