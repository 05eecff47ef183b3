#include "card/pause.h"

#ifdef _WIN32
#include <windows.h>

void mmc_pause_ms(unsigned ms) { Sleep(ms); }
#else
#include <cerrno>
#include <ctime>

void mmc_pause_ms(unsigned ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
#endif
