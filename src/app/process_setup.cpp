#include "app/process_setup.hpp"

#include <sys/resource.h>

#include "common/files.hpp"

namespace td::app {

std::optional<std::string> supportFolderProblem(const std::filesystem::path& folder) {
    if (auto problem = untrustedFolderReason(folder, "the support folder")) {
        return problem;
    }
    return untrustedFolderReason(folder / "shortcuts", "the Shortcuts folder");
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace td::app
