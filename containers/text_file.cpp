#include "containers/text_file.h"

#include <cerrno>
#include <new>
#include <stdexcept>
#include <vector>

#include "common/utf16.h"
#include "containers/link_refusals.h"
#include "platform/atomic_file.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/io.h"

namespace holm::containers {

namespace {

namespace io = holm::platform::io;
namespace WinError = holm::platform::WinError;

constexpr std::string_view kMark(kUtf16LeMark, sizeof kUtf16LeMark);

// The UTF-8 path of a text file's name; empty for null or empty names, which
// no file has.
std::string pathOf(const char16_t* name) {
    return name != nullptr ? holm::common::utf16ToUtf8(name) : std::string();
}

// Runs `operation`, turning what it raises into a recorded failure: nothing
// is thrown to the plugin that called.
template <typename Operation>
bool guarded(uint32_t& lastError, Operation operation) {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        lastError = WinError::kNotEnoughMemory;
    } catch (const std::length_error&) {
        lastError = WinError::kNotEnoughMemory;
    } catch (...) {
        lastError = WinError::kGenFailure;
    }
    return false;
}

}  // namespace

bool CTxtFileImpl::create(const char16_t* path, bool unicode, bool failIfExists) {
    return guarded(lastError_, [&] {
        const std::string file = followedPath(path);
        return !file.empty() && createFile(file, unicode, failIfExists);
    });
}

bool CTxtFileImpl::open(const char16_t* path, bool writable) {
    return guarded(lastError_, [&] {
        const std::string file = followedPath(path);
        return !file.empty() && openFile(file, writable);
    });
}

std::string CTxtFileImpl::followedPath(const char16_t* path) {
    const std::string name = pathOf(path);
    if (name.empty()) {
        fail(WinError::kPathNotFound);
        return {};
    }
    auto followed = holm::containers::followLinksOrReport(name);
    if (!followed) {
        fail(followed.error().windowsError());
        return {};
    }
    return std::move(*followed);
}

bool CTxtFileImpl::close() {
    file_.reset();
    writable_ = false;
    return true;
}

bool CTxtFileImpl::readLines(HlmPlg::IStringList* lines) {
    if (lines == nullptr) {
        return fail(WinError::kInvalidParameter);
    }
    return guarded(lastError_, [&] { return readAllLines(*lines); });
}

bool CTxtFileImpl::writeLines(HlmPlg::IStringList* lines) {
    if (lines == nullptr) {
        return fail(WinError::kInvalidParameter);
    }
    return guarded(lastError_, [&] { return writeAllLines(*lines); });
}

bool CTxtFileImpl::appendLine(const char16_t* text) {
    return guarded(lastError_, [&] { return appendText(text != nullptr ? text : u""); });
}

bool CTxtFileImpl::readContent(std::string& bytes) {
    bytes.clear();
    if (!file_) {
        return fail(WinError::kInvalidHandle);
    }
    return guarded(lastError_, [&] {
        auto info = holm::platform::statDescriptor(file_.get());
        if (!info) {
            return fail(info.error().windowsError());
        }
        if (info->size > kMaxFileSize) {
            return fail(WinError::kFileTooLarge);
        }
        // Bounded again while reading: the file may grow meanwhile.
        auto content = io::readWholeFile(file_.get(), kMaxFileSize, info->size);
        if (!content) {
            return fail(content.error().errnoValue() == EFBIG ? WinError::kFileTooLarge
                                                              : content.error().windowsError());
        }
        bytes.assign(reinterpret_cast<const char*>(content->data()), content->size());
        return true;
    });
}

bool CTxtFileImpl::replaceContent(const char16_t* path, std::string_view bytes) {
    return guarded(lastError_, [&] {
        const std::string file = followedPath(path);
        const bool replaced = !file.empty() && replaceFile(file, bytes);
        close();
        return replaced;
    });
}

uint32_t CTxtFileImpl::getLastError() {
    return lastError_;
}

bool CTxtFileImpl::createFile(const std::string& path, bool unicode, bool failIfExists) {
    if (path.empty()) {
        return fail(WinError::kPathNotFound);
    }
    if (!failIfExists) {
        if (!replaceFile(path, unicode ? kMark : std::string_view())) {
            return false;
        }
        unicode_ = unicode;
        return true;
    }
    auto file = io::open(
        path, {.access = io::Access::ReadWrite, .create = true, .exclusive = true, .append = true});
    if (!file) {
        return fail(holm::platform::openPathError(path, file.error()).windowsError());
    }
    if (!holdOpenedFile(std::move(*file), true)) {
        return false;
    }
    unicode_ = unicode;
    if (unicode) {
        if (auto written = io::writeFull(file_.get(), kMark); !written) {
            return fail(written.error().windowsError());
        }
    }
    return true;
}

