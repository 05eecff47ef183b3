// One MMC or SD card in SPI mode over a link: power-up and initialisation,
// sector reads and writes (single and multi-block), its registers and
// power-down. Everything known about the card lives here.
#pragma once

#include <cstdint>
#include <span>

#include "card/card_bus.h"
#include "card/card_types.h"
#include "card/protocol.h"
#include "card/registers.h"
#include "link/spi_link.h"

class Card {
    static constexpr std::size_t r1_bytes = 8;

public:
    explicit Card(spi::Link& link) : bus_(link) {}

    CardResult init();
    void disable();
    // Sets the card up for work beyond the known sequence: tells an MMC from
    // an SD card, reads the CSD (capacity, data rate, block length), checks
    // the addressing against it, CMD16(512) where the block length differs,
    // an MMC's EXT_CSD, and, with crc, turns CRC checking on (CMD59).
    CardResult prepare(bool crc);

    CardResult read(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf);
    CardResult write(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf);
    CardResult read_blocks(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done);
    CardResult write_blocks(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done);

    // How the card is addressed, from its OCR where the way it came up
    // (CMD1) leaves it open: CMD58 until two reads agree.
    CardResult settle_addressing();
    CardResult identify();
    CardResult read_ocr(std::uint32_t& ocr);
    CardResult read_cid(CardRegister& cid);
    CardResult read_csd(CardRegister& csd);
    [[nodiscard]] RegisterLayout register_layout() const;
    [[nodiscard]] CardType type(const CsdInfo& csd) const;
    [[nodiscard]] std::uint64_t capacity_sectors();

    [[nodiscard]] bool block_addressed() const { return block_addressing_; }
    [[nodiscard]] std::uint32_t rereads() const { return rereads_; }
    [[nodiscard]] const InitRecord& init_record() const { return record_; }
    [[nodiscard]] InitWay init_way() const { return way_; }
    // The last failed transfer: its step and the card's own byte.
    [[nodiscard]] const CardFailure& last_failure() const { return failure_; }
    // True when the last register block came with a wrong CRC16 but a right CRC7.
    [[nodiscard]] bool register_crc16_was_wrong() const { return register_crc16_wrong_; }
    [[nodiscard]] CardBus& bus() { return bus_; }
    [[nodiscard]] spi::Link& link() { return bus_.link(); }

    // Building blocks for the card's other commands (its registers and
    // controls). A frame with its CRC7, the R1 (0xFF: none); expected: bytes
    // the answer takes after the frame, for links that read ahead.
    std::uint8_t command(std::uint8_t index, std::uint32_t arg, std::size_t expected = r1_bytes);
    // CMD55, then the application command; the second R1 (or the first when
    // CMD55 was refused).
    std::uint8_t app_command(std::uint8_t index, std::uint32_t arg, std::size_t expected = r1_bytes);
    // The bytes after R1 (R2's status byte, R3's and R7's word).
    [[nodiscard]] std::uint8_t receive_byte() { return bus_.receive(1); }
    std::uint32_t read_u32();
    // A register or status block: start token, the block, its CRC16.
    CardResult receive_register(std::span<std::uint8_t> into);
    // A data block to the card (start token, bytes, CRC16), its data
    // response, then busy for up to busy_ns.
    CardResult send_data(std::span<const std::uint8_t> data, std::uint64_t busy_ns);
    // Busy (DO low) after an R1b command, for up to busy_ns.
    CardResult wait_ready(std::uint64_t busy_ns);
    // The argument that addresses a sector: its number or its byte address.
    [[nodiscard]] std::uint32_t address_of(std::uint32_t sector) const;

private:
    // Initialisation (card_init.cpp).
    void power_up();
    std::uint8_t first_cmd0();
    std::uint8_t cmd1_until_ready(InitRecord& r);
    CardResult acmd41_until_ready(InitRecord& r, std::uint32_t arg);
    CardResult read_ocr_agreed(InitRecord& r, std::uint32_t& ocr, bool may_lack);
    CardResult learn_mmc_addressing(InitRecord& r);
    CardResult bring_up_from_idle(InitRecord& r, bool mmc_possible);
    CardResult bring_up_sd(InitRecord& r, bool mmc_possible);
    CardResult bring_up_known();
    CardResult bring_up_sd_first();
    // Once the card is ready on a link that clocks frames at the data clock:
    // the CSD's TRAN_SPEED, read at the initialisation clock, sets it.
    void enter_data_clock();
    void learn_data_rate(const CardRegister& csd);

    // Frames, blocks and waits (card_frames.cpp).
    std::uint8_t send_frame(std::uint8_t index, std::uint32_t arg, std::uint8_t crc, std::size_t expected = r1_bytes);
    std::uint8_t frame_once(std::uint8_t index, std::uint32_t arg, std::uint8_t crc, std::size_t expected);
    CardResult transfer_command(std::uint8_t index, std::uint32_t sector, std::size_t expected);
    CardResult receive_block(std::span<std::uint8_t> into, bool in_run, std::size_t expected);
    CardResult receive_data(std::span<std::uint8_t> into);
    void send_block(std::uint8_t token, std::span<const std::uint8_t> data);
    CardResult data_response();
    CardResult busy_done(protocol::Wait wait);
    CardResult stop_transmission();
    CardResult end_multiple_write();
    CardResult failed(FailStep step, std::uint8_t index, std::uint8_t byte, CardResult result);
    void ask_why();

    // Sectors (card_io.cpp).
    CardResult read_once(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf);
    CardResult read_checked(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf, bool failed_before);
    CardResult write_once(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf);
    CardResult read_run(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done);
    CardResult write_run(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done);
    CardResult read_singly(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done);
    CardResult write_singly(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done);
    CardResult blocks_written(std::uint32_t& count);
    [[nodiscard]] bool in_range(std::uint64_t sector) const;
    // On the port, whole-card runs clock at the card's data rate, everything
    // else at the rate the card was initialised at; other links keep the
    // data clock from initialisation on.
    void use_data_rate(bool on);
    [[nodiscard]] bool data_clock_throughout() { return link().capabilities().data_clock_throughout; }
    // Tries attempt again while it fails, a few times, while worth_it says
    // the failure may pass; counts the extra tries in retries.
    template <class Attempt>
    CardResult with_retries(Attempt attempt, std::uint32_t& retries, bool (*worth_it)(const CardFailure&) = nullptr);

    // Registers (card_registers.cpp).
    CardResult read_register(std::uint8_t index, CardRegister& reg);
    CardResult check_addressing(const CardRegister& csd);
    CardResult read_ext_csd_size();
    void learn_capacity(const CardRegister& csd);
    void try_high_speed();

    CardBus bus_;
    InitRecord record_{};
    InitWay way_ = InitWay::none;
    bool block_addressing_ = false;
    bool addressing_known_ = false;  // from the OCR (or the SD way of a version 1 card)
    bool prepared_ = false;       // set up for work beyond the known sequence
    bool crc_on_ = false;
    bool multi_block_ = true;     // false once the card called CMD18 or CMD25 illegal
    bool busy_possible_ = false;  // a write or busy wait ended early: wait for DO high first
    bool register_crc16_wrong_ = false;
    std::uint32_t rereads_ = 0;
    bool capacity_read_ = false;
    std::uint64_t capacity_ = 0;
    std::uint32_t data_hz_ = spi::init_hz;
    CardFailure failure_{};
};
