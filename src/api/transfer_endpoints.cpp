#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "api/handlers.hpp"
#include "common/json_read.hpp"
#include "common/log.hpp"
#include "common/utf8.hpp"
#include "common/web_url.hpp"
#include "host/apps.hpp"
#include "host/system.hpp"
#include "server/streamed_body.hpp"
#include "transfer/downloads.hpp"
#include "transfer/multipart.hpp"

namespace td::api::handlers {
namespace {

using transfer::Arrival;
using transfer::MultipartReader;

constexpr std::uint64_t MIB = 1024 * 1024;
constexpr double DEFAULT_MAX_UPLOAD_MIB = 1024;
// A form's title, text or link, each, at most.
constexpr std::size_t MAX_FORM_TEXT_BYTES = 1024 * 1024;
// What a form adds to its files' bytes: part heads and delimiters, and its texts. The limit is
// on the files; the body may be this much larger.
constexpr std::uint64_t FORM_ROOM_BYTES = 3 * MAX_FORM_TEXT_BYTES + 1024 * 1024;

constexpr const char* THROUGH_READING_RELAY =
    "Files cannot go through this relay: it reads what it carries. Send them on the computer's "
    "own network, or through a relay that passes connections through unread.";

void refuse(const server::ConnectionPtr& connection, int status, const std::string& why) {
    connection->json({{"ok", false}, {"error", why}}, status);
}

std::uint64_t maxUploadBytes(const ApiContext& context) {
    const auto settings = jsonread::object(context.store.snapshotConfig(), "settings");
    const double mib =
        settings ? jsonread::number(*settings, "maxUploadMiB").value_or(DEFAULT_MAX_UPLOAD_MIB)
                 : DEFAULT_MAX_UPLOAD_MIB;
    return static_cast<std::uint64_t>(std::clamp(mib, 1.0, 1024.0 * 1024) * MIB);
}

// A path as it may be said back: without NUL or control characters.
std::string printableName(const std::string& path) {
    std::string out;
    for (const char c : path) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) {
            out += c;
        }
    }
    return out;
}

// The first web link in a text, as many apps share one: "Title\n\nhttps://...".
std::string firstLinkIn(const std::string& text) {
    for (std::size_t at = 0; (at = text.find("http", at)) != std::string::npos; ++at) {
        const std::size_t end = text.find_first_of(" \t\r\n", at);
        const std::string candidate = text.substr(at, end == std::string::npos ? end : end - at);
        if (isWebUrl(candidate)) {
            return candidate;
        }
    }
    return {};
}

// A shared form as it arrives: its texts kept (bounded), its files written as they come.
class SharedForm {
  public:
    SharedForm(std::filesystem::path folder, std::uint64_t limit,
               transfer::SpaceBudget::Hold& space)
        : folder_(std::move(folder)), limit_(limit), space_(space) {}

    MultipartReader::Events events() {
        return {[this](const transfer::FormPart& part) { return begin(part); },
                [this](std::string_view bytes) { return take(bytes); }, [this] { return end(); }};
    }

    // Why it stopped, when a part could not be taken: a status and a sentence.
    std::optional<std::pair<int, std::string>> failure;
    std::vector<std::string> saved;
    std::string title, text, url;

  private:
    bool begin(const transfer::FormPart& part) {
        field_ = nullptr;
        if (part.fileName) {
            // A file input left empty sends a part with no name and no bytes.
            if (part.fileName->empty()) {
                return true;
            }
            arrival_.reset();
            if (auto arrival = Arrival::begin(folder_, *part.fileName)) {
                arrival_.emplace(std::move(*arrival));
            } else {
                return fail(500, "The download folder cannot take files");
            }
            return true;
        }
        if (part.name == "title" || part.name == "text" || part.name == "url") {
            field_ = part.name == "title" ? &title : part.name == "text" ? &text : &url;
        }
        return true;
    }

    bool take(std::string_view bytes) {
        if (arrival_) {
            fileBytes_ += bytes.size();
            if (fileBytes_ > limit_) {
                return fail(413, "Larger than the " + std::to_string(limit_ / MIB) +
                                     " MiB this computer takes at once");
            }
            switch (arrival_->write(bytes)) {
                case Arrival::Outcome::ok:
                    space_.wrote(bytes.size());
                    return true;
                case Arrival::Outcome::diskFull:
                    return fail(507, "The computer's disk is too full for this");
                case Arrival::Outcome::failed:
                    return fail(500, "A file could not be written to the download folder");
            }
        }
        if (field_) {
            if (field_->size() + bytes.size() > MAX_FORM_TEXT_BYTES) {
                return fail(413, "A shared text is longer than 1 MiB");
            }
            field_->append(bytes);
        }
        return true;
    }

    bool end() {
        field_ = nullptr;
        if (!arrival_) {
            return true;
        }
        auto name = arrival_->finish();
        arrival_.reset();
        if (!name) {
            return fail(500, "A file could not be put in the download folder");
        }
        saved.push_back(std::move(*name));
        return true;
    }

