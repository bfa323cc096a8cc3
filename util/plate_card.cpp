#include "util/plate_card.h"

#include <algorithm>
#include <iterator>

#include "util/sha1.h"

namespace {

bool isControl(char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte < 32 || byte == 127;
}

}  // namespace

std::optional<PlateCard> plateCard(const std::string& text) {
    PlateCard out;
    out.plate.reserve(text.size());
    std::copy_if(text.begin(), text.end(), std::back_inserter(out.plate),
                 [](char c) { return c != ' '; });
    if (std::all_of(out.plate.begin(), out.plate.end(), isControl))
        return std::nullopt;
    Sha1 sha;
    sha.update(out.plate);
    out.digest = sha.finalHex();
    out.card = cardNumberFromDigest(out.digest);
    return out;
}
