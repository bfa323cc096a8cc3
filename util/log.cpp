#include "util/log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "util/escape.h"

std::atomic<int32_t> DebugLevel{0};

namespace {

std::mutex logMutex;

std::string formatText(const char* format, va_list args) {
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0)
        return std::string();
    if (static_cast<size_t>(needed) < sizeof small)
        return std::string(small, needed);
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(needed));
    return text;
}

// Under systemd, syslog and the standard streams both reach the journal;
// syslog's copy is the one kept, with its level, and the same everywhere.
bool isJournal(int fd) {
    static const bool stdoutIsJournal = streamIsJournal(STDOUT_FILENO, getenv("JOURNAL_STREAM"));
    static const bool stderrIsJournal = streamIsJournal(STDERR_FILENO, getenv("JOURNAL_STREAM"));
    return fd == STDOUT_FILENO ? stdoutIsJournal : stderrIsJournal;
}

}  // namespace

bool streamIsJournal(int fd, const char* journalStream) {
    unsigned long long device = 0, inode = 0;
    char end = 0;
    struct stat info;
    return journalStream != nullptr &&
           sscanf(journalStream, "%llu:%llu%c", &device, &inode, &end) == 2 &&
           fstat(fd, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

void logAt(int threshold, const char* format, ...) {
    if (!logEnabled(threshold))
        return;
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    // One event, one line: a line feed or any other control character inside
    // the line (outside text in an argument) is shown escaped, and so is any
    // byte that is not UTF-8. Line feeds that
    // end a format of ours stay as they are.
    const size_t end = text.find_last_not_of('\n') + 1;
    text = printable(text.substr(0, end)) + text.substr(end);

    std::lock_guard<std::mutex> lock(logMutex);
    syslog(LOG_INFO, "%s", text.c_str());
    if (isJournal(STDOUT_FILENO))
        return;
    text.push_back('\n');
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

void fatalExit(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    {
        std::lock_guard<std::mutex> lock(logMutex);
        syslog(LOG_ERR, "%s", text.c_str());
        if (!isJournal(STDERR_FILENO)) {
            fprintf(stderr, "%s\n", text.c_str());
            fflush(stderr);
        }
    }
    exit(1);
}
