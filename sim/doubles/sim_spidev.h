// Simulated cards behind spidev devices, for the spidev link, or on the
// lines of a GPIO chip (via=gpio), for the bit-bang link: a system-call
// table in which /dev/spidev0.N and the GPIO chip /dev/gpiochipN lead to
// device N's own card, on that card's clock (the clock of the device the
// calling thread opened last). The spidev devices are chip selects of one
// controller: the wire's time is shared evenly between those opened.
// It refuses what the kernel refuses: messages over its buffer as spidev
// counts them, mode bits the controller lacks, word sizes other than 8,
// rates under the controller's, GPIO requests gpiolib would not take.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "sim/settings.h"

inline constexpr const char* sim_spidev_device = "/dev/spidev0.0";
inline constexpr const char* sim_gpio_chip = "/dev/gpiochip0";

// Opens the card (behind the controller its supply always on, as a spidev
// adapter's is) as the only device, /dev/spidev0.0 with /dev/gpiochip0, and
// installs the table; on failure installs nothing.
Outcome sim_spidev_install(const SimSettings& settings);
// Adds a device with its own card and settings as the next number N, installing
// the table with the first; safe from several threads. path: /dev/spidev0.N,
// or /dev/gpiochipN for a card on GPIO lines.
Outcome sim_spidev_add(const SimSettings& settings, std::string& path);
// Puts the real system calls back and closes every card.
void sim_spidev_remove();

// What the link asked of the first device, a line a call ("mode 0 no-cs",
// "speed 25000000", "message duplex 8 @400000 keep", "gpio line 5", "cs
// low", "message refused: ..."), for tests; cleared on request.
[[nodiscard]] const std::vector<std::string>& sim_spidev_calls();
void sim_spidev_clear_calls();
// SPI_IOC_MESSAGE calls since the table was installed.
[[nodiscard]] std::uint64_t sim_spidev_messages();
// GPIO value ioctls (set and get) since the table was installed.
[[nodiscard]] std::uint64_t sim_gpio_value_calls();