    bool fail(int status, std::string why) {
        failure = {status, std::move(why)};
        arrival_.reset();  // its ".part" goes
        return false;
    }

    const std::filesystem::path folder_;
    const std::uint64_t limit_;
    transfer::SpaceBudget::Hold& space_;
    std::uint64_t fileBytes_ = 0;
    std::optional<Arrival> arrival_;
    std::string* field_ = nullptr;
};

// The folder as a person reads it: under the home folder, "~/...".
std::string shownFolder(const std::filesystem::path& folder) {
    const char* home = std::getenv("HOME");
    const std::string text = folder.string();
    if (home && *home && text.starts_with(std::string(home) + "/")) {
        return "~" + text.substr(std::strlen(home));
    }
    return text;
}

void tellWhatArrived(const ApiContext& context, const std::vector<std::string>& saved) {
    if (saved.empty() || !context.notifier) {
        return;
    }
    const std::string summary = saved.size() == 1
                                    ? "Received " + saved.front()
                                    : "Received " + std::to_string(saved.size()) + " files";
    context.notifier->show(
        summary, "From your phone, saved in " + shownFolder(context.settings.downloadsFolder),
        context.settings.downloadsFolder.string());
}

Json savedJson(const std::vector<std::string>& saved) {
    Json list = Json::array();
    for (const std::string& name : saved) {
        list.push_back(name);
    }
    return list;
}

// Reads the form from the body as it comes; the reader's last word.
MultipartReader::Status readForm(const server::ConnectionPtr& connection, MultipartReader& reader,
                                 bool& peerWent) {
    const auto body = server::StreamedBody::read(connection);
    for (;;) {
        const auto piece = body->next();
        if (!piece) {
            peerWent = !body->whole();
            return peerWent ? MultipartReader::Status::malformed : reader.finish();
        }
        if (const auto status = reader.feed(*piece); status != MultipartReader::Status::more) {
            body->abandon();
            return status;
        }
    }
}

}  // namespace

void share(const ApiContext& context, const server::ConnectionPtr& connection,
           const Request& request) {
    if (!connection->canStream()) {
        return refuse(connection, 413, THROUGH_READING_RELAY);
    }
    const auto boundary = MultipartReader::boundaryOf(request.header("content-type").value_or(""));
    if (!boundary) {
        return refuse(connection, 400, "Not a shared form (multipart/form-data)");
    }
    if (request.streamedBody == 0) {
        return refuse(connection, 400, "Nothing was shared");
    }
    const std::uint64_t limit = maxUploadBytes(context);
    if (request.streamedBody > limit + FORM_ROOM_BYTES) {
        return refuse(
            connection, 413,
            "Larger than the " + std::to_string(limit / MIB) + " MiB this computer takes at once");
    }
    const auto& folder = context.settings.downloadsFolder;
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    auto space = context.space->hold(transfer::freeBytes(folder), request.streamedBody);
    if (!space) {
        return refuse(connection, 507, "The computer's disk is too full for this");
    }
    // Per family: the tokens a phone minted with its codes share its turns.
    const auto token = tokenOf(request);
    const auto turn = context.uploads->take(token ? context.store.familyOf(*token) : request.peer);
    if (!turn) {
        return refuse(connection, 503,
                      "Still receiving other files: send these when they are done");
    }
    SharedForm form(folder, limit, *space);
    MultipartReader reader(*boundary, form.events());
    bool peerWent = false;
    const auto status = readForm(connection, reader, peerWent);
    // What came whole stays, and is said, whatever stopped the rest.
    const auto stopped = [&](int status, const std::string& why) {
        tellWhatArrived(context, form.saved);
        connection->json({{"ok", false}, {"error", why}, {"saved", savedJson(form.saved)}}, status);
    };
    if (peerWent) {
        TD_LOG(transfer, "a phone's share ended before its end; what was under way is removed");
        return stopped(400, "The upload stopped before its end");
    }
    if (form.failure) {
        return stopped(form.failure->first, form.failure->second);
    }
    if (status != MultipartReader::Status::done) {
        return stopped(400, "Not a shared form (multipart/form-data)");
    }
    Json answer = {{"ok", true}, {"saved", savedJson(form.saved)}};
    const std::string link = isWebUrl(form.url) ? form.url : firstLinkIn(form.text);
    if (!link.empty()) {
        if (host::openURL(link)) {
            answer["opened"] = link;
        }
    } else if (!form.text.empty() && isValidUtf8(form.text)) {
        if (host::setClipboard(form.text, context.settings.session)) {
            answer["copied"] = true;
        }
    } else if (form.saved.empty()) {
        return refuse(connection, 400, "Nothing was shared");
    }
    tellWhatArrived(context, form.saved);
    connection->json(answer);
}

