#include "app/card_io.h"

namespace {

template <class Span>
auto sector_at(Span buf, std::uint32_t i) {
    return buf.subspan(std::size_t{i} * sector_size).template first<sector_size>();
}

}  // namespace

CardResult card_read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    const auto count = static_cast<std::uint32_t>(buf.size() / sector_size);
    for (done = 0; done < count; ++done) {
        if (const CardResult r = spi_read(static_cast<std::int32_t>(first + done), sector_at(buf, done));
            r != CardResult::ok)
            return r;
    }
    return CardResult::ok;
}

CardResult card_write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) {
    const auto count = static_cast<std::uint32_t>(buf.size() / sector_size);
    for (done = 0; done < count; ++done) {
        if (const CardResult r = spi_write(static_cast<std::int32_t>(first + done), sector_at(buf, done));
            r != CardResult::ok)
            return r;
    }
    return CardResult::ok;
}

std::uint32_t card_rereads() { return 0; }

std::uint64_t card_sectors() { return 0; }
