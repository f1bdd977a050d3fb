// Type table of DName (23) in "SEC_COMMONTYPES_1", and the library's text
// form of names (qev_values.h describes it).
#include "types_dname.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "types_codec.h"
#include "types_lists.h"
#include "types_request.h"
#include "types_table.h"
#include "types_values.h"

namespace kestrin::qevcrypto::values {

namespace {

using X509NamePtr = std::unique_ptr<X509_NAME, ossl::OsslDeleter<X509_NAME, X509_NAME_free>>;

DName* NewDName(const unsigned char* der, size_t length)
{
    DName* name = NewZeroed<DName>();
    if (name == nullptr)
        return nullptr;
    name->der = static_cast<unsigned char*>(std::malloc(length == 0 ? 1 : length));
    if (name->der == nullptr) {
        std::free(name);
        return nullptr;
    }
    if (length != 0)
        std::memcpy(name->der, der, length);
    name->length = length;
    return name;
}

int Sign(int c)
{
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool SameBytes(const DName* a, const DName* b)
{
    return a->length == b->length && (a->length == 0 || std::memcmp(a->der, b->der, a->length) == 0);
}

bool RelativeNames(const X509_NAME* name, std::vector<X509NamePtr>& out);

// A name decoded once: decoding builds OpenSSL's canonical form, which every
// comparison of the name reads. Undecodable encodings are kept too (no name),
// so that they are not decoded again either.
struct DecodedName {
    std::string der;
    X509NamePtr name;
    bool split = false;
    bool splitOk = false;
    std::vector<X509NamePtr> relativeNames;

    // The relative names, made on first use.
    const std::vector<X509NamePtr>* RelativeNamesOf()
    {
        if (!split) {
            split = true;
            splitOk = name && RelativeNames(name.get(), relativeNames);
        }
        return splitOk ? &relativeNames : nullptr;
    }
};

// Decoded names by encoding, shared by all threads. Entries are used only
// under the mutex: OpenSSL rewrites the canonical form of an empty name on
// comparison, and a full store is emptied before new entries go in.
struct DecodedNames {
    static constexpr size_t kMaxEntries = 4096;

    std::mutex mutex;
    std::unordered_map<std::string_view, std::unique_ptr<DecodedName>> entries;

    // Empties the store unless `count` more entries fit, so that entries
    // found after this call stay valid until the mutex is released.
    void MakeRoom(size_t count)
    {
        if (entries.size() + count > kMaxEntries)
            entries.clear();
    }

    DecodedName& Find(const DName* value)
    {
        const std::string_view der(reinterpret_cast<const char*>(value->der),
                                   value->der == nullptr ? 0 : static_cast<size_t>(value->length));
        auto found = entries.find(der);
        if (found != entries.end())
            return *found->second;
        auto entry = std::make_unique<DecodedName>();
        entry->der.assign(der);
        entry->name.reset(X509NameFromDName(value));
        DecodedName& made = *entry;
        entries.emplace(std::string_view(made.der), std::move(entry));
        return made;
    }
};

DecodedNames& Decoded()
{
    static DecodedNames names;
    return names;
}

constexpr char kHex[] = "0123456789ABCDEF";

bool IsSpecial(char c)
{
    return std::strchr(",+\"\\<>;", c) != nullptr;
}

void AppendEscaped(std::string& out, const unsigned char* value, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(value[i]);
        if (value[i] < 0x20 || value[i] == 0x7F) {
            out += '\\';
            out += kHex[value[i] >> 4];
            out += kHex[value[i] & 0x0F];
            continue;
        }
        if (IsSpecial(c) || (i == 0 && (c == '#' || c == ' ')) || (i + 1 == length && c == ' '))
            out += '\\';
        out += c;
    }
}

HRESULT AppendEntry(std::string& out, const X509_NAME_ENTRY* entry)
{
    const ASN1_OBJECT* object = X509_NAME_ENTRY_get_object(entry);
    const int nid = OBJ_obj2nid(object);
    if (nid != NID_undef) {
        out += OBJ_nid2sn(nid);
    } else {
        char dotted[128];
        const int n = OBJ_obj2txt(dotted, sizeof dotted, object, 1);
        if (n <= 0 || n >= static_cast<int>(sizeof dotted))
            return E_FAIL;
        out += dotted;
    }
    out += '=';
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (length < 0)
        return E_FAIL;
    AppendEscaped(out, utf8, static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return S_OK;
}

struct Attribute {
    ossl::Asn1ObjectPtr type;
    std::string value;
};

// Reads "type=value" at p; stops before the "," or "+" that ends it.
HRESULT ParseAttribute(const char*& p, Attribute& attribute)
{
    while (*p == ' ')
        ++p;
    const char* typeStart = p;
    while (*p != '\0' && *p != '=' && *p != ',' && *p != '+')
        ++p;
    if (*p != '=')
        return E_INVALIDARG;
    const char* typeEnd = p;
    while (typeEnd > typeStart && typeEnd[-1] == ' ')
        --typeEnd;
    const std::string type(typeStart, typeEnd);
    if (type.empty())
        return E_INVALIDARG;
    const bool dotted = type[0] >= '0' && type[0] <= '9';
    if (dotted) {
        attribute.type.reset(OBJ_txt2obj(type.c_str(), 1));
    } else {
        // Type names are read without regard to case where OpenSSL's short name is upper case.
        int nid = OBJ_txt2nid(type.c_str());
        if (nid == NID_undef) {
            std::string upper = type;
            for (char& ch : upper)
                if (ch >= 'a' && ch <= 'z')
                    ch = static_cast<char>(ch - 'a' + 'A');
            nid = OBJ_txt2nid(upper.c_str());
        }
        attribute.type.reset(nid == NID_undef ? nullptr : OBJ_dup(OBJ_nid2obj(nid)));
    }
    if (!attribute.type)
        return E_INVALIDARG;
    ++p;
    while (*p == ' ')
        ++p;
    // Blanks at the end are dropped unless escaped.
    size_t keep = 0;
    for (; *p != '\0' && *p != ',' && *p != '+'; ++p) {
        if (*p == '\\') {
            const int high = OPENSSL_hexchar2int(static_cast<unsigned char>(p[1]));
            const int low = high >= 0 ? OPENSSL_hexchar2int(static_cast<unsigned char>(p[2])) : -1;
            if (high >= 0 && low >= 0) {
                attribute.value += static_cast<char>(high << 4 | low);
                p += 2;
            } else if (p[1] != '\0' && (IsSpecial(p[1]) || p[1] == '#' || p[1] == ' ' || p[1] == '=')) {
                attribute.value += *++p;
            } else {
                return E_INVALIDARG;
            }
            keep = attribute.value.size();
            continue;
        }
        if (*p == '"' || *p == '<' || *p == '>' || *p == ';' || (*p == '#' && attribute.value.empty()))
            return E_INVALIDARG;
        attribute.value += *p;
        if (*p != ' ')
            keep = attribute.value.size();
    }
    attribute.value.resize(keep);
    return attribute.value.empty() ? E_INVALIDARG : S_OK;
}

}  // namespace

DName* DNameFromX509Name(const X509_NAME* name)
{
    const unsigned char* der = nullptr;
    size_t length = 0;
    if (name == nullptr || !X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &length))
        return nullptr;
    return NewDName(der, length);
}

X509_NAME* X509NameFromDName(const DName* name)
{
    if (name == nullptr || name->der == nullptr || name->length == 0 || name->length > kMaxNameSize)
        return nullptr;
    const unsigned char* p = name->der;
    X509NamePtr parsed(d2i_X509_NAME(nullptr, &p, static_cast<long>(name->length)));
    if (!parsed || p != name->der + name->length)
        return nullptr;
    return parsed.release();
}

void FreeDName(DName* name)
{
    if (name == nullptr)
        return;
    std::free(name->der);
    std::free(name);
}

DName* CopyDName(const DName* name)
{
    return name == nullptr ? nullptr : NewDName(name->der, name->length);
}

int CompareDName(const DName* a, const DName* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    if (SameBytes(a, b))
        return 0;
    {
        DecodedNames& names = Decoded();
        std::lock_guard<std::mutex> lock(names.mutex);
        names.MakeRoom(2);
        const X509_NAME* x = names.Find(a).name.get();
        const X509_NAME* y = names.Find(b).name.get();
        if (x != nullptr && y != nullptr) {
            const int c = X509_NAME_cmp(x, y);
            if (c != -2)
                return Sign(c);
        }
    }
    // Encodings that are not names compare by their bytes.
    const size_t common = a->length < b->length ? a->length : b->length;
    const int c = common == 0 ? 0 : std::memcmp(a->der, b->der, common);
    if (c != 0)
        return Sign(c);
    return a->length < b->length ? -1 : a->length > b->length ? 1 : 0;
}

HRESULT DNameToText(const X509_NAME* name, std::string& text)
{
    text.clear();
    if (name == nullptr)
        return E_INVALIDARG;
    // Entries come least specific first, grouped by relative name; the text
    // lists the relative names the other way round.
    const int count = X509_NAME_entry_count(name);
    std::vector<std::pair<int, int>> groups;  // first entry, entry count
    for (int i = 0; i < count; ++i) {
        const int set = X509_NAME_ENTRY_set(X509_NAME_get_entry(name, i));
        if (!groups.empty() && X509_NAME_ENTRY_set(X509_NAME_get_entry(name, groups.back().first)) == set)
            ++groups.back().second;
        else
            groups.emplace_back(i, 1);
    }
    for (size_t g = groups.size(); g-- > 0;) {
        if (g + 1 != groups.size())
            text += ", ";
        for (int i = 0; i < groups[g].second; ++i) {
            if (i != 0)
                text += " + ";
            HRESULT hr = AppendEntry(text, X509_NAME_get_entry(name, groups[g].first + i));
            if (FAILED(hr)) {
                text.clear();
                return hr;
            }
        }
    }
    return S_OK;
}

HRESULT DNameFromText(const char* text, X509_NAME** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (text == nullptr || std::strlen(text) > kMaxNameSize)
        return E_INVALIDARG;
    std::vector<std::vector<Attribute>> relativeNames;
    const char* p = text;
    while (*p == ' ')
        ++p;
    if (*p != '\0') {
        relativeNames.emplace_back();
        for (;;) {
            Attribute attribute;
            HRESULT hr = ParseAttribute(p, attribute);
            if (FAILED(hr))
                return hr;
            relativeNames.back().push_back(std::move(attribute));
            if (*p == '\0')
                break;
            if (*p == ',')
                relativeNames.emplace_back();
            ++p;
        }
    }
    X509NamePtr name(X509_NAME_new());
    if (!name)
        return E_OUTOFMEMORY;
    for (size_t r = relativeNames.size(); r-- > 0;) {
        bool first = true;
        for (const Attribute& a : relativeNames[r]) {
            if (a.value.size() > INT_MAX
                || !X509_NAME_add_entry_by_OBJ(name.get(), a.type.get(), MBSTRING_UTF8,
                                               reinterpret_cast<const unsigned char*>(a.value.data()),
                                               static_cast<int>(a.value.size()), -1, first ? 0 : -1))
                return E_INVALIDARG;
            first = false;
        }
    }
    *out = name.release();
    return S_OK;
}

namespace {

HRESULT ToTextEntry(const DName* name, char** text)
{
    if (text == nullptr)
        return E_POINTER;
    *text = nullptr;
    X509NamePtr parsed(X509NameFromDName(name));
    if (!parsed)
        return E_INVALIDARG;
    std::string s;
    HRESULT hr = DNameToText(parsed.get(), s);
    if (FAILED(hr))
        return hr;
    *text = static_cast<char*>(std::malloc(s.size() + 1));
    if (*text == nullptr)
        return E_OUTOFMEMORY;
    std::memcpy(*text, s.c_str(), s.size() + 1);
    return S_OK;
}

HRESULT FromTextEntry(const char* text, DName** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    X509_NAME* parsed = nullptr;
    HRESULT hr = DNameFromText(text, &parsed);
    if (FAILED(hr))
        return hr;
    X509NamePtr name(parsed);
    *out = DNameFromX509Name(name.get());
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT EncodeDNameValue(const void* value, codec::Out& out)
{
    return codec::EncodeDName(static_cast<const DName*>(value), out);
}

HRESULT DecodeDNameValue(codec::In& in, void** value)
{
    DName* name = nullptr;
    HRESULT hr = codec::DecodeDName(in, &name);
    *value = name;
    return hr;
}

void FreeDNameValue(void* value)
{
    FreeDName(static_cast<DName*>(value));
}

HRESULT CopyDNameElement(const DName* src, DName** dst)
{
    *dst = CopyDName(src);
    return *dst != nullptr ? S_OK : E_OUTOFMEMORY;
}

struct DNameListTraits {
    using Node = SET_OF_DName;
    static constexpr bool kCounted = true;
    static constexpr auto EncodeElement = &codec::EncodeDName;
    static constexpr auto DecodeElement = &codec::DecodeDName;
    static constexpr auto FreeElement = &FreeDName;
    static constexpr auto CopyElement = &CopyDNameElement;
    static constexpr auto CompareElement = &CompareDName;
};

using SetOfDName = lists::List<DNameListTraits>;

// The relative names of a name, each as a name of its own so that OpenSSL's
// comparison (canonical form: case and inner blanks folded) applies to it.
bool RelativeNames(const X509_NAME* name, std::vector<X509NamePtr>& out)
{
    const int count = X509_NAME_entry_count(name);
    int set = -1;
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const bool sameSet = X509_NAME_ENTRY_set(entry) == set;
        if (!sameSet) {
            out.emplace_back(X509_NAME_new());
            if (!out.back())
                return false;
            set = X509_NAME_ENTRY_set(entry);
        }
        if (!X509_NAME_add_entry(out.back().get(), entry, -1, sameSet ? -1 : 0))
            return false;
    }
    return true;
}

int MatchEntry(const DName* pattern, const DName* name)
{
    if (pattern == nullptr || name == nullptr)
        return 0;
    DecodedNames& names = Decoded();
    std::lock_guard<std::mutex> lock(names.mutex);
    names.MakeRoom(2);
    const std::vector<X509NamePtr>* wanted = names.Find(pattern).RelativeNamesOf();
    const std::vector<X509NamePtr>* present = names.Find(name).RelativeNamesOf();
    if (wanted == nullptr || present == nullptr)
        return 0;
    for (const X509NamePtr& rdn : *wanted) {
        bool found = false;
        for (const X509NamePtr& candidate : *present)
            if (X509_NAME_cmp(rdn.get(), candidate.get()) == 0) {
                found = true;
                break;
            }
        if (!found)
            return 0;
    }
    return 1;
}

HRESULT TypeInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "DName", "");
}

