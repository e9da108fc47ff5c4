// Feeds arbitrary bytes to the JSON body reader and, when they are a document, to the
// configuration's sanitiser. Beyond "no crash": nothing deeper than the limit is ever built, a
// text the depth check refuses is never parsed, and a sanitised document has the shape every
// reader relies on and survives being written and read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/json.hpp"
#include "fuzz_require.hpp"
#include "store/config_model.hpp"

namespace {

int depthOf(const td::Json& value) {
    int deepest = 0;
    if (value.is_structured()) {
        for (const auto& element : value) {
            deepest = std::max(deepest, depthOf(element));
        }
        return deepest + 1;
    }
    return 0;
}

using td::fuzz::require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = td::parseJson(text);
    if (!td::nestsAtMost(text)) {
        require(!parsed);
    }
    if (!parsed) {
        return 0;
    }
    require(depthOf(*parsed) <= td::MAX_JSON_DEPTH);
    const td::Json config = td::store::sanitize(*parsed);
    require(config.is_object() && config["pages"].is_array() && config["settings"].is_object());
    const auto reread = td::parseJson(td::dumpCompact(config));
    require(reread && td::store::sanitize(*reread) == *reread);
    return 0;
}
