// The policy store's property-list reading fed arbitrary bytes (XML or binary):
// a tree that parses is walked the way the store reads it, every value read
// in each form, changed on a copy, and written as XML, which must parse again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "plist_tree.h"

using namespace kestrin::policy;

namespace {

constexpr int kMaxDepth = 16;

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

void Walk(plist_t dict, KeyPath& path, plist_t top, int depth)
{
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(dict, &it);
    for (;;) {
        char* name = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, it, &name, &value);
        if (name == nullptr)
            break;
        std::string key = name;
        free(name);
        std::string spelling;
        FindEntry(dict, Upper(key).c_str(), &spelling);
        uint32_t number = 0;
        std::string text;
        ReadNumber(value, &number);
        ReadText(value, &text);
        ReadData(value, &text);
        if (plist_get_node_type(value) == PLIST_DICT && depth < kMaxDepth) {
            path.push_back(key);
            // A name written twice in one dictionary leads to its first entry,
            // which need not be this one.
            size_t created = 0;
            WalkDict(top, path, false, &created);
            Walk(value, path, top, depth + 1);
            path.pop_back();
        }
    }
    free(it);
    // Every sub-key named is an entry of the dictionary.
    std::string subKey;
    for (long i = 0; SubKeyAt(dict, i, &subKey); ++i)
        if (FindEntry(dict, subKey.c_str()) == nullptr)
            abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PlistPtr tree;
    if (ParsePlist(std::string(reinterpret_cast<const char*>(data), size), &tree) != S_OK)
        return 0;
    KeyPath path;
    Walk(tree.get(), path, tree.get(), 0);

    PlistPtr copy = CopyTree(tree.get());
    size_t created = 0;
    if (plist_t dict = WalkDict(copy.get(), KeyPath {"Common", "sub"}, true, &created)) {
        SetEntry(dict, "Value", NewNumber(0xFFFFFFFFu));
        RemoveEntry(dict, "value");
    }
    std::string xml;
    if (PlistToXml(copy.get(), &xml) == S_OK) {
        PlistPtr back;
        ParsePlist(xml, &back);
    }
    return 0;
}
