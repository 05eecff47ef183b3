#include "serve/nbd_service.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <list>
#include <thread>

#include "base/operator.h"
#include "base/escape.h"
#include "serve/listener.h"
#include "serve/tls.h"

namespace {

// Clients served at once; more are turned away.
constexpr unsigned max_clients = 16;
constexpr int poll_ms = 100;

// One client's thread; done once its connection has ended.
struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
};

void log_dropped(unsigned client, const std::string& why) {
    if (why.empty()) return;
    std::printf("client %u dropped: %s\n", client, escaped(why).c_str());
    std::fflush(stdout);
}

}  // namespace

struct NbdService::Parts {
    Listener listener;
    TlsCredentials credentials;
    bool tls = false;
};

NbdService::NbdService() : parts_(std::make_unique<Parts>()) {}
NbdService::~NbdService() = default;

bool NbdService::tls() const { return parts_->tls; }

Outcome NbdService::open(const ServeSettings& settings) {
    settings_ = settings;
    const bool tcp = Listener::names_tcp(settings.where);
    if (tcp && !settings.insecure && settings.tls_psk.empty() && settings.tls_certificates.empty())
        return Outcome::failed("--serve over TCP needs a key: --tls-psk=FILE (made with psktool) or "
                               "--tls-certificates=DIR; or --insecure on the loopback address");
    if (!settings.tls_psk.empty()) {
        if (Outcome loaded = parts_->credentials.load_psk(settings.tls_psk); !loaded) return loaded;
        parts_->tls = true;
    }
    if (!settings.tls_certificates.empty()) {
        if (Outcome loaded = parts_->credentials.load_x509(settings.tls_certificates); !loaded) return loaded;
        parts_->tls = true;
    }
    if (Outcome opened = parts_->listener.open(settings.where); !opened) return opened;
    if (tcp && !parts_->tls && !parts_->listener.loopback())
        return Outcome::failed("--insecure serves only the loopback address (127.0.0.1, ::1): any other needs "
                               "--tls-psk=FILE or --tls-certificates=DIR");
    return Outcome::ok();
}

ServeStats NbdService::run(BlockBackend& backend, const Operator& console) {
    StopSignal stop;
    ServeShared shared{backend, parts_->tls ? &parts_->credentials : nullptr, settings_.writable, settings_.limits, stop, {}, {}, {}};
    std::list<Worker> workers;
    const auto reap = [&workers] {
        workers.remove_if([](Worker& w) {
            if (!w.done) return false;
            w.thread.join();
            return true;
        });
    };
    unsigned client = 0;
    while (!console.stop_requested()) {
        reap();
        pollfd p{parts_->listener.fd(), POLLIN, 0};
        if (::poll(&p, 1, poll_ms) <= 0) continue;
        const int fd = parts_->listener.accept_client();
        if (fd < 0) continue;
        ++client;
        {
            const std::lock_guard hold(shared.stats_lock);
            shared.stats.clients = client;
        }
        if (workers.size() >= max_clients) {
            ::close(fd);
            log_dropped(client, "turned away: " + std::to_string(max_clients) + " clients are served already");
            continue;
        }
        Worker& w = workers.emplace_back();
        // Ending signals go to this thread, which watches for them; the
        // client's thread starts with them blocked.
        sigset_t ending, before;
        sigfillset(&ending);
        for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) sigdelset(&ending, fault);
        pthread_sigmask(SIG_BLOCK, &ending, &before);
        w.thread = std::thread([&shared, &w, fd, client] {
            const std::string why = NbdConnection(fd, shared).run();
            {
                const std::lock_guard hold(shared.stats_lock);
                log_dropped(client, why);
            }
            w.done = true;
        });
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    stop.raise();
    for (Worker& w : workers) w.thread.join();
    return shared.stats;
}
