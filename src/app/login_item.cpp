#include "app/login_item.hpp"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <system_error>

namespace td::app {
namespace {

// An Exec argument, quoted by the desktop entry rules when it needs to be. Inside the quotes a
// `"`, `` ` ``, `$` or `\` takes a backslash, and the value's own escaping then doubles every
// backslash; a `%` is written `%%`, since it would start a field code.
std::string execArgument(const std::string& path) {
    if (path.find_first_of(" \t\n\"'\\><~|&;$*?#()`%") == std::string::npos) {
        return path;
    }
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$') {
            quoted += "\\\\";
        } else if (c == '\\') {
            quoted += "\\\\\\";
        } else if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    return quoted + "\"";
}

bool switchedOffByTheUser(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") {
            return true;
        }
    }
    return false;
}

bool writtenHere(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        return true;  // missing: ours to write
    }
    for (std::string line; std::getline(in, line);) {
        if (line.ends_with(SEND_TO_PHONE_MARK)) {
            return true;
        }
    }
    return false;
}

// A shell word: the path in single quotes.
std::string shellWord(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

bool writeEntry(const std::filesystem::path& file, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const std::filesystem::path temporary = file.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
        if (!out.flush()) {
            return false;
        }
    }
    // Dolphin runs only service menus that may be executed; Nautilus only such scripts.
    std::filesystem::permissions(temporary, std::filesystem::perms(0755), ec);
    std::filesystem::rename(temporary, file, ec);
    return !ec;
}

}  // namespace

std::vector<std::filesystem::path> offerSendToPhone(const std::filesystem::path& dataHome,
                                                    const std::filesystem::path& executable) {
    const std::string exec = execArgument(executable.string()) + " send %F";
    const std::string mark = std::string(SEND_TO_PHONE_MARK) + "\n";
    const std::vector<std::pair<std::filesystem::path, std::string>> entries = {
        {dataHome / "nautilus" / "scripts" / "Send to Phone",
         "#!/bin/sh\n# " + mark + "exec " + shellWord(executable.string()) + " send \"$@\"\n"},
        {dataHome / "kio" / "servicemenus" / "tapdeck-send.desktop",
         "[Desktop Entry]\nType=Service\nMimeType=all/allfiles;\nActions=sendToPhone;\n"
         "X-KDE-ServiceTypes=KonqPopupMenu/Plugin\n" +
             mark + "\n[Desktop Action sendToPhone]\nName=Send to Phone\nIcon=tapdeck\nExec=" +
             exec + "\n"},
        {dataHome / "Thunar" / "sendto" / "tapdeck-send.desktop",
         "[Desktop Entry]\nType=Application\nVersion=1.0\nName=Phone (Tapdeck)\nIcon=tapdeck\n"
         "MimeType=application/octet-stream;\nExec=" +
             exec + "\n" + mark},
    };
    std::vector<std::filesystem::path> failed;
    for (const auto& [file, text] : entries) {
        if (writtenHere(file) && !writeEntry(file, text)) {
            failed.push_back(file);
        }
    }
    return failed;
}

std::string loginItemText(const std::filesystem::path& executable, const std::string& icon) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tapdeck\n"
           "Comment=Control this computer from your phone\n"
           "Exec=" +
           execArgument(executable.string()) +
           "\n"
           "Icon=" +
           icon +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool registerLoginItem(const std::filesystem::path& file, const std::filesystem::path& executable,
                       const std::string& icon, std::string& why) {
    if (switchedOffByTheUser(file)) {
        return true;
    }
    if (executable.string().find_first_of("\r\n") != std::string::npos) {
        why = "the agent's path cannot be written in a desktop entry";
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const std::filesystem::path temporary = file.string() + ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << loginItemText(executable, icon);
        out.flush();
        if (!out) {
            why = "cannot write " + temporary.string();
            std::filesystem::remove(temporary, ec);
            return false;
        }
    }
    std::filesystem::rename(temporary, file, ec);
    if (ec) {
        why = "cannot replace " + file.string() + ": " + ec.message();
        std::filesystem::remove(temporary, ec);
        return false;
    }
    return true;
}

}  // namespace td::app
