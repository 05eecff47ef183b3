// FTDI's D2XX interface (ftd2xx.dll) as its Programmer's Guide publishes
// it: the handful of calls the FTDI link uses, their status codes and
// flags. Declared here so that nothing of FTDI's is needed at build time;
// the program loads the DLL at run time, a test stand-in exports the same.
#pragma once

#include <cstddef>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The COM headers' "interface" macro would swallow a plain word of the link's.
#undef interface

namespace d2xx {

using Handle = void*;
using Status = ULONG;

// FT_STATUS.
namespace status {
inline constexpr Status ok = 0;
inline constexpr Status invalid_handle = 1;
inline constexpr Status device_not_found = 2;
inline constexpr Status device_not_opened = 3;
inline constexpr Status io_error = 4;
inline constexpr Status insufficient_resources = 5;
inline constexpr Status invalid_parameter = 6;
inline constexpr Status invalid_baud_rate = 7;
inline constexpr Status invalid_args = 16;
inline constexpr Status not_supported = 17;
inline constexpr Status other_error = 18;
inline constexpr Status device_list_not_ready = 19;
}  // namespace status

// FT_DEVICE: the chip a device list entry names.
namespace device {
inline constexpr DWORD ft2232c = 4;  // also the FT2232D and L
inline constexpr DWORD ft232r = 5;
inline constexpr DWORD ft2232h = 6;
inline constexpr DWORD ft4232h = 7;
inline constexpr DWORD ft232h = 8;
inline constexpr DWORD ft_x_series = 9;  // FT230X, FT231X and their kin
}  // namespace device

inline constexpr DWORD open_by_serial_number = 1;  // FT_OpenEx's flags
inline constexpr DWORD open_by_description = 2;
inline constexpr DWORD open_by_location = 4;
inline constexpr DWORD flag_opened = 1;            // FT_FLAGS_OPENED: another process holds it
inline constexpr ULONG purge_rx = 1;
inline constexpr ULONG purge_tx = 2;
inline constexpr std::size_t serial_size = 16;       // FT_GetDeviceInfoDetail's buffers
inline constexpr std::size_t description_size = 64;

// The calls, as GetProcAddress finds them by name (WINAPI).
using CreateDeviceInfoList = Status(WINAPI*)(DWORD* count);
using GetDeviceInfoDetail = Status(WINAPI*)(DWORD index, DWORD* flags, DWORD* type, DWORD* id, DWORD* location,
                                             void* serial, void* description, Handle* handle);
using OpenEx = Status(WINAPI*)(void* what, DWORD how, Handle* handle);
using Close = Status(WINAPI*)(Handle handle);
using ResetDevice = Status(WINAPI*)(Handle handle);
using SetUSBParameters = Status(WINAPI*)(Handle handle, ULONG in_size, ULONG out_size);
using SetLatencyTimer = Status(WINAPI*)(Handle handle, UCHAR ms);
using SetBitMode = Status(WINAPI*)(Handle handle, UCHAR mask, UCHAR mode);
using SetBaudRate = Status(WINAPI*)(Handle handle, ULONG baud);
using Purge = Status(WINAPI*)(Handle handle, ULONG mask);
using Write = Status(WINAPI*)(Handle handle, void* data, DWORD size, DWORD* written);
using Read = Status(WINAPI*)(Handle handle, void* data, DWORD size, DWORD* got);
using GetQueueStatus = Status(WINAPI*)(Handle handle, DWORD* waiting);
using SetTimeouts = Status(WINAPI*)(Handle handle, ULONG read_ms, ULONG write_ms);

}  // namespace d2xx
