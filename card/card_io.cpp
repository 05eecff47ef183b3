// Command frames, data blocks, sector reads and writes (single and
// multi-block) and the card's registers.
#include <algorithm>
#include <array>

#include "card/card.h"
#include "base/crc.h"
#include "card/protocol.h"

using namespace protocol;

namespace {

constexpr std::size_t crc_bytes = 2;
// Bytes after R1 that a block read brings: token, data and CRC, with a few
// access bytes, so that a link that reads ahead asks for it all at once.
constexpr std::size_t block_bytes_after_r1 = 8 + 1 + sector_size + crc_bytes;
// A block of a run: token, data, CRC and the card's gap before the next.
constexpr std::size_t run_block_bytes = 1 + sector_size + crc_bytes + 2;

std::uint8_t frame_crc(std::uint8_t index, std::uint32_t arg) {
    const std::array<std::uint8_t, 5> head{static_cast<std::uint8_t>(command_bit | index),
                                           static_cast<std::uint8_t>(arg >> 24), static_cast<std::uint8_t>(arg >> 16),
                                           static_cast<std::uint8_t>(arg >> 8), static_cast<std::uint8_t>(arg)};
    return crc::crc7_end_byte(head);
}

// R1 of a transfer command: ready, the sector past the card's end (address
// or parameter error), or refused for another reason.
CardResult transfer_answer(std::uint8_t r1) {
    if (r1 == r1_ready) return CardResult::ok;
    if (is_r1(r1) && (r1 & (r1_address_error | r1_parameter_error))) return CardResult::out_of_range;
    return CardResult::rejected;
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
    // The result to report, and the re-reads that were real.
    CardResult settle(bool read_at_last, std::uint32_t& rereads) const {
        const int counted = read_at_last ? attempts_ : attempts_ - 1;
        if (read_at_last || failure_ != CardResult::out_of_range) rereads += static_cast<std::uint32_t>(counted);
        return read_at_last ? CardResult::ok : failure_;
    }

private:
    CardResult failure_ = CardResult::out_of_range;
    int attempts_ = 0;
};

}  // namespace

std::uint8_t Card::send_frame(std::uint8_t index, std::uint32_t arg, std::uint8_t crc, std::size_t expected) {
    const std::array<std::uint8_t, 7> frame{gap_byte,
                                            static_cast<std::uint8_t>(command_bit | index),
                                            static_cast<std::uint8_t>(arg >> 24),
                                            static_cast<std::uint8_t>(arg >> 16),
                                            static_cast<std::uint8_t>(arg >> 8),
                                            static_cast<std::uint8_t>(arg),
                                            crc};
    bus_.send(frame);
    return bus_.response(response_bytes, expected);
}

std::uint8_t Card::command(std::uint8_t index, std::uint32_t arg, std::size_t expected) {
    return send_frame(index, arg, frame_crc(index, arg), expected);
}

std::uint8_t Card::app_command(std::uint8_t index, std::uint32_t arg, std::size_t expected) {
    const std::uint8_t app = command(cmd::app_cmd, 0);
    if (app != r1_ready && app != r1_idle) return app;
    return command(index, arg, expected);
}

CardResult Card::receive_register(std::span<std::uint8_t> into) {
    return receive_block(into, false, into.size() + crc_bytes + 2);
}

CardResult Card::send_data(std::span<const std::uint8_t> data, std::uint64_t busy_ns) {
    send_block(data_start_token, data);
    if ((bus_.await(response_bytes, 0, r1_bytes) & data_response_mask) != data_accepted) return CardResult::no_data;
    return wait_ready(busy_ns);
}

CardResult Card::wait_ready(std::uint64_t busy_ns) {
    return bus_.wait_ready(write_busy.min_count, busy_ns) ? CardResult::ok : CardResult::still_busy;
}

std::uint32_t Card::read_u32() {
    std::uint32_t value = 0;
    for (std::size_t left = 4; left > 0; --left) value = value << 8 | bus_.receive(left);
    return value;
}

bool Card::in_range(std::uint64_t sector) const {
    return sector <= (block_addressing_ ? last_block_sector : last_sector);
}

// Block-addressed cards take the sector number, the others its byte address.
std::uint32_t Card::address_of(std::uint32_t sector) const { return block_addressing_ ? sector : sector << 9; }

