// How a backup writes its media set without putting the previous one at risk: every media file,
// and the operation-options file, is written under a temporary name beside the file it replaces
// and takes that file's name only once the whole run has succeeded. A run that fails removes its
// temporary files, from whichever thread the process ends; a run that is killed leaves them,
// recognisable by their suffix, and the next run that writes the same file takes them over. A
// run holds its temporary files while it writes them, so that a second run naming any of the
// same files is refused before it has done anything.
#pragma once

#include <string>
#include <vector>

// "<file><kTempSuffix>" is the temporary file of <file> (of the file a link at <file> leads to).
extern const char kTempSuffix[];

// Claims the files a backup writes before anything is submitted: the stream files `mediaFiles`
// and, when not empty, the options file `optionsFile`, whose final name is either replaced by the
// list the run writes or removed (CommitMediaSet). Each file's temporary file is created, or
// taken over from a run that has died, and emptied. A file that is no regular file (a device, a
// pipe) is written in place. Refused, with an Error line and nothing of another run touched,
// when a file is named twice, is being written by another run or cannot be created; what the
// call claimed is then released. The first claim also makes every ending of the process remove
// the temporary files of a set that was not committed.
bool ClaimMediaSet(const std::vector<std::string>& mediaFiles, const std::string& optionsFile);

// The path that the writer of `file` opens: its temporary file when the run claimed it, else the
// file itself.
std::string MediaWritePath(const std::string& file);

// Puts the claimed set in place of the previous one: syncs every temporary file, renames each
// over its final name (the folder's new entries synced too) and, when `keepOptions` is false,
// removes the options file's final name instead of replacing it. False, with an Error line, when
// a step fails; what was not yet renamed is then removed.
bool CommitMediaSet(bool keepOptions);

// Removes the temporary files of a set that was not committed and releases them.
void DiscardMediaSet();
