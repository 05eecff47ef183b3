// Sector reads and writes, single and multi-block, and what they do when a
// transfer fails: read again, confirm, fall back to single blocks.
#include <algorithm>
#include <array>

#include "card/card.h"
#include "card/card_retries.h"
#include "card/protocol.h"

using namespace protocol;

namespace {

constexpr std::size_t crc_bytes = 2;
// Bytes after R1 that a block read brings: token, data and CRC, with a few
// access bytes, so that a link that reads ahead asks for it all at once.
constexpr std::size_t block_bytes_after_r1 = 8 + 1 + sector_size + crc_bytes;
// A block of a run: token, data, CRC and the card's gap before the next.
constexpr std::size_t run_block_bytes = 1 + sector_size + crc_bytes + 2;

// A write is tried again after a CRC error, no answer, or an answer that it
// is past the card's end (which noise can fake); not after a write error or
// a refusal, which would come again.
bool write_may_pass(const CardFailure& f) {
    if (f.byte == 0xFF) return true;
    if (f.step == FailStep::data_response) return (f.byte & data_response_mask) == data_crc_error;
    return f.step == FailStep::command && is_r1(f.byte) &&
           (f.byte & (r1_com_crc_error | r1_address_error | r1_parameter_error));
}

std::span<std::uint8_t, sector_size> sector_in(std::span<std::uint8_t> buf, std::size_t i) {
    return buf.subspan(i * sector_size).first<sector_size>();
}
std::span<const std::uint8_t, sector_size> sector_in(std::span<const std::uint8_t> buf, std::size_t i) {
    return buf.subspan(i * sector_size).first<sector_size>();
}

}  // namespace

bool Card::in_range(std::uint64_t sector) const {
    return sector <= (block_addressing_ ? last_block_sector : last_sector);
}

// Block-addressed cards take the sector number, the others its byte address.
std::uint32_t Card::address_of(std::uint32_t sector) const { return block_addressing_ ? sector : sector << 9; }

void Card::use_data_rate(bool on) {
    if (data_clock_throughout()) return;
    bus_.flush();
    link().set_clock(on ? data_hz_ : spi::init_hz);
}

CardResult Card::read_once(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) {
    if (const CardResult answer = transfer_command(cmd::read_single_block, sector, block_bytes_after_r1);
        answer != CardResult::ok)
        return answer;
    return receive_block(buf, false, block_bytes_after_r1);
}

CardResult Card::read(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) {
    if (!in_range(sector)) return CardResult::out_of_range;
    return read_checked(sector, buf, false);
}

// A block that came wrong once is taken only when two reads of it agree:
// under heavy noise a wrong block can pass its CRC16.
CardResult Card::read_checked(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf, bool failed_before) {
    return with_retries([&](bool again) {
        const CardResult first = read_once(sector, buf);
        if (first != CardResult::ok || !(again || failed_before)) return first;
        std::array<std::uint8_t, sector_size> check{};
        if (const CardResult second = read_once(sector, check); second != CardResult::ok) return second;
        return std::ranges::equal(buf, check) ? CardResult::ok : CardResult::bad_crc;
    }, rereads_);
}

CardResult Card::write_once(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) {
    if (const CardResult answer = transfer_command(cmd::write_single_block, sector, r1_bytes); answer != CardResult::ok)
        return answer;
    send_block(data_start_token, buf);
    if (const CardResult response = data_response(); response != CardResult::ok) return response;
    return busy_done(write_busy);
}

// A block the card received with a CRC error is sent again, with CRC
// checking on; and a write is past the card's end only when every try says so.
CardResult Card::write(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) {
    if (!in_range(sector)) return CardResult::out_of_range;
    if (!prepared_) return write_once(sector, buf);
    std::uint32_t retries = 0;
    return with_retries([&](bool) { return write_once(sector, buf); }, retries, write_may_pass);
}

// One CMD18 run from sector first + done until every block is in or one fails.
CardResult Card::read_run(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    const std::size_t count = buf.size() / sector_size;
    // The R1 and the first blocks come in one transaction.
    if (const CardResult answer = transfer_command(cmd::read_multiple_block, first + done, r1_bytes + (count - done) * run_block_bytes);
        answer != CardResult::ok)
        return answer;
    use_data_rate(true);
    bus_.expect((count - done) * run_block_bytes);
    CardResult result = CardResult::ok;
    for (; done < count; ++done) {
        result = receive_block(sector_in(buf, done), true, run_block_bytes);
        if (result != CardResult::ok) break;
    }
    const CardResult stopped = stop_transmission();
    use_data_rate(false);
    return result == CardResult::ok ? stopped : result;
}

CardResult Card::read_singly(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    for (const std::size_t count = buf.size() / sector_size; done < count; ++done) {
        if (const CardResult r = read(first + done, sector_in(buf, done)); r != CardResult::ok) return r;
    }
    return CardResult::ok;
}

