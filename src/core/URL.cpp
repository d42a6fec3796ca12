#include "core/URL.h"

#include <curl/curl.h>

#include <memory>

std::optional<URL> URL::parse(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), &curl_url_cleanup);
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    URL url;
    // The scheme as written: a URL typed as "HTTPS://..." is not the same as "https://..." to the caller.
    url.scheme = text.substr(0, colon);
    char* host = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host) {
        url.host = host;
        curl_free(host);
    }
    url.absolute = text;
    return url;
}
