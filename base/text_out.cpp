#include "base/text_out.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

// Each thread's own sink: a station's card threads each have theirs.
thread_local TextSink* thread_sink = nullptr;

}  // namespace

TextSink* text_sink(TextSink* sink) {
    TextSink* before = thread_sink;
    thread_sink = sink;
    return before;
}

TextSink* current_text_sink() { return thread_sink; }

void text_put(TextStream stream, std::string_view text) {
    if (thread_sink) return thread_sink->put(stream, text);
    std::fwrite(text.data(), 1, text.size(), stream == TextStream::out ? stdout : stderr);
}

void text_printf(const char* format, ...) {
    char small[256];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        va_end(again);
        return text_put(TextStream::out, std::string_view(small, static_cast<std::size_t>(length)));
    }
    std::string large(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    large.pop_back();
    text_put(TextStream::out, large);
}

void text_puts(const char* line) {
    text_put(TextStream::out, line);
    text_put(TextStream::out, "\n");
}

void text_flush() {
    if (!thread_sink) std::fflush(stdout);
}
