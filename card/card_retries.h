// Retrying a transfer that failed: how many tries, and what to report
// after them. Only card/ uses it.
#pragma once

#include "card/card.h"
#include "card/protocol.h"

namespace card_retries {

// The failed attempts at one block: past the card's end only when every
// attempt said so (noise can fake it once), else the first other failure.
// Attempts that only confirmed the end are not counted as retries.
class Failures {
public:
    void add(CardResult result) {
        if (failure_ == CardResult::out_of_range) failure_ = result;
        ++attempts_;
    }
    [[nodiscard]] int attempts() const { return attempts_; }
    // The result to report, and the retries that were real.
    CardResult settle(bool done_at_last, std::uint32_t& retries) const {
        const int counted = done_at_last ? attempts_ : attempts_ - 1;
        if (done_at_last || failure_ != CardResult::out_of_range) retries += static_cast<std::uint32_t>(counted);
        return done_at_last ? CardResult::ok : failure_;
    }

private:
    CardResult failure_ = CardResult::out_of_range;
    int attempts_ = 0;
};

}  // namespace card_retries

// Runs attempt once, then again while it fails, up to protocol::read_retries
// more times, while the link is healthy; a failure that is not past the
// card's end is then asked about.
template <class Attempt>
CardResult Card::with_retries(Attempt attempt, std::uint32_t& retries, bool (*worth_it)(const CardFailure&)) {
    card_retries::Failures failures;
    for (int i = 0; i <= protocol::read_retries; ++i) {
        const CardResult result = attempt(failures.attempts() > 0);
        if (result == CardResult::ok) return failures.settle(true, retries);
        // A link that stopped reaching the card ends it: the failure is the link's.
        if (!link().healthy()) return result;
        failures.add(result);
        if (worth_it && !worth_it(failure_)) break;
    }
    const CardResult result = failures.settle(false, retries);
    if (prepared_ && result != CardResult::out_of_range) ask_why();
    return result;
}
