#include "app/nbd_server.h"

#include <cstdio>

#include "app/exit_status.h"

#ifdef _WIN32
int serve_card(const ServeSettings&) { return fail("--serve is not available on Windows"); }
#else

#include "base/escape.h"
#include "app/console.h"
#include "serve/nbd_service.h"
#include "card/mmc_spi.h"

namespace {

// The card behind the server.
class CardBackend final : public BlockBackend {
public:
    explicit CardBackend(std::uint64_t sectors) : sectors_(sectors) {}
    std::uint32_t sector_bytes() const override { return sector_size; }
    std::uint64_t sectors() const override { return sectors_; }
    bool read(std::uint64_t first, std::span<std::uint8_t> to) override {
        std::uint32_t done = 0;
        return spi_read_blocks(static_cast<std::uint32_t>(first), to, done) == CardResult::ok;
    }
    bool write(std::uint64_t first, std::span<const std::uint8_t> from) override {
        std::uint32_t done = 0;
        return spi_write_blocks(static_cast<std::uint32_t>(first), from, done) == CardResult::ok;
    }
    // Each write is on the card when its reply goes.
    bool flush() override { return true; }

private:
    std::uint64_t sectors_;
};

bool signal_came() { return console_signal_pending() != 0; }

}  // namespace

int serve_card(const ServeSettings& settings) {
    const std::uint64_t sectors = card_capacity_sectors();
    if (sectors == 0) return fail("the card does not say its capacity: it cannot be served");
    NbdService service;
    if (Outcome opened = service.open(settings); !opened) return fail(opened.why());
    CardBackend card(sectors);
    std::printf("serving %llu sectors %s on %s%s; Ctrl+C ends\n", static_cast<unsigned long long>(sectors),
                settings.writable ? "for reading and writing" : "read-only", escaped(settings.where).c_str(),
                service.tls() ? " (TLS)" : "");
    std::fflush(stdout);
    const ServeStats stats = service.run(card, signal_came);
    std::printf("served %u clients: %llu reads, %llu writes, %llu failed\n", stats.clients, stats.reads, stats.writes,
                stats.errors);
    return ExitStatus::ok;
}

#endif
