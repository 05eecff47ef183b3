#include "app/card_io.h"

CardResult card_read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    return spi_read_blocks(first, buf, done);
}

CardResult card_write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) {
    return spi_write_blocks(first, buf, done);
}

std::uint32_t card_rereads() { return spi_rereads(); }

std::uint64_t card_sectors() { return card_capacity_sectors(); }
