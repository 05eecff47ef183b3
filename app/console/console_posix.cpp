#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/console/console.h"

namespace {

constexpr int byte_end = -1;          // end of input
constexpr int byte_interrupted = -2;  // a handled signal arrived
constexpr int byte_timeout = -3;
constexpr int sequence_gap_ms = 50;   // a terminal sends a key's sequence at once
// Every signal whose default action ends the program and that does not
// report a fault of the program itself.
constexpr std::array ending_signals{SIGINT,  SIGQUIT, SIGTERM,   SIGHUP,  SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM,
                                    SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT};

volatile std::sig_atomic_t caught_signal = 0;
volatile std::sig_atomic_t keys_wanted = 0;  // the terminal should be in single-key mode
bool terminal_here = false;  // standard input is a terminal, its mode saved
bool is_terminal = false;    // and the program reads single keys from it
bool opened = false;
termios saved{};
sigset_t wait_mask;  // the mask in force while waiting: ending signals let through
std::array<unsigned char, 256> pending;
std::size_t pending_pos = 0;
std::size_t pending_len = 0;

void on_signal(int signal) { caught_signal = signal; }

// Only calls that are safe in a signal handler: it runs on stop and continue too.
void apply_mode(bool keys) {
    termios mode = saved;
    if (keys) {
        mode.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &mode);
}

void set_key_mode(bool keys) {
    if (!is_terminal) return;
    keys_wanted = keys;
    apply_mode(keys);
}

// Calls under way go on after the handler (waits end all the same), so that
// a stop and continue never fails an output write.
void catch_signal(int signal, void (*handler)(int)) {
    struct sigaction action{};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// Ctrl+Z: the terminal as the shell left it while stopped, then stop as
// the signal's default action would.
void on_stop(int) {
    const int error = errno;
    apply_mode(false);
    catch_signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    raise(SIGTSTP);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    catch_signal(SIGTSTP, on_stop);
    errno = error;
}

// Back in the foreground after a stop: single keys again.
void on_continue(int) {
    const int error = errno;
    if (keys_wanted && tcgetpgrp(STDIN_FILENO) == getpgrp()) apply_mode(true);
    errno = error;
}

// Ending signals stay blocked except inside the wait, so they cut a wait
// short but never a card operation.
void route_signals() {
    sigset_t block;
    sigemptyset(&block);
    for (int signal : ending_signals) {
        catch_signal(signal, on_signal);
        sigaddset(&block, signal);
    }
    sigprocmask(SIG_BLOCK, &block, &wait_mask);
    for (int signal : ending_signals) sigdelset(&wait_mask, signal);
}

int pending_signal() {
    sigset_t set;
    sigpending(&set);
    for (int signal : ending_signals) {
        if (!caught_signal && sigismember(&set, signal)) caught_signal = signal;
    }
    return caught_signal;
}

// Waits for input: 1 when there is some, 0 on timeout, -1 when interrupted.
int wait_input(int timeout_ms) {
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    const timespec limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    for (;;) {
        if (caught_signal) return -1;
        const int ready = ppoll(&fd, 1, timeout_ms < 0 ? nullptr : &limit, &wait_mask);
        if (ready >= 0) return ready;
        if (caught_signal) return -1;
    }
}

int next_byte(int timeout_ms) {
    if (pending_pos < pending_len) return pending[pending_pos++];
    const int ready = wait_input(timeout_ms);
    if (ready < 0) return byte_interrupted;
    if (ready == 0) return byte_timeout;
    const ssize_t got = read(STDIN_FILENO, pending.data(), pending.size());
    if (got <= 0) return caught_signal ? byte_interrupted : byte_end;
    pending_pos = 1;
    pending_len = static_cast<std::size_t>(got);
    return pending[0];
}

void unget_byte(int) { --pending_pos; }

}  // namespace

void console_open(bool reads_keys) {
    terminal_here = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    opened = true;
    route_signals();
    if (reads_keys) console_take_keys();
    std::atexit([] { set_key_mode(false); });
}

void console_take_keys() {
    if (!terminal_here || is_terminal) return;
    is_terminal = true;
    catch_signal(SIGTSTP, on_stop);
    catch_signal(SIGCONT, on_continue);
    set_key_mode(true);
}

int console_close() {
    if (!opened) return 0;
    (void)console_flush();
    set_key_mode(false);
    return pending_signal();
}

bool console_shows_progress() { return isatty(STDERR_FILENO); }

int console_signal_pending() { return opened ? pending_signal() : 0; }

// A lone Escape is the Escape key once no further byte follows within the
// gap, from a terminal or a pipe alike.
int console_key() {
    if (!console_flush()) return key_none;
    const int c = next_byte(-1);
    if (c < 0) return key_none;
    if (c != key_escape) return c;
    return key_after_escape([] { return next_byte(sequence_gap_ms); }, unget_byte);
}

// Line mode is on before the prompt shows, so that nothing typed at the
// prompt misses its echo.
Entry console_number(std::int32_t& value) {
    set_key_mode(false);
    if (!console_flush()) return Entry::ended;
    const Entry entry = parse_hex_entry([] { return next_byte(-1); }, value);
    set_key_mode(true);
    return caught_signal ? Entry::ended : entry;
}
