#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "api/router.hpp"
#include "flows/steps.hpp"

namespace td::api {

// A tile type an action kind serves. `member` and `value` pick out the tiles of a type that
// spans kinds (a text tile types or copies by its "mode"); `needs` names the part of the
// capability report that says whether those tiles work here, when it is not the kind's own.
struct TileRule {
    std::string_view type;
    std::string_view member = {};
    std::string_view value = {};
    std::string_view needs = {};
};

// One kind of action a phone can take, all the agent knows of it in one entry: its endpoints
// (with their body limits), the capability part that gates it (empty: nothing can stop it),
// what it does as a step of a flow (none: it cannot be one), and the tiles it serves.
struct ActionKind {
    std::string_view name;
    std::vector<Endpoint> endpoints;
    std::string_view needs;
    std::optional<flows::StepKind> step;
    std::vector<TileRule> tiles;
};

// Every kind of action, bound to the context (which must outlive them).
std::vector<ActionKind> actionKinds(const ApiContext& context);

}  // namespace td::api
