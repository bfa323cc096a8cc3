// kanzo_zul-card: the card numbers kanzo_zul makes of licence plates, for
// enrolling the plates at the panel. One line per plate, tab-separated: the
// plate as the daemon digests it, the card in hexadecimal as the journal and
// the controller tool show it, and in decimal as most panels' card screens
// want it:
//
//   $ kanzo_zul-card 'AB 123 CD'
//   AB123CD  6D8CB9FB  1837939195
//
// Without arguments it reads plates from standard input, one per line, so
// that a site's plate list becomes a card list in one pipe.
#include <glib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/escape.h"
#include "util/plate_card.h"

namespace {

const char kUsage[] =
    "Usage: kanzo_zul-card PLATE...\n"
    "       kanzo_zul-card < PLATE-LIST\n"
    "Prints the card number kanzo_zul sends for each licence plate: the plate\n"
    "without blanks, the card in hexadecimal and in decimal, separated by tabs.\n"
    "Without arguments it reads one plate per line from standard input.\n"
    "Exit status 1 when a plate names no card (empty, blanks or control\n"
    "characters only, not UTF-8 text); the other plates are still printed.\n";

// A UTF-8 file saved by some Windows editors begins with it.
const char kByteOrderMark[] = "\xEF\xBB\xBF";

// Prints the line of the plate text, or says on standard error why it names
// no card; where is the plate's place in the input ("argument 2", "line 7").
bool printCard(const std::string& text, const std::string& where) {
    // The camera's plates are UTF-8: the daemon refuses other bytes in a plate
    // event, so a list in another encoding would give cards no car brings.
    // GLib counts a zero byte as no text either.
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) {
        fprintf(stderr, "kanzo_zul-card: %s: not UTF-8 text\n", where.c_str());
        return false;
    }
    const std::optional<PlateCard> card = plateCard(text);
    if (!card) {
        fprintf(stderr, "kanzo_zul-card: %s: no plate (empty, blanks or control characters)\n",
                where.c_str());
        return false;
    }
    printf("%s\t%08" PRIX32 "\t%" PRIu32 "\n", printable(card->plate).c_str(), card->card,
           card->card);
    return true;
}

// Standard input, one plate a line. A line ends with a line feed, or a
// carriage return and a line feed (a list saved on Windows); a byte order
// mark before the first line is no part of its plate.
bool printCardsOfLines(FILE* in) {
    bool allCards = true;
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t length;
    for (int number = 1; (length = getline(&buffer, &capacity, in)) >= 0; ++number) {
        std::string line(buffer, static_cast<size_t>(length));
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (number == 1 && line.rfind(kByteOrderMark, 0) == 0)
            line.erase(0, strlen(kByteOrderMark));
        allCards = printCard(line, "line " + std::to_string(number)) && allCards;
    }
    free(buffer);
    if (ferror(in)) {
        fprintf(stderr, "kanzo_zul-card: cannot read standard input: %s\n", strerror(errno));
        return false;
    }
    return allCards;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(kUsage, stdout);
        return 0;
    }
    bool allCards = true;
    if (argc == 1)
        allCards = printCardsOfLines(stdin);
    for (int i = 1; i < argc; ++i)
        allCards = printCard(argv[i], "argument " + std::to_string(i)) && allCards;
    // A full disk or a closed pipe must not pass for a complete list.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "kanzo_zul-card: cannot write the cards: %s\n", strerror(errno));
        return 1;
    }
    return allCards ? 0 : 1;
}
