#include "serve/nbd_server.h"

#include <cstdio>

#include "base/exit_status.h"

#ifdef _WIN32
int serve_card(SectorDevice&, const ServeSettings&, const Operator&) { return fail("--serve is not available on Windows"); }
#else

#include "base/escape.h"
#include "base/operator.h"
#include "disk/sector_device.h"
#include "serve/nbd_service.h"

namespace {

// The sector device behind the server.
class DeviceBackend final : public BlockBackend {
public:
    DeviceBackend(SectorDevice& device, std::uint64_t sectors) : device_(device), sectors_(sectors) {}
    std::uint32_t sector_bytes() const override { return SectorDevice::sector_bytes(); }
    std::uint64_t sectors() const override { return sectors_; }
    bool read(std::uint64_t first, std::span<std::uint8_t> to) override {
        std::uint32_t done = 0;
        return device_.read(static_cast<std::uint32_t>(first), to, done) == CardResult::ok;
    }
    bool write(std::uint64_t first, std::span<const std::uint8_t> from) override {
        std::uint32_t done = 0;
        return device_.write(static_cast<std::uint32_t>(first), from, done) == CardResult::ok;
    }
    // Each write is on the card when its reply goes.
    bool flush() override { return true; }

private:
    SectorDevice& device_;
    std::uint64_t sectors_;
};

}  // namespace

int serve_card(SectorDevice& device, const ServeSettings& settings, const Operator& console) {
    const std::uint64_t sectors = device.sectors();
    if (sectors == 0) return fail("the card does not say its capacity: it cannot be served");
    NbdService service;
    if (Outcome opened = service.open(settings); !opened) return fail(opened.why());
    DeviceBackend backend(device, sectors);
    std::printf("serving %llu sectors %s on %s%s; Ctrl+C ends\n", static_cast<unsigned long long>(sectors),
                settings.writable ? "for reading and writing" : "read-only", escaped(settings.where).c_str(),
                service.tls() ? " (TLS)" : "");
    std::fflush(stdout);
    const ServeStats stats = service.run(backend, console);
    std::printf("served %u clients: %llu reads, %llu writes, %llu failed\n", stats.clients, stats.reads, stats.writes,
                stats.errors);
    return ExitStatus::ok;
}

#endif
