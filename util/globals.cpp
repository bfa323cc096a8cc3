#include "util/globals.h"

std::string DeviceSerial;
