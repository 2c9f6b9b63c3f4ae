/*
 * xol_rawhost: a Windows host that knows the module only by the 32-bit
 * record offsets the host interface documents. It builds every record as a
 * byte buffer, loads the DLL with LoadLibrary, finds XolMain with
 * GetProcAddress and calls it as __cdecl through a stub that checks the
 * stack pointer and the callee-saved registers around each call. A slip in
 * a record's layout or in the calling convention fails a check.
 *
 * usage: xol_rawhost MODULE PORT   PORT leads to the simulator (panel.json)
 *        xol_rawhost --load MODULE prints "load: ok" or "load: error N"
 *
 * Each group of checks prints "GROUP: ok" or "GROUP: FAILED"; the exit
 * status is 0 only when every group passed.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

/* int32_t CallChecked(fn, request, stackDelta, clobbered): pushes request,
   calls fn, and reports how far the stack pointer moved across the call
   (4 for __cdecl: the caller pops its argument) and a bit per callee-saved
   register (EBX, ESI, EDI) that came back changed. */
int32_t __cdecl CallChecked(void* fn, void* request, uint32_t* stackDelta, uint32_t* clobbered);
__asm__(".text\n"
        ".globl _CallChecked\n"
        "_CallChecked:\n"
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %ebx\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    subl $4, %esp\n"
        "    movl $0x0B0B0B0B, %ebx\n"
        "    movl $0x05050505, %esi\n"
        "    movl $0x0D0D0D0D, %edi\n"
        "    movl %esp, -16(%ebp)\n"
        "    pushl 12(%ebp)\n"
        "    call *8(%ebp)\n"
        "    movl -16(%ebp), %ecx\n"
        "    subl %esp, %ecx\n"
        "    movl 16(%ebp), %edx\n"
        "    movl %ecx, (%edx)\n"
        "    xorl %ecx, %ecx\n"
        "    cmpl $0x0B0B0B0B, %ebx\n"
        "    je 1f\n"
        "    orl $1, %ecx\n"
        "1:  cmpl $0x05050505, %esi\n"
        "    je 2f\n"
        "    orl $2, %ecx\n"
        "2:  cmpl $0x0D0D0D0D, %edi\n"
        "    je 3f\n"
        "    orl $4, %ecx\n"
        "3:  movl 20(%ebp), %edx\n"
        "    movl %ecx, (%edx)\n"
        "    leal -12(%ebp), %esp\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebx\n"
        "    popl %ebp\n"
        "    ret\n");

#define GUARD 0xCC
#define GUARD_BYTES 16
#define CONTEXT_SIZE 12632

static void* g_xolMain;
static int g_groupFailures;
static int g_failedGroups;

static void Check(int ok, const char* what) {
    if (!ok) {
        printf("  FAILED: %s\n", what);
        ++g_groupFailures;
    }
}

static void EndGroup(const char* name) {
    printf("%s: %s\n", name, g_groupFailures == 0 ? "ok" : "FAILED");
    g_failedGroups += g_groupFailures == 0 ? 0 : 1;
    g_groupFailures = 0;
    fflush(stdout);
}

/* Little-endian field access at a byte offset. */
static void Put16(uint8_t* record, size_t offset, uint16_t value) {
    memcpy(record + offset, &value, 2);
}
static void Put32(uint8_t* record, size_t offset, uint32_t value) {
    memcpy(record + offset, &value, 4);
}
static void PutPtr(uint8_t* record, size_t offset, const void* pointer) {
    memcpy(record + offset, &pointer, 4);
}
static uint16_t Get16(const uint8_t* record, size_t offset) {
    uint16_t value;
    memcpy(&value, record + offset, 2);
    return value;
}
static uint32_t Get32(const uint8_t* record, size_t offset) {
    uint32_t value;
    memcpy(&value, record + offset, 4);
    return value;
}
static const void* GetPtr(const uint8_t* record, size_t offset) {
    const void* pointer;
    memcpy(&pointer, record + offset, 4);
    return pointer;
}

static int AllBytes(const uint8_t* bytes, size_t count, uint8_t value) {
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != value) {
            return 0;
        }
    }
    return 1;
}

/* DriverRequest, 20 bytes: context 0, function 4, host 8..15, params 16. */
static int32_t Call(uint8_t* context, int32_t function, void* params) {
    uint8_t request[20 + GUARD_BYTES];
    memset(request, GUARD, sizeof request);
    PutPtr(request, 0, context);
    Put32(request, 4, (uint32_t)function);
    memset(request + 8, 0x5A, 8);
    PutPtr(request, 16, params);
    uint32_t delta = 0, clobbered = 0;
    const int32_t rc = CallChecked(g_xolMain, request, &delta, &clobbered);
    Check(delta == 4, "XolMain leaves its argument for the caller to pop (__cdecl)");
    Check(clobbered == 0, "EBX, ESI and EDI survive the call");
    Check(GetPtr(request, 0) == context && Get32(request, 4) == (uint32_t)function &&
              AllBytes(request + 8, 8, 0x5A) && GetPtr(request, 16) == params &&
              AllBytes(request + 20, GUARD_BYTES, GUARD),
          "the request record is left as it was");
    return rc;
}

