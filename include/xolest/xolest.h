/*
 * xolest.h - host interface of the XOLEST driver module for EST fire alarm
 * panels of the CM1N control model (CIS protocol).
 *
 * A host program loads the module (libxolest.so, xolest.dll), calls XolMain
 * with function code FC_DESCRIBE_DRIVER to learn the context size, allocates
 * a DriverContext of that size (zero-filled is a valid start) and from then
 * on drives everything through XolMain, one call at a time.
 *
 * Calling convention: XolMain uses the C calling convention (__cdecl on
 * 32-bit Windows) and is exported under the undecorated name "XolMain", so
 * GetProcAddress(module, "XolMain") and dlsym(module, "XolMain") both find it.
 *
 * Record layouts. On 32-bit targets every record has exactly the offsets of
 * the host interface (given per field below as "32-bit offset"). On 64-bit
 * targets the fields keep their order with natural alignment: pointers widen
 * to 8 bytes and move the fields after them, the host's own gaps keep their
 * byte counts (given as "64-bit offset"). DriverContext, OpenRequest,
 * ReconfigureRequest, PortSettings, PortConfig and PointValue hold no
 * pointer and are the same on every target. The header checks every offset
 * at compile time.
 *
 * Usable from C (C11 or later) and C++.
 *
 * Calling sequence (examples/host/example_host.c, installed under
 * share/xolest/examples/host, does each step):
 *   1. Load the module; look up "XolMain".
 *   2. FC_DESCRIBE_DRIVER with a null context: it needs none and touches
 *      none. DriverInfo gives the context size, the panel's default line
 *      settings and the default response time-out.
 *   3. Per channel, a context block of contextSize bytes, zero-filled. The
 *      host owns it, passes the same block to every call for that channel
 *      and keeps it until the channel is closed.
 *   4. FC_CHECK_POINT (FC_CHECK_BLOCK for a block of zones) once for every
 *      address the host's users configure; a check needs no context and no
 *      port. Reads and writes take the kind and number the check returned.
 *   5. FC_OPEN_CHANNEL opens and configures the port (enabled 0: the channel
 *      is recorded as unused and nothing is opened).
 *   6. Reading !Z (or writing it) runs a status scan; when the panel's
 *      report is complete it replaces the context's snapshot. Zone reads
 *      (FC_READ_POINT, FC_READ_BLOCK) answer from the snapshot of the last
 *      completed scan; reads of !C and !N ask the panel; writes send control
 *      and system commands.
 *   7. FC_CLOSE_CHANNEL on every way out. FC_REOPEN_CHANNEL opens the
 *      recorded port again; FC_RECONFIGURE_CHANNEL changes port or settings.
 *
 * What blocks, and for how long. Every call returns when its operation has
 * ended: nothing runs in the background and a call cannot be cancelled (on
 * Linux a signal does not end a wait early). With T the time-out in use:
 *   - describe, checks, zone reads, FC_NOT_SERVED: no I/O; microseconds.
 *   - open, reopen, reconfigure, close: the port's own calls; no traffic.
 *   - purge: returns at once with no input waiting; otherwise reads with a
 *     50 ms time-out until a read comes back short: 50 ms or more.
 *   - a count (!C, !N) or a command (control and system points): up to
 *     three tries, each the frame's line time and up to T for the answer;
 *     after a retry the line must stay quiet for one or two T more.
 *   - a scan: one question and answer per status record, about 65 ms a
 *     record at 2400 baud (minutes for a panel reporting every zone); up to
 *     three attempts, an attempt ending at the first reply missing after T.
 *   - T = 0 sets no limit: a panel that falls silent holds the call for ever.
 *
 * One call at a time. The module keeps the current context and its address
 * work area between calls, shared by every context: calls must never
 * overlap, not even for different contexts. Any thread may call; a host that
 * calls from several threads serialises every XolMain call with one lock.
 * The module starts no threads and allocates no memory.
 *
 * What each answer means.
 *   RC_DONE     carried out. A check: the address is valid and kind and
 *               number are filled. A read: the value is filled.
 *   RC_REFUSED  nothing done, or the panel said no: an invalid address,
 *               kind or value, a function not served, a missing record, a
 *               command the panel refused, a count whose last answer failed
 *               its checks.
 *   RC_FAILED   the port or the link failed: the port could not be opened or
 *               closed, or no valid answer came within three tries. A failed
 *               scan keeps the snapshot of the last completed scan.
 *
 * Logging. The module reports a port that fails to open and a status record
 * naming an illegal zone through err(cls, format, ...) of the host's logging
 * library (KELDOR; libkeldor.so / KELDOR.dll stands in for it). Both
 * messages carry the class 32: the class under which the host's log files
 * the driver's messages, the same for both, so a host tells them from its
 * own by it. The stand-in hands the class and the formatted text to the sink
 * installed with KeldorSetSink (<xolest/keldor.h>), or writes the text to
 * standard error.
 */
