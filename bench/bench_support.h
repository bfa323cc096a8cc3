// What the benchmarks need beside the black-box tests' harness: a virtual
// serial line driven from this process, a FastCGI client that times the
// daemon's web interface without a process between them and its socket, the
// plate events and card reads both benchmarks speak of, and their option
// parsing.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/daemon_harness.h"

// One end of a virtual serial line: a pseudo-terminal whose slave path is
// given to the program under test and whose master the benchmark reads and
// writes. The pair holds a raw slave descriptor of its own, so the master sees
// no hang-up before the program has opened the slave.
class PtyLine {
  public:
    PtyLine();
    ~PtyLine() { hangUp(); }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

    // Closes both ends: the program on the slave sees a hang-up.
    void hangUp();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Sends one FastCGI request to the socket and returns the response body
// (standard output records), or nothing when no complete response came
// before the deadline. Retries the connection until the socket accepts.
std::optional<std::string> fastcgiRequest(const std::string& socketPath, const std::string& method,
                                          const std::string& requestUri, const std::string& body,
                                          Deadline deadline);

// The daemon's script path behind the camera's web server.
constexpr char kScript[] = "/local/kanzo_zul/osdp.cgi";

// The plate event the camera posts to "?lpr" for a plate recognised in a
// region (1 or 2).
std::string plateEvent(const std::string& plate, int region);

// The card read the controller tool logs for a plate recognised in region 1
// (reader 10) or 2 (reader 11).
std::string cardLine(const std::string& plate, int region);

// Nearest-rank percentiles of samples.
struct Summary {
    size_t count = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
};
Summary summarize(std::vector<double> samples);

// One command-line option with a value: take() stores it, or returns false
// when the value is not acceptable.
struct Option {
    std::string name;
    std::function<bool(const char* value)> take;
};

// An option holding a number in [min, max]; a whole number for integer T.
template <typename T>
Option numberOption(const std::string& name, double min, double max, T* value);
Option textOption(const std::string& name, std::string* value);

// Takes "--name value" pairs. Prints usage to standard error and returns
// false on an unknown option, a missing value or one out of range.
bool parseOptions(int argc, char** argv, const std::vector<Option>& options, const char* usage);
