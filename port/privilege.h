// Giving up root once the port is open: a run under sudo goes back to the
// user who ran sudo, a set-user-ID run to its real user. Port access
// already granted (I/O permission, open devices) stays.
#pragma once

#include <string>

// True when nothing is left to give up; on failure fills why with one line.
bool drop_root(std::string& why);
