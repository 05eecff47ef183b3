// The simulated card behind a spidev device, for the spidev link: a
// system-call table in which /dev/spidev0.0 (and the GPIO chip
// /dev/gpiochip0) lead to the card, a byte at a time, on the card's clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "sim/settings.h"

inline constexpr const char* sim_spidev_device = "/dev/spidev0.0";
inline constexpr const char* sim_gpio_chip = "/dev/gpiochip0";

// Opens the card (its supply always on, as a spidev adapter's is) and
// installs the table; on failure installs nothing.
Outcome sim_spidev_install(const SimSettings& settings);
// Puts the real system calls back and closes the card.
void sim_spidev_remove();

// What the link asked of the device, a line a call ("mode 0x40", "speed
// 25000000", "message 7+1 cs", "gpio 1"), for tests; cleared on request.
[[nodiscard]] const std::vector<std::string>& sim_spidev_calls();
void sim_spidev_clear_calls();
// SPI_IOC_MESSAGE calls since the table was installed.
[[nodiscard]] std::uint64_t sim_spidev_messages();
