#include "treeops/update_journal.h"

#include <cerrno>
#include <cstdint>
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
//   stamped files:
//   <size> <time> <relative path>      of each file the update moves, in order,
//                                      as it lay in staging
//   <an empty line, which ends the list>
//   state: moving staged files in
//   state: rolling back                (added when the undo begins)
// Values are escaped so that each stays on its line. The file is only ever
// appended to after its first write, so a cut-short write loses at most the
// line being added: a list without its end or without the first state line
// means that no file has moved yet. A journal of an earlier version lists
// "files:" as bare paths, without the stamps that tell whether staging is
// still what it listed.
const char kSignature[] = "vexo-updater update journal";
const char kKeyField[] = "idempotencyKey: ";
const char kInstallField[] = "installDir: ";
const char kStagingField[] = "stagingDir: ";
const char kFilesField[] = "files:";
const char kStampedFilesField[] = "stamped files:";
const char kMovingIn[] = "state: moving staged files in";
const char kRollingBack[] = "state: rolling back";

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

// The journal's path: the backup directory's own path, without trailing
// separators, with ".pending" appended, so that it lies beside the backup.
fs::path journalPath(const std::string& backupDir) {
  fs::path path = toFsPath(backupDir);
  while (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  path += ".pending";
  return path;
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
  bool stamped = false;
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
  if (line != kFilesField && line != kStampedFilesField) return cutShortOrUnreadable(false);
  text.stamped = line == kStampedFilesField;
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

// Calls each(relative, stamp) for the files the journal lists, in order,
// until it returns false; stamp is empty in a journal without stamps.
template <typename Each>
void forEachListedFile(const fs::path& journal, const JournalText& text, const Each& each) {
  std::ifstream in(journal, std::ios::binary);
  in.seekg(text.listStart);
  std::string line;
  while (readLine(in, &line) && !line.empty()) {
    std::string stamp;
    if (text.stamped) {
      const std::size_t end = line.find(' ', line.find(' ') + 1);
      if (end == std::string::npos) {
        throw fs::filesystem_error("read", journal, std::make_error_code(std::errc::io_error));
      }
      stamp = line.substr(0, end);
      line.erase(0, end + 1);
    }
    if (!each(toFsPath(unescaped(line)), stamp)) return;
  }
  if (!in) throw fs::filesystem_error("read", journal, std::make_error_code(std::errc::io_error));
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

// Why the journal's update cannot go on from stagingDir: a listed file
// still staged is not the one listed (re-staged after the run stopped), or a
// staged file is not listed at all. Finishing would install a mix of two
// versions, and undoing would give files back over the new ones. Empty when
// staging is what the journal listed, less what was moved.
std::string stagingFault(const fs::path& journal, const std::string& stagingDir) {
  const JournalText text = parseJournal(journal);
  if (!text.stamped) return "";
  const fs::path staging = toFsPath(stagingDir);
  std::set<fs::path> listed;
  std::string change;
  forEachListedFile(journal, text, [&](const fs::path& relative, const std::string& stamp) {
    listed.insert(relative);
    const std::string now = entryStamp(staging / relative);
    if (!now.empty() && now != stamp) change = toNarrow(relative) + " changed";
    return change.empty();
  });
  if (change.empty() && fs::is_directory(staging)) {
    listFilesToMove(staging, [&](const fs::path& relative) {
      if (change.empty() && listed.count(relative) == 0) change = toNarrow(relative) + " is new";
    });
  }
  if (change.empty()) return "";
  return "staging directory " + stagingDir + " is not what the interrupted update in " +
         toNarrow(journal) + " staged (" + change +
         "); stage that update again unchanged to finish it";
}

}  // namespace

UpdateJournal readUpdateJournal(const std::string& backupDir) {
  try {
    if (backupDir.empty()) return UpdateJournal{};
    const fs::path journal = journalPath(backupDir);
    // A journal whose backup has gone vouches for nothing.
    std::error_code error;
    if (!fs::is_directory(toFsPath(backupDir), error) || !entryExists(journal)) {
      return UpdateJournal{};
    }
    return parseJournal(journal).journal;
  } catch (const std::exception&) {
    UpdateJournal unreadable;
    unreadable.state = JournalState::kUnreadable;
    return unreadable;
  }
}

std::string resumeFault(const UpdateJournal& journal, const std::string& backupDir,
                        const std::string& installDir, const std::string& stagingDir) {
  try {
    const std::string journalName = toNarrow(journalPath(backupDir));
    if (journal.state == JournalState::kUnreadable) {
      return "cannot record the update in progress: " + journalName +
             " exists and is not an update journal this updater can resume";
    }
    if (installDir.empty() || stagingDir.empty() ||
        !sameDirectory(toFsPath(journal.installDir), toFsPath(installDir)) ||
        !sameDirectory(toFsPath(journal.stagingDir), toFsPath(stagingDir))) {
      return "the interrupted update in " + journalName + " is of installation directory " +
             journal.installDir + " from staging directory " + journal.stagingDir +
             ", not of installation directory " + installDir + " from staging directory " +
             stagingDir;
    }
    return stagingFault(journalPath(backupDir), stagingDir);
  } catch (const std::exception& e) {
    return e.what();
  }
}

bool isUpdateJournal(const std::string& backupDir, const std::string& path) {
  try {
    if (backupDir.empty() || path.empty()) return false;
    return samePlace(journalPath(backupDir), toFsPath(path));
  } catch (const std::exception&) {
    return false;
  }
}

std::string beginUpdateJournal(const std::string& backupDir, const std::string& installDir,
                               const std::string& stagingDir, const std::string& idempotencyKey) {
  try {
    const fs::path journal = journalPath(backupDir);
    // Never write over a file of someone else's. A journal of ours is either
    // cut short in its first write (nothing moved after it) or one whose
    // backup has gone, which vouches for nothing.
    if (entryExists(journal) && !fs::is_directory(journal) &&
        parseJournal(journal).journal.state == JournalState::kUnreadable) {
      return toNarrow(journal) + " exists and is not an update journal";
    }
    appendToJournal(journal,
                    std::string(kSignature) + "\n" + kKeyField + escaped(idempotencyKey) + "\n" +
                        kInstallField + escaped(absoluteDirectory(installDir)) + "\n" +
                        kStagingField + escaped(absoluteDirectory(stagingDir)) + "\n" +
                        kStampedFilesField + "\n",
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
    const fs::path journal = journalPath(backupDir);
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
        list << entryStamp(staging / relative) << ' ' << escaped(toNarrow(relative)) << '\n';
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
    forEachListedFile(journal, text, [&](const fs::path& relative, const std::string&) {
      const fs::path from = staging / relative;
      // The run that was stopped moved it already.
      if (resuming && !entryExists(from)) return true;
      const std::uint32_t code = moveInto(&target, from, relative);
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
                           const std::string& stagingDir) {
  MoveTarget toStaging;
  MoveTarget toInstallation;
  std::string failure;
  try {
    const fs::path journal = journalPath(backupDir);
    const fs::path backup = toFsPath(backupDir);
    toStaging.root = toFsPath(stagingDir);
    toInstallation.root = toFsPath(installDir);
    const JournalText text = parseJournal(journal);
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
      forEachListedFile(journal, text, [&](const fs::path& relative, const std::string&) {
        const fs::path staged = toStaging.root / relative;
        const fs::path installed = toInstallation.root / relative;
        const fs::path old = backup / relative;
        std::uint32_t code = 0;
        if (entryExists(staged)) {
          // Never moved in, or given back already. A stopped undo may have
          // left its place empty between the two moves: fill it.
          if (!entryExists(installed) && entryExists(old)) {
            code = moveInto(&toInstallation, old, relative);
          }
        } else {
          // The staged file goes back first, so that the old version cannot
          // overwrite it; its place is empty only until the old one is in.
          code = moveInto(&toStaging, installed, relative);
          if (code == 0 && entryExists(old)) {
            code = moveInto(&toInstallation, old, relative);
            if (code != 0) moveInto(&toInstallation, staged, relative);
          }
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
  return swapTreeBesideLinks(backupDir, installDir);
}

void endUpdateJournal(const std::string& backupDir) {
  try {
    const fs::path journal = journalPath(backupDir);
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
