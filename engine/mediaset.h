// How a backup writes its media set without putting the previous one at risk: every media file,
// and the operation-options file, is written under a temporary name beside the file it replaces
// and takes that file's name only once the whole run has succeeded. A run holds its temporary
// files while it writes them, so that a second run naming any of the same files is refused
// before it has done anything.
//
// The replacement is all or nothing: before the first rename, a commit record naming every
// temporary file and its final name is written and synced beside every final file of the set;
// the records go once the renames are done. A run that meets a complete set of records for any
// of its files first completes the renames they name (rolls forward), so that a kill or a failure
// at any point leaves either the whole previous set or the whole new one. Leftover temporary
// files without records are an unfinished set, which the next run discards.
//
// Once the server has counted the backup (its statement succeeded), nothing of the new set is
// removed any more: a run that cannot put it in place keeps its files under names no later run
// writes, and says where they are.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// Beside a final file: its temporary file, its commit record, and the start of a kept file's
// suffix (the local time "yyyymmddhhmmss" follows).
extern const char kTempSuffix[];
extern const char kRecordSuffix[];
extern const char kKeptSuffix[];

// "<path><suffix>" in the folder of `path`. When that name would pass `nameMax` characters, a cut
// of the name of `path`, "~", 16 hexadecimal digits of a hash of the whole name, then `suffix`:
// every run derives the same name for the same file, so that leftovers and records are found.
std::string SuffixedName(const std::string& path, const std::string& suffix, size_t nameMax);

// What a commit record names: each temporary file and the final name it is renamed over, and the
// files removed with the replacement (an options file of an earlier set that the new set lacks).
struct CommitRecord {
    std::string id;
    std::vector<std::pair<std::string, std::string>> renames;
    std::vector<std::string> removals;
};
// The record's text; it ends with a line holding a checksum of all before it.
std::string FormatCommitRecord(const CommitRecord& record);
// False for anything that is not a whole record, a cut one included.
bool ParseCommitRecord(const std::string& text, CommitRecord* record);

// Completes the interrupted commits that any of `files` belongs to (devices and files without a
// record are left as they are) and logs a Warn line naming the files put in place. A commit that
// a live run is carrying out is waited for, a few seconds at most. False, with an Error line,
// when that run is still at it or a step fails.
bool RollForwardMediaSets(const std::vector<std::string>& files);

// Claims the files a backup writes before anything is submitted: the stream files `mediaFiles`
// and, when not empty, the options file `optionsFile`, whose final name is either replaced by the
// list the run writes or removed (CommitMediaSet). Interrupted commits of these files are rolled
// forward first. Each file's temporary file is then created, or taken over from a run that has
// died, and emptied. A file that is no regular file (a device, a pipe) is written in place.
// Refused, with an Error line and nothing of another run touched, when a file is named twice
// (in any spelling), is being written by another run, is a folder, lies in a folder that is
// missing or takes no new file, or has a name too long for its file system; what the call claimed
// is then released. The first claim also makes every ending of the process end the set as
// DiscardMediaSet does.
bool ClaimMediaSet(const std::vector<std::string>& mediaFiles, const std::string& optionsFile);

// The path that the writer of `file` opens: its temporary file when the run claimed it, else the
// file itself.
std::string MediaWritePath(const std::string& file);

// The server has counted the backup (its statement succeeded): from now on nothing of the
// claimed set is removed. Any thread may call it.
void NoteBackupCounted();

// Puts the claimed set in place of the previous one: syncs every temporary file, writes the
// commit records, renames each temporary file over its final name (each folder synced once),
// removes the options file's final name instead when `keepOptions` is false, then the records.
// False, with Error lines, when a step fails: before the records are complete the new files are
// kept aside (as DiscardMediaSet does once the backup is counted); after, everything is left for
// the next run to complete, and the lines say which files hold the new backup.
bool CommitMediaSet(bool keepOptions);

// Ends a set that was not committed. While the server has not counted the backup its temporary
// files are removed; after, they are renamed aside to kept names beside their final names, and
// Error lines say why, which files they are, and that the server has recorded the backup, while
// the previous set stays as it is. Then releases the set.
void DiscardMediaSet();
