#include "net/session.hpp"

namespace td::net {

void startPlainSession(const SessionStrand& strand, Target target, HttpRequest request,
                       std::function<void(HttpResponse)> done) {
    std::make_shared<Session<tcp::socket>>(strand, tcp::socket(strand), std::move(target),
                                           std::move(request), std::move(done))
        ->start();
}

}  // namespace td::net
