#include "app/station_wait.h"

#include <chrono>
#include <thread>

#include "app/console/console.h"
#include "base/exit_status.h"
#include "card/card.h"

namespace {

using namespace std::chrono_literals;

// Between looks the socket sleeps this long, waking this often for the ending signal.
constexpr auto look_gap = 750ms;
constexpr auto nap = 50ms;
// A card is gone once this many looks in a row find none, so that one lost answer does not end it.
constexpr int misses_when_gone = 2;

bool stop_asked() { return console_signal_pending() != 0; }

bool rest() {
    for (auto slept = 0ms; slept < look_gap && !stop_asked(); slept += nap) std::this_thread::sleep_for(nap);
    return !stop_asked();
}

// One look, the port taken for it where the link takes one.
Outcome look(Card& card, bool& there) {
    if (Outcome taken = card.link().acquire(); !taken) return taken;
    there = card.answers_reset();
    if (!card.link().release()) return Outcome::failed("the port could not be given back");
    return Outcome::ok();
}

}  // namespace

bool wait_for_card(spi::Link& link, CardWait until) {
    Card card(link);
    for (int misses = 0; !stop_asked();) {
        bool there = false;
        Outcome looked = look(card, there);
        if (looked && !link.healthy())
            looked = Outcome::failed(link.fault().empty() ? "the adapter stopped reaching the socket" : link.fault());
        if (!looked) {
            report_failure(looked.why());
            return false;
        }
        misses = there ? 0 : misses + 1;
        if (until == CardWait::present ? there : misses >= misses_when_gone) return true;
        if (!rest()) return false;
    }
    return false;
}