/* PointDefinition, 36 bytes: text 0, host 4..11, count 12, presetA 16,
   kind 20, number 24, presetB 28, presetC 32. */
static int32_t CheckAddress(const char* text, int32_t function, int32_t count, uint32_t* kind,
                            uint32_t* number) {
    uint8_t definition[36 + GUARD_BYTES];
    memset(definition, GUARD, sizeof definition);
    PutPtr(definition, 0, text);
    memset(definition + 4, 0x77, 8);
    Put32(definition, 12, (uint32_t)count);
    const int32_t rc = Call(NULL, function, definition);
    Check(AllBytes(definition + 4, 8, 0x77), "PointDefinition host bytes untouched");
    Check(AllBytes(definition + 36, GUARD_BYTES, GUARD), "nothing written past PointDefinition");
    if (rc == 0) {
        Check(Get32(definition, 16) == 0 && Get32(definition, 28) == 255 &&
                  Get32(definition, 32) == 16,
              "presets at 16, 28, 32");
    }
    *kind = Get32(definition, 20);
    *number = Get32(definition, 24);
    return rc;
}

/* PointRequest, 44 bytes: host0 0..11, kind 12, number 16, host1 20..31,
   count 32, host2 36..39, data 40. */
static int32_t PointCall(uint8_t* context, int32_t function, uint32_t kind, uint32_t number,
                         int32_t count, void* data) {
    uint8_t point[44 + GUARD_BYTES];
    memset(point, GUARD, sizeof point);
    memset(point, 0x61, 12);
    Put32(point, 12, kind);
    Put32(point, 16, number);
    memset(point + 20, 0x62, 12);
    Put32(point, 32, (uint32_t)count);
    memset(point + 36, 0x63, 4);
    PutPtr(point, 40, data);
    const int32_t rc = Call(context, function, point);
    Check(AllBytes(point, 12, 0x61) && AllBytes(point + 20, 12, 0x62) &&
              AllBytes(point + 36, 4, 0x63) && AllBytes(point + 44, GUARD_BYTES, GUARD),
          "PointRequest host bytes and what follows untouched");
    return rc;
}

/* PointValue, 4 bytes: host 0, value 2. */
static int32_t ReadValue(uint8_t* context, uint32_t kind, uint32_t number, uint16_t* value) {
    uint8_t data[4 + GUARD_BYTES];
    memset(data, GUARD, sizeof data);
    Put16(data, 0, 0x4242);
    const int32_t rc = PointCall(context, 5, kind, number, 0, data);
    Check(Get16(data, 0) == 0x4242 && AllBytes(data + 4, GUARD_BYTES, GUARD),
          "PointValue host word and what follows untouched");
    *value = Get16(data, 2);
    return rc;
}

static int32_t WriteValue(uint8_t* context, uint32_t kind, uint32_t number, uint16_t value) {
    uint8_t data[4];
    Put16(data, 0, 0x4242);
    Put16(data, 2, value);
    return PointCall(context, 7, kind, number, 0, data);
}

static void Describe(void) {
    /* DriverInfo, 32 bytes: driverCode 0, shortName 4, banner 8,
       contextSize 12, defaultTimeout 16, defaultBaud 20, defaultDataBits 22,
       defaultStopBits 24, defaultParity 26, infoFlags 28. */
    uint8_t info[32 + GUARD_BYTES];
    memset(info, GUARD, sizeof info);
    if (Call(NULL, 14, info) != 0) {
        Check(0, "DescribeDriver done");
        EndGroup("describe");
        return;
    }
    const char* shortName = GetPtr(info, 4);
    const char* banner = GetPtr(info, 8);
    Check(Get32(info, 0) == 70, "driverCode 70 at 0");
    Check(shortName != NULL && strcmp(shortName, "EST") == 0, "shortName \"EST\" at 4");
    Check(banner != NULL && strlen(banner) == 379, "a 379-byte banner at 8");
    Check(Get32(info, 12) == CONTEXT_SIZE, "contextSize at 12");
    Check(Get32(info, 16) == 4, "defaultTimeout at 16");
    Check(Get16(info, 20) == 2400 && Get16(info, 22) == 8 && Get16(info, 24) == 0 &&
              Get16(info, 26) == 2,
          "2400 8E1 at 20..27");
    Check(Get32(info, 28) == 1, "infoFlags at 28");
    Check(AllBytes(info + 32, GUARD_BYTES, GUARD), "nothing written past DriverInfo");
    EndGroup("describe");
}

