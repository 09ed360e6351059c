#include "delivery_http.h"

#include <charconv>
#include <vector>

#include "kit_files.h"
#include "update_feed.h"

namespace qor::kit::detail {

namespace {

constexpr DWORD kReadBufferBytes = 256 * 1024;
constexpr wchar_t kUserAgent[] = L"QorLauncherKit/1";
constexpr DWORD kSocketTimedOut = 10060;  // WSAETIMEDOUT, without winsock2.h

bool is_certificate_failure(DWORD error) {
    switch (error) {
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
            return true;
        default:
            return false;
    }
}

[[noreturn]] void transport_failure(std::string_view what, const std::string& url, DWORD error,
                                    unsigned long timeout_milliseconds) {
    std::string text;
    // Wine 8 reports a receive time-out as the socket's own WSAETIMEDOUT.
    if (error == ERROR_WINHTTP_TIMEOUT || error == kSocketTimedOut) {
        text = "Update server did not answer within " + std::to_string(timeout_milliseconds) + " ms";
    } else if (error == ERROR_WINHTTP_CANNOT_CONNECT || error == ERROR_WINHTTP_NAME_NOT_RESOLVED) {
        text = "Cannot reach update server";
    } else if (error == ERROR_WINHTTP_REDIRECT_FAILED) {
        text = "Update server redirected too often or to a place not allowed";
    } else if (is_certificate_failure(error)) {
        text = "Update server's certificate is not trusted";
    } else if (error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR) {
        // Windows: no protocol both sides speak. Wine 8 ends here for every certificate it
        // refuses (an unknown CA, another name), never at ERROR_WINHTTP_SECURE_FAILURE.
        text = "Update server's certificate is not trusted, or no secure connection could be agreed";
    } else {
        text = "Download from update server failed";
    }
    throw KitError(text + " (error " + std::to_string(error) + ") while fetching " + std::string(what) + " from " + url,
                   ErrorKind::download_failed);
}

std::wstring query_text(HINTERNET request, DWORD info) {
    DWORD bytes = 0;
    ::WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                          WINHTTP_NO_HEADER_INDEX);
    if (bytes == 0) return {};
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!::WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes,
                               WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    text.resize(bytes / sizeof(wchar_t));
    return text;
}

std::string narrow_ascii(const std::wstring& text) {
    std::string result;
    for (const wchar_t unit : text) result += unit < 0x80 ? static_cast<char>(unit) : '?';
    return result;
}

struct GlobalFreer {
    void operator()(wchar_t* text) const { ::GlobalFree(text); }
};
using GlobalText = std::unique_ptr<wchar_t, GlobalFreer>;

// The proxy an administrator set for WinHTTP (netsh winhttp set proxy), if any.
bool machine_proxy_set() {
    WINHTTP_PROXY_INFO info{};
    if (!::WinHttpGetDefaultProxyConfiguration(&info)) return false;
    const GlobalText proxy(info.lpszProxy);
    const GlobalText bypass(info.lpszProxyBypass);
    return info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy != nullptr && proxy.get()[0] != L'\0';
}

}  // namespace

HttpClient::HttpClient(unsigned long timeout_milliseconds) : timeout_milliseconds_(timeout_milliseconds) {
    // The system's proxy settings: WinHTTP's own when an administrator set one, else the
    // automatic ones (the user's, a configuration script; Windows 8.1 and later). Wine 8 opens
    // an automatic session but then connects directly, reading neither setting (measured);
    // DEFAULT_PROXY reads the administrator's.
    const DWORD access = machine_proxy_set() ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY : WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
    HINTERNET session =
        ::WinHttpOpen(kUserAgent, access, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, /*dwFlags=*/0);
    if (session == nullptr && access != WINHTTP_ACCESS_TYPE_DEFAULT_PROXY) {
        session = ::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, /*dwFlags=*/0);
    }
    if (session == nullptr) {
        const DWORD error = ::GetLastError();
        fail("Cannot open HTTP session", error);
    }
    session_.reset(session);
    const int timeout = static_cast<int>(timeout_milliseconds);
    if (!::WinHttpSetTimeouts(session, /*nResolveTimeout=*/timeout, /*nConnectTimeout=*/timeout,
                              /*nSendTimeout=*/timeout, /*nReceiveTimeout=*/timeout)) {
        const DWORD error = ::GetLastError();
        fail("Cannot open HTTP session", error);
    }
}

