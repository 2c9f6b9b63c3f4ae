/*
 * example_host.c - a complete, minimal host of the XOLEST driver module.
 *
 * It does what a supervision host does, in order: loads the module, asks it
 * to describe itself, allocates a context, opens the channel, checks the
 * point addresses it will use, runs a status scan, reads zones and a count,
 * and closes the channel. Copy it as the start of your own host.
 *
 *   example_host PORT [MODULE]
 *
 * PORT is the panel's serial port: ttyS0, ttyUSB0, pts/3 or the same with
 * /dev/ in front. MODULE is the module file; without it, the one the build
 * named in XOLEST_MODULE_PATH. To try it without a panel, start the
 * simulator, which prints the pseudo-terminal it serves:
 *
 *   xolpanel &                 # prints e.g. /dev/pts/3
 *   ./example_host /dev/pts/3
 *
 * Build with pkg-config (xolest.pc names the module; keldor.pc the logging
 * library this host links to take the driver's messages):
 *
 *   cc -std=c11 example_host.c -o example_host \
 *      $(pkg-config --cflags xolest keldor) \
 *      -DXOLEST_MODULE_PATH="\"$(pkg-config --variable=modulepath xolest)\"" \
 *      $(pkg-config --libs keldor) -Wl,-rpath,"$(pkg-config --variable=libdir keldor)" -ldl
 *
 * or with CMake: the CMakeLists.txt beside this file (find_package(xolest)).
 *
 * Exit status: 0 when every step was done, 1 when one was refused or failed,
 * 2 for bad usage.
 *
 * Written for Linux; a Windows host does the same with LoadLibrary and
 * GetProcAddress in place of dlopen and dlsym.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <xolest/keldor.h>
#include <xolest/xolest.h>

/* The module's entry point, looked up once. */
static XolMainFunction xol_main;

/* Every operation is one XolMain call with a request record: the channel's
   context (NULL where the operation needs none), the function code and the
   operation's parameter record. The host's own bytes (request.host) are
   never read by the driver. */
static int32_t call(DriverContext* context, int32_t function, void* params) {
    DriverRequest request;
    memset(&request, 0, sizeof request);
    request.context = context;
    request.function = function;
    request.params = params;
    return xol_main(&request);
}

static const char* result_name(int32_t result) {
    switch (result) {
    case RC_DONE:
        return "done";
    case RC_REFUSED:
        return "refused";
    case RC_FAILED:
        return "failed";
    default:
        return "unknown result";
    }
}

/* The driver logs through err(class, format, ...) of the host's logging
   library; every message it sends has class 32. The stand-in library hands
   each formatted message to the sink a host installs. */
static void log_sink(int cls, const char* text, void* user) {
    (void)user;
    fprintf(stderr, "driver log (class %d): %s\n", cls, text);
}

/* A checked point: the kind and number the check returned are what the
   reads and writes take. */
typedef struct Point {
    const char* address;
    uint32_t kind;
    uint32_t number;
} Point;

static int check_point(Point* point) {
    PointDefinition definition;
    memset(&definition, 0, sizeof definition);
    definition.text = point->address;
    int32_t result = call(NULL, FC_CHECK_POINT, &definition);
    printf("check %-7s %s", point->address, result_name(result));
    if (result == RC_DONE) {
        point->kind = definition.kind;
        point->number = (uint32_t)definition.number;
        printf(": kind %c, number %u", (char)point->kind, (unsigned)point->number);
    }
    printf("\n");
    return result == RC_DONE;
}

/* Reads one point (a zone from the snapshot, a count from the panel, or a
   scan for !Z) into *value. */
static int32_t read_point(DriverContext* context, const Point* point, uint16_t* value) {
    PointValue data;
    memset(&data, 0, sizeof data);
    PointRequest request;
    memset(&request, 0, sizeof request);
    request.kind = point->kind;
    request.number = point->number;
    request.data = &data;
    int32_t result = call(context, FC_READ_POINT, &request);
    *value = data.value;
    return result;
}

/* Lists the zones with a status in the last completed scan: blocks of at
   most 1000 zones, each block's first zone checked like any address. */
static int list_zones(DriverContext* context) {
    for (int first = 1; first <= ZONE_COUNT; first += 1000) {
        int count = ZONE_COUNT - first + 1 < 1000 ? ZONE_COUNT - first + 1 : 1000;
        char address[8];
        snprintf(address, sizeof address, "P%04d", first);
        PointDefinition block;
        memset(&block, 0, sizeof block);
        block.text = address;
        block.count = count;
        if (call(NULL, FC_CHECK_BLOCK, &block) != RC_DONE) {
            fprintf(stderr, "block %s of %d zones refused\n", address, count);
            return 0;
        }
        uint16_t statuses[1000];
        PointRequest request;
        memset(&request, 0, sizeof request);
        request.kind = block.kind;
        request.number = (uint32_t)block.number;
        request.count = count;
        request.data = statuses;
        if (call(context, FC_READ_BLOCK, &request) != RC_DONE) {
            fprintf(stderr, "block read %s refused\n", address);
            return 0;
        }
        for (int i = 0; i < count; ++i) {
            if (statuses[i] != 0) {
                printf("zone P%04d status 0x%02X\n", first + i, (unsigned)statuses[i]);
            }
        }
    }
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: example_host PORT [MODULE]\n");
        return 2;
    }
    const char* port = argv[1];
    const char* path = argc > 2 ? argv[2] : NULL;
#ifdef XOLEST_MODULE_PATH
    if (path == NULL) {
        path = XOLEST_MODULE_PATH;
    }
