// "Vistrel.json" beside the host executable: the frame-rate override, the low-volume threshold
// and the crash-safe switch. Read on demand, never cached.
#ifndef VISTREC_SUPPORT_CONFIG_H
#define VISTREC_SUPPORT_CONFIG_H

#include <string>

#include <json/json.h>

// Reads and strictly parses a JSON file (no comments, root object or array). A file that cannot
// be opened returns false silently; a parse failure prints "Failed to parse file:<path> err: ..."
// to standard output and returns false.
bool ReadJsonFile(std::string path, Json::Value& root);

// Strictly parses JSON text as ReadJsonFile does; false with jsoncpp's reason in *errors.
bool ParseJsonText(const std::string& text, Json::Value& root, std::string* errors);

// Path of the configuration file: the executable's directory + "Vistrel.json".
std::string ConfigFilePath();

// Looks up section/key as a 32-bit integer; writes *value only when found.
bool LookupConfigInt(const char* section, const char* key, int* value);
// The same lookup in a parsed file.
bool LookupInt(const Json::Value& root, const char* section, const char* key, int* value);

// Frame rates a recording may use, and the one it falls back to.
constexpr int kMinFrameRate = 2;
constexpr int kMaxFrameRate = 30;
constexpr int kDefaultFrameRate = 20;

// "VISTREL_CONFIG"/"framerate" into *rate when present: 0 or a rate in kMinFrameRate..
// kMaxFrameRate as it is, any other integer as kDefaultFrameRate (with a log line). `recorder`
// is unused.
void GetConfigFrameRate(void* recorder, int* rate);
void FrameRateFrom(const Json::Value& root, int* rate);

// "UPLOAD_CONFIG"/"minVolumValue", 0 when absent.
int GetConfigMinVolumeValue();

// Whether recordings are written crash-safe: true unless "crashSafe" (at the root or in
// "VISTREL_CONFIG") is false. Any other value of "crashSafe" is logged and leaves it on.
bool GetConfigCrashSafe();
bool CrashSafeFrom(const Json::Value& root);

#endif
