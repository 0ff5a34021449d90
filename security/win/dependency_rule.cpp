// The dependency rule on Windows (security/dependency_rule.h). Libraries are
// loaded so that the DLLs they import come from the application directory
// (the directory of the running program: the product directory) and the
// system directory alone. The system directory, the system's API sets and
// its known DLLs are the administrators'; what the rule checks is the
// application directory: a DLL a library asks for that lies there is loaded
// from there, so it must be signed for the library's role, and what it asks
// for is checked in turn. A name found nowhere maps nothing: the load then
// fails, or takes a module of that name the process has loaded already,
// which was checked when it was loaded.
#include <algorithm>
#include <deque>
#include <set>
#include <utility>

#include "platform/file_system.h"
#include "platform/io.h"
#include "platform/process_info.h"
#include "platform/unique_handle.h"
#include "security/dependency_rule.h"
#include "security/verified_file.h"

namespace holm::security {
namespace {

constexpr size_t kMaxFilesChecked = 4096;

// DLL names compare without regard to ASCII case, as the loader compares them.
std::string foldedName(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return name;
}

// The directory of the running program (either separator: a Windows path
// may use both); empty when its path has none.
std::string applicationDirectory() {
    const std::string program = platform::executablePath();
    const size_t separator = program.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : program.substr(0, separator);
}

class DependencyWalk {
  public:
    DependencyWalk(const DependencyRule& rule, bool checking)
        : rule_(rule), checking_(checking), directory_(applicationDirectory()) {}

    DependencyCheck run(const std::string& shownAs, LibraryRequests requests) {
        std::deque<std::pair<std::string, LibraryRequests>> queue;
        queue.emplace_back(shownAs, std::move(requests));
        while (!queue.empty() && !result_.refusal) {
            auto [object, asked] = std::move(queue.front());
            queue.pop_front();
            for (const std::string& name : asked.needed) {
                if (!result_.refusal) {
                    take(object, name, queue);
                }
            }
        }
        return std::move(result_);
    }

  private:
    void take(const std::string& object, const std::string& name,
              std::deque<std::pair<std::string, LibraryRequests>>& queue) {
        if (!seen_.insert(foldedName(name)).second) {
            return;
        }
        const std::string candidate = directory_ + "/" + name;
        if (directory_.empty() || !platform::pathExists(candidate)) {
            return;  // the system's, or not found
        }
        const std::string shownAs =
            object + "its dependency " + quotedName(name) + " (" + candidate + "): ";
        if (++checked_ > kMaxFilesChecked) {
            result_.refusal = object + "it pulls in too many libraries";
            return;
        }
        result_.mapped.push_back(candidate);
        platform::Result<LibraryRequests, std::string> requests = std::string();
        if (checking_) {
            VerifiedFile verified = VerifiedFile::open(
                candidate, rule_.trust ? *rule_.trust : TrustStore::system(), rule_.role);
            if (verified.reason() != Reason::Verified) {
                result_.refusal = shownAs +
                                  "it lies in the application directory and is not signed for "
                                  "this role (" +
                                  std::string(describe(verified.reason())) + ")";
                return;
            }
            requests = readLibraryRequests(DescriptorBytes(verified.descriptor(), verified.size()));
        } else {
            auto fd = platform::openForReading(candidate);
            const auto info =
                fd ? platform::statDescriptor(fd->get()) : platform::lastSystemError();
            if (!info) {
                return;
            }
            requests = readLibraryRequests(DescriptorBytes(fd->get(), info->size));
        }
        if (!requests) {
            if (checking_) {
                result_.refusal = shownAs + requests.error();
            }
            return;
        }
        queue.emplace_back(shownAs, std::move(*requests));
    }

    const DependencyRule& rule_;
    const bool checking_;
    const std::string directory_;
    std::set<std::string> seen_;
    size_t checked_ = 0;
    DependencyCheck result_;
};

}  // namespace

DependencyCheck checkDependencies(const VerifiedFile& library, const DependencyRule& rule) {
    DependencyCheck check;
    auto requests = readLibraryRequests(DescriptorBytes(library.descriptor(), library.size()));
    if (!requests) {
        check.refusal = requests.error();
        return check;
    }
    return DependencyWalk(rule, true).run("", std::move(*requests));
}

std::vector<std::string> resolveDependencies(const std::string& path, const DependencyRule& rule) {
    auto fd = platform::openForReading(path);
    const auto info = fd ? platform::statDescriptor(fd->get()) : platform::lastSystemError();
    if (!info) {
        return {};
    }
    auto requests = readLibraryRequests(DescriptorBytes(fd->get(), info->size));
    if (!requests) {
        return {};
    }
    return DependencyWalk(rule, false).run("", std::move(*requests)).mapped;
}

}  // namespace holm::security
