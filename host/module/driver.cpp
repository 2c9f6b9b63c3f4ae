// A channel of the driver module: its context block and the calls on it.
#include "module/driver.h"

#include <cstring>

namespace xolhost {

Channel::Channel(DriverModule& module)
    : module_(module), context_(std::make_unique<uint64_t[]>((module.info().contextSize + 7) / 8)) {
}

Channel::~Channel() {
    if (open_) {
        close();
    }
}

int32_t Channel::open(const LineSettings& line) {
    OpenRequest request{};
    std::strncpy(request.name, line.port.c_str(), sizeof request.name - 1);
    request.enabled = 1;
    request.timeout = line.timeout;
    request.settings = line.settings;
    int32_t result = module_.call(context_.get(), FC_OPEN_CHANNEL, &request);
    open_ = result == RC_DONE;
    return result;
}

int32_t Channel::close() {
    int32_t result = module_.call(context_.get(), FC_CLOSE_CHANNEL, nullptr);
    if (result == RC_DONE) {
        open_ = false;
    }
    return result;
}

int32_t Channel::check(const std::string& address, Point& point) {
    PointDefinition definition{};
    definition.text = address.c_str();
    int32_t result = module_.call(context_.get(), FC_CHECK_POINT, &definition);
    point = {address, definition.kind, definition.number};
    return result;
}

int32_t Channel::checkBlock(const std::string& address, int32_t count, Point& point) {
    PointDefinition definition{};
    definition.text = address.c_str();
    definition.count = count;
    int32_t result = module_.call(context_.get(), FC_CHECK_BLOCK, &definition);
    point = {address, definition.kind, definition.number};
    return result;
}

namespace {

PointRequest RequestFor(const Point& point, void* data) {
    PointRequest request{};
    request.kind = point.kind;
    request.number = static_cast<uint32_t>(point.number);
    request.data = data;
    return request;
}

} // namespace

int32_t Channel::read(const Point& point, uint16_t& value) {
    PointValue data{};
    data.value = value;
    PointRequest request = RequestFor(point, &data);
    int32_t result = module_.call(context_.get(), FC_READ_POINT, &request);
    value = data.value;
    return result;
}

int32_t Channel::readBlock(const Point& point, int32_t count, std::vector<uint16_t>& values) {
    values.assign(count > 0 ? static_cast<std::size_t>(count) : 0, 0);
    PointRequest request = RequestFor(point, values.data());
    request.count = count;
    return module_.call(context_.get(), FC_READ_BLOCK, &request);
}

int32_t Channel::write(const Point& point, uint16_t value) {
    PointValue data{};
    data.value = value;
    PointRequest request = RequestFor(point, &data);
    return module_.call(context_.get(), FC_WRITE_POINT, &request);
}

const char* ResultName(int32_t result) {
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

} // namespace xolhost
