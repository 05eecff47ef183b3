// The system's own Win32 calls behind the port-access table.
#include <windows.h>

#include "portaccess/win32_api.h"

namespace win32 {

namespace {

static_assert(sizeof(OSVERSIONINFOA) == sizeof(OsVersionInfo));
static_assert(sizeof(SERVICE_STATUS) == sizeof(ServiceStatus));

Bool get_version(OsVersionInfo* info) { return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info)); }

Dword full_path_name(const char* name, Dword size, char* buffer, char** file_part) {
    return GetFullPathNameA(name, size, buffer, file_part);
}

Handle create_file(const char* name, Dword access, Dword share, void* security, Dword disposition, Dword attributes,
                   Handle template_file) {
    return CreateFileA(name, access, share, static_cast<SECURITY_ATTRIBUTES*>(security), disposition, attributes,
                       template_file);
}

Bool close_handle(Handle handle) { return CloseHandle(handle); }
Dword last_error() { return GetLastError(); }

ScHandle open_manager(const char* machine, const char* database, Dword access) {
    return OpenSCManagerA(machine, database, access);
}

ScHandle create_service(ScHandle manager, const char* name, const char* display_name, Dword access,
                        Dword service_type, Dword start_type, Dword error_control, const char* path,
                        const char* load_order_group, Dword* tag, const char* dependencies, const char* account,
                        const char* password) {
    DWORD tag_id = 0;
    const SC_HANDLE created = CreateServiceA(static_cast<SC_HANDLE>(manager), name, display_name, access,
                                             service_type, start_type, error_control, path, load_order_group,
                                             tag ? &tag_id : nullptr, dependencies, account, password);
    if (tag) *tag = tag_id;
    return created;
}

ScHandle open_service(ScHandle manager, const char* name, Dword access) {
    return OpenServiceA(static_cast<SC_HANDLE>(manager), name, access);
}

Bool start_service(ScHandle service, Dword argc, const char** argv) {
    return StartServiceA(static_cast<SC_HANDLE>(service), argc, argv);
}

Bool control_service(ScHandle service, Dword control, ServiceStatus* status) {
    return ControlService(static_cast<SC_HANDLE>(service), control, reinterpret_cast<SERVICE_STATUS*>(status));
}

Bool delete_service(ScHandle service) { return DeleteService(static_cast<SC_HANDLE>(service)); }
Bool close_service_handle(ScHandle handle) { return CloseServiceHandle(static_cast<SC_HANDLE>(handle)); }

}  // namespace

Api system_api() {
    return {get_version,  full_path_name, create_file,   close_handle,    last_error,     open_manager,
            create_service, open_service, start_service, control_service, delete_service, close_service_handle};
}

Api api = system_api();

}  // namespace win32
