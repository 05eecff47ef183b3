// The user's side of the console: the terminal's mode for the run, the
// signals that end it, output errors, single keys and hex number entries.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/operator.h"
#include "base/text_out.h"

// Text to standard output as it is, as the known sequence's lines go out.
inline void say(const char* text) { text_put(TextStream::out, text); }

// Routes the ending signals (Ctrl+C, Ctrl+\ and the like) to the waits.
// With reads_keys it also puts the terminal into single-key mode, gives it
// back on Ctrl+Z and takes single keys again after fg; without, the terminal
// is never touched, so that the run can go on in the background.
void console_open(bool reads_keys);
// Single-key mode from now on, for a run that turns out to need keys (a
// password asked for on the terminal).
void console_take_keys();
// Restores the terminal; returns the signal that interrupted the run, or 0.
[[nodiscard]] int console_close();

// The ending signal (Ctrl+C and the like) that has arrived, or 0; for work
// that runs without waiting for input.
[[nodiscard]] int console_signal_pending();

// Flushes standard output; false once any write to it has failed.
[[nodiscard]] bool console_flush();
// The error (an errno value) of the first failed write to standard output, or 0.
[[nodiscard]] int console_output_error();

// True when standard error is a terminal, where a rewritten progress line helps.
[[nodiscard]] bool console_shows_progress();

// Flushes the output, then waits for one key: its code, or key_none (also
// when the output could not be written).
[[nodiscard]] int console_key();
// Flushes the output, then reads a hex number as "%lx" does and consumes the
// rest of its line. Entry::number stores it in value; Entry::nothing leaves
// value alone; Entry::ended means input ended, the user interrupted or the
// output could not be written.
[[nodiscard]] Entry console_number(std::int32_t& value);

// The console as the modes and the server see it.
class ConsoleOperator final : public Operator {
public:
    [[nodiscard]] bool stop_requested() const override { return console_signal_pending() != 0; }
    void take_keys() override { console_take_keys(); }
    [[nodiscard]] int key() override { return console_key(); }
    [[nodiscard]] Entry number(std::int32_t& value) override { return console_number(value); }
    void say(const char* text) override { ::say(text); }
    [[nodiscard]] bool flush() override { return console_flush(); }
    [[nodiscard]] bool shows_progress() const override { return console_shows_progress(); }
};

// After Escape: ESC [ ... final byte, or ESC O x, is one key that sent a
// sequence; anything else is left (unget) for the next key, and Escape is
// the Escape key itself. get() gives the next byte, or a negative value when
// none follows.
template <class Get, class Unget>
int key_after_escape(Get get, Unget unget) {
    const int c = get();
    if (c == '[') {
        int b;
        do b = get();
        while (b >= 0 && !(b >= 0x40 && b <= 0x7E));
        return key_sequence;
    }
    if (c == 'O') {
        get();
        return key_sequence;
    }
    if (c >= 0) unget(c);
    return key_escape;
}

constexpr int hex_digit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The number rules on their own: get() returns the next byte, or a negative
// value at the end of input. More than eight significant digits do not fit
// the sector number and count as nothing convertible.
template <class Get>
Entry parse_hex_entry(Get get, std::int32_t& value) {
    int c = get();
    while (c == ' ' || (c >= '\t' && c <= '\r')) c = get();
    if (c < 0) return Entry::ended;
    const bool negative = c == '-';
    if (c == '-' || c == '+') c = get();
    bool seen_digit = false;
    int significant = 0;
    if (c == '0') {
        seen_digit = true;
        c = get();
        if (c == 'x' || c == 'X') c = get();
    }
    std::uint32_t number = 0;
    for (int d; (d = hex_digit(c)) >= 0; c = get()) {
        seen_digit = true;
        if (number != 0 || d != 0) ++significant;
        number = number << 4 | static_cast<std::uint32_t>(d);
    }
    while (c >= 0 && c != '\n') c = get();
    if (!seen_digit || significant > 8) return Entry::nothing;
    value = static_cast<std::int32_t>(negative ? 0u - number : number);
    return Entry::number;
}
