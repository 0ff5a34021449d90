// An unsigned library that test plugins name through their run path (and
// other ways). Its constructor records "<name>:loaded" ("dependency" unless
// built with another name) in HOLM_TEST_PLUGIN_LOG, so a test sees whether
// the loader ever pulled it in.
#include <cstdlib>
#include <fstream>

#ifndef HOLM_TEST_DEPENDENCY_NAME
#define HOLM_TEST_DEPENDENCY_NAME "dependency"
#endif

namespace {

struct RecordLoad {
    RecordLoad() {
        if (const char* log = std::getenv("HOLM_TEST_PLUGIN_LOG")) {
            std::ofstream(log, std::ios::app) << HOLM_TEST_DEPENDENCY_NAME ":loaded\n";
        }
    }
};

const RecordLoad recordLoad;

}  // namespace