#endif
    if (path == NULL) {
        fprintf(stderr, "example_host: no module named (built without XOLEST_MODULE_PATH)\n");
        return 2;
    }
    /* The port name field holds 11 characters and a NUL. A name that does
       not start with '/' is opened under /dev/, so /dev/ can be dropped. */
    if (strlen(port) >= XOL_PORT_NAME_SIZE && strncmp(port, "/dev/", 5) == 0) {
        port += 5;
    }
    if (strlen(port) >= XOL_PORT_NAME_SIZE) {
        fprintf(stderr, "example_host: port name %s is longer than %u characters\n", port,
                XOL_PORT_NAME_SIZE - 1);
        return 2;
    }

    /* 1. Load the module and find its one exported function. */
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == NULL) {
        fprintf(stderr, "example_host: %s\n", dlerror());
        return 1;
    }
    xol_main = (XolMainFunction)dlsym(module, "XolMain");
    if (xol_main == NULL) {
        fprintf(stderr, "example_host: %s has no XolMain\n", path);
        dlclose(module);
        return 1;
    }

    /* 2. Take the driver's log messages. The module found libkeldor through
       its own run path; this program linked the same library, so both use
       one copy and one sink. */
    KeldorSetSink(log_sink, NULL);

    /* 3. Describe: needs no context (pass NULL) and no port, and returns at
       once. The texts are the driver's own static strings. */
    DriverInfo info;
    memset(&info, 0, sizeof info);
    if (call(NULL, FC_DESCRIBE_DRIVER, &info) != RC_DONE) {
        fprintf(stderr, "example_host: the module refused to describe itself\n");
        dlclose(module);
        return 1;
    }
    printf("driver %s (code %u), context %u bytes, line %u baud %u data bits, time-out %u ms\n",
           info.shortName, (unsigned)info.driverCode, (unsigned)info.contextSize,
           (unsigned)info.defaultBaud, (unsigned)info.defaultDataBits,
           (unsigned)info.defaultTimeout * 10u);

    /* 4. One context per channel, of the size the module reported and at
       least the layout this host was built with; zero-filled is a valid
       start. The host owns it and keeps it until the channel is closed. */
    if (info.contextSize < sizeof(DriverContext)) {
        fprintf(stderr, "example_host: the module's context is smaller than this host's\n");
        dlclose(module);
        return 1;
    }
    DriverContext* context = calloc(1, info.contextSize);
    if (context == NULL) {
        dlclose(module);
        return 1;
    }

    /* 5. Open the channel with the driver's default line settings and
       time-out (units of 10 ms; never 0 on a line that may fall silent: 0
       waits for ever). RC_FAILED: the port is missing, in use or refused the
       settings; the driver has logged "XOLEST : Fail to open <name>". */
    OpenRequest open;
    memset(&open, 0, sizeof open);
    strcpy(open.name, port);
    open.enabled = 1;
    open.timeout = info.defaultTimeout;
    open.settings.baud = info.defaultBaud;
    open.settings.dataBits = info.defaultDataBits;
    open.settings.stopBits = info.defaultStopBits;
    open.settings.parity = info.defaultParity;
    int32_t result = call(context, FC_OPEN_CHANNEL, &open);
    printf("open %s: %s\n", port, result_name(result));
    if (result != RC_DONE) {
        free(context);
        dlclose(module);
        return 1;
    }

    /* 6. Check every address once, when it is configured: RC_REFUSED means
       it is no valid point. Checks need no context and touch no port. */
    Point scan = {"!Z", 0, 0};
    Point zone = {"P0017", 0, 0};
    Point count = {"!C", 0, 0};
    int ok = check_point(&scan) && check_point(&zone) && check_point(&count);

    /* 7. Scan: reading !Z asks the panel for its whole status report and,
       when the report is complete, replaces the context's snapshot. It
       blocks until then: about 65 ms a status record at 2400 baud.
       RC_FAILED: no complete report in three attempts; the snapshot of the
       last completed scan stays. */
    uint16_t value = 0;
    if (ok) {
        result = read_point(context, &scan, &value);
        printf("scan: %s\n", result_name(result));
        ok = result == RC_DONE;
    }

    /* 8. Read zones: from the snapshot, at once, with no traffic. One zone,
       then every zone with a status by blocks. Bits: ZS_CODE1 0x01, ZS_CODE2
       0x02, ZS_CODE3 0x04, ZS_CODE7 0x08, ZS_CODE8 0x10. */
    if (ok) {
        result = read_point(context, &zone, &value);
        printf("read %s: %s, status 0x%02X\n", zone.address, result_name(result), (unsigned)value);
        ok = result == RC_DONE && list_zones(context);
    }

    /* 9. Read a count: one question to the panel, up to three tries.
       RC_REFUSED: the last answer failed its checks; RC_FAILED: no answer. */
    if (ok) {
        result = read_point(context, &count, &value);
        printf("read %s: %s, count %u\n", count.address, result_name(result), (unsigned)value);
        ok = result == RC_DONE;
    }

    /* 10. Close the channel, on every way out once it is open. A close that
       fails keeps the port in the context for another try. */
    result = call(context, FC_CLOSE_CHANNEL, NULL);
    printf("close: %s\n", result_name(result));
    ok = ok && result == RC_DONE;

    /* 11. The context may go once the channel is closed; the sink before the
       module, which holds the logging library. */
    free(context);
    KeldorSetSink(NULL, NULL);
    dlclose(module);
    return ok ? 0 : 1;
}
