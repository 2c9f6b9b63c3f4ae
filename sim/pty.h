// A pseudo-terminal pair for the simulator and the tests: the panel's side
// keeps the master, the driver opens the slave by its path.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace xolsim {

class PtyPair {
public:
    // Opens a master/slave pair in raw mode. On failure ok() is false and
    // error() says why.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string& error() const { return error_; }
    int master() const { return master_; }
    // The slave's device path, such as "/dev/pts/3".
    const std::string& slavePath() const { return slavePath_; }
    // The name as the driver's 12-byte port name field holds it: the path
    // without its "/dev/" prefix ("pts/3").
    std::string portName() const;
    // The slave descriptor the pair holds open, to look at the line's settings.
    int slave() const { return slaveKeep_; }

    // The panel's end, for tests that play it by hand: writes every byte;
    // reads up to `count` bytes, whatever arrives within `timeout`.
    bool send(std::string_view bytes);
    std::string receive(std::size_t count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Hangs up the panel's end: the driver's side sees the line go dead.
    void closeMaster();

private:
    int master_ = -1;
    int slaveKeep_ = -1; // held open so the master sees no hang-up between driver opens
    std::string slavePath_;
    std::string error_;
};

} // namespace xolsim
