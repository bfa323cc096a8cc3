// A licence plate as a card number: the one rule that every road of a plate
// into the readers follows, and that the card tool shows installers for
// enrolment. Blanks (0x20, wherever they stand) are removed; the card is the
// last four bytes of the SHA-1 of what is left, read high byte first. Nothing
// else is changed: letter case matters, "ab123cd" is another card.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct PlateCard {
    std::string plate;   // as digested: the text without its blanks
    std::string digest;  // its SHA-1, 40 upper-case hexadecimal digits
    uint32_t card = 0;   // the digest's last 8 digits as a number
};

// The card of the plate text; nothing for a text that names no plate: empty,
// or blanks and control characters (bytes 0 to 31 and 127) only. The text is
// taken byte for byte: control characters among other characters stay.
std::optional<PlateCard> plateCard(const std::string& text);
