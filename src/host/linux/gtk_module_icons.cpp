#include <dlfcn.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "common/log.hpp"
#include "host/icons.hpp"
#include "host/linux/desktop_entries.hpp"
#include "host/linux/gtk_module_abi.hpp"

namespace td::host {
namespace {
constexpr int ICON_SIZE = 256;
// An icon costs ~20 ms of CPU to find and draw; answers are kept, every app's alike (found or
// not), up to this many names, and checked against the folders at most this often.
constexpr std::size_t MAX_CACHED_ICONS = 512;
constexpr auto FOLDER_CHECK_INTERVAL = std::chrono::seconds(2);
// A lookup sent to a busy GTK thread is given up after this; the icon is then missing.
constexpr auto GTK_THREAD_WAIT = std::chrono::seconds(5);

// The modification times of the folders that applications and icon themes live in: installing
// or removing an app or a theme changes one of them, and drops every kept icon.
std::vector<std::int64_t> folderStamp() {
    std::vector<std::string> roots{g_get_user_data_dir()};
    for (const gchar* const* dir = g_get_system_data_dirs(); *dir; ++dir) {
        roots.emplace_back(*dir);
    }
    std::vector<std::int64_t> stamp;
    for (const std::string& root : roots) {
        for (const char* sub : {"/applications", "/icons", "/icons/hicolor", "/pixmaps"}) {
            struct stat info {};
            const bool exists = ::stat((root + sub).c_str(), &info) == 0;
            stamp.push_back(exists ? info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec
                                   : -1);
        }
    }
    return stamp;
}
}  // namespace

struct IconSource::Impl {
    Impl(std::filesystem::path path, GtkThread thread)
        : modulePath(std::move(path)), gtkThread(std::move(thread)) {}
    ~Impl() {
        // The module stays loaded: GTK registers types that cannot be unregistered.
    }

    // The module's icon function, loaded on first use; nullptr when the module cannot be.
    TdGtkIconPng iconFunction() {
        std::call_once(loaded, [this] {
            void* module = ::dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!module) {
                TD_LOG(icons, "cannot load " + modulePath.string() + ": " + ::dlerror());
                return;
            }
            function = reinterpret_cast<TdGtkIconPng>(::dlsym(module, GTK_ICON_PNG_SYMBOL));
            if (!function) {
                TD_LOG(icons, modulePath.string() + " has no icon function");
            }
        });
        return function;
    }

    std::optional<std::string> draw(const std::string& appName);
    gsize drawWithGtk(TdGtkIconPng iconPng, GIcon* icon, gchar** png);

    // What was drawn for `appName` while the folders stay as they were, or nothing.
    std::optional<std::optional<std::string>> kept(const std::string& appName) {
        std::lock_guard lock(cacheMutex);
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextFolderCheck) {
            nextFolderCheck = now + FOLDER_CHECK_INTERVAL;
            if (auto stamp = folderStamp(); stamp != cachedStamp) {
                cachedStamp = std::move(stamp);
                cache.clear();
            }
        }
        auto it = cache.find(appName);
        if (it == cache.end()) {
            return std::nullopt;
        }
        return std::optional<std::optional<std::string>>(std::in_place, it->second);
    }

    void keep(const std::string& appName, const std::optional<std::string>& png) {
        std::lock_guard lock(cacheMutex);
        if (cache.size() >= MAX_CACHED_ICONS) {
            cache.clear();
        }
        cache.emplace(appName, png);
    }

    const std::filesystem::path modulePath;
    const GtkThread gtkThread;
    std::once_flag loaded;
    TdGtkIconPng function = nullptr;
    std::mutex gtkMutex;  // GTK is not thread-safe: one lookup at a time

    std::mutex cacheMutex;  // guards the four below
    std::unordered_map<std::string, std::optional<std::string>> cache;
    std::vector<std::int64_t> cachedStamp;
    std::chrono::steady_clock::time_point nextFolderCheck{};
};

IconSource::IconSource(std::filesystem::path gtkModule, GtkThread gtkThread)
    : impl_(std::make_unique<Impl>(std::move(gtkModule), std::move(gtkThread))) {}

IconSource::~IconSource() = default;

std::optional<std::string> IconSource::png(const std::string& appName) {
    if (auto kept = impl_->kept(appName)) {
        return *kept;
    }
    auto drawn = impl_->draw(appName);
    impl_->keep(appName, drawn);
    return drawn;
}

std::optional<std::string> IconSource::Impl::draw(const std::string& appName) {
    const auto app = findShownApp(appName);
    GIcon* icon = app ? g_app_info_get_icon(G_APP_INFO(app.get())) : nullptr;
    if (!icon) {
        TD_LOG(icons, "no icon for \"" + appName + "\"");
        return std::nullopt;
    }
    const TdGtkIconPng iconPng = iconFunction();
    if (!iconPng) {
        return std::nullopt;
    }
    gchar* buffer = nullptr;
    const gsize length = drawWithGtk(iconPng, icon, &buffer);
    if (length == 0) {
        TD_LOG(icons, "the icon theme has no usable image for \"" + appName + "\"");
        return std::nullopt;
    }
    const glib::Chars owned(buffer);
    return std::string(buffer, length);
}

gsize IconSource::Impl::drawWithGtk(TdGtkIconPng iconPng, GIcon* icon, gchar** png) {
    if (!gtkThread) {
        std::lock_guard lock(gtkMutex);
        return iconPng(icon, ICON_SIZE, png);
    }
    // Shared with the task: a lookup given up on may still finish later, and then frees its PNG.
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
        gsize length = 0;
        gchar* png = nullptr;
    };
    auto lookup = std::make_shared<Lookup>();
    g_object_ref(icon);
    gtkThread([lookup, icon, iconPng] {
        gchar* drawn = nullptr;
        const gsize length = iconPng(icon, ICON_SIZE, &drawn);
        g_object_unref(icon);
        std::lock_guard lock(lookup->mutex);
        if (lookup->abandoned) {
            g_free(drawn);
            return;
        }
        lookup->length = length;
        lookup->png = drawn;
        lookup->finished = true;
        lookup->done.notify_one();
    });
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, GTK_THREAD_WAIT, [&lookup] { return lookup->finished; })) {
        lookup->abandoned = true;
        TD_LOG(icons, "the GTK thread did not draw an icon in time");
        return 0;
    }
    *png = lookup->png;
    return lookup->length;
}

}  // namespace td::host
