#include "support/Config.h"

#include <stdio.h>
#include <string.h>

#include <iostream>
#include <exception>
#include <memory>

#include "platform/Platform.h"
#include "support/Log.h"

namespace {

// Reads the whole file; the text ends at the first zero byte. A short read leaves it empty.
bool ReadFileText(const std::string& path, std::string* text) {
    FILE* file = vistrec::platform::OpenFile(path, "rb");
    if (file == nullptr)
        return false;
    long size = -1;
    if (fseek(file, 0, SEEK_END) == 0)
        size = ftell(file);
    fseek(file, 0, SEEK_SET);
    if (size >= 0) {
        std::unique_ptr<char[]> buffer(new char[size + 1]);
        buffer[size] = 0;
        if (fread(buffer.get(), 1, size, file) == static_cast<size_t>(size))
            text->assign(buffer.get());
    }
    fclose(file);
    return true;
}

}  // namespace

bool ReadJsonFile(std::string path, Json::Value& root) {
    std::string text;
    if (!ReadFileText(path, &text))
        return false;
    std::string errors;
    if (!ParseJsonText(text, root, &errors)) {
        std::cout << "Failed to parse file:" << path << " err: " << errors << std::endl;
        return false;
    }
    return true;
}

bool ParseJsonText(const std::string& text, Json::Value& root, std::string* errors) {
    Json::CharReaderBuilder builder;
    // No comments, root must be an object or an array.
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["collectComments"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        return reader->parse(text.data(), text.data() + text.size(), &root, errors);
    } catch (const std::exception& e) {
        // jsoncpp throws where nesting goes deeper than it allows; the host must not see it.
        *errors = e.what();
        return false;
    }
}

std::string ConfigFilePath() {
    return vistrec::platform::ExecutableDir() + "Vistrel.json";
}

bool LookupConfigInt(const char* section, const char* key, int* value) {
    Json::Value root;
    return ReadJsonFile(ConfigFilePath(), root) && LookupInt(root, section, key, value);
}

bool LookupInt(const Json::Value& root, const char* section, const char* key, int* value) {
    // An array root has no members (and jsoncpp refuses member lookups on it).
    if (!root.isObject())
        return false;

    // A null member counts as an object here; it is empty, so nothing is found in it.
    const Json::Value* part = root.find(section, section + strlen(section));
    if (part == nullptr || !part->isObject())
        return false;
    const Json::Value* found = part->find(key, key + strlen(key));
    if (found == nullptr)
        return false;

    // Only a number written without fraction or exponent that fits 32 bits: jsoncpp's isInt()
    // alone also accepts a real with an integral value such as 15.0.
    const Json::Value& item = *found;
    const Json::ValueType type = item.type();
    if (!item.isInt() || (type != Json::intValue && type != Json::uintValue))
        return false;
    if (value != nullptr)
        *value = item.asInt();
    return true;
}

void GetConfigFrameRate(void* /*recorder*/, int* rate) {
    Json::Value root;
    if (ReadJsonFile(ConfigFilePath(), root))
        FrameRateFrom(root, rate);
}

void FrameRateFrom(const Json::Value& root, int* rate) {
    int configured = 0;
    if (!LookupInt(root, "VISTREL_CONFIG", "framerate", &configured))
        return;
    // 0 leaves the choice to the caller. Anything else outside the range setFrameRate accepts
    // would reach the encoder (a negative or huge time base ends the process there): the
    // default rate instead.
    if (configured != 0 && (configured < kMinFrameRate || configured > kMaxFrameRate)) {
        VLOG_WARN("Vistrel.json framerate " << configured << " out of range " << kMinFrameRate
                                            << ".." << kMaxFrameRate << ", using "
                                            << kDefaultFrameRate);
        configured = kDefaultFrameRate;
    }
    *rate = configured;
}

int GetConfigMinVolumeValue() {
    int value = 0;
    LookupConfigInt("UPLOAD_CONFIG", "minVolumValue", &value);
    return value;
}

bool GetConfigCrashSafe() {
    Json::Value root;
    return !ReadJsonFile(ConfigFilePath(), root) || CrashSafeFrom(root);
}

bool CrashSafeFrom(const Json::Value& root) {
    if (!root.isObject())
        return true;
    const char* const key = "crashSafe";
    const Json::Value* item = root.find(key, key + 9);
    const Json::Value& section = root["VISTREL_CONFIG"];
    if (section.isObject() && section.isMember(key))
        item = section.find(key, key + 9);
    if (item == nullptr || (item->isBool() && item->asBool()))
        return true;
    if (!item->isBool()) {
        VLOG_WARN("Vistrel.json crashSafe is not true or false; recording crash-safe");
        return true;
    }
    VLOG_INFO("Vistrel.json crashSafe false: the file is written in one pass");
    return false;
}
