// The port layer on Win32: the communications calls of KERNEL32, one for
// each port operation.
//
// Names go to CreateFileA as they stand. Ports above COM9 are reached only
// through the device namespace: the name "\\.\COM10" fits the 12-byte name
// field and opens COM10; "NUL" opens the null device.
#include "serial/port.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

namespace xol {

namespace {

// The handle lives in the context's 32-bit port slot.
static_assert(sizeof(HANDLE) == sizeof(PortHandle), "the Win32 port layer is for 32-bit Windows");
// The whole DCB travels in PortLineState so that a set writes back every
// field this layer does not name, as the port reported it.
static_assert(sizeof(DCB) == 28, "DCB is the 28-byte record");
static_assert(sizeof(DCB) <= sizeof(PortLineState::platformState));
static_assert(sizeof(COMMTIMEOUTS) == sizeof(PortTimeouts));

HANDLE ToHandle(PortHandle port) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(port));
}

} // namespace

bool PortOpen(const char* name, PortHandle* port) {
    const HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *port = 0;
        return false;
    }
    *port = static_cast<PortHandle>(reinterpret_cast<uintptr_t>(handle));
    return true;
}

bool PortClose(PortHandle port) {
    return CloseHandle(ToHandle(port)) != FALSE;
}

bool PortGetState(PortHandle port, PortLineState* state) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(ToHandle(port), &dcb) == FALSE) {
        return false;
    }
    *state = PortLineState{};
    state->baudRate = dcb.BaudRate;
    state->byteSize = dcb.ByteSize;
    state->parity = dcb.Parity;
    state->stopBits = dcb.StopBits;
    state->binary = dcb.fBinary != 0;
    state->parityCheck = dcb.fParity != 0;
    state->outxCtsFlow = dcb.fOutxCtsFlow != 0;
    state->outxDsrFlow = dcb.fOutxDsrFlow != 0;
    state->dtrControl = static_cast<PortDtr>(dcb.fDtrControl);
    state->dsrSensitivity = dcb.fDsrSensitivity != 0;
    state->outX = dcb.fOutX != 0;
    state->inX = dcb.fInX != 0;
    state->errorCharReplace = dcb.fErrorChar != 0;
    state->discardNull = dcb.fNull != 0;
    state->rtsControl = static_cast<PortRts>(dcb.fRtsControl);
    state->abortOnError = dcb.fAbortOnError != 0;
    state->errorChar = static_cast<uint8_t>(dcb.ErrorChar);
    std::memcpy(state->platformState, &dcb, sizeof dcb);
    return true;
}

bool PortSetState(PortHandle port, const PortLineState& state) {
    DCB dcb;
    std::memcpy(&dcb, state.platformState, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = state.baudRate;
    dcb.ByteSize = state.byteSize;
    dcb.Parity = state.parity;
    dcb.StopBits = state.stopBits;
    dcb.fBinary = state.binary ? 1 : 0;
    dcb.fParity = state.parityCheck ? 1 : 0;
    dcb.fOutxCtsFlow = state.outxCtsFlow ? 1 : 0;
    dcb.fOutxDsrFlow = state.outxDsrFlow ? 1 : 0;
    dcb.fDtrControl = state.dtrControl;
    dcb.fDsrSensitivity = state.dsrSensitivity ? 1 : 0;
    dcb.fOutX = state.outX ? 1 : 0;
    dcb.fInX = state.inX ? 1 : 0;
    dcb.fErrorChar = state.errorCharReplace ? 1 : 0;
    dcb.fNull = state.discardNull ? 1 : 0;
    dcb.fRtsControl = state.rtsControl;
    dcb.fAbortOnError = state.abortOnError ? 1 : 0;
    dcb.ErrorChar = static_cast<char>(state.errorChar);
    return SetCommState(ToHandle(port), &dcb) != FALSE;
}

bool PortGetTimeouts(PortHandle port, PortTimeouts* timeouts) {
    COMMTIMEOUTS record;
    if (GetCommTimeouts(ToHandle(port), &record) == FALSE) {
        return false;
    }
    timeouts->readIntervalTimeout = record.ReadIntervalTimeout;
    timeouts->readTotalTimeoutMultiplier = record.ReadTotalTimeoutMultiplier;
    timeouts->readTotalTimeoutConstant = record.ReadTotalTimeoutConstant;
    timeouts->writeTotalTimeoutMultiplier = record.WriteTotalTimeoutMultiplier;
    timeouts->writeTotalTimeoutConstant = record.WriteTotalTimeoutConstant;
    return true;
}

bool PortSetTimeouts(PortHandle port, const PortTimeouts& timeouts) {
    COMMTIMEOUTS record;
    record.ReadIntervalTimeout = timeouts.readIntervalTimeout;
    record.ReadTotalTimeoutMultiplier = timeouts.readTotalTimeoutMultiplier;
    record.ReadTotalTimeoutConstant = timeouts.readTotalTimeoutConstant;
    record.WriteTotalTimeoutMultiplier = timeouts.writeTotalTimeoutMultiplier;
    record.WriteTotalTimeoutConstant = timeouts.writeTotalTimeoutConstant;
    return SetCommTimeouts(ToHandle(port), &record) != FALSE;
}

bool PortSetQueues(PortHandle port, uint32_t inputBytes, uint32_t outputBytes) {
    return SetupComm(ToHandle(port), inputBytes, outputBytes) != FALSE;
}

bool PortInputWaiting(PortHandle port, uint32_t* count) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (ClearCommError(ToHandle(port), &errors, &status) == FALSE) {
        return false;
    }
    *count = status.cbInQue;
    return true;
}

bool PortRead(PortHandle port, void* buffer, uint32_t count, uint32_t* got) {
    DWORD read = 0;
    const BOOL ok = ReadFile(ToHandle(port), buffer, count, &read, nullptr);
    *got = read;
    return ok != FALSE;
}

bool PortWrite(PortHandle port, const void* buffer, uint32_t count, uint32_t* written) {
    DWORD done = 0;
    const BOOL ok = WriteFile(ToHandle(port), buffer, count, &done, nullptr);
    *written = done;
    return ok != FALSE;
}

bool PortBreakOn(PortHandle port) {
    return SetCommBreak(ToHandle(port)) != FALSE;
}

bool PortBreakOff(PortHandle port) {
    return ClearCommBreak(ToHandle(port)) != FALSE;
}

void PortSleep(uint32_t milliseconds) {
    Sleep(milliseconds);
}

} // namespace xol
