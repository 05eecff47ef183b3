// Stands in for the system calls of the real-port backends: logs each call
// that acts as one line ("ioperm 378 2 1", "ioctl 3 PPCLAIM", "setresuid
// 1000 1000 1000") and fails the ones it is told to.
#pragma once

class SimCard;

#include <sys/types.h>

#include <string>
#include <vector>

// Installs the stand-in with an empty log, every call succeeding, and the
// ids of a plain user (uid and gid 1000) with no environment.
void fake_system_install();
// Puts the real system calls back.
void fake_system_remove();

// The next call named name ("open", "PPCLAIM", "setresuid", ...) fails with error.
void fake_fail(const std::string& name, int error);
void fake_ids(uid_t uid, uid_t euid, gid_t gid);
void fake_env(const std::string& name, const std::string& value);
// What every path names from now on: a file of type (S_IFCHR, S_IFREG, ...)
// and, for a device, its major number. A parallel port device (99) after install.
void fake_file(mode_t type, unsigned major_number = 0);
// Data writes and status reads go to the simulated card, unlogged.
void fake_port_to_sim(SimCard& card);

const std::vector<std::string>& fake_calls();
