// What the benchmarks need beside the black-box tests' harness: a virtual
// serial line driven from this process, and a FastCGI client that times the
// daemon's web interface without a process between them and its socket.
#pragma once

#include <optional>
#include <string>

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
