// The OSDP line settings: each reader's address and the line's baud rate, set
// by the installer in a file and moved by the panel with osdp_COMSET. The file
// (ZUL_LINE_FILE) holds one setting a line:
//
//   # exit lane: the entry camera answers at 10 and 11
//   reader1 12
//   reader2 13
//   baud 38400   # the panel's rate
//
// "#" starts a comment, at the start of a line or after a value. Blank lines,
// and blanks, tabs and carriage returns around the words, are allowed. Values
// are decimal, without sign. Each setting may be given once; one not given
// keeps its default (10, 11, 9600), and so does every setting when there is
// no file.
//
// Lives here, below the engine and the start, because both need it: the start
// reads the file, and the engine checks a panel's osdp_COMSET against the same
// rules and keeps what it accepts with storeLineSettings.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// Used when ZUL_LINE_FILE is not set: the daemon's state directory.
constexpr const char kDefaultLineFilePath[] = "/var/lib/kanzo_zul/osdp-line";

struct LineSettings {
    std::array<uint8_t, 2> readerAddress{{10, 11}};  // reader 1, reader 2
    uint32_t baud = 9600;

    bool operator==(const LineSettings& other) const {
        return readerAddress == other.readerAddress && baud == other.baud;
    }
    bool operator!=(const LineSettings& other) const { return !(*this == other); }
};

// True for an address a reader may take: 0 to 126. 127 (0x7F) is the
// broadcast address, and bit 7 marks a reply.
bool isReaderAddress(uint32_t address);

// True for a rate the line may run at: 9600, 19200, 38400, 57600 or 115200.
bool isLineBaud(uint32_t baud);

// True when the readers can run with settings: both addresses valid and
// different (a panel could not tell the readers apart), the rate one of the
// list.
bool lineSettingsUsable(const LineSettings& settings);

// ZUL_LINE_FILE, or the default path.
std::string lineFilePath();

// The settings of a file's text. False, with *error naming the line and the
// fault ("line 3: baud must be ..."), never the line's text; *settings is
// changed only on success.
bool parseLineSettings(const std::string& text, LineSettings* settings, std::string* error);

// The file's text for settings, every setting written out; parseLineSettings
// reads it back as the same settings. Comments of a file written by hand are
// not kept.
std::string formatLineSettings(const LineSettings& settings);

// Reads the file at path into *settings; no file gives the defaults. False,
// with *error saying why, for a path that is no regular file (a FIFO is
// refused at once, without waiting for a writer), a file that cannot be opened
// or read to its end, or a text that parseLineSettings refuses.
bool loadLineSettings(const std::string& path, LineSettings* settings, std::string* error);

// Replaces the file at path with settings through writeFileAtomically (mode
// 0644: nothing in it is secret), with its result and *error: false when the
// old file stays; true once the new one is in place, with *error set when
// only the directory flush failed.
// REQUIRES: lineSettingsUsable(settings).
bool storeLineSettings(const std::string& path, const LineSettings& settings, std::string* error);
