// The installer's status page: one self-contained HTML document (no outside
// fonts or scripts: a camera has no internet) that shows both readers and the
// line, refreshed every second from getStatusXML and getDiagnosticsXML, with a
// form for a test plate, one that shows a plate's card number, and the tamper
// states.
#pragma once

extern const char kStatusPage[];
