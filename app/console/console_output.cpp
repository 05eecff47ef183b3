#include <cerrno>
#include <cstdio>

#include "app/console/console.h"

namespace {

int output_error = 0;

}  // namespace

// A sink takes care of its own output. A write that failed before this flush left its error in errno (nothing
// since has touched it); a failing flush sets errno itself.
bool console_flush() {
    if (current_text_sink()) return true;
    if (output_error != 0) return false;
    const bool failed_before = std::ferror(stdout) != 0;
    const int earlier = errno;
    errno = 0;
    const bool failed_now = std::fflush(stdout) != 0;
    if (failed_now || failed_before) output_error = errno ? errno : failed_before && earlier ? earlier : EIO;
    return output_error == 0;
}

int console_output_error() { return output_error; }
