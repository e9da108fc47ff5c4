// Loads one address with requests, each on a connection of its own (as the agent answers one
// request per connection), plain or over TLS with a server name of the caller's choosing: the
// figures a passthrough relay's benchmark compares.
//
//   passthrough_client requests PORT plain|SNI-NAME THREADS SECONDS TOKEN PATH
//     prints "requests/s median-ms p99-ms errors"
//   passthrough_client download PORT plain|SNI-NAME TOKEN PATH
//     prints "bytes MiB/s"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One request and its whole answer; the bytes read, or -1.
long exchange(SSL_CTX* context, std::uint16_t port, const std::string& name,
              const std::string& request) {
    const int fd = connectTo(port);
    if (fd < 0) {
        return -1;
    }
    long total = 0;
    char buffer[64 * 1024];
    if (!context) {
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            total += got;
        }
    } else {
        SSL* ssl = SSL_new(context);
        SSL_set_tlsext_host_name(ssl, name.c_str());
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) == 1) {
            SSL_write(ssl, request.data(), static_cast<int>(request.size()));
            for (int got; (got = SSL_read(ssl, buffer, sizeof buffer)) > 0;) {
                total += got;
            }
        } else {
            total = -1;
        }
        SSL_free(ssl);
    }
    ::close(fd);
    return total > 0 ? total : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: see the head of bench/passthrough_client.cpp\n");
        return 2;
    }
    SSL_CTX* tls = SSL_CTX_new(TLS_client_method());  // the figures, not the trust, matter here
    const auto port = static_cast<std::uint16_t>(std::stoi(args[1]));
    if (args[0] == "download") {
        const std::string request = "GET " + args[4] + " HTTP/1.1\r\nHost: " + args[2] +
                                    "\r\nConnection: close\r\nx-td-token: " + args[3] + "\r\n\r\n";
        const auto start = Clock::now();
        const long bytes = exchange(args[2] == "plain" ? nullptr : tls, port, args[2], request);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("%ld %.0f\n", bytes, bytes / seconds / (1024.0 * 1024.0));
        return bytes > 0 ? 0 : 1;
    }
    const bool plain = args[2] == "plain";
    const int threads = std::stoi(args[3]);
    const auto duration = std::chrono::seconds(std::stoi(args[4]));
    const std::string host = plain ? "127.0.0.1" : args[2];
    const std::string request = "GET " + args[6] + " HTTP/1.1\r\nHost: " + host +
                                "\r\nConnection: close\r\nx-td-token: " + args[5] + "\r\n\r\n";
    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<long> errors{0};
    const auto end = Clock::now() + duration;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            std::vector<double> mine;
            while (Clock::now() < end) {
                const auto start = Clock::now();
                if (exchange(plain ? nullptr : tls, port, host, request) < 0) {
                    ++errors;
                    continue;
                }
                mine.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
            std::lock_guard lock(mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double share) {
        return latencies.empty()
                   ? 0.0
                   : latencies[static_cast<std::size_t>(share * (latencies.size() - 1))];
    };
    std::printf("%.0f %.3f %.3f %ld\n",
                latencies.size() / std::chrono::duration<double>(duration).count(), at(0.5),
                at(0.99), errors.load());
    SSL_CTX_free(tls);
    return 0;
}