void HttpClient::get(const std::string& url, std::uint64_t offset, const std::function<void(std::uint64_t)>& begin,
                     const std::function<void(const char*, std::size_t)>& receive, std::string_view what) {
    interrupted_ = false;
    const auto failed = [&](DWORD error) {
        interrupted_ = true;
        transport_failure(what, url, error, timeout_milliseconds_);
    };
    const std::wstring wide_url = widen_ascii(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(wide_url.c_str(), static_cast<DWORD>(wide_url.size()), /*dwFlags=*/0, &parts)) {
        throw KitError("Invalid URL: " + url, ErrorKind::invalid_argument);
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                              std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    const InternetHandle connection(::WinHttpConnect(session_.get(), host.c_str(), parts.nPort, /*dwReserved=*/0));
    if (!connection) failed(::GetLastError());
    const InternetHandle request(::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), /*pwszVersion=*/nullptr,
                                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                      secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) failed(::GetLastError());
    DWORD redirects = kMaxRedirects;
    ::WinHttpSetOption(request.get(), WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects, sizeof redirects);
    std::wstring headers;
    if (offset > 0) headers = L"Range: bytes=" + std::to_wstring(offset) + L"-\r\n";
    if (!::WinHttpSendRequest(request.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                              static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, /*dwOptionalLength=*/0,
                              /*dwTotalLength=*/0, /*dwContext=*/0) ||
        !::WinHttpReceiveResponse(request.get(), /*lpReserved=*/nullptr)) {
        failed(::GetLastError());
    }

    DWORD status = 0;
    DWORD status_size = sizeof status;
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX)) {
        failed(::GetLastError());
    }
    const auto refuse = [&](const std::string& answer) {
        throw KitError("Update server answered " + answer + " instead of " + std::string(what) + " (" + url + ")",
                       ErrorKind::download_failed);
    };
    if (status != HTTP_STATUS_OK && status != HTTP_STATUS_PARTIAL_CONTENT) refuse("HTTP " + std::to_string(status));
    // A host's error page under a 200: no file of a release folder is served as a web page.
    const std::string type = narrow_ascii(query_text(request.get(), WINHTTP_QUERY_CONTENT_TYPE));
    if (type.starts_with("text/html")) refuse("with a web page");
    std::uint64_t start = 0;
    if (status == HTTP_STATUS_PARTIAL_CONTENT) {
        const auto range = content_range_start(narrow_ascii(query_text(request.get(), WINHTTP_QUERY_CONTENT_RANGE)));
        if (offset == 0 || !range || *range != offset) refuse("with a range that was not asked for");
        start = offset;
    }

    // A body cut short by a lost connection may read as ended; its length tells it from a whole one.
    const std::string length_text = narrow_ascii(query_text(request.get(), WINHTTP_QUERY_CONTENT_LENGTH));
    std::uint64_t announced = 0;
    const bool has_length =
        !length_text.empty() &&
        std::from_chars(length_text.data(), length_text.data() + length_text.size(), announced).ec == std::errc{};
    begin(start);
    std::vector<char> buffer(kReadBufferBytes);
    std::uint64_t received = 0;
    for (;;) {
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), buffer.data(), kReadBufferBytes, &read)) failed(::GetLastError());
        if (read == 0) break;
        received += read;
        receive(buffer.data(), read);
    }
    if (has_length && received < announced) {
        interrupted_ = true;
        throw KitError("Update server broke off " + std::string(what) + " after " + std::to_string(received) + " of " +
                           std::to_string(announced) + " bytes (" + url + ")",
                       ErrorKind::download_failed);
    }
}

}  // namespace qor::kit::detail
