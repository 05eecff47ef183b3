// Positions past 2 GiB in stdio files, on every platform the program runs
// on: card images, dumps and the files loaded onto a card.
#pragma once

#include <cstdint>
#include <cstdio>

#ifndef _WIN32
#include <sys/types.h>
#endif

inline bool file_seek(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// The file's size in bytes (0 when it cannot be told); leaves the position at the end.
inline std::uint64_t file_size(std::FILE* file) {
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) != 0) return 0;
    return static_cast<std::uint64_t>(_ftelli64(file));
#else
    if (fseeko(file, 0, SEEK_END) != 0) return 0;
    return static_cast<std::uint64_t>(ftello(file));
#endif
}
