// What the card does with commands and data: one state, a table of the
// commands it knows (and which card kinds know them, in which phase), and a
// handler for each. The wire (sim/wire.h) hands over whole frames and bytes
// with the card's clock; answers go to DO's queue.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "sim/card_controls.h"
#include "sim/card_state.h"
#include "sim/noise.h"
#include "sim/out_queue.h"
#include "sim/settings.h"
#include "sim/storage.h"

using CommandFrame = std::span<const std::uint8_t, 6>;

class CardModel {
public:
    // The storage must be open, and it and the state outlive the model.
    CardModel(const SimSettings& settings, Storage& storage, CardState& state);

    // The supply went away: everything but the registers starts over.
    void power_lost();
    void frame(CommandFrame frame, std::uint64_t now_ns);
    // A byte outside any command frame: a token, block data or filler.
    void byte(std::uint8_t byte, std::uint64_t now_ns);
    // True while the bytes arriving are block data, which never start a frame.
    [[nodiscard]] bool takes_block_data() const;
    // False while DO is held low by programming (or the card is stuck): a
    // frame or token that starts then is not heard, even when programming
    // ends before it does.
    [[nodiscard]] bool listening() const { return !stuck_ && !out_.sent_busy(); }
    // True once programming that held DO low through the byte going out is
    // over: the card lets DO go at its next bit, not at a byte's end.
    [[nodiscard]] bool releases_do(std::uint64_t now_ns) const { return out_.busy_over(now_ns); }
    // The byte for DO at a byte boundary; lets the card end programming or
    // queue its next block when nothing is queued.
    [[nodiscard]] std::uint8_t next_out(std::uint64_t now_ns);
    // True while the card ignores its supply going off (stuck=on, or hung
    // by a run over its last block).
    [[nodiscard]] bool stuck() const { return stuck_; }
    // The fastest clock the card takes now: 400 kHz until it is ready, then
    // its CSD's TRAN_SPEED, 50 MHz once CMD6 switched it to high speed.
    [[nodiscard]] std::uint64_t top_clock_hz() const;
    // Bits the byte going out runs behind the R1 (late-response=).
    [[nodiscard]] int token_lateness() const { return out_.late() ? cfg_.late_response_bits : 0; }

private:
    struct Request {
        std::uint32_t arg;
        bool crc_ok;
    };
    struct Command;
    enum class State : std::uint8_t;
    static constexpr std::size_t max_block = 2048;
    static constexpr std::size_t block_crc_bytes = 2;
    static constexpr std::size_t ext_csd_bytes = 512;

    static const Command* find_command(std::uint8_t index, bool app, CardKind kind);

    // Answers and data blocks.
    std::uint8_t state_bits() const;
    void respond(std::uint8_t r1);
    void respond_with_word(std::uint8_t r1, std::uint32_t word);
    void queue_block(std::span<const std::uint8_t> data, bool bad_crc, std::uint64_t delay_ns);
    void queue_token(std::uint8_t token, std::uint64_t delay_ns);
    void queue_register(std::span<const std::uint8_t> reg);
    void hold_until(std::uint8_t byte, std::uint64_t delay_ns);
    bool queue_sectors(std::uint64_t sector);
    std::uint32_t sectors_per_block() const;
    bool sector_of(std::uint32_t arg, std::uint64_t& sector) const;
    bool read_sector(std::uint32_t sector, SectorSpan out);
    bool write_sector(std::uint32_t sector, ConstSectorSpan data);
    bool dropped_by_fake(std::uint32_t& sector) const;
    bool ecc_fails(std::uint64_t first, std::uint64_t count);
    std::uint8_t count_down_idle();
    std::uint64_t read_delay_ns();
    std::uint64_t write_delay_ns();
    std::uint64_t init_delay_ns();
    bool still_busy();

    // Writing.
    void block_received(bool more);
    void commit_block();
    void stop_writing();
    void start_block(State receiving);
    void busy_for(std::uint64_t delay_ns);

    // Command handlers, as the command table names them.
    void go_idle_state(Request);
    void send_op_cond(Request);
    void sd_send_op_cond(Request request);
    void send_if_cond(Request request);
    void send_ext_csd(Request);
    void app_cmd(Request);
    void read_ocr(Request);
    void send_csd(Request);
    void send_cid(Request);
    void set_blocklen(Request request);
    void stop_transmission(Request);
    void read_single_block(Request request);
    void read_multiple_block(Request request);
    void write_block(Request request);
    void write_multiple_block(Request request);
    void crc_on_off(Request request);
    void send_num_wr_blocks(Request);
    void mark_late();
    template <ControlAnswer (CardControls::*handle)(std::uint32_t)>
    void control(Request request);
    void control_byte(std::uint8_t byte);

    SimSettings cfg_;
    Storage& storage_;
    CardRegister cid_{};
    CardRegister csd_{};
    std::array<std::uint8_t, ext_csd_bytes> ext_csd_{};
    CardControls controls_;
    OutQueue out_;
    Draws delays_;
    std::uint64_t now_ns_ = 0;

    State state_;
    int idle_left_ = 0;
    std::optional<std::uint64_t> init_until_ns_;  // CMD1/ACMD41 answer idle until then
    bool if_cond_seen_ = false;  // CMD8 since the last CMD0
    bool app_next_ = false;      // CMD55 came: the next command is an ACMD
    bool crc_on_ = false;        // CMD59: every frame and written block checked
    bool busy_ = false;          // programming: DO low, commands ignored
    bool stuck_ = false;         // ignores every command until a real power cycle
    std::array<bool, max_ecc_faults> ecc_spent_{};  // an ecc=SECTOR:once read has failed
    std::uint32_t block_len_;    // the length CMD16 set (or the card's default)
    std::uint8_t r1_extra_ = 0;  // bits the next R1 carries beyond the command's own (erase reset)
    std::uint8_t stuff_ = 0xFF;  // the byte DO would have carried next when a frame ended
    std::array<std::uint8_t, 4> answer_{};  // the four bytes after R1 of an R3 or R7
    std::array<std::uint8_t, max_block> block_{};
    std::array<std::uint8_t, block_crc_bytes> block_crc_{};
    std::uint64_t next_read_ = 0;   // CMD18's next sector
    std::array<std::uint8_t, max_block + block_crc_bytes> incoming_{};
    std::size_t incoming_pos_ = 0;
    std::uint64_t next_write_ = 0;  // the sector the next written block goes to
    std::uint64_t programming_ = 0;
    bool commit_pending_ = false;   // an accepted block not yet programmed
    bool run_failed_ = false;       // a block of this CMD25 run was refused
    std::uint32_t well_written_ = 0;  // blocks of the last write command programmed
    std::uint32_t bad_writes_ = 0;    // writes to the bad sector taken since power-up
    std::array<std::uint8_t, 4> well_written_block_{};
};
