// Facts about the running process.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace holm::platform {

// The absolute path of the running program; empty if it cannot be read.
std::string executablePath();

// How this system ends a program's file name: ".exe" on Windows, nothing on
// Linux.
std::string_view programSuffix();

// The program's command line as the kernel keeps it: the program name first.
std::vector<std::string> commandLineArguments();

// The arguments joined into one command line by the Windows rules, so that
// splitting the text by those rules gives the arguments back: an argument
// that is empty or contains a blank, tab or double quote is quoted, a quote
// inside is written as \", and backslashes before a quote (or before the
// closing quote) are doubled.
std::string commandLineText(const std::vector<std::string>& arguments);

// `commandLineText` of this process's `commandLineArguments`.
std::string commandLineText();

// The calling thread's kernel thread id.
uint32_t currentThreadId();

// The process id.
uint32_t currentProcessId();

// The effective user id.
uint32_t effectiveUserId();

}  // namespace holm::platform
