// Golden transcripts: OSDP line exchanges as text, one item a line, '#' starting
// a comment; free of any test framework, to be replayed by any program.
//   > 53 0A 08 00 05 60 74 DF   bytes sent to the readers: frames, noise, pieces
//   < 53 8A 08 00 05 40 C6 D9   the exact reply, completed by the last byte sent
//   < none                      no byte of the '>' line before it was answered
//   card 1 1234ABCD             anything else: a directive and its arguments
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "util/hex.h"

struct TranscriptLine {
    int number = 0;  // in the file, from 1
    std::string word;
    std::vector<std::string> args;
    std::vector<uint8_t> bytes;  // of '>' and '<'; empty for "< none"
};

// Words of hex digit pairs as bytes; none if any word is not one.
inline std::vector<uint8_t> hexBytes(const std::vector<std::string>& words) {
    std::vector<uint8_t> bytes;
    for (const std::string& word : words) {
        if (!hexDecode(word, &bytes))
            return {};
    }
    return bytes;
}

// The items of the transcript at path; a '>' or '<' line of anything but hex has no bytes.
inline std::vector<TranscriptLine> readTranscript(const std::string& path) {
    std::vector<TranscriptLine> lines;
    std::ifstream file(path);
    std::string text;
    for (int number = 1; std::getline(file, text); ++number) {
        std::istringstream in(text.substr(0, text.find('#')));
        TranscriptLine line{number, "", {}, {}};
        in >> line.word;
        for (std::string word; in >> word;)
            line.args.push_back(word);
        if (line.word == ">" || line.word == "<")
            line.bytes = hexBytes(line.args);
        if (!line.word.empty())
            lines.push_back(line);
    }
    return lines;
}
