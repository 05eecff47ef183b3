// The result of an operation that can fail for a reason worth telling the
// user: success, or one line that says what failed and what to do.
#pragma once

#include <string>
#include <utility>

class [[nodiscard]] Outcome {
public:
    static Outcome ok() { return Outcome{}; }
    static Outcome failed(std::string why) { return Outcome{std::move(why)}; }
    // Failed because another process holds what was asked for (a card, a
    // port, a file): the run ends with status 1, not as a usage error.
    static Outcome in_use(std::string why) {
        Outcome outcome{std::move(why)};
        outcome.in_use_ = true;
        return outcome;
    }

    explicit operator bool() const { return why_.empty(); }
    const std::string& why() const { return why_; }
    [[nodiscard]] bool held_elsewhere() const { return in_use_; }

private:
    Outcome() = default;
    explicit Outcome(std::string why) : why_(why.empty() ? "failed" : std::move(why)) {}
    std::string why_;
    bool in_use_ = false;
};
