#include "host/pointer.hpp"

#include <cmath>

namespace td::host {
namespace {

std::optional<double> finiteValue(const UntrustedJson& value) {
    if (!value.is_number()) {
        return std::nullopt;
    }
    const double number = value.get<double>();
    if (!std::isfinite(number) || std::fabs(number) > MAX_POINTER_VALUE) {
        return std::nullopt;
    }
    return number;
}

std::optional<Button> buttonNamed(const UntrustedJson& name) {
    if (name == "left") {
        return Button::left;
    }
    if (name == "right") {
        return Button::right;
    }
    if (name == "middle") {
        return Button::middle;
    }
    return std::nullopt;
}

std::optional<ButtonAction> actionNamed(const UntrustedJson& name) {
    if (name == "down") {
        return ButtonAction::down;
    }
    if (name == "up") {
        return ButtonAction::up;
    }
    if (name == "click") {
        return ButtonAction::click;
    }
    return std::nullopt;
}

std::optional<PointerEvent> readEvent(const UntrustedJson& event) {
    if (!event.is_array() || event.size() != 3 || !event[0].is_string()) {
        return std::nullopt;
    }
    const std::string& kind = event[0].get_ref<const std::string&>();
    if (kind == "move" || kind == "scroll") {
        const auto dx = finiteValue(event[1]);
        const auto dy = finiteValue(event[2]);
        if (!dx || !dy) {
            return std::nullopt;
        }
        return PointerEvent{kind == "move" ? PointerEvent::Kind::move : PointerEvent::Kind::scroll,
                            *dx, *dy};
    }
    if (kind == "button") {
        const auto button = buttonNamed(event[1]);
        const auto action = actionNamed(event[2]);
        if (!button || !action) {
            return std::nullopt;
        }
        return PointerEvent{PointerEvent::Kind::button, 0, 0, *button, *action};
    }
    return std::nullopt;
}

}  // namespace

std::string_view backendName(PointerBackend backend) {
    switch (backend) {
        case PointerBackend::xtest:
            return "xtest";
        case PointerBackend::portal:
            return "portal";
        case PointerBackend::virtualPointer:
            return "virtual-pointer";
        case PointerBackend::none:
            break;
    }
    return "none";
}

std::optional<std::vector<PointerEvent>> readPointerEvents(const UntrustedJson& events) {
    if (!events.is_array() || events.empty() || events.size() > MAX_POINTER_EVENTS) {
        return std::nullopt;
    }
    std::vector<PointerEvent> out;
    out.reserve(events.size());
    for (const UntrustedJson& event : events) {
        auto read = readEvent(event);
        if (!read) {
            return std::nullopt;
        }
        out.push_back(*read);
    }
    return out;
}

int PixelCarry::take(double delta) {
    carried_ += delta;
    const double whole = std::trunc(carried_);
    carried_ -= whole;
    return static_cast<int>(whole);
}

}  // namespace td::host
