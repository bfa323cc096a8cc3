// What every fuzz target shares: quiet, but fully verbose, logging.
#pragma once

// Raises DebugLevel to 5 so that every log line is formatted, and sends
// standard output to /dev/null so that the run is not slowed by printing.
void quietVerboseLogging();

class WebService;

// The web service of the web targets, on an engine of its own whose
// configuration file goes to a scratch path, so that the dispatcher's saves
// touch nothing of the machine's. Built on first use; lives to the end.
WebService& fuzzedWebService();
