#include "core/sqlite_gate.h"

#include "common/utf16.h"
#include "platform/file_system.h"
#include "security/dependency_rule.h"
#include "security/verified_file.h"
#include "utilities/path.h"

namespace holm::core {
namespace {

constexpr std::u16string_view kRowPlace = u"ISQLiteRowHandler::onRow";

Callee handlerCallee(const HlmPlg::ISQLiteRowHandler* handler) {
    return calleeOf(const_cast<HlmPlg::ISQLiteRowHandler*>(handler));
}

}  // namespace

// Whether faults are guarded is asked once per query, at its first row: the
// policy lookup takes the gate's lock and asks the service, which every row
// would otherwise pay.
bool SQLiteRowGate::run(const HlmPlg::ISQLiteRowHandler* /*handler*/, void (*body)(void*),
                        void* context, containers::RowFailure& failure) {
    constexpr int kGuarded = 1;
    constexpr int kUnguarded = 2;
    try {
        if (failure.gatePolicy == 0) {
            failure.gatePolicy =
                detail::guardsFaults(reporting_.reporting()) ? kGuarded : kUnguarded;
        }
        if (failure.gatePolicy == kUnguarded) {
            body(context);  // a fault goes to the debugger, as the policy asks
            return true;
        }
        if (platform::runWithFaultGuard(body, context, failure.fault)) {
            return true;
        }
        failure.faulted = true;
    } catch (...) {
        failure.exception = std::current_exception();
    }
    return false;
}

void SQLiteRowGate::report(const HlmPlg::ISQLiteRowHandler* handler,
                           const containers::RowFailure& failure) {
    const BoundaryReporting reporting = reporting_.reporting();
    if (failure.faulted) {
        detail::onFault(reporting, kRowPlace, handlerCallee(handler), failure.fault);
        return;
    }
    if (!failure.exception) {
        return;
    }
    try {
        std::rethrow_exception(failure.exception);
    } catch (std::exception& exception) {
        detail::onException(reporting, kRowPlace, handlerCallee(handler), exception);
    } catch (...) {
        detail::onForeignException(reporting, kRowPlace, handlerCallee(handler));
    }
}

platform::SharedLibrary loadSQLiteLibrary(std::u16string_view productDirectory,
                                          std::u16string_view mappedName,
                                          const security::TrustStore* trust) {
    if (mappedName.empty()) {
        return {};
    }
    const std::string path =
        common::utf16ToUtf8(Tandro::Utilities::Path::Combine(productDirectory, mappedName));
    if (platform::pathExists(path)) {
        security::SelftestContext context;
        context.productDirectory = common::utf16ToUtf8(productDirectory);
        context.trust = trust;
        const security::VerifiedFile verified = security::selftest(
            path, security::UnsignedFiles::Refuse, security::LoadedFiles::Verify, context);
        if (!verified.passed()) {
            return {};
        }
        // What it pulls in keeps the dependency rule of the product's files.
        security::DependencyRule rule;
        rule.trust = trust;
        rule.role = security::FileRole::Product;
        if (security::checkDependencies(verified, rule).refusal) {
            return {};
        }
        return platform::SharedLibrary::openDescriptor(verified.descriptor(), path).valueOr({});
    }
    // Linux only: Windows has no system library the core loads by name.
    return platform::SharedLibrary::openSystemLibrary(common::utf16ToUtf8(mappedName)).valueOr({});
}

}  // namespace holm::core
