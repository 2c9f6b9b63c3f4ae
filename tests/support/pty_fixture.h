// A real pseudo-terminal for the port layer's tests: the test plays the far
// end on the master, the driver opens the slave by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace xoltest {

class PtyFixture {
public:
    // Opens a master and its slave, the slave in raw mode. keepSlave holds a
    // slave descriptor open for the fixture's life, so the master never sees
    // a hang-up between the driver's opens.
    explicit PtyFixture(bool keepSlave = true);
    ~PtyFixture();
    PtyFixture(const PtyFixture&) = delete;
    PtyFixture& operator=(const PtyFixture&) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string& error() const { return error_; }
    int master() const { return master_; }
    int keptSlave() const { return slave_; }
    // "/dev/pts/3", and the name as the 12-byte field holds it: "pts/3".
    const std::string& path() const { return path_; }
    std::string name() const;

    // The far end: writes all bytes; reads what arrives within the time.
    bool Send(std::string_view bytes);
    std::string Receive(size_t count, int timeoutMs = 2000);
    void CloseMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string error_;
};

// The slave's line settings as the kernel holds them (termios2).
struct LineReadback {
    bool ok = false;
    uint32_t outputRate = 0;
    bool canonical = true;
    bool echo = true;
    bool outputProcessing = true;
    bool crToNl = true;
    bool parityMarking = true;
    bool ignoreParityErrors = true;
    bool checkParity = true;
    bool local = false;
    bool twoStopBits = false;
};
LineReadback ReadLine(int fd);

} // namespace xoltest
