// Giving up root once the port is open: a run under sudo goes back to the
// user who ran sudo, a set-user-ID run to its real user. Port access
// already granted (I/O permission, open devices) stays.
#pragma once

#include "base/outcome.h"

// Succeeds when nothing is left to give up.
Outcome drop_root();
