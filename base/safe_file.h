// Files the program writes and the small files it reads, made so that no
// other user can redirect them or stall the program: nothing is written
// through a symbolic link; a regular file is made anew beside its name and
// renamed into place; a FIFO or a device is written where it is, opened
// without waiting for a reader; and no wait keeps an ending signal out.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "base/outcome.h"

struct WriteRules {
    bool replace = true;        // an existing regular file may be replaced
    bool in_place = false;      // an existing FIFO or device is written where it is
    bool private_file = false;  // readable by its owner only, whatever the umask
};

// One file being written. A regular file is a temporary in the name's
// directory until commit() renames it over the name; one not committed is
// removed.
class NewFile {
public:
    NewFile() = default;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    // what names the file in the reason ("the mapfile").
    Outcome open(const std::string& path, const std::string& what, WriteRules rules);
    // Writes all of bytes; a FIFO whose reader is slow is waited on with
    // ending signals let in, which end the write.
    Outcome write(std::string_view bytes);
    // Puts the file on the disk and gives it its name.
    Outcome commit(bool sync);
    // The committed file as a stream; the NewFile lets go of it. A FIFO's or
    // terminal's stream waits for its reader with ending signals let in.
    std::FILE* release(bool readable);

private:
    Outcome failed(const std::string& why) const;

    std::string path_, what_, temporary_;
    int fd_ = -1;
    bool in_place_ = false;  // a FIFO or character device: its writes may wait
};

// A file written from its start as a stream (a dump, a trace): made and
// named at once, so that a run that stops leaves what it wrote.
Outcome create_stream(const std::string& path, const std::string& what, WriteRules rules, bool readable, std::FILE*& stream);

// Writes text to path whole: a regular file gets its new text only once all
// of it is on the disk, and is never left half written.
Outcome write_whole_file(const std::string& path, std::string_view text, const std::string& what, WriteRules rules);

// Reads a small file whole: a regular file, or with pipes_too a FIFO or
// pipe, read without waiting for a writer that never comes or keeping
// ending signals out. A directory or other kind is refused by name; a
// missing file gives exists false.
Outcome read_whole_file(const std::string& path, const std::string& what, bool pipes_too, std::string& text, bool& exists);
