// Stand-in for the host's logging library: formats each message and hands it
// to the installed sink, or writes it to standard error with a newline.
#include <xolest/keldor.h>

#include <cstdarg>
#include <cstdio>

namespace {

KeldorSink g_sink = nullptr;
void* g_user = nullptr;

} // namespace

extern "C" KELDOR_API int KELDOR_CALL err(int cls, const char* format, ...) {
    if (format == nullptr) {
        return 0;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) {
        return length;
    }
    if (g_sink != nullptr) {
        g_sink(cls, text, g_user);
    } else {
        std::fprintf(stderr, "%s\n", text);
        std::fflush(stderr);
    }
    return length;
}

extern "C" KELDOR_API void KELDOR_CALL KeldorSetSink(KeldorSink sink, void* user) {
    g_sink = sink;
    g_user = user;
}
