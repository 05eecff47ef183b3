// The card as a network block device (serve/ does the serving): read-only
// unless writable, until an ending signal.
#pragma once

#include "serve/serve_settings.h"

// Serves the initialised card; returns the exit status.
int serve_card(const ServeSettings& settings);
