// The floor under download_update: WinHTTP alone fetching the same files from the same server,
// each body read into one buffer and dropped (no hash, no file), on as many connections as the
// kit keeps. Prints one JSON object with the time on the performance counter.
//
//   winhttp_loop <port> <list of paths, one a line> <connections>

#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "performance_clock.h"

namespace {

constexpr DWORD kReadBufferBytes = 256 * 1024;

struct Loop {
    HINTERNET session = nullptr;
    INTERNET_PORT port = 0;
    std::vector<std::wstring> paths;
    volatile LONG next = -1;
    volatile LONG failures = 0;
    volatile LONG64 bytes = 0;
};

DWORD WINAPI fetch_paths(void* context) {
    auto& loop = *static_cast<Loop*>(context);
    std::vector<char> buffer(kReadBufferBytes);
    const HINTERNET connection = WinHttpConnect(loop.session, L"127.0.0.1", loop.port, 0);
    for (LONG i; connection != nullptr && (i = InterlockedIncrement(&loop.next)) < LONG(loop.paths.size());) {
        const HINTERNET request =
            WinHttpOpenRequest(connection, L"GET", loop.paths[static_cast<std::size_t>(i)].c_str(), nullptr,
                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
        bool ok = request != nullptr &&
                  WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
                  WinHttpReceiveResponse(request, nullptr);
        for (DWORD read = 1; ok && read > 0;) {
            ok = WinHttpReadData(request, buffer.data(), kReadBufferBytes, &read);
            InterlockedAdd64(&loop.bytes, read);
        }
        if (!ok) InterlockedIncrement(&loop.failures);
        if (request != nullptr) WinHttpCloseHandle(request);
    }
    if (connection == nullptr) InterlockedIncrement(&loop.failures);
    if (connection != nullptr) WinHttpCloseHandle(connection);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: winhttp_loop <port> <list of paths> <connections>\n");
        return 2;
    }
    Loop loop;
    loop.port = static_cast<INTERNET_PORT>(_wtoi(argv[1]));
    std::ifstream list(argv[2]);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty()) loop.paths.emplace_back(line.begin(), line.end());
    }
    const int connections = _wtoi(argv[3]);
    loop.session =
        WinHttpOpen(L"winhttp_loop", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (loop.session == nullptr || connections < 1) return 2;
    const double started = now_ms();
    std::vector<HANDLE> threads;
    for (int i = 0; i < connections; ++i) {
        if (HANDLE thread = CreateThread(nullptr, 0, fetch_paths, &loop, 0, nullptr)) threads.push_back(thread);
    }
    if (threads.empty()) return 2;
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    const double ended = now_ms();
    for (HANDLE thread : threads) CloseHandle(thread);
    WinHttpCloseHandle(loop.session);
    if (loop.failures != 0) {
        std::fprintf(stderr, "winhttp_loop: %ld requests failed\n", loop.failures);
        return 2;
    }
    std::printf("{\"ms\": %.1f, \"bytes\": %lld}\n", ended - started, static_cast<long long>(loop.bytes));
    return 0;
}
