#include "plist_tree.h"

#include <climits>
#include <cmath>
#include <cstdlib>

namespace kestrin::policy {

namespace {

struct MallocFree {
    void operator()(char* p) const { free(p); }
};
using MallocText = std::unique_ptr<char, MallocFree>;

// Walks the entries of a dictionary in file order; `visit` returns true to stop.
template <class Visit>
void ForEachEntry(plist_t dict, Visit visit)
{
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(dict, &it);
    if (!it)
        return;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, it, &key, &value);
        MallocText owned(key);
        if (!value)
            break;
        if (visit(key ? key : "", value))
            break;
    }
    free(it);
}

// A big-endian unsigned integer of `size` bytes (at most 8) at `at`.
uint64_t BigEndian(const std::string& bytes, size_t at, size_t size)
{
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Whether no text object of a binary property list (ASCII, UTF-16 or UTF-8
// string, dictionary keys included) holds a NUL. libplist keeps such a text
// shorter than its recorded length: it stops the process when it reads the
// key and reads past the string when it writes or copies the tree. An XML list
// cannot hold a NUL (libplist refuses "&#0;"). A list whose tables do not fit
// the file is left for libplist to refuse.
bool BinaryTextsHaveNoNul(const std::string& bytes)
{
    constexpr size_t kTrailer = 32;
    if (bytes.size() < 8 + kTrailer || bytes.compare(0, 6, "bplist") != 0)
        return true;
    size_t trailer = bytes.size() - kTrailer;
    size_t offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
    uint64_t count = BigEndian(bytes, trailer + 8, 8);
    uint64_t table = BigEndian(bytes, trailer + 24, 8);
    if (offsetSize == 0 || offsetSize > 8 || table > trailer || count > (trailer - table) / offsetSize)
        return true;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t at = BigEndian(bytes, static_cast<size_t>(table + i * offsetSize), offsetSize);
        if (at >= trailer)
            continue;
        unsigned marker = static_cast<unsigned char>(bytes[at]);
        unsigned type = marker >> 4;
        if (type != 0x5 && type != 0x6 && type != 0x7)
            continue;
        uint64_t length = marker & 0xF;
        size_t start = static_cast<size_t>(at) + 1;
        if (length == 0xF) {
            if (start >= trailer)
                continue;
            unsigned intMarker = static_cast<unsigned char>(bytes[start]);
            size_t intSize = size_t {1} << (intMarker & 0xF);
            if ((intMarker >> 4) != 0x1 || intSize > 8 || intSize > trailer - start - 1)
                continue;
            length = BigEndian(bytes, start + 1, intSize);
            start += 1 + intSize;
        }
        size_t unit = type == 0x6 ? 2 : 1;
        if (start > trailer || length > (trailer - start) / unit)
            continue;
        for (size_t c = 0; c < length; ++c) {
            bool nul = unit == 1 ? bytes[start + c] == 0 : bytes[start + 2 * c] == 0 && bytes[start + 2 * c + 1] == 0;
            if (nul)
                return false;
        }
    }
    return true;
}

}  // namespace

bool IsXmlText(const char* text)
{
    if (!text)
        return true;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        unsigned c = *p;
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                return false;
            ++p;
            continue;
        }
        size_t length;
        uint32_t code;
        uint32_t least;
        if ((c & 0xE0) == 0xC0) {
            length = 2;
            code = c & 0x1F;
            least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            code = c & 0x0F;
            least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            code = c & 0x07;
            least = 0x10000;
        } else {
            return false;
        }
        for (size_t i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE || code == 0xFFFF)
            return false;
        p += length;
    }
    return true;
}

HRESULT ParsePlist(const std::string& bytes, PlistPtr* out)
{
    if (bytes.size() > UINT32_MAX || !BinaryTextsHaveNoNul(bytes))
        return E_FAIL;
    plist_t top = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &top);
    PlistPtr tree(top);
    if (!top || plist_get_node_type(top) != PLIST_DICT)
        return E_FAIL;
    *out = std::move(tree);
    return S_OK;
}

HRESULT PlistToXml(plist_t top, std::string* out)
{
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(top, &xml, &length);
    if (!xml)
        return E_OUTOFMEMORY;
    try {
        out->assign(xml, length);
    } catch (...) {
        plist_to_xml_free(xml);
        return E_OUTOFMEMORY;
    }
    plist_to_xml_free(xml);
    return S_OK;
}