// Runs of CMD18; a block that fails is read on its own (again and again,
// and confirmed), then the run goes on after it. A card that calls CMD18
// illegal is read a block at a time. Some cards hang when a run reads on
// past their last block: that block is read on its own.
CardResult Card::read_blocks(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    done = 0;
    const std::size_t count = buf.size() / sector_size;
    if (count > 0 && !in_range(std::uint64_t{first} + count - 1)) return CardResult::out_of_range;
    const bool ends_at_last = count > 0 && capacity_read_ && std::uint64_t{first} + count == capacity_;
    const std::size_t in_runs = ends_at_last ? count - 1 : count;
    while (done < in_runs) {
        if (!multi_block_) return read_singly(first, buf.first(count * sector_size), done);
        const CardResult run = read_run(first, buf.first(in_runs * sector_size), done);
        if (run == CardResult::ok) break;
        if (!link().healthy()) return run;  // the link's failure, not the block's
        if (failure_.step == FailStep::command && is_r1(failure_.byte) && (failure_.byte & r1_illegal_command)) {
            multi_block_ = false;
            continue;
        }
        // Read alone, the failed block is an extra attempt; one that only
        // confirms the card's end is not.
        const bool failed_before = run != CardResult::out_of_range;
        if (failed_before) ++rereads_;
        if (const CardResult single = read_checked(first + done, sector_in(buf, done), failed_before);
            single != CardResult::ok)
            return single;
        ++done;
    }
    return read_singly(first, buf.first(count * sector_size), done);
}

// ACMD22: the blocks of the last write command an SD card programmed.
CardResult Card::blocks_written(std::uint32_t& count) {
    std::array<std::uint8_t, 4> block{};
    if (app_command(cmd::send_num_wr_blocks, 0, block.size() + crc_bytes + 12) != r1_ready) return CardResult::rejected;
    if (const CardResult read = receive_register(block); read != CardResult::ok) return read;
    count = std::uint32_t{block[0]} << 24 | std::uint32_t{block[1]} << 16 | std::uint32_t{block[2]} << 8 | block[3];
    return CardResult::ok;
}

CardResult Card::write_singly(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) {
    for (const std::size_t count = buf.size() / sector_size; done < count; ++done) {
        if (const CardResult r = write(first + done, sector_in(buf, done)); r != CardResult::ok) return r;
    }
    return CardResult::ok;
}

// One CMD25 run from sector first + done: a 0xFC token per block, each
// block's data response and busy, the stop token at the end, whatever
// happened; done counts the blocks the card took.
CardResult Card::write_run(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) {
    const std::size_t count = buf.size() / sector_size;
    if (const CardResult answer = transfer_command(cmd::write_multiple_block, first + done, r1_bytes);
        answer != CardResult::ok)
        return answer;
    use_data_rate(true);
    CardResult result = CardResult::ok;
    for (; done < count && result == CardResult::ok; ++done) {
        send_block(multi_write_token, sector_in(buf, done));
        result = data_response();
        if (result == CardResult::ok) result = busy_done(run_busy);
        if (result != CardResult::ok) break;
    }
    const CardResult stopped = end_multiple_write();
    use_data_rate(false);
    return result == CardResult::ok ? stopped : result;
}

// Runs of CMD25; when one fails, its blocks from the failed one on are
// written one at a time (each tried again as a single write is), then runs
// go on. An SD card is asked after each run how many blocks it programmed
// (ACMD22): one that took a block and failed it later (reporting it with a
// later block, or not at all) has the run go on from the first block it
// did not program. A card that calls CMD25 illegal is written a block at a
// time.
CardResult Card::write_blocks(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) {
    done = 0;
    const std::size_t count = buf.size() / sector_size;
    if (count == 0) return CardResult::ok;
    if (!in_range(std::uint64_t{first} + count - 1)) return CardResult::out_of_range;
    const bool counts_blocks = way_ == InitWay::sd_v1 || way_ == InitWay::sd_v2;
    while (done < count) {
        if (!multi_block_) return write_singly(first, buf, done);
        const std::uint32_t run_start = done;
        CardResult run = write_run(first, buf.first(count * sector_size), done);
        if (!link().healthy()) return run;
        if (failure_.step == FailStep::command && is_r1(failure_.byte) && (failure_.byte & r1_illegal_command) &&
            run != CardResult::ok) {
            multi_block_ = false;
            continue;
        }
        std::uint32_t programmed = 0;
        if (counts_blocks && blocks_written(programmed) == CardResult::ok && run_start + programmed < done) {
            done = run_start + programmed;
            run = CardResult::no_data;
        }
        if (run == CardResult::ok) return run;
        if (const CardResult single = write(first + done, sector_in(buf, done)); single != CardResult::ok) return single;
        ++done;
    }
    return CardResult::ok;
}
