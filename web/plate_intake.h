// Licence-plate events: the JSON body the recognition application posts,
// turned into a card read on the reader its region names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "osdp/osdp_peripheral.h"
#include "util/plate_card.h"

// The most a POST body may hold; a longer one is refused whole. The camera's
// plate events carry a snapshot, and its web server passes up to this much.
constexpr size_t kBodyLimit = 1024 * 1024;

// Object and array nesting a plate event may use; real events nest two or
// three levels. The parser counts levels as it goes and stops at the first one
// past the limit; it keeps the nesting on the heap, never on the stack.
constexpr int kJsonDepthLimit = 32;

// The roiID member as read: the reader its region names (1 or 2), or 0 for
// a number that names none, shown in the log as number.
struct PlateRegion {
    int reader = 0;
    std::string number;
};

class PlateIntake {
  public:
    // arrived: when the request carrying the event began to arrive (see
    // OsdpPeripheral::injectCard).
    explicit PlateIntake(OsdpPeripheral& osdp, std::optional<int64_t> arrived = std::nullopt)
        : osdp(osdp), arrived(arrived) {}

    // Takes a POST body as a plate event: one RFC 8259 JSON text, UTF-8 with
    // or without a byte order mark, whose one member plateUTF8, at any depth,
    // is the plate and whose one member roiID (a string or a number) is the
    // region. Delivers the card of the plate, or logs why not: a body that is
    // not strict JSON (comments, single quotes, a second value), is UTF-16 or
    // UTF-32, nests too deep, names either member twice, or whose plate holds
    // \u0000 delivers nothing. Returns false, having done nothing, for a body
    // that is no plate event: valid JSON without a plateUTF8 member, or text
    // that does not open as a JSON object or array.
    bool take(std::string_view body);

  private:
    // The card of the event's plate; no region when the event names none.
    void deliver(const PlateCard& card, const std::optional<PlateRegion>& region);

    OsdpPeripheral& osdp;
    const std::optional<int64_t> arrived;
};