const SEC_DNAME_TYPE_TABLE s_dname = {
    {{&TypeInfo},
     &NoAddRef,
     &FreeEntry<DName, FreeDName>,
     nullptr,
     &CopyEntry<DName, CopyDName>,
     &CompareEntry<DName, CompareDName>,
     nullptr,
     &NewEntry<DName, false>,
     &codec::DecodeEntry<SEC_TYPE_DName>,
     &codec::EncodeEntry<SEC_TYPE_DName>},
    &ToTextEntry,
    &FromTextEntry,
    &MatchEntry,
    &DNameGetValue,
    &DNameTakeValue,
};

HRESULT SetOfDNameInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SET_OF_DName", "");
}

const SEC_TYPE_TABLE s_setOfDName = SetOfDName::Table<SEC_TYPE_SET_OF_DName>(&SetOfDNameInfo);

QevSlotFill s_fillDName("SEC_COMMONTYPES_1", SEC_TYPE_DName, const_cast<SEC_DNAME_TYPE_TABLE*>(&s_dname));
QevSlotFill s_fillSetOfDName("SEC_COMMONTYPES_1", SEC_TYPE_SET_OF_DName, const_cast<SEC_TYPE_TABLE*>(&s_setOfDName));

}  // namespace
}  // namespace kestrin::qevcrypto::values

