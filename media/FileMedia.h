// Plain backup media: one file through a buffered stdio stream, or, with the compress flag, a
// gzip file (RFC 1952) written and read through zlib.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <zlib.h>

struct FileMedia {
    // mode: 0 read, 1 write (create or cut), 2 append; any other value reads. The constructor
    // always completes: test 'file' before use; null means the file could not be opened.
    FileMedia(const char* name, int32_t mode, int32_t compress, int32_t level, int32_t strategy);
    // Releases what Close did not: the stream and the file, without syncing and without a
    // result. A caller that wants to know whether its data is stored calls Close.
    ~FileMedia();
    FileMedia(const FileMedia&) = delete;
    FileMedia& operator=(const FileMedia&) = delete;

    FILE* Open(const char* name);
    // Counts as stdio gives them: fewer than n only at the end of the data or after an error.
    int32_t Read(void* buffer, uint32_t n);
    int32_t Write(const void* buffer, uint32_t n);
    // Writing: everything written so far reaches the file and is synced to the disk (a device or
    // pipe that cannot be synced is no failure). 0, or EOF on an error (errno tells which).
    int32_t Flush();
    // Closes the file: 0, or EOF (errno set) when what was written cannot be put on the disk
    // (written data is synced first) or, reading with the compress flag, when the stream is
    // damaged: its end checks (CRC, length) run over the rest of the file that was left unread.
    int32_t Close();

    // The open-mode text: "rb", "wb" or "ab", then the zlib mode letters of the settings.
    static std::string ModeText(int32_t mode, int32_t compress, int32_t level, int32_t strategy);

    FILE* file;
    int32_t mode;
    int32_t compress;
    int32_t level;
    int32_t strategy;
    // With the compress flag: the zlib stream over a duplicate of file's descriptor.
    gzFile gz;
};
