#include "card/mmc_spi.h"

#include "card/card.h"
#include "card/card_failure.h"

namespace {
Card* attached = nullptr;
constexpr std::uint32_t port_run_sectors = 32;
constexpr std::uint32_t bulk_run_sectors = 256;
}  // namespace

void mmc_attach(Card& card) { attached = &card; }
Card& mmc_card() { return *attached; }

CardResult mmc_init_spi() { return attached->init(); }
void mmc_disable() { attached->disable(); }
CardResult card_prepare(bool crc) { return attached->prepare(crc); }
CardResult card_settle_addressing() { return attached->settle_addressing(); }
std::string card_failure_text() { return describe_failure(attached->last_failure()); }
bool card_register_crc16_was_wrong() { return attached->register_crc16_was_wrong(); }
const InitRecord& mmc_init_record() { return attached->init_record(); }
InitWay card_init_way() { return attached->init_way(); }

CardResult spi_read(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) {
    return attached->read(sector, buf);
}
CardResult spi_write(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) {
    return attached->write(sector, buf);
}
CardResult spi_read_blocks(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    return attached->read_blocks(first, buf, done);
}
CardResult spi_write_blocks(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) {
    return attached->write_blocks(first, buf, done);
}
std::uint32_t spi_rereads() { return attached->rereads(); }

CardResult card_identify() { return attached->identify(); }
RegisterLayout card_register_layout() { return attached->register_layout(); }
CardResult card_read_ocr(std::uint32_t& ocr) { return attached->read_ocr(ocr); }
CardResult card_read_cid(CardRegister& cid) { return attached->read_cid(cid); }
CardResult card_read_csd(CardRegister& csd) { return attached->read_csd(csd); }
CardType card_type(const CsdInfo& csd) { return attached->type(csd); }
std::uint64_t card_capacity_sectors() { return attached->capacity_sectors(); }
bool card_block_addressed() { return attached->block_addressed(); }
std::uint64_t card_clock_ns() { return attached->link().now_ns(); }
std::uint32_t card_run_sectors() {
    return attached->link().capabilities().read_ahead > 1 ? bulk_run_sectors : port_run_sectors;
}
