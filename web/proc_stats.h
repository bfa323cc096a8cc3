// Memory and CPU figures from /proc: the memory fragment of the status document
// and the per-thread statistics that the "info" command logs. The parse
// operations take the file texts, so that they can be fed without /proc.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

class ProcStats {
  public:
    // Reads /proc/meminfo into the memory figures and memoryXml. False, with a
    // log line and memoryXml untouched, when the file cannot be opened.
    bool readMemory();

    // Reads /proc/<taskId>/stat, /proc/stat and /proc/<taskId>/statm and logs
    // the figures at DebugLevel 5. False at the first file that cannot be
    // opened; figures read before it keep their values.
    bool readProcess(int taskId);

    // meminfo text: sets memTotal, memFree and memAvailable (0 when a line is
    // missing) and rebuilds memoryXml.
    void parseMemory(std::istream& meminfo);
    // A task's stat line: sets utime, stime and vsize.
    void parseTaskStat(const std::string& statLine);
    // The first line of /proc/stat ("cpu" and its tick counters): sets
    // userTime, niceTime, systemTime and totalTime.
    void parseCpuLine(const std::string& cpuLine);
    // A task's statm line: the seven page counts times pageSize, in bytes.
    void parseStatm(const std::string& statmLine, uint32_t pageSize);
    // The three statistics lines of a task, at DebugLevel 5.
    void logProcess(int taskId) const;

    uint32_t utime = 0;
    uint32_t stime = 0;
    uint32_t vsize = 0;
    // Ticks since boot of all CPUs together, the base of the CPU share.
    uint32_t totalTime = 0;
    uint32_t userTime = 0;
    uint32_t niceTime = 0;
    uint32_t systemTime = 0;
    uint32_t size = 0;
    uint32_t resident = 0;
    uint32_t share = 0;
    uint32_t text = 0;
    uint32_t lib = 0;
    uint32_t data = 0;
    uint32_t dt = 0;
    uint32_t memFree = 0;
    uint32_t memAvailable = 0;
    uint32_t memTotal = 0;
    std::string memoryXml;
};
