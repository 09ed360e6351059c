// Starts programs from inside Wine and times them on the performance counter,
// so that Wine's own start-up of the outermost program is not in the figures.
// Prints one JSON object per line; bench.py turns them into the report.
//
//   launch <rounds> <starter> <probe> <first-instruction file> <direct root> <trivial>
//   floor <rounds> <starter> <trivial>
//   supervise <seconds> <starter> <first-instruction file> <trivial>

#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::int64_t counter_now() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double counter_to_ms(std::int64_t counts) {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counts) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

[[noreturn]] void die(const char* what) {
    const DWORD error = GetLastError();
    std::fprintf(stderr, "bench_driver: %s failed (error %lu)\n", what, error);
    std::exit(2);
}

struct Started {
    HANDLE process = nullptr;
    std::int64_t before = 0;  // counter just before CreateProcessW
};

// No handles inherited, like a start from a shell link; `output` replaces standard output when given.
Started start(const std::wstring& command_line, HANDLE output = nullptr) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (output != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    PROCESS_INFORMATION info{};
    std::wstring mutable_line = command_line;
    Started started;
    started.before = counter_now();
    if (!CreateProcessW(/*lpApplicationName=*/nullptr, mutable_line.data(), nullptr, nullptr,
                        /*bInheritHandles=*/output != nullptr, /*dwCreationFlags=*/0, nullptr, nullptr, &startup,
                        &info)) {
        die("CreateProcessW");
    }
    CloseHandle(info.hThread);
    started.process = info.hProcess;
    return started;
}

DWORD finish(HANDLE process, DWORD timeout_ms = 120'000) {
    if (WaitForSingleObject(process, timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
        die("waiting for a started program");
    }
    DWORD code = 1;
    GetExitCodeProcess(process, &code);
    return code;
}

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// The probe's counter reading, once it has been written; waits at most 60 s.
std::int64_t wait_for_first_instruction(const std::wstring& file) {
    for (int waited = 0; waited < 60'000; waited += 2) {
        std::ifstream in(file.c_str(), std::ios::binary);
        std::int64_t value = 0;
        if (in >> value) return value;
        Sleep(2);
    }
    die("waiting for the probe launcher");
}

double cpu_seconds(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) die("GetProcessTimes");
    auto ticks = [](FILETIME t) { return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

std::size_t peak_working_set(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
    return counters.PeakWorkingSetSize;
}

// One round of the launch-overhead figure; the order rotates from round to round.
void launch_round(int round, const std::wstring& starter, const std::wstring& probe, const std::wstring& marker_file,
                  const std::wstring& direct_root, const std::wstring& trivial) {
    double via_starter = 0, direct = 0, one_start = 0;
    DWORD starter_code = 0;
    for (int step = 0; step < 3; ++step) {
        switch ((round + step) % 3) {
        case 0: {
            DeleteFileW(marker_file.c_str());
            const Started s = start(quoted(starter));
            starter_code = finish(s.process);
            via_starter = counter_to_ms(wait_for_first_instruction(marker_file) - s.before);
            CloseHandle(s.process);
            break;
        }
        case 1: {
            DeleteFileW(marker_file.c_str());
            const Started s = start(quoted(probe) + L" --launcher-root " + quoted(direct_root) +
                                    L" --launcher-ready 00000000000000000000000000000000");
            finish(s.process);
            direct = counter_to_ms(wait_for_first_instruction(marker_file) - s.before);
            CloseHandle(s.process);
            break;
        }
        default: {
            const Started s = start(quoted(trivial));
            finish(s.process);
            one_start = counter_to_ms(counter_now() - s.before);
            CloseHandle(s.process);
        }
        }
    }
    std::printf("{\"round\": %d, \"via_starter_ms\": %.4f, \"direct_ms\": %.4f, \"one_start_ms\": %.4f, "
                "\"starter_exit\": %lu}\n",
                round, via_starter, direct, one_start, starter_code);
}

double run_with_output(const std::wstring& command_line, std::string& output, DWORD& code) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 1 << 16)) die("CreatePipe");
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    const Started s = start(command_line, write_end);
    code = finish(s.process);
    const double elapsed = counter_to_ms(counter_now() - s.before);
    CloseHandle(write_end);
    char buffer[256];
    DWORD got = 0;
    output.clear();
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) output.append(buffer, got);
    CloseHandle(read_end);
    CloseHandle(s.process);
    return elapsed;
}

void floor_round(int round, const std::wstring& starter, const std::wstring& trivial) {
    double starter_ms = 0, trivial_ms = 0;
    std::string starter_out, trivial_out;
    DWORD starter_code = 0, trivial_code = 0;
    for (int step = 0; step < 2; ++step) {
        if ((round + step) % 2 == 0) {
            starter_ms = run_with_output(quoted(starter) + L" --bootstrap-version", starter_out, starter_code);
        } else {
            trivial_ms = run_with_output(quoted(trivial) + L" --print", trivial_out, trivial_code);
        }
    }
    std::printf("{\"round\": %d, \"starter_ms\": %.4f, \"trivial_ms\": %.4f, \"starter_exit\": %lu, "
                "\"starter_bytes\": %zu, \"trivial_bytes\": %zu}\n",
                round, starter_ms, trivial_ms, starter_code, starter_out.size(), trivial_out.size());
}

void supervise(int seconds, const std::wstring& starter, const std::wstring& marker_file, const std::wstring& trivial) {
    DeleteFileW(marker_file.c_str());
    const Started s = start(quoted(starter));
    // The baseline: a program of ours that only sleeps, over the same seconds.
    const Started idle = start(quoted(trivial) + L" --sleep " + std::to_wstring((seconds + 4) * 1000));
    wait_for_first_instruction(marker_file);
    Sleep(1000);  // several poll passes: the starter has seen the marker by now
    for (int i = 0; i <= seconds; ++i) {
        std::printf("{\"sample\": %d, \"at_ms\": %.3f, \"starter_cpu_s\": %.7f, \"baseline_cpu_s\": %.7f}\n", i,
                    counter_to_ms(counter_now() - s.before), cpu_seconds(s.process), cpu_seconds(idle.process));
        std::fflush(stdout);
        if (i < seconds) Sleep(1000);
    }
    const std::size_t starter_peak = peak_working_set(s.process);
    const std::size_t idle_peak = peak_working_set(idle.process);
    const DWORD code = finish(s.process);
    finish(idle.process);
    std::printf("{\"starter_peak_working_set\": %zu, \"baseline_peak_working_set\": %zu, \"starter_exit\": %lu}\n",
                starter_peak, idle_peak, code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"launch" && argc == 8) {
        const int rounds = _wtoi(argv[2]);
        for (int round = 0; round < rounds; ++round) {
            launch_round(round, argv[3], argv[4], argv[5], argv[6], argv[7]);
            std::fflush(stdout);
        }
        return 0;
    }
    if (mode == L"floor" && argc == 5) {
        const int rounds = _wtoi(argv[2]);
        for (int round = 0; round < rounds; ++round) {
            floor_round(round, argv[3], argv[4]);
            std::fflush(stdout);
        }
        return 0;
    }
    if (mode == L"supervise" && argc == 6) {
        supervise(_wtoi(argv[2]), argv[3], argv[4], argv[5]);
        return 0;
    }
    std::fputs("usage: bench_driver launch|floor|supervise ...\n", stderr);
    return 2;
}
