// The MOVE-clause list that carries a database's file layout from a full backup to its restore,
// and the operation-options file that holds it beside the first media file, RC4-enciphered.
#pragma once

#include <cstddef>
#include <string>

// The fixed key text of the options file.
extern const char kOptionsKeyText[];
// The most bytes an options file may hold; a longer one is refused unread. The list of a database
// with the most files a server allows (32767), every name at its longest, takes under 14 MiB.
constexpr size_t kOptionsFileMax = 32u << 20;

// The options file's name: the first stream entry followed by "_opts".
std::string OptionsFileName(const std::string& firstEntry);

// Whether a backup that completed leaves an options file: a full backup into files, with no
// restore-service host and a first entry that is no "tcp://" address.
bool OptionsFileWanted(char action, char bkType, const std::string& host, const std::string& firstEntry);

// Enciphers `list` and writes it whole to `path`; an empty list writes nothing. False when the file
// cannot be written.
bool WriteOptionsFile(const std::string& path, const std::string& list);

// Reads and deciphers `path` into `list`; an absent file gives an empty list. False (the reason
// logged) when the file exists but cannot be read or is longer than kOptionsFileMax.
bool ReadOptionsFile(const std::string& path, std::string* list);

// Moves *pos past `text` when `s` holds it at *pos; false, *pos unchanged, when it does not.
bool SkipLiteral(const std::string& s, size_t* pos, const char* text);

// True when `text` is empty or a run of clauses ", MOVE ''<logical>'' TO ''<%DATA%|%LOG%><file>''"
// whose names are not empty and hold no "|" or control character, and a quote only written four
// times, and whose file names hold no "/", "\" or "..": the shape a backup writes. A streamed list
// and an options file's list are both checked with it before they reach a statement.
bool IsBackupSideMoveList(const std::string& text);
