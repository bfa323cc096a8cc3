// An RS-485 two-wire pair with one controller and several devices on it, for
// tests of several readers, or several daemons, on one line (see
// bus_simulator.cpp for what passes where).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/harness/daemon_harness.h"

extern const char* const kBusSimulatorBinary;

// The controller's end is linked at dir/bus-controller, the devices' at
// dir/bus-device1, dir/bus-device2, ... from construction, once the
// simulator runs, until destruction. One bus per directory.
class Bus {
  public:
    Bus(const TempDir& dir, int devices);

    const std::string controllerEnd;
    const std::vector<std::string> deviceEnds;

    struct Passage {
        int from;  // 0 the controller, 1 and up the devices
        int baud;  // the sending end's rate as the simulator took the bytes
        std::vector<uint8_t> bytes;
    };
    // What passed the line so far, in order.
    std::vector<Passage> passages() const;

  private:
    const std::string trace_;
    ChildProcess simulator_;
};
