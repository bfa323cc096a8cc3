#include "tests/harness/bus.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "util/hex.h"

const char* const kBusSimulatorBinary = BUS_SIMULATOR_BINARY;

namespace {

std::vector<std::string> deviceLinks(const TempDir& dir, int devices) {
    std::vector<std::string> links;
    for (int i = 1; i <= devices; ++i)
        links.push_back(dir.file("bus-device" + std::to_string(i)));
    return links;
}

ProcessOptions simulatorOptions(const std::string& trace, const std::string& controller,
                                const std::vector<std::string>& devices) {
    ProcessOptions options = programOptions({kBusSimulatorBinary, trace, controller});
    options.args.insert(options.args.end(), devices.begin(), devices.end());
    return options;
}

}  // namespace

Bus::Bus(const TempDir& dir, int devices)
    : controllerEnd(dir.file("bus-controller")),
      deviceEnds(deviceLinks(dir, devices)),
      trace_(dir.file("bus-trace")),
      simulator_(simulatorOptions(trace_, controllerEnd, deviceEnds)) {
    if (!simulator_.waitForLine("ready"))
        throw std::runtime_error("bus simulator not ready: " + simulator_.errorText());
}

std::vector<Bus::Passage> Bus::passages() const {
    std::vector<Passage> out;
    std::ifstream trace(trace_);
    std::string line;
    while (std::getline(trace, line)) {
        std::istringstream fields(line);
        Passage passage{};
        std::string hex;
        if (fields >> passage.from >> passage.baud >> hex && hexDecode(hex, &passage.bytes))
            out.push_back(passage);
    }
    return out;
}
