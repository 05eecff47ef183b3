// The network block device server: listens where it is told, requires TLS
// on TCP unless told --insecure on the loopback address, and serves every
// client on a thread of its own until a stop, which ends it within a second
// whatever the clients do.
#pragma once

#include <memory>
#include <string>

#include "base/outcome.h"
#include "serve/block_backend.h"
#include "serve/nbd_connection.h"
#include "serve/serve_settings.h"

class Operator;

class NbdService {
public:
    NbdService();
    ~NbdService();
    // Listens and loads the credentials; nothing is served yet.
    Outcome open(const ServeSettings& settings);
    // Serves backend until the console's user asks it to stop; the counts
    // of the run.
    ServeStats run(BlockBackend& backend, const Operator& console);
    bool tls() const;

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
    ServeSettings settings_;
};
