// The card as a network block device: --serve=PATH (a Unix socket, mode
// 0600) or --serve=localhost:PORT (the loopback address only). Clients are
// served one after another, their requests one at a time, until an ending
// signal, which finishes the request in hand.
#pragma once

#include <string>

class SectorDevice;

// Serves the initialised card as device; returns the exit status.
int serve_card(SectorDevice& device, const std::string& where, bool writable);
