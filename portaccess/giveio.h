// Port access: obtain the right to use the I/O ports and give it back. On an
// NT-family system this goes through the port-access driver's service.
#pragma once

// Port-access level: 0 no access, 1 no driver needed, 2 driver already
// running, 3 driver service started, 4 driver service installed and started.
[[nodiscard]] int giveio_start();
// The same; after a level of 0, left_installed tells whether the service it
// installed could not be stopped or removed again and is left registered.
[[nodiscard]] int giveio_start(bool& left_installed);
// Undoes what giveio_start did; 0, or the level passed in when that failed.
[[nodiscard]] int giveio_stop(int level);
