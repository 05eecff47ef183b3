// Keys and number entries on Windows: single keys from the console with
// _getch, entries as lines from standard input (which the console echoes and
// lets the user edit). When standard input is not a console, keys and
// entries are both read from it in order.
#include <conio.h>
#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdio>

#include "app/console.h"

namespace {

constexpr int ctrl_c = 0x03;
constexpr DWORD interrupt_settle_ms = 100;
// The system ends a process about five seconds after its console closes.
constexpr DWORD close_wait_ms = 4500;

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

int console_keypress() {
    const int c = _getch();
    if (c != ctrl_c) return c;
    InterlockedExchange(&interrupted, 1);
    return key_none;
}

}  // namespace

void console_open() {
    is_console = _isatty(_fileno(stdin));
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
    return c == key_escape ? key_after_escape(next_byte, unget_byte) : c;
}

Entry console_number(std::int32_t& value) {
    if (!console_flush()) return Entry::ended;
    const Entry entry = parse_hex_entry(next_byte, value);
    return interrupted_now(entry == Entry::ended) ? Entry::ended : entry;
}
