// Locks that keep a second run of the program off a card in use: the
// simulated card's image is locked (shared for reading, exclusive for
// writing), and a real port through a lock file named after it. Nothing
// ever waits for a lock: a lock held elsewhere fails at once, naming the
// process that holds it where the system can tell.
#pragma once

#include <cstdio>
#include <string>

#include "base/outcome.h"

// Locks an open image file for as long as it stays open.
Outcome lock_image(std::FILE* file, const std::string& path, bool exclusive);
// The same for any open file; what names it in the refusal ("the file F").
Outcome lock_file(std::FILE* file, const std::string& what, bool exclusive);

// True when the last lock failed because another process holds it (exit
// status 1 rather than a usage error).
[[nodiscard]] bool lock_was_busy();

// Where port lock files are kept from now on; tests keep their own apart so
// that test processes running at once never hold each other's ports. "" for
// the directory VANTACLE_LOCK_DIR names (not in a set-user-ID run), else the
// system's place: a directory only the user can reach, /run/vantacle for root.
void port_locks_in(const std::string& dir);

// The lock file of one real port; taken when the port is acquired and given
// back when it is released.
class PortLock {
public:
    PortLock() = default;
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
    ~PortLock() { give_back(); }

    // name: the port as the lock file's name gives it, such as "direct-378";
    // what: how a refusal names it ("the port NAME" when empty). The lock
    // file is removed again when the lock is given back.
    Outcome take(const std::string& name, const std::string& what = "");
    void give_back();

private:
    int fd_ = -1;
    std::string path_;  // the lock file while it is held, removed when given back
};
