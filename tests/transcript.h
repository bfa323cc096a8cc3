// Golden transcripts: an exchange on the OSDP line as text, replayed against
// the engine or the running daemon. One item a line, '#' starts a comment:
//
//   > 53 0A 08 00 05 60 74 DF   bytes sent to the readers: frames, noise, pieces
//   < 53 8A 08 00 05 40 C6 D9   the exact reply, completed by the last byte sent
//   < none                      no byte of the '>' line before it was answered
//   card 1 1234ABCD             anything else: a directive and its arguments
//
// Hex digits may be grouped with blanks. The player defines the directives.
// No test framework here, so that any program can replay transcripts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct TranscriptLine {
    int number = 0;                 // in the file, from 1
    std::string word;               // ">", "<" or the directive
    std::vector<std::string> args;  // of a directive
    std::vector<uint8_t> bytes;     // of '>' and '<'; empty for "< none"
};

// Pairs of hex digits, blanks between pairs allowed; false for anything else.
inline bool parseHexBytes(std::istream& in, std::vector<uint8_t>* bytes) {
    for (std::string word; in >> word;) {
        for (size_t i = 0; i < word.size(); i += 2) {
            const std::string pair = word.substr(i, 2);
            if (pair.size() != 2 || pair.find_first_not_of("0123456789abcdefABCDEF") != pair.npos)
                return false;
            bytes->push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
        }
    }
    return !bytes->empty();
}

// The items of the transcript file at path; false with *error naming the
// first line that is not one.
inline bool readTranscript(const std::string& path, std::vector<TranscriptLine>* lines,
                           std::string* error) {
    std::ifstream file(path);
    std::string text;
    for (int number = 1; std::getline(file, text); ++number) {
        std::istringstream in(text.substr(0, text.find('#')));
        TranscriptLine line{number, "", {}, {}};
        if (!(in >> line.word))
            continue;
        const bool none = line.word == "<" && text.find("< none") == 0;
        if ((line.word == ">" || line.word == "<") && !none && !parseHexBytes(in, &line.bytes)) {
            *error = path + ":" + std::to_string(number) + ": bytes in hex expected";
            return false;
        }
        for (std::string word; in >> word;)
            line.args.push_back(word);
        lines->push_back(line);
    }
    if (!file.eof())
        *error = "cannot read " + path;
    return file.eof();
}

// The transcripts (*.txt) in folder, by name.
inline std::vector<std::string> transcriptFiles(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == ".txt")
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}