// The single-block frames of the first card interface keep their CRC byte
// on cards addressed by bytes; every other frame gets the real CRC7.
CardResult Card::transfer_command(std::uint8_t index, std::uint32_t sector, std::size_t expected) {
    const bool known_frame =
        !block_addressing_ && (index == cmd::read_single_block || index == cmd::write_single_block);
    const std::uint32_t address = address_of(sector);
    const std::uint8_t crc = known_frame ? known_frame_crc : frame_crc(index, address);
    return transfer_answer(send_frame(index, address, crc, expected));
}

void Card::use_data_rate(bool on) {
    bus_.flush();
    link().set_clock(on ? data_hz_ : spi::init_hz);
}

// Start token, the block into `into`, its CRC16, checked. In a run the card
// sends the out-of-range error token once the run passes its end.
CardResult Card::receive_block(std::span<std::uint8_t> into, bool in_run, std::size_t expected) {
    const std::uint8_t token = bus_.await(token_wait.min_count, token_wait.budget_ns, expected);
    if (token == data_start_token) return receive_data(into);
    const bool out_of_range = in_run && (token & error_token_mask) == 0 && (token & error_token_out_of_range);
    return out_of_range ? CardResult::out_of_range : CardResult::no_data;
}

CardResult Card::receive_data(std::span<std::uint8_t> into) {
    bus_.receive(into);
    std::array<std::uint8_t, crc_bytes> sent{};
    bus_.receive(sent);
    return crc::crc16(into) == (sent[0] << 8 | sent[1]) ? CardResult::ok : CardResult::bad_crc;
}

// Runs read once, then again while it fails, up to read_retries more times.
template <class Read>
CardResult Card::with_rereads(Read read) {
    Failures failures;
    for (int attempt = 0; attempt <= read_retries; ++attempt) {
        const CardResult result = read();
        if (result == CardResult::ok) return failures.settle(true, rereads_);
        failures.add(result);
    }
    return failures.settle(false, rereads_);
}

CardResult Card::read_once(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) {
    if (const CardResult answer = transfer_command(cmd::read_single_block, sector, block_bytes_after_r1);
        answer != CardResult::ok)
        return answer;
    return receive_block(buf, false, block_bytes_after_r1);
}

CardResult Card::read(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) {
    if (!in_range(sector)) return CardResult::out_of_range;
    return with_rereads([&] { return read_once(sector, buf); });
}

CardResult Card::write(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) {
    if (!in_range(sector)) return CardResult::out_of_range;
    if (const CardResult answer = transfer_command(cmd::write_single_block, sector, r1_bytes); answer != CardResult::ok)
        return answer;
    const std::array<std::uint8_t, 2> head{gap_byte, data_start_token};
    const std::array<std::uint8_t, crc_bytes> no_crc{};
    bus_.send(head);
    bus_.send(buf);
    bus_.send(no_crc);
    if ((bus_.await(response_bytes, 0, r1_bytes) & data_response_mask) != data_accepted) return CardResult::no_data;
    return bus_.wait_ready(write_busy.min_count, write_busy.budget_ns) ? CardResult::ok : CardResult::still_busy;
}

// CMD12 ends a multi-block transfer: one stuff byte, R1, then busy.
CardResult Card::stop_transmission() {
    const std::array<std::uint8_t, 7> frame{gap_byte, command_bit | cmd::stop_transmission, 0, 0, 0, 0,
                                            frame_crc(cmd::stop_transmission, 0)};
    bus_.send(frame);
    (void)bus_.receive(2);
    (void)bus_.response(response_bytes, 1);
    return bus_.wait_ready(run_busy.min_count, run_busy.budget_ns) ? CardResult::ok : CardResult::still_busy;
}

// One CMD18 run from sector first + done until every block is in or one fails.
CardResult Card::read_run(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    const std::size_t count = buf.size() / sector_size;
    if (const CardResult answer = transfer_command(cmd::read_multiple_block, first + done, r1_bytes); answer != CardResult::ok)
        return answer;
    use_data_rate(true);
    bus_.expect((count - done) * run_block_bytes);
    CardResult result = CardResult::ok;
    for (; done < count; ++done) {
        result = receive_block(buf.subspan(done * sector_size, sector_size), true, run_block_bytes);
        if (result != CardResult::ok) break;
    }
    const CardResult stopped = stop_transmission();
    use_data_rate(false);
    return result == CardResult::ok ? stopped : result;
}

