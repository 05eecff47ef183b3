// The program's text for a person: to standard output and standard error,
// or, on a thread that installed a sink (a station's card, a run that keeps
// standard output for JSON), to that sink.
#pragma once

#include <cstdint>
#include <string_view>

enum class TextStream { out, err };

class TextSink {
public:
    virtual void put(TextStream stream, std::string_view text) = 0;
    // A long run's sectors done of total (0: not known), as often as it likes.
    virtual void progress(std::uint64_t done, std::uint64_t total) = 0;

protected:
    ~TextSink() = default;
};

// Installs sink for the calling thread (nullptr: the standard streams) and
// returns the one it replaces.
TextSink* text_sink(TextSink* sink);
[[nodiscard]] TextSink* current_text_sink();

void text_put(TextStream stream, std::string_view text);
#if defined(__GNUC__)
#ifdef _WIN32
// mingw's C++ runtime formats as glibc does (%zu and %llu included).
__attribute__((format(gnu_printf, 1, 2)))
#else
__attribute__((format(printf, 1, 2)))
#endif
#endif
void text_printf(const char* format, ...);
// A line of text and its newline, as puts writes it.
void text_puts(const char* line);
// Sends what standard output holds on its way (nothing to do for a sink).
void text_flush();