#ifndef XOLEST_XOLEST_H
#define XOLEST_XOLEST_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define XOL_CALL __cdecl
#else
#define XOL_CALL
#endif

#if defined(_WIN32)
#if defined(XOLEST_BUILDING_MODULE)
#define XOL_API __declspec(dllexport)
#else
#define XOL_API
#endif
#elif defined(__GNUC__)
#define XOL_API __attribute__((visibility("default")))
#else
#define XOL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes: the value XolMain returns for every function code. */
enum {
    RC_DONE = 0,    /* carried out (for a check: the address is valid) */
    RC_REFUSED = 1, /* refused: bad address, kind or function not served, value out of range,
                       or the panel rejected the command */
    RC_FAILED = 2   /* the port or the panel link failed */
};

/* Function codes (DriverRequest.function). Codes 0, 8, 9 and any code
   outside 0..15 are not used and answer RC_REFUSED. */
enum FunctionCode {
    FC_OPEN_CHANNEL = 1,        /* params: OpenRequest */
    FC_PURGE_INPUT = 2,         /* params: none */
    FC_CHECK_POINT = 3,         /* params: PointDefinition */
    FC_CHECK_BLOCK = 4,         /* params: PointDefinition */
    FC_READ_POINT = 5,          /* params: PointRequest, data -> PointValue */
    FC_READ_BLOCK = 6,          /* params: PointRequest, data -> uint16_t[count] */
    FC_WRITE_POINT = 7,         /* params: PointRequest, data -> PointValue */
    FC_NOT_SERVED = 10,         /* params: none; always RC_REFUSED */
    FC_CLOSE_CHANNEL = 11,      /* params: none */
    FC_CLOSE_CHANNEL_ALT = 12,  /* params: none; same operation as 11 */
    FC_REOPEN_CHANNEL = 13,     /* params: none */
    FC_DESCRIBE_DRIVER = 14,    /* params: DriverInfo, filled by the driver */
    FC_RECONFIGURE_CHANNEL = 15 /* params: ReconfigureRequest */
};

/* Point kinds: the letter's character code in a 32-bit field. */
enum PointKind {
    PK_ZONE = 'P',      /* zone status, from the snapshot table */
    PK_CONTROL_A = 'A', /* control points with a template command */
    PK_CONTROL_Q = 'Q',
    PK_CONTROL_T = 'T',
    PK_CONTROL_L = 'L',
    PK_CONTROL_X = 'X',
    PK_GROUP_ZONE = 'O', /* control point by group (bits 16-23) and zone (bits 0-15) */
    PK_SCAN = 'Z',       /* !Z: status scan of the whole panel */
    PK_SYSTEM_R = 'R',   /* !R, !S, !D: one-letter system commands */
    PK_SYSTEM_S = 'S',
    PK_SYSTEM_D = 'D',
    PK_COUNT_N = 'N', /* !N, !C: counts the panel reports */
    PK_COUNT_C = 'C'
};

/* Zones 1..ZONE_COUNT; the status bits a scan sets in a zone's slot. */
#define ZONE_COUNT 6299
#define ZS_CODE1 0x01u
#define ZS_CODE2 0x02u
#define ZS_CODE3 0x04u
#define ZS_CODE7 0x08u
#define ZS_CODE8 0x10u

/* A status scan attempt is begun again after this many records in a row fail their checksum. */
#define XOL_SCAN_BAD_RECORD_LIMIT 32u

