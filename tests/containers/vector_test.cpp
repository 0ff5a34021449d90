#include "containers/vector.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using holm::containers::CVectorImpl;
using holm::containers::IListElem;
using holm::containers::IVectorIterator;

// An element that records its destruction.
class CountedElem : public IListElem {
  public:
    explicit CountedElem(int& destroyed) : destroyed_(destroyed) {}
    ~CountedElem() override { ++destroyed_; }

  private:
    int& destroyed_;
};

class VectorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (auto*& element : abc_) {
            element = new CountedElem(destroyed_);
            vector_.add(element);
        }
        iterator_.reset(vector_.createIterator());
    }

    int destroyed_ = 0;
    CVectorImpl vector_;
    IListElem* abc_[3] = {};
    std::unique_ptr<IVectorIterator> iterator_;
};

TEST(VectorEmpty, EverythingIsNull) {
    CVectorImpl vector;
    std::unique_ptr<IVectorIterator> iterator(vector.createIterator());
    EXPECT_TRUE(vector.isEmpty());
    EXPECT_EQ(vector.getCount(), 0);
    EXPECT_EQ(iterator->first(), nullptr);
    EXPECT_EQ(iterator->last(), nullptr);
    EXPECT_EQ(iterator->at(0), nullptr);
    EXPECT_EQ(iterator->next(), nullptr);
    EXPECT_EQ(iterator->prev(), nullptr);
}

TEST_F(VectorTest, ForwardAndBackwardWalksEndWithNullForGood) {
    EXPECT_EQ(iterator_->first(), abc_[0]);
    EXPECT_EQ(iterator_->next(), abc_[1]);
    EXPECT_EQ(iterator_->next(), abc_[2]);
    EXPECT_EQ(iterator_->next(), nullptr);
    EXPECT_EQ(iterator_->next(), nullptr);

    EXPECT_EQ(iterator_->last(), abc_[2]);
    EXPECT_EQ(iterator_->prev(), abc_[1]);
    EXPECT_EQ(iterator_->prev(), abc_[0]);
    EXPECT_EQ(iterator_->prev(), nullptr);
    EXPECT_EQ(iterator_->prev(), nullptr);
}

TEST_F(VectorTest, StepsBeforeAStartReturnNull) {
    EXPECT_EQ(iterator_->next(), nullptr);
    EXPECT_EQ(iterator_->prev(), nullptr);
    EXPECT_EQ(iterator_->first(), abc_[0]);
}

TEST_F(VectorTest, CursorsAndIndexAreIndependent) {
    EXPECT_EQ(iterator_->first(), abc_[0]);
    EXPECT_EQ(iterator_->last(), abc_[2]);
    EXPECT_EQ(iterator_->at(2), abc_[2]);
    EXPECT_EQ(iterator_->next(), abc_[1]);
    EXPECT_EQ(iterator_->prev(), abc_[1]);
    EXPECT_EQ(iterator_->at(0), abc_[0]);
    EXPECT_EQ(iterator_->next(), abc_[2]);
    EXPECT_EQ(iterator_->prev(), abc_[0]);
    EXPECT_EQ(iterator_->at(-1), nullptr);
    EXPECT_EQ(iterator_->at(3), nullptr);
}

TEST(VectorSingle, BackwardWalkOfOneElement) {
    CVectorImpl vector;
    int destroyed = 0;
    auto* only = new CountedElem(destroyed);
    vector.add(only);
    std::unique_ptr<IVectorIterator> iterator(vector.createIterator());
    EXPECT_EQ(iterator->last(), only);
    EXPECT_EQ(iterator->prev(), nullptr);
}

TEST_F(VectorTest, ClearDestroysEachElementOnce) {
    vector_.add(nullptr);  // null slots are skipped
    vector_.clear();
    EXPECT_EQ(destroyed_, 3);
    EXPECT_TRUE(vector_.isEmpty());
    {
        CVectorImpl other;
        other.add(new CountedElem(destroyed_));
    }
    EXPECT_EQ(destroyed_, 4);
}

TEST_F(VectorTest, IteratorSurvivesClearWithoutReadingOutside) {
    EXPECT_EQ(iterator_->first(), abc_[0]);
    EXPECT_EQ(iterator_->last(), abc_[2]);
    vector_.clear();
    EXPECT_EQ(iterator_->next(), nullptr);
    EXPECT_EQ(iterator_->prev(), nullptr);
    EXPECT_EQ(iterator_->at(0), nullptr);
}

TEST(VectorLimit, FullVectorRaisesLengthErrorAndKeepsNoElement) {
    CVectorImpl vector(2);
    int destroyed = 0;
    vector.add(new CountedElem(destroyed));
    vector.add(new CountedElem(destroyed));
    try {
        vector.add(new CountedElem(destroyed));
        FAIL() << "no length error";
    } catch (const std::length_error& error) {
        EXPECT_STREQ(error.what(), "list<T> too long");
    }
    EXPECT_EQ(destroyed, 1);  // the refused element is not leaked
    EXPECT_EQ(vector.getCount(), 2);
}

}  // namespace
