// Port access: obtain the right to use the I/O ports and give it back.
#pragma once

#include <string>

// Port-access level: 0 no access, 1 no driver needed, 2 driver already
// running, 3 driver service started, 4 driver service installed and started.
int giveio_start();
// Undoes what giveio_start did; 0, or the level passed in when that failed.
int giveio_stop(int level);
// Why giveio_start gave level 0: one line saying what failed and what to do.
const std::string& giveio_failure();
