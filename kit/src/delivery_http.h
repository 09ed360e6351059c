#pragma once
// Plain GET over WinHTTP for update delivery: the system's proxy settings, HTTPS through the
// system, time-outs, a bounded number of redirects, ranges to resume. Internal to the kit.

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace qor::kit::detail {

// A redirect from a host moving its files is normal; a chain longer than this is a loop.
inline constexpr DWORD kMaxRedirects = 5;

struct InternetCloser {
    void operator()(HINTERNET handle) const { ::WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

class HttpClient {
public:
    explicit HttpClient(unsigned long timeout_milliseconds);

    // GETs url (ASCII, http:// or https://), asking for the bytes from offset on when it is
    // above 0. Tells begin where the body starts (offset when the server sent that range, 0
    // when it sent everything), then hands each part of the body to receive in order. Throws
    // KitError, ErrorKind::download_failed, naming what for a transport failure, a time-out,
    // an answer other than 200 or 206, or a web page ("text/html").
    void get(const std::string& url, std::uint64_t offset, const std::function<void(std::uint64_t start)>& begin,
             const std::function<void(const char* bytes, std::size_t count)>& receive, std::string_view what);

    // The last failure of get was the connection's (lost, timed out), not the server's answer:
    // what was fetched before it is worth resuming.
    bool interrupted() const { return interrupted_; }

private:
    InternetHandle session_;
    bool interrupted_ = false;
    unsigned long timeout_milliseconds_;
};

}  // namespace qor::kit::detail
