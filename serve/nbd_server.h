// The card as a network block device (--serve): the server of
// serve/nbd_service.h over the card's sector device, read-only unless
// writable, until an ending signal.
#pragma once

#include "serve/serve_settings.h"

class Operator;
class SectorDevice;

// Serves the initialised card as device until the console's user asks it to
// stop; returns the exit status.
int serve_card(SectorDevice& device, const ServeSettings& settings, const Operator& console);
