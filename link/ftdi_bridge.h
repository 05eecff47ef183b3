// An FTDI bridge opened through the libftdi table, whichever link drives it:
// found by its USB ids and serial, opened on one interface and its place on
// the USB locked for the run; its bit mode reset and closed when it goes.
// Failures come in libftdi's words with what to do about them.
#pragma once

#include <span>
#include <string>

#include "base/file_lock.h"
#include "base/ftdi_calls.h"
#include "base/outcome.h"

namespace spi {

inline constexpr int ftdi_vendor = 0x0403;

// USB product ids: the FT232H, the FT2232H (and FT2232D, which shares its
// ids), the FT4232H; the FT232R (and the older chips at its ids), the FT-X.
namespace ftdi_product {
inline constexpr int ft232h = 0x6014;
inline constexpr int ft2232 = 0x6010;
inline constexpr int ft4232h = 0x6011;
inline constexpr int ft232r = 0x6001;
inline constexpr int ft_x = 0x6015;
}  // namespace ftdi_product

struct FtdiWanted {
    std::string serial;  // empty: the first bridge found
    int interface = 1;   // 1: A, 2: B
    bool lock = true;    // take the bridge's lock file (a stand-in's card is locked by its image)
};

// The chip's name as people know it, from libftdi's chip type.
[[nodiscard]] std::string ftdi_chip_name(int type);
// "0403:6014".
[[nodiscard]] std::string ftdi_ids(int product);

class FtdiBridge {
public:
    FtdiBridge() = default;
    ~FtdiBridge();
    FtdiBridge(const FtdiBridge&) = delete;
    FtdiBridge& operator=(const FtdiBridge&) = delete;

    // The first bridge of products (tried in order) with the serial wanted;
    // kind names what was looked for when none is found ("FTDI MPSSE bridge").
    Outcome open(const FtdiWanted& wanted, std::span<const int> products, const std::string& kind);
    // Gives the bridge back untouched (bit mode as it is).
    void close();

    [[nodiscard]] ftdi_context* context() const { return ftdi_; }
    [[nodiscard]] int product() const { return product_; }
    [[nodiscard]] int chip_type() const { return ftdi_calls.chip_type(ftdi_); }
    // The last open failed for want of any bridge of the products.
    [[nodiscard]] bool none_found() const { return none_found_; }

private:
    Outcome open_first(const FtdiWanted& wanted, std::span<const int> products, const std::string& kind);
    Outcome why_not_opened(const FtdiWanted& wanted, int product, int result);
    Outcome lock_place(const FtdiWanted& wanted);

    ftdi_context* ftdi_ = nullptr;
    int product_ = 0;
    bool none_found_ = false;
    PortLock lock_;  // one run per bridge interface
};

}  // namespace spi
