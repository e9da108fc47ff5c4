#include "host/linux/desktop_entries.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>

namespace td::host {
namespace {

// Reading every desktop entry costs ~10 ms with a few hundred installed, so names are indexed
// once and the index is rebuilt when an applications folder changes, or after a while at most
// (an entry edited in place does not change its folder).
constexpr auto INDEX_MAX_AGE = std::chrono::seconds(30);

struct Entry {
    std::string name;
    std::string path;
};

struct Index {
    std::vector<Entry> entries;  // in the order GIO lists them
    std::vector<std::string> names;
    std::vector<std::pair<std::string, timespec>> folders;
    std::chrono::steady_clock::time_point builtAt;
};

std::mutex indexMutex;
Index index;  // guarded by indexMutex

std::vector<std::pair<std::string, timespec>> applicationFolders() {
    std::vector<std::pair<std::string, timespec>> folders;
    auto add = [&folders](const std::string& base) {
        const std::string folder = base + "/applications";
        struct stat info {};
        folders.emplace_back(folder,
                             ::stat(folder.c_str(), &info) == 0 ? info.st_mtim : timespec{});
    };
    add(g_get_user_data_dir());
    for (const gchar* const* dir = g_get_system_data_dirs(); *dir; ++dir) {
        add(*dir);
    }
    return folders;
}

bool sameFolders(const std::vector<std::pair<std::string, timespec>>& a,
                 const std::vector<std::pair<std::string, timespec>>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].first != b[i].first || a[i].second.tv_sec != b[i].second.tv_sec ||
            a[i].second.tv_nsec != b[i].second.tv_nsec) {
            return false;
        }
    }
    return true;
}

// Reads the desktop entries of one applications folder; an id met in an earlier folder (the
// user's own first) hides later ones, as XDG's rules for desktop entries have it.
void scanFolder(const std::string& folder, std::set<std::string>& seenIds,
                std::vector<Entry>& entries) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<std::pair<std::string, std::string>> found;  // id, path
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        if (path.extension() != ".desktop" || !it->is_regular_file(ec)) {
            continue;
        }
        std::string id = path.lexically_relative(folder).string();
        std::replace(id.begin(), id.end(), '/', '-');
        found.emplace_back(std::move(id), path.string());
    }
    std::sort(found.begin(), found.end());
    for (auto& [id, path] : found) {
        if (!seenIds.insert(id).second) {
            continue;
        }
        // NULL for an entry whose TryExec program is missing, or that is not an application.
        glib::Object<GDesktopAppInfo> info(g_desktop_app_info_new_from_filename(path.c_str()));
        if (!info || g_desktop_app_info_get_is_hidden(info.get()) ||
            !g_app_info_should_show(G_APP_INFO(info.get()))) {
            continue;
        }
        if (const char* name = g_app_info_get_name(G_APP_INFO(info.get()))) {
            entries.push_back({name, path});
        }
    }
}

// GIO's own list (g_app_info_get_all) only notices new entries through file monitors that need
// a main loop, which headless mode does not run; so the folders are read here.
void rebuild(Index& fresh) {
    std::set<std::string> seenIds;
    for (const auto& [folder, modified] : fresh.folders) {
        scanFolder(folder, seenIds, fresh.entries);
    }
    std::set<std::string> names(fresh.names.begin(), fresh.names.end());
    for (const Entry& entry : fresh.entries) {
        names.insert(entry.name);  // std::string orders by byte: for UTF-8, by code point
    }
    fresh.names.assign(names.begin(), names.end());
}

// The current index, rebuilt first when stale.
template <typename Use>
auto withIndex(Use use) {
    auto folders = applicationFolders();
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(indexMutex);
    if (!sameFolders(folders, index.folders) || now - index.builtAt > INDEX_MAX_AGE) {
        Index fresh;
        fresh.folders = std::move(folders);
        rebuild(fresh);
        fresh.builtAt = now;
        index = std::move(fresh);
    }
    return use(index);
}

}  // namespace

std::vector<std::string> shownAppNames() {
    return withIndex([](const Index& current) { return current.names; });
}

glib::Object<GDesktopAppInfo> findShownApp(const std::string& name) {
    const std::string path = withIndex([&name](const Index& current) {
        for (const Entry& entry : current.entries) {
            if (entry.name == name) {
                return entry.path;
            }
        }
        return std::string();
    });
    if (path.empty()) {
        return nullptr;
    }
    return glib::Object<GDesktopAppInfo>(g_desktop_app_info_new_from_filename(path.c_str()));
}

std::vector<NamedProgram> shownAppsInCategory(const std::string& category) {
    const auto entries = withIndex([](const Index& current) { return current.entries; });
    std::vector<NamedProgram> found;
    for (const Entry& entry : entries) {
        glib::Object<GDesktopAppInfo> info(
            g_desktop_app_info_new_from_filename(entry.path.c_str()));
        const char* categories = info ? g_desktop_app_info_get_categories(info.get()) : nullptr;
        if (!categories ||
            (";" + std::string(categories)).find(";" + category + ";") == std::string::npos) {
            continue;
        }
        const char* program = g_app_info_get_executable(G_APP_INFO(info.get()));
        found.push_back({entry.name, program ? program : ""});
    }
    return found;
}

}  // namespace td::host
