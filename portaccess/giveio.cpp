// Port access on an NT-family system through the port-access driver, which
// is opened, or started, or installed and started as a service. Elsewhere
// the ports need no driver.
#include "portaccess/giveio.h"

#include "portaccess/win32_api.h"

namespace {

using win32::api;
using win32::Dword;

const char* const giveio_dname = "\\\\.\\giveio";
const char* const giveio_fname = "giveio.sys";
const char* const giveio_sname = "giveio";

constexpr int manager_unavailable = 1;

win32::ScHandle hSCMan = nullptr;

int is_winnt() {
    win32::OsVersionInfo info{};
    info.size = sizeof info;
    if (!api.GetVersionExA(&info)) return 0;
    return info.platform_id == win32::platform_win32_nt ? 1 : 0;
}

int OpenServiceControlManager() {
    if (hSCMan) return 0;
    hSCMan = api.OpenSCManagerA(nullptr, nullptr, win32::sc_manager_all_access);
    return hSCMan ? 0 : static_cast<int>(api.GetLastError());
}

void ClseServiceControlManager() {
    if (hSCMan) (void)api.CloseServiceHandle(hSCMan);
    hSCMan = nullptr;
}

int DriverInstall(const char* file, const char* service) {
    if (OpenServiceControlManager() != 0) return manager_unavailable;
    char path[win32::max_path] = {};
    const Dword length = api.GetFullPathNameA(file, win32::max_path, path, nullptr);
    if (length == 0) return static_cast<int>(api.GetLastError());
    if (length >= win32::max_path) return win32::error_filename_exceeds_range;
    const win32::ScHandle created = api.CreateServiceA(
        hSCMan, service, service, win32::service_all_access, win32::service_kernel_driver,
        win32::service_demand_start, win32::service_error_normal, path, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!created) return static_cast<int>(api.GetLastError());
    (void)api.CloseServiceHandle(created);
    return 0;
}

// Opens the service, applies operation to it, closes it again.
int with_service(const char* service, bool (*operation)(win32::ScHandle)) {
    if (OpenServiceControlManager() != 0) return manager_unavailable;
    const win32::ScHandle handle = api.OpenServiceA(hSCMan, service, win32::service_all_access);
    if (!handle) return static_cast<int>(api.GetLastError());
    const int result = operation(handle) ? 0 : static_cast<int>(api.GetLastError());
    (void)api.CloseServiceHandle(handle);
    return result;
}

int DriverStart(const char* service) {
    return with_service(service, [](win32::ScHandle h) { return api.StartServiceA(h, 0, nullptr) != 0; });
}

int DriverStop(const char* service) {
    return with_service(service, [](win32::ScHandle h) {
        win32::ServiceStatus status{};
        return api.ControlService(h, win32::service_control_stop, &status) != 0;
    });
}

int DriverRemove(const char* service) {
    return with_service(service, [](win32::ScHandle h) { return api.DeleteService(h) != 0; });
}

bool device_opens() {
    const win32::Handle device = api.CreateFileA(giveio_dname, win32::generic_read, 0, nullptr, win32::open_existing,
                                                 win32::file_attribute_normal, nullptr);
    if (device == win32::invalid_handle_value()) return false;
    (void)api.CloseHandle(device);
    return true;
}

// A failed run takes back a service it installed, so that later runs do
// not meet a registration they cannot use; false when that failed.
bool undo_installation(bool started) {
    const bool stopped = !started || DriverStop(giveio_sname) == 0;
    const bool removed = DriverRemove(giveio_sname) == 0;
    return stopped && removed;
}

int driver_level(bool& left_installed) {
    bool installed = false;
    bool started = false;
    for (int level = 2;; ++level) {
        if (level > 3) {
            if (DriverInstall(giveio_fname, giveio_sname) != 0) break;
            installed = true;
        }
        if (level > 2) {
            if (DriverStart(giveio_sname) != 0) continue;
            started = installed;
        }
        if (device_opens()) return level;
    }
    left_installed = installed && !undo_installation(started);
    return 0;
}

}  // namespace

int giveio_start(bool& left_installed) {
    left_installed = false;
    return is_winnt() ? driver_level(left_installed) : 1;
}

int giveio_start() {
    bool left_installed = false;
    return giveio_start(left_installed);
}

int giveio_stop(int level) {
    if (!is_winnt()) return 0;
    if (level > 2) {
        if (DriverStop(giveio_sname) != 0) return level;
        if (level > 3 && DriverRemove(giveio_sname) != 0) return level;
    }
    ClseServiceControlManager();
    return 0;
}

