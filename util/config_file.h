// The configuration file at the engine's configPath.
#pragma once

class OsdpPeripheral;

// Rewrites the configuration file and clears saveRequired; false when the file
// could not be opened, written or closed.
bool saveConfig(OsdpPeripheral& osdp);
