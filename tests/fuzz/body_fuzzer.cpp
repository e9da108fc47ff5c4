// Feeds arbitrary bytes to both JSON readers and, when they are a document, to the
// configuration's sanitiser. Beyond "no crash": nothing deeper or wider than the limits is ever
// built, a text the shape check refuses is never parsed, both readers take the same texts, and
// a sanitised document has the shape every reader relies on and survives being written and
// read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/json.hpp"
#include "fuzz_require.hpp"
#include "store/config_model.hpp"

namespace {

// How deep the document nests, and whether an object in it is wider than the bound.
int depthOf(const td::Json& value, bool& tooWide) {
    int deepest = 0;
    if (value.is_structured()) {
        tooWide = tooWide || (value.is_object() && value.size() > td::MAX_JSON_MEMBERS);
        for (const auto& element : value) {
            deepest = std::max(deepest, depthOf(element, tooWide));
        }
        return deepest + 1;
    }
    return 0;
}

using td::fuzz::require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = td::parseOrderedJson(text);
    require(parsed.has_value() == td::parseJson(text).has_value());
    if (td::shapeOf(text) != td::JsonShape::fits) {
        require(!parsed);
    }
    if (!parsed) {
        return 0;
    }
    bool tooWide = false;
    require(depthOf(*parsed, tooWide) <= td::MAX_JSON_DEPTH && !tooWide);
    const td::Json config = td::store::sanitize(*parsed);
    require(config.is_object() && config["pages"].is_array() && config["settings"].is_object());
    const auto reread = td::parseOrderedJson(td::dumpCompact(config));
    require(reread && td::store::sanitize(*reread) == *reread);
    return 0;
}
