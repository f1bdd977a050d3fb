// Resource files: one XML file per bundle and locale folder,
//   <directory>/<ll_CC>/<bundle>.res
// holding <Resource><module><id name="key">text</id>...</module></Resource>.
#include "res_file.h"

#include <memory>
#include <new>
#include <string>

#include "lang_table.h"
#include "res_bindings.h"
#include "res_folder.h"
#include "res_parse.h"
#include "zelk_loader.h"
#include "zelk_trace.h"

namespace kestrin::resloader {
namespace {

// Locale folders tried when the user's own are missing, in order.
const wchar_t* const t_fallback_slangs[] = {L"en_US"};

constexpr unsigned long kPlainBuckets = 6;
constexpr unsigned long kEntryBuckets = 15;

HashTableHelper_StringX s_stringXHelper;

// Folder and bundle names become path components: only plain names are used.
bool IsLocalePart(const wchar_t* part)
{
    if (part == nullptr || part[0] == 0)
        return false;
    for (const wchar_t* c = part; *c; ++c)
        if (!((*c >= L'a' && *c <= L'z') || (*c >= L'A' && *c <= L'Z') || (*c >= L'0' && *c <= L'9')))
            return false;
    return true;
}

bool IsBundleName(const wchar_t* bundle)
{
    if (bundle == nullptr || bundle[0] == 0)
        return false;
    std::wstring name(bundle);
    return name != L"." && name != L".." && name.find(L'/') == std::wstring::npos;
}

// The whole file, NUL-terminated; NULL when it cannot be read (a file that
// reads is found, even when empty: it then fails to parse).
OctetString* ReadFile(const std::wstring& path)
{
    const SEC_IO_TABLE* io = FileIo();
    const ZELKBASE_CORE_TABLE* core = BaseCore();
    StringT<char> narrow;
    if (io == nullptr || core == nullptr || FAILED(String_Copy(path.c_str(), &narrow)) || narrow.IsEmpty())
        return nullptr;
    AuxPtr<OctetString> bytes;
    if (FAILED(io->file2OctetString(narrow, &bytes)) || !bytes || bytes->data == nullptr)
        return nullptr;
    core->OctetString_ZeroTerminate(bytes);
    return bytes.Detach();
}

OctetString* ReadLocaleFile(const wchar_t* directory, const std::wstring& folder, const wchar_t* bundle)
{
    std::wstring path = std::wstring(directory) + L"/" + folder + L"/" + bundle + L".res";
    return ReadFile(path);
}

// The first file found of the locale's folders, then the fallback folders,
// for the caller to free.
OctetString* FindResourceFile(const wchar_t* language, const wchar_t* country, const wchar_t* bundle,
                              const wchar_t* directory)
{
    if (IsLocalePart(language) && IsLocalePart(country))
        if (OctetString* data = ReadLocaleFile(directory, std::wstring(language) + L"_" + country, bundle))
            return data;
    if (IsLocalePart(language)) {
        std::wstring defaultCountry;
        if (const char* code = GetDefaultCountry(language)) {
            for (const char* c = code; *c; ++c)
                defaultCountry += static_cast<wchar_t>(*c);
        } else {
            for (const wchar_t* c = language; *c; ++c)
                defaultCountry += static_cast<wchar_t>(*c >= L'a' && *c <= L'z' ? *c - L'a' + L'A' : *c);
        }
        if (OctetString* data = ReadLocaleFile(directory, std::wstring(language) + L"_" + defaultCountry, bundle))
            return data;
    }
    for (const wchar_t* folder : t_fallback_slangs)
        if (OctetString* data = ReadLocaleFile(directory, folder, bundle))
            return data;
    return nullptr;
}

// Adds one text to the table: backslash-n sequences become line feeds, and a
// later text of an existing key replaces the earlier one.
HRESULT AddText(HashTable_void* table, bool plain, const char* key, const char* content)
{
    StringT<char> text(content);
    if (static_cast<const char*>(text) == nullptr)
        return E_OUTOFMEMORY;
    text.Replace("\\n", "\n");
    if (static_cast<const char*>(text) == nullptr)
        return E_OUTOFMEMORY;
    void* k = const_cast<char*>(key);
    if (plain)
        return table->Add(k, const_cast<char*>(static_cast<const char*>(text)));
    StringX* entry = StringX_New(text);
    if (entry == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = table->Add(k, entry);
    if (FAILED(hr))
        s_stringXHelper.Free(entry);
    return hr;
}

}  // namespace

HRESULT HashTableHelper_StringX::Cpy(void* in, void** out)
{
    *out = in;
    return S_OK;
}

void HashTableHelper_StringX::Free(void* p)
{
    auto* entry = static_cast<StringX*>(p);
    if (entry == nullptr)
        return;
    sec_free(entry->text);
    sec_free(entry->wide.load(std::memory_order_acquire));
    entry->~StringX();
    sec_free(entry);
}

StringX* StringX_New(const char* text)
{
    void* memory = sec_malloc(sizeof(StringX));
    if (memory == nullptr)
        return nullptr;
    auto* entry = new (memory) StringX {nullptr, {nullptr}};
    if (FAILED(String_Copy(text, &entry->text)) || entry->text == nullptr) {
        s_stringXHelper.Free(entry);
        return nullptr;
    }
    return entry;
}

const wchar_t* StringX_Wide(StringX* entry)
{
    wchar_t* wide = entry->wide.load(std::memory_order_acquire);
    if (wide != nullptr)
        return wide;
    wchar_t* made = nullptr;
    String_Convert(entry->text, &made, 65001);
    if (made == nullptr)
        return nullptr;
    // The first conversion published wins; a later one is given back, so a
    // text once handed out is never replaced or freed while the entry lives.
    if (entry->wide.compare_exchange_strong(wide, made, std::memory_order_acq_rel, std::memory_order_acquire))
        return made;
    sec_free(made);
    return wide;
}

HRESULT LoadResourcesEx(const wchar_t* language, const wchar_t* country, const wchar_t* bundle,
                        const wchar_t* directory, HashTable_void** plain, ResEntries* entries)
{
    if (bundle == nullptr || (plain == nullptr && entries == nullptr))
        return E_INVALIDARG;
    if (plain != nullptr)
        *plain = nullptr;
    if (!IsBundleName(bundle))
        return E_FAIL;
    ZELK_RES_TEXT defaultDir;
    if (directory == nullptr) {
        GetCurrentPath(std::addressof(defaultDir));
        directory = defaultDir;
        if (directory == nullptr)
            return E_FAIL;
    }
    const ZELKBASE_HASHTABLE_TABLE* tables = HashTables();
    if (tables == nullptr)
        return E_FAIL;

    AuxPtr<OctetString> bytes(FindResourceFile(language, country, bundle, directory));
    if (!bytes)
        return E_FAIL;
    AuxRefPtr<HashTable_void> table;
    HRESULT hr = plain ? tables->HashTable_CreateCommon(&table, HASHTABLE_STRING_TO_STRING, kPlainBuckets)
                       : tables->HashTable_CreateCustom(&table, kEntryBuckets,
                                                        reinterpret_cast<IHashTableHelperKey*>(HASHTABLE_STRING),
                                                        &s_stringXHelper);
    if (FAILED(hr))
        return hr;
    HashTable_void* texts = table;
    hr = ParseResourceDocument(reinterpret_cast<const char*>(bytes->data),
                               [texts, plain](const char* key, const char* content) {
                                   return AddText(texts, plain != nullptr, key, content);
                               });
    if (FAILED(hr))
        return hr;
    if (plain != nullptr)
        *plain = table.Detach();
    else
        entries->Attach(table.Detach());
    return S_OK;
}

HRESULT GetCurrentPath(ZELK_RES_TEXT* directory)
{
    if (directory == nullptr)
        return S_OK;
    const char* own = ZELK_FindOwnModuleDir();
    std::string dir = ResourceDirForLibraryDir(own ? own : ".");
    directory->Free();
    String_Copy(dir.c_str(), &*directory);
    return S_OK;
}

}  // namespace kestrin::resloader
