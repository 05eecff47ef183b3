// The result of an operation that can fail for a reason worth telling the
// user: success, or one line that says what failed and what to do.
#pragma once

#include <string>
#include <utility>

class [[nodiscard]] Outcome {
public:
    static Outcome ok() { return Outcome{}; }
    static Outcome failed(std::string why) { return Outcome{std::move(why)}; }

    explicit operator bool() const { return why_.empty(); }
    const std::string& why() const { return why_; }

private:
    Outcome() = default;
    explicit Outcome(std::string why) : why_(why.empty() ? "failed" : std::move(why)) {}
    std::string why_;
};
