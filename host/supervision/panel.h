// The panel as the supervision core sees it: a scan that yields every
// zone's status, the counts, commands, and the channel to open and close.
// The host's real one goes through the driver module; tests script one.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <xolest/xolest.h>

#include "line/diagnosis.h"
#include "line/line_decoder.h"

namespace xolhost {

struct ScanResult {
    int32_t result = RC_FAILED;
    std::map<int, uint16_t> statuses;
    bool watched = false; // the figures come from the relay
    LineFigures figures;
    double seconds = 0;
    Diagnosis why; // when it failed
};

struct CountResult {
    int32_t result = RC_FAILED;
    uint16_t value = 0;
    Diagnosis why;
};

struct CommandResult {
    int32_t result = RC_FAILED;
    std::string error; // why it was refused or failed
};

class SupervisedPanel {
public:
    virtual ~SupervisedPanel() = default;
    virtual ScanResult scan() = 0;
    virtual CountResult readCount(char which) = 0;
    virtual CommandResult write(const std::string& address, uint16_t value) = 0;
    virtual bool channelOpen() const = 0;
    // True when the channel is open afterwards.
    virtual bool openChannel() = 0;
    virtual void closeChannel() = 0;
};

} // namespace xolhost
