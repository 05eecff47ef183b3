// What the server serves: a run of equal sectors, read and written whole.
// The server turns the clients' byte ranges into runs of sectors and calls
// one backend method at a time.
#pragma once

#include <cstdint>
#include <span>

class BlockBackend {
public:
    virtual ~BlockBackend() = default;
    virtual std::uint32_t sector_bytes() const = 0;
    virtual std::uint64_t sectors() const = 0;
    // Whole sectors from first: the span's length is a multiple of sector_bytes().
    virtual bool read(std::uint64_t first, std::span<std::uint8_t> to) = 0;
    virtual bool write(std::uint64_t first, std::span<const std::uint8_t> from) = 0;
    virtual bool flush() = 0;
};
