// The NBD protocol's numbers as the fixed newstyle handshake (with
// STARTTLS) and the transmission phase use them (simple replies only).
#pragma once

#include <cstdint>

namespace nbd {

inline constexpr std::uint64_t init_magic = 0x4E42444D41474943;    // "NBDMAGIC"
inline constexpr std::uint64_t option_magic = 0x49484156454F5054;  // "IHAVEOPT"
inline constexpr std::uint64_t reply_magic = 0x3E889045565A9;
inline constexpr std::uint32_t request_magic = 0x25609513;
inline constexpr std::uint32_t simple_reply_magic = 0x67446698;

// Handshake flags (server) and client flags.
inline constexpr std::uint16_t flag_fixed_newstyle = 1 << 0;
inline constexpr std::uint16_t flag_no_zeroes = 1 << 1;
inline constexpr std::uint32_t client_flags_known = flag_fixed_newstyle | flag_no_zeroes;

// Options.
inline constexpr std::uint32_t opt_export_name = 1;
inline constexpr std::uint32_t opt_abort = 2;
inline constexpr std::uint32_t opt_list = 3;
inline constexpr std::uint32_t opt_starttls = 5;
inline constexpr std::uint32_t opt_info = 6;
inline constexpr std::uint32_t opt_go = 7;

// Option replies.
inline constexpr std::uint32_t rep_ack = 1;
inline constexpr std::uint32_t rep_server = 2;
inline constexpr std::uint32_t rep_info = 3;
inline constexpr std::uint32_t rep_err_unsup = 0x80000001;
inline constexpr std::uint32_t rep_err_invalid = 0x80000003;
inline constexpr std::uint32_t rep_err_tls_reqd = 0x80000005;

// NBD_REP_INFO kinds.
inline constexpr std::uint16_t info_export = 0;
inline constexpr std::uint16_t info_block_size = 3;

// Transmission flags.
inline constexpr std::uint16_t tflag_has_flags = 1 << 0;
inline constexpr std::uint16_t tflag_read_only = 1 << 1;
inline constexpr std::uint16_t tflag_send_flush = 1 << 2;

// Commands.
inline constexpr std::uint16_t cmd_read = 0;
inline constexpr std::uint16_t cmd_write = 1;
inline constexpr std::uint16_t cmd_disc = 2;
inline constexpr std::uint16_t cmd_flush = 3;

// Errors in replies (the protocol's fixed values, as on Linux).
inline constexpr std::uint32_t err_perm = 1;
inline constexpr std::uint32_t err_io = 5;
inline constexpr std::uint32_t err_inval = 22;
inline constexpr std::uint32_t err_nospc = 28;
inline constexpr std::uint32_t err_shutdown = 108;

// Longest option a client may send, and the largest request served.
inline constexpr std::uint32_t max_option_bytes = 4096;
inline constexpr std::uint32_t max_request_bytes = 1 << 20;
inline constexpr std::uint32_t preferred_request_bytes = 64 * 1024;

}  // namespace nbd
