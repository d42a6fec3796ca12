#include "core/DAVClient.h"

#include "core/DAVNames.h"
#include "core/HrefCollector.h"
#include "core/Text.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>

// CURLOPT_PREREQFUNCTION, which keeps a request from being sent twice, came with libcurl 7.80.
#if LIBCURL_VERSION_NUM < 0x075000
#error "libcurl 7.80 or later is needed"
#endif

namespace {

std::string describe(DAVClient::DAVError::Kind kind, std::int64_t status, const std::string& detail) {
    switch (kind) {
    case DAVClient::DAVError::http:
        return "Server error " + std::to_string(status) + ": " + detail;
    case DAVClient::DAVError::badURL:
        return detail.empty() ? "Invalid server URL" : "Invalid server URL: " + detail;
    case DAVClient::DAVError::notAuthorised:
        return "Not authorised \u2014 check your email and app password";
    case DAVClient::DAVError::badResponse:
        return "Unexpected server response";
    }
    return "Unexpected server response";
}

std::string base64(std::string_view bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto n = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 2]));
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += alphabet[n >> 6 & 63];
        out += alphabet[n & 63];
    }
    if (const std::size_t rest = bytes.size() - i; rest > 0) {
        unsigned n = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) n |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += rest == 2 ? alphabet[n >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The request's header lines; one holds the credential, so all are wiped before they go.
struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() {
        for (curl_slist* line = list; line; line = line->next)
            explicit_bzero(line->data, std::strlen(line->data));
        curl_slist_free_all(list);
    }
    void add(const std::string& line) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (!grown) throw std::bad_alloc();
        list = grown;
    }
};

// What one exchange needs inside libcurl's callbacks.
struct Transfer {
    CURL* easy = nullptr;
    HrefCollector* listing = nullptr;
    bool statusKnown = false;
    bool feeding = false;
    int attempts = 0;           // how often libcurl was about to send the request
    std::exception_ptr failure; // thrown while parsing; rethrown once libcurl has returned
};

// libcurl re-sends a request on a new connection, without a word, when a kept-alive connection
// closes before any answer to it came (a server may well have acted on it: a PUT stored twice
// meets its own 412). No option turns that off, so the second attempt of a request is stopped
// here before anything of it is sent, and the request ends as a transport error.
int beforeSending(void* context, char*, char*, int, int) {
    auto* transfer = static_cast<Transfer*>(context);
    return ++transfer->attempts > 1 ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
}

// Hands a 207 listing to the parser as it arrives and drops every other body: the status line
// has been read before the first byte of the body comes.
size_t receiveBody(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const size_t length = size * count;
    if (!transfer->statusKnown) {
        long status = 0;
        curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
        transfer->statusKnown = true;
        transfer->feeding = transfer->listing && status == 207;
    }
    if (transfer->feeding) {
        try {
            transfer->listing->feed(std::string_view(data, length));
        } catch (...) {
            transfer->failure = std::current_exception();
            return 0; // ends the transfer
        }
        if (transfer->listing->exceeded()) return 0; // the rest would be dropped anyway
    }
    return length;
}

} // namespace

DAVClient::DAVError::DAVError(Kind kind, std::int64_t status, std::string detail)
    : kind_(kind), status_(kind == http ? status : 0), detail_(std::move(detail)),
      description_(describe(kind, status_, detail_)) {}

// The connection state of one client: one libcurl handle, so that a pass keeps one
// connection alive for its listing and all of its uploads.
struct DAVClient::Session {
    CURL* easy = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    // "scheme://host[:port]" of the base URL, or why none could be formed.
    std::string origin;
    std::optional<DAVError> originError;

    ~Session() {
        if (easy) curl_easy_cleanup(easy);
    }
};

