// A station: several card sockets in one run, each card on its own thread
// with its own link, lock and files, its text whole lines marked with the
// socket's name, a record for each card and a summary at the end.
#pragma once

#include <string>
#include <vector>

#include "base/outcome.h"
#include "modes/command_line.h"

struct StationSocket {
    std::string name;
    std::string port;  // as --port takes it
};

// True when the options name more than one socket (--port twice, --station).
[[nodiscard]] bool station_asked(const Options& options);

// The sockets of --station=FILE (one "NAME PORT" a line; blank lines and
// lines from # on are left out) or of the --port options, named 1, 2, ...;
// a bad line is refused in one line naming FILE:LINE.
Outcome station_sockets(const Options& options, std::vector<StationSocket>& sockets);

// {socket}, {serial} and {cid} in a file name replaced: the socket's name,
// the card's serial (8 hex digits) and its CID (32); empty ones stay as they are.
[[nodiscard]] std::string with_placeholders(const std::string& name, const std::string& socket, const std::string& serial,
                                            const std::string& cid);

// Runs the mode on every socket's card at once; the exit status: 0 when
// every card passed, 1 when any failed, 2 for options that cannot run.
int run_station(const Options& options);
