// Keys and number entries on Windows: single keys from the console with
// _getch, entries as lines from standard input (which the console echoes and
// lets the user edit). When standard input is not a console, keys and
// entries are both read from it in order, and a lone Escape is told from an
// escape sequence by the gap after it, as on a terminal.
#include <conio.h>
#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdio>

#include "app/console/console.h"

namespace {

constexpr int ctrl_c = 0x03;
constexpr DWORD interrupt_settle_ms = 100;
// The system ends a process about five seconds after its console closes.
constexpr DWORD close_wait_ms = 4500;
// A key's escape sequence arrives at once; a lone Escape has nothing after it.
constexpr DWORD sequence_gap_ms = 50;
constexpr DWORD pipe_poll_ms = 10;

bool is_console = false;
bool opened = false;
volatile LONG interrupted = 0;
HANDLE closing_done = nullptr;  // set once the closing steps have run

// Ctrl+C and Ctrl+Break end the run through its closing steps. Closing the
// window, logging off or shutting down end the process as soon as this
// returns, so it waits for those steps (the sector in hand put back, the
// card powered down, the driver stopped) first.
BOOL WINAPI on_console_event(DWORD event) {
    const bool ends_process = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && !ends_process) return FALSE;
    InterlockedExchange(&interrupted, 1);
    if (ends_process && closing_done) WaitForSingleObject(closing_done, close_wait_ms);
    return TRUE;
}

// A console read cut short by Ctrl+C ends like end of input; the handler
// that says so runs on a thread of its own, so give it a moment.
bool interrupted_now(bool input_ended) {
    if (input_ended && is_console && !interrupted) Sleep(interrupt_settle_ms);
    return interrupted != 0;
}

int next_byte() {
    if (interrupted) return -1;
    const int c = std::getchar();
    if (c == EOF) interrupted_now(true);
    return c == EOF ? -1 : c;
}

void unget_byte(int c) { std::ungetc(c, stdin); }

// Whether a byte comes within the gap after Escape: a pipe is watched (its
// writer may still be sending, or waiting for the program); a file, or a
// pipe whose writer has gone, answers at once when read.
bool byte_follows() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    for (DWORD waited = 0;; waited += pipe_poll_ms) {
        DWORD available = 0;
        if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr) || available > 0) return true;
        if (waited >= sequence_gap_ms) return false;
        Sleep(pipe_poll_ms);
    }
}

int byte_after_escape() { return byte_follows() ? next_byte() : -1; }

int console_keypress() {
    const int c = _getch();
    if (c != ctrl_c) return c;
    InterlockedExchange(&interrupted, 1);
    return key_none;
}

}  // namespace

// A console gives single keys without echo whatever its mode.
void console_take_keys() {}

void console_open(bool) {
    is_console = _isatty(_fileno(stdin));
    // Unbuffered, so that what a pipe holds is what has not been read yet.
    if (!is_console) std::setvbuf(stdin, nullptr, _IONBF, 0);
    opened = true;
    closing_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int console_close() {
    (void)console_flush();
    if (closing_done) SetEvent(closing_done);
    return console_signal_pending();
}

bool console_shows_progress() { return _isatty(_fileno(stderr)); }

int console_signal_pending() { return opened && interrupted ? SIGINT : 0; }

int console_key() {
    if (!console_flush() || interrupted) return key_none;
    if (is_console) return console_keypress();
    const int c = next_byte();
    if (c < 0) return key_none;
    return c == key_escape ? key_after_escape(byte_after_escape, unget_byte) : c;
}

Entry console_number(std::int32_t& value) {
    if (!console_flush()) return Entry::ended;
    const Entry entry = parse_hex_entry(next_byte, value);
    return interrupted_now(entry == Entry::ended) ? Entry::ended : entry;
}
