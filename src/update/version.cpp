#include "update/version.hpp"

#include "common/version.hpp"

namespace td::update {

std::string currentVersion() {
    const std::string version = VERSION;
    return version.empty() ? "0" : version;
}

}  // namespace td::update
