#include "net/session.hpp"
#include "net/tls_client.hpp"

namespace td::net {

void startTlsSession(const SessionStrand& strand, ssl::context& tls, Target target,
                     HttpRequest request, std::function<void(HttpResponse)> done) {
    TlsStream stream(strand, tls);
    if (!expectPeer(stream.native_handle(), target.host)) {
        TD_LOG(https, target.host + ": cannot set the name the certificate must carry");
        HttpResponse response;
        response.error = "cannot verify " + target.host;
        done(std::move(response));
        return;
    }
    std::make_shared<Session<TlsStream>>(strand, std::move(stream), std::move(target),
                                         std::move(request), std::move(done))
        ->start();
}

}  // namespace td::net