Response chooseFilesToSend(const ApiContext& context, const Request& request) {
    if (!requestIsLocal(request, context.port())) {
        return server::jsonResponse(
            {{"ok", false}, {"error", "Only this computer offers things to its phones"}}, 403);
    }
    if (!context.chooseFilesToSend) {
        return server::jsonResponse(
            {{"ok", false}, {"error", "No desktop to choose files on: the agent runs headless"}},
            501);
    }
    context.chooseFilesToSend();  // on the main thread; the answer does not wait for it
    return server::jsonResponse({{"ok", true}});
}

std::string inboxStateMessage(const Json& inbox) {
    return "event: state\ndata: " + dumpCompact(Json{{"inbox", inbox}}) + "\n\n";
}

Response readInbox(const ApiContext& context, const Request&) {
    return server::jsonResponse(
        {{"ok", true}, {"inbox", context.inbox ? context.inbox->listJson() : Json::array()}});
}

Response offer(const ApiContext& context, const Request& request) {
    const auto bad = [](const std::string& why) {
        return server::jsonResponse({{"ok", false}, {"error", why}}, 400);
    };
    if (!requestIsLocal(request, context.port())) {
        return server::jsonResponse(
            {{"ok", false}, {"error", "Only this computer offers things to its phones"}}, 403);
    }
    if (!context.inbox) {
        return bad("Nothing can be offered here");
    }
    const auto items = jsonread::objects(server::bodyJSON(request), "items");
    if (!items || items->empty() || items->size() > transfer::Inbox::MAX_ITEMS) {
        return bad("Expected {\"items\":[{\"path\"|\"url\"|\"text\": ...}], 1 to 20 of them");
    }
    // Every item is checked before any is offered: a wrong one offers nothing.
    for (const auto& item : *items) {
        const auto path = jsonread::string(item, "path");
        const auto url = jsonread::string(item, "url");
        const auto text = jsonread::string(item, "text");
        struct stat facts {};
        if (path && (path->find('\0') != std::string::npos || ::stat(path->c_str(), &facts) != 0 ||
                     !S_ISREG(facts.st_mode) || ::access(path->c_str(), R_OK) != 0 ||
                     !std::filesystem::path(*path).is_absolute())) {
            return bad("Not a file that can be read: " + printableName(*path));
        }
        if (url && !isWebUrl(*url)) {
            return bad("Not a web link (http or https)");
        }
        if (text && (text->empty() || text->size() > transfer::Inbox::MAX_TEXT_BYTES ||
                     !isValidUtf8(*text))) {
            return bad("A text must be 1 byte to 1 MiB of UTF-8");
        }
        if (!path && !url && !text) {
            return bad("Each item is a path, a url or a text");
        }
    }
    Json ids = Json::array();
    for (const auto& item : *items) {
        std::string error;
        std::optional<std::string> id;
        if (const auto path = jsonread::string(item, "path")) {
            id = context.inbox->addFile(*path, error);
        } else if (const auto url = jsonread::string(item, "url")) {
            id = context.inbox->addUrl(*url, error);
        } else {
            id = context.inbox->addText(*jsonread::string(item, "text"), error);
        }
        if (!id) {
            return bad(error);  // changed since it was checked
        }
        ids.push_back(*id);
    }
    return server::jsonResponse({{"ok", true}, {"ids", ids}});
}

namespace {

// filename*= as RFC 8187 writes it, and a plain fallback for older readers.
std::string attachmentHeader(const std::string& name) {
    std::string plain, encoded;
    constexpr const char* HEX = "0123456789ABCDEF";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        plain += byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\' ? c : '_';
        if (std::isalnum(byte) || std::string_view("!#$&+-.^_`|~").find(c) != std::string::npos) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += HEX[byte >> 4];
            encoded += HEX[byte & 15];
        }
    }
    return "Content-Disposition: attachment; filename=\"" + plain + "\"; filename*=UTF-8''" +
           encoded + "\r\nCache-Control: no-store\r\n";
}

}  // namespace

void fetchOffered(const ApiContext& context, const server::ConnectionPtr& connection,
                  const Request& request) {
    const std::string id = request.path.substr(std::string_view("/api/inbox/").size());
    const auto item = context.inbox ? context.inbox->find(id) : std::nullopt;
    if (!item) {
        return refuse(connection, 404, "No longer offered (an item lasts an hour)");
    }
    using Kind = transfer::Inbox::Kind;
    if (item->kind != Kind::file) {
        return connection->send(
            server::textResponse(200, "text/plain; charset=utf-8", item->value));
    }
    // Never blocking: a FIFO put in the file's place would hold this worker until written to.
    const int fd = ::open(item->value.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat facts {};
    if (fd < 0 || ::fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode) ||
        !transfer::Inbox::stillTheSame(*item) || facts.st_ino != item->inode ||
        facts.st_dev != item->device || static_cast<std::uint64_t>(facts.st_size) != item->size) {
        if (fd >= 0) {
            ::close(fd);
        }
        return refuse(connection, 409, "The file changed or is gone since it was sent");
    }
    server::Response head{200, "application/octet-stream", {}, attachmentHeader(item->name)};
    connection->sendFile(server::serializeHead(head, item->size), fd, item->size);
}

}  // namespace td::api::handlers
