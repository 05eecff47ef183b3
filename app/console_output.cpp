#include <cerrno>
#include <cstdio>

#include "app/console.h"

namespace {

int output_error = 0;

}  // namespace

bool console_flush() {
    errno = 0;
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && output_error == 0) output_error = errno ? errno : EIO;
    return output_error == 0;
}

int console_output_error() { return output_error; }
