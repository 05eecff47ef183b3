// Port access: obtain the right to use the I/O ports and give it back. On an
// NT-family system this goes through the port-access driver's service.
#pragma once

// Port-access level: 0 no access, 1 no driver needed, 2 driver already
// running, 3 driver service started, 4 driver service installed and started.
[[nodiscard]] int giveio_start();
// After giveio_start returned 0: true when the service it installed in that
// run could not be stopped or removed again and is left registered.
[[nodiscard]] bool giveio_left_installed();
// Undoes what giveio_start did; 0, or the level passed in when that failed.
[[nodiscard]] int giveio_stop(int level);
