// Sector reads and writes, single and multi-block, and the card's registers.
#include "card/mmc_spi.h"

#include <chrono>

#include "card/card_init.h"
#include "card/crc.h"
#include "card/mmc_if.h"
#include "card/spi_link.h"

using namespace spi_link;

namespace {

constexpr int crc_bytes = 2;
constexpr std::uint8_t data_response_mask = 0x1F;
constexpr std::uint8_t data_accepted = 0x05;
constexpr std::uint8_t multi_write_token = 0xFC;
constexpr std::uint8_t stop_tran_token = 0xFD;
// Multi-block transfers wait for each block's token up to about 100 ms on
// a real port, a card's read time-out, and for a written block longer still.
constexpr int block_token_wait = 4096;
constexpr int lean_busy_max_bytes = 24576;

bool in_range(std::uint64_t sector) {
    return sector <= (card_block_addressed() ? last_block_sector : last_sector);
}

bool run_in_range(std::uint32_t first, std::size_t count) { return count == 0 || in_range(std::uint64_t{first} + count - 1); }

// Block-addressed cards take the sector number, the others its byte address.
std::uint32_t address_of(std::uint32_t sector) { return card_block_addressed() ? sector : sector << 9; }

// The single-block frames of the first card interface keep their CRC byte
// on cards addressed by bytes; every other frame gets the real CRC7. The
// card's answer: ready, past its end, or refused.
CardResult transfer_command(std::uint8_t index, std::uint32_t sector) {
    const bool known_frame =
        !card_block_addressed() && (index == cmd::read_single_block || index == cmd::write_single_block);
    if (known_frame) return transfer_answer(send_frame(index, address_of(sector), known_frame_crc));
    return transfer_answer(command(index, address_of(sector)));
}

// The failed attempts at one block: past the card's end only when every
// attempt said so (noise can fake it once), else the first other failure.
// Attempts that only confirmed the end are not counted as re-reads.
class Failures {
public:
    void add(CardResult result) {
        if (failure_ == CardResult::out_of_range) failure_ = result;
        ++attempts_;
    }
    // The result to report; counts the re-reads that were real.
    CardResult settle(bool read_at_last) {
        const int rereads = read_at_last ? attempts_ : attempts_ - 1;
        if (read_at_last || failure_ != CardResult::out_of_range) card_state::count_rereads(rereads);
        return read_at_last ? CardResult::ok : failure_;
    }

private:
    CardResult failure_ = CardResult::out_of_range;
    int attempts_ = 0;
};

// Runs read once, then again while it fails, up to read_retries more times.
template <class Read>
CardResult with_rereads(Read read) {
    Failures failures;
    for (int attempt = 0; attempt <= read_retries; ++attempt) {
        const CardResult result = read();
        if (result == CardResult::ok) return failures.settle(true);
        failures.add(result);
    }
    return failures.settle(false);
}

CardResult read_once(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) {
    if (const CardResult answer = transfer_command(cmd::read_single_block, sector); answer != CardResult::ok)
        return answer;
    return receive_block(buf, response_wait, mmc_serial_in);
}

// CMD12 ends a multi-block transfer: one stuff byte, R1, then busy.
CardResult stop_transmission() {
    put_frame(cmd::stop_transmission, 0, frame_crc(cmd::stop_transmission, 0));
    (void)mmc_serial_in_lean();
    (void)get_response(response_wait, mmc_serial_in_lean);
    return wait_while_busy(lean_busy_max_bytes, mmc_serial_in_lean);
}

// One CMD18 run from sector first + done until every block is in or one fails.
CardResult read_run(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    const std::size_t count = buf.size() / sector_size;
    if (const CardResult answer = transfer_command(cmd::read_multiple_block, first + done); answer != CardResult::ok)
        return answer;
    for (; done < count; ++done) {
        const CardResult block = receive_run_block(buf.subspan(done * sector_size, sector_size), block_token_wait,
                                                   mmc_serial_in_lean);
        if (block != CardResult::ok) {
            (void)stop_transmission();
            return block;
        }
    }
    return stop_transmission();
}

// The stop token ends a multi-block write; the card turns busy one byte
// after it while it programs what it still holds.
CardResult end_multiple_write() {
    mmc_serial_out(stop_tran_token);
    (void)mmc_serial_in_lean();
    return wait_while_busy(lean_busy_max_bytes, mmc_serial_in_lean);
}

void send_block(std::uint8_t token, std::span<const std::uint8_t> data) {
    mmc_serial_out(gap_byte);
    mmc_serial_out(token);
    for (std::uint8_t byte : data) mmc_serial_out(byte);
    const std::uint16_t crc = crc::crc16(data);
    mmc_serial_out(static_cast<std::uint8_t>(crc >> 8));
    mmc_serial_out(static_cast<std::uint8_t>(crc));
}

CardResult read_register(std::uint8_t index, CardRegister& reg) {
    if (card_identify() != CardResult::ok) return CardResult::cmd1_failed;
    return with_rereads([&] {
        if (command(index, 0) != r1_ready) return CardResult::rejected;
        return receive_block(reg, response_wait, mmc_serial_in);
    });
}

}  // namespace

