#include "services/text_library.h"

#include <algorithm>
#include <cstring>

#include "common/utf16.h"
#include "platform/errors.h"
#include "security/product_files.h"
#include "security/verified_data.h"
#include "utilities/path.h"

namespace holm::services {
namespace {

namespace util = Tandro::Utilities;
namespace WinError = platform::WinError;

// The first read of the two-step read, as a fixed buffer of the original
// size takes it.
constexpr size_t kFirstReadUnits = 256;

uint32_t errorOfRefusal(security::Reason reason) {
    return reason == security::Reason::NotFound ? WinError::kFileNotFound
                                                : WinError::kNotAuthenticated;
}

size_t copyCut(const std::optional<std::u16string>& text, char16_t* buffer, size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    const size_t length = text ? std::min(text->size(), capacity - 1) : 0;
    if (length > 0) {
        std::memcpy(buffer, text->data(), length * sizeof(char16_t));
    }
    buffer[length] = u'\0';
    return length;
}

template <typename Load, typename Length>
std::u16string readTwoStep(Load load, Length length) {
    char16_t first[kFirstReadUnits];
    const size_t got = load(first, kFirstReadUnits);
    if (got < kFirstReadUnits - 1) {
        return std::u16string(first, got);
    }
    std::u16string whole(length() + 1, u'\0');
    whole.resize(load(whole.data(), whole.size()));
    return whole;
}

}  // namespace

MasterTextLibrary::MasterTextLibrary(std::u16string_view directory)
    : directory_(util::Path::NormaliseDirectory(directory)) {}

MasterTextLibrary& MasterTextLibrary::process(std::u16string_view directory) {
    // Never destroyed: objects released at process exit may still use it.
    static auto* const state = new MasterTextLibrary(directory);
    return *state;
}

std::shared_ptr<const util::MasterTextReader> MasterTextLibrary::acquire(uint32_t& error) {
    common::MutexLock hold(lock_);
    ++users_;
    error = WinError::kSuccess;
    if (!texts_) {
        texts_ = open(error);
    }
    return texts_;
}

void MasterTextLibrary::release() {
    common::MutexLock hold(lock_);
    if (users_ > 0 && --users_ == 0) {
        texts_.reset();
    }
}

std::shared_ptr<const util::MasterTextReader> MasterTextLibrary::open(uint32_t& error) const {
    const std::string path =
        common::utf16ToUtf8(util::Path::Combine(directory_, util::MasterTextReader::kLibraryName));
    auto data = security::VerifiedData::open(path, security::TrustStore::system(),
                                             security::FileRole::Product);
    if (!data) {
        error = errorOfRefusal(data.reason());
        return nullptr;
    }
    try {
        return std::make_shared<const util::MasterTextReader>(
            util::ResourceTextFile(std::move(data)));
    } catch (const util::MasterTextError&) {
        error = WinError::kResourceDataNotFound;
    } catch (const util::ResourceFileError&) {
        error = WinError::kResourceDataNotFound;
    }
    return nullptr;
}

std::shared_ptr<const NumberedStrings> NumberedStrings::fromLibrary(
    const std::string& path, const std::string& productDirectory) {
    auto data = security::VerifiedData::open(
        path, security::TrustStore::system(),
        security::roleOfFile(path, productDirectory, security::FileRole::Plugin));
    auto strings = std::make_shared<NumberedStrings>();
    strings->file_.emplace(std::move(data));  // raises for a refused or invalid file
    return strings;
}

std::shared_ptr<const NumberedStrings> NumberedStrings::fromTable(const void* table, size_t size) {
    auto strings = std::make_shared<NumberedStrings>();
    const auto* bytes = static_cast<const std::byte*>(table);
    strings->copy_.assign(bytes, bytes + size);
    strings->file_.emplace(std::span<const std::byte>(strings->copy_));
    return strings;
}

size_t TextHandle::loadString(uint32_t id, char16_t* buffer, size_t capacity) const {
    return copyCut(strings_ ? strings_->find(id) : std::nullopt, buffer, capacity);
}

size_t TextHandle::stringLength(uint32_t id) const {
    const auto text = strings_ ? strings_->find(id) : std::nullopt;
    return text ? text->size() : 0;
}

size_t TextHandle::loadMasterText(std::u16string_view name, char16_t* buffer,
                                  size_t capacity) const {
    return copyCut(masterText(name), buffer, capacity);
}

size_t TextHandle::masterTextLength(std::u16string_view name) const {
    const auto text = masterText(name);
    return text ? text->size() : 0;
}

std::optional<std::u16string> TextHandle::masterText(std::u16string_view name) const {
    return masters_->find(name);
}

std::u16string readString(const TextHandle& handle, uint32_t id) {
    return readTwoStep(
        [&](char16_t* buffer, size_t capacity) { return handle.loadString(id, buffer, capacity); },
        [&] { return handle.stringLength(id); });
}

std::u16string readMasterText(const TextHandle& handle, std::u16string_view name) {
    return readTwoStep(
        [&](char16_t* buffer, size_t capacity) {
            return handle.loadMasterText(name, buffer, capacity);
        },
        [&] { return handle.masterTextLength(name); });
}

}  // namespace holm::services
