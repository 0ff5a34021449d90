#include "containers/vector.h"

#include <new>
#include <stdexcept>

namespace holm::containers {

void CVectorImpl::add(IListElem* element) {
    std::unique_ptr<IListElem> owned(element);
    holm::common::checkRoomForOneMore(elements_.size(), maxCount_);
    elements_.push_back(std::move(owned));
}

int32_t CVectorImpl::getCount() {
    return static_cast<int32_t>(elements_.size());
}

void CVectorImpl::clear() {
    // Destroy in order, then drop the (now null) slots; the capacity stays.
    for (auto& element : elements_) {
        element.reset();
    }
    elements_.clear();
}

IVectorIterator* CVectorImpl::createIterator() {
    return new (std::nothrow) CVectorIteratorImpl(elements_);
}

void CVectorImpl::releaseIterator(IVectorIterator* iterator) {
    delete iterator;
}

bool CVectorImpl::isEmpty() {
    return elements_.empty();
}

IListElem* CVectorIteratorImpl::elementAt(int64_t index) const {
    if (index < 0 || static_cast<uint64_t>(index) >= elements_.size()) {
        return nullptr;
    }
    return elements_[static_cast<size_t>(index)].get();
}

IListElem* CVectorIteratorImpl::first() {
    if (elements_.empty()) {
        return nullptr;
    }
    forward_ = 0;
    return elementAt(forward_);
}

IListElem* CVectorIteratorImpl::next() {
    if (forward_ < 0) {
        return nullptr;
    }
    if (static_cast<uint64_t>(forward_ + 1) >= elements_.size()) {
        forward_ = kFinished;
        return nullptr;
    }
    return elementAt(++forward_);
}

IListElem* CVectorIteratorImpl::last() {
    if (elements_.empty()) {
        return nullptr;
    }
    backward_ = static_cast<int64_t>(elements_.size()) - 1;
    return elementAt(backward_);
}

IListElem* CVectorIteratorImpl::prev() {
    if (backward_ <= 0) {
        backward_ = backward_ == kUnset ? kUnset : kFinished;
        return nullptr;
    }
    // The vector may have shrunk since the last step.
    if (static_cast<uint64_t>(backward_) > elements_.size()) {
        backward_ = kFinished;
        return nullptr;
    }
    return elementAt(--backward_);
}

IListElem* CVectorIteratorImpl::at(int32_t index) {
    return elementAt(index);
}

}  // namespace holm::containers
