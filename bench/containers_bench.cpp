// Throughput of the list containers' serialized forms, key-value build and
// lookup, and the reader/writer lock, each beside a standard-library peer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <shared_mutex>
#include <string>
#include <vector>

#include "containers/data_list.h"
#include "containers/key_value_list.h"
#include "containers/serializable_list.h"
#include "containers/string_list.h"
#include "services/sync_read_write.h"

namespace {

using holm::services::CSyncReadWriteImpl;

using holm::containers::CDataListImpl;
using holm::containers::CKeyValueListImpl;
using holm::containers::CSerializableListImpl;
using holm::containers::CStringListImpl;

constexpr int kItems = 10000;

std::u16string widen(const std::string& text) {
    return {text.begin(), text.end()};
}

// kItems texts of 10 to 40 code units.
const std::vector<std::u16string>& texts() {
    static const std::vector<std::u16string> all = [] {
        std::vector<std::u16string> result;
        for (int i = 0; i < kItems; ++i) {
            result.push_back(widen("item-" + std::to_string(i) + std::string(i % 31, 'x')));
        }
        return result;
    }();
    return all;
}

size_t textBytes() {
    size_t total = 0;
    for (const auto& text : texts()) {
        total += (text.size() + 1) * sizeof(char16_t);
    }
    return total;
}

std::vector<uint8_t> blockOf(HlmPlg::ISerializable& list) {
    void* data = nullptr;
    uint32_t size = 0;
    list.serialize(&data, &size);
    const auto* bytes = static_cast<const uint8_t*>(data);
    return {bytes, bytes + size};
}

void fillStrings(CStringListImpl& list) {
    for (const auto& text : texts()) {
        list.add(text.c_str());
    }
}

void fillSerializables(CSerializableListImpl& list) {
    for (const auto& text : texts()) {
        CStringListImpl one;
        one.add(text.c_str());
        list.add(&one);
    }
}

void fillData(CDataListImpl& list) {
    list.setElementSize(32);
    uint8_t record[32] = {};
    for (int i = 0; i < kItems; ++i) {
        record[0] = static_cast<uint8_t>(i);
        list.add(record);
    }
}

void fillKeyValues(CKeyValueListImpl& list) {
    for (int i = 0; i < kItems; ++i) {
        list.setString(widen("key" + std::to_string(i)).c_str(), texts()[i].c_str());
    }
}

template <class List, void (*Fill)(List&)>
void serializeList(benchmark::State& state) {
    List list;
    Fill(list);
    const size_t bytes = blockOf(list).size();
    for (auto _ : state) {
        void* data = nullptr;
        uint32_t size = 0;
        list.serialize(&data, &size);
        benchmark::DoNotOptimize(data);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

template <class List, void (*Fill)(List&)>
void deserializeList(benchmark::State& state) {
    List list;
    Fill(list);
    const std::vector<uint8_t> block = blockOf(list);
    for (auto _ : state) {
        list.deserialize(block.data(), static_cast<int32_t>(block.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}

BENCHMARK(serializeList<CStringListImpl, fillStrings>)->Name("StringList/serialize");
BENCHMARK(deserializeList<CStringListImpl, fillStrings>)->Name("StringList/deserialize");
BENCHMARK(serializeList<CSerializableListImpl, fillSerializables>)
    ->Name("SerializableList/serialize");
BENCHMARK(deserializeList<CSerializableListImpl, fillSerializables>)
    ->Name("SerializableList/deserialize");
BENCHMARK(serializeList<CDataListImpl, fillData>)->Name("DataList/serialize");
BENCHMARK(deserializeList<CDataListImpl, fillData>)->Name("DataList/deserialize");
BENCHMARK(serializeList<CKeyValueListImpl, fillKeyValues>)->Name("KeyValueList/serialize");
BENCHMARK(deserializeList<CKeyValueListImpl, fillKeyValues>)->Name("KeyValueList/deserialize");

// The peer: copying the same texts as a std::vector<std::u16string>.
void vectorCopy(benchmark::State& state) {
    const auto& source = texts();
    const size_t bytes = textBytes();
    for (auto _ : state) {
        std::vector<std::u16string> copy(source);
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(vectorCopy)->Name("StdVectorU16String/copy");

std::vector<std::u16string> keys(int64_t count) {
    std::vector<std::u16string> result;
    for (int64_t i = 0; i < count; ++i) {
        result.push_back(widen("Key-" + std::to_string(i)));
    }
    return result;
}

void keyValueBuild(benchmark::State& state) {
    const auto all = keys(state.range(0));
    for (auto _ : state) {
        CKeyValueListImpl list;
        for (const auto& key : all) {
            list.setString(key.c_str(), u"value");
        }
        benchmark::DoNotOptimize(list.getCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(keyValueBuild)->Name("KeyValueList/build")->Arg(1000)->Arg(100000);

// Looks every key up in another letter case.
void keyValueLookup(benchmark::State& state) {
    const auto all = keys(state.range(0));
    CKeyValueListImpl list;
    for (const auto& key : all) {
        list.setString(key.c_str(), u"value");
    }
    auto upper = all;
    for (auto& key : upper) {
        for (auto& unit : key) {
            unit = unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit;
        }
    }
    for (auto _ : state) {
        for (const auto& key : upper) {
            benchmark::DoNotOptimize(list.getString(key.c_str()));
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(keyValueLookup)->Name("KeyValueList/lookup")->Arg(1000)->Arg(100000);

CSyncReadWriteImpl sharedLock;
std::shared_mutex sharedMutex;

void syncReadWriteRead(benchmark::State& state) {
    for (auto _ : state) {
        sharedLock.lockRead();
        sharedLock.unlockRead();
    }
}
void syncReadWriteWrite(benchmark::State& state) {
    for (auto _ : state) {
        sharedLock.lockWrite();
        sharedLock.unlockWrite();
    }
}
void sharedMutexRead(benchmark::State& state) {
    for (auto _ : state) {
        sharedMutex.lock_shared();
        sharedMutex.unlock_shared();
    }
}
void sharedMutexWrite(benchmark::State& state) {
    for (auto _ : state) {
        sharedMutex.lock();
        sharedMutex.unlock();
    }
}
BENCHMARK(syncReadWriteRead)->Name("SyncReadWrite/read")->Threads(1)->Threads(2);
BENCHMARK(syncReadWriteWrite)->Name("SyncReadWrite/write")->Threads(1)->Threads(2);
BENCHMARK(sharedMutexRead)->Name("StdSharedMutex/read")->Threads(1)->Threads(2);
BENCHMARK(sharedMutexWrite)->Name("StdSharedMutex/write")->Threads(1)->Threads(2);

}  // namespace