namespace {

constexpr const char* clearTextRefused =
    "plain http is only allowed for this computer (localhost, 127.0.0.1 or ::1); the address must start with https://";

// Keeps the scheme, host and port of base; its user info, path, query and fragment are dropped,
// so every request goes to the fixed paths at the root of the host. The credential never travels
// in clear text: plain http is refused for every host but this computer's loopback names.
std::string originOf(const std::string& base, std::optional<DAVClient::DAVError>& error) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
    if (!url) throw std::bad_alloc();
    if (curl_url_set(url.get(), CURLUPART_URL, base.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        error = DAVClient::DAVError(DAVClient::DAVError::badURL);
        return {};
    }
    char* scheme = nullptr;
    if (curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || !scheme) {
        error = DAVClient::DAVError(DAVClient::DAVError::badURL);
        return {};
    }
    const std::string schemeText = scheme;
    curl_free(scheme);
    // Nothing but HTTP can give an HTTP response.
    if (schemeText != "http" && schemeText != "https") {
        error = DAVClient::DAVError(DAVClient::DAVError::badResponse);
        return {};
    }
    if (schemeText == "http") {
        char* host = nullptr;
        if (curl_url_get(url.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK || !host) {
            error = DAVClient::DAVError(DAVClient::DAVError::badURL);
            return {};
        }
        std::string hostText = host;
        curl_free(host);
        for (char& c : hostText)
            c = Text::asciiLower(c);
        // The URL API writes an IPv6 address in brackets.
        if (hostText != "localhost" && hostText != "127.0.0.1" && hostText != "[::1]") {
            error = DAVClient::DAVError(DAVClient::DAVError::badURL, 0, clearTextRefused);
            return {};
        }
    }
    for (const auto part : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS, CURLUPART_QUERY, CURLUPART_FRAGMENT})
        curl_url_set(url.get(), part, nullptr, 0);
    char* written = nullptr;
    if (curl_url_set(url.get(), CURLUPART_PATH, "/", 0) != CURLUE_OK ||
        curl_url_get(url.get(), CURLUPART_URL, &written, 0) != CURLUE_OK || !written) {
        error = DAVClient::DAVError(DAVClient::DAVError::badURL);
        return {};
    }
    std::string origin = written;
    curl_free(written);
    if (origin.ends_with('/')) origin.pop_back();
    return origin;
}

// libcurl's description of a failure with its detail, each said once: the detail often ends in
// the description ("Failed to connect to ... after 0 ms: Couldn't connect to server"). libcurl's
// limits on what a server may send (a header line of 100 KB, 300 KB of headers) show as "Out of
// memory" or a receive error: those say that the answer was too large.
std::string transportText(CURLcode result, std::string detail) {
    const std::string description = curl_easy_strerror(result);
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r'))
        detail.pop_back();
    if (result == CURLE_OUT_OF_MEMORY || (result == CURLE_RECV_ERROR && detail.starts_with("Too large response")))
        return detail.empty() ? "The server's answer was too large" : "The server's answer was too large: " + detail;
    if (detail.ends_with(description)) {
        detail.resize(detail.size() - description.size());
        while (!detail.empty() && (detail.back() == ' ' || detail.back() == ':' || detail.back() == ','))
            detail.pop_back();
    }
    if (detail.empty() || detail == description) return description;
    if (detail.starts_with(description)) return detail;
    return description + ": " + detail;
}

} // namespace

DAVClient::DAVClient(std::string baseURL, const std::string& email, const std::string& password)
    : DAVClient(std::move(baseURL), email, password, Timeouts{}) {}

/// Makes the authorization value and the client's own libcurl handle; sends nothing.
/// State stays in memory: the cookie engine runs without a file, nothing is cached.
DAVClient::DAVClient(std::string baseURL, const std::string& email, const std::string& password, Timeouts timeouts)
    : baseURL_(std::move(baseURL)), authorization_(basicAuthorization(email, password)),
      session_(std::make_unique<Session>()) {
    initialiseCurl();
    session_->origin = originOf(baseURL_, session_->originError);
    CURL* easy = curl_easy_init();
    if (!easy) throw std::bad_alloc();
    session_->easy = easy;
    const auto idleMs = std::max<long>(1, static_cast<long>(timeouts.idle.count()));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L); // the client runs on worker threads
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, session_->errorBuffer);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L); // a 3xx is an answer like any other
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
    // Plain http goes to this computer only: never through a proxy (from http_proxy), which
    // would carry the credential over the network in clear text.
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, idleMs);
    // Idle limit: less than one byte a second for the whole idle time ends the request.
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, std::max<long>(1, (idleMs + 999) / 1000));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, std::max<long>(1, static_cast<long>(timeouts.overall.count())));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &receiveBody);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &beforeSending);
}

/// The stored authorization value holds the password in Base64: it is wiped before it goes.
DAVClient::~DAVClient() {
    Text::wipe(authorization_);
}

/// Built in buffers of their final size, so that no copy of the password is left behind by a
/// reallocation; the "email:password" text is wiped once encoded.
std::string DAVClient::basicAuthorization(const std::string& email, const std::string& password) {
    std::string credential;
    credential.reserve(email.size() + 1 + password.size());
    credential += email;
    credential += ':';
    credential += password;
    std::string encoded = base64(credential);
    Text::wipe(credential);
    std::string value;
    value.reserve(6 + encoded.size());
    value += "Basic ";
    value += encoded;
    Text::wipe(encoded);
    return value;
}

