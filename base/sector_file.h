// Files that hold sectors (card images, dumps, files loaded onto a card),
// on every platform the program runs on: opened without ever waiting,
// positioned past 2 GiB, and told apart by identity rather than by name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/outcome.h"

// Opens path for reading, or reading and writing, when it is a regular file
// or a block device; anything else (a directory, a FIFO) is refused by name
// and never waited on. what names the file in the reason ("card image").
Outcome sector_file_open(const std::string& path, bool for_writing, const std::string& what, std::FILE*& file);

// What tells the open file apart from every other on the system (its
// device and file number), as text; "" when it cannot be told.
[[nodiscard]] std::string file_identity(std::FILE* file);

// True when path names the open file, by any name or link; path is not opened.
[[nodiscard]] bool is_open_file(std::FILE* file, const std::string& path);
// True when both paths name one file: the same existing file, or the same
// name for one not made yet. Neither is opened.
[[nodiscard]] bool same_file(const std::string& a, const std::string& b);
// True when something (a file, a directory, a FIFO) has that name; it is not opened.
[[nodiscard]] bool file_exists(const std::string& path);

[[nodiscard]] bool file_seek(std::FILE* file, std::uint64_t offset);
// Flushes the file and has the system put it on the disk; a file that
// cannot be synced (a pipe, a terminal) counts as flushed.
[[nodiscard]] bool file_sync(std::FILE* file);
// Cuts a regular file to size bytes (after flushing what is buffered).
[[nodiscard]] bool file_truncate(std::FILE* file, std::uint64_t size);
// The file's size in bytes (0 when it cannot be told); leaves the position at the end.
[[nodiscard]] std::uint64_t file_size(std::FILE* file);
