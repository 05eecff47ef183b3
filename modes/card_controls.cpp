#include "modes/card_controls.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <sstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/exit_status.h"
#include "base/operator.h"
#include "base/text_out.h"
#include "modes/progress.h"
#include "base/safe_file.h"
#include "card/card.h"
#include "card/card_controls.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

using Control = Options::Control;

constexpr int key_enter = '\r';
constexpr int key_line_feed = '\n';
constexpr int key_backspace = 0x08;
constexpr int key_delete = 0x7F;
// A lock command's busy time, as long as a written block's may be.
constexpr std::uint64_t lock_busy_ms = 1000;
// Sectors per erase command: Ctrl+C takes effect between commands.
constexpr std::uint32_t erase_chunk_sectors = 32768;

std::string hex_sector(std::uint64_t sector) {
    char text[20];
    std::snprintf(text, sizeof text, "%06llX", static_cast<unsigned long long>(sector));
    return text;
}

bool stdin_is_terminal() {
#ifdef _WIN32
    return _isatty(0) != 0;
#else
    return isatty(0) != 0;
#endif
}

// Passwords come from the file's lines, one after another, or are asked
// for on the terminal without echo; never from the command line.
class Passwords {
public:
    Passwords() = default;
    // Reads the file's lines, each a password of at most 16 bytes.
    Outcome read_file(const std::string& path) {
        std::string text;
        bool exists = false;
        if (Outcome read = read_whole_file(path, "the password file", true, text, exists); !read) return read;
        if (!exists) return Outcome::failed("cannot read the password file " + path);
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > password_max) return Outcome::failed("a password in " + path + " is longer than 16 bytes");
            lines_.push_back(line);
        }
        if (lines_.empty()) return Outcome::failed("the password file " + path + " is empty");
        from_file_ = true;
        return Outcome::ok();
    }

    // Passwords not in a file are asked for on console.
    void ask_on(Operator& console) { console_ = &console; }

    [[nodiscard]] bool available() const { return from_file_ ? next_ < lines_.size() : stdin_is_terminal(); }
    [[nodiscard]] bool from_file() const { return from_file_; }
    [[nodiscard]] std::size_t left_in_file() const { return lines_.size() - next_; }

    // The next password; fails when none is left or the user ends the entry.
    Outcome next(const char* prompt, std::string& password) {
        if (from_file_) {
            if (next_ >= lines_.size()) return Outcome::failed("the password file has too few lines");
            password = lines_[next_++];
            return Outcome::ok();
        }
        if (!stdin_is_terminal() || !console_) return Outcome::failed("no password: give it with --password-file=FILE");
        return ask(*console_, prompt, password);
    }

private:
    static Outcome ask(Operator& console, const char* prompt, std::string& password) {
        console.take_keys();
        text_put(TextStream::out, prompt);
        password.clear();
        for (;;) {
            const int key = console.key();
            if (key == key_enter || key == key_line_feed) break;
            if (key == key_none || key == key_escape) {
                text_put(TextStream::out, "\n");
                return Outcome::failed("no password given");
            }
            if (key == key_backspace || key == key_delete) {
                if (!password.empty()) password.pop_back();
            } else if (key != key_sequence) {
                password += static_cast<char>(key);
            }
        }
        text_put(TextStream::out, "\n");
        if (password.size() > password_max) return Outcome::failed("a password has at most 16 bytes");
        return Outcome::ok();
    }

    bool from_file_ = false;
    Operator* console_ = nullptr;
    std::vector<std::string> lines_;
    std::size_t next_ = 0;
};

// One CMD42 with the block for flags and passwords; fails when the card
// did not take it.
Outcome lock_command(Card& card, std::uint8_t flags, const std::string& old_password, const std::string& new_password,
                     std::uint64_t busy_ms, const char* refused) {
    LockBlock block{};
    const std::size_t length = lock_block(flags, old_password, new_password, block);
    if (length == 0) return Outcome::failed("a password has at most 16 bytes");
    std::uint8_t status = 0;
    if (card_lock_unlock(card, std::span(block).first(length), busy_ms, status) != CardResult::ok)
        return Outcome::failed("the card did not take the lock command (CMD42)");
    if (status & status_bits::lock_failed) return Outcome::failed(refused);
    return Outcome::ok();
}

const char* protection_name(const CsdInfo& csd) {
    return csd.permanent_write_protect ? "permanent" : csd.temporary_write_protect ? "temporary" : "none";
}

