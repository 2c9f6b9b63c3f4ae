/*
 * xolest/keldor.h - stand-in for the host's logging library KELDOR.
 *
 * The driver module logs through err(class, format, ...). This library
 * formats the text and hands it to a sink: by default standard error, one
 * line per call; a host program may install its own sink.
 *
 * On Linux the symbols carry the version KELDOR_1.0, so a module linked
 * against this library never binds to the C library's err(3), which prints
 * and exits the process.
 *
 * err has the name, not the type, of the C library's err(3) from <err.h>:
 * declaring both in one file fails to compile. So this header declares err
 * only where KELDOR_DECLARE_ERR is defined (the module's and the library's
 * own builds define it). A host that only installs a sink includes this
 * header beside <err.h> freely; a host that calls err itself defines
 * KELDOR_DECLARE_ERR before the include and does without <err.h>.
 */
#ifndef XOLEST_KELDOR_H
#define XOLEST_KELDOR_H

#if defined(_WIN32)
#if defined(KELDOR_BUILDING)
#define KELDOR_API __declspec(dllexport)
#else
#define KELDOR_API __declspec(dllimport)
#endif
#define KELDOR_CALL __cdecl
#else
#define KELDOR_API __attribute__((visibility("default")))
#define KELDOR_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void(KELDOR_CALL* KeldorSink)(int cls, const char* text, void* user);

#if defined(KELDOR_DECLARE_ERR)
/* Logs one message; returns the length of the formatted text. */
KELDOR_API int KELDOR_CALL err(int cls, const char* format, ...);
#endif

/* Installs a sink for every later message; a null sink restores standard error. */
KELDOR_API void KELDOR_CALL KeldorSetSink(KeldorSink sink, void* user);

#ifdef __cplusplus
}
#endif

#endif
