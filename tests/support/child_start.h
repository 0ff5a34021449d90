// Starting this test program again as a child run.
#pragma once

#include <iostream>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "support/test_support.h"

namespace holm::test {

// Starts a child run (`argv` and `environment` as for
// platform::ChildProcess::start). Wine now and then fails to start a
// program that it starts a moment later: the new process ends before it
// reports to the server, and the start fails with an internal error. On
// Windows a failed start is therefore made once more, with the first error
// printed; a second failure is returned, so a start that cannot work still
// fails the test. A test that starts hundreds of children would otherwise
// fail on Wine's account now and then.
inline platform::Result<platform::ChildProcess> startChildRun(
    const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    auto child = platform::ChildProcess::start(argv, environment);
    if (!child && onWindows()) {
        std::cerr << "a child run did not start (" << child.error().message()
                  << "); starting it again\n";
        child = platform::ChildProcess::start(argv, environment);
    }
    return child;
}

}  // namespace holm::test