Outcome read_csd(Card& card, CsdInfo& info, CardRegister& csd) {
    if (card.read_csd(csd) != CardResult::ok) return Outcome::failed("the card did not send its CSD");
    info = decode_csd(csd, card.register_layout());
    return Outcome::ok();
}

Outcome not_write_protected(Card& card) {
    CardRegister csd{};
    CsdInfo info;
    if (Outcome read = read_csd(card, info, csd); !read) return read;
    if (info.permanent_write_protect) return Outcome::failed("the card is write-protected for good (PERM_WRITE_PROTECT)");
    if (info.temporary_write_protect)
        return Outcome::failed("the card is write-protected (TMP_WRITE_PROTECT): --unprotect clears it");
    return Outcome::ok();
}

// --protect and --unprotect: the CSD sent back with only TMP_WRITE_PROTECT
// changed, then read again to confirm.
int set_protection(Card& card, bool protect) {
    CardRegister csd{};
    CsdInfo info;
    if (Outcome read = read_csd(card, info, csd); !read) return fail(read.why());
    if (info.permanent_write_protect)
        return fail("the card is write-protected for good (PERM_WRITE_PROTECT): that cannot be undone");
    if (info.temporary_write_protect != protect) {
        if (card_program_csd(card, csd_with_temporary_protect(csd, protect)) != CardResult::ok)
            return fail("the card did not take the new CSD (CMD27)");
        if (Outcome again = read_csd(card, info, csd); !again) return fail(again.why());
        if (info.temporary_write_protect != protect) return fail("the card kept its write protection as it was");
    }
    text_printf("write protection: %s\n", protection_name(info));
    return ExitStatus::ok;
}

// The old password is the one that unlocked the card, or the file's first
// of two lines, or asked; the new one is the next line, or asked twice.
int set_password(Card& card, Passwords& passwords, const std::string* unlocked_with) {
    std::string old_password, new_password, again;
    if (unlocked_with) old_password = *unlocked_with;
    else if (!passwords.from_file() || passwords.left_in_file() >= 2) {
        if (Outcome given = passwords.next("Current password (Enter if none): ", old_password); !given)
            return fail(given.why());
    }
    if (Outcome given = passwords.next("New password: ", new_password); !given) return fail(given.why());
    if (!passwords.from_file()) {
        if (Outcome given = passwords.next("New password again: ", again); !given) return fail(given.why());
        if (again != new_password) return fail("the two new passwords differ: nothing changed");
    }
    if (new_password.empty()) return fail("the new password is empty: nothing changed");
    const Outcome set = lock_command(card, lock_flags::set_password, old_password, new_password, lock_busy_ms,
                                     "the card refused the new password: the old password is wrong");
    if (!set) return fail(set.why());
    text_puts("password set: the card locks itself at every power-up until it is given");
    return ExitStatus::ok;
}

int password_command(Card& card, Control control, Passwords& passwords, const std::string* unlocked_with) {
    std::string password;
    if (unlocked_with) password = *unlocked_with;
    else if (Outcome given = passwords.next("Password: ", password); !given) return fail(given.why());
    const bool clear = control == Control::clear_password;
    // A card with a password locks itself at power-up: one that did not has none.
    const char* refused = !clear                ? "wrong password, or the card has none: it is not locked"
                          : unlocked_with       ? "wrong password: the card keeps it"
                                                : "the card has no password (it was not locked at power-up): nothing to clear";
    const Outcome done =
        lock_command(card, clear ? lock_flags::clear_password : lock_flags::lock, password, "", lock_busy_ms, refused);
    if (!done) return fail(done.why());
    text_puts(clear ? "password cleared" : "the card is locked");
    return ExitStatus::ok;
}

int force_erase(Card& card, bool locked) {
    if (!locked)
        return fail("the card is not locked: --force-erase erases only a locked card whose password is lost (--erase "
                    "erases an unlocked one)");
    text_printf("force erase: the whole card and its password are erased; this may take up to %llu minutes\n",
                static_cast<unsigned long long>(force_erase_ms / 60000));
    text_flush();
    const Outcome erased = lock_command(card, lock_flags::force_erase, "", "", force_erase_ms,
                                        "the card refused the forced erase (it may be write-protected for good)");
    if (!erased) return fail(erased.why());
    std::uint8_t status = 0;
    if (card_read_status(card, status) != CardResult::ok || (status & status_bits::locked))
        return fail("the card is still locked after the forced erase");
    text_puts("the card is erased and has no password");
    return ExitStatus::ok;
}

