// A module that serves as resource module: it exports its numbered strings
// as a resource table (string 1 is "hi", string 2 refers to a master text).
#include <cstdint>

#define EXPORTED extern "C" __attribute__((visibility("default")))

EXPORTED const unsigned char HlmResourceTable[] = {
    'H', 'O', 'L', 'M', 'R', 'E', 'S', 0,                          // magic
    1,   0,   0,   0,                                              // version
    2,   0,   0,   0,                                              // count
    1,   0,   0,   0,   40,  0,   0,   0, 2,   0, 0,   0,          // id 1 at 40, 2 units
    2,   0,   0,   0,   44,  0,   0,   0, 7,   0, 0,   0,          // id 2 at 44, 7 units
    'h', 0,   'i', 0,                                              // "hi"
    '$', 0,   '#', 0,   'N', 0,   'A', 0, 'M', 0, 'E', 0, '$', 0,  // "$#NAME$"
};
EXPORTED const uint32_t HlmResourceTableSize = sizeof HlmResourceTable;
