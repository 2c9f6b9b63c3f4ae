#include "outputs/modbus_output.h"

#include <fmt/format.h>
#include <modbus/modbus.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "outputs/modbus_map.h"
#include "platform/exit_codes.h"

namespace xolhost {

namespace {

constexpr std::size_t MAX_CLIENTS = 32;
constexpr std::size_t MBAP_HEAD = 7; // transaction, protocol, length, unit
constexpr int MAX_ADU_LENGTH = 254;  // unit and PDU, as the length field counts

struct Client {
    int fd = -1;
    std::vector<uint8_t> buffer;
    std::chrono::steady_clock::time_point lastHeard;
};

void NonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

struct ModbusOutput::Server {
    modbus_t* context = nullptr;
    modbus_mapping_t* mapping = nullptr;
    int listener = -1;
    std::vector<Client> clients;
    RegisterImage image{};
    SupervisionState state;

    ~Server() {
        for (Client& client : clients) {
            ::close(client.fd);
        }
        if (listener >= 0) {
            ::close(listener);
        }
        modbus_mapping_free(mapping);
        modbus_free(context);
    }

    void publish() {
        std::copy(image.begin(), image.end(), mapping->tab_registers);
        std::copy(image.begin(), image.end(), mapping->tab_input_registers);
    }

    void accept() {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        if (clients.size() >= MAX_CLIENTS) {
            // The client heard from longest ago makes room.
            auto idle = std::min_element(clients.begin(), clients.end(), [](auto& a, auto& b) {
                return a.lastHeard < b.lastHeard;
            });
            ::close(idle->fd);
            clients.erase(idle);
        }
        clients.push_back({fd, {}, std::chrono::steady_clock::now()});
    }

    // Answers every whole request in the buffer; false when the client is
    // to be dropped (it closed, or sent what is no Modbus TCP).
    bool serve(Client& client) {
        uint8_t chunk[512];
        ssize_t got = ::recv(client.fd, chunk, sizeof chunk, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return false;
        }
        if (got < 0) {
            return true;
        }
        client.lastHeard = std::chrono::steady_clock::now();
        client.buffer.insert(client.buffer.end(), chunk, chunk + got);
        while (client.buffer.size() >= MBAP_HEAD) {
            const uint8_t* adu = client.buffer.data();
            const int protocol = (adu[2] << 8) | adu[3];
            const int length = (adu[4] << 8) | adu[5];
            if (protocol != 0 || length < 2 || length > MAX_ADU_LENGTH) {
                return false;
            }
            const std::size_t whole = 6 + static_cast<std::size_t>(length);
            if (client.buffer.size() < whole) {
                break;
            }
            if (!answer(client.fd, adu, whole)) {
                return false;
            }
            client.buffer.erase(client.buffer.begin(),
                                client.buffer.begin() + static_cast<std::ptrdiff_t>(whole));
        }
        return true;
    }

    bool answer(int fd, const uint8_t* adu, std::size_t length) {
        int verdict = JudgeRequest({adu + MBAP_HEAD, length - MBAP_HEAD});
        if (verdict == MB_MALFORMED) {
            return false;
        }
        modbus_set_socket(context, fd);
        SetScanAge(image, state, WallClock::now());
        mapping->tab_registers[MB_SCAN_AGE] = image[MB_SCAN_AGE];
        mapping->tab_input_registers[MB_SCAN_AGE] = image[MB_SCAN_AGE];
        // A reply the socket cannot take now (a client that never reads)
        // fails, and the client goes.
        int sent = verdict == 0
                       ? modbus_reply(context, adu, static_cast<int>(length), mapping)
                       : modbus_reply_exception(context, adu, static_cast<unsigned>(verdict));
        return sent > 0;
    }
};

void ParseModbusAddress(const std::string& text, std::string& host, std::string& port) {
    const auto colon = text.rfind(':');
    host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    char* end = nullptr;
    long number = std::strtol(port.c_str(), &end, 10);
    if (host.empty() || port.empty() || *end != 0 || number < 1 || number > 65535) {
        throw UsageError(fmt::format("--modbus {}: give ADDRESS:PORT, for instance "
                                     "127.0.0.1:1502",
                                     text));
    }
}

ModbusOutput::ModbusOutput(const std::string& address, std::unique_ptr<OutputFeed> feed)
    : feed_(std::move(feed)), server_(std::make_unique<Server>()) {
    std::string host, port;
    ParseModbusAddress(address, host, port);
    server_->context = modbus_new_tcp_pi(host.c_str(), port.c_str());
    server_->mapping = modbus_mapping_new(0, 0, MB_LAST_ADDRESS + 1, MB_LAST_ADDRESS + 1);
    if (server_->context == nullptr || server_->mapping == nullptr) {
        throw CommandFailure("modbus: out of memory");
    }
    server_->listener = modbus_tcp_pi_listen(server_->context, 16);
    if (server_->listener < 0) {
        throw CommandFailure(
            fmt::format("modbus: cannot listen on {}: {}", address, modbus_strerror(errno)));
    }
    NonBlocking(server_->listener);
    // Until the first step, every zone is unconfirmed.
    FedState none;
    none.state.stale = true;
    FillRegisters(server_->image, none, WallClock::now());
    server_->publish();
    thread_ = std::thread([this] { run(); });
}

ModbusOutput::~ModbusOutput() {
    stop();
}

void ModbusOutput::stop() {
    feed_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ModbusOutput::run() {
    Server& s = *server_;
    std::vector<pollfd> polled;
    while (!feed_->stopping()) {
        if (std::optional<FedState> fed = feed_->takeState()) {
            s.state = fed->state;
            FillRegisters(s.image, *fed, WallClock::now());
            s.publish();
        }
        polled.assign({{feed_->wakeFd(), POLLIN, 0}, {s.listener, POLLIN, 0}});
        for (const Client& client : s.clients) {
            polled.push_back({client.fd, POLLIN, 0});
        }
        if (::poll(polled.data(), polled.size(), 1000) <= 0) {
            continue;
        }
        if ((polled[0].revents & POLLIN) != 0) {
            feed_->drainWake();
        }
        // Clients first, last to first: an accept or a drop moves the list.
        for (std::size_t i = polled.size() - 1; i >= 2; --i) {
            Client& client = s.clients[i - 2];
            if ((polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !s.serve(client)) {
                ::close(client.fd);
                s.clients.erase(s.clients.begin() + static_cast<std::ptrdiff_t>(i - 2));
            }
        }
        if ((polled[1].revents & POLLIN) != 0) {
            s.accept();
            ++clients_;
        }
    }
}

} // namespace xolhost
