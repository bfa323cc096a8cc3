#include "web/xml_text.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

std::string xmlElement(const std::string& name, int value) {
    return xmlElement(name, std::to_string(value));
}

std::string xmlElement(const std::string& name, const std::string& value) {
    return "<" + name + ">" + value + "</" + name + ">";
}

std::string xmlElement(const std::string& name, bool value) {
    return xmlElement(name, std::string(value ? "true" : "false"));
}

std::string hexText(uint32_t value) {
    std::ostringstream text;
    text << std::hex << std::uppercase << value;
    return text.str();
}

std::string cardText(uint32_t card) {
    char text[9];
    snprintf(text, sizeof text, "%08" PRIX32, card);
    return text;
}
