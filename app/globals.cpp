#include "app/globals.h"

std::string DeviceSerial;
