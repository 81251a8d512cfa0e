// "Vistrel.json" beside the host executable: the frame-rate override and the low-volume
// threshold. Read on demand, never cached.
#ifndef VISTREC_SUPPORT_CONFIG_H
#define VISTREC_SUPPORT_CONFIG_H

#include <string>

#include <json/json.h>

// Reads and strictly parses a JSON file (no comments, root object or array). A file that cannot
// be opened returns false silently; a parse failure prints "Failed to parse file:<path> err: ..."
// to standard output and returns false.
bool ReadJsonFile(std::string path, Json::Value& root);

// Path of the configuration file: the executable's directory + "Vistrel.json".
std::string ConfigFilePath();

// Looks up section/key as a 32-bit integer; writes *value only when found.
bool LookupConfigInt(const char* section, const char* key, int* value);

// "VISTREL_CONFIG"/"framerate" into *rate when present. `recorder` is unused (kept from the
// design's signature).
void GetConfigFrameRate(void* recorder, int* rate);

// "UPLOAD_CONFIG"/"minVolumValue", 0 when absent.
int GetConfigMinVolumeValue();

#endif
