#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// An HTTP/1.1 server on loopback for tests, one connection at a time. Each request, recorded, gets the
// next reply queued or else its handler's: raw bytes, so garbage, a cut body, a hang-up or silence.
class ScriptedHttpServer {
public:
    struct Request {
        std::string method, target;
        std::string head; // the request line and header lines as received, blank line included
        std::string body;
        // The value of the first header of that name as the client spells it; empty when there is none.
        std::string header(const std::string& name) const {
            const auto at = head.find("\r\n" + name + ": ");
            if (at == std::string::npos) return {};
            return head.substr(at + name.size() + 4, head.find('\r', at + 2) - at - name.size() - 4);
        }
    };

    struct Reply {
        enum class Then { keepAlive, close, hold }; // hold: say nothing more on this connection
        std::string bytes;
        Then then = Then::keepAlive;
        static Reply status(int code, const std::string& body = {}) {
            const auto length = std::to_string(body.size());
            return {"HTTP/1.1 " + std::to_string(code) + " Status\r\nContent-Length: " + length + "\r\n\r\n" + body};
        }
        static Reply raw(std::string bytes, Then then = Then::close) { return {std::move(bytes), then}; }
    };
    using Handler = std::function<Reply(const Request&)>;

    explicit ScriptedHttpServer(Handler handler = {}, const std::string& address = "127.0.0.1")
        : handler_(std::move(handler)) {
        sockaddr_in bound{AF_INET, 0, {}, {}};
        socklen_t length = sizeof bound;
        if (::inet_pton(AF_INET, address.c_str(), &bound.sin_addr) != 1 ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&bound), length) != 0 || ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
            throw std::runtime_error("cannot listen on " + address);
        url_ = "http://" + address + ":" + std::to_string(ntohs(bound.sin_port));
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedHttpServer() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
    }

    const std::string& url() const { return url_; }
    void enqueue(Reply reply) {
        locked([&] { queue_.push_back(std::move(reply)); });
    }
    std::vector<Request> requests() const {
        return locked([&] { return requests_; });
    }
    void clearRequests() {
        locked([&] { requests_.clear(); });
    }
    int connections() const { return connections_; }

private:
    template <typename Step> auto locked(Step step) const -> decltype(step()) {
        std::lock_guard lock(mutex_);
        return step();
    }
    bool readable(int fd) const { // waits at most 20 ms, so that stop() is seen
        pollfd watched{fd, POLLIN, 0};
        return ::poll(&watched, 1, 20) > 0;
    }
    void run() {
        for (int fd; !stopping_;)
            if (readable(listener_) && (fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
                ++connections_;
                serve(fd);
                ::close(fd);
            }
    }
    // Answers each request once it is complete, until the client or a reply ends the connection.
    void serve(int fd) {
        std::string buffer;
        for (bool held = false; !stopping_;) {
            if (!readable(fd)) continue;
            char data[65536];
            const ssize_t got = ::recv(fd, data, sizeof data, 0);
            if (got <= 0) return;
            buffer.append(data, held ? 0 : static_cast<std::size_t>(got)); // a held connection is never answered
            for (std::size_t end; !held && (end = buffer.find("\r\n\r\n")) != std::string::npos;) {
                Request request;
                request.head = buffer.substr(0, end + 4);
                const auto size = std::strtoul(request.header("Content-Length").c_str(), nullptr, 10);
                if (buffer.size() < end + 4 + size) break;
                request.body = buffer.substr(end + 4, size);
                buffer.erase(0, end + 4 + size);
                std::istringstream(request.head) >> request.method >> request.target;
                const Reply reply = answer(request);
                if (::send(fd, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL) < 0) return;
                if (reply.then == Reply::Then::close) return;
                held = reply.then == Reply::Then::hold;
            }
        }
    }
    Reply answer(const Request& request) {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (queue_.empty()) return handler_ ? handler_(request) : Reply::status(500);
        Reply reply = std::move(queue_.front());
        queue_.pop_front();
        return reply;
    }

    std::string url_;
    int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::deque<Reply> queue_;
    const Handler handler_;
    std::vector<Request> requests_;
    std::thread thread_;
};
