#include <algorithm>
#include <cmath>
#include <string>

#include "host/process.hpp"
#include "host/volume.hpp"

namespace td::host {
namespace {

constexpr const char* PACTL = "pactl";
constexpr const char* DEFAULT_SINK = "@DEFAULT_SINK@";
// pactl's messages and number formats are only stable in the C locale.
const EnvironmentOverrides C_LOCALE = {"LC_ALL=C"};

ProcessResult pactl(std::vector<std::string> args) {
    return runProcess(PACTL, args, C_LOCALE);
}

}  // namespace

std::optional<int> parseVolumePercent(std::string_view output) {
    double sum = 0;
    int count = 0;
    for (std::size_t percent = output.find('%'); percent != std::string_view::npos;
         percent = output.find('%', percent + 1)) {
        std::size_t start = percent;
        while (start > 0 && output[start - 1] >= '0' && output[start - 1] <= '9') {
            --start;
        }
        if (start < percent) {
            sum += std::stoi(std::string(output.substr(start, percent - start)));
            ++count;
        }
    }
    if (count == 0) {
        return std::nullopt;
    }
    return static_cast<int>(std::lround(sum / count));
}

bool parseMuted(std::string_view output) {
    return output.find("Mute: yes") != std::string_view::npos;
}

int getVolume() {
    const auto result = pactl({"get-sink-volume", DEFAULT_SINK});
    if (result.status != 0) {
        return -1;
    }
    return parseVolumePercent(result.output).value_or(-1);
}

bool setVolume(int level) {
    const int clamped = std::clamp(level, 0, 100);
    return pactl({"set-sink-volume", DEFAULT_SINK, std::to_string(clamped) + "%"}).status == 0;
}

bool isMuted() {
    const auto result = pactl({"get-sink-mute", DEFAULT_SINK});
    return result.status == 0 && parseMuted(result.output);
}

bool setMuted(bool muted) {
    return pactl({"set-sink-mute", DEFAULT_SINK, muted ? "1" : "0"}).status == 0;
}

}  // namespace td::host
