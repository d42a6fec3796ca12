#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

class HrefCollector;

// WebDAV client for the vault: checks a credential, lists the contacts collection (creating it
// when missing) and creates notes only where no file of that name exists. One client serves
// one job (a connection check or a sync pass) and reuses one connection for all its requests.
// The credential goes over https, or plain http to this computer only; its copies in the client
// are wiped when the client goes.
class DAVClient {
public:
    // What the client judges itself; what() is the user-facing description (for badURL, with the
    // detail when there is one: plain http to a host other than this computer).
    class DAVError : public std::exception {
    public:
        enum Kind { http, badURL, notAuthorised, badResponse };
        explicit DAVError(Kind kind, std::int64_t status = 0, std::string detail = {});
        Kind kind() const noexcept { return kind_; }
        std::int64_t status() const noexcept { return status_; } // http only
        const std::string& detail() const noexcept { return detail_; }
        const char* what() const noexcept override { return description_.c_str(); }

    private:
        Kind kind_;
        std::int64_t status_;
        std::string detail_;
        std::string description_;
    };

    // The HTTP stack's own failure (connection refused, name resolution, TLS, time-out),
    // passed on with libcurl's description and its detail text. A request is never sent twice:
    // when the connection closes before any answer came, that is this error too.
    class TransportError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
        TransportError(int curlCode, const std::string& description)
            : std::runtime_error(description), curlCode_(curlCode) {}
        int curlCode() const noexcept { return curlCode_; } // libcurl's CURLcode; 0 when unknown

    private:
        int curlCode_ = 0;
    };

    struct Timeouts {
        std::chrono::milliseconds idle{30'000};     // longest wait for data (and for the connection)
        std::chrono::milliseconds overall{120'000}; // longest a request may take
    };

    DAVClient(std::string baseURL, const std::string& email, const std::string& password);
    DAVClient(std::string baseURL, const std::string& email, const std::string& password, Timeouts timeouts);
    ~DAVClient();
    DAVClient(const DAVClient&) = delete;
    DAVClient& operator=(const DAVClient&) = delete;

    void verify();
    std::set<std::string> listContactFiles();
    bool createFile(const std::string& name, const std::string& content);

    const std::string& baseURL() const noexcept { return baseURL_; }
    const std::string& authorization() const noexcept { return authorization_; }

    // "Basic " + Base64 of the UTF-8 bytes of email ":" password, neither part escaped.
    static std::string basicAuthorization(const std::string& email, const std::string& password);

private:
    struct Session;
    // One exchange; returns the status. The body is fed to listing only when the status is 207
    // and dropped otherwise.
    std::int64_t request(const std::string& method, const std::string& path, const std::optional<std::string>& depth,
                         const std::map<std::string, std::string>& headers, const std::optional<std::string>& body,
                         HrefCollector* listing = nullptr);

    std::string baseURL_;
    std::string authorization_;
    std::unique_ptr<Session> session_;
};