CardResult Card::read_blocks(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    done = 0;
    const std::size_t count = buf.size() / sector_size;
    if (count > 0 && !in_range(std::uint64_t{first} + count - 1)) return CardResult::out_of_range;
    int failures_here = 0;
    Failures failures;
    CardResult result = CardResult::ok;
    while (done < count) {
        const std::uint32_t before = done;
        const CardResult run = read_run(first, buf.first(count * sector_size), done);
        if (done != before) {
            if (failures_here > 0) (void)failures.settle(true, rereads_);
            failures_here = 0;
            failures = Failures{};
        }
        if (run == CardResult::ok) break;
        failures.add(run);
        if (++failures_here > read_retries) {
            result = failures.settle(false, rereads_);
            break;
        }
    }
    return result == CardResult::ok ? failures.settle(true, rereads_) : result;
}

// The stop token ends a multi-block write; the card turns busy one byte
// after it while it programs what it still holds.
CardResult Card::end_multiple_write() {
    bus_.send(stop_tran_token);
    (void)bus_.receive(2);
    return bus_.wait_ready(run_busy.min_count, run_busy.budget_ns) ? CardResult::ok : CardResult::still_busy;
}

void Card::send_block(std::uint8_t token, std::span<const std::uint8_t> data) {
    const std::uint16_t crc = crc::crc16(data);
    const std::array<std::uint8_t, 2> head{gap_byte, token};
    const std::array<std::uint8_t, crc_bytes> tail{static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
    bus_.send(head);
    bus_.send(data);
    bus_.send(tail);
}

CardResult Card::write_blocks(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) {
    done = 0;
    const std::size_t count = buf.size() / sector_size;
    if (count == 0) return CardResult::ok;
    if (!in_range(std::uint64_t{first} + count - 1)) return CardResult::out_of_range;
    CardResult result = transfer_command(cmd::write_multiple_block, first, r1_bytes);
    if (result != CardResult::ok) return result;
    use_data_rate(true);
    for (; result == CardResult::ok && done < count; ++done) {
        send_block(multi_write_token, buf.subspan(done * sector_size, sector_size));
        if ((bus_.await(response_bytes, 0, r1_bytes) & data_response_mask) != data_accepted) {
            (void)stop_transmission();
            result = CardResult::no_data;
        } else if (!bus_.wait_ready(run_busy.min_count, run_busy.budget_ns)) {
            (void)end_multiple_write();
            result = CardResult::still_busy;
        }
        if (result != CardResult::ok) break;
    }
    if (result == CardResult::ok) result = end_multiple_write();
    use_data_rate(false);
    return result;
}

CardResult Card::read_register(std::uint8_t index, CardRegister& reg) {
    if (identify() != CardResult::ok) return CardResult::cmd1_failed;
    return with_rereads([&] {
        if (command(index, 0, reg.size() + 12) != r1_ready) return CardResult::rejected;
        return receive_block(reg, false, reg.size() + crc_bytes + 2);
    });
}

RegisterLayout Card::register_layout() const {
    return way_ == InitWay::mmc ? RegisterLayout::mmc : RegisterLayout::sd;
}

CardResult Card::read_ocr(std::uint32_t& ocr) {
    if (identify() != CardResult::ok) return CardResult::cmd1_failed;
    if (command(cmd::read_ocr, 0, r1_bytes + 4) != r1_ready) return CardResult::rejected;
    ocr = read_u32();
    return CardResult::ok;
}

CardResult Card::read_cid(CardRegister& cid) { return read_register(cmd::send_cid, cid); }
// The CSD also sets the data rate: the card's TRAN_SPEED, capped by the adapter.
CardResult Card::read_csd(CardRegister& csd) {
    const CardResult result = read_register(cmd::send_csd, csd);
    if (result != CardResult::ok) return result;
    const std::uint64_t card_hz = std::uint64_t{decode_csd(csd, register_layout()).max_rate_kbit} * 1000;
    if (card_hz > spi::init_hz) data_hz_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(card_hz, link().capabilities().top_hz));
    return result;
}

CardType Card::type(const CsdInfo& csd) const {
    switch (way_) {
        case InitWay::mmc: return CardType::mmc;
        case InitWay::sd_v1: return CardType::sdsc_v1;
        case InitWay::sd_v2:
            if (!block_addressing_) return CardType::sdsc_v2;
            return csd.capacity_bytes >= sdxc_smallest_bytes ? CardType::sdxc : CardType::sdhc;
        default: return CardType::unknown;
    }
}

std::uint64_t Card::capacity_sectors() {
    if (capacity_read_) return capacity_;
    CardRegister csd{};
    if (read_csd(csd) == CardResult::ok) {
        const CsdInfo info = decode_csd(csd, register_layout());
        if (info.capacity_known) capacity_ = info.capacity_bytes / sector_size;
    }
    capacity_read_ = true;
    return capacity_;
}
