// describe and check: what the module says of itself and of point
// addresses, with no panel.
#include <fmt/format.h>

#include <algorithm>

#include "commands/command_table.h"
#include "commands/failure.h"
#include "commands/options.h"
#include "module/driver.h"
#include "platform/exit_codes.h"
#include "present/cp437.h"
#include "present/output.h"

namespace xolhost {

using nlohmann::json;

int RunDescribe(CommandContext& context) {
    const DriverModule& module = context.module;
    const DriverInfo& info = module.info();
    std::string banner = Cp437ToUtf8(info.banner != nullptr ? info.banner : "");
    std::string name = info.shortName != nullptr ? info.shortName : "";
    json outcome = {{"command", "describe"},
                    {"result", "done"},
                    {"version", XOLHOST_VERSION},
                    {"module", module.path()},
                    {"driver_code", info.driverCode},
                    {"short_name", name},
                    {"context_size", info.contextSize},
                    {"defaults",
                     {{"timeout", info.defaultTimeout},
                      {"baud", info.defaultBaud},
                      {"data_bits", info.defaultDataBits},
                      {"stop_bits", StopBitsName(info.defaultStopBits)},
                      {"parity", ParityName(info.defaultParity)}}},
                    {"info_flags", info.infoFlags},
                    {"banner", banner}};
    if (!banner.empty() && banner.back() == '\n') {
        banner.pop_back();
    }
    PrintResult(
        context.out, outcome,
        {banner, fmt::format("Driver        {} (driver code {})", name, info.driverCode),
         fmt::format("Module        {}", module.path()),
         fmt::format("Host          xolhost {}", XOLHOST_VERSION),
         fmt::format("Context size  {} bytes", info.contextSize),
         fmt::format("Line defaults {} baud, {} data bits, {} parity, {} stop bit{}",
                     info.defaultBaud, info.defaultDataBits, ParityName(info.defaultParity),
                     StopBitsName(info.defaultStopBits), info.defaultStopBits == 0 ? "" : "s"),
         fmt::format("Time-out      {} (units of 10 ms: {} ms)", info.defaultTimeout,
                     info.defaultTimeout * 10ull),
         fmt::format("Info flags    {}", info.infoFlags)});
    return EXIT_DONE;
}

int RunCheck(CommandContext& context) {
    const Options& options = context.options;
    const Site* site = context.out.site();
    Channel channel(context.module);
    int32_t worst = RC_DONE;
    json points = json::array();
    std::vector<std::string> lines;
    for (const auto& address : options.addresses) {
        Point point;
        int32_t result = options.count ? channel.checkBlock(address, *options.count, point)
                                       : channel.check(address, point);
        worst = std::max(worst, result);
        json entry = {{"address", address}, {"result", ResultName(result)}};
        if (result == RC_DONE) {
            entry = PointJson(point, site);
            entry["result"] = "done";
        }
        points.push_back(entry);
        std::string detail = result == RC_DONE ? PointText(point) + PointName(address, site)
                             : options.count   ? std::string("not a block of at most 1000 zones "
                                                               "from a zone address (P0001..P6299)")
                                               : std::string("not a valid point address");
        lines.push_back(fmt::format("{:<9} {:<8} {}", address, ResultName(result), detail));
    }
    json outcome = {{"command", "check"}, {"result", ResultName(worst)}, {"points", points}};
    if (options.count) {
        outcome["count"] = *options.count;
    }
    PrintResult(context.out, outcome, lines);
    return ExitCodeOf(worst);
}

} // namespace xolhost
