#include "app/mode_work.h"

#include <memory>

#include "base/exit_status.h"
#include "card/card.h"
#include "modes/browser.h"
#include "modes/card_probe.h"
#include "modes/copy.h"
#include "modes/fill.h"
#include "modes/info.h"
#include "modes/put_back.h"
#include "modes/surface_test.h"
#include "serve/nbd_server.h"

Outcome browser_work(const Options& o, CardWork& work) {
    work.run = [](ModeRun& r) { return browse_sectors(r.card, r.console); };
    if (o.crc) work.setup = CardSetup::checked_crc;
    return Outcome::ok();
}

Outcome info_work(const Options&, CardWork& work) {
    work.run = [](ModeRun& r) { return show_card_info(r.card); };
    return Outcome::ok();
}

Outcome surface_test_work(const Options& o, CardWork& work) {
    work.run = [&o](ModeRun& r) { return surface_test(r, o.range); };
    return Outcome::ok();
}

Outcome copy_work(const Options& o, CardWork& work) { return copy_prepare(o, work.run); }

Outcome probe_work(const Options&, CardWork& work) {
    work.run = probe_the_card;
    return Outcome::ok();
}

Outcome serve_work(const Options& o, CardWork& work) {
    ServeSettings settings{o.serve, o.writable, o.insecure, o.tls_psk, o.tls_certificates, {}};
    if (o.timeout) settings.limits.request = std::chrono::seconds(o.timeout);
    if (o.idle) settings.limits.idle = std::chrono::seconds(o.idle);
    work.run = [settings](ModeRun& r) { return serve_card(r.device, settings, r.console); };
    return Outcome::ok();
}

Outcome fill_work(const Options& o, CardWork& work) {
    work.run = [&o](ModeRun& r) { return run_fill(r, o); };
    return fill_prepare(o);
}

Outcome restore_work(const Options& o, CardWork& work) {
    auto journal = std::make_shared<Journal>();
    if (Outcome opened = open_journal(o.restore, *journal); !opened) return opened;
    work.run = [journal](ModeRun& r) { return restore_journal(r, *journal); };
    return Outcome::ok();
}

Outcome control_work(const Options&, CardWork& work) {
    work.run = [](ModeRun&) { return ExitStatus::failed; };
    return Outcome::ok();
}
