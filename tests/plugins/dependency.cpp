// An unsigned library that test plugins name through their run path. Its
// constructor records "dependency:loaded" in HOLM_TEST_PLUGIN_LOG, so a test
// sees whether the loader ever pulled it in.
#include <cstdlib>
#include <fstream>

namespace {

struct RecordLoad {
    RecordLoad() {
        if (const char* log = std::getenv("HOLM_TEST_PLUGIN_LOG")) {
            std::ofstream(log, std::ios::app) << "dependency:loaded\n";
        }
    }
};

const RecordLoad recordLoad;

}  // namespace