#define XOL_CONTEXT_SIZE 12632u
#define XOL_PORT_NAME_SIZE 12u

/* Line settings: four 16-bit words. stopBits: 0 one, 1 one and a half,
   2 two. parity: 0 none, 1 odd, 2 even, 3 mark, 4 space.
   Offsets (every target): baud 0, dataBits 2, stopBits 4, parity 6; size 8. */
typedef struct PortSettings {
    uint16_t baud;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
} PortSettings;

/* The channel's port configuration, kept in the context.
   Offsets (every target): name 0, settings 12, flags 20; size 22. */
typedef struct PortConfig {
    char name[XOL_PORT_NAME_SIZE]; /* NUL-terminated, at most 11 characters */
    PortSettings settings;
    uint16_t flags; /* open flags; OpenChannel stores 8: DTR and RTS held off */
} PortConfig;

/* The driver's whole state for one channel, allocated by the host
   (XOL_CONTEXT_SIZE bytes); a zero-filled block is a valid start.
   Offsets (every target): timeoutTicks 0, enabled 4, port 8, config 12,
   currentZones 34, snapshotZones 6333; size 12632. Zone z lives at index z-1
   of both tables. */
typedef struct DriverContext {
    uint32_t timeoutTicks; /* response time-out in units of 10 ms, as last given */
    uint32_t enabled;      /* enable flag as last given by OpenChannel; 1 after ReopenChannel */
    uint32_t port;         /* the open port, 0 when none */
    PortConfig config;
    uint8_t currentZones[ZONE_COUNT];  /* being collected by a status scan */
    uint8_t snapshotZones[ZONE_COUNT]; /* the last completed status scan */
} DriverContext;

/* The record passed to XolMain.
   32-bit offsets: context 0, function 4, host 8, params 16; size 20.
   64-bit offsets: context 0, function 8, host 12, params 24; size 32. */
typedef struct DriverRequest {
    DriverContext* context; /* this channel's context block */
    int32_t function;       /* FunctionCode */
    uint8_t host[8];        /* the host's own; never read */
    void* params;           /* the operation's parameter record */
} DriverRequest;

/* Filled by FC_DESCRIBE_DRIVER. Both texts are static and owned by the
   driver. banner is 379 bytes of code page 437 text plus its NUL.
   32-bit offsets: driverCode 0, shortName 4, banner 8, contextSize 12,
   defaultTimeout 16, defaultBaud 20, defaultDataBits 22, defaultStopBits 24,
   defaultParity 26, infoFlags 28; size 32.
   64-bit offsets: driverCode 0, shortName 8, banner 16, contextSize 24,
   defaultTimeout 28, defaultBaud 32, defaultDataBits 34, defaultStopBits 36,
   defaultParity 38, infoFlags 40; size 48. */
typedef struct DriverInfo {
    uint32_t driverCode;      /* 70 */
    const char* shortName;    /* "EST" */
    const char* banner;       /* the banner text */
    uint32_t contextSize;     /* 12632 */
    uint32_t defaultTimeout;  /* 4 (units of 10 ms) */
    uint16_t defaultBaud;     /* 2400 */
    uint16_t defaultDataBits; /* 8 */
    uint16_t defaultStopBits; /* 0: one stop bit */
    uint16_t defaultParity;   /* 2: even */
    uint32_t infoFlags;       /* 1 */
} DriverInfo;

/* Parameters of FC_OPEN_CHANNEL.
   Offsets (every target): name 0, enabled 12, timeout 16, settings 20; size 28. */
typedef struct OpenRequest {
    char name[XOL_PORT_NAME_SIZE]; /* NUL-terminated port name */
    uint32_t enabled;              /* 0: the channel is not used */
    uint32_t timeout;              /* response time-out, units of 10 ms; 0 sets no limit (until
                                      a purge that finds input waiting leaves 50 ms) */
    PortSettings settings;
} OpenRequest;

/* Parameters of FC_RECONFIGURE_CHANNEL.
   Offsets (every target): name 0, timeout 12, settings 16; size 24. */
typedef struct ReconfigureRequest {
    char name[XOL_PORT_NAME_SIZE];
    uint32_t timeout; /* units of 10 ms; 0 keeps the recorded one */
    PortSettings settings;
} ReconfigureRequest;