PlistPtr NewDict()
{
    return PlistPtr(plist_new_dict());
}
PlistPtr CopyTree(plist_t node)
{
    return PlistPtr(node ? plist_copy(node) : nullptr);
}

plist_t FindEntry(plist_t dict, const char* name, std::string* spelling)
{
    if (!dict || !name || plist_get_node_type(dict) != PLIST_DICT)
        return nullptr;
    if (plist_t exact = plist_dict_get_item(dict, name)) {
        if (spelling)
            *spelling = name;
        return exact;
    }
    plist_t found = nullptr;
    ForEachEntry(dict, [&](const char* key, plist_t value) {
        if (!EqualNoCase(key, name))
            return false;
        found = value;
        if (spelling)
            *spelling = key;
        return true;
    });
    return found;
}

plist_t WalkDict(plist_t top, const KeyPath& path, bool create, size_t* created)
{
    if (created)
        *created = 0;
    plist_t dict = top;
    for (const std::string& part : path) {
        plist_t next = FindEntry(dict, part.c_str());
        if (next) {
            if (plist_get_node_type(next) != PLIST_DICT)
                return nullptr;
        } else {
            if (!create)
                return nullptr;
            next = plist_new_dict();
            if (!next)
                return nullptr;
            plist_dict_set_item(dict, part.c_str(), next);
            if (created)
                ++*created;
        }
        dict = next;
    }
    return dict;
}

void SetEntry(plist_t dict, const char* name, PlistPtr value)
{
    std::string spelling;
    if (FindEntry(dict, name, &spelling)) {
        plist_dict_set_item(dict, spelling.c_str(), value.release());
    } else {
        plist_dict_set_item(dict, name, value.release());
    }
}

bool RemoveEntry(plist_t dict, const char* name)
{
    std::string spelling;
    if (!FindEntry(dict, name, &spelling))
        return false;
    plist_dict_remove_item(dict, spelling.c_str());
    return true;
}

bool SubKeyAt(plist_t dict, long index, std::string* name)
{
    if (!dict || index < 0)
        return false;
    long position = 0;
    bool found = false;
    ForEachEntry(dict, [&](const char* key, plist_t value) {
        if (plist_get_node_type(value) != PLIST_DICT)
            return false;
        if (position++ != index)
            return false;
        *name = key;
        found = true;
        return true;
    });
    return found;
}

uint32_t LeadingInteger(const char* text)
{
    if (!text)
        return 0;
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\v' || *text == '\f')
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    uint64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        // Saturates at the largest signed 64-bit value, as a 64-bit reading would.
        uint64_t digit = static_cast<uint64_t>(*text - '0');
        magnitude = magnitude > (INT64_MAX - digit) / 10 ? static_cast<uint64_t>(INT64_MAX) : magnitude * 10 + digit;
    }
    uint64_t bits = negative ? (~magnitude + 1) : magnitude;
    return static_cast<uint32_t>(bits);
}

bool ReadNumber(plist_t node, uint32_t* value)
{
    switch (node ? plist_get_node_type(node) : PLIST_NONE) {
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        *value = static_cast<uint32_t>(v);
        return true;
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        if (std::isnan(d))
            d = 0;
        if (d >= 9.2e18)
            d = 9.2e18;
        if (d <= -9.2e18)
            d = -9.2e18;
        *value = static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(d)));
        return true;
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        *value = b ? 1 : 0;
        return true;
    }
    case PLIST_STRING: {
        const char* text = plist_get_string_ptr(node, nullptr);
        *value = LeadingInteger(text);
        return true;
    }
    default:
        return false;
    }
}

bool ReadText(plist_t node, std::string* value)
{
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return false;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    value->assign(text ? text : "", text ? length : 0);
    return true;
}

bool ReadData(plist_t node, std::string* value)
{
    if (!node || plist_get_node_type(node) != PLIST_DATA)
        return false;
    uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(node, &length);
    value->assign(bytes ? bytes : "", bytes ? length : 0);
    return true;
}

PlistPtr NewNumber(uint32_t value)
{
    // Sign-extended, libplist writes the signed decimal (4294967295 as -1).
    return PlistPtr(plist_new_uint(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)))));
}

}  // namespace kestrin::policy