CardResult spi_read(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) {
    if (!in_range(sector)) return CardResult::out_of_range;
    return with_rereads([&] { return read_once(sector, buf); });
}

CardResult spi_write(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) {
    if (!in_range(sector)) return CardResult::out_of_range;
    if (const CardResult answer = transfer_command(cmd::write_single_block, sector); answer != CardResult::ok)
        return answer;
    mmc_serial_out(gap_byte);
    mmc_serial_out(data_start_token);
    for (std::uint8_t byte : buf) mmc_serial_out(byte);
    for (int i = 0; i < crc_bytes; ++i) mmc_serial_out(0x00);
    if ((get_response(response_wait) & data_response_mask) != data_accepted) return CardResult::no_data;
    return wait_while_busy(write_busy_max_bytes, mmc_serial_in);
}

CardResult spi_read_blocks(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    done = 0;
    const std::size_t count = buf.size() / sector_size;
    if (!run_in_range(first, count)) return CardResult::out_of_range;
    int failures_here = 0;
    Failures failures;
    while (done < count) {
        const std::uint32_t before = done;
        const CardResult run = read_run(first, buf.first(count * sector_size), done);
        if (done != before) {
            if (failures_here > 0) (void)failures.settle(true);
            failures_here = 0;
            failures = Failures{};
        }
        if (run == CardResult::ok) return failures.settle(true);
        failures.add(run);
        if (++failures_here > read_retries) return failures.settle(false);
    }
    return failures.settle(true);
}

CardResult spi_write_blocks(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) {
    done = 0;
    const std::size_t count = buf.size() / sector_size;
    if (count == 0) return CardResult::ok;
    if (!run_in_range(first, count)) return CardResult::out_of_range;
    if (const CardResult answer = transfer_command(cmd::write_multiple_block, first); answer != CardResult::ok)
        return answer;
    for (; done < count; ++done) {
        send_block(multi_write_token, buf.subspan(done * sector_size, sector_size));
        if ((get_response(response_wait, mmc_serial_in_lean) & data_response_mask) != data_accepted) {
            (void)stop_transmission();
            return CardResult::no_data;
        }
        if (wait_while_busy(lean_busy_max_bytes, mmc_serial_in_lean) != CardResult::ok) {
            (void)end_multiple_write();
            return CardResult::still_busy;
        }
    }
    return end_multiple_write();
}

RegisterLayout card_register_layout() {
    return card_init_way() == InitWay::mmc ? RegisterLayout::mmc : RegisterLayout::sd;
}

CardResult card_read_ocr(std::uint32_t& ocr) {
    if (card_identify() != CardResult::ok) return CardResult::cmd1_failed;
    if (command(cmd::read_ocr, 0) != r1_ready) return CardResult::rejected;
    ocr = read_u32();
    return CardResult::ok;
}

CardResult card_read_cid(CardRegister& cid) { return read_register(cmd::send_cid, cid); }
CardResult card_read_csd(CardRegister& csd) { return read_register(cmd::send_csd, csd); }

CardType card_type(const CsdInfo& csd) {
    switch (card_init_way()) {
        case InitWay::mmc: return CardType::mmc;
        case InitWay::sd_v1: return CardType::sdsc_v1;
        case InitWay::sd_v2:
            if (!card_block_addressed()) return CardType::sdsc_v2;
            return csd.capacity_bytes >= sdxc_smallest_bytes ? CardType::sdxc : CardType::sdhc;
        default: return CardType::unknown;
    }
}

std::uint64_t card_capacity_sectors() {
    std::uint64_t sectors = 0;
    if (card_state::capacity_known(sectors)) return sectors;
    CardRegister csd{};
    if (card_read_csd(csd) == CardResult::ok) {
        const CsdInfo info = decode_csd(csd, card_register_layout());
        if (info.capacity_known) sectors = info.capacity_bytes / sector_size;
    }
    card_state::remember_capacity(sectors);
    return sectors;
}

std::uint64_t card_clock_ns() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}
