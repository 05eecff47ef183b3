// What the work below the program needs of the person at the console:
// whether they asked it to stop, their keys and sector numbers, the lines
// said to them and whether a progress line is worth drawing. The program
// hands its console down as one of these.
#pragma once

#include <cstdint>

// Key code for a key that sends an escape sequence (arrows, function keys).
inline constexpr int key_sequence = 0xE0;
inline constexpr int key_escape = 0x1B;
// What Operator::key gives when input has ended or the user interrupted.
inline constexpr int key_none = -1;

enum class Entry { number, nothing, ended };

class Operator {
public:
    virtual ~Operator() = default;

    // An ending signal (Ctrl+C and the like) has arrived; safe to ask from
    // any thread.
    [[nodiscard]] virtual bool stop_requested() const = 0;
    // From now on single keys, for a run that turns out to need them (a
    // password asked for on the terminal).
    virtual void take_keys() = 0;
    // Flushes the output, then waits for one key: its code, or key_none.
    [[nodiscard]] virtual int key() = 0;
    // Flushes the output, then reads a hex number and the rest of its line:
    // Entry::number stores it in value, Entry::nothing leaves value alone,
    // Entry::ended means input ended or the user interrupted.
    [[nodiscard]] virtual Entry number(std::int32_t& value) = 0;
    // Text to standard output as it is.
    virtual void say(const char* text) = 0;
    // Flushes standard output; false once any write to it has failed.
    [[nodiscard]] virtual bool flush() = 0;
    // True where a rewritten progress line on standard error helps.
    [[nodiscard]] virtual bool shows_progress() const = 0;

protected:
    Operator() = default;
    Operator(const Operator&) = default;
    Operator& operator=(const Operator&) = default;
};
