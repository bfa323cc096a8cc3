// Outside text (plates, query keys and values, names) made safe to show.
#pragma once

#include <string>

// text as the character data of an XML element or attribute: the five markup
// characters become entity references; bytes that are no well-formed UTF-8,
// and characters XML 1.0 forbids (controls but tab, line feed and carriage
// return; U+FFFE and U+FFFF), become U+FFFD. The result parses as XML.
std::string xmlText(const std::string& text);

// text with every control character (bytes 0 to 31 and 127) written as \xHH,
// so that it cannot break a log line into two, and every byte that is not part
// of well-formed UTF-8 written the same way, so that the log stays UTF-8.
std::string printable(const std::string& text);
