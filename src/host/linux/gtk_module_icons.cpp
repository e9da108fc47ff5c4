#include <dlfcn.h>

#include <mutex>

#include "common/log.hpp"
#include "host/icons.hpp"
#include "host/linux/desktop_entries.hpp"
#include "host/linux/gtk_module_abi.hpp"

namespace td::host {
namespace {
constexpr int ICON_SIZE = 256;
}  // namespace

struct IconSource::Impl {
    explicit Impl(std::filesystem::path path) : modulePath(std::move(path)) {}
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

    const std::filesystem::path modulePath;
    std::once_flag loaded;
    TdGtkIconPng function = nullptr;
    std::mutex gtkMutex;  // GTK is not thread-safe: one lookup at a time
};

IconSource::IconSource(std::filesystem::path gtkModule)
    : impl_(std::make_unique<Impl>(std::move(gtkModule))) {}

IconSource::~IconSource() = default;

std::optional<std::string> IconSource::png(const std::string& appName) {
    const auto app = findShownApp(appName);
    GIcon* icon = app ? g_app_info_get_icon(G_APP_INFO(app.get())) : nullptr;
    if (!icon) {
        TD_LOG(icons, "no icon for \"" + appName + "\"");
        return std::nullopt;
    }
    const TdGtkIconPng iconPng = impl_->iconFunction();
    if (!iconPng) {
        return std::nullopt;
    }
    gchar* buffer = nullptr;
    gsize length = 0;
    {
        std::lock_guard lock(impl_->gtkMutex);
        length = iconPng(icon, ICON_SIZE, &buffer);
    }
    if (length == 0) {
        TD_LOG(icons, "the icon theme has no usable image for \"" + appName + "\"");
        return std::nullopt;
    }
    const glib::Chars owned(buffer);
    return std::string(buffer, length);
}

}  // namespace td::host
