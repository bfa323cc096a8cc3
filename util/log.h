// Logging shared by both threads: syslog at LOG_INFO plus the same line on
// standard output, filtered by the run-time verbosity DebugLevel.
#pragma once

#include <atomic>
#include <cstdint>

// Log verbosity, 0 while static objects are built and 1 from the start of main.
// Read by every log statement on both threads and written by the web worker.
extern std::atomic<int32_t> DebugLevel;

// True when a line of this threshold would be written. Lets callers skip
// building costly arguments (time texts, hex dumps) for lines nobody sees.
inline bool logEnabled(int threshold) {
    return DebugLevel.load(std::memory_order_relaxed) >= threshold;
}

// True when fd is the stream that systemd connected to the journal:
// journalStream (the variable JOURNAL_STREAM, may be null) is "<device>:<inode>"
// of that stream.
bool streamIsJournal(int fd, const char* journalStream);

// Writes the formatted line when DebugLevel >= threshold: to syslog at LOG_INFO
// and, followed by a line feed, to standard output, flushed at once; standard
// output is skipped when it is the journal, which has the line from syslog
// already. Whole lines only: lines of the two threads never interleave.
// Control characters inside the line are written as \xHH (line feeds ending
// the format excepted), so outside text in an argument can never start a line
// of its own; so are bytes that are not UTF-8, so the line stays text.
// REQUIRES: format is a literal of ours; outside text goes in as a "%s" argument.
void logAt(int threshold, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Fatal start-up error: the message goes to syslog at LOG_ERR and to standard
// error (never standard output; skipped when it is the journal), then the
// process exits with status 1.
[[noreturn]] void fatalExit(const char* format, ...) __attribute__((format(printf, 1, 2)));