struct EraseRun {
    std::uint32_t start;
    std::uint64_t count;
    std::uint32_t unit;
    std::optional<std::uint8_t> erased;  // the value erased sectors read as, once known
    std::optional<std::uint8_t> scr_erased;  // what an SD card's SCR says they read as
    std::optional<SdStatusInfo> sd_status;
    std::uint64_t done = 0;
};

// What an SD card's erased sectors read as, and its erase time-out fields.
void read_sd_erase_facts(Card& card, EraseRun& run) {
    ScrRegister scr{};
    if (card_read_scr(card, scr) == CardResult::ok) run.scr_erased = decode_scr(scr).erased_value;
    SdStatusBlock block{};
    if (card_read_sd_status(card, block) == CardResult::ok) run.sd_status = decode_sd_status(block);
}

// What erased sectors read as is read back from one, whatever the SCR says.
void learn_erased_value(Card& card, EraseRun& run, std::uint32_t erased_sector) {
    std::array<std::uint8_t, sector_size> sector{};
    if (run.erased || card.read(erased_sector, sector) != CardResult::ok) return;
    run.erased = erased_value_of(sector);
}

std::uint8_t erased_value(const EraseRun& run) { return run.erased.value_or(run.scr_erased.value_or(0x00)); }

Outcome erase_whole_units(Card& card, EraseRun& run, std::uint64_t from, std::uint64_t to, const Operator& console,
                          Progress& progress) {
    const std::uint32_t chunk = std::max(run.unit, erase_chunk_sectors / run.unit * run.unit);
    for (std::uint64_t at = from; at < to; at += chunk) {
        if (console.stop_requested()) return Outcome::failed("erase stopped");
        const std::uint64_t n = std::min<std::uint64_t>(chunk, to - at);
        const std::uint64_t ms = erase_timeout_ms(run.sd_status ? &*run.sd_status : nullptr, n, run.unit);
        std::uint8_t status = 0;
        if (card_erase(card, static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(at + n - 1), ms) != CardResult::ok ||
            card_read_status(card, status) != CardResult::ok || (status & ~status_bits::locked) != 0)
            return Outcome::failed("the card did not erase sectors " + hex_sector(at) + " to " + hex_sector(at + n - 1));
        learn_erased_value(card, run, static_cast<std::uint32_t>(at));
        run.done += n;
        progress.update(run.done);
    }
    return Outcome::ok();
}

// Sectors at the range's ends that do not fill a whole erase unit are
// written with the erased value instead.
Outcome write_erased(Card& card, EraseRun& run, std::uint64_t from, std::uint64_t to, const Operator& console,
                     Progress& progress) {
    std::array<std::uint8_t, sector_size> erased{};
    erased.fill(erased_value(run));
    for (std::uint64_t at = from; at < to; ++at) {
        if (console.stop_requested()) return Outcome::failed("erase stopped");
        if (card.write(static_cast<std::uint32_t>(at), erased) != CardResult::ok)
            return Outcome::failed("the card did not take the erased value at sector " + hex_sector(at));
        progress.update(++run.done);
    }
    return Outcome::ok();
}

// The range's first and last sectors must read all 00 or all FF now, the
// same value.
Outcome check_erased(Card& card, const EraseRun& run, std::uint8_t& value) {
    std::array<std::uint8_t, sector_size> sector{};
    std::optional<std::uint8_t> seen;
    for (std::uint64_t at : {std::uint64_t{run.start}, run.start + run.count - 1}) {
        const bool read = card.read(static_cast<std::uint32_t>(at), sector) == CardResult::ok;
        const std::optional<std::uint8_t> erased = read ? erased_value_of(sector) : std::nullopt;
        if (!erased || (seen && *seen != *erased))
            return Outcome::failed("sector " + hex_sector(at) + " does not read as 00 or FF after the erase");
        seen = erased;
    }
    value = *seen;
    return Outcome::ok();
}

