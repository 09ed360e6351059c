// Times one update through the kit's delivery, from inside Wine and on the performance counter:
// check_for_update, then download_update, split at the last byte fetched (the transfer) and
// its return (verified and installed). Prints one JSON object; bench.py lays out the root,
// serves the release and runs curl beside it.
//
//   delivery_timer <launcher root> <feed url> <public key>

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "performance_clock.h"
#include "qor/delivery.h"

namespace {

std::string narrow(const wchar_t* text) {
    std::string result;
    for (; *text != L'\0'; ++text) result += static_cast<char>(*text);  // URLs and keys are ASCII here
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: delivery_timer <launcher root> <feed url> <public key>\n");
        return 2;
    }
    try {
        const double started = now_ms();
        const std::optional<qor::kit::Update> update =
            qor::kit::check_for_update(argv[1], narrow(argv[2]), narrow(argv[3]));
        const double checked = now_ms();
        if (!update) {
            std::fprintf(stderr, "delivery_timer: the feed offers nothing newer\n");
            return 2;
        }
        std::uint64_t fetched = 0;
        double transferred = checked;
        qor::kit::download_update(argv[1], *update, [&](std::uint64_t done, std::uint64_t total) {
            fetched = total;
            if (done == total) transferred = now_ms();
            return true;
        });
        const double installed = now_ms();
        std::printf(
            "{\"check_ms\": %.1f, \"transfer_ms\": %.1f, \"download_ms\": %.1f, \"fetched_bytes\": %llu, "
            "\"size_bytes\": %llu}\n",
            checked - started, transferred - checked, installed - checked, static_cast<unsigned long long>(fetched),
            static_cast<unsigned long long>(update->size));
    } catch (const qor::kit::KitError& error) {
        std::fprintf(stderr, "delivery_timer: %s\n", error.what());
        return 2;
    }
    return 0;
}
