// Locks that keep a second run of the program off a card in use: the
// simulated card's image is locked (shared for reading, exclusive for
// writing), and a real port through a lock file named after it. Nothing
// ever waits for a lock: a lock held elsewhere fails at once (an Outcome
// held_elsewhere), naming the process that holds it where the system can
// tell. Lock files go where VANTACLE_LOCK_DIR names (not in a set-user-ID
// run), else the system's place: a directory only the user can reach,
// /run/vantacle for root.
#pragma once

#include <cstdio>
#include <string>

#include "base/outcome.h"

// Locks an open image file for as long as it stays open.
Outcome lock_image(std::FILE* file, const std::string& path, bool exclusive);
// The same for any open file; what names it in the refusal ("the file F").
Outcome lock_file(std::FILE* file, const std::string& what, bool exclusive);

// The lock file of one real port; taken when the port is acquired and given
// back when it is released.
class PortLock {
public:
    PortLock() = default;
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
    ~PortLock() { give_back(); }

    // name: the port as the lock file's name gives it, such as "direct-378";
    // what: how a refusal names it ("the port NAME" when empty).
    Outcome take(const std::string& name, const std::string& what = "");
    void give_back();

private:
    int fd_ = -1;
    std::string path_;  // the lock file while it is held, removed when given back
};
