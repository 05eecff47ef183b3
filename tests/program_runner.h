// Runs the built program as a user would: through pipes, or on a
// pseudo-terminal that the test types into.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

// How long a run of the program may stay silent, or a wait for its text or
// its end may last, before the test takes it for hung and kills it. A hang
// guard only: far above what any run takes on a slow or busy machine.
constexpr int hang_guard_ms = 120000;

struct RunResult {
    std::string out;
    std::string err;
    int status;  // exit status, or 128 + signal when killed
};

struct PipedRun {
    int as_uid = -1;               // run as this user (with that group and no others)
    bool hold_input = false;       // keep standard input open after the input...
    std::string close_input_after; // ...until the output shows this (for ever when empty)
    std::string output_to;         // standard output to this file instead of a pipe
    int quiet_limit_ms = hang_guard_ms;  // a program silent this long is killed: status -1
    long file_size_limit = -1;     // bytes: writes past this offset fail (EFBIG)
};

// Where the programs this test process runs keep their port lock files
// (VANTACLE_LOCK_DIR): a directory of its own, removed when it ends.
const std::string& program_lock_dir();

// Runs the program with args, input on standard input (then closed unless held).
RunResult run_piped(const std::vector<std::string>& args, const std::string& input, const PipedRun& how = {});

// The program on a pseudo-terminal as its controlling terminal (standard
// input and output); standard error goes to a pipe.
class PtySession {
public:
    explicit PtySession(const std::vector<std::string>& args);
    ~PtySession();
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    void type(const std::string& keys);
    // Sends the program a signal, as kill does.
    void signal(int number);
    // Waits until text appears after what earlier waits matched.
    bool wait_for(const std::string& text, int timeout_ms = hang_guard_ms);
    // Waits for the program to end and returns its status.
    int finish(int timeout_ms = hang_guard_ms);
    const std::string& transcript() const { return transcript_; }
    // The terminal's mode as the program left it.
    termios mode() const;
    // Sets the terminal's mode, as a shell does when a job stops.
    void set_mode(const termios& mode);

private:
    bool pump(int timeout_ms);
    int master_ = -1;
    int slave_ = -1;
    pid_t pid_ = -1;
    std::string transcript_;
    std::size_t matched_ = 0;
};
