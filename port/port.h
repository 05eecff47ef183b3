// The one seam to the hardware: write the data register, read the status
// register. A backend supplies both, plus how to obtain and give back access.
#pragma once

#include <cstdint>

#include "base/outcome.h"

// Whole-byte transfers built from a backend's accesses: lines is the line
// pattern last written (the line driver's shadow byte).
struct ByteMovers {
    void (*out)(std::uint8_t& lines, std::uint8_t data);
    std::uint8_t (*in)(std::uint8_t& lines);
    // Byte in with one clock-low write per bit instead of two; for use once
    // the card is ready, when its clock may run at full speed.
    std::uint8_t (*in_lean)(std::uint8_t& lines);
};

struct PortOps {
    void (*write_data)(std::uint8_t value);
    std::uint8_t (*read_status)();
    ByteMovers movers;
};

struct PortBackend {
    PortOps ops;
    // Obtains the right to use the port.
    Outcome (*acquire)();
    // Gives access back; false when that failed.
    bool (*release)();
    // False once the backend knows the port cannot reach the card.
    bool (*link_ok)();
    // The backend runs port instructions, which an NT-family system allows
    // only after the port-access driver's device has been opened.
    bool needs_io_privilege = false;
    // The clock waits are measured on and the pause; none: the system's
    // monotonic clock and a real sleep.
    std::uint64_t (*now_ns)() = nullptr;
    void (*pause_ns)(std::uint64_t ns) = nullptr;
};

namespace port_detail {
extern PortOps active;
}

// Makes backend the one the seam talks to.
void port_select(const PortBackend& backend);

// Byte transfers through write_data and read_status of whatever ops are in
// force, for backends and wrappers without their own.
ByteMovers port_generic_movers();

// Replaces the access functions (used by wrappers such as the trace) and
// returns the ones in force before.
PortOps port_swap_ops(const PortOps& ops);

Outcome port_acquire();
[[nodiscard]] bool port_release();
[[nodiscard]] bool port_link_ok();
[[nodiscard]] bool port_needs_io_privilege();
[[nodiscard]] std::uint64_t port_now_ns();
void port_pause_ns(std::uint64_t ns);

inline void port_write_data(std::uint8_t value) { port_detail::active.write_data(value); }
inline std::uint8_t port_read_status() { return port_detail::active.read_status(); }
inline const ByteMovers& port_movers() { return port_detail::active.movers; }
