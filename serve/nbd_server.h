// The card as a network block device (--serve): the server of
// serve/nbd_service.h over the card's sector device, read-only unless
// writable, until an ending signal.
#pragma once

#include "serve/serve_settings.h"

class SectorDevice;

// Serves the initialised card as device; returns the exit status.
int serve_card(SectorDevice& device, const ServeSettings& settings);