static void Addresses(void) {
    uint32_t kind = 0, number = 0;
    Check(CheckAddress("O031250", 3, 0, &kind, &number) == 0 && kind == 'O' &&
              number == ((3u << 16) | 1250u),
          "O031250: kind at 20, group and zone at 24");
    Check(CheckAddress("P0017", 3, 0, &kind, &number) == 0 && kind == 'P' && number == 17, "P0017");
    Check(CheckAddress("P0001", 4, 1000, &kind, &number) == 0, "a block of 1000 (count at 12)");
    Check(CheckAddress("P0001", 4, 1001, &kind, &number) == 1, "a block of 1001 refused");
    EndGroup("addresses");
}

static void Channel(uint8_t* context, const char* port) {
    /* OpenRequest, 28 bytes: name 0..11, enabled 12, timeout 16, baud 20,
       dataBits 22, stopBits 24, parity 26. */
    uint8_t open[28];
    memset(open, 0, sizeof open);
    strncpy((char*)open, port, 11);
    Put32(open, 12, 1);
    Put32(open, 16, 4);
    Put16(open, 20, 2400);
    Put16(open, 22, 8);
    Put16(open, 24, 0);
    Put16(open, 26, 2);
    Check(Call(context, 1, open) == 0, "OpenChannel done");
    /* DriverContext: timeoutTicks 0, enabled 4, port 8, config.name 12..23,
       settings 24..31, flags 32, currentZones 34, snapshotZones 6333. */
    Check(Get32(context, 0) == 4 && Get32(context, 4) == 1, "timeoutTicks at 0, enabled at 4");
    Check(Get32(context, 8) != 0, "the port at 8");
    Check(strcmp((const char*)context + 12, port) == 0, "the port name at 12");
    Check(Get16(context, 24) == 2400 && Get16(context, 26) == 8 && Get16(context, 28) == 0 &&
              Get16(context, 30) == 2 && Get16(context, 32) == 8,
          "settings at 24, flags 8 at 32");
    Check(AllBytes(context + CONTEXT_SIZE, GUARD_BYTES, GUARD), "nothing written past the context");
    EndGroup("open");

    uint16_t value = 0xFFFF;
    Check(ReadValue(context, 'Z', 0, &value) == 0, "scan (!Z) done");
    Check(context[6333 + 16] == 9 && context[6333 + 2] == 2 && context[6333 + 6298] == 8,
          "zones 17, 3 and 6299 in the snapshot table at 6333");
    Check(ReadValue(context, 'P', 17, &value) == 0 && value == 9, "zone 17 reads 9 (value at 2)");
    Check(ReadValue(context, 'N', 0, &value) == 0 && value == 5, "!N reads 5");
    EndGroup("read");

    uint16_t block[21];
    for (int i = 0; i < 21; ++i) {
        block[i] = 0xBEEF;
    }
    Check(PointCall(context, 6, 'P', 1, 20, block) == 0, "ReadBlock done");
    Check(block[2] == 2 && block[16] == 9 && block[0] == 0, "zones 1..20 by count at 32");
    Check(block[20] == 0xBEEF, "nothing past the count");
    EndGroup("block");

    Check(WriteValue(context, 'A', 12, 1) == 0, "A0012 <- 1 done");
    Check(WriteValue(context, 'X', 42, 0) == 1, "X0042 <- 0 refused by the panel");
    Check(WriteValue(context, 'L', 12, 0) == 1, "L0012 <- 0 refused by the driver");
    EndGroup("write");

    Check(Call(context, 11, NULL) == 0 && Get32(context, 8) == 0, "closed, port slot 0");
    Check(AllBytes(context + CONTEXT_SIZE, GUARD_BYTES, GUARD), "nothing written past the context");
    EndGroup("close");
}

static int Load(const char* path) {
    HMODULE module = LoadLibraryA(path);
    if (module == NULL) {
        printf("load: error %lu\n", GetLastError());
        return 0;
    }
    g_xolMain = (void*)GetProcAddress(module, "XolMain");
    if (g_xolMain == NULL) {
        printf("load: no export XolMain\n");
        return 0;
    }
    /* Undecorated only: no stdcall or leading-underscore names. */
    Check(GetProcAddress(module, "_XolMain") == NULL &&
              GetProcAddress(module, "XolMain@4") == NULL &&
              GetProcAddress(module, "_XolMain@4") == NULL,
          "XolMain exported under its plain name only");
    return 1;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--load") == 0) {
        if (!Load(argv[2])) {
            return 1;
        }
        printf("load: ok\n");
        return 0;
    }
    if (argc != 3) {
        fprintf(stderr, "usage: %s MODULE PORT | --load MODULE\n", argv[0]);
        return 64;
    }
    if (!Load(argv[1])) {
        return 1;
    }
    EndGroup("load");

    /* Zero-filled and 4-byte aligned, as a host allocates it. */
    static uint32_t storage[(CONTEXT_SIZE + GUARD_BYTES) / 4];
    uint8_t* context = (uint8_t*)storage;
    memset(context + CONTEXT_SIZE, GUARD, GUARD_BYTES);
    Describe();
    Addresses();
    Channel(context, argv[2]);
    return g_failedGroups == 0 ? 0 : 1;
}
