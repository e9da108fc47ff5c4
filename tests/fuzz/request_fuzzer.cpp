// Feeds arbitrary bytes to the request reader, whole and split at a point the input chooses,
// and the body to the JSON reader. The reader must never crash, and the split must never change
// the request: only the bytes matter, not how they arrived.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/json.hpp"
#include "server/request.hpp"
#include "server/response.hpp"

namespace {

using td::server::Request;
using td::server::RequestReader;

struct Outcome {
    RequestReader::Status status = RequestReader::Status::needMore;
    Request request;
};

Outcome readPieces(std::string_view bytes, std::size_t split) {
    RequestReader reader;
    Outcome outcome;
    for (std::string_view piece : {bytes.substr(0, split), bytes.substr(split)}) {
        outcome.status = reader.feed(piece);
        if (outcome.status != RequestReader::Status::needMore) {
            break;
        }
    }
    if (outcome.status == RequestReader::Status::complete) {
        outcome.request = reader.take();
    }
    return outcome;
}

bool same(const Request& a, const Request& b) {
    return a.method == b.method && a.path == b.path && a.query == b.query &&
           a.headers == b.headers && a.body == b.body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t split = data[0] % size;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    const Outcome whole = readPieces(bytes, bytes.size());
    const Outcome pieces = readPieces(bytes, std::min(split, bytes.size()));
    if (whole.status != pieces.status ||
        (whole.status == RequestReader::Status::complete && !same(whole.request, pieces.request))) {
        std::abort();
    }
    if (whole.status == RequestReader::Status::complete) {
        const td::Json body = td::server::bodyJSON(whole.request);
        if (!body.is_object()) {
            std::abort();
        }
        (void)td::dumpCompact(body);
    }
    return 0;
}
