// JSON reader: any bytes either fail cleanly or give a tree whose written text
// reads back to the same tree (written again, byte for byte the same).
#include <cstdlib>
#include <string>

#include "json_test_tree.h"

using namespace kestrin::base::json::testing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<Node> tree;
    if (FAILED(Parse(text, tree)))
        return 0;
    std::string first = Dump(*tree);
    std::unique_ptr<Node> again;
    if (FAILED(Parse(first, again)))
        std::abort();
    if (Dump(*again) != first)
        std::abort();
    return 0;
}