bool CTxtFileImpl::openFile(const std::string& path, bool writable) {
    if (path.empty()) {
        return fail(WinError::kPathNotFound);
    }
    // Non-blocking, so that a FIFO in the file's place cannot hang the open;
    // it is refused below like any other file that is not a regular one.
    auto file = io::open(path, {.access = writable ? io::Access::ReadWrite : io::Access::Read,
                                .nonBlocking = true,
                                .append = writable});
    if (!file) {
        return fail(holm::platform::openPathError(path, file.error()).windowsError());
    }
    if (!holdOpenedFile(std::move(*file), writable)) {
        return false;
    }
    char mark[sizeof kUtf16LeMark] = {};
    auto got = io::readAt(file_.get(), std::span(reinterpret_cast<uint8_t*>(mark), sizeof mark), 0);
    if (!got) {
        close();
        return fail(got.error().windowsError());
    }
    unicode_ = *got == sizeof mark && std::string_view(mark, sizeof mark) == kMark;
    path_ = path;
    return true;
}

bool CTxtFileImpl::holdOpenedFile(holm::platform::UniqueFd file, bool writable) {
    auto info = holm::platform::statDescriptor(file.get());
    if (!info) {
        return fail(info.error().windowsError());
    }
    // Windows refuses a directory as a file with "access denied"; a FIFO or
    // device is no text file either.
    if (info->type != holm::platform::FileType::kRegular) {
        return fail(WinError::kAccessDenied);
    }
    auto locked = writable ? io::tryLockExclusive(file.get()) : io::tryLockShared(file.get());
    if (!locked) {
        return fail(locked.error().windowsError());
    }
    if (!*locked) {
        return fail(WinError::kSharingViolation);
    }
    file_ = std::move(file);
    writable_ = writable;
    return true;
}

bool CTxtFileImpl::replaceFile(const std::string& path, std::string_view content) {
    // Another object holding the old file keeps it, as the Windows sharing
    // rule would: the replacement is refused rather than pulled from under it.
    auto old = io::open(path, {.nonBlocking = true});
    if (old) {
        auto locked = io::tryLockExclusive(old->get());
        if (locked && !*locked) {
            return fail(WinError::kSharingViolation);
        }
    } else if (old.error().windowsError() != WinError::kFileNotFound) {
        return fail(old.error().windowsError());
    }
    if (auto replaced = holm::platform::replaceFileAtomically(path, content); !replaced) {
        return fail(holm::platform::openPathError(path, replaced.error()).windowsError());
    }
    auto file = io::open(path, {.access = io::Access::ReadWrite, .append = true});
    if (!file) {
        return fail(file.error().windowsError());
    }
    return holdOpenedFile(std::move(*file), true);
}

bool CTxtFileImpl::readAllLines(HlmPlg::IStringList& lines) {
    lines.clear();
    if (!file_) {
        return fail(WinError::kInvalidHandle);
    }
    auto info = holm::platform::statDescriptor(file_.get());
    if (!info) {
        return fail(info.error().windowsError());
    }
    if (info->size > kMaxFileSize) {
        return fail(WinError::kFileTooLarge);
    }
    TextLineDecoder decoder(encoding());
    std::vector<std::u16string> decoded;
    std::vector<uint8_t> buffer(kReadChunk);
    uint64_t offset = unicode_ ? sizeof kUtf16LeMark : 0;
    for (;;) {
        auto got = io::readAt(file_.get(), buffer, offset);
        if (!got) {
            // Lines read before the error stay in the list.
            return fail(got.error().windowsError());
        }
        if (*got == 0) {
            break;
        }
        offset += *got;
        if (offset > kMaxFileSize) {
            return fail(WinError::kFileTooLarge);  // grew while being read
        }
        decoder.feed(std::string_view(reinterpret_cast<const char*>(buffer.data()), *got), decoded);
        for (const auto& line : decoded) {
            lines.add(line.c_str());
        }
        decoded.clear();
    }
    decoder.finish(decoded);
    for (const auto& line : decoded) {
        lines.add(line.c_str());
    }
    return lines.getCount() > 0 || fail(WinError::kHandleEof);
}

bool CTxtFileImpl::writeAllLines(HlmPlg::IStringList& lines) {
    close();
    if (path_.empty()) {
        return fail(WinError::kPathNotFound);
    }
    std::string content(unicode_ ? kMark : std::string_view());
    HlmPlg::IStringList::Iterator* iterator = lines.createIterator();
    if (iterator == nullptr) {
        return fail(WinError::kNotEnoughMemory);
    }
    try {
        for (const char16_t* line = iterator->first(); line != nullptr; line = iterator->next()) {
            appendEncodedLine(line, encoding(), content);
        }
    } catch (...) {
        lines.releaseIterator(iterator);
        throw;
    }
    lines.releaseIterator(iterator);
    return replaceFile(path_, content);
}

bool CTxtFileImpl::appendText(std::u16string_view text) {
    if (!file_) {
        return fail(WinError::kInvalidHandle);
    }
    if (!writable_) {
        return fail(WinError::kAccessDenied);
    }
    std::string bytes;
    appendEncodedLine(text, encoding(), bytes);
    // The file is open for appending: the line lands at its end.
    if (auto written = io::writeFull(file_.get(), bytes); !written) {
        return fail(written.error().windowsError());
    }
    return true;
}

TextEncoding CTxtFileImpl::encoding() const {
    return unicode_ ? TextEncoding::Utf16Le : TextEncoding::Utf8;
}

bool CTxtFileImpl::fail(uint32_t error) {
    lastError_ = error;
    return false;
}

}  // namespace holm::containers
