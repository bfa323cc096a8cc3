// Text builders of the status and configuration documents.
#pragma once

#include <cstdint>
#include <string>

// "<name>value</name>", the value copied in unescaped.
std::string xmlElement(const std::string& name, int value);
std::string xmlElement(const std::string& name, const std::string& value);
std::string xmlElement(const std::string& name, bool value);

// Upper-case hexadecimal without leading zeros ("0" for zero).
std::string hexText(uint32_t value);

// A card number as the journal and the controller tool show it: 8 upper-case
// hexadecimal digits.
std::string cardText(uint32_t card);
