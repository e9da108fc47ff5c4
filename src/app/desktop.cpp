#include "app/desktop.hpp"

#include <gmodule.h>

#include <csignal>
#include <cstring>

#include "app/agent.hpp"
#include "app/lifecycle_log.hpp"
#include "app/login_item.hpp"
#include "common/log.hpp"
#include "common/version.hpp"
#include "host/platform.hpp"
#include "shell/shell_abi.hpp"

namespace td::app {
namespace {

// The shell module's functions; all null when it cannot be loaded.
struct ShellModule {
    TdShellStart start = nullptr;
    TdShellShowPanel showPanel = nullptr;
    TdShellShowPin showPin = nullptr;
    TdShellSendToPhone sendToPhone = nullptr;
    TdShellUpdateAvailable updateAvailable = nullptr;
    TdShellServerChanged serverChanged = nullptr;
    TdShellStop stop = nullptr;

    bool load(const std::filesystem::path& path) {
        GModule* module = g_module_open(path.c_str(), G_MODULE_BIND_LOCAL);
        if (!module) {
            TD_LOG(main, std::string("cannot load the desktop shell: ") + g_module_error());
            return false;
        }
        g_module_make_resident(module);  // GTK keeps the module's callbacks for good
        return symbol(module, shell::START_SYMBOL, start) &&
               symbol(module, shell::SHOW_PANEL_SYMBOL, showPanel) &&
               symbol(module, shell::SHOW_PIN_SYMBOL, showPin) &&
               symbol(module, shell::SEND_TO_PHONE_SYMBOL, sendToPhone) &&
               symbol(module, shell::UPDATE_AVAILABLE_SYMBOL, updateAvailable) &&
               symbol(module, shell::SERVER_CHANGED_SYMBOL, serverChanged) &&
               symbol(module, shell::STOP_SYMBOL, stop);
    }

    template <typename Function>
    static bool symbol(GModule* module, const char* name, Function& function) {
        gpointer found = nullptr;
        if (!g_module_symbol(module, name, &found)) {
            TD_LOG(main, std::string("the desktop shell lacks ") + name);
            return false;
        }
        function = reinterpret_cast<Function>(found);
        return true;
    }
};

// What the shell may ask of the agent; lives on runDesktop's stack for the whole run.
struct ShellSide {
    Agent* agent = nullptr;
    MainThread* mainThread = nullptr;
};

TdShellHost shellHost(ShellSide& side, const std::string& iconFolder,
                      const std::string& webViewModule) {
    TdShellHost host{};
    host.agent = &side;
    host.port = [](void* data) noexcept -> unsigned {
        return static_cast<ShellSide*>(data)->agent->port();
    };
    host.listeningPort = [](void* data) noexcept -> unsigned {
        return static_cast<ShellSide*>(data)->agent->server().listeningPort();
    };
    host.pin = [](void* data, char* buffer, unsigned size) noexcept {
        const std::string pin = static_cast<ShellSide*>(data)->agent->store().pinValue();
        std::strncpy(buffer, pin.c_str(), size);
        buffer[size - 1] = '\0';
    };
    host.log = [](void*, const char* line) noexcept { logLine(line); };
    host.quit = [](void* data) noexcept { static_cast<ShellSide*>(data)->mainThread->quit(); };
    host.offerFile = [](void* data, const char* path) noexcept -> int {
        transfer::Inbox* inbox = static_cast<ShellSide*>(data)->agent->apiContext().inbox;
        std::string error;
        return inbox && inbox->addFile(path, error) ? 1 : 0;
    };
    host.iconFolder = iconFolder.c_str();
    host.webViewModule = webViewModule.c_str();
    return host;
}

void registerAtLogin(const Settings& settings, const std::string& iconFolder) {
    if (settings.startedBySystemd) {
        return;  // the service starts it at login
    }
    const std::filesystem::path colourIcon = std::filesystem::path(iconFolder) / "tapdeck.svg";
    std::error_code ec;
    const std::string icon =
        std::filesystem::exists(colourIcon, ec) ? colourIcon.string() : "tapdeck";
    std::string why;
    if (!registerLoginItem(settings.loginItemFile, host::executableFolder() / "tapdeck", icon,
                           why)) {
        TD_LOG(main, "cannot register the login item: " + why);
    }
    for (const auto& failed :
         offerSendToPhone(settings.dataFolder, host::executableFolder() / "tapdeck")) {
        TD_LOG(main, "cannot offer Send to Phone in " + failed.string());
    }
}

}  // namespace

std::optional<int> runDesktop(const Settings& settings) {
    ShellModule module;
    if (!module.load(settings.shellModule)) {
        return std::nullopt;
    }
    logLine(std::string("Tapdeck ") + VERSION);
    // GTK's own loop: the shell's windows and the agent's tasks share the default context.
    MainThread mainThread(MainThread::Context::processDefault);
    for (const int signal : {SIGINT, SIGTERM}) {
        mainThread.onSignal(signal, [&mainThread] { mainThread.quit(); });
    }

    TdShell* shell = nullptr;
    AgentEvents events = loggedEvents();
    events.gtkOnMainThread = true;
    events.updateAvailable = [&shell, &module, logged = events.updateAvailable](
                                 Agent& agent, const update::UpdateInfo& info) {
        logged(agent, info);
        if (shell) {
            module.updateAvailable(shell, info.version.c_str(), info.notes.c_str(),
                                   info.url.c_str());
        }
    };
    events.listening = [&shell, &module, logged = events.listening](Agent& agent,
                                                                    std::uint16_t port) {
        logged(agent, port);
        if (shell) {
            module.serverChanged(shell, "", "");
        }
    };
    events.bindGaveUp = [&shell, &module, logged = events.bindGaveUp](Agent& agent,
                                                                      const PortProblem& problem) {
        logged(agent, problem);
        if (shell) {
            module.serverChanged(shell, problem.headline.c_str(), problem.details.c_str());
        }
    };
    events.showPanel = [&shell, &module](Agent&) {
        if (shell) {
            module.showPanel(shell);
        }
    };
    events.chooseFilesToSend = [&shell, &module](Agent&) {
        if (shell) {
            module.sendToPhone(shell);
        }
    };

    Agent agent(settings, mainThread, events);
    ShellSide side{&agent, &mainThread};
    const std::string iconFolder = (settings.resourcesFolder / "icons").string();
    const std::string webViewModule = settings.webViewModule.string();
    const TdShellHost host = shellHost(side, iconFolder, webViewModule);

    agent.start();
    shell = module.start(&host);
    if (!shell) {
        logLine("Cannot start the desktop shell (no usable display); running without it");
    }
    registerAtLogin(settings, iconFolder);
    if (shell && agent.store().isFirstRun) {
        module.showPanel(shell);
    }
    mainThread.run();
    logLine("Stopping");
    if (shell) {
        module.stop(shell);
    }
    agent.stop();
    return 0;
}

}  // namespace td::app
