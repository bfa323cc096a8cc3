#include "web/proc_stats.h"

#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "util/log.h"

namespace {

bool startsWith(const std::string& line, const char* prefix) {
    return line.rfind(prefix, 0) == 0;
}

// The decimal number that starts at the line's first digit, up to the next
// non-digit. The kernel writes kilobytes well inside 32 bits; anything wider
// is held at the largest value rather than wrapped to a small one.
uint32_t figureOf(const std::string& line) {
    const size_t start = line.find_first_of("0123456789");
    if (start == std::string::npos)
        return 0;
    uint64_t value = 0;
    for (size_t i = start; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(line[i] - '0');
        if (value > UINT32_MAX)
            return UINT32_MAX;
    }
    return static_cast<uint32_t>(value);
}

// Counters in /proc are 64-bit on 64-bit kernels; the figures keep their low
// 32 bits, as they would on the camera.
uint32_t low32(unsigned long long value) {
    return static_cast<uint32_t>(value);
}

}  // namespace

bool ProcStats::readMemory() {
    std::ifstream meminfo("/proc/meminfo");
    if (!meminfo) {
        logAt(1, "Can't open /proc/meminfo");
        return false;
    }
    parseMemory(meminfo);
    return true;
}

void ProcStats::parseMemory(std::istream& meminfo) {
    memFree = 0;
    memAvailable = 0;
    memTotal = 0;
    std::string line;
    while (std::getline(meminfo, line)) {
        if (startsWith(line, "MemFree:")) {
            memFree = figureOf(line);
        } else if (startsWith(line, "MemAvailable:")) {
            memAvailable = figureOf(line);
        } else if (startsWith(line, "MemTotal:")) {
            memTotal = figureOf(line);
        }
        if (memFree != 0 && memAvailable != 0 && memTotal != 0)
            break;
    }
    memoryXml = "<MemTotal>" + std::to_string(memTotal) + "</MemTotal><MemFree>" +
                std::to_string(memFree) + "</MemFree><MemAvailable>" +
                std::to_string(memAvailable) + "</MemAvailable>";
}

bool ProcStats::readProcess(int taskId) {
    const std::string taskDir = "/proc/" + std::to_string(taskId);
    const std::string statPath = taskDir + "/stat";
    std::ifstream statFile(statPath);
    if (!statFile) {
        logAt(1, "Can't open stat file %s", statPath.c_str());
        return false;
    }
    std::string line;
    std::getline(statFile, line);
    parseTaskStat(line);
    statFile.close();

    std::ifstream cpuFile("/proc/stat");
    if (!cpuFile) {
        logAt(1, "Can't open /proc/stat");
        return false;
    }
    line.clear();
    std::getline(cpuFile, line);
    parseCpuLine(line);
    cpuFile.close();

    const long pageSize = sysconf(_SC_PAGESIZE);

    std::ifstream statmFile(taskDir + "/statm");
    if (!statmFile) {
        logAt(1, "Can't open /proc/[PID]/stat");
        return false;
    }
    line.clear();
    std::getline(statmFile, line);
    parseStatm(line, pageSize > 0 ? static_cast<uint32_t>(pageSize) : 0);
    statmFile.close();

    logProcess(taskId);
    return true;
}

void ProcStats::parseTaskStat(const std::string& statLine) {
    // The command name is in parentheses and may itself hold blanks or
    // parentheses, so the fields are counted from after its last ")".
    const size_t nameEnd = statLine.rfind(')');
    std::istringstream fields(nameEnd == std::string::npos ? statLine
                                                           : statLine.substr(nameEnd + 1));
    std::string skip;
    fields >> skip;  // field 3, the state
    for (int field = 4; field <= 13; ++field)
        fields >> skip;
    unsigned long long user = 0, kernel = 0, virtualSize = 0;
    fields >> user >> kernel;
    for (int field = 16; field <= 22; ++field)
        fields >> skip;
    fields >> virtualSize;
    utime = low32(user);
    stime = low32(kernel);
    vsize = low32(virtualSize);
}

void ProcStats::parseCpuLine(const std::string& cpuLine) {
    std::istringstream fields(cpuLine);
    std::string label;
    fields >> label;
    // user nice system idle iowait irq softirq steal; the guest counters that
    // may follow are already part of user and nice.
    unsigned long long ticks[8] = {};
    for (unsigned long long& counter : ticks) {
        if (!(fields >> counter)) {
            counter = 0;
            break;
        }
    }
    userTime = low32(ticks[0]);
    niceTime = low32(ticks[1]);
    systemTime = low32(ticks[2]);
    unsigned long long total = 0;
    for (unsigned long long counter : ticks)
        total += counter;
    totalTime = low32(total);
}

void ProcStats::parseStatm(const std::string& statmLine, uint32_t pageSize) {
    std::istringstream fields(statmLine);
    uint32_t* const targets[] = {&size, &resident, &share, &text, &lib, &data, &dt};
    for (uint32_t* target : targets) {
        unsigned long long pages = 0;
        if (!(fields >> pages))
            pages = 0;
        *target = low32(pages) * pageSize;
    }
}

void ProcStats::logProcess(int taskId) const {
    if (!logEnabled(5))
        return;
    logAt(5, "PID %d stat, utime=%lu, stime=%lu, vsize=%lu", taskId,
          static_cast<unsigned long>(utime), static_cast<unsigned long>(stime),
          static_cast<unsigned long>(vsize));
    const uint32_t busy = utime + stime;
    // A zero base shows as inf or nan, without a division by zero.
    const double cpuShare = totalTime != 0
                                ? static_cast<double>(busy) / static_cast<double>(totalTime) * 100
                                : (busy != 0 ? HUGE_VAL : NAN);
    logAt(5, "CpuTime = %f, UserTime=%lu,niceTime=%lu,systemTime=%lu,totalTime=%lu", cpuShare,
          static_cast<unsigned long>(userTime), static_cast<unsigned long>(niceTime),
          static_cast<unsigned long>(systemTime), static_cast<unsigned long>(totalTime));
    logAt(5,
          "sizeInKB = %lu,residentInKB=%lu,shareInKB=%lu,textInKB=%lu,libInKB=%lu,dataInKB=%lu,"
          "dtInKB=%lu",
          static_cast<unsigned long>(size >> 10), static_cast<unsigned long>(resident >> 10),
          static_cast<unsigned long>(share >> 10), static_cast<unsigned long>(text >> 10),
          static_cast<unsigned long>(lib >> 10), static_cast<unsigned long>(data >> 10),
          static_cast<unsigned long>(dt >> 10));
}
