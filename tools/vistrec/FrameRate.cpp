#include "FrameRate.h"

#include <fstream>
#include <sstream>

#include <json/json.h>

namespace vistrec_cli {
namespace {

// Frame rate that setDisplay sets for quality levels 0 to 3; other levels leave it unchanged.
std::optional<int> QualityTableFps(int quality) {
    static const int kFps[] = {10, 20, 10, 20};
    if (quality < 0 || quality > 3) {
        return std::nullopt;
    }
    return kFps[quality];
}

int QualityOrDefault(const CliOptions& options) {
    return options.quality.value_or(0);
}

}  // namespace

std::optional<int> ReadConfigFrameRate(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    // The recorder reads the text up to its first zero byte.
    std::string content = text.str();
    content = content.substr(0, content.find('\0'));

    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(content.data(), content.data() + content.size(), &root, &errors)) {
        return std::nullopt;
    }
    if (!root.isObject() || !root.isMember("VISTREL_CONFIG")) {
        return std::nullopt;
    }
    const Json::Value& section = root["VISTREL_CONFIG"];
    if (!section.isObject() || !section.isMember("framerate")) {
        return std::nullopt;
    }
    // Only an integer literal that fits 32 bits counts: 15.0 and "15" do not.
    const Json::Value& rate = section["framerate"];
    bool integerType = rate.type() == Json::intValue || rate.type() == Json::uintValue;
    if (!integerType || !rate.isInt()) {
        return std::nullopt;
    }
    return rate.asInt();
}

int PredictFrameRate(const CliOptions& options, std::optional<int> configFrameRate) {
    int fps = kLibraryDefaultFps;
    if (options.display) {
        fps = QualityTableFps(QualityOrDefault(options)).value_or(fps);
    }
    // setFrameRate: the configured rate replaces the current one; 0 lets the argument in.
    if (configFrameRate) {
        fps = *configFrameRate;
    }
    if (fps == 0) {
        fps = options.fps;
    }
    return fps;
}

std::string FrameRateSource(const CliOptions& options, std::optional<int> configFrameRate) {
    if (configFrameRate) {
        return *configFrameRate == 0 ? "--fps, let in by Vistrel.json's \"framerate\": 0"
                                     : "Vistrel.json's \"framerate\"";
    }
    if (options.display && QualityTableFps(QualityOrDefault(options))) {
        return "the quality table of --display with quality " +
               std::to_string(QualityOrDefault(options));
    }
    return "the library's default";
}

}  // namespace vistrec_cli
