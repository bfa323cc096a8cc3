// What every fuzz target shares: quiet, but fully verbose, logging.
#pragma once

// Raises DebugLevel to 5 so that every log line is formatted, and sends
// standard output to /dev/null so that the run is not slowed by printing.
void quietVerboseLogging();
