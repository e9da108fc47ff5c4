#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "host/capabilities.hpp"
#include "host/linux/pactl_output.hpp"
#include "host/process.hpp"
#include "host/volume.hpp"

namespace td::host {
namespace {

constexpr const char* PACTL = "pactl";
constexpr const char* DEFAULT_SINK = "@DEFAULT_SINK@";
// pactl's messages and number formats are only stable in the C locale.
const EnvironmentOverrides C_LOCALE = {"LC_ALL=C"};

ProcessResult runPactl(std::vector<std::string> args) {
    return runProcess(PACTL, args, C_LOCALE);
}

}  // namespace

namespace pactl {

std::optional<int> volumePercent(std::string_view output) {
    double sum = 0;
    int count = 0;
    for (std::size_t percent = output.find('%'); percent != std::string_view::npos;
         percent = output.find('%', percent + 1)) {
        std::size_t start = percent;
        while (start > 0 && output[start - 1] >= '0' && output[start - 1] <= '9') {
            --start;
        }
        int value = 0;
        const auto [end, ec] =
            std::from_chars(output.data() + start, output.data() + percent, value);
        if (start < percent && ec == std::errc{}) {  // an absurdly long number is not a volume
            sum += value;
            ++count;
        }
    }
    if (count == 0) {
        return std::nullopt;
    }
    return static_cast<int>(std::lround(sum / count));
}

bool muted(std::string_view output) {
    return output.find("Mute: yes") != std::string_view::npos;
}

std::optional<std::string> infoField(std::string_view output, std::string_view field) {
    const std::string key = std::string(field) + ": ";
    for (std::size_t at = 0; at < output.size();) {
        const std::size_t end = std::min(output.find('\n', at), output.size());
        const std::string_view line = output.substr(at, end - at);
        if (line.starts_with(key)) {
            return std::string(line.substr(key.size()));
        }
        at = end + 1;
    }
    return std::nullopt;
}

}  // namespace pactl

int getVolume() {
    const auto result = runPactl({"get-sink-volume", DEFAULT_SINK});
    if (result.status != 0) {
        return -1;
    }
    return pactl::volumePercent(result.output).value_or(-1);
}

bool setVolume(int level) {
    const int clamped = std::clamp(level, 0, 100);
    return runPactl({"set-sink-volume", DEFAULT_SINK, std::to_string(clamped) + "%"}).status == 0;
}

bool isMuted() {
    const auto result = runPactl({"get-sink-mute", DEFAULT_SINK});
    return result.status == 0 && pactl::muted(result.output);
}

std::optional<SoundServer> soundServer() {
    const auto result = runPactl({"info"});
    const auto name = pactl::infoField(result.output, "Server Name");
    if (result.status != 0 || !name) {
        return std::nullopt;
    }
    return SoundServer{*name, pactl::infoField(result.output, "Default Sink").value_or("")};
}

bool setMuted(bool muted) {
    return runPactl({"set-sink-mute", DEFAULT_SINK, muted ? "1" : "0"}).status == 0;
}

}  // namespace td::host
