// The simulated card's own controls beyond reading and writing: card status
// (CMD13), SCR (ACMD51), SD Status (ACMD13), CMD6's check mode, programming
// the CSD (CMD27), password lock (CMD42) and erase (CMD32/33, CMD35/36,
// CMD38). The card model owns one and hands it these commands.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "sim/card_state.h"
#include "sim/settings.h"
#include "sim/storage.h"

// What the card sends for a command: R1, the status byte of an R2, a data
// block; busy (R1b) for a time, after which it takes commands again.
struct ControlAnswer {
    std::uint8_t r1 = 0;
    std::optional<std::uint8_t> status;
    std::span<const std::uint8_t> data;
    std::optional<std::uint64_t> busy_ns;
};

// What the card sends for a block the host sent: data response, then busy
// for a time when the block was accepted.
struct BlockAnswer {
    std::uint8_t response;
    std::uint64_t busy_ns;
};

class CardControls {
public:
    // csd: the model's CSD, which CMD27 programs; it and the rest outlive this.
    CardControls(const SimSettings& settings, Storage& storage, CardState& state, CardRegister& csd);

    // A card with a password locks itself when it loses power.
    void power_lost();
    // CMD0 puts the card back to its default speed.
    void go_idle() { high_speed_ = false; }
    // CMD6 in switch mode selected function 1 of group 1 (50 MHz).
    [[nodiscard]] bool high_speed() const { return high_speed_; }

    // True when a locked card refuses the command: all but class 0 and class
    // 7 ones, CMD55 and ACMD41.
    [[nodiscard]] bool refuses(std::uint8_t index, bool app) const;
    // True when the card refuses a written block (CSD write protection); the
    // violation shows in the next CMD13.
    [[nodiscard]] bool refuse_write();
    // CMD16: a lock block's length, 1 to 512 bytes, for CMD42.
    [[nodiscard]] bool block_length(std::uint32_t length);

    ControlAnswer send_status(std::uint32_t arg);    // CMD13
    ControlAnswer switch_func(std::uint32_t arg);    // CMD6
    ControlAnswer program_csd(std::uint32_t arg);    // CMD27
    ControlAnswer erase_first(std::uint32_t arg);    // CMD32, CMD35
    ControlAnswer erase_last(std::uint32_t arg);     // CMD33, CMD36
    ControlAnswer erase(std::uint32_t arg);          // CMD38
    ControlAnswer lock_unlock(std::uint32_t arg);    // CMD42
    ControlAnswer sd_status(std::uint32_t arg);      // ACMD13
    ControlAnswer send_scr(std::uint32_t arg);       // ACMD51

    // A new command frame ends any wait for a block.
    void frame();
    // A command the card takes: 0, or the erase-reset bit for its R1 when it
    // ended an erase sequence.
    [[nodiscard]] std::uint8_t command_arrived(std::uint8_t index, bool app);
    // True while bytes arriving belong to a control block.
    [[nodiscard]] bool takes_block_data() const { return receiving_; }
    // A byte outside a frame: the block's token, data and CRC; the answer
    // once it is in. check_crc: CRC checking is on (CMD59).
    [[nodiscard]] std::optional<BlockAnswer> byte(std::uint8_t byte, bool check_crc);

private:
    enum class Expect : std::uint8_t { none, csd, lock };
    static constexpr std::size_t block_crc_bytes = 2;

    [[nodiscard]] bool is_sd() const;
    [[nodiscard]] bool csd_bit(int bit) const;
    void set_csd_bit(int bit, bool on);
    void fill_switch_status();
    [[nodiscard]] bool address_to_sector(std::uint32_t arg, std::uint32_t& sector) const;
    [[nodiscard]] std::uint8_t erased_value() const;
    [[nodiscard]] std::uint32_t erase_unit() const;
    [[nodiscard]] std::uint8_t erase_last_index() const;
    void fill_sectors(std::uint32_t first, std::uint32_t last);
    [[nodiscard]] bool write_protected() const;
    [[nodiscard]] std::uint64_t program_ns() const;
    BlockAnswer block_received(bool check_crc);
    BlockAnswer csd_received();
    BlockAnswer lock_received();
    bool lock_command();
    bool force_erase();
    bool set_password(std::string_view given);
    bool clear_password(std::string_view given);
    bool keep_password(std::string password);
    ControlAnswer expect_block(Expect what, std::size_t length);

    SimSettings cfg_;
    Storage& storage_;
    CardState& state_;
    CardRegister& csd_;
    bool locked_ = false;
    bool high_speed_ = false;
    std::uint8_t status_ = 0;  // error bits until the next CMD13
    std::uint32_t block_length_ = sector_bytes;
    std::optional<std::uint32_t> erase_first_;
    std::optional<std::uint32_t> erase_last_;
    ScrBytes scr_{};
    SsrBytes ssr_{};
    std::array<std::uint8_t, 64> switch_status_{};
    Expect expect_ = Expect::none;
    bool receiving_ = false;
    std::array<std::uint8_t, sector_bytes + block_crc_bytes> incoming_{};
    std::size_t incoming_pos_ = 0;
    std::size_t incoming_length_ = 0;
};

// scr=HEX and ssr=HEX: up to 16 or 128 hex digits, the rest zero.
bool set_scr(std::string_view value, SimSettings& s);
bool set_ssr(std::string_view value, SimSettings& s);
