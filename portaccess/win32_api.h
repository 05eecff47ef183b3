// The Win32 calls that port access makes, in one table: the system's own on
// Windows, a stand-in in tests, and elsewhere a table whose GetVersionExA
// fails, so that the system counts as not of the NT family.
#pragma once

#include <cstdint>

namespace win32 {

using Bool = int;
using Dword = std::uint32_t;
using Handle = void*;
using ScHandle = void*;

inline constexpr Dword platform_win32_nt = 2;
inline constexpr Dword sc_manager_all_access = 0xF003F;
inline constexpr Dword service_all_access = 0xF01FF;
inline constexpr Dword service_kernel_driver = 1;
inline constexpr Dword service_demand_start = 3;
inline constexpr Dword service_error_normal = 1;
inline constexpr Dword service_control_stop = 1;
inline constexpr Dword generic_read = 0x80000000;
inline constexpr Dword open_existing = 3;
inline constexpr Dword file_attribute_normal = 0x80;
inline constexpr Dword max_path = 260;
inline constexpr int error_filename_exceeds_range = 206;

inline Handle invalid_handle_value() { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1)); }

// The layout of OSVERSIONINFOA.
struct OsVersionInfo {
    Dword size;
    Dword major_version;
    Dword minor_version;
    Dword build_number;
    Dword platform_id;
    char csd_version[128];
};
static_assert(sizeof(OsVersionInfo) == 148);

// The layout of SERVICE_STATUS.
struct ServiceStatus {
    Dword fields[7];
};

struct Api {
    Bool (*GetVersionExA)(OsVersionInfo* info);
    Dword (*GetFullPathNameA)(const char* name, Dword size, char* buffer, char** file_part);
    Handle (*CreateFileA)(const char* name, Dword access, Dword share, void* security, Dword disposition,
                          Dword attributes, Handle template_file);
    Bool (*CloseHandle)(Handle handle);
    Dword (*GetLastError)();
    ScHandle (*OpenSCManagerA)(const char* machine, const char* database, Dword access);
    ScHandle (*CreateServiceA)(ScHandle manager, const char* name, const char* display_name, Dword access,
                               Dword service_type, Dword start_type, Dword error_control, const char* path,
                               const char* load_order_group, Dword* tag, const char* dependencies,
                               const char* account, const char* password);
    ScHandle (*OpenServiceA)(ScHandle manager, const char* name, Dword access);
    Bool (*StartServiceA)(ScHandle service, Dword argc, const char** argv);
    Bool (*ControlService)(ScHandle service, Dword control, ServiceStatus* status);
    Bool (*DeleteService)(ScHandle service);
    Bool (*CloseServiceHandle)(ScHandle handle);
};

// The table in force.
extern Api api;
// The system's own table.
Api system_api();

}  // namespace win32