/* Parameters of FC_CHECK_POINT and FC_CHECK_BLOCK.
   32-bit offsets: text 0, host 4, count 12, presetA 16, kind 20, number 24,
   presetB 28, presetC 32; size 36.
   64-bit offsets: text 0, host 8, count 16, presetA 20, kind 24, number 28,
   presetB 32, presetC 36; size 40. */
typedef struct PointDefinition {
    const char* text; /* in: the address text, NUL-terminated */
    uint8_t host[8];  /* the host's own; never read or written */
    int32_t count;    /* in, FC_CHECK_BLOCK only: zones in the block (at most 1000) */
    uint32_t presetA; /* out: 0 */
    uint32_t kind;    /* out: PointKind */
    int32_t number;   /* out: the point's number; untouched for system points */
    uint32_t presetB; /* out: 255 */
    uint32_t presetC; /* out: 16 */
} PointDefinition;

/* The value of one point. Offsets (every target): host 0, value 2; size 4. */
typedef struct PointValue {
    uint16_t host;  /* the host's own; never read or written */
    uint16_t value; /* filled by a read, taken by a write */
} PointValue;

/* Parameters of FC_READ_POINT, FC_READ_BLOCK and FC_WRITE_POINT.
   32-bit offsets: host0 0, kind 12, number 16, host1 20, count 32, host2 36,
   data 40; size 44.
   64-bit offsets: the same up to data 40; size 48. */
typedef struct PointRequest {
    uint8_t host0[12];
    uint32_t kind;   /* PointKind as the check returned it */
    uint32_t number; /* the number as the check returned it */
    uint8_t host1[12];
    int32_t count; /* FC_READ_BLOCK: zone statuses to read */
    uint8_t host2[4];
    void* data; /* PointValue*, or uint16_t[count] for FC_READ_BLOCK */
} PointRequest;

/* The module's one exported function. */
XOL_API int32_t XOL_CALL XolMain(DriverRequest* request);

/* For hosts that look the entry point up at run time. */
typedef int32_t(XOL_CALL* XolMainFunction)(DriverRequest* request);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Compile-time layout checks. */
#ifdef __cplusplus
#define XOL_LAYOUT(cond, what) static_assert(cond, what)
#else
#define XOL_LAYOUT(cond, what) _Static_assert(cond, what)
#endif

XOL_LAYOUT(sizeof(PortSettings) == 8, "PortSettings size");
XOL_LAYOUT(offsetof(PortSettings, baud) == 0, "PortSettings.baud");
XOL_LAYOUT(offsetof(PortSettings, dataBits) == 2, "PortSettings.dataBits");
XOL_LAYOUT(offsetof(PortSettings, stopBits) == 4, "PortSettings.stopBits");
XOL_LAYOUT(offsetof(PortSettings, parity) == 6, "PortSettings.parity");
XOL_LAYOUT(sizeof(PortConfig) == 22, "PortConfig size");
XOL_LAYOUT(offsetof(PortConfig, name) == 0, "PortConfig.name");
XOL_LAYOUT(offsetof(PortConfig, settings) == 12, "PortConfig.settings");
XOL_LAYOUT(offsetof(PortConfig, flags) == 20, "PortConfig.flags");
XOL_LAYOUT(sizeof(DriverContext) == 12632, "DriverContext size");
XOL_LAYOUT(offsetof(DriverContext, timeoutTicks) == 0, "DriverContext.timeoutTicks");
XOL_LAYOUT(offsetof(DriverContext, enabled) == 4, "DriverContext.enabled");
XOL_LAYOUT(offsetof(DriverContext, port) == 8, "DriverContext.port");
XOL_LAYOUT(offsetof(DriverContext, config) == 12, "DriverContext.config");
XOL_LAYOUT(offsetof(DriverContext, currentZones) == 34, "DriverContext.currentZones");
XOL_LAYOUT(offsetof(DriverContext, snapshotZones) == 6333, "DriverContext.snapshotZones");
XOL_LAYOUT(sizeof(OpenRequest) == 28, "OpenRequest size");
XOL_LAYOUT(offsetof(OpenRequest, name) == 0, "OpenRequest.name");
XOL_LAYOUT(offsetof(OpenRequest, enabled) == 12, "OpenRequest.enabled");
XOL_LAYOUT(offsetof(OpenRequest, timeout) == 16, "OpenRequest.timeout");
XOL_LAYOUT(offsetof(OpenRequest, settings) == 20, "OpenRequest.settings");
XOL_LAYOUT(sizeof(ReconfigureRequest) == 24, "ReconfigureRequest size");
XOL_LAYOUT(offsetof(ReconfigureRequest, name) == 0, "ReconfigureRequest.name");
XOL_LAYOUT(offsetof(ReconfigureRequest, timeout) == 12, "ReconfigureRequest.timeout");
XOL_LAYOUT(offsetof(ReconfigureRequest, settings) == 16, "ReconfigureRequest.settings");
XOL_LAYOUT(sizeof(PointValue) == 4, "PointValue size");
XOL_LAYOUT(offsetof(PointValue, host) == 0, "PointValue.host");
XOL_LAYOUT(offsetof(PointValue, value) == 2, "PointValue.value");

