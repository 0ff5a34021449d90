#include "containers/key_value_list.h"

#include <memory>

#include "common/decimal.h"
#include "hlmplg/list_format.h"

namespace holm::containers {

namespace {

constexpr char16_t kEmpty[] = u"";

std::u16string decimal(int32_t value) {
    const std::string digits = std::to_string(value);
    return {digits.begin(), digits.end()};
}

}  // namespace

CKeyValueListElem* CKeyValueListImpl::find(const char16_t* key) const {
    if (key == nullptr) {
        return nullptr;
    }
    const auto found = index_.find(std::u16string_view(key));
    return found != index_.end() ? found->second : nullptr;
}

void CKeyValueListImpl::set(std::u16string_view key, std::u16string value) {
    if (const auto found = index_.find(key); found != index_.end()) {
        found->second->setValue(std::move(value));
        return;
    }
    CKeyValueListElem* element = nullptr;
    try {
        element = new CKeyValueListElem(std::u16string(key), std::move(value));
    } catch (const std::bad_alloc&) {
        return;  // an element that cannot be allocated is not added
    }
    vector_.add(element);
    try {
        index_.emplace(element->key(), element);
    } catch (const std::bad_alloc&) {
        vector_.dropLast();
    }
}

void CKeyValueListImpl::setString(const char16_t* key, const char16_t* value) {
    if (key != nullptr) {
        set(key, value != nullptr ? std::u16string(value) : std::u16string());
    }
}

void CKeyValueListImpl::setInt(const char16_t* key, int32_t value) {
    if (key != nullptr) {
        set(key, decimal(value));
    }
}

void CKeyValueListImpl::setBool(const char16_t* key, bool value) {
    setInt(key, value ? 1 : 0);
}

void CKeyValueListImpl::setBinary(const char16_t* key, const uint8_t* bytes, int32_t count) {
    if (key == nullptr) {
        return;
    }
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    std::u16string text;
    if (bytes != nullptr && count > 0) {
        text.reserve(2 * static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i) {
            text.push_back(kHex[bytes[i] >> 4]);
            text.push_back(kHex[bytes[i] & 0xF]);
        }
    }
    set(key, std::move(text));
}

const char16_t* CKeyValueListImpl::getString(const char16_t* key) {
    const CKeyValueListElem* element = find(key);
    return element != nullptr ? element->value().c_str() : kEmpty;
}

int32_t CKeyValueListImpl::getInt(const char16_t* key) {
    return holm::common::readDecimal(getString(key));
}

bool CKeyValueListImpl::getBool(const char16_t* key) {
    return getInt(key) == 1;
}

bool CKeyValueListImpl::getBinary(const char16_t* key, uint8_t* out, int32_t count) {
    const std::u16string_view text = getString(key);
    if (text.empty()) {
        return false;
    }
    if (out == nullptr) {
        return count <= 0;
    }
    // Positions past the end of the text read as no digit.
    const auto digitAt = [&](size_t pos) {
        return pos < text.size() ? holm::common::hexDigitValue(text[pos]) : -1;
    };
    uint8_t previous = 0;
    for (int32_t i = 0; i < count; ++i) {
        const size_t pos = 2 * static_cast<size_t>(i);
        const int high = digitAt(pos);
        if (high >= 0) {
            const int low = digitAt(pos + 1);
            previous = static_cast<uint8_t>(low >= 0 ? high * 16 + low : high);
        }
        out[i] = previous;
    }
    return true;
}

bool CKeyValueListImpl::hasKey(const char16_t* key) {
    return find(key) != nullptr;
}

void CKeyValueListImpl::clear() {
    index_.clear();
    CListImplBase::clear();
}

void CKeyValueListImpl::deserialize(const void* data, int32_t size) {
    RecordReader records(startDeserialize(data, size));
    while (auto record = records.next()) {
        // Key first, value second; a missing string is empty, later ones are
        // ignored.
        StringReader strings(*record);
        std::u16string key = strings.next().value_or(std::u16string());
        set(key, strings.next().value_or(std::u16string()));
    }
}

void CKeyValueListImpl::serialize(void** data, uint32_t* size) {
    const auto& elements = vector_.elements();
    BlockSize total;
    for (const auto& element : elements) {
        const auto& pair = static_cast<const CKeyValueListElem&>(*element);
        total.add(HlmPlg::kListRecordLengthSize);
        total.add(encodedStringSize(pair.key()) + encodedStringSize(pair.value()));
    }
    buffer_.publish(
        total,
        [&](uint8_t* out) {
            for (const auto& element : elements) {
                const auto& pair = static_cast<const CKeyValueListElem&>(*element);
                const size_t length =
                    encodedStringSize(pair.key()) + encodedStringSize(pair.value());
                out = writeLength(out, static_cast<uint32_t>(length));
                out = writeString(writeString(out, pair.key()), pair.value());
            }
        },
        data, size);
}

const char16_t* CKeyValueListIteratorImpl::first() {
    return elementValue(cursor_->first());
}
const char16_t* CKeyValueListIteratorImpl::next() {
    return elementValue(cursor_->next());
}
const char16_t* CKeyValueListIteratorImpl::last() {
    return elementValue(cursor_->last());
}
const char16_t* CKeyValueListIteratorImpl::prev() {
    return elementValue(cursor_->prev());
}

const char16_t* CKeyValueListIteratorImpl::elementValue(IListElem* element) {
    auto* pair = dynamic_cast<CKeyValueListElem*>(element);
    return pair != nullptr ? pair->key().c_str() : nullptr;
}

}  // namespace holm::containers
