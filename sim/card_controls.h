// The simulated card's own controls beyond reading and writing: card status
// (CMD13), SCR (ACMD51), SD Status (ACMD13), CMD6's check mode, programming
// the CSD (CMD27), password lock (CMD42) and erase (CMD32/33, CMD35/36,
// CMD38). The password and the write protection persist in IMAGE.state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "base/outcome.h"
#include "sim/settings.h"

// What the card sends for a command: R1, the status byte of an R2, a data
// block, busy bytes (R1b); and whether a data block from the host follows.
struct ControlAnswer {
    std::uint8_t r1 = 0;
    std::optional<std::uint8_t> status;
    std::span<const std::uint8_t> data;
    std::uint32_t busy_bytes = 0;
    std::size_t block_expected = 0;
};

// What the card sends for a block the host sent: data response, busy bytes.
struct BlockAnswer {
    std::uint8_t response;
    std::uint32_t busy_bytes;
};

// Reads IMAGE.state beside the image, if there is one; one that cannot be
// read or makes no sense is refused. The demo card keeps its state in memory.
Outcome controls_open(const SimSettings& settings);
// Applies the state to a newly configured card: the CSD's write protection.
void controls_configure(const SimSettings& settings, CardRegister& csd);
// A card with a password locks itself when it loses power.
void controls_power_lost();

// True when a locked card refuses the command (reads, writes, erase, CMD6, CMD27).
[[nodiscard]] bool controls_refuses(std::uint8_t index, bool app);
// True when the card refuses a written block (CSD write protection); the
// violation shows in the next CMD13.
[[nodiscard]] bool controls_refuse_write();
// CMD16: 512, or a lock block's length for CMD42.
[[nodiscard]] bool controls_block_length(std::uint32_t length);

ControlAnswer controls_send_status(std::uint32_t arg);    // CMD13
ControlAnswer controls_switch(std::uint32_t arg);         // CMD6
ControlAnswer controls_program_csd(std::uint32_t arg);    // CMD27
ControlAnswer controls_erase_first(std::uint32_t arg);    // CMD32, CMD35
ControlAnswer controls_erase_last(std::uint32_t arg);     // CMD33, CMD36
ControlAnswer controls_erase(std::uint32_t arg);          // CMD38
ControlAnswer controls_lock_unlock(std::uint32_t arg);    // CMD42
ControlAnswer controls_sd_status(std::uint32_t arg);      // ACMD13
ControlAnswer controls_send_scr(std::uint32_t arg);       // ACMD51

// A new command frame ends any wait for a block.
void controls_frame();
// True while bytes arriving belong to a control block.
[[nodiscard]] bool controls_takes_block_data();
// A byte outside a frame: the block's token, data and CRC; the answer once it is in.
[[nodiscard]] std::optional<BlockAnswer> controls_byte(std::uint8_t byte);

// scr=HEX and ssr=HEX: up to 16 or 128 hex digits, the rest zero.
bool set_scr(std::string_view value, SimSettings& s);
bool set_ssr(std::string_view value, SimSettings& s);
