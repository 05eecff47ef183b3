// Systems without Win32: GetVersionExA fails, so nothing else is ever called.
#include "portaccess/win32_api.h"

namespace win32 {

namespace {

Bool no_version(OsVersionInfo*) { return 0; }
Dword no_error() { return 0; }

}  // namespace

Api system_api() {
    Api none{};
    none.GetVersionExA = no_version;
    none.GetLastError = no_error;
    return none;
}

Api api = system_api();

}  // namespace win32
