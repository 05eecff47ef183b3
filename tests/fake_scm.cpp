#include "tests/fake_scm.h"

#include "tests/test_util.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace {

using namespace win32;

constexpr Dword error_file_not_found = 2;
constexpr Dword error_invalid_parameter = 87;
constexpr Dword error_service_already_running = 1056;
constexpr Dword error_service_does_not_exist = 1060;
constexpr Dword error_service_not_active = 1062;
constexpr Dword error_service_exists = 1073;
const char* const full_path = "C:\\work\\giveio.sys";

Dword platform = platform_win32_nt;
std::optional<FakeService> service;
bool driver_file = true;
std::map<std::string, Dword> failures;
std::vector<std::string> calls;
Dword last_error = 0;
int open_handles = 0;
char handle_tag;  // handles point here: any non-null value will do

std::string hex(Dword value) { return ::hex("%X", value); }

// Records the call; true when it is to fail (its error already set).
bool called(const std::string& name, const std::string& args = "") {
    calls.push_back(args.empty() ? name : name + " " + args);
    const auto failure = failures.find(name);
    if (failure == failures.end()) return false;
    last_error = failure->second;
    return true;
}

Bool fail_with(Dword error) { last_error = error; return 0; }
Handle new_handle() { ++open_handles; return &handle_tag; }
Bool close_handle() { --open_handles; return 1; }

Bool get_version(OsVersionInfo* info) {
    if (called("GetVersionExA", std::to_string(info->size))) return 0;
    if (info->size != sizeof(OsVersionInfo)) return fail_with(error_invalid_parameter);
    info->platform_id = platform;
    return 1;
}

Dword full_path_name(const char* name, Dword size, char* buffer, char**) {
    called("GetFullPathNameA", std::string(name) + " " + std::to_string(size));
    std::strncpy(buffer, full_path, size);
    return static_cast<Dword>(std::strlen(full_path));
}

Handle create_file(const char* name, Dword access, Dword share, void* security, Dword disposition, Dword attributes,
                   Handle template_file) {
    const bool failed = called("CreateFileA", std::string(name) + " " + hex(access) + " " + hex(share) + " " +
                                                  hex(disposition) + " " + hex(attributes) +
                                                  (security || template_file ? " extra" : ""));
    if (failed) return invalid_handle_value();
    if (std::strcmp(name, "\\\\.\\giveio") != 0 || !service || !service->running) {
        last_error = error_file_not_found;
        return invalid_handle_value();
    }
    return new_handle();
}

Bool close_file(Handle) {
    called("CloseHandle");
    return close_handle();
}

Dword get_last_error() { return last_error; }

ScHandle open_manager(const char* machine, const char* database, Dword access) {
    if (called("OpenSCManagerA", hex(access) + (machine || database ? " remote" : ""))) return nullptr;
    return new_handle();
}

ScHandle create_service(ScHandle, const char* name, const char* display, Dword access, Dword type, Dword start,
                        Dword error_control, const char* path, const char* group, Dword* tag, const char* dependencies,
                        const char* account, const char* password) {
    const bool extras = group || tag || dependencies || account || password;
    if (called("CreateServiceA", std::string(name) + " " + display + " " + hex(access) + " " + hex(type) + " " +
                                     hex(start) + " " + hex(error_control) + " " + path + (extras ? " extra" : "")))
        return nullptr;
    if (service) return fail_with(error_service_exists), nullptr;
    service = FakeService{path, false};
    return new_handle();
}

ScHandle open_service(ScHandle, const char* name, Dword access) {
    if (called("OpenServiceA", std::string(name) + " " + hex(access))) return nullptr;
    if (!service) return fail_with(error_service_does_not_exist), nullptr;
    return new_handle();
}

Bool start_service(ScHandle, Dword argc, const char** argv) {
    if (called("StartServiceA", std::to_string(argc) + (argv ? " argv" : ""))) return 0;
    if (service->running) return fail_with(error_service_already_running);
    if (!driver_file) return fail_with(error_file_not_found);
    service->running = true;
    return 1;
}

Bool control_service(ScHandle, Dword control, ServiceStatus*) {
    if (called("ControlService", hex(control))) return 0;
    if (!service->running) return fail_with(error_service_not_active);
    service->running = false;
    return 1;
}

Bool delete_service(ScHandle) {
    if (called("DeleteService")) return 0;
    service.reset();
    return 1;
}

Bool close_service_handle(ScHandle) {
    called("CloseServiceHandle");
    return close_handle();
}

}  // namespace

void fake_scm_install(Dword platform_id) {
    platform = platform_id;
    service.reset();
    driver_file = true;
    failures.clear();
    calls.clear();
    last_error = 0;
    open_handles = 0;
    win32::api = {get_version,  full_path_name, create_file,   close_file,     get_last_error,      open_manager,
                  create_service, open_service, start_service, control_service, delete_service, close_service_handle};
}

void fake_scm_remove() { win32::api = win32::system_api(); }
void fake_scm_register(bool running) { service = FakeService{full_path, running}; }
void fake_scm_driver_file(bool present) { driver_file = present; }
void fake_scm_fail(const std::string& call, Dword error) { failures[call] = error; }
std::optional<FakeService> fake_scm_service() { return service; }
std::vector<std::string> fake_scm_calls() { return calls; }
int fake_scm_open_handles() { return open_handles; }
