// A program the Windows process tests start: what it does is its first
// argument.
//   exit N          ends with exit code N
//   echo ARGS...    prints each argument in brackets, one a line
//   env NAME        prints the variable's value, or "<unset>"
//   handle H        exit code 0 if H (a decimal handle value) is open here
//   hang            prints "ready" and waits for ever
//   hang-as FILE    writes its process id to FILE and waits for ever
//   owners PROGRAM  starts "PROGRAM hang" twice through the platform layer,
//                   the second to outlive its owner, prints both process
//                   ids, and ends without waiting for them
//   inherited CONFIG HANDLE
//                   exit code 7 if it got what a started program should:
//                   no NOTIFY_SOCKET or WATCHDOG_* variable (else 1),
//                   HOLM_CONFIG_FILE equal to CONFIG (else 2), the system's
//                   default error mode (else 3), and not the handle HANDLE
//                   (else 4)
//   logon FILE      writes to FILE how it runs, one "name=value" a line:
//                   user (its user's number), session, directory, and the
//                   variables USERPROFILE and HOLM_SPAWN_PROBE
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sessions.h"
#include "platform/spawn.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        return 100;
    }
    ::_setmode(::_fileno(stdout), _O_BINARY);  // "\n" as it is, as on the other systems
    const std::string mode = argv[1];
    if (mode == "exit" && argc == 3) {
        return std::atoi(argv[2]);
    }
    if (mode == "echo") {
        for (int i = 2; i < argc; ++i) {
            std::printf("[%s]\n", argv[i]);
        }
        return 0;
    }
    if (mode == "env" && argc == 3) {
        const char* value = std::getenv(argv[2]);
        std::printf("%s\n", value != nullptr ? value : "<unset>");
        return 0;
    }
    if (mode == "handle" && argc == 3) {
        DWORD flags = 0;
        const auto value = static_cast<uintptr_t>(std::strtoull(argv[2], nullptr, 10));
        return ::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 0 : 1;
    }
    if (mode == "hang") {
        std::printf("ready\n");
        std::fflush(stdout);
        ::Sleep(INFINITE);
    }
    if (mode == "hang-as" && argc == 3) {
        if (FILE* out = std::fopen(argv[2], "w")) {
            std::fprintf(out, "%lu\n", static_cast<unsigned long>(::GetCurrentProcessId()));
            std::fclose(out);
        }
        ::Sleep(INFINITE);
    }
    if (mode == "owners" && argc == 3) {
        for (const bool outlives : {false, true}) {
            holm::platform::SpawnOptions options;
            options.nullStandardStreams = true;
            options.outlivesOwner = outlives;
            auto child = holm::platform::Process::spawn({argv[2], "hang"}, options);
            if (!child) {
                std::printf("failed: %s\n", child.error().message().c_str());
                return 1;
            }
            std::printf("%d ", child->id());
            child->detach();
        }
        std::fflush(stdout);
        return 0;
    }
    if (mode == "inherited" && argc == 4) {
        for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) {
            if (std::getenv(name) != nullptr) {
                return 1;
            }
        }
        const char* config = std::getenv("HOLM_CONFIG_FILE");
        if (config == nullptr || std::strcmp(config, argv[2]) != 0) {
            return 2;
        }
        if ((::GetErrorMode() &
             (SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX)) != 0) {
            return 3;
        }
        DWORD flags = 0;
        const auto value = static_cast<uintptr_t>(std::strtoull(argv[3], nullptr, 10));
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            return 4;
        }
        return 7;
    }
    if (mode == "logon" && argc == 3) {
        DWORD session = 0;
        wchar_t directory[MAX_PATH];
        char utf8[4 * MAX_PATH];
        const DWORD length = ::GetCurrentDirectoryW(MAX_PATH, directory);
        const auto user = holm::platform::processUserId(::GetCurrentProcessId());
        if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session) || length == 0 ||
            length >= MAX_PATH || !user ||
            ::WideCharToMultiByte(CP_UTF8, 0, directory, -1, utf8, sizeof utf8, nullptr, nullptr) ==
                0) {
            return 1;
        }
        const char* profile = std::getenv("USERPROFILE");
        const char* probe = std::getenv("HOLM_SPAWN_PROBE");
        FILE* out = std::fopen(argv[2], "w");
        if (out == nullptr) {
            return 1;
        }
        std::fprintf(
            out, "user=%lu\nsession=%lu\ndirectory=%s\nUSERPROFILE=%s\nHOLM_SPAWN_PROBE=%s\n",
            static_cast<unsigned long>(*user), static_cast<unsigned long>(session), utf8,
            profile != nullptr ? profile : "<unset>", probe != nullptr ? probe : "<unset>");
        return std::fclose(out) == 0 ? 0 : 1;
    }
    return 100;
}