#if UINTPTR_MAX == 0xFFFFFFFFu
XOL_LAYOUT(sizeof(DriverRequest) == 20, "DriverRequest size");
XOL_LAYOUT(offsetof(DriverRequest, context) == 0, "DriverRequest.context");
XOL_LAYOUT(offsetof(DriverRequest, function) == 4, "DriverRequest.function");
XOL_LAYOUT(offsetof(DriverRequest, host) == 8, "DriverRequest.host");
XOL_LAYOUT(offsetof(DriverRequest, params) == 16, "DriverRequest.params");
XOL_LAYOUT(sizeof(DriverInfo) == 32, "DriverInfo size");
XOL_LAYOUT(offsetof(DriverInfo, driverCode) == 0, "DriverInfo.driverCode");
XOL_LAYOUT(offsetof(DriverInfo, shortName) == 4, "DriverInfo.shortName");
XOL_LAYOUT(offsetof(DriverInfo, banner) == 8, "DriverInfo.banner");
XOL_LAYOUT(offsetof(DriverInfo, contextSize) == 12, "DriverInfo.contextSize");
XOL_LAYOUT(offsetof(DriverInfo, defaultTimeout) == 16, "DriverInfo.defaultTimeout");
XOL_LAYOUT(offsetof(DriverInfo, defaultBaud) == 20, "DriverInfo.defaultBaud");
XOL_LAYOUT(offsetof(DriverInfo, defaultDataBits) == 22, "DriverInfo.defaultDataBits");
XOL_LAYOUT(offsetof(DriverInfo, defaultStopBits) == 24, "DriverInfo.defaultStopBits");
XOL_LAYOUT(offsetof(DriverInfo, defaultParity) == 26, "DriverInfo.defaultParity");
XOL_LAYOUT(offsetof(DriverInfo, infoFlags) == 28, "DriverInfo.infoFlags");
XOL_LAYOUT(sizeof(PointDefinition) == 36, "PointDefinition size");
XOL_LAYOUT(offsetof(PointDefinition, text) == 0, "PointDefinition.text");
XOL_LAYOUT(offsetof(PointDefinition, host) == 4, "PointDefinition.host");
XOL_LAYOUT(offsetof(PointDefinition, count) == 12, "PointDefinition.count");
XOL_LAYOUT(offsetof(PointDefinition, presetA) == 16, "PointDefinition.presetA");
XOL_LAYOUT(offsetof(PointDefinition, kind) == 20, "PointDefinition.kind");
XOL_LAYOUT(offsetof(PointDefinition, number) == 24, "PointDefinition.number");
XOL_LAYOUT(offsetof(PointDefinition, presetB) == 28, "PointDefinition.presetB");
XOL_LAYOUT(offsetof(PointDefinition, presetC) == 32, "PointDefinition.presetC");
XOL_LAYOUT(sizeof(PointRequest) == 44, "PointRequest size");
XOL_LAYOUT(offsetof(PointRequest, host0) == 0, "PointRequest.host0");
XOL_LAYOUT(offsetof(PointRequest, kind) == 12, "PointRequest.kind");
XOL_LAYOUT(offsetof(PointRequest, number) == 16, "PointRequest.number");
XOL_LAYOUT(offsetof(PointRequest, host1) == 20, "PointRequest.host1");
XOL_LAYOUT(offsetof(PointRequest, count) == 32, "PointRequest.count");
XOL_LAYOUT(offsetof(PointRequest, host2) == 36, "PointRequest.host2");
XOL_LAYOUT(offsetof(PointRequest, data) == 40, "PointRequest.data");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
XOL_LAYOUT(sizeof(DriverRequest) == 32, "DriverRequest size");
XOL_LAYOUT(offsetof(DriverRequest, context) == 0, "DriverRequest.context");
XOL_LAYOUT(offsetof(DriverRequest, function) == 8, "DriverRequest.function");
XOL_LAYOUT(offsetof(DriverRequest, host) == 12, "DriverRequest.host");
XOL_LAYOUT(offsetof(DriverRequest, params) == 24, "DriverRequest.params");
XOL_LAYOUT(sizeof(DriverInfo) == 48, "DriverInfo size");
XOL_LAYOUT(offsetof(DriverInfo, driverCode) == 0, "DriverInfo.driverCode");
XOL_LAYOUT(offsetof(DriverInfo, shortName) == 8, "DriverInfo.shortName");
XOL_LAYOUT(offsetof(DriverInfo, banner) == 16, "DriverInfo.banner");
XOL_LAYOUT(offsetof(DriverInfo, contextSize) == 24, "DriverInfo.contextSize");
XOL_LAYOUT(offsetof(DriverInfo, defaultTimeout) == 28, "DriverInfo.defaultTimeout");
XOL_LAYOUT(offsetof(DriverInfo, defaultBaud) == 32, "DriverInfo.defaultBaud");
XOL_LAYOUT(offsetof(DriverInfo, defaultDataBits) == 34, "DriverInfo.defaultDataBits");
XOL_LAYOUT(offsetof(DriverInfo, defaultStopBits) == 36, "DriverInfo.defaultStopBits");
XOL_LAYOUT(offsetof(DriverInfo, defaultParity) == 38, "DriverInfo.defaultParity");
XOL_LAYOUT(offsetof(DriverInfo, infoFlags) == 40, "DriverInfo.infoFlags");
XOL_LAYOUT(sizeof(PointDefinition) == 40, "PointDefinition size");
XOL_LAYOUT(offsetof(PointDefinition, text) == 0, "PointDefinition.text");
XOL_LAYOUT(offsetof(PointDefinition, host) == 8, "PointDefinition.host");
XOL_LAYOUT(offsetof(PointDefinition, count) == 16, "PointDefinition.count");
XOL_LAYOUT(offsetof(PointDefinition, presetA) == 20, "PointDefinition.presetA");
XOL_LAYOUT(offsetof(PointDefinition, kind) == 24, "PointDefinition.kind");
XOL_LAYOUT(offsetof(PointDefinition, number) == 28, "PointDefinition.number");
XOL_LAYOUT(offsetof(PointDefinition, presetB) == 32, "PointDefinition.presetB");
XOL_LAYOUT(offsetof(PointDefinition, presetC) == 36, "PointDefinition.presetC");
XOL_LAYOUT(sizeof(PointRequest) == 48, "PointRequest size");
XOL_LAYOUT(offsetof(PointRequest, host0) == 0, "PointRequest.host0");
XOL_LAYOUT(offsetof(PointRequest, kind) == 12, "PointRequest.kind");
XOL_LAYOUT(offsetof(PointRequest, number) == 16, "PointRequest.number");
XOL_LAYOUT(offsetof(PointRequest, host1) == 20, "PointRequest.host1");
XOL_LAYOUT(offsetof(PointRequest, count) == 32, "PointRequest.count");
XOL_LAYOUT(offsetof(PointRequest, host2) == 36, "PointRequest.host2");
XOL_LAYOUT(offsetof(PointRequest, data) == 40, "PointRequest.data");
#else
#error "xolest.h: unsupported pointer width"
#endif

#undef XOL_LAYOUT

#endif /* XOLEST_XOLEST_H */