namespace {

// A request's header fields: the credential, the depth and the call's own, and nothing that
// libcurl would add by itself (no "Expect: 100-continue" for uploads, no default Accept).
void addFields(HeaderList& fields, const std::string& authorization, const std::optional<std::string>& depth,
               const std::map<std::string, std::string>& headers) {
    std::string authorizationLine;
    authorizationLine.reserve(15 + authorization.size());
    authorizationLine += "Authorization: ";
    authorizationLine += authorization;
    fields.add(authorizationLine);
    Text::wipe(authorizationLine);
    if (depth) fields.add("Depth: " + *depth);
    for (const auto& [name, value] : headers)
        fields.add(name + ": " + value);
    fields.add("Expect:");
    fields.add("Accept:");
}

} // namespace

/// One exchange through the client's handle. Transport failures are thrown as TransportError
/// with libcurl's description; an answer that is not HTTP is badResponse.
std::int64_t DAVClient::request(const std::string& method, const std::string& path,
                                const std::optional<std::string>& depth,
                                const std::map<std::string, std::string>& headers,
                                const std::optional<std::string>& body, HrefCollector* listing) {
    if (session_->originError) throw *session_->originError;
    CURL* easy = session_->easy;
    const std::string url = session_->origin + path;

    HeaderList fields;
    addFields(fields, authorization_, depth, headers);

    Transfer transfer;
    transfer.easy = easy;
    transfer.listing = listing;
    session_->errorBuffer[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    if (body) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body->data());
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, fields.list);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);

    const CURLcode result = curl_easy_perform(easy);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, nullptr);

    if (transfer.failure) std::rethrow_exception(transfer.failure);
    // A listing past the parser's bounds is no answer to work with.
    if (listing && listing->exceeded()) throw DAVError(DAVError::badResponse);
    if (result == CURLE_ABORTED_BY_CALLBACK && transfer.attempts > 1)
        throw TransportError(CURLE_GOT_NOTHING, "Empty reply from server: the connection closed before the server "
                                                "answered, and the request is not sent again");
    if (result == CURLE_WEIRD_SERVER_REPLY || result == CURLE_UNSUPPORTED_PROTOCOL)
        throw DAVError(DAVError::badResponse);
    if (result != CURLE_OK)
        throw TransportError(static_cast<int>(result), transportText(result, session_->errorBuffer));
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status < 100) throw DAVError(DAVError::badResponse);
    if (listing && status == 207) {
        listing->finish();
        if (listing->exceeded()) throw DAVError(DAVError::badResponse);
    }
    return status;
}

/// Confirms that the server accepts the credential: PROPFIND "/dav/" at depth 0 must give 207.
void DAVClient::verify() {
    const auto status = request("PROPFIND", "/dav/", "0", {}, std::nullopt);
    if (status == 207) return;
    if (status == 401) throw DAVError(DAVError::notAuthorised);
    throw DAVError(DAVError::http, status);
}

/// The note file names in "/dav/contacts/": the decoded last path pieces of the listed hrefs
/// that end in ".md". A missing collection is made with MKCOL and lists as empty.
std::set<std::string> DAVClient::listContactFiles() {
    HrefCollector collector;
    const auto status = request("PROPFIND", "/dav/contacts/", "1", {}, std::nullopt, &collector);
    if (status == 207) return collector.takeNames();
    if (status == 401) throw DAVError(DAVError::notAuthorised);
    if (status != 404) throw DAVError(DAVError::http, status);
    const auto made = request("MKCOL", "/dav/contacts/", std::nullopt, {}, std::nullopt);
    if (made == 201 || made == 405) return {};
    throw DAVError(DAVError::http, made);
}

/// Uploads content as "/dav/contacts/" + name only if nothing exists there (If-None-Match: *).
/// True when the server created it, false when it answered 412 because the name is taken.
bool DAVClient::createFile(const std::string& name, const std::string& content) {
    const auto encoded = DAVNames::percentEncodePath(name);
    if (!encoded) throw DAVError(DAVError::badURL);
    static const std::map<std::string, std::string> fields{{"If-None-Match", "*"}, {"Content-Type", "text/markdown"}};
    const auto status = request("PUT", "/dav/contacts/" + *encoded, std::nullopt, fields, content);
    if (status == 412) return false;
    if (status >= 200 && status <= 299) return true;
    if (status == 401) throw DAVError(DAVError::notAuthorised);
    throw DAVError(DAVError::http, status);
}