namespace kestrin::qevcrypto::codec {

// A Name as it was read; encoding and decoding both check that it is one.
HRESULT EncodeDName(const DName* value, Out& out)
{
    values::X509NamePtr parsed(values::X509NameFromDName(value));
    if (!parsed)
        return E_INVALIDARG;
    out.insert(out.end(), value->der, value->der + value->length);
    return S_OK;
}

HRESULT DecodeDName(In& in, DName** value)
{
    *value = nullptr;
    const uint8_t* content = nullptr;
    size_t length = 0;
    const uint8_t* whole = nullptr;
    size_t wholeLength = 0;
    if (!in.Next(TAG_SEQUENCE, content, length, &whole, &wholeLength))
        return E_INVALIDARG;
    DName candidate {wholeLength, const_cast<unsigned char*>(whole)};
    values::X509NamePtr parsed(values::X509NameFromDName(&candidate));
    if (!parsed)
        return E_INVALIDARG;
    *value = values::CopyDName(&candidate);
    return *value != nullptr ? S_OK : E_OUTOFMEMORY;
}

const Codec kDNameCodec {&values::EncodeDNameValue, &values::DecodeDNameValue, &values::FreeDNameValue};
const Codec kSetOfDNameCodec = values::SetOfDName::kCodec;

}  // namespace kestrin::qevcrypto::codec
