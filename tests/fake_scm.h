// An in-process stand-in for the Win32 calls of port access: a service
// database, the driver file, the driver's device, and failures on demand.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "portaccess/win32_api.h"

struct FakeService {
    std::string path;
    bool running;
};

// Installs the stand-in with an empty database, reporting platform id.
void fake_scm_install(win32::Dword platform = win32::platform_win32_nt);
void fake_scm_remove();

void fake_scm_register(bool running);
void fake_scm_driver_file(bool present);
// Every later call of that name fails with error.
void fake_scm_fail(const std::string& call, win32::Dword error);

std::optional<FakeService> fake_scm_service();
// The calls made, one a line with their arguments in hex.
std::vector<std::string> fake_scm_calls();
int fake_scm_open_handles();