int erase(Card& card, const Options& o, const Operator& console) {
    CardRegister csd{};
    CsdInfo info;
    if (Outcome read = read_csd(card, info, csd); !read) return fail(read.why());
    const std::uint64_t capacity = card.capacity_sectors();
    EraseRun run{0, capacity, card_erase_unit(csd, card.register_layout()), std::nullopt, std::nullopt, std::nullopt};
    if (o.range) run = {o.range->start, o.range->count, run.unit, std::nullopt, std::nullopt, std::nullopt};
    if (capacity == 0) return fail("the card does not say its capacity: nothing erased");
    if (run.start + run.count > capacity)
        return fail("the range passes the card's end at sector " + hex_sector(capacity) + ": nothing erased");
    if (card.register_layout() == RegisterLayout::sd) read_sd_erase_facts(card, run);
    const std::uint64_t end = run.start + run.count;
    const EraseSpans spans = erase_spans(run.start, run.count, run.unit);
    Progress progress(console, run.count);
    Outcome done = erase_whole_units(card, run, spans.units_from, spans.units_to, console, progress);
    if (done) done = write_erased(card, run, run.start, spans.units_from, console, progress);
    if (done) done = write_erased(card, run, spans.units_to, end, console, progress);
    progress.clear();
    if (!done)
        return fail(done.why() + " after " + std::to_string(run.done) + " of " + std::to_string(run.count) + " sectors");
    std::uint8_t value = 0;
    if (Outcome checked = check_erased(card, run, value); !checked) return fail(checked.why());
    text_printf("erased %llu sectors from %06X: they read as %02X", static_cast<unsigned long long>(run.count),
                static_cast<unsigned>(run.start), value);
    if (run.scr_erased && *run.scr_erased != value) text_printf(" (the card's SCR says %02X)", *run.scr_erased);
    text_printf("\n");
    return ExitStatus::ok;
}

int run_control(Card& card, const Options& o, Passwords& passwords, const std::string* unlocked_with,
                const Operator& console) {
    switch (o.control) {
        case Control::protect: return set_protection(card, true);
        case Control::unprotect: return set_protection(card, false);
        case Control::set_password: return set_password(card, passwords, unlocked_with);
        case Control::clear_password:
        case Control::lock: return password_command(card, o.control, passwords, unlocked_with);
        case Control::erase: {
            if (Outcome writable = not_write_protected(card); !writable) return fail(writable.why());
            return erase(card, o, console);
        }
        default: return ExitStatus::failed;
    }
}

// A locked card is unlocked for the run with the password given; --info
// still shows a locked card without one.
int run_with_card(Card& card, const Options& o, bool writes, Passwords& passwords, const Operator& console,
                  const std::function<int()>& mode) {
    std::uint8_t status = 0;
    const bool knows_status = card_read_status(card, status) == CardResult::ok;
    const bool locked = knows_status && (status & status_bits::locked);
    if (o.control == Control::force_erase) return force_erase(card, locked);
    std::string unlocked_with;
    if (locked) {
        if (!passwords.available() && o.info) return mode();
        if (!passwords.available())
            return fail("the card is locked with a password: give it with --password-file=FILE or on a terminal "
                        "(--force-erase erases a card whose password is lost)");
        if (Outcome given = passwords.next("Password: ", unlocked_with); !given) return fail(given.why());
        const Outcome unlocked =
            lock_command(card, 0, unlocked_with, "", lock_busy_ms, "wrong password: the card stays locked");
        if (!unlocked) return fail(unlocked.why());
    }
    if (o.control != Control::none) return run_control(card, o, passwords, locked ? &unlocked_with : nullptr, console);
    // Writing to a write-protected card would only fail sector by sector.
    if (writes) {
        if (Outcome writable = not_write_protected(card); !writable) return fail(writable.why());
    }
    return mode();
}

}  // namespace

Outcome card_controls_work(const Options& options, CardWork& work) {
    auto passwords = std::make_shared<Passwords>();
    if (!options.password_file.empty()) {
        if (Outcome read = passwords->read_file(options.password_file); !read) return read;
    }
    // The browser keeps the known sequence: it asks for the card's status
    // only when a password was given.
    if (options.control == Control::none && work.setup == CardSetup::known && options.password_file.empty())
        return Outcome::ok();
    if (options.control != Control::none) {
        work.status_without_card = ExitStatus::failed;
        work.setup = CardSetup::checked_crc;
    }
    work.guard = [options, writes = work.writes, passwords](Card& card, Operator& console, const std::function<int()>& mode) {
        passwords->ask_on(console);
        return run_with_card(card, options, writes, *passwords, console, mode);
    };
    return Outcome::ok();
}
