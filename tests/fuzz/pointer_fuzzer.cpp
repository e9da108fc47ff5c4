// Feeds arbitrary bytes to the touchpad's message reader, as a socket's message would arrive.
// Beyond "no crash": a batch read is within every bound, summing its moves (what a backlog gets)
// keeps where the pointer ends up and the order of its buttons and scrolls, and the pixels a
// backend is handed never drift from what was asked by a whole pixel or more.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "api/pointer_lane.hpp"
#include "common/json.hpp"
#include "fuzz_require.hpp"
#include "host/pointer.hpp"

namespace {

using td::fuzz::require;
using td::host::PointerEvent;

bool withinBounds(const PointerEvent& event) {
    return std::isfinite(event.dx) && std::isfinite(event.dy) &&
           std::fabs(event.dx) <= td::host::MAX_POINTER_VALUE &&
           std::fabs(event.dy) <= td::host::MAX_POINTER_VALUE;
}

struct Totals {
    double dx = 0;
    double dy = 0;
    std::vector<PointerEvent> others;
};

Totals totalsOf(const std::vector<PointerEvent>& events) {
    Totals totals;
    for (const PointerEvent& event : events) {
        if (event.kind == PointerEvent::Kind::move) {
            totals.dx += event.dx;
            totals.dy += event.dy;
        } else {
            totals.others.push_back(event);
        }
    }
    return totals;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto message = td::parseJson(std::string_view(reinterpret_cast<const char*>(data), size));
    const auto events = message ? td::host::readPointerEvents(*message) : std::nullopt;
    if (!events) {
        return 0;
    }
    require(!events->empty() && events->size() <= td::host::MAX_POINTER_EVENTS);
    td::host::PixelCarry carryX;
    double asked = 0;
    long long given = 0;
    for (const PointerEvent& event : *events) {
        require(withinBounds(event));
        asked += event.dx;
        given += carryX.take(event.dx);
        require(std::fabs(asked - static_cast<double>(given)) < 1.0 + 1e-6);
    }
    const auto coalesced = td::api::coalesceMoves(*events);
    const Totals before = totalsOf(*events);
    const Totals after = totalsOf(coalesced);
    require(after.others == before.others);
    require(std::fabs(after.dx - before.dx) < 1e-6 && std::fabs(after.dy - before.dy) < 1e-6);
    for (std::size_t i = 1; i < coalesced.size(); ++i) {
        require(coalesced[i].kind != PointerEvent::Kind::move ||
                coalesced[i - 1].kind != PointerEvent::Kind::move);
    }
    return 0;
}
