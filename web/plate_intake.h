// Licence-plate events: the JSON body the recognition application posts,
// turned into a card read on the reader its region names.
#pragma once

#include <optional>
#include <string>

#include "osdp/osdp_peripheral.h"

// The most a POST body may hold; a longer one is refused whole. The camera's
// plate events carry a snapshot, and its web server passes up to this much.
constexpr size_t kBodyLimit = 1024 * 1024;

// Object and array nesting a plate event may use. The JSON parser descends
// one stack frame per level, so a body of a million brackets would end the
// process on the worker's stack; real events nest two or three levels.
constexpr int kJsonDepthLimit = 32;

class PlateIntake {
  public:
    // arrived: when the request carrying the event began to arrive (see
    // OsdpPeripheral::injectCard).
    explicit PlateIntake(OsdpPeripheral& osdp, std::optional<int64_t> arrived = std::nullopt)
        : osdp(osdp), arrived(arrived) {}

    // Takes a POST body as a plate event: a JSON text whose first member
    // plateUTF8, in document order at any depth, is the plate and whose first
    // member roiID (a string or a number) is the region. Delivers the card of
    // the plate, or logs why not. Returns false, having done nothing, for a
    // body that is no plate event: valid JSON without a plateUTF8 member, or
    // text that does not open as a JSON object.
    bool take(const std::string& body);

  private:
    // The plate already decoded, its blanks removed; no region when the event
    // names none.
    void deliver(const std::string& plate, std::optional<int> region);

    OsdpPeripheral& osdp;
    const std::optional<int64_t> arrived;
};
